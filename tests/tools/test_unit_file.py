"""The .qlm file and chunk format: what it proves before decoding, what it
refuses, and the older layouts it still reads."""
import json
import struct
import zlib

import numpy as np
import pytest
import quillmere


from quillmere_tools.units import channel as frames
from quillmere_tools.qlm.container_header import ContainerError
from quillmere_tools.qlm.signal_files import decode_signal
from quillmere_tools.qlm.index import (BARE, INDEX_VERSION, LEGACY_VERSION, TAIL_LEN, pack,
                                       unpack)


@pytest.fixture(scope="module")
def channels():
    t = np.arange(3000)
    return [quillmere.compress_signal(np.sin(t / 40.0)),
            quillmere.compress_signal(np.cos(t / 17.0))]


def legacy(containers, meta):
    """The layout written before the index: containers, b"QLMX", u32, JSON."""
    body = meta if isinstance(meta, bytes) else json.dumps(meta).encode()
    return b"".join(containers) + b"QLMX" + struct.pack("<I", len(body)) + body


def indexed_raw(units, body: bytes) -> bytes:
    """The current layout around arbitrary metadata bytes (pack refuses to
    write what the reader must refuse)."""
    head = b"".join(units) + b"".join(struct.pack("<Q", len(u)) for u in units) + body
    fields = struct.pack("<IIHH", len(units), len(body), INDEX_VERSION, 0)
    return head + fields + struct.pack("<I", zlib.crc32(fields, zlib.crc32(head))) + b"QLMF"


def test_round_trip_keeps_units_metadata_and_version(channels):
    meta = {"format": "wav", "samplerate": 8000, "subtype": "PCM_24", "frames": 3000,
            "channels": 2}
    got = unpack(pack(channels, meta))
    assert got.units == channels and got.metadata == meta and got.version == INDEX_VERSION
    assert [h["sample_count"] for h in got.headers] == [3000, 3000]


def test_stock_decoder_reads_the_first_channel(channels):
    blob = pack(channels, {"frames": 3000})
    np.testing.assert_array_equal(quillmere.decompress_signal(blob),
                                  quillmere.decompress_signal(channels[0]))


def test_files_of_the_older_layout_are_still_read(channels):
    meta = {"format": "wav", "samplerate": 8000, "v": 1, "frames": 3000, "channels": 2}
    got = unpack(legacy(channels, meta))
    assert got.version == LEGACY_VERSION and got.units == channels and got.metadata == meta


def test_bare_container_only_when_asked(channels):
    with pytest.raises(ContainerError, match="bare container or a file cut short"):
        unpack(channels[0])
    assert unpack(channels[0], allow_bare=True).version == BARE


@pytest.mark.parametrize("cut", ["after first container", "before index", "inside metadata",
                                 "one byte short"])
def test_truncation_is_found(channels, cut):
    # A stereo file cut after its first container used to decode as mono,
    # and one cut before its trailer as float32 instead of float64.
    blob = pack(channels, {"frames": 3000, "dtype": "<f8", "format": "npy"})
    end = {"after first container": len(channels[0]),
           "before index": len(channels[0]) + len(channels[1]),
           "inside metadata": len(blob) - TAIL_LEN - 5, "one byte short": len(blob) - 1}[cut]
    for allow_bare in (False, True):
        with pytest.raises(ContainerError):
            unpack(blob[:end], allow_bare=allow_bare and cut != "after first container")


def test_unit_with_side_block_cut_before_its_index_says_so():
    # The side block after the container must not be reported as a bad
    # second container: the cause is the missing end of the file.
    unit = frames.encode_channel(np.array([1.0, np.nan, 2.0, 3.0] * 50))
    blob = pack([unit], {"frames": 200, "dtype": "<f8", "format": "npy"})
    with pytest.raises(ContainerError, match="ends without its index"):
        unpack(blob[:len(unit)])


def test_splices_are_found(channels):
    # c0 c1 c0 c1 behind a two-channel index must not become four channels.
    two = pack(channels, {"frames": 3000, "channels": 2})
    spliced = b"".join(channels) + two
    with pytest.raises(ContainerError, match="checksum|lengths"):
        unpack(spliced)
    with pytest.raises(ContainerError, match="2 channels, the file holds 4"):
        unpack(legacy(channels + channels, {"frames": 3000, "channels": 2}))


@pytest.mark.parametrize("offset", [0, 60, 150, -TAIL_LEN - 2, -12, -9])
def test_any_flipped_bit_is_found_before_decoding(channels, offset):
    blob = bytearray(pack(channels, {"frames": 3000}))
    blob[offset] ^= 0x10
    with pytest.raises(ContainerError):
        unpack(bytes(blob))


HOSTILE = {
    "string dtype": {"dtype": "<U10"},
    "huge byte-string dtype": {"dtype": "|S500000"},
    "object dtype": {"dtype": "object"},
    "void dtype": {"dtype": "|V8"},
    "datetime dtype": {"dtype": "<M8[s]"},
    "bool dtype": {"dtype": "|b1"},
    "complex dtype": {"dtype": "<c16"},
    "sample rate 2**40": {"samplerate": 2**40},
    "frames disagree": {"frames": 1000},
    "shape disagrees": {"shape": [10, 10]},
    "negative frames": {"frames": -1},
    "text frames": {"frames": "3000"},
    "bad subtype": {"subtype": "pcm 16; rm"},
}
HOSTILE_JSON = {
    "deep nesting": b"[" * 100000 + b"]" * 100000,
    "nesting within size": b'{"a":' + b"[" * 3000 + b"]" * 3000 + b"}",
    "5000-digit integer": b'{"frames":' + b"9" * 5000 + b"}",
    "NaN": b'{"samplerate": NaN}',
    "not an object": b"[1, 2]",
    "not UTF-8": b'{"a": "\xff"}',
    "not JSON": b"{frames: 3}",
}


@pytest.mark.parametrize("layout", ["legacy", "indexed"])
@pytest.mark.parametrize("name", list(HOSTILE) + list(HOSTILE_JSON))
def test_hostile_metadata_is_one_clear_error(channels, layout, name):
    body = HOSTILE_JSON.get(name) or json.dumps({"format": "npy", "frames": 3000,
                                                 **HOSTILE.get(name, {})}).encode()
    blob = legacy(channels[:1], body) if layout == "legacy" else indexed_raw(channels[:1], body)
    with pytest.raises(ContainerError) as info:
        decode_signal(blob)
    message = str(info.value)
    # The message names the field at fault (or the metadata as a whole).
    assert list(HOSTILE.get(name, {"metadata": 0}))[0] in message and len(message) < 300


def test_index_cannot_ask_for_memory(channels):
    # An index announcing four billion units is refused from its 20 bytes.
    blob = bytearray(pack(channels[:1], {}))
    struct.pack_into("<I", blob, len(blob) - TAIL_LEN, 2**32 - 1)
    with pytest.raises(ContainerError, match="units"):
        unpack(bytes(blob))
