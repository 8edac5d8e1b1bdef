"""What the command says: sizes and ratios a person can check against the
disk, one-line errors that name the field or parameter at fault, and
metadata shown as fields with personal ones kept back."""
import datetime
import json
import re
import subprocess

import numpy as np
import pytest

quillmere = pytest.importorskip("quillmere")

from conftest import _cli_prefix, one_line_error
from quillmere_tools._core import human_size
from quillmere_tools.qlm.index import pack


def _file_line(out: str, name: str) -> str:
    return next(l for l in out.splitlines() if l.startswith(name + " -> "))


def _ratio_vs_input(line: str) -> float:
    return float(re.search(r"\(([0-9.]+)x vs input", line).group(1))


def test_compress_reports_the_ratio_against_the_input_file(cli, files):
    sf = pytest.importorskip("soundfile")
    rng = np.random.default_rng(3)
    tone = np.sin(np.arange(40_000) / 7.0) * 0.5 + 0.01 * rng.standard_normal(40_000)
    sf.write(files / "phone.flac", tone, 8000, subtype="PCM_16")
    res = cli("compress", "phone.flac")
    assert res.code == 0, res
    line = _file_line(res.out, "phone.flac")
    stored = (files / "phone.flac.qlm").stat().st_size
    expected = (files / "phone.flac").stat().st_size / stored
    assert _ratio_vs_input(line) == pytest.approx(expected, abs=0.006)
    # The float32 figure follows, labelled, and is a different number here.
    assert f"{4 * tone.size / stored:.2f}x vs float32" in line
    assert "LARGER" not in line


def test_an_output_larger_than_its_input_is_said_to_be(cli, files):
    sf = pytest.importorskip("soundfile")
    noise = np.random.default_rng(5).uniform(-1, 1, 30_000)
    sf.write(files / "noise.wav", noise, 8000, subtype="PCM_U8")
    res = cli("compress", "noise.wav", "--max-error", "1e-4")
    assert res.code == 0, res
    stored = (files / "noise.wav.qlm").stat().st_size
    assert stored > (files / "noise.wav").stat().st_size  # the premise of the test
    for line in (_file_line(res.out, "noise.wav"), res.out.splitlines()[-1]):
        assert "LARGER than the input" in line and _ratio_vs_input(line) < 1.0


@pytest.mark.parametrize("command", ["compress", "decompress"])
def test_standard_output_reports_the_bytes_it_received(cli, files, command):
    assert cli("compress", "ecg.npy").code == 0
    source = "ecg.npy" if command == "compress" else "ecg.npy.qlm"
    with open(files / source, "rb") as stdin:
        proc = subprocess.run(_cli_prefix() + [command, "-"], stdin=stdin, capture_output=True,
                              cwd=files, timeout=120)
    assert proc.returncode == 0, proc.stderr
    summary = proc.stderr.decode().splitlines()[-1]
    assert f"-> {human_size(len(proc.stdout))}" in summary
    assert len(proc.stdout) > 1000


def _qlm(meta_changes: dict, samples: int = 1000) -> bytes:
    c = quillmere.compress_signal(np.sin(np.arange(samples) / 9.0))
    meta = {"format": "npy", "frames": samples, **meta_changes}
    return pack([c], meta)


@pytest.mark.parametrize("meta, args, named", [
    ({"format": "xyz"}, ["decompress", "bad.qlm", "-o", "-"], "format 'xyz'"),
    ({"dtype": "f1"}, ["decompress", "bad.qlm", "-o", "b.npy"], "dtype \"f1\""),
    ({"dtype": "<f1"}, ["info", "bad.qlm"], "dtype \"<f1\""),
    ({"shape": [2**32 - 1] * 32}, ["decompress", "bad.qlm", "-o", "b.npy"], "-digit number"),
    ({"format": "csv", "time_column": 0, "time_start": "abc", "time_step": 0.1},
     ["decompress", "bad.qlm", "-o", "b.csv"], "time_start"),
    ({"format": "csv", "time_step": -1.0}, ["decompress", "bad.qlm", "-o", "b.csv"], "time_step"),
])
def test_forged_metadata_is_named_in_one_short_line(cli, tmp_path, meta, args, named):
    (tmp_path / "bad.qlm").write_bytes(_qlm(meta))
    res = cli(*args)
    # With data bound for standard output the summary goes to stderr too.
    assert res.code == 1 and "Traceback" not in res.err, res
    errors = [l for l in res.err.splitlines() if l.startswith("quillmere: error: ")]
    assert len(errors) == 1, res
    line = errors[0]
    assert named in line and "unexpected" not in line and len(line) < 300, line
    assert not list(tmp_path.glob("b.*"))


def test_a_folder_given_to_compress_is_called_one(cli, files):
    for folder in (".", ".."):
        line = one_line_error(cli("compress", folder))[0]
        assert "is a folder" in line and "PosixPath" not in line


@pytest.mark.parametrize("call, named", [
    (lambda qt, x: qt.compress_many([x], psnr=10**400), "psnr"),
    (lambda qt, x: qt.compress_to_target(x, psnr=10**400), "psnr"),
    (lambda qt, x: qt.compress_many([x], threads=2**63), "threads"),
    (lambda qt, x: qt.decompress_many([qt.compress_many([x])[0]], threads=2**63), "threads"),
])
def test_out_of_range_parameters_are_value_errors_naming_them(call, named):
    import quillmere_tools as qt

    with pytest.raises(ValueError) as caught:
        call(qt, np.sin(np.arange(1000) / 9.0))
    text = str(caught.value)
    assert text.startswith(named) and len(text) < 120, text


def test_a_budget_too_small_is_named_as_given():
    import quillmere_tools as qt

    x = np.sin(np.arange(1000) / 9.0)
    for call in (lambda: qt.compress_many([x], bits_per_sample=1e-30),
                 lambda: qt.compress_to_target(x, bits_per_sample=1e-30)):
        with pytest.raises(qt.TargetNotMet, match=r"^(signal 0: )?bits_per_sample 1e-30 is below"):
            call()


@pytest.fixture
def edf_with_patient(files):
    pyedflib = pytest.importorskip("pyedflib")
    path = files / "night.edf"
    w = pyedflib.EdfWriter(str(path), 1, file_type=pyedflib.FILETYPE_EDFPLUS)
    w.setHeader({"patientname": "Jane Roe", "technician": "RK", "equipment": "amp-7",
                 "recording_additional": "PSG night 2", "patient_additional": "",
                 "patientcode": "P-0042", "admincode": "", "sex": 1,
                 "birthdate": datetime.date(1970, 1, 2),
                 "startdate": datetime.datetime(2021, 3, 4, 22, 15, 0)})
    w.setSignalHeaders([dict(label="EEG Fpz-Cz", dimension="uV", sample_frequency=256,
                             physical_min=-300.0, physical_max=300.0, digital_min=-32768,
                             digital_max=32767, transducer="AgAgCl", prefilter="")])
    w.writeSamples([100 * np.sin(np.arange(256 * 10) / 10.0)])
    for i in range(9):
        w.writeAnnotation(1.0 + i, 0.5, f"event {i}")
    w.close()
    return path


def test_info_shows_fields_and_keeps_personal_ones_back(cli, edf_with_patient):
    assert cli("compress", "night.edf").code == 0
    plain, every = cli("info", "night.edf.qlm"), cli("info", "--all", "night.edf.qlm")
    assert plain.code == 0 and every.code == 0
    for secret in ("Jane Roe", "P-0042", "1970"):
        assert secret not in plain.out and secret in every.out
    assert "edf_header.patientname" in plain.out and "--all shows them" in plain.out
    # One field a line, readable: no Python dict, no JSON object.
    assert "{" not in plain.out and "'" not in plain.out
    assert re.search(r"^  format +edf$", plain.out, re.M)
    assert re.search(r"^  edf_header\.equipment +amp-7$", plain.out, re.M)
    assert "EEG Fpz-Cz" in plain.out  # the channel table
    # Annotations: a few, then a count; --all lists them all.
    assert "event 8" not in plain.out and "4 more" in plain.out and "event 8" in every.out
    doc, doc_all = (json.loads(cli("info", "--json", *a, "night.edf.qlm").out)
                    for a in ([], ["--all"]))
    assert "patientname" not in doc["metadata"]["edf_header"]
    assert "edf_header.birthdate" in doc["hidden_fields"]
    assert doc_all["metadata"]["edf_header"]["patientname"] == "Jane Roe"


def test_info_keeps_control_characters_of_a_forged_field_off_the_terminal(cli, tmp_path):
    (tmp_path / "odd.qlm").write_bytes(_qlm({"note": "\x1b[2Jwiped\nsecond line\tx"}))
    res = cli("info", "odd.qlm")
    assert res.code == 0, res
    assert "\x1b" not in res.out
    assert re.search(r"^  note +\?\[2Jwiped second line x$", res.out, re.M), res.out
