"""Property-based fuzzing of the .qlm reader and the chunk decoders.

Every input ends in one of two ways: the signal the untouched input holds,
or one clear error (a single line naming what is wrong).  Inputs whose
checksum was recomputed after the change (hostile writers can do that) may
also end in another signal, since they are valid files.  Each input is
decided within DEADLINE_MS wall-clock, and each fuzz run keeps the peak
resident memory within PEAK_GROWTH_BYTES of where it started (that run's own
peak, not the process's: see peak_memory.py).
"""
import json
import struct
import zlib

import numpy as np
import pytest
import quillmere

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quillmere_tools._core import ToolError
from quillmere_tools.array_chunks import decode_chunk
from quillmere_tools.qlm.container_header import ContainerError
from quillmere_tools.qlm.signal_files import decode_signal
from quillmere_tools.qlm.index import INDEX_VERSION, pack

from peak_memory import PeakGrowth

DEADLINE_MS = 2000
PEAK_GROWTH_BYTES = 256 * 2**20
EXAMPLES = 250


def _units():
    t = np.arange(2500)
    return [quillmere.compress_signal(np.sin(t / 31.0) + 0.1 * np.cos(t / 3.0)),
            quillmere.compress_signal(np.cos(t / 11.0), quillmere.CompressionOptions(coder="arans"))]


UNITS = _units()
FILE = pack(UNITS, {"format": "npy", "dtype": "<f4", "frames": 2500, "channels": 2,
                    "v": INDEX_VERSION})
CHUNK = pack(UNITS[:1], {"dtype": "<f8", "shape": [50, 50], "v": INDEX_VERSION})
LEGACY_BODY = json.dumps({"format": "npy", "v": 1, "frames": 2500}).encode()
LEGACY = UNITS[0] + b"QLMX" + struct.pack("<I", len(LEGACY_BODY)) + LEGACY_BODY
SEEDS = {"file": FILE, "chunk": CHUNK, "legacy": LEGACY}


def _reference(kind):
    if kind == "chunk":
        return decode_chunk(CHUNK)
    return decode_signal(SEEDS[kind]).samples


REFERENCE = {kind: _reference(kind) for kind in SEEDS}

HOSTILE_JSON = st.one_of(
    st.builds(lambda n: b"[" * n + b"]" * n, st.integers(1, 40000)),
    st.builds(lambda d: json.dumps({"dtype": d, "frames": 2500}).encode(),
              st.sampled_from(["<U10", "|S500000", "O", "|V8", "<M8[s]", "|b1", "<c16", "<f16",
                               "f4", ">i8", "", "<f4" * 100])),
    st.builds(lambda k, v: json.dumps({k: v}).encode(),
              st.sampled_from(["frames", "samplerate", "shape", "channels", "dtype", "subtype",
                               "v", "header"]),
              st.one_of(st.integers(-2**70, 2**70), st.text(max_size=30), st.none(),
                        st.lists(st.integers(-3, 2**33), max_size=40), st.floats())),
    st.builds(lambda n: b'{"frames":' + b"7" * n + b"}", st.integers(1, 6000)),
    st.binary(max_size=300),
)


def _repack(units, body: bytes) -> bytes:
    head = b"".join(units) + b"".join(struct.pack("<Q", len(u)) for u in units) + body
    fields = struct.pack("<IIHH", len(units), len(body), INDEX_VERSION, 0)
    return head + fields + struct.pack("<I", zlib.crc32(fields, zlib.crc32(head))) + b"QLMF"


@st.composite
def mutants(draw, kind):
    """(bytes, whether the result may be a different valid signal)."""
    seed = SEEDS[kind]
    how = draw(st.sampled_from(["flip", "truncate", "splice", "insert", "hostile json",
                                "repacked unit"]))
    if how == "flip":
        data = bytearray(seed)
        for _ in range(draw(st.integers(1, 4))):
            i = draw(st.integers(0, len(data) - 1))
            data[i] ^= draw(st.integers(1, 255))
        return bytes(data), kind == "legacy"
    if how == "truncate":
        return seed[:draw(st.integers(0, len(seed) - 1))], False
    if how == "splice":
        other = SEEDS[draw(st.sampled_from(sorted(SEEDS)))]
        cut = draw(st.integers(0, len(seed)))
        start = draw(st.integers(0, len(other)))
        return seed[:cut] + other[start:], True
    if how == "insert":
        at = draw(st.integers(0, len(seed)))
        return seed[:at] + draw(st.binary(min_size=1, max_size=64)) + seed[at:], kind == "legacy"
    if how == "hostile json":
        return _repack(UNITS[:1] if kind == "chunk" else UNITS, draw(HOSTILE_JSON)), True
    # A unit changed and the checksum made to match, as a hostile writer would.
    unit = bytearray(UNITS[0])
    for _ in range(draw(st.integers(1, 6))):
        i = draw(st.integers(0, len(unit) - 1))
        unit[i] = draw(st.integers(0, 255))
    body = json.dumps({"dtype": "<f8", "shape": [2500]} if kind == "chunk"
                      else {"frames": 2500}).encode()
    return _repack([bytes(unit)] if kind == "chunk" else [bytes(unit), UNITS[1]], body), True


def _decode(kind, data):
    if kind == "chunk":
        return decode_chunk(data)
    return decode_signal(data).samples


def _check(kind, data, may_differ):
    try:
        out = _decode(kind, data)
    except (ContainerError, ToolError, ValueError) as exc:
        message = str(exc)
        assert message and "\n" not in message and len(message) < 500, message
        return
    if not may_differ:
        assert out.shape == REFERENCE[kind].shape and out.dtype == REFERENCE[kind].dtype
        np.testing.assert_array_equal(out, REFERENCE[kind])


_FUZZ = settings(max_examples=EXAMPLES, deadline=DEADLINE_MS,
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.mark.parametrize("kind", sorted(SEEDS))
def test_every_mutant_decodes_to_the_original_or_one_clear_error(kind):
    @_FUZZ
    @given(mutants(kind))
    def run(case):
        _check(kind, *case)

    peak = PeakGrowth()
    run()
    grown = peak.bytes()
    assert grown < PEAK_GROWTH_BYTES, f"peak memory grew by {grown / 2**20:.0f} MB"


def test_zarr_reader_checks_chunks_against_the_array():
    # The array's own dtype and shape must agree with what the chunk says.
    with pytest.raises(ContainerError, match="shape"):
        decode_chunk(CHUNK, dtype="<f8", shape=(2500,))
    with pytest.raises(ContainerError, match="float64, the array is float32"):
        decode_chunk(CHUNK, dtype="<f4", shape=(50, 50))
    assert decode_chunk(CHUNK, dtype="<f8", shape=(50, 50)).shape == (50, 50)
