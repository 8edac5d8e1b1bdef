"""Units and chunks written before the trailing-run section and channel-split
chunks existed, and integer units written before rANS residuals
(tests/data/legacy), still decode to the very same samples."""
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("quillmere")

from quillmere_tools import array_chunks as codec_common
from quillmere_tools.units.channel import decode_channel

LEGACY = Path(__file__).resolve().parents[1] / "data" / "legacy"
UNITS = sorted(p.stem for p in LEGACY.glob("unit_*.bin"))
CHUNKS = sorted(p.stem for p in LEGACY.glob("chunk_*.bin"))


def _same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)  # NaN in the same places


def test_the_legacy_cases_are_there():
    assert len(UNITS) == 6 and len(CHUNKS) == 2


@pytest.mark.parametrize("name", UNITS)
def test_legacy_unit_decodes_unchanged(name):
    _same(decode_channel((LEGACY / f"{name}.bin").read_bytes()), np.load(LEGACY / f"{name}.npy"))


@pytest.mark.parametrize("name", CHUNKS)
def test_legacy_chunk_decodes_unchanged(name):
    want = np.load(LEGACY / f"{name}.npy")
    raw = (LEGACY / f"{name}.bin").read_bytes()
    _same(codec_common.decode_chunk(raw), want)
    # The way Zarr asks, with the array's dtype and chunk shape.
    _same(codec_common.decode_chunk(raw, dtype=want.dtype, shape=want.shape), want)
