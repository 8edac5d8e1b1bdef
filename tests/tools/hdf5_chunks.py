"""What the HDF5 tests share: signals, the framed chunk read independently of
the plugin, stored chunks and cd_values found in a file's bytes, and h5dump
run in a subprocess."""
import os
import shutil
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import quillmere_tools.hdf5 as qh5

HEADER = struct.Struct("<4sBBBBIIQ")


def signal(shape, dtype, seed=7):
    n = int(np.prod(shape))
    t = np.arange(n) / 250.0
    x = np.sin(2 * np.pi * 3 * t) + 0.2 * np.random.default_rng(seed).standard_normal(n)
    return (1e3 * x).astype(dtype).reshape(shape)


def read_frame(stored: bytes) -> dict:
    """The framed chunk's fields and units, checked the way the plugin does."""
    magic, version, kind, element, reserved, channels, frames, total = HEADER.unpack_from(stored)
    assert (magic, version, reserved, total) == (b"QLH5", 1, 0, len(stored))
    (crc,) = struct.unpack_from("<I", stored, len(stored) - 4)
    assert crc == zlib.crc32(stored[:-4])
    body = stored[HEADER.size:-4]
    frame = {"kind": kind, "element": element, "channels": channels, "frames": frames}
    if kind == 1:
        frame["raw"] = body
        return frame
    lengths = struct.unpack_from(f"<{channels}Q", body)
    at = 8 * channels
    frame["units"] = []
    for n in lengths:
        frame["units"].append(body[at:at + n])
        at += n
    assert at == len(body)
    return frame


def stored_chunk(path, name, index):
    with __import__("h5py").File(path, "r") as f:
        info = f[name].id.get_chunk_info(index)
    return path.read_bytes()[info.byte_offset:info.byte_offset + info.size], info


def filter_words(path, name):
    with __import__("h5py").File(path, "r") as f:
        return f[name].id.get_create_plist().get_filter(0)[2]


def cd_values_offset(data: bytes, words) -> int:
    """Where the file holds the filter's cd_values (they occur once)."""
    packed = struct.pack(f"<{len(words)}I", *words)
    at = data.find(packed)
    assert at >= 0 and data.find(packed, at + 1) < 0
    return at


def with_words(path, name, change):
    """The file with `change(list_of_words)` applied to the dataset's cd_values."""
    data = bytearray(path.read_bytes())
    words = list(filter_words(path, name))
    at = cd_values_offset(bytes(data), words)
    changed = change(list(words))
    data[at:at + 4 * len(changed)] = struct.pack(f"<{len(changed)}I", *changed)
    path.write_bytes(bytes(data))


def check_word(words) -> int:
    return zlib.crc32(struct.pack(f"<{23}I", *words[:23]))


def h5dump_or_skip():
    h5dump = shutil.which("h5dump")
    if h5dump is None:
        pytest.skip("h5dump (Debian's hdf5-tools) is not installed")
    return h5dump


def h5dump(path, dataset, *, timeout=60):
    """(return code, printed values, stderr, peak resident kB of h5dump)."""
    out = path.with_suffix(".txt")
    if out.exists():
        out.unlink()
    env = dict(os.environ, HDF5_PLUGIN_PATH=qh5.plugin_dir())
    cmd = [h5dump_or_skip(), "--enable-error-stack", "-d", dataset, "-y", "-w", "0",
           "-m", "%.17g", "-o", str(out), str(path)]
    # Measured in a child of its own, so the peak is h5dump's alone.
    probe = ("import resource, subprocess, sys; "
             "p = subprocess.run(sys.argv[1:], capture_output=True, text=True); "
             "sys.stdout.write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)); "
             "sys.stderr.write(p.stderr); sys.exit(p.returncode)")
    proc = subprocess.run([sys.executable, "-c", probe, *cmd], env=env,
                          capture_output=True, text=True, timeout=timeout)
    values = None
    if proc.returncode == 0:
        text = out.read_text().replace(",", " ").split()
        values = np.array([float(v) for v in text])
    return proc.returncode, values, proc.stderr, int(proc.stdout or 0)
