import importlib.metadata as md
import json

import numpy as np
import pytest
import quillmere

numcodecs = pytest.importorskip("numcodecs")
zarr = pytest.importorskip("zarr")

from quillmere_tools.numcodecs_codec import Quillmere
from quillmere_tools.zarr_codec import QuillmereCodec


def _installed():
    try:
        md.distribution("quillmere")
    except md.PackageNotFoundError:
        return False
    return True


def _signal(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.normal(size=int(np.prod(shape))))
    return (x / np.abs(x).max()).reshape(shape).astype(dtype)


@pytest.mark.skipif(not _installed(), reason="needs the installed distribution's metadata")
@pytest.mark.parametrize("group,target", [
    ("numcodecs.codecs", "quillmere_tools.numcodecs_codec:Quillmere"),
    ("zarr.codecs", "quillmere_tools.zarr_codec:QuillmereCodec"),
    ("console_scripts", "quillmere_tools.cli:main"),
])
def test_entry_points_are_registered(group, target):
    eps = {e.name: e.value for e in md.entry_points(group=group)}
    assert eps.get("quillmere") == target


@pytest.mark.parametrize("dtype", ["<f2", "<f4", "<f8"])
@pytest.mark.parametrize("shape", [(5000,), (60, 70), (8, 9, 10)])
def test_numcodecs_round_trip_keeps_dtype_shape_and_bound(dtype, shape):
    x = _signal(shape, dtype)
    codec = Quillmere(max_error=1e-3)
    y = codec.decode(codec.encode(x))
    assert y.dtype == np.dtype(dtype) and y.shape == shape
    # float16 storage itself rounds by up to half an ulp of the values.
    slack = 1e-3 if dtype == "<f2" else 0.0
    assert np.abs(y.astype(np.float64) - x.astype(np.float64)).max() <= 1e-3 + slack


def test_numcodecs_decode_into_out_buffer():
    x = _signal((40, 50), "<f8")
    codec = Quillmere(scale=12)
    out = np.empty_like(x)
    res = codec.decode(codec.encode(x), out=out)
    assert res is out
    assert np.abs(out - x).max() < 1e-2


def test_numcodecs_config_round_trip_through_registry():
    codec = Quillmere(method="db4", scale=8, cutoff="high", coder="arans")
    cfg = codec.get_config()
    assert cfg["id"] == "quillmere"
    json.dumps(cfg)  # must be storable in array metadata
    numcodecs.register_codec(Quillmere)
    again = numcodecs.get_codec(cfg)
    assert isinstance(again, Quillmere) and again == codec
    x = _signal((3000,), "<f4")
    assert again.encode(x) == codec.encode(x)


def test_numcodecs_chunk_is_readable_by_stock_decoder():
    x = _signal((2000,), "<f8")
    enc = Quillmere().encode(x)
    y = quillmere.decompress_signal(bytes(enc))
    assert y.dtype == np.float32 and y.size == x.size
    np.testing.assert_array_equal(y, Quillmere().decode(enc).astype(np.float32))


@pytest.mark.parametrize("kwargs,exc", [
    ({"method": "haar"}, ValueError), ({"scale": 13}, ValueError), ({"scale": 11.0}, ValueError),
    ({"cutoff": "max"}, ValueError), ({"coder": "zstd"}, ValueError),
    ({"max_error": -1}, ValueError), ({"quant_multiplier": 100.0, "prd": 1.0}, ValueError),
])
def test_bad_codec_configuration_fails_at_construction(kwargs, exc):
    with pytest.raises(exc):
        Quillmere(**kwargs)
    with pytest.raises(exc):
        QuillmereCodec(**kwargs)


def test_numcodecs_refuses_integer_data():
    with pytest.raises(TypeError, match="float"):
        Quillmere().encode(np.arange(100, dtype=np.int32))


@pytest.fixture
def zarr_registered():
    # Opening an existing array resolves the codec by name; the entry point
    # does this when installed, explicit registration covers a source tree.
    zarr.registry.register_codec("quillmere", QuillmereCodec)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_zarr_array_round_trip_with_partial_chunks(tmp_path, zarr_registered, dtype):
    x = _signal((1000, 30), dtype, seed=3)
    z = zarr.create_array(store=str(tmp_path / "a.zarr"), shape=x.shape, chunks=(300, 16),
                          dtype=dtype, serializer=QuillmereCodec(max_error=2e-3),
                          compressors=None, fill_value=0.0)
    z[:] = x
    back = zarr.open_array(str(tmp_path / "a.zarr"), mode="r")
    assert back.dtype == np.dtype(dtype)
    codecs = back.metadata.to_dict()["codecs"]
    assert codecs[0]["name"] == "quillmere"
    assert codecs[0]["configuration"]["max_error"] == 2e-3
    y = back[:]
    assert y.shape == x.shape
    assert np.abs(y.astype(np.float64) - x.astype(np.float64)).max() <= 2e-3
    # a chunk on disk starts with a plain container: its first channel's
    raw = (tmp_path / "a.zarr" / "c" / "0" / "0").read_bytes()
    first = quillmere.decompress_signal(raw)
    assert first.size == 300
    # (the wavelet layer only: the corrections are in the side block)
    assert np.abs(first - x[:300, 0].astype(np.float32)).max() < 0.05


def test_zarr_codec_dict_round_trip():
    codec = QuillmereCodec(method="sym4", scale=9, coder="deflate", prd=0.5)
    d = codec.to_dict()
    assert d["name"] == "quillmere"
    assert QuillmereCodec.from_dict(json.loads(json.dumps(d))) == codec


def test_zarr_refuses_integer_arrays(tmp_path):
    with pytest.raises(TypeError, match="float"):
        zarr.create_array(store=str(tmp_path / "i.zarr"), shape=(100,), dtype="int16",
                          serializer=QuillmereCodec(), compressors=None)


def _misaligned(x):
    buf = np.zeros(x.nbytes + 1, np.uint8)
    view = np.frombuffer(buf.data, dtype=x.dtype, offset=1, count=x.size)
    view[...] = x
    return view


@pytest.mark.parametrize("make", [_misaligned, lambda x: x.astype(x.dtype.newbyteorder()),
                                  lambda x: x[::2]],
                         ids=["misaligned", "byteswapped", "strided"])
def test_codec_accepts_buffers_as_they_arrive_from_storage(make):
    # Chunks deserialised by Dask or read from stores need not be aligned,
    # native-endian or contiguous; the extension module accepts none of those.
    x = _signal((4000,), "<f8")
    odd = make(x)
    codec = Quillmere(scale=12)
    y = codec.decode(codec.encode(odd))
    assert np.abs(y - np.asarray(odd, dtype=np.float64)).max() < 1e-3
