"""Outputs and inputs that are not plain files: devices, FIFOs, symbolic
links, endless pipes, and names that already belong to someone."""
import os
import stat
import subprocess
import threading
import time

import numpy as np
import pytest

pytest.importorskip("quillmere")

from conftest import _cli_prefix, one_line_error


def _kind(path) -> int:
    return stat.S_IFMT(os.lstat(path).st_mode)


def _device(files, name: str, minor: int) -> str:
    """A character device to write to.  As root a private node of the same
    device is made, so that a regression replaces that node, not the
    machine's own /dev/null or /dev/full."""
    if os.geteuid() != 0:
        return f"/dev/{name}"
    node = files / name
    try:
        os.mknod(node, 0o666 | stat.S_IFCHR, os.makedev(1, minor))
    except OSError as exc:
        pytest.skip(f"cannot make a device node here: {exc}")
    return str(node)


@pytest.mark.parametrize("name, minor, force, error", [
    ("null", 3, False, None),
    ("full", 7, True, "no space left on device"),
])
def test_a_device_output_is_written_in_place_not_replaced(cli, files, name, minor, force, error):
    device = _device(files, name, minor)
    before = os.stat(device)
    res = cli("compress", "ecg.npy", "-o", device, *(["-f"] if force else []))
    after = os.lstat(device)
    assert stat.S_ISCHR(after.st_mode) and after.st_rdev == before.st_rdev
    assert after.st_ino == before.st_ino
    if error:
        assert error in one_line_error(res)[0]
    else:
        assert res.code == 0, res


def _drain(fifo, into: list):
    def read():
        with open(fifo, "rb") as f:
            into.append(f.read())
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    return reader


@pytest.mark.parametrize("command, source, fifo_name", [
    ("compress", "ecg.npy", "out.qlm"),
    ("decompress", "ecg.npy.qlm", "out.npy"),
])
def test_a_fifo_output_gets_the_bytes_and_stays_a_fifo(cli, files, command, source, fifo_name):
    if command == "decompress":
        assert cli("compress", "ecg.npy").code == 0
    fifo = files / fifo_name
    os.mkfifo(fifo)
    got: list = []
    reader = _drain(fifo, got)
    res = cli(command, source, "-o", fifo_name, timeout=60)
    reader.join(10)
    assert res.code == 0, res
    assert _kind(fifo) == stat.S_IFIFO
    # The same bytes a regular file of that name would have received.
    assert cli(command, source, "-o", "regular" + os.path.splitext(fifo_name)[1]).code == 0
    assert got == [(files / ("regular" + os.path.splitext(fifo_name)[1])).read_bytes()]


@pytest.mark.parametrize("command, source, suffix, magic", [
    ("compress", "ecg.npy", ".qlm", b"QLMR"),
    ("decompress", "ecg.npy.qlm", ".npy", b"\x93NUMPY"),
])
def test_a_symlink_output_is_written_through_and_kept(cli, files, command, source, suffix, magic):
    assert cli("compress", "ecg.npy").code == 0
    real, link = "real" + suffix, "link" + suffix
    (files / real).write_bytes(b"older contents")
    os.symlink(real, files / link)
    refused = one_line_error(cli(command, source, "-o", link))[0]
    assert link in refused and real in refused and "--force" in refused
    assert (files / real).read_bytes() == b"older contents"
    res = cli(command, source, "-o", link, "-f")
    assert res.code == 0, res
    assert _kind(files / link) == stat.S_IFLNK
    assert (files / real).read_bytes().startswith(magic)


def test_a_dangling_symlink_is_refused_and_left_alone(cli, files):
    os.symlink("elsewhere/target.qlm", files / "dangling.qlm")
    line = one_line_error(cli("compress", "ecg.npy", "-o", "dangling.qlm", "-f"))[0]
    assert "symbolic link" in line and "elsewhere/target.qlm" in line
    assert _kind(files / "dangling.qlm") == stat.S_IFLNK
    assert not (files / "elsewhere").exists()


@pytest.mark.parametrize("args, expected", [
    (["info", "/dev/zero"], "not a Quillmere file (its first bytes are 00 00"),
    (["decompress", "/dev/zero", "-o", "z.npy"], "not a Quillmere file"),
    (["info", "ecg.npy"], "starts like a NPY file"),
    (["decompress", "ecg.csv", "-o", "e.npy"], "starts with text"),
])
def test_what_is_not_a_quillmere_file_is_named_from_its_first_bytes(cli, files, args, expected):
    started = time.perf_counter()
    res = cli(*args, timeout=60)
    assert expected in one_line_error(res)[0]
    assert time.perf_counter() - started < 30
    assert not (files / "z.npy").exists()


@pytest.mark.parametrize("feed, args", [
    ("printf QLMR; cat /dev/zero", ["decompress", "-"]),
    ("cat /dev/zero", ["compress", "-", "--input-format", "npy"]),
    ("printf QLMR; cat /dev/zero", ["info", "/dev/stdin"]),
])
def test_an_endless_pipe_stops_at_the_stated_limit(files, feed, args):
    command = " ".join(_cli_prefix() + args + ["--max-input", "2M"])
    proc = subprocess.run(["sh", "-c", f"({feed}) | {command} > out.bin"], cwd=files,
                          capture_output=True, text=True, timeout=120)
    lines = [l for l in proc.stderr.splitlines() if l.strip()]
    assert proc.returncode != 0 and "Traceback" not in proc.stderr
    assert any("goes on past 2.0 MB" in l and "--max-input" in l for l in lines), proc.stderr


def test_an_endless_pipe_of_no_known_format_is_refused_from_its_first_bytes(files):
    # Judged before the limit is reached: reading up to it first would
    # report the limit instead.
    command = " ".join(_cli_prefix() + ["compress", "-", "--max-input", "2M"])
    proc = subprocess.run(["sh", "-c", f"cat /dev/zero | {command} > out.bin"], cwd=files,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0 and "cannot tell the format" in proc.stderr, proc.stderr
    assert "--max-input" not in proc.stderr


def test_a_fifo_input_is_compressed_like_its_file(cli, files):
    os.mkfifo(files / "piped.npy")
    data = (files / "ecg.npy").read_bytes()

    def feed():
        with open(files / "piped.npy", "wb") as f:
            f.write(data)
    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    res = cli("compress", "piped.npy", "-o", "piped.qlm", timeout=60)
    writer.join(10)
    assert res.code == 0, res
    assert cli("compress", "ecg.npy", "-o", "plain.qlm").code == 0
    assert (files / "piped.qlm").read_bytes() == (files / "plain.qlm").read_bytes()


@pytest.mark.parametrize("extra", [[], ["-f"]])
def test_decompress_never_defaults_onto_an_existing_file(cli, files, extra):
    assert cli("compress", "tone.wav").code == 0
    original = (files / "tone.wav").read_bytes()
    line = one_line_error(cli("decompress", "tone.wav.qlm", *extra))[0]
    assert "-o" in line and "--output-dir" in line and "--force" not in line
    assert (files / "tone.wav").read_bytes() == original
    # The ways the message points to both work.
    (files / "out").mkdir()
    assert cli("decompress", "tone.wav.qlm", "--output-dir", "out").code == 0
    assert cli("decompress", "tone.wav.qlm", "-o", "restored.wav").code == 0
    assert (files / "out" / "tone.wav").stat().st_size == (files / "restored.wav").stat().st_size


def test_a_batch_decodes_the_free_names_and_reports_the_taken_one(cli, files):
    np.save(files / "b.npy", np.load(files / "ecg.npy")[:5000])
    assert cli("compress", "ecg.npy", "b.npy").code == 0
    os.remove(files / "b.npy")
    res = cli("decompress", "ecg.npy.qlm", "b.npy.qlm")
    assert res.code == 1
    assert "ecg.npy already exists" in res.err
    assert np.load(files / "b.npy").shape == (5000,)


@pytest.mark.parametrize("args", [["bench", "waiting.npy"], ["demo", "--input", "waiting.npy"]])
def test_a_fifo_given_where_a_file_is_needed_is_named_without_waiting(cli, files, args):
    os.mkfifo(files / "waiting.npy")
    line = one_line_error(cli(*args, timeout=60))[0]
    assert "waiting.npy: is not a regular file" in line
