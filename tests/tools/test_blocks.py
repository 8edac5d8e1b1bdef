"""Long signals as blocks: the short form unchanged, the same bytes on any
thread count, ranges equal to slices of the whole decode, bounds over the
whole signal, and hostile block indexes refused with one clear error."""
import fcntl
import os
import struct
import subprocess
import termios
import zlib

import numpy as np
import pytest
from hypothesis import given, settings as hsettings, strategies as st

import quillmere
import quillmere_tools as qt
from quillmere_tools import _native, metrics
from quillmere_tools.units import channel as frames
from quillmere_tools.qlm.index import blocked_header

from conftest import _cli_prefix, one_line_error

BLOCK = 4096


def walk(n, seed=0, dtype=np.float32):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal(n)).astype(dtype)


@pytest.fixture(scope="module")
def long_unit():
    x = walk(5 * BLOCK + 321, seed=3)
    return x, qt.compress_many([x], block_length=BLOCK, threads=2)[0]


@pytest.mark.parametrize("n", [1, 100, BLOCK])
@pytest.mark.parametrize("bounds", [{}, {"max_error": 0.05}, {"prd": 1.0}])
def test_signals_within_one_block_keep_the_plain_unit(n, bounds):
    x = walk(n, seed=n)
    plain = _native.encode_channel(x, frames.native_request(bounds=qt.Bounds(**bounds)))[0]
    assert qt.compress_many([x], block_length=BLOCK, **bounds)[0] == plain
    assert frames.unit_layout(plain).block_length == 0


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_same_bytes_and_samples_for_any_thread_count(dtype):
    x = walk(7 * BLOCK + 5, seed=1, dtype=dtype)
    units = [qt.compress_many([x], block_length=BLOCK, threads=t)[0] for t in (1, 2, 5)]
    assert units[0] == units[1] == units[2]
    assert units[0][:4] == b"QLMB"
    decoded = [qt.decompress(units[0], threads=t) for t in (1, 2, 5)]
    assert decoded[0].dtype == dtype
    for d in decoded[1:]:
        assert d.tobytes() == decoded[0].tobytes()
    many = qt.decompress_many([units[0], units[0]], threads=3)
    assert all(m.tobytes() == decoded[0].tobytes() for m in many)


def test_the_module_refuses_a_blocked_unit(long_unit):
    with pytest.raises(ValueError, match=r"^Magic should be 'QLMR' but it was 'QLMB'$"):
        quillmere.decompress_signal(long_unit[1])


@pytest.mark.parametrize("start,stop", [
    (0, 1), (BLOCK - 1, BLOCK + 1), (2 * BLOCK, 3 * BLOCK), (10, None), (None, 17),
    (-5, None), (100, 100), (5 * BLOCK + 320, 5 * BLOCK + 321)])
def test_a_range_is_the_slice_of_the_whole(long_unit, start, stop):
    _, unit = long_unit
    whole = qt.decompress(unit)
    part = qt.decompress(unit, start=start, stop=stop, threads=2)
    assert part.tobytes() == whole[start:stop].tobytes()


def test_ranges_of_a_plain_unit_work_too():
    x = walk(1000)
    unit = qt.compress_many([x])[0]
    assert qt.decompress(unit, start=10, stop=20).tobytes() == qt.decompress(unit)[10:20].tobytes()


@pytest.mark.parametrize("kw,error", [
    ({"start": 0, "stop": 5 * BLOCK + 322}, ValueError), ({"start": 9, "stop": 3}, ValueError),
    ({"start": 1.5}, TypeError), ({"stop": -10**9}, ValueError)])
def test_bad_ranges_are_refused_naming_the_bound(long_unit, kw, error):
    with pytest.raises(error, match="start|stop"):
        qt.decompress(long_unit[1], **kw)


@pytest.mark.parametrize("value", [0, 4095, 2**31, 1.5, True])
def test_block_length_out_of_range_is_refused(value):
    with pytest.raises(ValueError, match="block_length"):
        qt.compress_many([walk(10)], block_length=value)


# Measured here, over the whole signal, with the tools' own metrics.
@pytest.mark.parametrize("bound,value,measure", [
    ("max_error", 0.02, metrics.max_abs_error), ("rmse", 0.01, metrics.rmse),
    ("prd", 0.5, metrics.prd), ("psnr", 60.0, None)])
def test_bounds_hold_over_the_whole_signal(bound, value, measure):
    # A quiet stretch then a loud one: per-block PRD against each block's
    # own energy would differ from the whole signal's.
    x = walk(6 * BLOCK, seed=7).astype(np.float64)
    x[: 3 * BLOCK] *= 0.01
    result = qt.compress_to_target(x, block_length=BLOCK, threads=2, **{bound: value})
    assert result.unit[:4] == b"QLMB"
    y = qt.decompress(result.unit)
    if measure is None:
        assert metrics.psnr(x, y) >= value
    else:
        assert measure(x, y) <= value
    assert result.max_error == pytest.approx(metrics.max_abs_error(x, y), rel=1e-9)
    assert result.rmse == pytest.approx(metrics.rmse(x, y), rel=1e-6)


def test_a_relative_bound_uses_the_whole_signals_range():
    x = walk(3 * BLOCK, seed=9)
    unit = qt.compress_many([x], block_length=BLOCK, max_error="0.1%")[0]
    y = qt.decompress(unit)
    assert metrics.max_abs_error(x, y) <= 0.001 * float(x.max() - x.min())


def test_non_finite_samples_survive_in_any_block():
    x = walk(3 * BLOCK, seed=2)
    x[[0, BLOCK, 2 * BLOCK + 7]] = [np.nan, np.inf, -np.inf]
    y = qt.decompress(qt.compress_many([x], block_length=BLOCK)[0])
    np.testing.assert_array_equal(np.isfinite(y), np.isfinite(x))
    assert np.isnan(y[0]) and y[BLOCK] == np.inf and y[2 * BLOCK + 7] == -np.inf


# --- Hostile indexes -------------------------------------------------------

_HEAD = 24
_ENTRY = 20


def reseal(unit: bytearray) -> None:
    count = struct.unpack_from("<I", unit, 20)[0]
    end = _HEAD + count * _ENTRY
    if end + 4 <= len(unit):
        struct.pack_into("<I", unit, end, zlib.crc32(bytes(unit[:end])))


# (offset in the header or an entry, struct format)
_FIELDS = {"samples": (8, "<Q"), "block_length": (16, "<I"), "count": (20, "<I")}
for _i in range(6):
    _FIELDS[f"offset{_i}"] = (_HEAD + _i * _ENTRY, "<Q")
    _FIELDS[f"length{_i}"] = (_HEAD + _i * _ENTRY + 8, "<Q")


@hsettings(max_examples=150, deadline=None)
@given(field=st.sampled_from(sorted(_FIELDS)),
       value=st.one_of(st.integers(0, 2**16), st.integers(0, 2**64 - 1)),
       start=st.integers(0, 5 * BLOCK + 321))
def test_hostile_index_is_one_clear_error(long_unit, field, value, start):
    x, unit = long_unit
    at, fmt = _FIELDS[field]
    value %= 2 ** (8 * struct.calcsize(fmt))
    bad = bytearray(unit)
    original = struct.unpack_from(fmt, bad, at)[0]
    struct.pack_into(fmt, bad, at, value)
    reseal(bad)
    bad = bytes(bad)
    if value == original:
        assert qt.decompress(bad, start=start).tobytes() == qt.decompress(unit, start=start).tobytes()
        return
    # Any change to the index is found before a sample is decoded.
    for call in (lambda: qt.decompress(bad), lambda: frames.decode_range(bad, start, start + 1),
                 lambda: frames.unit_layout(bad)):
        with pytest.raises(ValueError) as info:
            call()
        assert "\n" not in str(info.value) and str(info.value)


def test_python_header_reader_agrees_with_the_native_one(long_unit):
    x, unit = long_unit
    header = blocked_header(unit)
    count, is64, length, sizes = frames.unit_layout(unit)
    assert (header["sample_count"], header["block_length"], header["blocks"]) == \
        (count, length, len(sizes)) == (x.size, BLOCK, 6)


# --- Command line -------------------------------------------------------------

def test_cli_blocks_info_and_ranges(cli, tmp_path):
    x = walk(5 * BLOCK, seed=4)
    np.save(tmp_path / "x.npy", x)
    assert cli("compress", "x.npy", "--block-length", BLOCK, "--max-error", "0.05").code == 0
    info = cli("info", "x.npy.qlm")
    assert info.code == 0 and "blocks" in info.out and "5" in info.out.split("blocks")[1]
    res = cli("decompress", "x.npy.qlm", "-o", "part.npy", "--start", 5000, "--stop", 9000)
    assert res.code == 0, res
    assert cli("decompress", "x.npy.qlm", "-o", "full.npy").code == 0
    full = np.load(tmp_path / "full.npy")
    assert np.load(tmp_path / "part.npy").tobytes() == full[5000:9000].tobytes()
    assert np.abs(full - x).max() <= 0.05


@pytest.mark.parametrize("keep", [0.5, 0.999])
def test_cli_names_a_cut_file_of_blocks_as_cut(cli, tmp_path, keep):
    np.save(tmp_path / "x.npy", walk(3 * BLOCK, seed=2))
    assert cli("compress", "x.npy", "--block-length", BLOCK).code == 0
    data = (tmp_path / "x.npy.qlm").read_bytes()
    (tmp_path / "cut.qlm").write_bytes(data[:int(len(data) * keep)])
    res = cli("decompress", "cut.qlm", "-o", "y.npy")
    one_line_error(res)
    assert "cut short" in res.err


@pytest.mark.parametrize("args,message", [
    (["--start", "9", "--stop", "3"], "comes after"), (["--stop", "10**9"], "expected"),
    (["--start", "999999999"], "past the"), (["--start", "1s"], "sample rate")])
def test_cli_bad_ranges_are_one_line_errors(cli, tmp_path, args, message):
    np.save(tmp_path / "x.npy", walk(2 * BLOCK))
    assert cli("compress", "x.npy").code == 0
    res = cli("decompress", "x.npy.qlm", "-o", "y.npy", *args)
    if message == "expected":
        assert res.code == 2 and message in res.err
    else:
        one_line_error(res)
        assert message in res.err


def test_blocks_without_bounds_keep_the_quality_and_size_of_one_container():
    # Each block normalises by its own (narrower) range; without the
    # multiplier following it, blocks would quantise far finer and cost
    # several times the bytes.
    x = walk(16 * BLOCK, seed=5)
    one = qt.compress_many([x], block_length=frames.MAX_BLOCK_LENGTH)[0]
    blocks = qt.compress_many([x], block_length=BLOCK)[0]
    assert blocks[:4] == b"QLMB"
    e_one = metrics.rmse(x, qt.decompress(one))
    e_blocks = metrics.rmse(x, qt.decompress(blocks))
    assert e_blocks == pytest.approx(e_one, rel=0.2)
    assert len(blocks) < 1.15 * len(one)


def test_cli_shows_one_block_bar_on_a_terminal_and_none_when_piped(cli, tmp_path):
    np.save(tmp_path / "x.npy", walk(6 * BLOCK))
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
    proc = subprocess.Popen(_cli_prefix() + ["compress", "x.npy", "--block-length", str(BLOCK)],
                            cwd=tmp_path, stderr=slave, stdout=subprocess.PIPE)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    assert proc.wait(timeout=120) == 0
    shown = b"".join(chunks).decode(errors="replace")
    assert "6/6" in shown and "block/s" in shown
    piped = cli("compress", "-f", "x.npy", "--block-length", BLOCK)
    assert piped.code == 0 and "block" not in piped.err


@pytest.mark.parametrize("tail", [77, BLOCK // 2])
def test_a_size_budget_holds_over_the_whole_unit_index_included(tail):
    x = walk(4 * BLOCK + tail, seed=8)
    result = qt.compress_to_target(x, bits_per_sample=3.0, block_length=BLOCK)
    assert result.unit[:4] == b"QLMB"
    assert 8 * len(result.unit) / x.size <= 3.0


def test_measures_in_pieces_agree_with_the_whole_signal_measures():
    rng = np.random.default_rng(11)
    x = walk(3 * (1 << 20) + 17, seed=11).astype(np.float64)
    x[[5, 2_000_000]] = [np.nan, np.inf]
    y = (x + rng.normal(scale=0.01, size=x.size)).astype(np.float32)
    pieces = metrics.measures_in_pieces(x, y)
    assert pieces["max_error"] == metrics.max_abs_error(x, y)
    for name, whole in (("rmse", metrics.rmse), ("prd", metrics.prd), ("psnr", metrics.psnr)):
        assert pieces[name] == pytest.approx(whole(x, y), rel=1e-12)


@pytest.mark.parametrize("coder", ["fast", "arans", "deflate"])
def test_blocks_carry_units_of_any_coder(coder):
    x = walk(3 * BLOCK + 11, seed=12)
    units = [qt.compress_many([x], block_length=BLOCK, coder=coder, threads=t)[0] for t in (1, 2)]
    assert units[0] == units[1] and units[0][:4] == b"QLMB"
    assert qt.decompress(units[0], start=BLOCK - 3, stop=BLOCK + 3).tobytes() == \
        qt.decompress(units[0])[BLOCK - 3:BLOCK + 3].tobytes()


def test_cli_range_in_seconds_uses_the_recorded_rate(cli, tmp_path):
    sf = pytest.importorskip("soundfile")
    x = (0.1 * np.sin(np.arange(3 * BLOCK) / 30.0)).astype(np.float32)
    sf.write(tmp_path / "x.wav", x, 1000, subtype="FLOAT")
    assert cli("compress", "x.wav", "--block-length", BLOCK).code == 0
    assert cli("decompress", "x.wav.qlm", "-o", "full.npy").code == 0
    res = cli("decompress", "x.wav.qlm", "-o", "part.npy", "--start", "2s", "--stop", "2.5s")
    assert res.code == 0, res
    full = np.load(tmp_path / "full.npy")
    assert np.load(tmp_path / "part.npy").tobytes() == full[2000:2500].tobytes()


def test_written_back_check_in_pieces_agrees_with_the_whole():
    from quillmere_tools.bounds import Bounds
    from quillmere_tools.units.stored_bounds import miss_factor, stored_miss

    x = walk((1 << 22) + 1000, seed=13)
    unit = qt.compress_many([x], max_error=0.5)[0]
    codes = lambda y: np.rint(np.asarray(y, dtype=np.float64) * 4) / 4  # noqa: E731
    for bounds in (Bounds(max_error=0.3), Bounds(rmse=0.05), Bounds(prd=1e-4), Bounds(psnr=90.0)):
        whole = miss_factor(bounds, x, codes(qt.decompress(unit)))
        assert stored_miss(bounds, x, unit, codes) == pytest.approx(whole, rel=1e-9)
        assert whole > 0.0  # each bound is missed, so the factor is measured


def test_percent_bounds_over_several_signals_same_bytes_for_any_thread_count():
    signals = [walk(3 * BLOCK + 5, seed=20), walk(500, seed=21), walk(BLOCK, seed=22)]
    runs = [qt.compress_many(signals, block_length=BLOCK, max_error="0.1%", threads=t)
            for t in (1, 2, 4)]
    assert runs[0] == runs[1] == runs[2]
    assert [u[:4] == b"QLMB" for u in runs[0]] == [True, False, False]
