"""The module used from many Python threads at once: every result equals the
one the same call gives when run alone, and failures stay with their call.

What this cannot show: the module holds the interpreter lock for the whole
call, so these threads never run the codec at the same time, and a data race
inside the C++ codec (shared executors, coder tables) would pass here.  The
codec's own calls from several threads at once are checked, result against
result, by quillmere/tests/threads_test.cpp; this file checks the binding's
side only (argument handling, result ownership, error state per call)."""

from __future__ import annotations

import itertools
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from quillmere import CompressionOptions, compress_signal, decompress_signal

METHODS = ("cdf53", "cdf97", "db4", "sym4")
CODERS = ("deflate", "arans", "cmodel")


def jobs():
    """Different signals, lengths, dtypes and options, so that threads never
    compute the same thing and a mix-up between calls would show."""
    out = []
    for i, (method, coder) in enumerate(itertools.product(METHODS, CODERS)):
        n = 500 + 397 * i
        t = np.arange(n)
        x = np.sin(t / (5.0 + i)) + 0.1 * np.cos(t * 0.37 * (i + 1))
        x = x.astype(np.float64 if i % 2 else np.float32)
        options = CompressionOptions(method=method, scale=6 + i % 7, cutoff=("low", "medium", "high")[i % 3],
                                     coder=coder)
        out.append((x, options))
    return out


JOBS = jobs()


def run(job):
    x, options = job
    container = compress_signal(x, options)
    return container, decompress_signal(container)


def refuse(data: bytes) -> str:
    with pytest.raises(ValueError) as caught:
        decompress_signal(data)
    return str(caught.value)


@pytest.mark.parametrize("workers", [2, 8])
def test_threads_match_serial_results(workers):
    serial = [run(job) for job in JOBS]
    # Each job several times over, interleaved, so that calls overlap with
    # every other kind of call.
    work = JOBS * 4
    with ThreadPoolExecutor(max_workers=workers) as pool:
        parallel = list(pool.map(run, work))
    for k, (container, samples) in enumerate(parallel):
        expected_container, expected_samples = serial[k % len(JOBS)]
        assert container == expected_container
        assert samples.dtype == np.float32
        assert np.array_equal(samples, expected_samples, equal_nan=True)


def test_failures_in_threads_stay_with_their_call():
    containers = [run(job)[0] for job in JOBS]
    # Truncated payloads, bad headers and good containers, all at once.
    cases = []
    for c in containers:
        cases += [c, c[: len(c) - 3], b"QLMX" + c[4:], c[:52]]
    expected = [None if i % 4 == 0 else refuse(case) for i, case in enumerate(cases)]

    def attempt(data):
        try:
            return decompress_signal(data)
        except ValueError as error:
            return str(error)

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(attempt, cases * 3))
    for i, result in enumerate(results):
        want = expected[i % len(cases)]
        if want is None:
            assert isinstance(result, np.ndarray)
            assert len(result) == len(JOBS[(i % len(cases)) // 4][0])
        else:
            assert result == want
