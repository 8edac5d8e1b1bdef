"""The HDF5 filter plugin through real HDF5 libraries: h5py's own (in this
process) and Debian's (h5dump, in a subprocess)."""
import os
import shutil
import subprocess

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
import quillmere_tools.hdf5 as qh5  # noqa: E402
from quillmere_tools import frames  # noqa: E402
from quillmere_tools._core import Settings  # noqa: E402
from quillmere_tools.bounds import Bounds  # noqa: E402


def signal(shape, dtype):
    n = int(np.prod(shape))
    t = np.arange(n) / 250.0
    x = np.sin(2 * np.pi * 3 * t) + 0.2 * np.random.default_rng(7).standard_normal(n)
    return (1e3 * x).astype(dtype).reshape(shape)


def unit_for(chunk, options):
    """The channel unit every front end writes for this chunk flattened."""
    options = dict(options)
    bound = options.pop("max_error", None)
    bounds = Bounds(max_error=bound) if bound is not None else None
    return frames.encode_channel(np.ascontiguousarray(chunk).reshape(-1), Settings(**options),
                                 bounds)


OPTIONS = {
    "default": {},
    "db4-arans": {"method": "db4", "scale": 9, "cutoff": "high", "coder": "arans"},
    "multiplier": {"method": "cdf53", "scale": 12, "coder": "deflate", "quant_multiplier": 1500.0},
    "max_error": {"max_error": 0.5},
    "max_error-sym4": {"method": "sym4", "coder": "arans", "max_error": 2.0},
    "fast": {"coder": "fast"},
    "max_error-fast": {"coder": "fast", "max_error": 0.5},
}


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("shape,chunks", [((4000,), (1000,)), ((60, 90), (20, 45))])
@pytest.mark.parametrize("name", list(OPTIONS))
def test_each_chunk_is_the_channel_unit_of_its_flattened_signal(tmp_path, dtype, shape, chunks,
                                                                 name):
    options = OPTIONS[name]
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
            mask, stored = d.id.read_direct_chunk(tuple(b * c for b, c in zip(block, chunks)))
            assert mask == 0  # the filter ran, the chunk was not stored raw
            assert stored == unit_for(x[sel], options)
            np.testing.assert_array_equal(y[sel], frames.decode_channel(stored).reshape(chunks))
    if "max_error" in options:
        assert np.max(np.abs(y.astype(np.float64) - x)) <= options["max_error"]


@pytest.mark.parametrize("dtype", ["<f4", ">f4", "<f8", ">f8"])
def test_bound_edge_chunks_byte_order_and_non_finite_samples(tmp_path, dtype):
    # Partial edge chunks (the filter sees them fill-padded) in either byte
    # order; NaN and infinities come back where they were.
    x = signal((55, 70), np.float64)
    x[3, 4] = np.nan
    x[50, 60:63] = [np.inf, -np.inf, np.nan]
    held = x.astype(dtype)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, dtype=dtype, chunks=(20, 32), **qh5.Quillmere(max_error=0.01))
    with h5py.File(path, "r") as f:
        y = f["x"][...]
    np.testing.assert_array_equal(np.isnan(y), np.isnan(held))
    finite = np.isfinite(held)
    np.testing.assert_array_equal(y[~finite & ~np.isnan(held)], held[~finite & ~np.isnan(held)])
    assert np.max(np.abs(y[finite].astype(np.float64) - held[finite].astype(np.float64))) <= 0.01


def test_h5dump_reads_what_h5py_wrote(tmp_path):
    h5dump = shutil.which("h5dump")
    if h5dump is None:
        pytest.skip("h5dump (Debian's hdf5-tools) is not installed")
    x = signal((30, 40), np.float64)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=(10, 40), **qh5.Quillmere(max_error=0.01))
    with h5py.File(path, "r") as f:
        via_h5py = f["x"][...]
    out = tmp_path / "x.txt"
    cmd = [h5dump, "-d", "/x", "-y", "-w", "0", "-m", "%.17g", "-o", str(out), str(path)]
    env = dict(os.environ, HDF5_PLUGIN_PATH=qh5.plugin_dir())
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    printed = np.array([float(v) for v in out.read_text().replace(",", " ").split()])
    # The same decoder in another HDF5 gives the same values, within the bound.
    np.testing.assert_array_equal(printed, via_h5py.reshape(-1))
    assert np.max(np.abs(printed - x.reshape(-1))) <= 0.01

    env.pop("HDF5_PLUGIN_PATH")
    env["HDF5_PLUGIN_PATH"] = str(tmp_path)  # no plugin there
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0


@pytest.mark.parametrize("dtype,bound,spoil", [
    (np.float64, 1e-3, 1e300),   # beyond what float32 can carry
    (np.float32, 1e-12, None),   # finer than float32 resolves
])
def test_chunk_the_codec_refuses_is_kept_uncompressed(tmp_path, dtype, bound, spoil):
    # h5py adds filters as optional: a refused chunk is stored as it is, so
    # nothing is lost; the others are still compressed.
    x = signal((2000,), dtype)
    if spoil is not None:
        x[1500] = spoil
    with h5py.File(tmp_path / "x.h5", "w") as f:
        d = f.create_dataset("x", data=x, chunks=(1000,), **qh5.Quillmere(max_error=bound))
        masks = [d.id.get_chunk_info(i).filter_mask for i in range(2)]
        y = d[...]
    assert masks == ([0, 1] if spoil is not None else [1, 1])
    np.testing.assert_array_equal(y[1000:], x[1000:])
    assert np.max(np.abs(y - x)) <= bound


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
    (with_word(6, 4), r"cd_values\[6\] \(coder\) is 4"),
    (with_word(7, 0xFF), r"cd_values\[7\] \(flags\) is 255"),
    (with_word(7, 3), r"cd_values\[7\] \(flags\) is 3"),
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
        "side block": stored[:-9] + bytes([stored[-9] ^ 0x40]) + stored[-8:],
        "random": np.random.default_rng(3).integers(0, 256, len(stored), np.uint8).tobytes(),
    }


def write_damaged(path, damage):
    # float64 chunks always carry a side block after the container.
    x = signal((2000,), np.float64)
    with h5py.File(path, "w") as f:
        d = f.create_dataset("x", data=x, chunks=(1000,), **qh5.Quillmere(max_error=0.01))
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
        assert np.max(np.abs(f["x"][:1000] - x[:1000])) <= 0.01


@pytest.mark.parametrize("damage,named", [
    ("truncated payload", "corrupt chunk (corrupt side block: its length field says"),
    ("trailing bytes", "corrupt chunk (corrupt side block: its length field says"),
    ("side block", "corrupt chunk (corrupt side block: its checksum does not match)"),
    ("sample count", "stored chunk does not match the dataset's chunk size (it holds 1001"),
    ("bad magic", "corrupt chunk (Magic should be 'QLMR' but it was 'XXXX')"),
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
    assert "quillmere filter: " + named in proc.stderr


def test_helper_checks_options_with_the_module_messages():
    with pytest.raises(ValueError, match="Unknown method"):
        qh5.Quillmere(method="haar")
    with pytest.raises(ValueError, match="Only scaled 6..12"):
        qh5.Quillmere(scale=13)
    for bad in (0.0, -1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="max_error must be a positive finite number"):
            qh5.Quillmere(max_error=bad)
    with pytest.raises(ValueError, match="quant_multiplier or max_error, not both"):
        qh5.Quillmere(quant_multiplier=100.0, max_error=1e-3)
    kwargs = dict(qh5.Quillmere(quant_multiplier=1e300))
    assert kwargs["compression"] == qh5.FILTER_ID
    assert kwargs["compression_opts"][7:9] == (1, 0x7F800000)  # float32 +inf, as the module rounds


def test_plugin_dir_holds_the_plugin_and_import_registers_it():
    assert os.path.isfile(os.path.join(qh5.plugin_dir(), "libh5quillmere.so"))
    assert h5py.h5z.filter_avail(qh5.FILTER_ID)
