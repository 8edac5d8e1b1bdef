"""Bounds and metadata where the user looks: files compressed and
decompressed by the command line, then read back with the libraries a user
would (soundfile, pyedflib, wfdb, numpy) and measured there."""
import datetime
import json

import numpy as np
import pytest

pytest.importorskip("quillmere")
sf = pytest.importorskip("soundfile")

from conftest import one_line_error

FRAMES = 8000


def _signal(frames=FRAMES, seed=5):
    rng = np.random.default_rng(seed)
    return np.stack([0.3 * np.sin(np.arange(frames) / 7.0) + 0.02 * rng.standard_normal(frames),
                     0.2 * np.cumsum(rng.standard_normal(frames)) / 60], axis=1)


def _edf(path, kind="edf", digital=2048):
    pyedflib = pytest.importorskip("pyedflib")
    rng = np.random.default_rng(7)
    w = pyedflib.EdfWriter(str(path), 1, file_type=pyedflib.FILETYPE_BDFPLUS if kind == "bdf"
                           else pyedflib.FILETYPE_EDFPLUS)
    w.setSignalHeaders([dict(label="EEG", dimension="uV", sample_frequency=256,
                             physical_min=-300.0, physical_max=300.0, digital_min=-digital,
                             digital_max=digital - 1, transducer="", prefilter="")])
    w.writeSamples([np.clip(np.cumsum(rng.standard_normal(FRAMES)) * 2, -290, 290)])
    w.close()


def _wfdb(path):
    wfdb = pytest.importorskip("wfdb")
    wfdb.wrsamp(path.stem, fs=360, units=["mV", "mV"], sig_name=["I", "II"], p_signal=_signal(),
                fmt=["16", "212"], adc_gain=[400.0, 200.0], baseline=[0, 7],
                write_dir=str(path.parent))


MAKERS = {
    "a16.wav": lambda p: sf.write(p, _signal(), 8000, subtype="PCM_16"),
    "a8.flac": lambda p: sf.write(p, _signal(), 8000, subtype="PCM_S8"),
    "a16.aiff": lambda p: sf.write(p, _signal(), 8000, subtype="PCM_16"),
    "f.wav": lambda p: sf.write(p, _signal(), 8000, subtype="FLOAT"),
    "e.edf": _edf,
    "b.bdf": lambda p: _edf(p, "bdf", 4096),
    "c.csv": lambda p: p.write_text("v,w\n" + "\n".join(f"{a:.7g},{b:.7g}" for a, b in _signal())
                                    + "\n"),
    "i.npy": lambda p: np.save(p, (_signal() * 3000).astype(np.int16)),
    "f4.npy": lambda p: np.save(p, _signal().astype(np.float32)),
    "h.npy": lambda p: np.save(p, (_signal() * 40).astype(np.float16)),
    "r.hea": _wfdb,
}


def _user_read(path):
    """The samples as a user's own library reads them, (frames, channels)."""
    if path.suffix in (".edf", ".bdf"):
        import pyedflib

        r = pyedflib.EdfReader(str(path))
        try:
            return np.stack([r.readSignal(i) for i in range(r.signals_in_file)], axis=1)
        finally:
            r.close()
    if path.suffix == ".hea":
        import wfdb

        return wfdb.rdrecord(str(path.with_suffix(""))).p_signal
    if path.suffix == ".csv":
        return np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)
    if path.suffix == ".npy":
        return np.load(path).astype(np.float64)
    return sf.read(str(path), always_2d=True)[0]


def _measure(kind, x, y):
    """Per channel, as a user would compute it from the two files."""
    e = y - x
    span = x.max(axis=0) - x.min(axis=0)
    rms = np.sqrt(np.mean(e ** 2, axis=0))
    if kind == "max-error":
        return np.max(np.abs(e), axis=0) / span
    if kind == "rmse":
        return rms / span
    if kind == "prd":
        return 100 * np.sqrt(np.sum(e ** 2, axis=0) / np.sum(x ** 2, axis=0))
    return 20 * np.log10(span / rms)


# Values where rounding to the file's codes or text moves the result across
# the bound unless compression measures after it (8-bit FLAC, 12-bit EDF,
# int16 arrays, 64-step BDF).
BOUNDS = [("max-error", "0.4%", 0.004), ("rmse", "0.15%", 0.0015), ("prd", "1", 1.0),
          ("psnr", "56", 56.0)]


@pytest.mark.parametrize("kind,flag,limit", BOUNDS, ids=[b[0] for b in BOUNDS])
@pytest.mark.parametrize("name", list(MAKERS))
def test_bound_holds_in_the_written_back_file(cli, tmp_path, name, kind, flag, limit):
    src = tmp_path / name
    MAKERS[name](src)
    x = _user_read(src)
    res = cli("compress", f"--{kind}", flag, name)
    assert res.code == 0, res
    keep = tmp_path / "original"
    keep.mkdir()
    for f in tmp_path.iterdir():
        if f.is_file() and f.suffix != ".qlm":
            f.rename(keep / f.name)
    assert cli("decompress", name + ".qlm").code == 0
    measured = _measure(kind, x, _user_read(src))
    if kind == "psnr":
        assert np.all(measured >= limit), measured
    else:
        assert np.all(measured <= limit), measured


@pytest.mark.parametrize("psnr", [56, 60])
def test_edf_psnr_holds_after_the_physical_to_digital_mapping(cli, tmp_path, psnr):
    _edf(tmp_path / "s.edf")
    x = _user_read(tmp_path / "s.edf")
    assert cli("compress", "--psnr", psnr, "s.edf").code == 0
    assert cli("decompress", "-o", "back.edf", "s.edf.qlm").code == 0
    assert _measure("psnr", x, _user_read(tmp_path / "back.edf"))[0] >= psnr


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_rmse_holds_in_a_rewritten_16_bit_aiff(cli, tmp_path, seed):
    sf.write(tmp_path / "a.aiff", _signal(seed=seed), 16000, subtype="PCM_16")
    x = _user_read(tmp_path / "a.aiff")
    assert cli("compress", "--rmse", "1e-3", "a.aiff").code == 0
    assert cli("decompress", "-o", "back.aiff", "a.aiff.qlm").code == 0
    y = _user_read(tmp_path / "back.aiff")
    assert sf.info(str(tmp_path / "back.aiff")).subtype == "PCM_16"
    assert np.all(np.sqrt(np.mean((y - x) ** 2, axis=0)) <= 1e-3)


@pytest.mark.parametrize("budget", [2, 0.5, 0.05])
def test_bits_per_sample_counts_the_whole_file(cli, tmp_path, budget):
    sf.write(tmp_path / "st.wav", _signal(100_000), 16000, subtype="PCM_16")
    assert cli("compress", "--bits-per-sample", budget, "st.wav").code == 0
    bits = 8 * (tmp_path / "st.wav.qlm").stat().st_size / (2 * 100_000)
    # At the budget, and not far below it: the budget is spent, not wasted.
    assert 0.8 * budget <= bits <= budget


def test_a_budget_the_index_alone_exceeds_is_one_clear_error(cli, tmp_path):
    sf.write(tmp_path / "st.wav", _signal(2000), 16000, subtype="PCM_16")
    line = one_line_error(cli("compress", "--bits-per-sample", 0.05, "st.wav"))[0]
    assert "bits_per_sample 0.05" in line and "whole file" in line
    assert not (tmp_path / "st.wav.qlm").exists()


TIME_COLUMNS = {
    # 48 kHz printed to 9 significant digits: the step is not a 9-digit number.
    "48k": [f"{i / 48000:.9g}" for i in range(6000)],
    # Whole milliseconds with a gap where the logger paused.
    "gap": [str(i) for i in range(0, 3000)] + [str(i) for i in range(3500, 6500)],
    # Large round times that 'g' formatting would otherwise write as 1e+04.
    "round": [str(10000 * i) for i in range(6000)],
}


@pytest.mark.parametrize("times", list(TIME_COLUMNS))
def test_csv_time_column_comes_back_as_it_went_in(cli, tmp_path, times):
    column = TIME_COLUMNS[times]
    values = 0.5 * np.sin(np.arange(len(column)) / 9.0)
    (tmp_path / "log.csv").write_text(
        "time,v\n" + "\n".join(f"{t},{v:.6f}" for t, v in zip(column, values)) + "\n")
    assert cli("compress", "--max-error", "1e-4", "log.csv").code == 0
    assert cli("decompress", "-o", "back.csv", "log.csv.qlm").code == 0
    back = (tmp_path / "back.csv").read_text().splitlines()[1:]
    assert [float(r.split(",")[0]) for r in back] == [float(t) for t in column]
    assert "e+" not in back[-1].split(",")[0]


def test_csv_with_a_time_column_becomes_a_wav_at_its_rate(cli, tmp_path):
    (tmp_path / "log.csv").write_text("time,v\n" + "\n".join(
        f"{i / 48000:.9g},{np.sin(i / 30.0) * 0.5:.6f}" for i in range(4800)) + "\n")
    assert cli("compress", "log.csv").code == 0
    assert cli("decompress", "--format", "wav", "log.csv.qlm").code == 0
    assert sf.info(str(tmp_path / "log.wav")).samplerate == 48000


@pytest.mark.parametrize("src,subtype,dst,expected", [
    ("a.flac", "PCM_16", "wav", "PCM_16"),
    ("a.wav", "PCM_24", "aiff", "PCM_24"),
    ("a.wav", "PCM_U8", "flac", "PCM_S8"),
    ("a.aiff", "PCM_32", "flac", "PCM_24"),  # the widest FLAC has
])
def test_integer_audio_keeps_its_width_in_another_container(cli, tmp_path, src, subtype, dst,
                                                            expected):
    sf.write(tmp_path / src, _signal(), 8000, subtype=subtype)
    assert cli("compress", "--max-error", "1e-3", src).code == 0
    assert cli("decompress", "--format", dst, src + ".qlm").code == 0
    assert sf.info(str(tmp_path / f"a.{dst}")).subtype == expected


def test_edf_annotation_onsets_are_kept_exactly(cli, tmp_path):
    pyedflib = pytest.importorskip("pyedflib")
    path = tmp_path / "n.edf"
    w = pyedflib.EdfWriter(str(path), 1, file_type=pyedflib.FILETYPE_EDFPLUS)
    w.setSignalHeaders([dict(label="EEG", dimension="uV", sample_frequency=64,
                             physical_min=-300.0, physical_max=300.0, digital_min=-32768,
                             digital_max=32767, transducer="", prefilter="")])
    w.setHeader({"startdate": datetime.datetime(2020, 1, 2, 3, 4, 5), "patientname": "X",
                 "technician": "", "recording_additional": "", "patient_additional": "",
                 "patientcode": "", "equipment": "", "admincode": "", "sex": "",
                 "birthdate": ""})
    w.writeSamples([100 * np.sin(np.arange(64 * 20) / 11.0)])
    w.writeAnnotation(12.3457, 1.5, "arousal")
    w.writeAnnotation(3.0, -1, "spindle")
    w.close()
    # A recorder with finer times than the library writes: 10 us and 100 ns.
    raw = path.read_bytes()
    raw = raw.replace(b"+12.3457\x151.5000\x14arousal\x14\x00\x00\x00",
                      b"+12.34567\x151.50003\x14arousal\x14\x00")
    raw = raw.replace(b"+3\x14spindle\x14\x00\x00\x00\x00\x00\x00\x00\x00\x00",
                      b"+3.0000001\x14spindle\x14\x00")
    path.write_bytes(raw)
    r = pyedflib.EdfReader(str(path))
    before = r.readAnnotations()
    r.close()
    assert list(before[0]) == [12.34567, 3.0000001]
    assert cli("compress", "--max-error", 0.01, "n.edf").code == 0
    assert cli("decompress", "-o", "back.edf", "n.edf.qlm").code == 0
    r = pyedflib.EdfReader(str(tmp_path / "back.edf"))
    after = r.readAnnotations()
    r.close()
    for a, b in zip(before, after):
        assert list(a) == list(b)


def test_a_bound_the_written_back_values_can_never_meet_is_an_error():
    from quillmere_tools import Settings
    from quillmere_tools.bounds import Bounds
    from quillmere_tools.units.stored_bounds import compress_held
    from quillmere_tools.units.target import TargetNotMet

    x = np.sin(np.arange(4000) / 10.0)
    # A writer that shifts everything by 0.1: no search can undo it.
    with pytest.raises(TargetNotMet, match="max_error <= 0.01"):
        compress_held(x, Settings(), Bounds(max_error=0.01),
                      lambda y: np.asarray(y, dtype=np.float64) + 0.1, None)


def test_csv_samples_read_back_as_the_reconstruction(cli, tmp_path):
    (tmp_path / "v.csv").write_text("v\n" + "\n".join(repr(float(v)) for v in _signal()[:, 0]) + "\n")
    assert cli("compress", "--max-error", "2e-8", "v.csv").code == 0
    info = json.loads(cli("info", "--json", "v.csv.qlm").out)
    assert info["metadata"]["format"] == "csv"
    assert cli("decompress", "-o", "back.csv", "v.csv.qlm").code == 0
    x, y = _user_read(tmp_path / "v.csv"), _user_read(tmp_path / "back.csv")
    assert np.max(np.abs(x - y)) <= 2e-8
