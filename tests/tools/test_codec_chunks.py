"""Chunks of the numcodecs and Zarr codecs: the indexed format, the layouts
arrays already on disk use, and the error bounds handed to the channel unit."""
import json
import struct

import numpy as np
import pytest
import quillmere

zarr = pytest.importorskip("zarr")
pytest.importorskip("numcodecs")

from quillmere_tools import array_chunks as codec_common
from quillmere_tools.bounds import Bounds
from quillmere_tools.qlm.container_header import parse_header
from quillmere_tools.numcodecs_codec import Quillmere
from quillmere_tools.zarr_codec import QuillmereCodec


@pytest.fixture
def registered():
    zarr.registry.register_codec("quillmere", QuillmereCodec)


def _write_array(path, x):
    # cmodel, as the writers of the older layouts used: their chunks are made
    # here by stripping new ones.
    z = zarr.create_array(store=str(path), shape=x.shape, chunks=(250,), dtype=x.dtype,
                          serializer=QuillmereCodec(scale=12, coder="cmodel"), compressors=None,
                          fill_value=0.0)
    z[:] = x
    return z


def _chunk_files(path):
    return sorted(p for p in (path / "c").rglob("*") if p.is_file())


def _bare(chunk: bytes) -> bytes:
    return chunk[:parse_header(chunk)["container_len"]]


def test_arrays_written_with_bare_chunks_still_open(tmp_path, registered):
    # Before chunks carried an index, zarr.json had no chunk_format and every
    # chunk was a bare container; such arrays are read as they are.
    x = np.sin(np.arange(1000) / 17.0)
    _write_array(tmp_path / "a.zarr", x)
    expected = zarr.open_array(str(tmp_path / "a.zarr"), mode="r")[:]
    meta_path = tmp_path / "a.zarr" / "zarr.json"
    meta = json.loads(meta_path.read_text())
    del meta["codecs"][0]["configuration"]["chunk_format"]
    meta_path.write_text(json.dumps(meta))
    for chunk in _chunk_files(tmp_path / "a.zarr"):
        chunk.write_bytes(_bare(chunk.read_bytes()))
    np.testing.assert_array_equal(zarr.open_array(str(tmp_path / "a.zarr"), mode="r")[:],
                                  expected)


def test_bare_chunk_in_an_indexed_array_is_refused(tmp_path, registered):
    x = np.sin(np.arange(1000) / 17.0)
    _write_array(tmp_path / "a.zarr", x)
    chunk = _chunk_files(tmp_path / "a.zarr")[1]
    chunk.write_bytes(_bare(chunk.read_bytes()))
    with pytest.raises(ValueError, match="quillmere chunk of .* bare chunks"):
        zarr.open_array(str(tmp_path / "a.zarr"), mode="r")[:]


def test_numcodecs_chunks_of_the_older_layout_still_decode():
    # A 2-D chunk was then one C-order flattened signal.
    x = np.cos(np.arange(600) / 9.0)
    new = Quillmere(scale=12, coder="cmodel").encode(x)
    container = _bare(new)
    body = json.dumps({"dtype": "<f8", "shape": [20, 30]}).encode()
    old = container + b"QLMX" + struct.pack("<I", len(body)) + body
    np.testing.assert_array_equal(Quillmere().decode(old),
                                  Quillmere().decode(new).reshape(20, 30))


@pytest.mark.parametrize("codec_type", [Quillmere, QuillmereCodec])
def test_error_bounds_reach_the_channel_unit(monkeypatch, codec_type):
    seen = []

    efforts = []

    def fake_encode(x, settings, bounds=None, *, split_trailing_run=False, effort=None):
        assert split_trailing_run
        seen.append(bounds)
        efforts.append(effort)
        return quillmere.compress_signal(x)

    monkeypatch.setattr(codec_common, "encode_channel", fake_encode)
    codec = codec_type(max_error=0.01, rmse=0.002, prd=1.5, psnr=40, bits_per_sample=3.5)
    x = np.sin(np.arange(400) / 7.0)
    codec_common.encode_chunk(x, codec._cfg())
    assert seen == [Bounds(max_error=0.01, rmse=0.002, prd=1.5, psnr=40.0, bits_per_sample=3.5)]
    codec_common.encode_chunk(x, codec_type(scale=9)._cfg())
    assert seen[-1] is None
    codec_common.encode_chunk(x, codec_type(max_error=0.01, effort="fast")._cfg())
    assert efforts == ["thorough", "thorough", "fast"]


def test_numcodecs_chunk_cannot_ask_for_memory():
    # Its shape is the chunk's own word; the announced size is bounded by the
    # same factor as files before anything is decoded.
    c = bytearray(quillmere.compress_signal(np.zeros(1000, np.float32)))
    c[16:20] = (2**31).to_bytes(4, "little")
    from quillmere_tools.qlm.index import pack

    chunk = pack([bytes(c)], {"dtype": "<f8", "shape": [2**31]})
    with pytest.raises(ValueError, match="announces 2147483648 samples"):
        Quillmere().decode(chunk)


def test_constant_chunk_is_not_taken_for_a_hostile_one():
    x = np.zeros((1000, 1000))
    codec = Quillmere(scale=6, cutoff="high")
    np.testing.assert_array_equal(codec.decode(codec.encode(x)), x)
