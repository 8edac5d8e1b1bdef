"""atheris fuzzer of the Python boundary: decompress_signal on container-like
bytes, CompressionOptions on arbitrary argument values, compress_signal on
arrays of any dtype and layout. Only ValueError, TypeError, OverflowError and
MemoryError may escape; anything else (PanicException included, which is a
BaseException) or a crash is a finding.

    pip install atheris
    python fuzz/python/fuzz_module.py -max_total_time=60 fuzz/corpus/decompress

The native decoders are fuzzed with coverage by the C++ harnesses (fuzz/).
Here libFuzzer steers only by this file's branches (the installed extension
carries no coverage hooks, and atheris's bundled libFuzzer is not loaded in a
way that would let an instrumented one resolve them), so the container
corpus is the starting point and the mutations around it do the work.
"""

from __future__ import annotations

import struct
import sys

import atheris
import numpy as np
from quillmere import CompressionOptions, compress_signal, decompress_signal

ALLOWED = (ValueError, TypeError, OverflowError, MemoryError)
TEXT = ["cdf53", "cdf97", "db4", "sym4", "low", "medium", "high", "auto", "deflate", "arans",
        "cmodel", "CDF97", "", "cdf97\n"]
DTYPES = [np.float32, np.float64, np.float16, np.int16, np.dtype(">f4"), np.complex64]


@atheris.instrument_func
def any_value(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.PickValueInList(TEXT)
    if kind == 2:
        return fdp.ConsumeUnicode(8)
    if kind == 3:
        return fdp.ConsumeIntInRange(-(2**70), 2**70)
    if kind == 4:
        return fdp.ConsumeSmallInt() if hasattr(fdp, "ConsumeSmallInt") else fdp.ConsumeInt(2)
    if kind == 5:
        return fdp.ConsumeFloat()
    if kind == 6:
        return fdp.ConsumeBool()
    return fdp.ConsumeBytes(4)


@atheris.instrument_func
def check_decompress(data: bytes) -> None:
    try:
        out = decompress_signal(data)
    except ALLOWED:
        return
    assert out.dtype == np.float32 and out.ndim == 1
    assert len(out) == struct.unpack_from("<I", data, 16)[0]


@atheris.instrument_func
def check_options(fdp: atheris.FuzzedDataProvider) -> None:
    args = [any_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    try:
        options = CompressionOptions(*args)
    except ALLOWED:
        return
    x = np.linspace(-1.0, 1.0, 50, dtype=np.float32)
    try:
        container = compress_signal(x, options)
    except ValueError:
        return
    assert len(decompress_signal(container)) == len(x)


@atheris.instrument_func
def check_array(fdp: atheris.FuzzedDataProvider) -> None:
    dtype = np.dtype(fdp.PickValueInList(DTYPES))
    raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4096))
    array = np.frombuffer(raw[: len(raw) // dtype.itemsize * dtype.itemsize], dtype=dtype)
    step = fdp.PickValueInList([1, 2, -1])
    array = array[::step]
    try:
        container = compress_signal(array)
    except ALLOWED:
        return
    assert len(decompress_signal(container)) == len(array)


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    # The first byte picks the entry point, so container seeds (which start
    # with 'Q') go to decompress_signal untouched.
    if data[:1] == b"Q" or not data:
        check_decompress(data)
        return
    fdp = atheris.FuzzedDataProvider(data[1:])
    if data[0] % 2:
        check_options(fdp)
    else:
        check_array(fdp)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
