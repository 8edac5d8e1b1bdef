"""Repeated calls, successful and failing in every way the module can fail,
leave the process's memory flat.

QUILLMERE_LEAK_CALLS sets the number of calls, rounded up to whole rounds
(each round makes every call of the table below once); the default keeps the
suite quick. With -s the figures are printed.
"""

from __future__ import annotations

import gc
import os
import sys

import numpy as np
import pytest
from quillmere import CompressionOptions, compress_signal, decompress_signal

CALLS = int(os.environ.get("QUILLMERE_LEAK_CALLS", "0"))


def round_count(table_size: int) -> int:
    """Rounds that make at least CALLS calls (3000 rounds when it is not
    set), and never fewer than 1000: below that a leak of one block per
    round hides in the free lists."""
    return max(1000 if CALLS else 3000, -(-CALLS // table_size))


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls(x32: np.ndarray, x64: np.ndarray, container: bytes):
    """(call, expected exception or None) for every success and failure kind."""
    corrupt = b"QLMR" + bytes([1, 2]) + b"f3" + b"cf97" + bytes(40)  # scale 0 in the header
    return [
        (lambda: compress_signal(x32, CompressionOptions("db4", 8, "high", "arans", 3.0)), None),
        (lambda: compress_signal(x64), None),
        (lambda: decompress_signal(container), None),
        (lambda: decompress_signal(container)[::7].copy(), None),
        (lambda: compress_signal(x32, 5), TypeError),  # options of the wrong type, with a note
        (lambda: compress_signal([1.0, 2.0]), ValueError),  # not an array
        (lambda: compress_signal(x32[::2]), TypeError),  # strided
        (lambda: compress_signal(x64[:0]), ValueError),  # codec refuses empty input
        (lambda: compress_signal(), TypeError),  # binding
        (lambda: compress_signal(x32, options=None, level=3), TypeError),
        (lambda: decompress_signal(bytearray(container)), TypeError),  # with a note
        (lambda: decompress_signal(corrupt), ValueError),  # header
        (lambda: decompress_signal(container[:60]), ValueError),  # payload length
        (lambda: decompress_signal(container[:52] + bytes(len(container) - 52)), ValueError),  # payload
        (lambda: CompressionOptions(method="cdf\ud800"), UnicodeEncodeError),
        (lambda: CompressionOptions(scale=2**70), OverflowError),
        (lambda: CompressionOptions(scale=300), OverflowError),
        (lambda: CompressionOptions(scale=1.5), TypeError),
        (lambda: CompressionOptions(quant_multiplier="x"), TypeError),
        (lambda: CompressionOptions(method="cdf97\n\u200b"), ValueError),  # quoted literal
        (lambda: CompressionOptions(scale=5), ValueError),  # codec's own error text
        (lambda: CompressionOptions("cdf97", 11, "low", None, None, 1), TypeError),
        (lambda: CompressionOptions(coder=None, quant_multiplier=float("nan")), None),
    ]


def run_rounds(table, rounds: int) -> None:
    for _ in range(rounds):
        for call, expected in table:
            if expected is None:
                call()
                continue
            try:
                call()
            except expected:
                pass
            else:
                raise AssertionError(f"{call} did not raise {expected.__name__}")


def test_memory_stays_flat(make_signal):
    x32 = make_signal(1000)
    x64 = make_signal(1000, seed=1, dtype=np.float64)
    container = compress_signal(x32)
    table = calls(x32, x64, container)
    rounds = round_count(len(table))

    # Warm-up fills the interpreter's and the allocator's caches; then the
    # same work is measured from one checkpoint to the next, so anything
    # allocated once (by the first round or the measuring itself) cancels.
    run_rounds(table, max(200, rounds // 10))

    def checkpoint():
        gc.collect()
        return rss_bytes(), sys.getallocatedblocks()

    rss_before, blocks_before = checkpoint()
    run_rounds(table, rounds)
    rss_after, blocks_after = checkpoint()
    rss_growth = rss_after - rss_before
    block_growth = blocks_after - blocks_before

    calls_made = rounds * len(table)
    print(f"\n{rounds} rounds, {calls_made} calls: RSS {rss_growth / 1024:+.0f} KiB, "
          f"interpreter blocks {block_growth:+d}")
    # Every call runs once per round, so a leak on any path adds at least
    # `rounds` blocks; the interpreter's free lists account for a few
    # hundred either way. A leaked sample vector (4 KB) per round shows as
    # megabytes of RSS.
    assert block_growth < rounds // 2
    assert rss_growth < 2 * 1024 * 1024


@pytest.mark.parametrize("rounds", [1])
def test_every_listed_failure_happens(make_signal, rounds):
    # Guards the table above: each expected exception really is raised, so
    # the leak loop exercises the failure paths it names.
    x32 = make_signal(1000)
    run_rounds(calls(x32, x32.astype(np.float64), compress_signal(x32)), rounds)
