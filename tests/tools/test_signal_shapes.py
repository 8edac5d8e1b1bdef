"""One signal is one 1-D array: calls that take one refuse more dimensions
instead of flattening (and interleaving) channels, and compress_many refuses
an array where a list of them belongs."""
import numpy as np
import pytest

pytest.importorskip("quillmere")

import quillmere_tools as qt
from quillmere_tools.units import channel as frames

STEREO = np.stack([np.sin(np.arange(500) / 9.0), np.cos(np.arange(500) / 5.0)], axis=1)


@pytest.mark.parametrize("call", [
    lambda x: qt.compress_to_target(x, max_error=1e-3),
    lambda x: frames.encode_channel(x),
    lambda x: qt.compress_many([x]),
], ids=["compress_to_target", "encode_channel", "compress_many-element"])
@pytest.mark.parametrize("x", [STEREO, STEREO.T, STEREO.reshape(1, -1)],
                         ids=["2x500", "500x2", "1xN"])
def test_multi_dimensional_signal_is_refused_with_the_route(call, x):
    with pytest.raises(ValueError, match=r"1-D.*list\(x\.T\)"):
        call(x)


@pytest.mark.parametrize("signals", [STEREO[:, 0], STEREO, np.float64(3.0)],
                         ids=["1-D", "2-D", "scalar"])
def test_compress_many_refuses_an_array_as_the_list(signals):
    with pytest.raises(TypeError, match="sequence of 1-D arrays"):
        qt.compress_many(signals)


def test_compress_many_takes_lists_and_generators_of_signals():
    units = qt.compress_many(list(STEREO.T), max_error=1e-3)
    again = qt.compress_many((c for c in STEREO.T), max_error=1e-3)
    assert units == again and len(units) == 2
    back = qt.decompress_many(units)
    assert all(np.abs(b - c).max() <= 1e-3 for b, c in zip(back, STEREO.T))
