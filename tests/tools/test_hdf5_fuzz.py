"""Property-based fuzzing of HDF5 chunks and the filter's cd_values, read
through h5py (in this process) and h5dump (a child per input).

Every input ends in the samples the untouched file holds or one clear
error. Inputs a hostile writer made consistent again (the frame's length and
checksum, or the check word, recomputed) may also end in other samples, as
they are valid files. h5py decides each input within DEADLINE_MS and each
h5py run keeps this process's peak resident memory within PEAK_GROWTH_BYTES
of where that run started (peak_memory.py); each h5dump run ends within
H5DUMP_TIMEOUT_S with a peak of at most H5DUMP_PEAK_KB.
"""
import atexit
import shutil
import struct
import tempfile
import zlib
from pathlib import Path

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import quillmere_tools.hdf5 as qh5  # noqa: E402
from hdf5_chunks import (HEADER, cd_values_offset, check_word, filter_words, h5dump,  # noqa: E402
                         signal, stored_chunk)
from peak_memory import PeakGrowth  # noqa: E402

DEADLINE_MS = 2000
PEAK_GROWTH_BYTES = 256 * 2**20
H5DUMP_TIMEOUT_S = 30
H5DUMP_PEAK_KB = 100 * 1024
EXAMPLES = 200
H5DUMP_EXAMPLES = 40

_DIR = Path(tempfile.mkdtemp(prefix="hdf5_fuzz_"))
atexit.register(shutil.rmtree, _DIR, True)
BASE = _DIR / "base.h5"


def _write_base():
    x = signal((200, 3), np.float64)
    x[150, 1] = np.nan
    x[160, 2] = -np.inf
    with h5py.File(BASE, "w") as f:
        f.create_dataset("x", data=x, chunks=(100, 3), **qh5.Quillmere(max_error="0.1%"))
    with h5py.File(BASE, "r") as f:
        return f["x"][...]


REFERENCE = _write_base()
BASE_BYTES = BASE.read_bytes()
CHUNK, _ = stored_chunk(BASE, "x", 1)
WORDS = list(filter_words(BASE, "x"))
WORDS_AT = cd_values_offset(BASE_BYTES, WORDS)


def _reseal_frame(data: bytes) -> bytes:
    if len(data) < HEADER.size + 4:
        return data
    body = data[HEADER.size:-4]
    head = bytearray(data[:HEADER.size])
    head[16:24] = struct.pack("<Q", len(data))
    head = bytes(head)
    return head + body + struct.pack("<I", zlib.crc32(head + body))


@st.composite
def chunk_mutants(draw):
    """(stored chunk 1, whether another valid signal may come back)."""
    how = draw(st.sampled_from(["flip", "truncate", "insert", "splice", "resealed"]))
    data = bytearray(CHUNK)
    if how in ("flip", "resealed"):
        for _ in range(draw(st.integers(1, 4))):
            i = draw(st.integers(0, len(data) - 1))
            data[i] ^= draw(st.integers(1, 255))
        if how == "resealed":
            return _reseal_frame(bytes(data)), True
        return bytes(data), False
    if how == "truncate":
        # HDF5 stores no empty chunk, so the shortest cut keeps one byte.
        return bytes(data[:draw(st.integers(1, len(data) - 1))]), False
    if how == "insert":
        at = draw(st.integers(0, len(data)))
        return bytes(data[:at]) + draw(st.binary(min_size=1, max_size=64)) + bytes(data[at:]), False
    first, _ = stored_chunk(BASE, "x", 0)
    cut = draw(st.integers(1, len(data)))
    start = draw(st.integers(0, len(first)))
    return bytes(data[:cut]) + first[start:], True


@st.composite
def word_mutants(draw):
    """(cd_values, whether another valid signal may come back)."""
    words = list(WORDS)
    for _ in range(draw(st.integers(1, 3))):
        i = draw(st.integers(0, len(words) - 1))
        words[i] = draw(st.one_of(st.integers(0, 2**32 - 1),
                                  st.builds(lambda b: words[i] ^ (1 << b), st.integers(0, 31)),
                                  st.sampled_from([0, 1, 2, 255, 134_217_728, 2**31 - 1])))
    resealed = draw(st.booleans())
    if resealed:
        words[23] = check_word(words)
    return words, resealed


def _file_with_chunk(path, chunk):
    path.write_bytes(BASE_BYTES)
    with h5py.File(path, "r+") as f:
        f["x"].id.write_direct_chunk((100, 0), chunk)


def _file_with_words(path, words):
    data = bytearray(BASE_BYTES)
    data[WORDS_AT:WORDS_AT + 4 * len(words)] = struct.pack(f"<{len(words)}I", *words)
    path.write_bytes(bytes(data))


def _same(y, reference):
    return (y.shape == reference.shape and y.dtype == reference.dtype
            and np.array_equal(y, reference, equal_nan=True))


def _check_h5py(path, may_differ):
    try:
        with h5py.File(path, "r") as f:
            y = f["x"][...]
    except (OSError, ValueError, KeyError) as exc:
        message = str(exc)
        assert message and "\n" not in message and len(message) < 500, message
        return
    assert may_differ or _same(y, REFERENCE)


def _check_h5dump(path, may_differ):
    code, values, err, peak_kb = h5dump(path, "/x", timeout=H5DUMP_TIMEOUT_S)
    assert peak_kb <= H5DUMP_PEAK_KB
    assert code in (0, 1), err  # 1 is h5dump's failed read; anything else a crash
    if code == 0 and not may_differ:
        assert _same(values, REFERENCE.reshape(-1))


_FUZZ = settings(max_examples=EXAMPLES, deadline=DEADLINE_MS,
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
_H5DUMP = settings(max_examples=H5DUMP_EXAMPLES, deadline=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

TARGETS = {"chunk": (chunk_mutants, _file_with_chunk),
           "cd_values": (word_mutants, _file_with_words)}


@pytest.mark.parametrize("target", list(TARGETS))
def test_every_mutant_reads_as_the_original_or_fails_in_h5py(target, tmp_path_factory):
    strategy, build = TARGETS[target]
    path = tmp_path_factory.mktemp("h5py") / "m.h5"

    @_FUZZ
    @given(strategy())
    def run(case):
        mutated, may_differ = case
        build(path, mutated)
        _check_h5py(path, may_differ)

    peak = PeakGrowth()
    run()
    grown = peak.bytes()
    assert grown < PEAK_GROWTH_BYTES, f"peak memory grew by {grown / 2**20:.0f} MB"


@pytest.mark.parametrize("target", list(TARGETS))
def test_every_mutant_reads_as_the_original_or_fails_in_h5dump(target, tmp_path_factory):
    if shutil.which("h5dump") is None:
        pytest.skip("h5dump (Debian's hdf5-tools) is not installed")
    strategy, build = TARGETS[target]
    path = tmp_path_factory.mktemp("h5dump") / "m.h5"

    @_H5DUMP
    @given(strategy())
    def run(case):
        mutated, may_differ = case
        build(path, mutated)
        _check_h5dump(path, may_differ)

    run()


def test_untouched_file_reads_as_the_reference():
    # The fuzz above compares against this; it must itself be the filter's output.
    with h5py.File(BASE, "r") as f:
        y = f["x"][...]
    assert _same(y, REFERENCE) and np.isnan(y[150, 1]) and y[160, 2] == -np.inf
    code, values, err, _ = h5dump(BASE, "/x")
    assert code == 0 and _same(values, REFERENCE.reshape(-1)), err
