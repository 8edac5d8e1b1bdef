"""Samples come back as they went in, or the command says why not.  These
rest on the channel unit (non-finite positions, float64 offset) and on the
codec's saturation check; until those are in the build they are expected to
fail, and the probes below say which one is missing."""
import numpy as np
import pytest
import quillmere


from conftest import one_line_error
from quillmere_tools.units.channel import decode_channel, encode_channel


def _keeps_non_finite() -> bool:
    x = np.array([1.0, np.nan, 2.0, np.inf, -np.inf] * 20)
    try:
        y = decode_channel(encode_channel(x))
    except Exception:
        return False
    return bool(np.array_equal(np.isnan(y), np.isnan(x)) and np.array_equal(y[3::5], x[3::5]))


def _keeps_large_offset() -> bool:
    x = 1.7e9 + np.sin(np.arange(2000) / 20.0)
    try:
        y = decode_channel(encode_channel(x))
    except Exception:
        return False
    return float(np.max(np.abs(y - x))) < 0.1


def _refuses_saturation() -> bool:
    from quillmere_tools.demo import ecg

    try:
        quillmere.compress_signal(ecg(), quillmere.CompressionOptions(quant_multiplier=100000.0))
    except ValueError:
        return True
    return False


needs_non_finite = pytest.mark.xfail(not _keeps_non_finite(), strict=True,
                                     reason="the channel unit does not keep non-finite samples yet")
needs_offset = pytest.mark.xfail(not _keeps_large_offset(), strict=True,
                                 reason="the channel unit does not keep a float64 offset yet")
needs_saturation = pytest.mark.xfail(not _refuses_saturation(), strict=True,
                                     reason="the codec does not refuse saturation yet")


@needs_non_finite
def test_gaps_come_back_as_gaps(cli, tmp_path):
    x = np.sin(np.arange(3000) / 25.0)
    x[[5, 700, 701]] = np.nan
    x[1000], x[2000] = np.inf, -np.inf
    np.save(tmp_path / "gaps.npy", x)
    assert cli("compress", "gaps.npy").code == 0
    assert cli("decompress", "gaps.npy.qlm", "-o", "back.npy").code == 0
    y = np.load(tmp_path / "back.npy")
    np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
    assert y[1000] == np.inf and y[2000] == -np.inf


@needs_non_finite
def test_float64_beyond_float32_is_refused(cli, tmp_path):
    np.save(tmp_path / "huge.npy", np.array([1.0, 1e300, 2.0] * 100))
    assert "float32" in one_line_error(cli("compress", "huge.npy"))[0]
    assert not (tmp_path / "huge.npy.qlm").exists()


@needs_offset
def test_variation_at_a_large_magnitude_is_kept(cli, tmp_path):
    x = 1.7e9 + np.sin(np.arange(5000) / 30.0)
    np.save(tmp_path / "big.npy", x)
    assert cli("compress", "big.npy").code == 0
    assert cli("decompress", "big.npy.qlm", "-o", "back.npy").code == 0
    y = np.load(tmp_path / "back.npy")
    assert np.std(y) > 0.5 and np.max(np.abs(y - x)) < 0.1


@needs_saturation
def test_saturating_multiplier_is_refused(cli, files):
    line = one_line_error(cli("compress", "ecg.npy", "--quant-multiplier", "100000"))[0]
    assert "multiplier" in line
    assert not (files / "ecg.npy.qlm").exists()
