"""Decoded samples come back without a copy: NumPy views the decoder's own
buffer. Each decode must still hand out memory of its own, writable, that
lives as long as the array does, whatever else the thread decodes later."""
import gc

import numpy as np
import pytest

from quillmere_tools import _native
from quillmere_tools.settings import Settings
from quillmere_tools.units import channel as frames


def _signal(n, dtype, seed):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.normal(size=n)).astype(dtype)
    if n > 10:
        x[n // 2] = np.nan
    return x


def _decoders():
    # Every road a plain unit takes back to an array.
    return {
        "decode_channel": frames.decode_channel,
        "decode_many": lambda u: frames.decode_many([u, u])[1],
        "native decode_channel": lambda u: frames._array(_native.decode_channel(u)),
    }


@pytest.mark.parametrize("decoder", sorted(_decoders()))
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("n", [1, 7, 70_001])
def test_each_decode_owns_writable_samples_that_outlive_later_decodes(decoder, dtype, n):
    decode = _decoders()[decoder]
    unit = frames.encode_channel(_signal(n, dtype, n), Settings(coder="fast"))
    first = decode(unit)
    want = first.copy()
    assert first.dtype == dtype and first.size == n and first.flags.writeable
    # Other signals decoded on the same thread, then the first one's memory
    # written and the intermediate objects collected: the first array stays
    # its own, and a second decode of the same unit is untouched by writes.
    for m in (3, 200_000, n):
        decode(frames.encode_channel(_signal(m, dtype, m + 1), Settings(coder="fast")))
    second = decode(unit)
    first[:] = 7
    gc.collect()
    np.testing.assert_array_equal(second, want)
    assert np.all(first == 7)
    assert not np.shares_memory(first, second)


def test_the_samples_object_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        _native.DecodedSamples()


def test_the_samples_object_lends_its_bytes_writable():
    view, is_float64 = _native.decode_channel(frames.encode_channel(np.zeros(1, np.float32)))
    assert isinstance(view.obj, _native.DecodedSamples)
    assert (view.nbytes, view.readonly, is_float64) == (4, False, False)
