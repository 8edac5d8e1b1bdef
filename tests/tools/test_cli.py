import json
import os

import numpy as np
import pytest
import quillmere

sf = pytest.importorskip("soundfile")

from conftest import one_line_error
from quillmere_tools import metrics

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def _read_any(path):
    if path.suffix == ".wav":
        return sf.read(str(path), always_2d=True)[0]
    if path.suffix == ".csv":
        return np.loadtxt(path, skiprows=1).reshape(-1, 1)
    return np.load(path).reshape(-1, 1)


@pytest.mark.parametrize("name", ["ecg.npy", "ecg.csv", "tone.wav"])
def test_compress_decompress_round_trip(cli, files, name):
    original = _read_any(files / name)
    res = cli("compress", name)
    assert res.code == 0, res
    (files / name).unlink()
    res = cli("decompress", f"{name}.qlm")
    assert res.code == 0, res
    assert "decompressed 1 file" in res.out
    back = _read_any(files / name)
    assert back.shape == original.shape
    err = np.abs(back - original).max(axis=0) / np.ptp(original, axis=0)
    assert (err < 5e-3).all()
    if name.endswith(".wav"):
        info = sf.info(str(files / name))
        assert (info.subtype, info.samplerate) == ("PCM_24", 8000)
    elif name.endswith(".csv"):
        assert (files / name).read_text().splitlines()[0] == "mV"
    else:
        assert np.load(files / name).dtype == np.float64


def test_npy_round_trip_error_matches_the_module(cli, files, ecg):
    assert cli("compress", "ecg.npy", "--scale", "9", "--method", "db4").code == 0
    assert cli("decompress", "ecg.npy.qlm", "-o", "back.npy").code == 0
    direct = quillmere.decompress_signal(quillmere.compress_signal(
        ecg, quillmere.CompressionOptions(method="db4", scale=9)))
    np.testing.assert_array_equal(np.load(files / "back.npy"), direct.astype(np.float64))


def test_several_files_give_a_summary_line_and_per_file_lines(cli, files):
    res = cli("compress", "ecg.npy", "ecg.csv", "tone.wav")
    assert res.code == 0, res
    assert res.out.strip().splitlines()[-1].startswith("compressed 3 files:")
    assert sum("->" in l for l in res.out.splitlines()) == 4  # 3 files + summary


def test_never_overwrites_without_force(cli, files):
    assert cli("compress", "ecg.npy").code == 0
    before = (files / "ecg.npy.qlm").read_bytes()
    res = cli("compress", "ecg.npy", "--scale", "6")
    assert "already exists" in one_line_error(res)[0]
    assert (files / "ecg.npy.qlm").read_bytes() == before
    res = cli("compress", "ecg.npy", "--scale", "6", "--force")
    assert res.code == 0 and (files / "ecg.npy.qlm").read_bytes() != before
    # decompressing next to the original refuses too
    assert "already exists" in one_line_error(cli("decompress", "ecg.npy.qlm"))[0]


def test_one_bad_file_among_good_ones(cli, files):
    (files / "bad.npy").write_bytes(b"garbage")
    res = cli("compress", "ecg.npy", "bad.npy", "ecg.csv")
    lines = one_line_error(res)
    assert len(lines) == 1 and "bad.npy" in lines[0]
    assert (files / "ecg.npy.qlm").exists() and (files / "ecg.csv.qlm").exists()
    assert not (files / "bad.npy.qlm").exists()
    assert "; 1 failed" in res.out


def _make_bad(folder, kind):
    if kind == "unreadable wav":
        (folder / "x.wav").write_bytes(b"RIFF\x00\x00\x00\x00WAVEnothing")
        return "x.wav"
    if kind == "empty npy":
        (folder / "x.npy").write_bytes(b"")
        return "x.npy"
    if kind == "3-D npy":
        np.save(folder / "x.npy", np.ones((10, 2, 2)))
        return "x.npy"
    if kind == "zero-length npy":
        np.save(folder / "x.npy", np.ones(0))
        return "x.npy"
    if kind == "text npy":
        np.save(folder / "x.npy", np.array(["a", "b"]))
        return "x.npy"
    if kind == "non-numeric csv":
        (folder / "x.csv").write_text("1.0\n2.0\nhello\n")
        return "x.csv"
    if kind == "ragged csv":
        (folder / "x.csv").write_text("1,2\n3\n")
        return "x.csv"
    if kind == "missing file":
        return "nope.npy"
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["unreadable wav", "empty npy", "3-D npy", "zero-length npy",
                                  "text npy", "non-numeric csv", "ragged csv", "missing file"])
def test_bad_input_files(cli, tmp_path, kind):
    name = _make_bad(tmp_path, kind)
    before = set(os.listdir(tmp_path))
    res = cli("compress", name)
    assert len(one_line_error(res)) == 1
    assert set(os.listdir(tmp_path)) == before  # nothing half-written


def test_missing_output_folder(cli, files):
    res = cli("compress", "ecg.npy", "--output-dir", "no/such/dir")
    assert "folder does not exist" in one_line_error(res)[0]
    res = cli("decompress", "whatever.qlm", "-o", "no/such/x.npy")
    one_line_error(res)


def _corrupt(folder, kind):
    good = (folder / "ecg.npy.qlm").read_bytes()
    data = {
        "truncated": good[: len(good) // 2],
        "bad magic": b"JUNK" + good[4:],
        "flipped payload": good[:60] + bytes(b ^ 0xFF for b in good[60:200]) + good[200:],
        "empty": b"",
        "not a container": b"hello world, this is text and not a compressed signal at all",
    }[kind]
    (folder / "bad.qlm").write_bytes(data)


@pytest.mark.parametrize("kind", ["truncated", "bad magic", "flipped payload", "empty",
                                  "not a container"])
def test_corrupt_containers(cli, files, kind):
    assert cli("compress", "ecg.npy").code == 0
    _corrupt(files, kind)
    before = set(os.listdir(files))
    res = cli("decompress", "bad.qlm")
    assert len(one_line_error(res)) == 1
    assert set(os.listdir(files)) == before
    if kind != "flipped payload":  # the header of a flipped payload is intact
        assert len(one_line_error(cli("info", "bad.qlm"))) == 1


def test_info_table_and_json_agree_with_the_header(cli, files, ecg):
    assert cli("compress", "tone.wav", "--method", "sym4", "--scale", "8", "--coder", "arans").code == 0
    res = cli("info", "tone.wav.qlm")
    assert res.code == 0, res
    assert "2 channels" in res.out and "sym4" in res.out and "1 (arans)" in res.out
    doc = json.loads(cli("info", "--json", "tone.wav.qlm").out)
    assert doc["channels"] == 2
    for h in doc["containers"]:
        assert (h["method_tag"], h["scale"], h["coder_id"], h["sample_count"]) == ("sym4", 8, 1, 8000)
        assert h["multiplier"] == 256.0
    assert doc["metadata"]["samplerate"] == 8000


@pytest.mark.parametrize("flag,value,measure", [
    ("--max-error", "0.004", lambda x, y: metrics.max_abs_error(x, y) <= 0.004),
    ("--max-error", "0.2%", lambda x, y: metrics.max_abs_error(x, y) <= 0.002 * np.ptp(x)),
    ("--prd", "0.5", lambda x, y: metrics.prd(x, y) <= 0.5),
    ("--rmse", "0.001", lambda x, y: metrics.rmse(x, y) <= 0.001),
])
def test_error_targets_hold_after_decompression(cli, files, ecg, flag, value, measure):
    assert cli("compress", "ecg.npy", flag, value).code == 0
    assert cli("decompress", "ecg.npy.qlm", "-o", "back.npy").code == 0
    assert measure(ecg, np.load(files / "back.npy"))


def test_unreachable_target_is_a_clean_error(cli, files):
    res = cli("compress", "ecg.npy", "--max-error", "1e-12")
    assert "max_error" in one_line_error(res)[0]
    assert not (files / "ecg.npy.qlm").exists()


@pytest.mark.parametrize("args", [
    ["compress"], ["compress", "a.npy", "--scale", "13"], ["compress", "a.npy", "--method", "haar"],
    ["compress", "a.npy", "--max-error", "-1"], ["bench", "--scales", "5"], ["frobnicate"],
])
def test_usage_errors_exit_2(cli, args):
    res = cli(*args)
    assert res.code == 2 and "Traceback" not in res.err and "usage:" in res.err


def test_bench_table_and_plot(cli, files):
    res = cli("bench", "ecg.npy", "--methods", "cdf97,db4", "--coders", "cmodel,deflate",
              "--scales", "7,10", "--repeat", "1", "--plot", "rd.png")
    assert res.code == 0, res
    rows = [l for l in res.out.splitlines() if l.startswith(("cdf97", "db4"))]
    assert len(rows) == 8
    png = (files / "rd.png").read_bytes()
    assert png.startswith(PNG_MAGIC) and len(png) > 20_000
    doc = json.loads(cli("bench", "ecg.npy", "--methods", "cdf53", "--coders", "arans",
                         "--scales", "6,12", "--repeat", "1", "--json").out)
    lo, hi = doc["rows"]
    assert lo["ratio"] > hi["ratio"] and lo["prd"] > hi["prd"]
    assert all(r["compress_mb_s"] > 0 and r["decompress_mb_s"] > 0 for r in doc["rows"])


def test_bench_measures_the_tools_fast_coder_beside_the_module_coders(cli, files):
    # The default sweep lists the tools' own coder, which the module cannot
    # read: the bench codes channel units, so every listed coder is measured.
    doc = json.loads(cli("bench", "ecg.npy", "--methods", "cdf97", "--coders", "fast,cmodel",
                         "--scales", "11", "--repeat", "1", "--json").out)
    fast, cmodel = doc["rows"]
    assert (fast["coder"], cmodel["coder"]) == ("fast", "cmodel")
    assert fast["prd"] == pytest.approx(cmodel["prd"], rel=1e-12)
    assert 0.9 < fast["bytes"] / cmodel["bytes"] < 1.1


def test_demo_prints_three_settings_and_draws_figure(cli, tmp_path):
    res = cli("demo", "--out", "demo.png")
    assert res.code == 0, res
    table = [l for l in res.out.splitlines() if l.startswith(("default", "compact", "target"))]
    assert len(table) == 3
    assert (tmp_path / "demo.png").read_bytes().startswith(PNG_MAGIC)
    assert [n for n in os.listdir(tmp_path) if n.endswith(".part")] == []


@pytest.mark.parametrize("src,args,check", [
    ("tone.wav", ["-o", "t.npy"], lambda p: np.load(p).shape == (8000, 2)),
    ("ecg.npy", ["--output-dir", "sub", "--format", "csv"],
     lambda p: len(p.read_text().splitlines()) == 7200),
    ("ecg.npy", ["-o", "e.wav", "--samplerate", "360"],
     lambda p: sf.info(str(p)).samplerate == 360 and sf.info(str(p)).subtype == "FLOAT"),
])
def test_decompress_converts_between_formats(cli, files, src, args, check):
    assert cli("compress", src).code == 0
    (files / "sub").mkdir()
    res = cli("decompress", f"{src}.qlm", *args)
    assert res.code == 0, res
    out = args[args.index("-o") + 1] if "-o" in args else "sub/ecg.csv"
    assert check(files / out)


def test_wav_output_needs_a_sample_rate(cli, files):
    assert cli("compress", "ecg.npy").code == 0
    res = cli("decompress", "ecg.npy.qlm", "-o", "e.wav")
    assert "--samplerate" in one_line_error(res)[0]
    assert not (files / "e.wav").exists()


def test_bare_module_container_is_a_valid_file(cli, tmp_path, ecg):
    # Containers written by other programs with the module alone have no trailer.
    raw = quillmere.compress_signal(ecg, quillmere.CompressionOptions(scale=10, coder="deflate"))
    (tmp_path / "raw.qlm").write_bytes(raw)
    doc = json.loads(cli("info", "--json", "raw.qlm").out)
    assert doc["metadata"] is None and doc["containers"][0]["coder"] == "deflate"
    # Without the option it cannot be told from a file cut before its index.
    assert "--bare" in one_line_error(cli("decompress", "raw.qlm"))[0]
    assert cli("decompress", "--bare", "raw.qlm").code == 0
    back = np.load(tmp_path / "raw.npy")
    np.testing.assert_array_equal(back, quillmere.decompress_signal(raw))
