"""The HDF5 filter plugin through real HDF5 libraries: h5py's own (in this
process) and Debian's (h5dump, in a subprocess)."""
import os
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
import quillmere_tools.hdf5 as qh5  # noqa: E402
from hdf5_chunks import h5dump, read_frame, signal, stored_chunk  # noqa: E402
from quillmere_tools.units import channel as frames# noqa: E402
from quillmere_tools.settings import Settings  # noqa: E402
from quillmere_tools.qlm.signal_files import StatedBounds  # noqa: E402

BOUND_NAMES = ("max_error", "rmse", "prd", "psnr", "bits_per_sample")


def target_of(options):
    """The command line's StatedBounds for these helper options."""
    kwargs = {}
    for name in ("max_error", "rmse"):
        value = options.get(name)
        if isinstance(value, str):
            kwargs[name + "_rel"] = float(value.rstrip("%")) / 100.0
        elif value is not None:
            kwargs[name] = value
    kwargs.update({k: options[k] for k in ("prd", "psnr", "bits_per_sample") if k in options})
    return StatedBounds(**kwargs) if kwargs else None


def unit_for(channel, options):
    """The channel unit every front end writes for this channel."""
    settings = Settings(**{k: v for k, v in options.items()
                           if k not in BOUND_NAMES and k != "time_axis"})
    target = target_of(options)
    bounds = target.bounds_for(channel) if target else None
    return frames.encode_channel(np.ascontiguousarray(channel), settings, bounds)


def channels_of(chunk, time_axis):
    """Each channel of a chunk, in the order the filter stores them."""
    moved = np.moveaxis(chunk, time_axis, -1)
    return list(moved.reshape(-1, chunk.shape[time_axis]))


OPTIONS = {
    "default": {},
    "db4-arans": {"method": "db4", "scale": 9, "cutoff": "high", "coder": "arans"},
    "multiplier": {"method": "cdf53", "scale": 12, "coder": "deflate", "quant_multiplier": 1500.0},
    "max_error": {"max_error": 0.5},
    "max_error%": {"method": "sym4", "coder": "arans", "max_error": "0.1%"},
    "rmse": {"rmse": 5.0},
    "rmse%+prd": {"rmse": "0.5%", "prd": 2.0},
    "psnr": {"psnr": 50.0},
    "bits_per_sample": {"bits_per_sample": 8.0},
    "fast": {"coder": "fast"},
    "max_error-fast": {"coder": "fast", "max_error": 0.5},
}

LAYOUTS = {
    "1-D": ((4000,), (1000,), 0),
    "frames x channels": ((600, 6), (300, 3), 0),
    "channels x frames": ((6, 900), (3, 300), 1),
    "3-D, time in the middle": ((4, 400, 6), (2, 200, 3), 1),
}


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("name", list(OPTIONS))
def test_each_channel_of_a_chunk_is_its_own_unit(tmp_path, dtype, layout, name):
    shape, chunks, axis = LAYOUTS[layout]
    options = OPTIONS[name]
    x = signal(shape, dtype)
    # Channels of very different sizes: interleaving them would show.
    x *= np.logspace(0, 2, shape[-1]).astype(dtype)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=chunks, **qh5.Quillmere(**options, time_axis=axis))
    with h5py.File(path, "r") as f:
        y = f["x"][...]
        n_chunks = f["x"].id.get_num_chunks()
    assert y.dtype == dtype
    for index in range(n_chunks):
        stored, info = stored_chunk(path, "x", index)
        assert info.filter_mask == 0
        frame = read_frame(stored)
        assert frame["kind"] == 0 and frame["frames"] == chunks[axis]
        sel = tuple(slice(o, o + c) for o, c in zip(info.chunk_offset, chunks))
        expected = [unit_for(ch, options) for ch in channels_of(x[sel], axis)]
        assert frame["units"] == expected
        for unit, channel in zip(frame["units"], channels_of(y[sel], axis)):
            np.testing.assert_array_equal(channel, frames.decode_channel(unit))
        for got, want in zip(channels_of(y[sel], axis), channels_of(x[sel], axis)):
            err = got.astype(np.float64) - want
            if isinstance(options.get("max_error"), float):
                assert np.max(np.abs(err)) <= options["max_error"]
            if isinstance(options.get("rmse"), float):
                assert np.sqrt(np.mean(err ** 2)) <= options["rmse"]


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


@pytest.mark.parametrize("fill", [0.0, 3.5, np.nan])
@pytest.mark.parametrize("bound", [{"rmse": 20.0}, {"psnr": 45.0}, {"prd": 3.0}])
def test_rms_bounds_hold_over_the_samples_an_edge_chunk_stores(tmp_path, bound, fill):
    # HDF5 hands the filter a whole edge chunk, padded past the dataset's
    # end; the bound must hold over the 300 samples the dataset keeps of it,
    # read back through h5py.
    x = signal((2300,), np.float32)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=(1000,), fillvalue=fill, **qh5.Quillmere(**bound))
    with h5py.File(path, "r") as f:
        y = f["x"][...].astype(np.float64)
    tail, back = x[2000:].astype(np.float64), y[2000:]
    rmse = np.sqrt(np.mean((back - tail) ** 2))
    if "rmse" in bound:
        assert rmse <= bound["rmse"]
    elif "psnr" in bound:
        assert 20 * np.log10(np.ptp(tail) / rmse) >= bound["psnr"]
    else:
        assert 100 * np.sqrt(np.sum((back - tail) ** 2) / np.sum(tail ** 2)) <= bound["prd"]


def test_h5dump_reads_what_h5py_wrote(tmp_path):
    x = signal((30, 40), np.float64)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=(10, 40), **qh5.Quillmere(max_error=0.01))
    with h5py.File(path, "r") as f:
        via_h5py = f["x"][...]
    code, printed, err, _ = h5dump(path, "/x")
    assert code == 0, err
    # The same decoder in another HDF5 gives the same values, within the bound.
    np.testing.assert_array_equal(printed, via_h5py.reshape(-1))
    assert np.max(np.abs(printed - x.reshape(-1))) <= 0.01


def test_h5dump_without_the_plugin_fails(tmp_path):
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=signal((100,), np.float32), chunks=(50,), **qh5.Quillmere())
    from hdf5_chunks import h5dump_or_skip
    env = dict(os.environ, HDF5_PLUGIN_PATH=str(tmp_path))  # no plugin there
    proc = subprocess.run([h5dump_or_skip(), "-d", "/x", str(path)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0


@pytest.mark.parametrize("dtype,options,spoil,expected", [
    (np.float64, {"max_error": 1e-3}, 1e300, [0, 1]),      # beyond what float32 can carry
    # Finer than float32 resolves: the second chunk's samples lie on a
    # power-of-two grid within 33 bits and are stored exactly as an integer
    # unit; the first's smallest sample (0.25 beside 1445) needs a finer grid.
    (np.float32, {"max_error": 1e-12}, None, [1, 0]),
    (np.float32, {"quant_multiplier": 1e38}, None, [1, 1]),  # saturates every coefficient
])
def test_chunk_the_codec_refuses_is_stored_raw_by_the_filter(tmp_path, dtype, options, spoil, expected):
    x = signal((2000,), dtype)
    if spoil is not None:
        x[1500] = spoil
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        d = f.create_dataset("x", data=x, chunks=(1000,), **qh5.Quillmere(**options))
        masks = [d.id.get_chunk_info(i).filter_mask for i in range(2)]
    with h5py.File(path, "r") as f:
        y = f["x"][...]
    assert masks == [0, 0]  # the filter ran on both: HDF5 never had to skip it
    kinds = [read_frame(stored_chunk(path, "x", i)[0])["kind"] for i in range(2)]
    assert kinds == expected
    np.testing.assert_array_equal(y[1000:], x[1000:])
    if spoil is not None:
        assert np.max(np.abs(y - x)) <= options["max_error"]


@pytest.mark.parametrize("dtype", [np.int32, np.uint8, np.float16, np.complex64])
def test_other_element_types_are_refused_at_creation(tmp_path, dtype):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises(ValueError, match="only float32 and float64 datasets"):
            f.create_dataset("x", data=np.ones(100, dtype), chunks=(50,), **qh5.Quillmere())
        assert "x" not in f
        f.create_dataset("y", data=np.ones(100, np.float32), chunks=(50,), **qh5.Quillmere())
        assert f["y"][7] == pytest.approx(1.0, abs=1e-3)


def test_legacy_file_reads_back_as_it_did():
    # Written by the first release (cd_values layout 1, bare flattened units);
    # the *_decoded datasets hold what that release read back.
    path = Path(__file__).parents[1] / "data" / "legacy" / "filter_layout_v1.h5"
    with h5py.File(path, "r") as f:
        assert f["f32"].id.get_create_plist().get_filter(0)[2][0] == 1
        for name in ("f32", "f64"):
            np.testing.assert_array_equal(f[name][...], f[name + "_decoded"][...])
        source = f["f64_source"][...]
        finite = np.isfinite(source)
        assert np.max(np.abs(f["f64"][...][finite] - source[finite])) <= 0.01


def test_helper_takes_every_bound_of_the_command_line():
    words = qh5.Quillmere(max_error="0.1%", rmse=1e-3, prd=2.0, psnr=-5.0,
                          bits_per_sample=4.0).filter_options
    assert len(words) == 24 and words[0] == 2
    assert words[10] == 0b11101110  # all five bounds, max_error as a fraction

    def double(at):
        return np.array([words[at] | (words[at + 1] << 32)], np.uint64).view(np.float64)[0]

    assert [double(i) for i in (12, 14, 16, 18, 20)] == [0.001, 1e-3, 2.0, -5.0, 4.0]
    assert qh5.Quillmere(rmse="2%").filter_options[10] == 0b11000


@pytest.mark.parametrize("kwargs,message", [
    ({"method": "haar"}, "method must be one of"),
    ({"method": None}, "method must be one of"),
    ({"scale": 11.0}, "scale must be an integer from 6 to 12"),
    ({"scale": "11"}, "scale must be an integer from 6 to 12"),
    ({"cutoff": "max"}, "cutoff must be one of"),
    ({"coder": "zstd"}, "coder must be one of"),
    ({"max_error": 0.0}, "max_error must be positive"),
    ({"max_error": float("nan")}, "max_error must be finite"),
    ({"max_error": "-1%"}, "max_error must be a positive number"),
    ({"rmse": "abc"}, "rmse not a number"),
    ({"prd": "1%"}, "prd must be a number"),
    ({"psnr": float("inf")}, "psnr must be finite"),
    ({"bits_per_sample": -2}, "bits_per_sample must be positive"),
    ({"quant_multiplier": float("nan")}, "quant_multiplier must be finite"),
    ({"quant_multiplier": -1.0}, "quant_multiplier must be positive"),
    ({"quant_multiplier": 1e-45}, "rounds to zero or to a subnormal"),
    ({"quant_multiplier": 1e300}, "does not fit in float32"),
    ({"quant_multiplier": 100.0, "rmse": 1e-3}, "either quant_multiplier or an error bound (rmse)"),
    ({"time_axis": -1}, "time_axis must be an axis"),
    ({"time_axis": 1.0}, "time_axis must be an axis"),
])
def test_helper_refuses_bad_options_by_name(kwargs, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        qh5.Quillmere(**kwargs)


def test_time_axis_the_chunk_does_not_have_is_refused_at_creation(tmp_path):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises(ValueError, match=r"cd_values\[5\] \(time axis\) is 1, but the chunk "
                                             r"has 1 axis"):
            f.create_dataset("x", data=np.zeros(100, np.float32), chunks=(100,),
                             **qh5.Quillmere(time_axis=1))


def test_plugin_dir_holds_the_plugin_and_import_registers_it():
    assert os.path.isfile(os.path.join(qh5.plugin_dir(), "libh5quillmere.so"))
    assert h5py.h5z.filter_avail(qh5.FILTER_ID)
