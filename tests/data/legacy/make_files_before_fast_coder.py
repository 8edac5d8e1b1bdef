"""Writes the stored samples of the tools' formats as they were before the
fast coder became their default: a .qlm file, a numcodecs chunk, a Zarr v3
array and an HDF5 file through the filter plugin, each with the samples it
decodes to (``*.expected.npy``). tests/tools/test_legacy_formats.py reads
them back and requires exactly those samples, so a later reader keeps
reading what earlier writers wrote.

    python tests/data/legacy/make_files_before_fast_coder.py [OUT_DIR]

Run once, with the code of the time; the files are committed, not rebuilt.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np


def signal(n=3000, seed=20261208):
    t = np.arange(n) / 250.0
    rng = np.random.default_rng(seed)
    x = np.sin(2 * np.pi * 3 * t) + 0.3 * np.sin(2 * np.pi * 17 * t) + 0.05 * rng.standard_normal(n)
    return (100.0 * x).astype(np.float32)


def write_qlm(out, x):
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "signal.npy")
        np.save(src, x.reshape(-1, 1))
        cli = [sys.executable, "-m", "quillmere_tools"]
        subprocess.run(cli + ["compress", src], check=True, cwd=tmp)
        shutil.copy(src + ".qlm", os.path.join(out, "signal.npy.qlm"))
        back = os.path.join(tmp, "back.npy")
        subprocess.run(cli + ["decompress", src + ".qlm", "-o", back], check=True, cwd=tmp)
        shutil.copy(back, os.path.join(out, "signal.npy.qlm.expected.npy"))


def write_numcodecs(out, x):
    from quillmere_tools.numcodecs_codec import Quillmere

    codec = Quillmere()
    chunk = codec.encode(x.reshape(100, 30))
    with open(os.path.join(out, "numcodecs.chunk"), "wb") as f:
        f.write(bytes(chunk))
    np.save(os.path.join(out, "numcodecs.chunk.expected.npy"), codec.decode(chunk))


def write_zarr(out, x):
    import zarr

    from quillmere_tools.zarr_codec import QuillmereCodec

    zarr.registry.register_codec("quillmere", QuillmereCodec)
    path = os.path.join(out, "array.zarr")
    shutil.rmtree(path, ignore_errors=True)
    z = zarr.create_array(store=path, shape=(3000,), chunks=(1000,), dtype="float32",
                          serializer=QuillmereCodec(), compressors=None, fill_value=0.0)
    z[:] = x
    np.save(os.path.join(out, "array.zarr.expected.npy"), zarr.open_array(path, mode="r")[:])


def write_hdf5(out, x):
    import h5py

    import quillmere_tools.hdf5 as qh5

    path = os.path.join(out, "signal.h5")
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=(1000,), **qh5.Quillmere())
    with h5py.File(path, "r") as f:
        np.save(os.path.join(out, "signal.h5.expected.npy"), f["x"][...])


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    x = signal()
    write_qlm(out, x)
    write_numcodecs(out, x)
    write_zarr(out, x)
    write_hdf5(out, x)


if __name__ == "__main__":
    main()
