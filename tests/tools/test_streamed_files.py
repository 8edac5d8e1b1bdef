"""Long recordings through the command line a batch of blocks at a time:
the .qlm bytes and the decompressed files are those of the whole-signal
path, for every format read or written piecewise, and memory stays far
below the recording's size."""
import filecmp
import io
import mmap
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

from quillmere_tools import metrics
from quillmere_tools._core import ToolError
from quillmere_tools.cli import long_recordings
from quillmere_tools.qlm import streamed_encoding
from quillmere_tools.qlm.paged_input import open_paged
from quillmere_tools.qlm.signal_files import (StatedBounds, decode_range, decode_units,
                                             encode_signal, read_index)
from quillmere_tools.qlm.streamed_decoding import decoded_range, write_npy
from quillmere_tools.recordings import channel_source, open_source, read_signal
from quillmere_tools.recordings.writer import write_recording
from quillmere_tools.settings import Settings
from quillmere_tools.units import stored_bounds

from conftest import _cli_prefix, one_line_error

BLOCK = 4096
N = 5 * BLOCK + 777


@pytest.fixture
def short_pieces(monkeypatch):
    """Stream signals of a few blocks: every channel counts as long, the
    bound check's pieces straddle block edges, and interleaved reads gather
    a run from many small reads."""
    monkeypatch.setattr(stored_bounds, "LONG_SIGNAL", 0)
    monkeypatch.setattr(metrics, "_PIECE", 5000)
    monkeypatch.setattr(channel_source, "READ_BYTES", 1000)
    monkeypatch.setattr(channel_source, "LEAST_LONG", 0)
    monkeypatch.setattr(long_recordings, "STREAM_FRAMES", 0)


def walk(n=N, seed=0, scale=1.0):
    rng = np.random.default_rng(seed)
    return (np.cumsum(rng.standard_normal(n)) * scale
            + 0.3 * rng.standard_normal(n)).astype(np.float32)


def _npy(path, arr):
    np.save(path, arr)
    return {}


def _npy_rows(path, arr):
    np.save(path, arr)
    return {"layout": "rows"}


def _audio(subtype):
    def write(path, arr):
        import soundfile as sf
        sf.write(str(path), np.clip(arr / 200.0, -1, 1), 8000, subtype=subtype)
        return {}
    return write


def _edf(path, channels):
    pyedflib = pytest.importorskip("pyedflib")
    bdf = str(path).endswith(".bdf")
    top = 2 ** 23 if bdf else 2 ** 15
    writer = pyedflib.EdfWriter(str(path), len(channels),
                                file_type=pyedflib.FILETYPE_BDFPLUS if bdf
                                else pyedflib.FILETYPE_EDFPLUS)
    headers = [{"label": f"ch{i}", "dimension": "uV", "sample_frequency": rate,
                "physical_min": -500.0, "physical_max": 500.0, "digital_min": -top,
                "digital_max": top - 1, "transducer": "", "prefilter": ""}
               for i, (rate, _) in enumerate(channels)]
    writer.setSignalHeaders(headers)
    writer.writeSamples([np.clip(x, -500, 500).astype(np.float64) for _, x in channels])
    writer.writeAnnotation(1.5, -1, "start")
    writer.close()
    return {}


def _csv(header, time=False):
    def write(path, arr):
        rows = ["\n", ",".join(header) + "\n"] if header else []
        for i, row in enumerate(arr):
            cells = ([f"{i / 250:.3f}"] if time else []) + [repr(float(v)) for v in row]
            rows.append(",".join(cells) + "\n")
        path.write_text("".join(rows))
        return {}
    return write


# name, data, writer
RECORDINGS = {
    "named.csv": (lambda: np.stack([walk(seed=17), walk(seed=18)], 1), _csv(["a", "b"])),
    "bare.csv": (lambda: walk(seed=19).reshape(-1, 1), _csv(None)),
    # Channels at two rates (of different lengths), 100 one-second records.
    "two_rates.edf": (lambda: [(256, walk(25600, seed=14)), (128, walk(12800, seed=15))], _edf),
    "one_rate.bdf": (lambda: [(256, walk(25600, seed=16))], _edf),
    "f32.npy": (lambda: walk(), _npy),
    "f64_columns.npy": (lambda: np.stack([walk(seed=1), -walk(seed=2)], 1).astype(np.float64),
                        _npy),
    "i16_rows.npy": (lambda: np.stack([walk(seed=3), walk(seed=4)]).astype(np.int16), _npy_rows),
    "fortran.npy": (lambda: np.asfortranarray(np.stack([walk(seed=5), walk(seed=6) * 3], 1)),
                    _npy),
    "bigendian.npy": (lambda: walk(seed=7).astype(">f4"), _npy),
    "u8.npy": (lambda: (walk(seed=8, scale=0.2) + 128).clip(0, 255).astype(np.uint8), _npy),
    "pcm16.wav": (lambda: np.stack([walk(seed=9), walk(seed=10)], 1), _audio("PCM_16")),
    "float.wav": (lambda: walk(seed=11).reshape(-1, 1), _audio("FLOAT")),
    "pcm24.flac": (lambda: walk(seed=12).reshape(-1, 1), _audio("PCM_24")),
    "pcm16.aiff": (lambda: walk(seed=13).reshape(-1, 1), _audio("PCM_16")),
}

# Read whole (a time column is fitted over all of it), written piecewise.
WRITTEN_ONLY = {
    "timed.csv": (lambda: np.stack([walk(seed=21), walk(seed=22)], 1),
                  _csv(["time", "v", "w"], time=True)),
}

TARGETS = {
    "plain": None,
    "max_error_percent": StatedBounds(max_error_rel=0.002),
    "psnr": StatedBounds(psnr=55.0),
    "rmse_prd": StatedBounds(rmse=0.05, prd=2.0),
    "bits_per_sample": StatedBounds(bits_per_sample=3.0),
}


def _make(tmp_path, name):
    if name.endswith((".edf", ".bdf")):
        pytest.importorskip("pyedflib")
    if name.endswith((".wav", ".flac", ".aiff")):
        pytest.importorskip("soundfile")
    data, writer = {**RECORDINGS, **WRITTEN_ONLY}[name]
    path = tmp_path / name
    return path, writer(path, data())


def _streamed(path, options, target, settings=Settings()):
    with open_source(path, **options) as source, io.BytesIO() as out:
        size, used = streamed_encoding.encode_source(out, source, settings, target, BLOCK)
        blob = out.getvalue()
    assert size == len(blob)
    return blob, used


@pytest.mark.parametrize("target", list(TARGETS), ids=list(TARGETS))
@pytest.mark.parametrize("name", list(RECORDINGS))
def test_streamed_file_is_the_whole_signal_file(tmp_path, short_pieces, name, target):
    path, options = _make(tmp_path, name)
    whole, used = encode_signal(read_signal(path, **options), Settings(), TARGETS[target],
                                block_length=BLOCK)
    streamed, streamed_used = _streamed(path, options, TARGETS[target])
    assert streamed == whole
    assert streamed_used == used
    assert read_index(streamed).headers[0]["magic"] == "QLMB"


INTEGER_RECORDINGS = ["two_rates.edf", "one_rate.bdf", "i16_rows.npy", "u8.npy", "pcm16.wav",
                      "pcm24.flac", "pcm16.aiff"]


@pytest.mark.parametrize("name", INTEGER_RECORDINGS)
def test_streamed_integer_source_under_one_step_is_the_whole_signal_lossless_file(
        tmp_path, short_pieces, name):
    # A bound under one code step: both paths must see the format's step
    # and store the codes losslessly.
    path, options = _make(tmp_path, name)
    target = StatedBounds(max_error=1e-7)
    whole, used = encode_signal(read_signal(path, **options), Settings(), target,
                                block_length=BLOCK)
    streamed, streamed_used = _streamed(path, options, target)
    assert streamed == whole
    assert streamed_used == used
    assert all(s.coder == "integer" for s in used)


def _truncated_npy(path):
    np.save(path, walk())
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) - 4)


def _object_npy(path):
    np.save(path, np.array([1, "a"], dtype=object), allow_pickle=True)


@pytest.mark.parametrize("name, make", [
    ("timed.csv", lambda p: _csv(["time", "v"], time=True)(p, walk().reshape(-1, 1))),
    ("named_time.csv", lambda p: _csv(["v", "w"])(p, np.stack([walk(), walk()], 1))),
    ("cut.npy", _truncated_npy),
    ("objects.npy", _object_npy),
    ("three_d.npy", lambda p: np.save(p, np.zeros((2, 2, N)))),
])
def test_what_is_read_whole(tmp_path, short_pieces, name, make):
    """Files whose reading needs all of them at once, or whose trouble the
    whole-file reader words, are not read piecewise."""
    make(tmp_path / name)
    options = {"time_column": "w"} if name == "named_time.csv" else {}
    assert open_source(tmp_path / name, **options) is None


def test_streamed_file_with_settings_and_search(tmp_path, short_pieces):
    path, options = _make(tmp_path, "f64_columns.npy")
    settings = Settings(method="db4", scale=9, cutoff="medium", coder="arans")
    target = StatedBounds(max_error=0.2, methods=["cdf97", "sym4"], coders=["fast", "deflate"])
    for chosen in (settings, Settings(quant_multiplier=300.0)):
        whole, _ = encode_signal(read_signal(path), chosen, None, block_length=BLOCK)
        assert _streamed(path, options, None, chosen)[0] == whole
    whole, _ = encode_signal(read_signal(path), settings, target, block_length=BLOCK)
    assert _streamed(path, options, target, settings)[0] == whole


def test_non_finite_and_flat_channels(tmp_path, short_pieces):
    x = walk(seed=20).astype(np.float64)
    x[[5, 9000, N - 1]] = [np.nan, np.inf, -np.inf]
    flat = np.full(N, 2.5)
    np.save(tmp_path / "odd.npy", np.stack([x, flat], 1))
    for target in (None, StatedBounds(max_error_rel=0.001), StatedBounds(rmse_rel=0.001)):
        whole, _ = encode_signal(read_signal(tmp_path / "odd.npy"), Settings(), target,
                                 block_length=BLOCK)
        assert _streamed(tmp_path / "odd.npy", {}, target)[0] == whole
    # PSNR of a flat channel is refused, by both paths alike.
    with pytest.raises(ValueError, match="psnr"):
        _streamed(tmp_path / "odd.npy", {}, StatedBounds(psnr=40.0))


def test_bound_out_of_reach_fails_like_the_whole_path(tmp_path, short_pieces):
    path, options = _make(tmp_path, "f32.npy")
    target = StatedBounds(bits_per_sample=0.01)
    with pytest.raises(Exception) as whole:
        encode_signal(read_signal(path), Settings(), target, block_length=BLOCK)
    with pytest.raises(type(whole.value)):
        _streamed(path, options, target)


def _without_peak_time(data: bytes) -> bytes:
    """libsndfile stamps a float file's PEAK chunk with the second it was
    written; everything else must match."""
    at = data.find(b"PEAK")
    if at < 0:
        return data
    return data[:at + 12] + bytes(4) + data[at + 16:]


def paged_index(folder, blob, name="in.qlm"):
    """The file ``blob`` opened as decompress opens it, and its index."""
    path = folder / name
    path.write_bytes(blob)
    paged = open_paged(path)
    paged.fill_index()
    return paged, read_index(paged.view, checksum=paged.crc32)


@pytest.mark.parametrize("name", ["f32.npy", "f64_columns.npy", "i16_rows.npy", "u8.npy",
                                  "named.csv", "timed.csv", "pcm16.wav", "float.wav",
                                  "pcm24.flac", "pcm16.aiff"])
@pytest.mark.parametrize("out_suffix", [".npy", ".wav", ".flac", ".csv"])
def test_streamed_decode_writes_the_whole_signal_file(tmp_path, short_pieces, name, out_suffix):
    path, options = _make(tmp_path, name)
    if out_suffix != ".npy":
        pytest.importorskip("soundfile")
    blob, _ = encode_signal(read_signal(path, **options), Settings(), None, block_length=BLOCK)
    paged, index = paged_index(tmp_path, blob)
    meta_rate = {} if "samplerate" in (index.metadata or {}) else {"samplerate": 1000}
    for first, last in ((0, N), (BLOCK - 3, 3 * BLOCK + 11)):
        whole = (decode_units(read_index(blob)) if (first, last) == (0, N)
                 else decode_range(read_index(blob), first, last))
        whole.meta.update(meta_rate)
        expected = tmp_path / f"whole_{first}{out_suffix}"
        write_recording(expected, whole)
        got = tmp_path / f"streamed_{first}{out_suffix}"
        written = long_recordings.write_streamed(
            index, first, last, paged, got, None,
            meta_rate.get("samplerate"), False)
        assert written == os.path.getsize(got)
        assert _without_peak_time(got.read_bytes()) == _without_peak_time(expected.read_bytes())
    paged.close()


def test_npy_to_a_pipe_needs_no_seeking(tmp_path, short_pieces):
    path, options = _make(tmp_path, "i16_rows.npy")
    blob, _ = encode_signal(read_signal(path, **options), Settings(), None, block_length=BLOCK)
    paged, index = paged_index(tmp_path, blob)

    class Pipe:
        def __init__(self):
            self.parts = []

        def write(self, data):
            self.parts.append(bytes(data))
            return len(data)

    pipe = Pipe()
    write_npy(pipe, decoded_range(index, 0, N, paged))
    expected = tmp_path / "expected.npy"
    write_recording(expected, decode_units(read_index(blob)))
    assert b"".join(pipe.parts) == expected.read_bytes()
    paged.close()


def test_file_cut_short_while_read_is_one_error(tmp_path, short_pieces):
    """Another process truncating the .qlm file mid-decode: a clear error
    (a mapping of the file would die of SIGBUS here)."""
    path, _ = _make(tmp_path, "f32.npy")
    blob, _ = encode_signal(read_signal(path), Settings(), None, block_length=BLOCK)
    paged, index = paged_index(tmp_path, blob)
    decoded = decoded_range(index, 0, N, paged)
    decoded.channel(0, 0, BLOCK)
    os.truncate(tmp_path / "in.qlm", len(blob) // 2)
    with pytest.raises(ToolError, match="cut short while it was read"):
        decoded.channel(0, N - BLOCK, N)
    with pytest.raises(ToolError, match="cut short while it was read"):
        paged.crc32(len(blob) - 8)
    paged.close()


def test_released_bytes_are_given_back_and_their_neighbours_kept(tmp_path):
    data = bytes(range(256)) * 100
    (tmp_path / "f.qlm").write_bytes(b"QLMR" + data)
    paged = open_paged(tmp_path / "f.qlm")
    paged.fill(0, paged.size)
    page = mmap.PAGESIZE
    paged.release(100, 3 * page + 100)
    view = paged.view
    assert bytes(view[:page]) == (b"QLMR" + data)[:page]
    assert bytes(view[3 * page:]) == (b"QLMR" + data)[3 * page:]
    assert bytes(view[page:3 * page]) == bytes(2 * page)  # handed back: zero until read again
    paged.fill(page, 3 * page)
    assert bytes(view) == b"QLMR" + data
    paged.close()


def _damage_block(blob: bytes, block: int) -> bytes:
    """Flip a byte inside block ``block`` of the first unit and mend the
    file's own checksum, so only the block's CRC can tell."""
    count = struct.unpack_from("<I", blob, 20)[0]
    data_at = 24 + 20 * count + 4
    offset = struct.unpack_from("<Q", blob, 24 + 20 * block)[0]
    damaged = bytearray(blob)
    damaged[data_at + offset + 60] ^= 0x40
    damaged[-8:-4] = struct.pack("<I", zlib.crc32(bytes(damaged[:-8])))
    return bytes(damaged)


def test_damaged_late_block_is_one_error_and_leaves_no_output(tmp_path, cli, short_pieces):
    path, options = _make(tmp_path, "f32.npy")
    blob, _ = encode_signal(read_signal(path), Settings(), None, block_length=BLOCK)
    paged, index = paged_index(tmp_path, _damage_block(blob, 4), "damaged.qlm.in")
    with pytest.raises(ToolError, match="block 4 fails its CRC"):
        long_recordings.write_streamed(index, 0, N, paged, tmp_path / "out.npy", None, None,
                                       False)
    paged.close()
    assert not (tmp_path / "out.npy").exists()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


# ---------------------------------------------------------------- the command line

LONG = (1 << 22) + 3 * 65536 + 5


@pytest.fixture(scope="module")
def long_npy(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "long.npy"
    np.save(path, walk(LONG, seed=30, scale=0.05))
    return path


@pytest.mark.parametrize("bound", [[], ["--max-error", "0.1%"], ["--max-error", "0.1%", "--effort", "fast"]],
                         ids=["plain", "max-error", "max-error-fast"])
def test_cli_long_npy_round_trip_is_the_whole_signal_result(tmp_path, cli, long_npy, bound):
    block = ["--block-length", "65536"]
    res = cli("compress", long_npy, "-o", "long.qlm", *block, *bound)
    assert res.code == 0, res
    effort = "fast" if "fast" in bound else "thorough"
    target = StatedBounds(max_error_rel=0.001, effort=effort) if bound else None
    whole, _ = encode_signal(read_signal(long_npy), Settings(), target, block_length=65536)
    assert (tmp_path / "long.qlm").read_bytes() == whole
    res = cli("decompress", "long.qlm", "-o", "back.npy")
    assert res.code == 0, res
    write_recording(tmp_path / "whole.npy", decode_units(read_index(whole)))
    assert filecmp.cmp(tmp_path / "back.npy", tmp_path / "whole.npy", shallow=False)
    # Standard output gets the same file.
    out = subprocess.run(_cli_prefix() + ["decompress", "-q", "long.qlm", "-o", "-"],
                         cwd=tmp_path, capture_output=True, check=True).stdout
    assert out == (tmp_path / "whole.npy").read_bytes()
    out = subprocess.run(_cli_prefix() + ["compress", "-q", str(long_npy), "-o", "-", *block,
                                          *bound], cwd=tmp_path, capture_output=True,
                         check=True).stdout
    assert out == whole
    # Standard input is copied to a temporary file, then read like the file.
    with open(long_npy, "rb") as stdin:
        out = subprocess.run(_cli_prefix() + ["compress", "-q", "-", "-o", "-", *block, *bound],
                             cwd=tmp_path, stdin=stdin, capture_output=True, check=True).stdout
    assert out == whole
    with open(tmp_path / "long.qlm", "rb") as stdin:
        out = subprocess.run(_cli_prefix() + ["decompress", "-q", "-", "-o", "-"], cwd=tmp_path,
                             stdin=stdin, capture_output=True, check=True).stdout
    assert out == (tmp_path / "whole.npy").read_bytes()


def test_cli_damaged_long_file_is_one_line(tmp_path, cli, long_npy):
    whole, _ = encode_signal(read_signal(long_npy), Settings(), None, block_length=65536)
    (tmp_path / "bad.qlm").write_bytes(_damage_block(whole, 60))
    lines = one_line_error(cli("decompress", "bad.qlm", "-o", "out.npy"))
    assert "block 60 fails its CRC" in lines[0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.qlm"]


PEAK_CHILD = r"""
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, capture_output=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def _peak(args, cwd):
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, *args], cwd=cwd,
                         capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def test_cli_memory_does_not_follow_the_recording(tmp_path):
    """A 256 MB recording: coding and decoding it whole takes its size
    several times over; a batch at a time, a fraction of it."""
    n = 1 << 26
    out = np.lib.format.open_memmap(tmp_path / "big.npy", mode="w+", dtype=np.float32,
                                    shape=(n,))
    for at in range(0, n, 1 << 22):
        out[at:at + (1 << 22)] = walk(1 << 22, seed=at, scale=0.01)
    del out
    size = os.path.getsize(tmp_path / "big.npy")
    compress = _peak(_cli_prefix() + ["compress", "-q", "big.npy"],
                     tmp_path)
    decompress = _peak(_cli_prefix() + ["decompress", "-q", "big.npy.qlm", "-o", "back.npy"],
                       tmp_path)
    assert compress < size * 0.75, (compress, size)
    assert decompress < size * 0.75, (decompress, size)


@pytest.mark.parametrize("runs", [[1], [4096] * 6, [3, 9999, 1, 20000], [70000]])
def test_piece_measures_of_runs_equal_the_whole_to_the_last_bit(monkeypatch, runs):
    monkeypatch.setattr(metrics, "_PIECE", 5000)
    x = walk(sum(runs), seed=40).astype(np.float64)
    x[::777] = np.nan
    y = x + np.random.default_rng(41).standard_normal(x.size).astype(np.float32) * 1e-3

    def each(piece):
        return np.round(piece, 2)

    measures = metrics.PieceMeasures(each)
    at = 0
    for n in runs:
        measures.add(x[at:at + n], y[at:at + n])
        at += n
    assert measures.result() == metrics.measures_in_pieces(x, y, each)


def test_cli_errors_of_a_long_recording_are_one_line_and_leave_nothing(tmp_path, long_npy):
    """An unreachable bound and a pipe longer than --max-input: one line
    each, no output, no temporary file."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    env = {**os.environ, "TMPDIR": str(scratch)}

    def run(*args, stdin=None):
        proc = subprocess.run(_cli_prefix() + [str(a) for a in args], cwd=tmp_path, env=env,
                              stdin=stdin, capture_output=True, text=True)
        return type("Res", (), {"code": proc.returncode, "out": proc.stdout,
                                "err": proc.stderr})()

    lines = one_line_error(run("compress", long_npy, "-o", "x.qlm", "--bits-per-sample", "0.05",
                               "--max-error", "1e-6", "--block-length", "65536"))
    assert "bits_per_sample" in lines[0] or "max_error" in lines[0]
    with open(long_npy, "rb") as stdin:
        lines = one_line_error(run("compress", "-", "-o", "y.qlm", "--max-input", "1M",
                                   stdin=stdin))
    assert "goes on past" in lines[0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scratch"]
    assert list(scratch.iterdir()) == []


def test_a_fifo_qlm_input_decodes_like_its_file(tmp_path, cli):
    """A FIFO is looked at, not opened, before it is copied: opening it
    twice would cut its writer off."""
    import threading

    np.save(tmp_path / "x.npy", walk(50_000))
    assert cli("compress", "x.npy").code == 0
    data = (tmp_path / "x.npy.qlm").read_bytes()
    os.mkfifo(tmp_path / "piped.qlm")
    failures = []

    def feed():
        try:
            with open(tmp_path / "piped.qlm", "wb") as f:
                f.write(data)
        except OSError as exc:
            failures.append(exc)
    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    res = cli("decompress", "piped.qlm", "-o", "back.npy", timeout=60)
    writer.join(10)
    assert res.code == 0 and not failures, (res, failures)
    assert cli("decompress", "x.npy.qlm", "-o", "plain.npy").code == 0
    assert (tmp_path / "back.npy").read_bytes() == (tmp_path / "plain.npy").read_bytes()
