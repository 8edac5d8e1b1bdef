"""Sources that are integers underneath, at bounds below one step: coded
losslessly as integer units, through every front end that carries a unit,
and refused cleanly by the module and when damaged. (Wider bounds round to a
coarser grid: test_quantised_integers.py.)"""
from __future__ import annotations

import json

import numpy as np
import pytest
import quillmere

import quillmere_tools as qt
from quillmere_tools.units import channel as frames
from quillmere_tools.bounds import Bounds

INTEGER_CODER = 4


def coder_of(unit: bytes) -> int:
    return unit[14]


def shaped(kind: str, lo: int, hi: int, n: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "random":
        return rng.integers(lo, hi, n, endpoint=True, dtype=np.int64)
    if kind == "extremes":
        return np.where(rng.random(n) < 0.5, lo, hi).astype(np.int64)
    if kind == "constant":
        return np.full(n, hi, dtype=np.int64)
    t = np.arange(n)
    wave = 0.45 * np.sin(t / 23.0) + 0.3 * np.sin(t / 3.1) + 0.1 * rng.standard_normal(n)
    return np.clip(np.rint(wave * hi), lo, hi).astype(np.int64)


RANGES = {"int8": (-128, 127), "int16": (-32768, 32767), "int24": (-2**23, 2**23 - 1),
          "int32": (-2**31, 2**31 - 1), "uint32": (0, 2**32 - 1)}


@pytest.mark.parametrize("kind", ["random", "extremes", "constant", "smooth"])
@pytest.mark.parametrize("name", list(RANGES))
def test_integer_ranges_round_trip_exactly(name, kind):
    lo, hi = RANGES[name]
    x = shaped(kind, lo, hi, 9000)
    unit = qt.compress_many([x], max_error=0.49)[0]
    assert coder_of(unit) == INTEGER_CODER
    y = qt.decompress(unit)
    assert y.dtype == np.float64
    assert np.array_equal(y, x.astype(np.float64))


@pytest.mark.parametrize("n", range(1, 11))
def test_short_signals_round_trip(n):
    x = shaped("random", -5, 900, n, seed=n)
    unit = qt.compress_many([x], max_error=0.4)[0]
    assert coder_of(unit) == INTEGER_CODER
    assert np.array_equal(qt.decompress(unit), x.astype(np.float64))


def test_an_empty_signal_is_refused_with_one_message():
    with pytest.raises(ValueError, match="empty"):
        qt.compress_many([np.zeros(0, dtype=np.int16)], max_error=0.4)


def test_pcm_samples_come_back_bit_for_bit_as_float32():
    codes = shaped("smooth", -32768, 32767, 20000)
    x = (codes / 32768.0).astype(np.float32)
    x[[5, 6, 700]] = [np.nan, np.inf, -np.inf]
    unit = qt.compress_many([x], max_error=0.49 / 32768)[0]
    assert coder_of(unit) == INTEGER_CODER
    y = qt.decompress(unit)
    assert y.dtype == np.float32
    assert np.array_equal(y.view(np.uint32), x.view(np.uint32))


def test_a_given_step_codes_a_grid_that_is_no_power_of_two():
    step, offset = 3.2 / 4095, -1.7
    codes = shaped("smooth", -2048, 2047, 12000)
    x = step * (offset / step + codes.astype(np.float64))  # as an EDF reader computes it
    bound = Bounds(max_error=0.49 * step)
    unit, report = frames.encode_with_report(x, qt.Settings(), bound, grid_step=step)
    assert report.coder_code == INTEGER_CODER
    y = qt.decompress(unit)
    assert np.max(np.abs(y - x)) <= 1e-9 * step
    # Without the step no grid of the source's is found: whatever codes it
    # (a grid rounded within the bound, or the wavelet layer) is not exact.
    plain, report = frames.encode_with_report(x, qt.Settings(), bound)
    error = np.max(np.abs(qt.decompress(plain) - x))
    assert 0 < error <= 0.49 * step


@pytest.mark.parametrize("bound,exact", [(0.3, True), (0.99, True), (1.0, False), (4.0, False)])
def test_bounds_below_one_step_are_exact_and_wider_ones_round_to_odd_steps(bound, exact):
    # A noisy source of 16 bits: the integer unit wins at all these bounds.
    x = shaped("smooth", -30000, 30000, 6000)
    unit = qt.compress_many([x], max_error=bound)[0]
    assert coder_of(unit) == INTEGER_CODER
    error = np.max(np.abs(qt.decompress(unit) - x))
    if exact:
        assert error == 0
    else:  # 2 floor(bound) + 1 steps between grid points: the error reaches floor(bound)
        assert error == np.floor(bound)


def test_an_explicit_module_coder_keeps_the_wavelet_layer():
    x = shaped("smooth", -30000, 30000, 6000)
    unit = qt.compress_many([x], max_error=0.4, coder="cmodel")[0]
    assert coder_of(unit) == 2
    assert quillmere.decompress_signal(unit).size == x.size  # the module reads it


def test_the_integer_coder_by_name_and_its_refusals():
    x = shaped("smooth", -100, 100, 3000)
    unit = qt.compress_many([x], coder="integer")[0]
    assert coder_of(unit) == INTEGER_CODER
    assert np.array_equal(qt.decompress(unit), x.astype(np.float64))
    with pytest.raises(ValueError, match="not integers times a power of two"):
        qt.compress_many([np.random.default_rng(0).standard_normal(100)], coder="integer")
    with pytest.raises(qt.TargetNotMet, match="integer coder misses"):
        qt.compress_many([x], coder="integer", bits_per_sample=0.1)


def test_compress_to_target_weighs_integer_against_the_wavelet_unit():
    x = shaped("smooth", -30000, 30000, 8000)
    both = qt.compress_to_target(x, max_error=3.0, coders=["fast", "integer"])
    wavelet = qt.compress_to_target(x, max_error=3.0, coders=["fast"])
    integer = qt.compress_to_target(x, max_error=3.0, coders=["integer"])
    assert integer.settings.coder == "integer"
    assert len(both.unit) == min(len(wavelet.unit), len(integer.unit))


def test_the_module_refuses_an_integer_unit_by_its_coder():
    unit = qt.compress_many([shaped("smooth", -99, 99, 500)], max_error=0.4)[0]
    with pytest.raises(ValueError, match="^Unknown entropy coder 4$"):
        quillmere.decompress_signal(unit)


def test_long_signals_are_blocked_and_decode_by_range():
    x = shaped("smooth", -32768, 32767, 300_000)
    unit = qt.compress_many([x], max_error=0.49, block_length=65536)[0]
    assert unit[:4] == b"QLMB"
    assert np.array_equal(qt.decompress(unit), x.astype(np.float64))
    assert np.array_equal(qt.decompress(unit, start=70_000, stop=140_001), x[70_000:140_001])


def test_every_truncation_and_most_bit_flips_end_in_one_error():
    x = shaped("smooth", -2000, 2000, 3000).astype(np.float32)
    x[10] = np.nan
    unit = qt.compress_many([x], max_error=0.4)[0]
    assert coder_of(unit) == INTEGER_CODER
    for cut in range(len(unit)):
        with pytest.raises(ValueError) as info:
            qt.decompress(unit[:cut])
        assert "\n" not in str(info.value)
    rng = np.random.default_rng(3)
    for _ in range(300):
        bad = bytearray(unit)
        at = int(rng.integers(len(bad)))
        bad[at] ^= 1 << int(rng.integers(8))
        try:
            y = qt.decompress(bytes(bad))
        except ValueError as exc:
            assert "\n" not in str(exc)
        else:  # a flip the checks cannot see (e.g. in the header's min) decodes the same samples
            assert y.shape == x.shape


def test_a_wav_file_round_trips_exactly_and_info_names_the_coder(cli, tmp_path):
    sf = pytest.importorskip("soundfile")
    codes = shaped("smooth", -32768, 32767, 16000).astype(np.int16)
    sf.write(tmp_path / "a.wav", np.stack([codes, codes[::-1]], 1), 16000, subtype="PCM_16")
    res = cli("compress", "a.wav", "--max-error", str(0.49 / 32768))
    assert res.code == 0, res
    doc = json.loads(cli("info", "--json", "a.wav.qlm").out)
    assert [h["coder_id"] for h in doc["containers"]] == [INTEGER_CODER] * 2
    assert "4 (integer)" in cli("info", "a.wav.qlm").out
    (tmp_path / "a.wav").unlink()
    assert cli("decompress", "a.wav.qlm").code == 0
    back, _ = sf.read(tmp_path / "a.wav", dtype="int16")
    assert np.array_equal(back[:, 0], codes) and np.array_equal(back[:, 1], codes[::-1])


@pytest.mark.parametrize("host", ["numcodecs", "hdf5"])
def test_array_hosts_store_integer_valued_chunks_exactly(tmp_path, host):
    codes = np.stack([shaped("smooth", -2000, 2000, 5000, seed=s) for s in (1, 2)], 1)
    x = codes.astype(np.float32)
    if host == "numcodecs":
        from quillmere_tools.numcodecs_codec import Quillmere

        codec = Quillmere(max_error=0.4)
        raw = bytes(codec.encode(x))
        y = np.asarray(codec.decode(raw)).reshape(x.shape)
    else:
        h5py = pytest.importorskip("h5py")
        import quillmere_tools.hdf5 as qh5

        with h5py.File(tmp_path / "x.h5", "w") as f:
            f.create_dataset("x", data=x, chunks=(1500, 2), **qh5.Quillmere(max_error=0.4))
        with h5py.File(tmp_path / "x.h5", "r") as f:
            y = f["x"][...]
            raw = f["x"].id.read_direct_chunk((0, 0))[1]
    assert b"QLMR" in raw and raw[raw.index(b"QLMR") + 14] == INTEGER_CODER
    assert np.array_equal(y, x)


def test_a_plain_integer_unit_decodes_by_range_and_reports_its_layout():
    x = shaped("smooth", -500, 500, 3000)
    unit = qt.compress_many([x], max_error=0.4)[0]
    assert coder_of(unit) == INTEGER_CODER
    assert frames.unit_layout(unit)[:3] == (3000, True, 0)
    assert np.array_equal(qt.decompress(unit, start=100, stop=2500), x[100:2500])


@pytest.mark.parametrize("bound", [{"max_error": 1e-9}, {"rmse": 1e-10}])
def test_float32_at_a_bound_finer_than_its_resolution_is_stored_exactly(bound):
    # Any float32 signal of a moderate dynamic range is integers times a
    # power of two: a bound below that step is met by storing it exactly.
    x = (1000.0 + np.sin(np.arange(500.0) / 3.0)).astype(np.float32)
    res = qt.compress_to_target(x, **bound)
    assert coder_of(res.unit) == INTEGER_CODER and res.settings.coder == "integer"
    assert np.array_equal(qt.decompress(res.unit), x)


def test_the_hdf5_filter_refuses_the_integer_coder_by_name():
    qh5 = pytest.importorskip("quillmere_tools.hdf5")
    with pytest.raises(ValueError, match="coder 'integer' is not a choice of the HDF5 filter"):
        qh5.Quillmere(coder="integer", max_error=0.4)
