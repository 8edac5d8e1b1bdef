"""A fast-coded unit says in its container whether a side block follows, so
a unit cut at the container's end is refused instead of decoding to another
signal (float32 instead of float64, NaN gone, the trailing run missing)."""
import numpy as np
import pytest

import quillmere_tools
from quillmere_tools.units import channel as frames
from quillmere_tools.settings import Settings
from quillmere_tools.qlm.container_header import parse_header

FAST = Settings(coder="fast")


def _wave(n=6000):
    t = np.arange(n)
    return (np.sin(0.01 * t) + 0.2 * np.sin(0.37 * t)).astype(np.float32)


def _with_nan():
    x = _wave()
    x[777] = np.nan
    return x


def _padded():
    x = _wave()
    x[5000:] = 0.25
    return x


@pytest.mark.parametrize("make,split", [
    (lambda: _wave().astype(np.float64), False),
    (_with_nan, False),
    (_padded, True),
], ids=["float64", "nan", "trailing-run"])
def test_unit_cut_at_its_container_is_refused(make, split):
    x = make()
    unit = frames.encode_channel(x, FAST, split_trailing_run=split)
    container_len = parse_header(unit)["container_len"]
    assert len(unit) > container_len
    back = quillmere_tools.decompress(unit)
    assert back.dtype == x.dtype and back.size == x.size
    with pytest.raises(ValueError, match="side block is missing"):
        quillmere_tools.decompress(unit[:container_len])


def test_bytes_after_a_container_that_announced_none_are_refused():
    plain = frames.encode_channel(_wave(), FAST)
    assert parse_header(plain)["container_len"] == len(plain)
    other = frames.encode_channel(_wave().astype(np.float64), FAST)
    block = other[parse_header(other)["container_len"]:]
    with pytest.raises(ValueError, match="announces no side block"):
        quillmere_tools.decompress(plain + block)


def test_cmodel_units_keep_reading_without_their_block():
    # Units of the other coders carry no such mark: their container alone
    # still reads as a unit that had no block, as it always has.
    unit = frames.encode_channel(_wave().astype(np.float64), Settings(coder="cmodel"))
    container_len = parse_header(unit)["container_len"]
    assert quillmere_tools.decompress(unit[:container_len]).dtype == np.float32
