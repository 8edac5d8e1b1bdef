"""The HDF5 filter plugin through real HDF5 libraries: h5py's own (in this
process) and Debian's (h5dump, in a subprocess)."""
import os
import shutil
import subprocess

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
import quillmere  # noqa: E402
import quillmere_tools.hdf5 as qh5  # noqa: E402


def expected_chunk(chunk, **options):
    """What reading a chunk must give: the module's own round trip of the
    chunk flattened in storage order, in the dataset's precision."""
    flat = np.ascontiguousarray(chunk).reshape(-1)
    opts = quillmere.CompressionOptions(**options)
    back = quillmere.decompress_signal(quillmere.compress_signal(flat, opts))
    return back.astype(chunk.dtype).reshape(chunk.shape)


def signal(shape, dtype):
    n = int(np.prod(shape))
    t = np.arange(n) / 250.0
    x = np.sin(2 * np.pi * 3 * t) + 0.2 * np.random.default_rng(7).standard_normal(n)
    return (1e3 * x).astype(dtype).reshape(shape)


OPTIONS = [
    {},
    {"method": "db4", "scale": 9, "cutoff": "high", "coder": "arans"},
    {"method": "cdf53", "scale": 12, "coder": "deflate", "quant_multiplier": 1500.0},
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("shape,chunks", [((4000,), (1000,)), ((60, 90), (20, 45))])
@pytest.mark.parametrize("options", OPTIONS, ids=["default", "db4-arans", "multiplier"])
def test_round_trip_decodes_each_chunk_as_its_flattened_signal(tmp_path, dtype, shape, chunks,
                                                               options):
    x = signal(shape, dtype)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=chunks, **qh5.Quillmere(**options))
    with h5py.File(path, "r") as f:
        d = f["x"]
        y = d[...]
        assert y.dtype == dtype
        assert d.id.get_storage_size() < x.nbytes / 2
    for block in np.ndindex(*(s // c for s, c in zip(shape, chunks))):
        sel = tuple(slice(b * c, (b + 1) * c) for b, c in zip(block, chunks))
        np.testing.assert_array_equal(y[sel], expected_chunk(x[sel], **options))


def test_edge_chunks_and_big_endian_storage(tmp_path):
    # A shape that leaves partial chunks, stored big-endian: the filter sees
    # full, fill-padded chunks in the file's byte order.
    x = signal((55, 70), np.float64)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, dtype=">f4", chunks=(20, 32), **qh5.Quillmere())
    with h5py.File(path, "r") as f:
        y = f["x"][...]
    assert np.max(np.abs(y - x)) < 2e-3 * np.ptp(x)


def test_h5dump_reads_what_h5py_wrote(tmp_path):
    h5dump = shutil.which("h5dump")
    if h5dump is None:
        pytest.skip("h5dump (Debian's hdf5-tools) is not installed")
    x = signal((30, 40), np.float64)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=(10, 40), **qh5.Quillmere(scale=12))
    with h5py.File(path, "r") as f:
        via_h5py = f["x"][...]
    out = tmp_path / "x.txt"
    cmd = [h5dump, "-d", "/x", "-y", "-w", "0", "-m", "%.17g", "-o", str(out), str(path)]
    env = dict(os.environ, HDF5_PLUGIN_PATH=qh5.plugin_dir())
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    printed = np.array([float(v) for v in out.read_text().replace(",", " ").split()])
    # The same decoder in another HDF5 gives the same values, and those are
    # within the fixed options' error of the original.
    np.testing.assert_array_equal(printed, via_h5py.reshape(-1))
    assert np.max(np.abs(printed - x.reshape(-1))) < 1e-3 * np.ptp(x)

    env.pop("HDF5_PLUGIN_PATH")
    env["HDF5_PLUGIN_PATH"] = str(tmp_path)  # no plugin there
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0


@pytest.mark.parametrize("dtype", [np.int32, np.uint8, np.float16, np.complex64])
def test_other_element_types_are_refused_at_creation(tmp_path, dtype):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises(ValueError, match="only float32 and float64 datasets"):
            f.create_dataset("x", data=np.ones(100, dtype), chunks=(50,), **qh5.Quillmere())
        assert "x" not in f
        f.create_dataset("y", data=np.ones(100, np.float32), chunks=(50,), **qh5.Quillmere())
        assert f["y"][7] == pytest.approx(1.0, abs=1e-3)


GOOD = qh5.Quillmere().filter_options


def with_word(index, value):
    words = list(GOOD)
    words[index] = value
    return tuple(words)


@pytest.mark.parametrize("opts,named", [
    (GOOD[:5], "5 cd_values given, expected 11"),
    (GOOD + (0,), "12 cd_values given, expected 11"),
    (with_word(0, 7), r"cd_values\[0\] \(layout version\) is 7"),
    (with_word(3, 9), r"cd_values\[3\] \(method\) is 9"),
    (with_word(4, 40), r"cd_values\[4\] \(scale\) is 40"),
    (with_word(6, 3), r"cd_values\[6\] \(coder\) is 3"),
    (with_word(7, 0xFF), r"cd_values\[7\] \(flags\) is 255"),
    (with_word(10, 0x7FF00000), r"cd_values\[9..10\] \(max_error\)"),
])
def test_nonsense_filter_parameters_are_refused(tmp_path, opts, named):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises(ValueError, match=named):
            f.create_dataset("x", data=np.zeros(100, np.float32), chunks=(100,),
                             compression=qh5.FILTER_ID, compression_opts=opts)


def corrupt_variants(stored):
    flipped_count = bytearray(stored)
    flipped_count[16] ^= 0x01  # sample_count
    return {
        "half a header": stored[:26],
        "truncated payload": stored[:-3],
        "trailing bytes": stored + b"\0\0",
        "sample count": bytes(flipped_count),
        "bad magic": b"XXXX" + stored[4:],
        "random": np.random.default_rng(3).integers(0, 256, len(stored), np.uint8).tobytes(),
    }


def write_damaged(path, damage):
    x = signal((2000,), np.float32)
    with h5py.File(path, "w") as f:
        d = f.create_dataset("x", data=x, chunks=(1000,), **qh5.Quillmere())
        info = d.id.get_chunk_info(1)
    stored = path.read_bytes()[info.byte_offset:info.byte_offset + info.size]
    with h5py.File(path, "r+") as f:
        f["x"].id.write_direct_chunk((1000,), corrupt_variants(stored)[damage])
    return x


DAMAGES = list(corrupt_variants(b"\0" * 60))


@pytest.mark.parametrize("damage", DAMAGES)
def test_corrupt_chunk_is_a_failed_read_not_a_crash(tmp_path, damage):
    path = tmp_path / "x.h5"
    x = write_damaged(path, damage)
    with h5py.File(path, "r") as f:
        # HDF5 2.0 (h5py's) drops what a filter function pushes on the error
        # stack, so its own pipeline message is what h5py can show.
        with pytest.raises(OSError, match="filter returned failure during read|quillmere filter"):
            f["x"][1000:]
        np.testing.assert_array_equal(f["x"][:1000], expected_chunk(x[:1000]))


@pytest.mark.parametrize("damage,named", [
    ("truncated payload", "stored chunk is truncated"),
    ("trailing bytes", "unexpected bytes after its container"),
    ("sample count", "does not match the dataset's chunk size"),
    ("bad magic", "corrupt chunk"),
])
def test_h5dump_names_the_damage(tmp_path, damage, named):
    h5dump = shutil.which("h5dump")
    if h5dump is None:
        pytest.skip("h5dump (Debian's hdf5-tools) is not installed")
    path = tmp_path / "x.h5"
    write_damaged(path, damage)
    env = dict(os.environ, HDF5_PLUGIN_PATH=qh5.plugin_dir())
    proc = subprocess.run([h5dump, "--enable-error-stack", "-d", "/x", str(path)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1  # a failed read, not a signal
    assert "quillmere filter: " in proc.stderr and named in proc.stderr


def test_helper_checks_options_with_the_module_messages():
    with pytest.raises(ValueError, match="Unknown method"):
        qh5.Quillmere(method="haar")
    with pytest.raises(ValueError, match="Only scaled 6..12"):
        qh5.Quillmere(scale=13)
    for bad in (0.0, -1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="max_error must be a positive finite number"):
            qh5.Quillmere(max_error=bad)
    with pytest.raises(NotImplementedError, match="error-bounded mode"):
        qh5.Quillmere(max_error=1e-3)
    kwargs = dict(qh5.Quillmere(quant_multiplier=1e300))
    assert kwargs["compression"] == qh5.FILTER_ID
    assert kwargs["compression_opts"][7:9] == (1, 0x7F800000)  # float32 +inf, as the module rounds


def test_plugin_dir_holds_the_plugin_and_import_registers_it():
    assert os.path.isfile(os.path.join(qh5.plugin_dir(), "libh5quillmere.so"))
    assert h5py.h5z.filter_avail(qh5.FILTER_ID)
