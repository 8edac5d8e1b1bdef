"""CompressionOptions construction and compress_signal on arbitrary Python
values: only ValueError, TypeError, OverflowError or MemoryError may come
out, and whatever is accepted must compress to a container that decodes to
the input's length."""

from __future__ import annotations

from datetime import timedelta

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from quillmere import CompressionOptions, compress_signal, decompress_signal

ALLOWED = (ValueError, TypeError, OverflowError, MemoryError)
PARAMETERS = ("method", "scale", "cutoff", "coder", "quant_multiplier")
VALID_TEXT = ("cdf53", "cdf97", "db4", "sym4", "low", "medium", "high", "auto", "deflate", "arans",
              "cmodel")
FUZZ = settings(max_examples=500, deadline=timedelta(seconds=2),
                suppress_health_check=[HealthCheck.too_slow])


class Indexable:
    """An object with an integer meaning through __index__ only."""

    def __init__(self, value: int):
        self.value = value

    def __index__(self) -> int:
        return self.value


class Floatable:
    def __init__(self, value: float):
        self.value = value

    def __float__(self) -> float:
        return self.value


class StrSubclass(str):
    pass


# Values of every shape the converters meet: the right types with wrong
# values, near misses of the valid strings, numbers at and beyond the C
# ranges, and objects that convert only through a protocol.
values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(-(2**70), 2**70),
    st.floats(),
    st.sampled_from(VALID_TEXT),
    st.sampled_from(VALID_TEXT).map(StrSubclass),
    st.sampled_from(VALID_TEXT).map(str.upper),
    st.text(max_size=12),
    st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=3),
    st.binary(max_size=8),
    st.integers(-300, 300).map(Indexable),
    st.floats().map(Floatable),
    st.fractions(),
    st.complex_numbers(),
    st.lists(st.integers(), max_size=2),
    st.builds(object),
)


@st.composite
def option_calls(draw):
    """Positional arguments (possibly too many), then keywords (possibly
    repeating a positional one, possibly unknown)."""
    args = draw(st.lists(values, max_size=6))
    names = st.one_of(st.sampled_from(PARAMETERS), st.text(min_size=1, max_size=8))
    kwargs = draw(st.dictionaries(names, values, max_size=4))
    return args, kwargs


def small_signal(n: int = 64) -> np.ndarray:
    return np.cos(np.arange(n, dtype=np.float32) / 5.0)


@FUZZ
@given(option_calls())
def test_constructor_raises_only_documented_exceptions(call):
    args, kwargs = call
    try:
        options = CompressionOptions(*args, **kwargs)
    except ALLOWED:
        return
    # Whatever was accepted reaches the codec; the codec may still refuse a
    # multiplier it could not invert, but only with ValueError.
    x = small_signal()
    try:
        container = compress_signal(x, options)
    except ValueError:
        return
    assert len(decompress_signal(container)) == len(x)


@FUZZ
@given(
    st.sampled_from(["cdf53", "cdf97", "db4", "sym4"]),
    st.integers(6, 12),
    st.sampled_from(["low", "medium", "high"]),
    st.sampled_from([None, "auto", "deflate", "arans", "cmodel"]),
    st.one_of(st.none(), st.floats(width=32), st.floats()),
)
def test_every_valid_record_compresses_or_refuses_cleanly(method, scale, cutoff, coder, multiplier):
    options = CompressionOptions(method, scale, cutoff, coder, multiplier)
    x = small_signal(101)
    try:
        container = compress_signal(x, options)
    except ValueError as error:
        # Only an explicit multiplier can make a valid record unusable.
        assert multiplier is not None, error
        return
    out = decompress_signal(container)
    assert out.shape == x.shape and out.dtype == np.float32
    assert compress_signal(x, options) == container


arrays = hnp.arrays(
    dtype=st.sampled_from([np.float32, np.float64, np.float16, np.int32, np.complex64,
                           np.dtype(">f4"), np.dtype(">f8")]),
    shape=hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=40),
    elements={"allow_nan": True, "allow_infinity": True},
)


@FUZZ
@given(arrays, st.sampled_from([None, slice(None), slice(None, None, 2), slice(None, None, -1),
                                slice(1, None)]))
def test_compress_signal_on_arbitrary_arrays(array, view):
    data = array[view] if view is not None and array.ndim == 1 else array
    try:
        container = compress_signal(data)
    except ALLOWED:
        return
    # Accepted means a 1-D float32/float64 array, which round-trips in length.
    assert data.ndim == 1
    assert len(decompress_signal(container)) == data.shape[0]


@pytest.mark.parametrize(
    "n", [1, 2, 3, 5, 7, 9, 11, 19, 20, 79, 80, 81, 255, 256, 2561])
@pytest.mark.parametrize("method", ["cdf53", "cdf97", "db4", "sym4"])
def test_lengths_around_padding_and_level_boundaries(n, method):
    # Short signals are padded to the filter length and the level count jumps
    # at these sizes: the layouts the decoder recomputes must match exactly.
    x = np.linspace(-1.0, 1.0, n, dtype=np.float32) ** 3
    for coder in ("deflate", "arans", "cmodel"):
        container = compress_signal(x, CompressionOptions(method=method, coder=coder))
        assert len(decompress_signal(container)) == n
