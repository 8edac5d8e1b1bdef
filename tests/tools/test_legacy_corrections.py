"""Bounded units whose corrections blob is in the gamma form (version 1,
written before the token form; made by
tests/data/legacy/make_units_before_token_corrections.py) or in the token
form behind the fixed header (version 2, written before the compact header;
made by make_units_before_compact_corrections.py) or behind the compact
header in the gamma coding (version 3, written before the flag coding; made
by make_units_before_flag_corrections.py) still decode to the very same
samples, and units written now carry the compact header (version 3), a few
hundred dense corrections in the flag coding."""
import struct
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("quillmere")

from quillmere_tools import compress_to_target, decompress, metrics
from quillmere_tools.units.channel import decode_channel

LEGACY = Path(__file__).resolve().parents[1] / "data" / "legacy"
CASES = sorted(p.stem for p in LEGACY.glob("corrections_v*.bin"))
BLOB_MAGIC = b"QLMK"


def _varints(data: bytes, at: int, count: int):
    out = []
    for _ in range(count):
        v, shift = 0, 0
        while True:
            b = data[at]
            at += 1
            v |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
        out.append(v)
    return out


def _blob_at(unit: bytes) -> int:
    """Where the corrections blob starts in a unit (at its magic, which a
    compact side block leaves out)."""
    at = unit.find(BLOB_MAGIC)
    if at < 0:
        side = unit.rfind(b"QLMC")
        assert side > 0 and unit[side + 4] == 2, "the unit carries no corrections blob"
        flags = unit[side + 5]
        assert flags & 4 and not flags & 2
        at = side + 6 + (8 if flags & 1 else 0) - 4
    return at


def _blob_fields(unit: bytes):
    """(version, sample count, corrected) of the corrections blob in a unit:
    whole after a fixed side block, without its magic after a compact one
    (version 2, where a unit without non-finite runs has the blob after the
    flags and any offset)."""
    at = _blob_at(unit)
    version = unit[at + 4]
    if version == 3:
        return (version, *_varints(unit, at + 6, 2))
    return (version,) + struct.unpack_from("<II", unit, at + 8)


def test_the_legacy_cases_are_there():
    assert CASES == ["corrections_v1_f32", "corrections_v1_f64_offset",
                     "corrections_v2_f32", "corrections_v2_f64_offset",
                     "corrections_v3_gamma_f32", "corrections_v3_gamma_f64_offset"]


@pytest.mark.parametrize("name", CASES)
def test_older_form_unit_decodes_unchanged(name):
    unit = (LEGACY / f"{name}.bin").read_bytes()
    version, samples, corrected = _blob_fields(unit)
    assert f"_v{version}_" in name and corrected > 0
    want = np.load(LEGACY / f"{name}.npy")
    got = decode_channel(unit)
    assert got.dtype == want.dtype and got.shape == want.shape == (samples,)
    np.testing.assert_array_equal(got, want)  # NaN in the same places


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_units_written_now_carry_the_compact_header(dtype):
    rng = np.random.default_rng(7)
    t = np.arange(6000) / 100.0
    x = np.sin(2 * np.pi * 1.3 * t) + 0.01 * rng.standard_t(2, size=t.size)
    if dtype == np.float64:
        x = 1e6 + x
    x = x.astype(dtype)
    res = compress_to_target(x, max_error=0.03)
    unit = bytes(res.unit)
    version, samples, corrected = _blob_fields(unit)
    assert (version, samples, corrected) == (3, x.size, res.corrected_samples)
    assert corrected > 100
    assert metrics.max_abs_error(x, decompress(unit)) <= 0.03


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_few_hundred_dense_corrections_take_the_flag_coding(dtype):
    # A smooth layer with narrow bumps it cannot follow, at a tight bound:
    # a few hundred corrections, most where the decoded layer bends.
    rng = np.random.default_rng(5)
    t = np.arange(6000)
    x = np.sin(t * 0.01) + 0.3 * np.sin(t * 0.0037)
    for at in range(30, t.size, 97):
        x[at:at + 3] += rng.choice([-1.0, 1.0]) * 0.15
    x = x + rng.normal(0.0, 0.004, t.size)
    if dtype == np.float64:
        x = 1e6 + x
    x = x.astype(dtype)
    bound = 0.003 * float(np.ptp(x))
    res = compress_to_target(x, max_error=bound)
    unit = bytes(res.unit)
    at = _blob_at(unit)
    version, samples, corrected = _blob_fields(unit)
    assert (version, samples) == (3, x.size) and 100 < corrected <= 1024
    assert unit[at + 5] & 0x0A == 0x08  # the flag coding, not the gamma one
    assert metrics.max_abs_error(x, decompress(unit)) <= bound
