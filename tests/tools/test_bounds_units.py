"""Channel units: what the side block keeps, and how damaged units are refused."""
import struct
import threading
import time
import zlib

import numpy as np
import pytest
import quillmere
from hypothesis import given, settings, strategies as st


from quillmere_tools import Bounds, Settings, compress_many, decompress, decompress_many
from quillmere_tools.units import channel as frames

RNG = np.random.default_rng(12)
WALK = np.cumsum(RNG.standard_normal(3000))


def container_len(unit: bytes) -> int:
    return 52 + struct.unpack_from("<I", unit, 32)[0]


# Units the quillmere module must read as well ask for cmodel: the units'
# default coder is the fast one, which only the tools read.
CMODEL = Settings(coder="cmodel")


def test_plain_float32_unit_is_the_codec_container():
    x = WALK.astype(np.float32)
    assert frames.encode_channel(x, CMODEL) == quillmere.compress_signal(x)
    with pytest.raises(ValueError, match="Unknown entropy coder 3"):
        quillmere.decompress_signal(frames.encode_channel(x))
    y = decompress(quillmere.compress_signal(x))
    assert y.dtype == np.float32 and y.flags.writeable


def _with_gaps(pattern, dtype):
    x = WALK[:40].astype(dtype)
    for i, v in pattern:
        x[i] = v
    return x


GAPS = {
    "nan in the middle": [(5, np.nan)],
    "at both ends": [(0, np.inf), (39, -np.inf)],
    "adjacent kinds": [(10, np.nan), (11, np.inf), (12, -np.inf), (13, np.nan)],
    "long run": [(i, np.nan) for i in range(3, 30)],
    "all but one": [(i, np.nan) for i in range(40) if i != 17],
    "every sample": [(i, np.inf) for i in range(40)],
}


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("gaps", GAPS.values(), ids=GAPS.keys())
def test_non_finite_samples_come_back_where_they_were(gaps, dtype):
    x = _with_gaps(gaps, dtype)
    unit = frames.encode_channel(x, CMODEL)
    y = decompress(unit)
    assert y.dtype == dtype
    np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
    np.testing.assert_array_equal(np.isposinf(y), np.isposinf(x))
    np.testing.assert_array_equal(np.isneginf(y), np.isneginf(x))
    # The codec itself only ever sees finite samples: the fill is a neighbour.
    layer = quillmere.decompress_signal(unit)
    assert np.isfinite(layer).all()
    finite = np.isfinite(x)
    if finite.any():
        assert np.abs(layer).max() <= np.abs(x[finite]).max() * 1.01 + 1e-3


def test_float64_variation_kept_at_large_magnitude():
    t = np.linspace(0, 20, 20000)
    x = 1.7e9 + np.sin(t)
    y = decompress(frames.encode_channel(x))
    assert y.dtype == np.float64
    # float32 alone rounds 1.7e9 to multiples of 128: the sine would vanish.
    assert np.abs(y - x).max() < 0.01
    # The wavelet layer is the signal minus the offset.
    assert np.abs(quillmere.decompress_signal(frames.encode_channel(x, CMODEL))).max() < 1.01


def test_zero_centred_float64_needs_no_offset():
    x = np.sin(np.linspace(0, 30, 5000))
    unit = frames.encode_channel(x, CMODEL)
    np.testing.assert_allclose(quillmere.decompress_signal(unit), x, atol=0.01)


@pytest.mark.parametrize("x, fragment", [
    (np.array([1e39, -1e39, 0.0]), "beyond float32's range"),
    (np.array([1.0, 1e300]), "beyond float32's range"),
    (np.array([-3e38, 3e38], dtype=np.float32), "exceeds what float32 can span"),
    (np.array([], dtype=np.float32), "empty"),
])
def test_unrepresentable_input_refused(x, fragment):
    with pytest.raises(ValueError, match=fragment):
        frames.encode_channel(x)


def test_beyond_float32_but_narrow_is_kept_through_the_offset():
    x = 1e39 + np.arange(100.0) * 1e32
    y = decompress(frames.encode_channel(x))
    assert np.abs(y - x).max() <= 1e-3 * np.ptp(x)


def _damaged_units():
    x = _with_gaps([(3, np.nan), (7, np.inf)], np.float64)
    unit = frames.encode_channel(x)
    n = container_len(unit)
    # Cut exactly at the container, a unit is a bare container: only the
    # unit lengths the file or chunk records can tell (tools' trailer).
    yield "truncated", [unit[:k] for k in range(n + 1, len(unit))] + [unit[:k] for k in range(0, n, 7)]
    yield "extended", [unit + b"\0", unit + unit[n:]]
    flips = []
    for k in range(len(unit)):
        b = bytearray(unit)
        b[k] ^= 0x10
        flips.append(bytes(b))
    yield "bit flip anywhere", flips
    other = frames.encode_channel(x[::-1].copy())
    yield "spliced", [other[:container_len(other)] + unit[n:]]


@pytest.mark.parametrize("kind, units", list(_damaged_units()), ids=lambda v: v if isinstance(v, str) else "")
def test_damaged_units_refused(kind, units):
    for u in units:
        with pytest.raises(ValueError):
            decompress(u)


def _forged(fields: dict, body: bytes) -> bytes:
    """A unit whose side block has valid CRCs but the given header fields."""
    x = WALK[:50].astype(np.float32)
    c = quillmere.compress_signal(x)
    head = {"version": 1, "precision": 0, "flags": 2, "reserved": 0, "n": 50, "crc": zlib.crc32(c)}
    head.update(fields)
    block = b"QLMC" + struct.pack("<BBBBIII", head["version"], head["precision"], head["flags"],
                                  head["reserved"], head["n"], head["crc"], len(body)) + body
    return c + block + struct.pack("<I", zlib.crc32(block))


RUN = struct.pack("<II", 7, 1) + bytes([0, 0, 0])  # section length, one run: NaN at 0


@pytest.mark.parametrize("fields, body, fragment", [
    ({}, struct.pack("<II", 4, 0xFFFFFFFF), "claims 4294967295 non-finite runs"),
    ({}, struct.pack("<II", 7, 1) + bytes([3, 0, 0]), "kind 3"),
    ({}, struct.pack("<II", 7, 1) + bytes([0, 49, 1]), "ends at sample 51"),
    ({}, struct.pack("<II", 10, 1) + bytes([0, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F]), "truncated"),
    ({"version": 3}, RUN, "version 3"),
    ({"precision": 2}, RUN, "precision 2"),
    ({"flags": 0x82}, RUN, "flags"),
    ({"n": 51}, RUN, "51 samples"),
    ({"crc": 0}, RUN, "different container"),
    ({"flags": 1, "precision": 1}, struct.pack("<d", float("nan")), "offset"),
    ({"flags": 1}, struct.pack("<d", 1.0), "offset"),
    ({}, RUN + b"\0", "truncated|left over"),
])
def test_forged_side_blocks_refused_by_name(fields, body, fragment):
    with pytest.raises(ValueError, match=fragment):
        decompress(_forged(fields, body))


def test_forged_runs_that_are_well_formed_decode():
    y = decompress(_forged({}, RUN))
    assert np.isnan(y[0]) and np.isfinite(y[1:]).all()


SIGNALS = [WALK.astype(np.float32), np.sin(np.arange(777) / 9.0), np.ones(5),
           _with_gaps(GAPS["adjacent kinds"], np.float64), 1.7e9 + np.cos(np.arange(400) / 7.0)]


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
@pytest.mark.parametrize("options", [{}, {"method": "db4", "coder": "arans", "scale": 8}])
def test_batches_match_single_calls(threads, options):
    units = compress_many(SIGNALS, threads=threads, **options)
    assert units == [frames.encode_channel(x, Settings(**options)) for x in SIGNALS]
    decoded = decompress_many(units, threads=threads)
    for y, u in zip(decoded, units):
        np.testing.assert_array_equal(y, decompress(u))


def test_batch_failure_names_the_item():
    with pytest.raises(ValueError, match="signal 1: cannot compress an empty signal"):
        compress_many([SIGNALS[0], np.array([], np.float32)], threads=2)
    with pytest.raises(ValueError, match="unit 0: "):
        decompress_many([b"QLMR" + bytes(60)], threads=2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'max_eror'"):
        compress_many(SIGNALS, max_eror=1.0)


def _longest_stall_during(call):
    """(longest gap a spinning Python loop sees while `call` runs in another
    thread, how long the call took)."""
    done = threading.Event()
    took = []

    def work():
        t0 = time.perf_counter()
        call()
        took.append(time.perf_counter() - t0)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    last, worst = time.perf_counter(), 0.0
    while not done.is_set():
        now = time.perf_counter()
        worst, last = max(worst, now - last), now
    worker.join()
    return worst, took[0]


def test_work_runs_without_the_interpreter_lock():
    """While one thread compresses, another keeps running Python: the
    longest stall it sees is far below the length of the call. A call that
    held the lock would stall the loop for all of its length every time; on
    a loaded machine the scheduler alone can stall one round, so the test
    takes the best of three."""
    x = np.cumsum(RNG.standard_normal(3_000_000)).astype(np.float32)
    # Long enough to tell a stall from the call on any machine: a bounded
    # compress, grown until one call takes a tenth of a second.
    bound = Bounds(max_error=1e-3 * float(np.ptp(x)))
    while True:
        worst, took = _longest_stall_during(lambda: frames.encode_channel(x, bounds=bound))
        if took > 0.1 or x.size >= 48_000_000:
            break
        x = np.concatenate([x, x])
    assert took > 0.1, "the call was too short to tell"
    rounds = [(worst, took)] + [
        _longest_stall_during(lambda: frames.encode_channel(x, bounds=bound)) for _ in range(2)]
    assert min(w / t for w, t in rounds) < 0.5, rounds


_FUZZ_BASE = [frames.encode_channel(_with_gaps(GAPS["adjacent kinds"], np.float64)),
              frames.encode_channel(1.7e9 + np.cos(np.arange(300) / 7.0))]


@pytest.mark.parametrize("which", [0, 1])
def test_payload_length_grown_over_the_side_block_is_refused(which):
    # A damaged payload length that takes the side block into the container
    # would otherwise decode as a bare float32 unit: for a float64 source
    # with an offset, values far from the original. (cmodel, so that the
    # module can show how it reads the same bytes.)
    signal = _with_gaps(GAPS["adjacent kinds"], np.float64) if which == 0 else 1.7e9 + np.cos(np.arange(300) / 7.0)
    base = frames.encode_channel(signal, CMODEL)
    unit = bytearray(base)
    end = container_len(base)
    assert len(unit) > end
    struct.pack_into("<I", unit, 32, len(unit) - 52)
    # The module reads a container as it always has and takes the bytes in;
    # the tools know a unit may go on after its stream, and refuse.
    assert quillmere.decompress_signal(bytes(unit)).size > 0
    with pytest.raises(ValueError, match="Inconsistent length"):
        decompress(bytes(unit))


@settings(max_examples=300, deadline=2000)
@given(which=st.integers(0, 1), edits=st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)),
                                               max_size=6),
       cut=st.integers(0, 10**6), tail=st.binary(max_size=40))
def test_mutated_units_decode_to_the_original_or_fail_clearly(which, edits, cut, tail):
    unit = bytearray(_FUZZ_BASE[which])
    for at, value in edits:
        unit[at % len(unit)] = value
    unit = bytes(unit[:max(0, len(unit) - cut % 8)]) + tail
    original = decompress(_FUZZ_BASE[which])
    try:
        y = decompress(unit)
    except ValueError:
        return
    # Decoded: either nothing that matters changed, or only the bare
    # container remained (a unit cut at its container's end).
    if y.dtype == original.dtype:
        np.testing.assert_array_equal(y, original)
    else:
        assert len(unit) <= container_len(_FUZZ_BASE[which]) and y.dtype == np.float32
