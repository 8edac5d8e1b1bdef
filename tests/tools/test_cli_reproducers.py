"""The command used as a careless or hostile user would: each case is a
reproducer of something that once ended in a wrong result, a traceback, a
runaway allocation or a file left behind."""
import json
import os
import signal
import struct
import subprocess
import sys
import time
import zlib

import numpy as np
import pytest
import quillmere


from conftest import _cli_prefix, one_line_error
from quillmere_tools.qlm.index import pack

WRITE_ENV = {**os.environ, "MPLBACKEND": "Agg"}


def _stereo_file(files, cli):
    assert cli("compress", "tone.wav").code == 0
    return (files / "tone.wav.qlm").read_bytes()


def test_stereo_file_cut_after_its_first_container_is_an_error(cli, files):
    blob = _stereo_file(files, cli)
    first = 52 + int.from_bytes(blob[32:36], "little")
    (files / "cut.qlm").write_bytes(blob[:first])
    line = one_line_error(cli("decompress", "cut.qlm", "-o", "cut.wav"))[0]
    assert "cut short" in line and "--samplerate" not in line
    assert not (files / "cut.wav").exists()


def test_spliced_channels_are_an_error(cli, files):
    blob = _stereo_file(files, cli)
    (files / "four.qlm").write_bytes(blob[:-20] + blob)
    one_line_error(cli("decompress", "four.qlm", "-o", "four.npy"))
    assert not (files / "four.npy").exists()


def test_string_dtype_trailer_is_refused(cli, tmp_path):
    c = quillmere.compress_signal(np.sin(np.arange(1000) / 9.0))
    body = json.dumps({"format": "npy", "dtype": "|S500000", "v": 1, "frames": 1000}).encode()
    (tmp_path / "w.qlm").write_bytes(c + b"QLMX" + len(body).to_bytes(4, "little") + body)
    assert "dtype" in one_line_error(cli("decompress", "w.qlm"))[0]
    assert not (tmp_path / "w.npy").exists()


def _claiming(samples: int) -> bytes:
    """A well-formed, checksummed file whose header announces ``samples``."""
    c = bytearray(quillmere.compress_signal(np.zeros(1000, np.float32)))
    c[16:20] = samples.to_bytes(4, "little")
    return pack([bytes(c)], {"format": "npy", "frames": samples})


def test_output_larger_than_the_stated_factor_is_refused_before_decoding(cli, tmp_path):
    (tmp_path / "big.qlm").write_bytes(_claiming(2**32 - 1))
    started = time.perf_counter()
    res = cli("decompress", "big.qlm")
    assert "--max-output" in one_line_error(res)[0]
    assert time.perf_counter() - started < 20  # refused from the index, nothing allocated
    res = cli("decompress", "big.qlm", "--max-output", "1G")
    assert "more than --max-output" in one_line_error(res)[0]


def test_a_constant_signal_stays_under_the_factor(cli, tmp_path):
    # The most compressible real input must not be taken for a hostile one.
    np.save(tmp_path / "flat.npy", np.zeros(2_000_000))
    assert cli("compress", "flat.npy", "--scale", "6", "--cutoff", "high").code == 0
    res = cli("decompress", "flat.npy.qlm", "-o", "back.npy")
    assert res.code == 0, res
    assert np.load(tmp_path / "back.npy").shape == (2_000_000,)


def test_out_of_memory_is_reported_as_such(files, monkeypatch, capsys, ecg):
    from quillmere_tools.qlm import signal_files as files_module
    from quillmere_tools.cli import main

    assert main(["compress", "-q", str(files / "ecg.npy")]) == 0

    def exhausted(unit):
        raise MemoryError()

    monkeypatch.setattr(files_module, "decode_channel", exhausted)
    assert main(["decompress", "-q", str(files / "ecg.npy.qlm"), "-o", str(files / "o.npy")]) == 1
    assert "out of memory" in capsys.readouterr().err


def _many_channels(count: int) -> bytes:
    units = [quillmere.compress_signal(np.array([float(i)], np.float32)) for i in range(count)]
    return pack(units, {"format": "npy", "frames": 1, "channels": count})


def test_info_json_stays_proportionate(cli, tmp_path):
    blob = _many_channels(5000)
    (tmp_path / "many.qlm").write_bytes(blob)
    res = cli("info", "--json", "many.qlm")
    assert res.code == 0, res
    doc = json.loads(res.out)
    assert doc["channels"] == 5000 and doc["containers_not_shown"] == 5000 - 16
    assert len(res.out) < 20_000 < len(blob)


@pytest.mark.parametrize("layout", ["indexed", "legacy"])
def test_two_hundred_thousand_channels_are_one_clear_error(cli, tmp_path, layout):
    unit = quillmere.compress_signal(np.array([1.0], np.float32))
    if layout == "indexed":
        body = b'{"frames":1}'
        count = 200_000
        head = unit * count + struct.pack("<Q", len(unit)) * count + body
        fields = struct.pack("<IIHH", count, len(body), 2, 0)
        blob = head + fields + struct.pack("<I", zlib.crc32(fields, zlib.crc32(head))) + b"QLMF"
    else:
        blob = unit * 200_000 + b"QLMX" + struct.pack("<I", 2) + b"{}"
    (tmp_path / "wide.qlm").write_bytes(blob)
    for command in (["info", "--json"], ["decompress"]):
        res = cli(*command, "wide.qlm")
        assert "65536" in one_line_error(res)[0] and res.out.count("\n") <= 1


def test_closed_pipe_ends_quietly(tmp_path):
    (tmp_path / "many.qlm").write_bytes(_many_channels(3000))
    proc = subprocess.Popen(_cli_prefix() + ["info", "--json", "--all", "many.qlm"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(10)
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 128 + signal.SIGPIPE
    assert err == ""


# Loaded into the command through PYTHONPATH: every output stops after its
# bytes are written and synced, before it is given its name, until the
# process has been asked to stop or the test creates the file "go" (or two
# minutes pass). The signal tests
# below therefore always land in the middle of a write, however fast the
# machine, instead of racing a batch that may already be done.
_HOLD_WRITES = """
import os, sys, time

_fsync = os.fsync
_held = os.path.join(os.environ["QUILLMERE_TEST_HOLD"], "held")
_go = os.path.join(os.environ["QUILLMERE_TEST_HOLD"], "go")


def _stop_requested():
    stop = sys.modules.get("quillmere_tools.stop_request")
    return stop is not None and stop.requested.is_set()


def _held_fsync(fd):
    _fsync(fd)
    open(_held, "a").close()
    deadline = time.monotonic() + 120
    while not (_stop_requested() or os.path.exists(_go)) and time.monotonic() < deadline:
        time.sleep(0.005)


os.fsync = _held_fsync
"""


def _default_stop_signals() -> None:
    # A suite run under nohup hands its ignored SIGHUP to every child, and
    # the command rightly keeps it ignored; these tests are about a command
    # started from a terminal.
    for number in (signal.SIGHUP, signal.SIGTERM):
        signal.signal(number, signal.SIG_DFL)


def _held_compress(tmp_path, *extra, launcher=()):
    """A compress of four files whose writers are all held before naming
    their output; returns once one is held, with the process, its folder
    and the folder of the hold. ``launcher`` goes before the command."""
    hold, work = tmp_path / "hold", tmp_path / "work"
    hold.mkdir()
    work.mkdir()
    (hold / "sitecustomize.py").write_text(_HOLD_WRITES)
    names = [f"s{i}.npy" for i in range(4)]
    for i, name in enumerate(names):
        np.save(work / name, np.sin(np.arange(50_000) / (7.0 + i)))
    env = {**WRITE_ENV, "QUILLMERE_TEST_HOLD": str(hold),
           "PYTHONPATH": os.pathsep.join(filter(None, [str(hold), os.environ.get("PYTHONPATH")]))}
    proc = subprocess.Popen([*launcher, *_cli_prefix(), "compress", *names, *extra], cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                            preexec_fn=_default_stop_signals)
    deadline = time.monotonic() + 120
    while not (hold / "held").exists():
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            out, err = proc.communicate()
            pytest.fail(f"no write was held (exit {proc.returncode}): {out!r} {err!r}")
        time.sleep(0.01)
    return proc, work, hold


@pytest.mark.parametrize("jobs", ["1", "3"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_termination_signals_clean_up_like_ctrl_c(tmp_path, signum, jobs):
    proc, work, _ = _held_compress(tmp_path, "-j", jobs)
    inputs = set(os.listdir(work))
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 128 + signum, (out, err)
    assert "Traceback" not in err and err.strip().startswith("quillmere: error: ")
    # The held outputs were released by the stop request itself, and none of
    # them may be named after it: nothing but the inputs remains.
    assert set(os.listdir(work)) == inputs


def test_sigkill_leaves_no_partial_files(tmp_path):
    proc, work, _ = _held_compress(tmp_path)
    inputs = set(os.listdir(work))
    proc.kill()
    proc.wait(timeout=60)
    assert proc.returncode == -signal.SIGKILL
    # Killed with an output's bytes written but unnamed: the anonymous file
    # goes with the process.
    assert set(os.listdir(work)) == inputs


def _wait_for_library(pid: int, fragment: str, timeout: float = 30.0) -> bool:
    """True once the process has mapped a library whose path holds
    ``fragment``: it is then past the interpreter's own start-up and inside
    the command's imports."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/maps") as maps:
                if fragment in maps.read():
                    return True
        except OSError:
            return False
        time.sleep(0.002)
    return False


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc to time the signal")
def test_interrupt_during_start_up_exits_130_quietly(tmp_path):
    np.save(tmp_path / "x.npy", np.sin(np.arange(100_000) / 7.0))
    proc = subprocess.Popen(_cli_prefix() + ["compress", "x.npy", "--max-error", "1e-6"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    assert _wait_for_library(proc.pid, "numpy")
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, (out, err)
    assert err == "quillmere: error: interrupted\n"


def test_longest_legal_output_name_is_written(cli, files):
    # A 255-byte name: the temporary name used to add 14 characters to it.
    name = "é" * 100 + "x" * (255 - 200 - 4) + ".qlm"
    assert len(name.encode()) == 255
    assert cli("compress", "ecg.npy", "-o", name).code == 0
    assert cli("compress", "ecg.npy", "-o", name, "--force").code == 0
    assert (files / name).stat().st_size > 0


@pytest.mark.parametrize("args", [["--dask-chunk", "0"], ["--dask-samples", "-1"],
                                  ["--repeat", "0"], ["--channel", "-1"]])
def test_bench_refuses_nonsense_counts_as_usage_errors(cli, args):
    res = cli("bench", *args)
    assert res.code == 2 and "Traceback" not in res.err and "usage:" in res.err


def test_missing_extra_is_named_with_its_install_command(cli, files, tmp_path):
    hide = tmp_path / "hide"
    hide.mkdir()
    (hide / "soundfile.py").write_text("raise ImportError('soundfile is not installed')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(hide),
                                                                     os.environ.get("PYTHONPATH")]))}
    proc = subprocess.run(_cli_prefix() + ["compress", "tone.wav"], cwd=files, env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert "pip install 'quillmere[tools]'" in proc.stderr and "soundfile" in proc.stderr


@pytest.mark.parametrize("args", [["demo", "--out", "/sys/quillmere-demo.png"],
                                  ["bench", "ecg.npy", "--plot", "/sys/rd.png"]])
def test_unwritable_output_is_found_before_the_work(cli, files, args):
    started = time.perf_counter()
    res = cli(*args)
    assert "cannot write in /sys" in one_line_error(res)[0]
    assert res.out == ""  # no table: nothing was computed
    assert time.perf_counter() - started < 30


def test_ratios_have_one_basis(cli, files):
    np.save(files / "e64.npy", np.load(files / "ecg.npy").astype(np.float64))
    res = cli("compress", "e64.npy")
    assert res.code == 0, res
    # The per-file line gives the ratio against the input file, then this.
    printed = res.out.split("(")[1].split(")")[0].split("; ")[-1]
    assert printed.endswith("x vs float32")
    info = cli("info", "e64.npy.qlm")
    assert f"ratio {printed}" in info.out
    doc = json.loads(cli("info", "--json", "e64.npy.qlm").out)
    assert f"{doc['ratio']:.2f}x" == printed.split()[0] and doc["ratio_basis"] == "vs float32"


def test_info_mean_is_in_the_signal_units(cli, tmp_path):
    x = 5.0 + np.sin(np.arange(20_000) / 30.0)
    np.save(tmp_path / "m.npy", x)
    assert cli("compress", "m.npy").code == 0
    header = json.loads(cli("info", "--json", "m.npy.qlm").out)["containers"][0]
    assert header["min"] <= header["mean"] <= header["max"]
    assert header["mean"] == pytest.approx(x.mean(), abs=1e-3)


@pytest.mark.parametrize("value", ["1e-300", "-5", "nan", "1e300"])
def test_destructive_multiplier_is_a_usage_error(cli, files, value):
    res = cli("compress", "ecg.npy", "--quant-multiplier", value)
    assert res.code == 2 and "quant" in res.err.lower() and "Traceback" not in res.err
    assert not (files / "ecg.npy.qlm").exists()


@pytest.mark.parametrize("command", ["compress", "decompress"])
def test_unwritable_output_folder_fails_before_any_file_is_read(cli, files, command):
    # The input does not even exist: the output folder is checked first.
    res = cli(command, "missing.npy" if command == "compress" else "missing.qlm",
              "--output-dir", "/sys")
    assert "cannot write in /sys" in one_line_error(res)[0]


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc to find the command")
def test_an_ignored_hangup_stays_ignored(tmp_path):
    # Under nohup the command must outlive the terminal, not clean up and stop.
    script = ("import signal, subprocess, sys\n"
              "signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
              "p = subprocess.Popen(sys.argv[1:])\n"
              "sys.exit(p.wait())\n")
    proc, work, hold = _held_compress(tmp_path, launcher=(sys.executable, "-c", script))
    children = _children(proc.pid)
    assert len(children) == 1
    # An ignored signal is dropped when sent, so once kill returns the
    # command has outlived it; then its writes may go on.
    os.kill(children[0], signal.SIGHUP)
    (hold / "go").touch()
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, (out, err)
    assert {f"s{i}.npy.qlm" for i in range(4)} <= set(os.listdir(work))


def _children(pid: int) -> list[int]:
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []
