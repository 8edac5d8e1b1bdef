"""Arrays and bytes across the boundary: what is accepted, how float64 is
narrowed, and the zero-copy output array with its holder."""

from __future__ import annotations

import textwrap

import numpy as np
import pytest
from quillmere import compress_signal, decompress_signal

NOT_A_SIGNAL = "expected a 1-D float32 or float64 NumPy array"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
SINE = np.sin(np.arange(64) / 5.0)


def misaligned_float32(n: int) -> np.ndarray:
    raw = np.zeros(4 * n + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float32, count=n, offset=1)
    assert not view.flags.aligned
    return view


@pytest.mark.parametrize(
    "data",
    [
        SINE.astype(">f4"),
        SINE.astype(">f8"),
        np.arange(64, dtype=np.int64),
        SINE.astype(np.float16),
        SINE.astype(np.complex64),
        SINE.astype(np.float32).reshape(1, 64),
        np.array(1.5, dtype=np.float32),
        np.float32(1.5),
        [1.0, 2.0, 3.0],
        b"\x00" * 16,
        None,
    ],
    ids=["big-endian-f4", "big-endian-f8", "int64", "float16", "complex64", "2-d", "0-d", "scalar",
         "list", "bytes", "None"],
)
def test_unusable_data_is_a_value_error(data):
    with pytest.raises(ValueError) as info:
        compress_signal(data)
    assert info.value.args == (NOT_A_SIGNAL,)


@pytest.mark.parametrize(
    "make",
    [
        lambda: SINE.astype(np.float32)[::2],
        lambda: SINE.astype(np.float32)[::-1],
        lambda: SINE[::3],
        lambda: misaligned_float32(64),
    ],
    ids=["step-2", "reversed", "float64-step-3", "misaligned"],
)
def test_strided_or_misaligned_data_is_a_type_error(make):
    with pytest.raises(TypeError) as info:
        compress_signal(make())
    assert info.value.args == (NOT_CONTIGUOUS,)


def test_native_copy_of_big_endian_is_accepted():
    x = SINE.astype(np.float32)
    assert compress_signal(x.astype(">f4").astype("=f4")) == compress_signal(x)


def test_contiguous_slice_subclass_and_read_only_input(make_signal):
    base = make_signal(300)
    expected = compress_signal(base[50:250].copy())
    assert compress_signal(base[50:250]) == expected

    class Tagged(np.ndarray):
        pass

    assert compress_signal(base[50:250].copy().view(Tagged)) == expected

    frozen = base[50:250].copy()
    frozen.flags.writeable = False
    before = frozen.copy()
    assert compress_signal(frozen) == expected
    assert np.array_equal(frozen, before)


def test_float64_narrows_like_ieee_rounding(make_signal):
    x = make_signal(512, dtype=np.float64)
    # Overflow to infinity, underflow to signed zero, NaN, and exact ties
    # between two float32 neighbours (ties go to the even mantissa).
    x[[3, 4, 5, 6, 7, 8]] = [1e39, -1e39, 1e-50, -1e-50, np.nan, 3.4028235677973366e38]
    x[9] = 1.0 + 2.0**-24
    x[10] = 1.0 + 3 * 2.0**-24
    with np.errstate(over="ignore"):
        narrowed = x.astype(np.float32)
    assert narrowed[3] == np.inf and narrowed[4] == -np.inf and narrowed[7] != narrowed[7]
    assert narrowed[9] == 1.0 and narrowed[10] == np.float32(1.0 + 4 * 2.0**-24)
    assert compress_signal(x) == compress_signal(narrowed)


@pytest.fixture(scope="module")
def container(make_signal):
    return compress_signal(make_signal(4096))


def test_output_array_owns_nothing_and_keeps_its_holder(container):
    y = decompress_signal(container)
    assert type(y) is np.ndarray
    assert y.dtype == np.float32 and y.ndim == 1 and y.shape == (4096,)
    assert y.flags.writeable and y.flags.c_contiguous and y.flags.aligned
    assert not y.flags.owndata
    holder = y.base
    assert not isinstance(holder, np.ndarray)
    assert type(holder).__name__ == "PySliceContainer"
    with pytest.raises(TypeError):
        type(holder)()


def test_output_is_memory_of_its_own(container):
    first = decompress_signal(container)
    second = decompress_signal(container)
    view = first[100:200]
    assert np.shares_memory(first, view)
    assert not np.shares_memory(first, second)
    view[:] = 7.0
    assert np.all(first[100:200] == 7.0)
    assert not np.any(second == 7.0)


def test_samples_are_freed_with_the_last_view(run_python):
    # In a fresh process with a fixed mmap threshold, so that an 8 MiB sample
    # buffer is mapped on its own and its release shows in the RSS at once.
    script = textwrap.dedent(
        """
        import gc, os, numpy, quillmere
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        x = numpy.sin(numpy.arange(1 << 21, dtype=numpy.float32) / 7)
        c = quillmere.compress_signal(x)
        del x
        gc.collect()
        start = rss()
        y = quillmere.decompress_signal(c)
        view = y[1000:2000]
        del y
        gc.collect()
        held = rss()
        del view
        gc.collect()
        print(held - start, rss() - start)
        """
    )
    result = run_python(script, env={"MALLOC_MMAP_THRESHOLD_": "131072"})
    assert result.returncode == 0, result.stderr
    held, released = (int(v) for v in result.stdout.split())
    mib = 1 << 20
    assert held > 7 * mib  # the view alone keeps all 8 MiB alive
    assert released < 1 * mib


class Payload(bytes):
    pass


def test_bytes_subclass_is_accepted(container):
    assert np.array_equal(decompress_signal(Payload(container)), decompress_signal(container))


@pytest.mark.parametrize(
    ("wrap", "message"),
    [
        (bytearray, "'bytearray' object is not an instance of 'bytes'"),
        (memoryview, "'memoryview' object is not an instance of 'bytes'"),
        (lambda c: np.frombuffer(c, dtype=np.uint8), "'ndarray' object is not an instance of 'bytes'"),
        (lambda c: c.decode("latin-1"), "'str' object is not an instance of 'bytes'"),
        (lambda c: None, "'None' is not an instance of 'bytes'"),
        (lambda c: 42, "'int' object is not an instance of 'bytes'"),
    ],
    ids=["bytearray", "memoryview", "ndarray", "str", "None", "int"],
)
def test_only_bytes_decompress(container, wrap, message):
    with pytest.raises(TypeError) as info:
        decompress_signal(wrap(container))
    assert info.value.args == (message,)
    assert info.value.__notes__ == ["while processing 'data'"]


def test_allocation_failure_is_memory_error(run_python):
    # The float64 input fits under the address-space limit; its float32 copy
    # does not. The failed call must leave the module usable.
    script = textwrap.dedent(
        """
        import resource, numpy, quillmere
        quillmere.compress_signal(numpy.ones(8))
        with open("/proc/self/status") as f:
            vm = int(next(line for line in f if line.startswith("VmSize")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (1536 << 20), resource.RLIM_INFINITY))
        x = numpy.zeros(150_000_000)  # 1.2 GB, never touched
        try:
            quillmere.compress_signal(x)
        except MemoryError:
            print("MemoryError")
        del x
        print(quillmere.decompress_signal(quillmere.compress_signal(numpy.ones(8))).tolist())
        """
    )
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", str([1.0] * 8)]
