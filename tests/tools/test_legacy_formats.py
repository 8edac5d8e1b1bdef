"""Files the tools wrote before the fast coder became possible (all cmodel,
made by tests/data/legacy/make_files_before_fast_coder.py) still read back to exactly the
samples they gave then, through every front end that wrote them; and the
coder each one holds is still one the bare module reads."""
import os
import shutil
import subprocess

import numpy as np
import pytest

import quillmere
from quillmere_tools.qlm import container_header as container

LEGACY = os.path.join(os.path.dirname(__file__), "..", "data", "legacy")


def expected(name):
    return np.load(os.path.join(LEGACY, name + ".expected.npy"))


def test_qlm_file_reads_back_unchanged(cli, tmp_path):
    shutil.copy(os.path.join(LEGACY, "signal.npy.qlm"), tmp_path / "signal.npy.qlm")
    res = cli("decompress", str(tmp_path / "signal.npy.qlm"), "-o", str(tmp_path / "back.npy"))
    assert res.code == 0, res
    back = np.load(tmp_path / "back.npy")
    np.testing.assert_array_equal(back, expected("signal.npy.qlm"))
    assert back.dtype == expected("signal.npy.qlm").dtype


def test_numcodecs_chunk_reads_back_unchanged():
    from quillmere_tools.numcodecs_codec import Quillmere

    raw = open(os.path.join(LEGACY, "numcodecs.chunk"), "rb").read()
    back = Quillmere().decode(raw)
    want = expected("numcodecs.chunk")
    assert back.dtype == want.dtype and back.shape == want.shape
    np.testing.assert_array_equal(back, want)
    # The chunk is a cmodel container, which the bare module reads too.
    assert container.parse_header(raw)["coder"] == "cmodel"
    assert quillmere.decompress_signal(raw).size == want.size


def test_zarr_array_reads_back_unchanged(tmp_path):
    zarr = pytest.importorskip("zarr")
    from quillmere_tools.zarr_codec import QuillmereCodec

    zarr.registry.register_codec("quillmere", QuillmereCodec)
    path = tmp_path / "array.zarr"
    shutil.copytree(os.path.join(LEGACY, "array.zarr"), path)
    back = zarr.open_array(str(path), mode="r")[:]
    np.testing.assert_array_equal(back, expected("array.zarr"))


def test_hdf5_file_reads_back_unchanged(tmp_path):
    h5py = pytest.importorskip("h5py")
    import quillmere_tools.hdf5 as qh5

    qh5.register()
    with h5py.File(os.path.join(LEGACY, "signal.h5"), "r") as f:
        back = f["x"][...]
    np.testing.assert_array_equal(back, expected("signal.h5"))
    h5dump = shutil.which("h5dump")
    if h5dump:  # Debian's own HDF5 library through the plugin
        env = dict(os.environ, HDF5_PLUGIN_PATH=qh5.plugin_dir())
        out = subprocess.run([h5dump, "-d", "x", "-o", str(tmp_path / "x.txt"), "-y", "-w", "0",
                              os.path.join(LEGACY, "signal.h5")], env=env, capture_output=True)
        assert out.returncode == 0, out.stderr
