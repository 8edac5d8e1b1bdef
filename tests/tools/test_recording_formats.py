"""Recording formats end to end: files written by each format's own library,
compressed and decompressed by the command line, read back by that library."""
import datetime
import json
import os
import subprocess

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")

from conftest import _cli_prefix, one_line_error

BOUND = 0.02


def _walk(n, seed, scale):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal(n)) * scale


def _round_trip(cli, name, *extra):
    res = cli("compress", "--max-error", BOUND, *extra, name)
    assert res.code == 0, res
    return res


def _no_leftovers(folder, allowed):
    assert sorted(os.listdir(folder)) == sorted(allowed)


# ------------------------------------------------------------------ EDF/BDF

@pytest.fixture(params=["edf", "bdf"])
def edf_file(request, tmp_path):
    pyedflib = pytest.importorskip("pyedflib")
    kind = request.param
    path = tmp_path / f"sleep.{kind}"
    top = 2 ** 23 if kind == "bdf" else 2 ** 15
    headers = [
        dict(label="EEG Fpz-Cz", dimension="uV", sample_frequency=256, physical_min=-300.0,
             physical_max=300.0, digital_min=-top, digital_max=top - 1, transducer="AgAgCl",
             prefilter="HP:0.3Hz LP:70Hz"),
        dict(label="Resp oro-nasal", dimension="mV", sample_frequency=32, physical_min=-5.0,
             physical_max=5.0, digital_min=-2048, digital_max=2047, transducer="thermistor",
             prefilter=""),
    ]
    w = pyedflib.EdfWriter(str(path), 2, file_type=pyedflib.FILETYPE_BDFPLUS if kind == "bdf"
                           else pyedflib.FILETYPE_EDFPLUS)
    w.setHeader({"patientname": "Anon", "technician": "RK", "equipment": "amp-7",
                 "recording_additional": "PSG night 2", "patient_additional": "",
                 "patientcode": "P-0042", "admincode": "", "sex": 1,
                 "birthdate": datetime.date(1970, 1, 2),
                 "startdate": datetime.datetime(2021, 3, 4, 22, 15, 0)})
    w.setSignalHeaders(headers)
    eeg = np.clip(_walk(256 * 30, 1, 2.0), -290, 290)
    resp = 4 * np.sin(np.arange(32 * 30) / 15.0)
    w.writeSamples([eeg, resp])
    w.writeAnnotation(12.5, 2.0, "arousal")
    w.close()
    return path


def _edf_view(path):
    import pyedflib

    r = pyedflib.EdfReader(str(path))
    try:
        head = r.getHeader()
        return (r.getSignalHeaders(), head, [list(a) for a in r.readAnnotations()],
                list(r.getNSamples()), r.filetype,
                [r.readSignal(i) for i in range(r.signals_in_file)])
    finally:
        r.close()


def test_edf_channels_keep_their_rates_and_metadata(cli, edf_file, tmp_path):
    before = _edf_view(edf_file)
    _round_trip(cli, edf_file.name)
    edf_file.rename(tmp_path / "original")
    res = cli("decompress", edf_file.name + ".qlm")
    assert res.code == 0, res
    after = _edf_view(edf_file)
    headers, head, notes, counts, filetype, signals = after
    assert headers == before[0]
    assert [h["sample_frequency"] for h in headers] == [256, 32]
    assert head == before[1] and notes == before[2]
    assert counts == before[3] == [256 * 30, 32 * 30] and filetype == before[4]
    for x, y in zip(before[5], signals):
        assert np.max(np.abs(x - y)) <= BOUND


def test_multi_rate_recording_refuses_a_table_output(cli, edf_file):
    _round_trip(cli, edf_file.name)
    res = cli("decompress", "--format", "npy", edf_file.name + ".qlm")
    assert "different rates" in one_line_error(res)[0]
    assert not (edf_file.parent / (edf_file.stem + ".npy")).exists()


# --------------------------------------------------------------------- WFDB

@pytest.fixture
def wfdb_record(tmp_path):
    wfdb = pytest.importorskip("wfdb")
    p = np.stack([_walk(3600, 2, 0.01), 0.8 * np.sin(np.arange(3600) / 40.0)], axis=1)
    wfdb.wrsamp("ecg", fs=360, units=["mV", "mV"], sig_name=["MLII", "V5"], p_signal=p,
                fmt=["212", "16"], adc_gain=[200.0, 1000.0], baseline=[0, 12],
                comments=["age 61 sex F"], base_time=datetime.time(8, 30, 5),
                base_date=datetime.date(2019, 6, 1), write_dir=str(tmp_path))
    return tmp_path / "ecg.hea"


def _wfdb_view(path):
    import wfdb

    return wfdb.rdrecord(str(path.with_suffix("")))


def test_wfdb_record_keeps_calibration_and_names(cli, wfdb_record, tmp_path):
    before = _wfdb_view(wfdb_record)
    _round_trip(cli, "ecg.hea")
    (tmp_path / "orig").mkdir()
    for name in ("ecg.hea", "ecg_1.dat", "ecg_2.dat"):
        (tmp_path / name).rename(tmp_path / "orig" / name)
    res = cli("decompress", "ecg.hea.qlm")
    assert res.code == 0, res
    after = _wfdb_view(wfdb_record)
    for field in ("fs", "units", "sig_name", "fmt", "adc_gain", "baseline", "comments",
                  "base_time", "base_date", "sig_len"):
        assert getattr(after, field) == getattr(before, field), field
    assert np.max(np.abs(after.p_signal - before.p_signal)) <= BOUND


def test_multi_frequency_wfdb_keeps_samples_per_frame(cli, tmp_path):
    wfdb = pytest.importorskip("wfdb")
    signals = [np.sin(np.arange(2000) / 20.0), 0.3 * np.cos(np.arange(1000) / 9.0)]
    wfdb.wrsamp("mf", fs=100, units=["mV", "mmHg"], sig_name=["ECG", "ABP"], e_p_signal=signals,
                samps_per_frame=[2, 1], fmt=["16", "16"], adc_gain=[1000.0, 100.0],
                baseline=[0, 0], write_dir=str(tmp_path))
    before = wfdb.rdrecord(str(tmp_path / "mf"), smooth_frames=False)
    _round_trip(cli, "mf.hea")
    for name in os.listdir(tmp_path):
        if name.startswith("mf") and not name.endswith(".qlm"):
            os.unlink(tmp_path / name)
    assert cli("decompress", "mf.hea.qlm").code == 0
    after = wfdb.rdrecord(str(tmp_path / "mf"), smooth_frames=False)
    assert after.samps_per_frame == [2, 1] and after.fs == 100
    for x, y in zip(before.e_p_signal, after.e_p_signal):
        assert x.size == y.size and np.max(np.abs(x - y)) <= BOUND


def test_wfdb_record_cannot_go_to_standard_output(cli, wfdb_record):
    _round_trip(cli, "ecg.hea")
    res = cli("decompress", "-o", "-", "ecg.hea.qlm")
    assert res.code == 1 and res.out == ""
    assert any("several files and cannot go to standard output" in line
               for line in res.err.splitlines() if line.startswith("quillmere: error: "))


# -------------------------------------------------------------------- audio

AUDIO = [("tone.flac", "PCM_16"), ("tone.flac", "PCM_24"), ("tone.aiff", "PCM_24"),
         ("tone.aiff", "FLOAT"), ("tone.wav", "PCM_16")]


def _stereo(n=16000, rate=16000):
    t = np.arange(n) / rate
    return np.stack([0.7 * np.sin(2 * np.pi * 440 * t) * np.exp(-t),
                     0.4 * np.sin(2 * np.pi * 97 * t)], axis=1)


def _audio_round_trip(cli, tmp_path, name, subtype, bound):
    sf.write(tmp_path / name, _stereo(), 16000, subtype=subtype)
    original, _ = sf.read(str(tmp_path / name), always_2d=True)
    res = cli("compress", "--max-error", bound, name)
    assert res.code == 0, res
    (tmp_path / name).unlink()
    assert cli("decompress", name + ".qlm").code == 0
    info = sf.info(str(tmp_path / name))
    assert (info.subtype, info.samplerate, info.channels) == (subtype, 16000, 2)
    back, _ = sf.read(str(tmp_path / name), always_2d=True)
    return np.max(np.abs(back - original))


@pytest.mark.parametrize("name,subtype", AUDIO)
def test_audio_keeps_encoding_and_bound(cli, tmp_path, name, subtype):
    assert _audio_round_trip(cli, tmp_path, name, subtype, BOUND) <= BOUND


@pytest.mark.parametrize("name,subtype", [("tone.flac", "PCM_S8"), ("tone.wav", "PCM_U8")])
def test_bound_below_half_a_code_step_restores_every_code(cli, tmp_path, name, subtype):
    # Every sample rounds back to its own code, so the rewritten file is the original.
    assert _audio_round_trip(cli, tmp_path, name, subtype, 0.4 / 128) == 0


def test_ogg_vorbis_round_trip_keeps_stream_layout(cli, tmp_path):
    sf.write(tmp_path / "voice.ogg", _stereo(), 16000, format="OGG", subtype="VORBIS")
    decoded, _ = sf.read(str(tmp_path / "voice.ogg"), always_2d=True)
    assert cli("compress", "--max-error", BOUND, "voice.ogg").code == 0
    # The bound holds for the decompressed samples; Vorbis re-encoding adds its own loss.
    assert cli("decompress", "--format", "npy", "voice.ogg.qlm").code == 0
    assert np.max(np.abs(np.load(tmp_path / "voice.npy") - decoded)) <= BOUND
    (tmp_path / "voice.ogg").unlink()
    assert cli("decompress", "voice.ogg.qlm").code == 0
    info = sf.info(str(tmp_path / "voice.ogg"))
    assert (info.format, info.subtype, info.samplerate, info.channels) == ("OGG", "VORBIS", 16000, 2)


# ----------------------------------------------------------- arrays, tables

@pytest.mark.parametrize("layout,shape", [("columns", (4000, 3)), ("rows", (3, 4000))])
@pytest.mark.parametrize("dtype", ["float32", "int16"])
def test_two_dimensional_npy_keeps_shape_and_dtype(cli, tmp_path, layout, shape, dtype):
    x = (_walk(12000, 5, 3.0).reshape(shape) * (50 if dtype == "int16" else 1)).astype(dtype)
    np.save(tmp_path / "m.npy", x)
    res = cli("compress", "--layout", layout, "--max-error", "0.1%", "m.npy")
    assert res.code == 0, res
    assert cli("decompress", "-o", "back.npy", "m.npy.qlm").code == 0
    back = np.load(tmp_path / "back.npy")
    assert back.shape == shape and back.dtype == np.dtype(dtype)
    channels = x if layout == "rows" else x.T
    restored = back if layout == "rows" else back.T
    for a, b in zip(channels.astype(np.float64), restored.astype(np.float64)):
        # Integer samples round back to integers within the same bound.
        assert np.max(np.abs(a - b)) <= 1e-3 * (a.max() - a.min())
    info = cli("info", "--json", "m.npy.qlm")
    assert len(json.loads(info.out)["containers"]) == 3


def _csv(tmp_path, header, times):
    rows = [header] + [f"{t:.4f},{np.sin(t):.6f},{np.cos(3 * t):.6f}" for t in times]
    (tmp_path / "log.csv").write_text("\n".join(rows) + "\n")


@pytest.mark.parametrize("header,option", [("time,a,b", []), ("stamp,a,b", ["--time-column", "stamp"])])
def test_csv_time_column_becomes_the_rate(cli, tmp_path, header, option):
    _csv(tmp_path, header, 0.25 + np.arange(500) / 200.0)
    table = np.loadtxt(tmp_path / "log.csv", delimiter=",", skiprows=1)
    assert cli("compress", "--max-error", 1e-3, *option, "log.csv").code == 0
    info = json.loads(cli("info", "--json", "log.csv.qlm").out)
    assert len(info["containers"]) == 2 and info["metadata"]["time_step"] == pytest.approx(0.005)
    assert cli("decompress", "-o", "back.csv", "log.csv.qlm").code == 0
    text = (tmp_path / "back.csv").read_text().splitlines()
    assert text[0] == header
    back = np.loadtxt(tmp_path / "back.csv", delimiter=",", skiprows=1)
    np.testing.assert_allclose(back[:, 0], table[:, 0], atol=1e-9)
    assert np.max(np.abs(back[:, 1:] - table[:, 1:])) <= 1e-3


def test_csv_uneven_time_column_is_kept_or_refused_with_the_way_out(cli, tmp_path):
    _csv(tmp_path, "time,a,b", np.sort(np.random.default_rng(0).uniform(0, 5, 300)))
    assert cli("compress", "log.csv").code == 0
    assert cli("decompress", "-o", "back.csv", "log.csv.qlm").code == 0
    times = np.loadtxt(tmp_path / "log.csv", delimiter=",", skiprows=1)[:, 0]
    assert np.array_equal(np.loadtxt(tmp_path / "back.csv", delimiter=",", skiprows=1)[:, 0], times)
    # Too irregular to keep within the metadata's size: refused, with the way out.
    _csv(tmp_path, "time,a,b", np.sort(np.random.default_rng(0).uniform(0, 500, 20000)))
    line = one_line_error(cli("compress", "--force", "log.csv"))[0]
    assert "not evenly spaced" in line and "--time-column none" in line
    assert cli("compress", "--force", "--time-column", "none", "log.csv").code == 0


# ------------------------------------------------------------------- pipes

def _pipe(args, data, cwd):
    proc = subprocess.run(_cli_prefix() + args, input=data, capture_output=True, cwd=cwd,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()
    return proc.stdout


def test_pipes_give_the_same_bytes_as_files(cli, tmp_path):
    sf.write(tmp_path / "s.flac", _stereo(), 16000, subtype="PCM_16")
    assert cli("compress", "-q", "s.flac").code == 0
    piped = _pipe(["compress", "-q", "-"], (tmp_path / "s.flac").read_bytes(), tmp_path)
    assert piped == (tmp_path / "s.flac.qlm").read_bytes()
    restored = _pipe(["decompress", "-q", "-"], piped, tmp_path)
    assert restored[:4] == b"fLaC"
    assert cli("decompress", "-o", "file.flac", "s.flac.qlm").code == 0
    a, _ = sf.read(str(tmp_path / "file.flac"))
    (tmp_path / "pipe.flac").write_bytes(restored)
    b, _ = sf.read(str(tmp_path / "pipe.flac"))
    np.testing.assert_array_equal(a, b)
    as_csv = _pipe(["decompress", "-q", "--format", "csv", "-"], piped, tmp_path)
    assert len(as_csv.decode().splitlines()) == 16000


# ----------------------------------------------------------------- workers

def test_workers_do_not_change_the_bytes(cli, tmp_path, edf_file):
    for i in range(3):
        np.save(tmp_path / f"w{i}.npy", _walk(50000, 10 + i, 1.0).astype(np.float32))
    sf.write(tmp_path / "s.wav", _stereo(), 16000, subtype="PCM_24")
    (tmp_path / "broken.npy").write_bytes(b"\x93NUMPY garbage")
    names = ["w0.npy", "w1.npy", "w2.npy", "s.wav", edf_file.name]
    results = {}
    for jobs in (1, 2):
        out = tmp_path / f"j{jobs}"
        out.mkdir()
        res = cli("compress", "-j", jobs, "--max-error", "0.1%", "--output-dir", out,
                  *names[:2], "broken.npy", *names[2:])
        # The broken file is reported in one line and the batch goes on.
        assert res.code == 1 and len(res.err.strip().splitlines()) == 1, res
        assert "broken.npy" in res.err
        assert res.out.index("w1.npy") < res.out.index("s.wav")  # input order kept
        results[jobs] = {n: (out / (n + ".qlm")).read_bytes() for n in names}
        back = tmp_path / f"back{jobs}"
        back.mkdir()
        res = cli("decompress", "-j", jobs, "--output-dir", back,
                  *[out / (n + ".qlm") for n in names])
        assert res.code == 0, res
        results[jobs, "back"] = {n: (back / n).read_bytes() for n in names if n.endswith(".npy")}
    assert results[1] == results[2]
    assert results[1, "back"] == results[2, "back"]


# --------------------------------------------------------------- bad input

def _truncate(path, keep):
    data = path.read_bytes()
    path.write_bytes(data[: int(len(data) * keep)])


def _bad_edf(tmp_path):
    pyedflib = pytest.importorskip("pyedflib")
    path = tmp_path / "bad.edf"
    w = pyedflib.EdfWriter(str(path), 1, file_type=pyedflib.FILETYPE_EDFPLUS)
    w.setSignalHeaders([dict(label="x", dimension="uV", sample_frequency=100, physical_min=-1.0,
                             physical_max=1.0, digital_min=-32768, digital_max=32767,
                             transducer="", prefilter="")])
    w.writeSamples([np.zeros(1000)])
    w.close()
    return path


def _bad_flac(tmp_path):
    path = tmp_path / "bad.flac"
    sf.write(path, _stereo(), 16000, subtype="PCM_16")
    return path


@pytest.mark.parametrize("make,damage", [
    (_bad_edf, "truncate"), (_bad_edf, "garbage"), (_bad_flac, "truncate"), (_bad_flac, "garbage"),
])
def test_damaged_single_file_inputs_fail_cleanly(cli, tmp_path, make, damage):
    path = make(tmp_path)
    if damage == "truncate":
        _truncate(path, 0.6)
    else:
        path.write_bytes(b"0       " + os.urandom(600))
    before = sorted(os.listdir(tmp_path))
    lines = one_line_error(cli("compress", path.name))
    assert len(lines) == 1 and path.name in lines[0]
    _no_leftovers(tmp_path, before)


@pytest.mark.parametrize("damage", ["missing-dat", "truncated-dat", "garbage-header"])
def test_damaged_wfdb_record_fails_cleanly(cli, wfdb_record, tmp_path, damage):
    if damage == "missing-dat":
        (tmp_path / "ecg_2.dat").unlink()
    elif damage == "truncated-dat":
        _truncate(tmp_path / "ecg_1.dat", 0.5)
    else:
        wfdb_record.write_text("ecg 2 lots of nonsense\n\x00\x01\n")
    before = sorted(os.listdir(tmp_path))
    lines = one_line_error(cli("compress", "ecg.hea"))
    assert len(lines) == 1 and "WFDB" in lines[0]
    _no_leftovers(tmp_path, before)


@pytest.mark.parametrize("module,extra,suffix", [("pyedflib", "edf", ".edf"),
                                                 ("wfdb", "wfdb", ".hea")])
def test_missing_extra_names_the_install_command(tmp_path, monkeypatch, module, extra, suffix):
    import sys

    from quillmere_tools.recordings import read_signal
    from quillmere_tools.recordings.signal import InputError

    monkeypatch.setitem(sys.modules, module, None)
    path = tmp_path / ("x" + suffix)
    path.write_bytes(b"0       " * 40)
    with pytest.raises(InputError, match=rf"pip install 'quillmere\[{extra}\]'"):
        read_signal(path)


# ------------------------------------------------------ pieces on their own

@pytest.mark.parametrize("head,name", [
    (b"\x93NUMPY\x01\x00", "npy"), (b"RIFF\x00\x00\x00\x00WAVE", "wav"), (b"fLaC\x00", "flac"),
    (b"OggS\x00\x02", "ogg"), (b"FORM\x00\x00\x00\x10AIFF", "aiff"), (b"\xffBIOSEMI", "bdf"),
    (b"0       X X X X", "edf"), (b"time,a\n0,1\n", "csv"), (b"\x00\xff\xfe\x80" * 40, None),
])
def test_standard_input_is_recognised_by_its_first_bytes(head, name):
    from quillmere_tools.recordings.stdio import sniff

    assert sniff(head) == name


@pytest.mark.parametrize("step,asked", [(1.0, 0.3), (1.0, 0.6), (1.0, 2.5), (0.01, 1e-5)])
def test_tightened_bound_survives_rounding_to_codes(step, asked):
    from quillmere_tools.recordings import grid

    rng = np.random.default_rng(3)
    codes = rng.integers(-1000, 1000, 5000)
    x = 7.0 + codes * step
    bound = grid.tighten(asked, step)
    y = x + rng.uniform(-bound, bound, x.size)
    y[:2] = x[:2] + [bound, -bound]  # the extremes the codec may reach
    back = 7.0 + grid.to_codes(y, 7.0, step, -2000, 2000) * step
    assert np.max(np.abs(back - x)) <= asked * (1 + 1e-12)


def test_metadata_with_wrong_channel_lengths_is_refused():
    from quillmere_tools._core import ToolError
    from quillmere_tools.qlm.container_header import ContainerError
    from quillmere_tools.qlm.signal_files import decode_signal, encode_signal
    from quillmere_tools.recordings.signal import Signal
    from quillmere_tools.qlm.index import pack, unpack

    good, _ = encode_signal(Signal([np.arange(300.0), np.arange(30.0)], {"format": "edf"}))
    assert decode_signal(good).lengths == [300, 30]
    index = unpack(good)
    for bad in ({**index.metadata, "channel_frames": [30, 300]},
                {**index.metadata, "channel_info": [{"label": ["nested"]}, {}]}):
        with pytest.raises((ToolError, ContainerError)):
            decode_signal(pack(index.units, bad))


def test_bench_batch_rows_report_both_worker_counts():
    from quillmere_tools.cli.entry import main
    from quillmere_tools.measure.worker_scaling import measure

    rows = measure(main, _walk(4000, 9, 1.0), [1, 2], files=3, samples=20_000, repeat=1)
    assert [r["workers"] for r in rows] == [1, 2]
    assert all(r["same_bytes"] and r["compress_s"] > 0 for r in rows)
