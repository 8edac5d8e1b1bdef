"""decompress_signal on hostile input: whatever the object or the bytes, the
outcome is a float32 array of the declared length or one of the documented
exception types. Anything else (PanicException, SystemError, a crash, a
decode that takes visibly long) fails the test."""

from __future__ import annotations

import struct
from datetime import timedelta

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from quillmere import CompressionOptions, compress_signal, decompress_signal

ALLOWED = (ValueError, TypeError, OverflowError, MemoryError)
HEADER_LEN = 52
METHODS = ("cdf53", "cdf97", "db4", "sym4")
CODERS = ("deflate", "arans", "cmodel")

# A decode of a few hundred bytes takes microseconds; a second means a loop
# that is not bounded by input plus output.
HOSTILE = settings(
    max_examples=400,
    deadline=timedelta(seconds=1),
    suppress_health_check=[HealthCheck.too_slow],
)


def decode_or_refuse(data: bytes) -> np.ndarray | None:
    try:
        out = decompress_signal(data)
    except ALLOWED:
        return None
    assert isinstance(out, np.ndarray)
    assert out.dtype == np.float32 and out.ndim == 1
    assert len(out) == struct.unpack_from("<I", data, 16)[0]
    return out


def _seed_containers() -> list[bytes]:
    t = np.arange(200, dtype=np.float32)
    x = np.sin(t / 9.0) + 0.25 * np.sin(t * 1.3)
    x[17] = np.nan
    return [
        compress_signal(x, CompressionOptions(method=m, coder=c, scale=6 + i % 7))
        for i, (m, c) in enumerate((m, c) for m in METHODS for c in CODERS)
    ]


SEEDS = _seed_containers()


@st.composite
def mutated_containers(draw) -> bytes:
    """A real container of every wavelet x coder, then a few edits of the
    kinds that break decoders: single bytes, header numbers, cuts, splices."""
    data = bytearray(draw(st.sampled_from(SEEDS)))
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["byte", "field", "truncate", "splice"]))
        if kind == "byte" and data:
            i = draw(st.integers(0, len(data) - 1))
            data[i] = draw(st.integers(0, 255))
        elif kind == "field" and len(data) >= HEADER_LEN:
            # levels, scale, coder, sample_count, payload_len, multiplier
            offset, fmt = draw(st.sampled_from([(12, "<B"), (13, "<B"), (14, "<B"), (16, "<I"),
                                                (32, "<I"), (36, "<f")]))
            if fmt == "<f":
                value = draw(st.floats(width=32))
            else:
                value = draw(st.integers(0, 255 if fmt == "<B" else 2**32 - 1))
            struct.pack_into(fmt, data, offset, value)
        elif kind == "truncate":
            del data[draw(st.integers(0, len(data))):]
        elif kind == "splice":
            i = draw(st.integers(min(HEADER_LEN, len(data)), len(data)))
            data[i:i] = draw(st.binary(min_size=1, max_size=64))
    return bytes(data)


@st.composite
def forged_containers(draw) -> bytes:
    """A header that passes every field check, over a payload of noise; the
    payload length may claim more or less than follows."""
    payload = draw(st.binary(max_size=300))
    header = struct.pack(
        "<4s2s2s4sBBBBIfffIf12s",
        b"QLMR",
        bytes([1, draw(st.integers(0, 255))]),
        b"f3",
        draw(st.sampled_from([b"cf53", b"cf97", b"db04", b"sym4"])),
        draw(st.integers(0, 12)),
        draw(st.integers(6, 12)),
        draw(st.integers(0, 2)),
        0,
        draw(st.one_of(st.integers(0, 5000), st.integers(0, 2**32 - 1))),
        draw(st.floats(-1e3, 1e3, width=32)),
        draw(st.floats(-1e3, 1e3, width=32)),
        draw(st.floats(-1.0, 1.0, width=32)),
        draw(st.one_of(st.just(len(payload)), st.integers(0, 2**32 - 1))),
        draw(st.floats(width=32)),
        bytes(12),
    )
    return header + payload


@HOSTILE
@given(st.binary(max_size=400))
def test_arbitrary_bytes(data):
    decode_or_refuse(data)


@HOSTILE
@given(mutated_containers())
def test_mutated_containers(data):
    decode_or_refuse(data)


@HOSTILE
@given(forged_containers())
def test_forged_headers_over_noise(data):
    decode_or_refuse(data)


@pytest.mark.parametrize("seed", SEEDS, ids=[f"{m}-{c}" for m in METHODS for c in CODERS])
def test_every_prefix_of_a_container_is_refused(seed):
    # The payload length is checked first, so every cut must be refused, and
    # refused as a ValueError: nothing of a partial payload is decoded.
    for cut in range(len(seed)):
        with pytest.raises(ValueError):
            decompress_signal(seed[:cut])
    assert len(decompress_signal(seed)) == 200


@settings(max_examples=200, deadline=None)
@given(
    st.one_of(
        st.none(),
        st.integers(),
        st.text(max_size=60),
        st.binary(max_size=60).map(bytearray),
        st.binary(max_size=60).map(memoryview),
        st.lists(st.integers(0, 255), max_size=60),
        st.sampled_from(SEEDS).map(lambda b: np.frombuffer(b, dtype=np.uint8)),
    )
)
def test_non_bytes_objects_are_type_errors(obj):
    with pytest.raises(TypeError):
        decompress_signal(obj)
