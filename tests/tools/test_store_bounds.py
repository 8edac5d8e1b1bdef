"""Bounds measured where users look: read back through the host (numcodecs,
Zarr v2 and v3, Dask) over the samples the array stores, edge chunks
included, whatever the host pads them with."""
import math

import numpy as np
import pytest

pytest.importorskip("quillmere")
zarr = pytest.importorskip("zarr")
pytest.importorskip("numcodecs")

from quillmere_tools import metrics
from quillmere_tools import array_chunks as codec_common
from quillmere_tools.numcodecs_codec import Quillmere
from quillmere_tools.zarr_codec import QuillmereCodec

N = 6_757      # the last chunk holds 757 samples and 1,243 of padding
CHUNK = 2_000
EDGE = slice((N // CHUNK) * CHUNK, N)

BOUNDS = [("max_error", 2e-3), ("rmse", 1e-3), ("prd", 0.2), ("psnr", 60.0),
          ("max_error", "0.1%"), ("rmse", "0.05%")]
FILLS = [0.0, math.nan, 0.3]  # 0.3 lies inside the signal's range


def _signal(channels=1):
    t = np.arange(N) / 800.0
    rng = np.random.default_rng(5)
    cols = [np.sin(2 * np.pi * (3 + 2 * c) * t) + 0.4 * np.sin(2 * np.pi * 41 * t + c)
            + 0.05 * rng.standard_normal(N) + 2.0 for c in range(channels)]
    return cols[0] if channels == 1 else np.stack(cols, axis=1)


def _limit(name, bound, x):
    """The absolute bound a channel's stretch ``x`` was promised."""
    if isinstance(bound, str):
        return float(bound[:-1]) / 100 * metrics.signal_range(x)
    return bound


def _assert_holds(name, bound, x, y, where):
    x, y = np.asarray(x, np.float64), np.asarray(y, np.float64)
    limit = _limit(name, bound, x)
    if name == "psnr":
        got = metrics.psnr(x, y)
        assert got >= limit, f"{where}: PSNR {got:.3f} dB < {limit}"
        return
    got = {"max_error": metrics.max_abs_error, "rmse": metrics.rmse, "prd": metrics.prd}[name](x, y)
    assert got <= limit, f"{where}: {name} {got:.6g} > {limit:.6g}"


def _write_v3(path, x, codec, fill, chunks):
    z = zarr.create_array(store=str(path), shape=x.shape, chunks=chunks, dtype=x.dtype,
                          serializer=codec, compressors=None, fill_value=fill)
    z[:] = x
    return zarr.open_array(str(path), mode="r")[:]


def _write_v2(path, x, codec, fill, chunks):
    z = zarr.create_array(store=str(path), shape=x.shape, chunks=chunks, dtype=x.dtype,
                          zarr_format=2, compressors=codec, filters=None, fill_value=fill)
    z[:] = x
    return zarr.open_array(str(path), mode="r")[:]


def _numcodecs(path, x, codec, fill, chunks):
    # What a chunked store does by hand: pad the edge chunk, keep the front.
    out = np.empty_like(x)
    for lo in range(0, x.shape[0], chunks[0]):
        part = x[lo:lo + chunks[0]]
        padded = np.full((chunks[0],) + x.shape[1:], fill, dtype=x.dtype)
        padded[:part.shape[0]] = part
        out[lo:lo + chunks[0]] = codec.decode(codec.encode(padded))[:part.shape[0]]
    return out


HOSTS = {"numcodecs": (_numcodecs, Quillmere), "zarr-v2": (_write_v2, Quillmere),
         "zarr-v3": (_write_v3, QuillmereCodec)}


@pytest.mark.parametrize("fill", FILLS, ids=["fill-0", "fill-nan", "fill-inside"])
@pytest.mark.parametrize("name,bound", BOUNDS, ids=[f"{n}={b}" for n, b in BOUNDS])
@pytest.mark.parametrize("host", sorted(HOSTS))
def test_bound_holds_over_the_stored_edge_chunk(tmp_path, host, name, bound, fill):
    write, codec_type = HOSTS[host]
    x = _signal()
    y = write(tmp_path / "a", x, codec_type(**{name: bound}), fill, (CHUNK,))
    assert y.shape == x.shape and not np.isnan(y).any()
    _assert_holds(name, bound, x[EDGE], y[EDGE], f"{host} edge chunk")
    _assert_holds(name, bound, x[:CHUNK], y[:CHUNK], f"{host} first chunk")
    if not isinstance(bound, str):  # a percentage is each chunk's own
        _assert_holds(name, bound, x, y, f"{host} whole array")


@pytest.mark.parametrize("name,bound", BOUNDS[:4], ids=[n for n, _ in BOUNDS[:4]])
def test_multichannel_edge_chunks_hold_per_channel(tmp_path, name, bound):
    x = _signal(channels=3)
    y = _write_v3(tmp_path / "a", x, QuillmereCodec(**{name: bound}), math.nan, (CHUNK, 2))
    for c in range(3):  # channel 2 sits in a chunk padded along channels too
        _assert_holds(name, bound, x[EDGE, c], y[EDGE, c], f"channel {c} edge chunk")


def test_dask_store_holds_the_bound_and_writes_twice(tmp_path):
    da = pytest.importorskip("dask.array")
    from quillmere_tools import scaleout

    x = _signal()
    for fill in (0.0, 0.3):
        scaleout.store(da.from_array(x, chunks=CHUNK), tmp_path / "d.zarr",
                       QuillmereCodec(rmse=1e-3), overwrite=True, fill_value=fill)
        y = scaleout.load(tmp_path / "d.zarr").compute()
        _assert_holds("rmse", 1e-3, x[EDGE], y[EDGE], f"dask edge chunk, fill {fill}")
    with pytest.raises(Exception, match="(?i)exist|contains"):
        scaleout.store(da.from_array(x, chunks=CHUNK), tmp_path / "d.zarr", QuillmereCodec())


def test_channels_coded_apart_are_smaller_than_interleaved():
    from quillmere_tools.qlm.index import unpack

    x = _signal(channels=2)[:CHUNK].astype(np.float32)
    x[:, 1] = 5.0 + np.cumsum(np.random.default_rng(1).standard_normal(CHUNK)) * 0.05
    # An RMSE bound keeps the wavelet layer, which interleaving hurts; at a
    # tight max-error bound both would be integer units on a rounded grid,
    # whose linear predictors follow two interleaved channels nearly as well.
    split = Quillmere(rmse=1e-3).encode(x)
    interleaved = Quillmere(rmse=1e-3).encode(x.reshape(-1))
    assert [h["sample_count"] for h in unpack(split).headers] == [CHUNK, CHUNK]
    assert len(split) < len(interleaved), (len(split), len(interleaved))


@pytest.mark.parametrize("fill", [0.0, math.nan])
def test_flat_and_padding_only_channels_take_a_psnr_bound(fill):
    x = np.full((CHUNK, 3), fill)
    x[:, 0] = _signal()[:CHUNK]
    x[:, 1] = 4.25
    y = Quillmere(psnr=60).decode(Quillmere(psnr=60).encode(x))
    np.testing.assert_array_equal(y[:, 1:], x[:, 1:])
    assert metrics.psnr(x[:, 0], y[:, 0]) >= 60


@pytest.mark.parametrize("codec_type", [Quillmere, QuillmereCodec])
def test_time_axis_picks_the_axis_along_each_channel(codec_type):
    x = _signal(channels=3)[:1500]
    along_rows = codec_type(rmse=1e-3, time_axis=1)._cfg()
    default = codec_type(rmse=1e-3)._cfg()
    a = codec_common.decode_chunk(codec_common.encode_chunk(np.ascontiguousarray(x.T), along_rows))
    b = codec_common.decode_chunk(codec_common.encode_chunk(x, default))
    np.testing.assert_array_equal(a, b.T)
    cube = np.stack([x, 2 * x], axis=2)  # (frames, 3, 2): six channels
    back = codec_common.decode_chunk(codec_common.encode_chunk(cube, default), shape=cube.shape,
                                     dtype=cube.dtype)
    assert back.shape == cube.shape and metrics.rmse(cube, back) <= 1e-3


@pytest.mark.parametrize("kwargs,message", [
    ({"prd": "1%"}, "already in percent"),
    ({"psnr": "60%"}, "psnr must be a number"),
    ({"max_error": "abc%"}, "not a number"),
    ({"rmse": "-1%"}, "positive"),
    ({"max_error": "0.1"}, "percentage of the range"),
    ({"time_axis": "0"}, "time_axis must be an integer"),
    ({"time_axis": True}, "time_axis must be an integer"),
])
@pytest.mark.parametrize("codec_type", [Quillmere, QuillmereCodec])
def test_bad_settings_are_refused_at_construction(codec_type, kwargs, message):
    with pytest.raises(ValueError, match=message):
        codec_type(**kwargs)


def test_time_axis_beyond_the_chunk_is_refused():
    with pytest.raises(ValueError, match="time_axis 2 is out of range for a chunk of 2"):
        Quillmere(time_axis=2).encode(np.zeros((10, 3)))


def test_percent_config_round_trips_through_metadata(tmp_path):
    codec = QuillmereCodec(max_error="0.1%", time_axis=1)
    assert QuillmereCodec.from_dict(codec.to_dict()) == codec
    import numcodecs

    assert numcodecs.get_codec(Quillmere(rmse="0.5%").get_config()).rmse == "0.5%"
    # At its default the time axis stays out of the metadata, as before it existed.
    assert "time_axis" not in QuillmereCodec().to_dict()["configuration"]
    assert "time_axis" not in Quillmere().get_config()


def test_chunk_announcing_a_huge_run_needs_the_array_shape():
    from quillmere_tools.qlm.index import pack, unpack

    x = np.zeros(CHUNK, np.float32)
    x[:5] = 1.0
    raw = Quillmere().encode(x)
    index = unpack(raw)
    assert index.headers[0]["trailing_run"] == CHUNK - 5
    np.testing.assert_array_equal(Quillmere().decode(raw), x)
    # Same unit, but the host's shape does not match the count it restores.
    with pytest.raises(ValueError, match=r"holds shape \[2000\], expected \[1999\]"):
        codec_common.decode_chunk(raw, shape=(CHUNK - 1,), dtype=np.float32)
    big = pack([bytes(index.units[0])], {"v": 2, "dtype": "<f4", "shape": [CHUNK]})
    original = codec_common.MAX_UNCHECKED_RUN
    try:
        codec_common.MAX_UNCHECKED_RUN = 100
        with pytest.raises(ValueError, match="repeated run of 1995 samples"):
            Quillmere().decode(big)
    finally:
        codec_common.MAX_UNCHECKED_RUN = original


@pytest.mark.parametrize("at,value", [(8, 1999), (8, 5), (20, 0)],
                         ids=["count-off-by-one", "count-below-container", "empty-run"])
def test_side_block_counts_that_disagree_are_refused_before_decoding(at, value):
    import struct

    from quillmere_tools.qlm.container_header import parse_header
    from quillmere_tools.qlm.index import pack, unpack

    x = np.zeros(CHUNK, np.float32)
    x[:300] = np.sin(np.arange(300) / 7.0)
    unit = bytearray(unpack(Quillmere().encode(x)).units[0])
    block = parse_header(bytes(unit))["container_len"]
    struct.pack_into("<I", unit, block + at, value)
    chunk = pack([bytes(unit)], {"v": 2, "dtype": "<f4", "shape": [CHUNK]})
    with pytest.raises(ValueError, match="side block counts|holds 2000 samples"):
        Quillmere().decode(chunk)
