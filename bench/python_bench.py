"""Throughput of compress_signal and decompress_signal through Python.

Times the two entry points on 10^6 samples given as float32 and as float64,
with the default options, and puts the C++ codec's own figures beside them
when the codec bench binary is given (--cpp-bench build/bench/codec_bench), so
the cost of the Python layer can be read off. MB/s counts 4 bytes per sample
in every row, as the C++ bench does, so float64 rows are comparable.

The signal is the C++ bench's formula (chirps under an envelope over a slow
drift, plus 1 % noise); the noise comes from NumPy here, so the two runs see
statistically equal but not identical samples. --dump-signal writes the
float32 samples for a like-for-like timing elsewhere.

Prints medians; not a test.
"""

from __future__ import annotations

import argparse
import re
import statistics
import subprocess
import sys
import time

import numpy as np
import quillmere


def realistic_signal(n: int) -> np.ndarray:
    t = np.arange(n, dtype=np.float32) / np.float32(16000.0)
    two_pi = np.float32(2.0 * 3.14159)
    envelope = np.float32(0.5) + np.float32(0.5) * np.sin(two_pi * np.float32(3.0) * t)
    chirp = np.sin(two_pi * (np.float32(200.0) + np.float32(400.0) * t) * t)
    drift = np.float32(0.3) * np.sin(two_pi * np.float32(0.5) * t)
    noise = np.random.default_rng(42).normal(0.0, 0.01, n).astype(np.float32)
    return (envelope * chirp + drift + noise).astype(np.float32)


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}


def median_seconds(runs: int, f, clock=time.perf_counter) -> float:
    f()  # warm-up: first-use loading of NumPy's table, page faults
    times = []
    for _ in range(runs):
        start = clock()
        f()
        times.append(clock() - start)
    return statistics.median(times)


def cpp_figures(binary: str) -> tuple[float, float] | None:
    """Compress and decompress MB/s of the default options (cdf97, cmodel)
    from the C++ codec bench's table."""
    out = subprocess.run([binary], capture_output=True, text=True, check=True).stdout
    match = re.search(r"^\|\s*cdf97\s*\|\s*cmodel\s*\|\s*[\d.]+\s*\|\s*([\d.]+)\s*\|\s*([\d.]+)\s*\|", out, re.M)
    return (float(match.group(1)), float(match.group(2))) if match else None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--cpp-bench", metavar="PATH", help="the C++ codec bench binary, run for reference")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="wall",
                        help="cpu: process CPU time, steadier on a loaded machine")
    parser.add_argument("--dump-signal", metavar="PATH", help="write the float32 samples (raw, little-endian)")
    args = parser.parse_args()

    x32 = realistic_signal(args.samples)
    x64 = x32.astype(np.float64)
    if args.dump_signal:
        x32.astype("<f4").tofile(args.dump_signal)
    mb = args.samples * 4 / 1e6

    clock = CLOCKS[args.clock]
    container = quillmere.compress_signal(x32)
    decoded = quillmere.decompress_signal(container)
    rows = [
        ("compress float32", median_seconds(args.runs, lambda: quillmere.compress_signal(x32), clock)),
        ("compress float64", median_seconds(args.runs, lambda: quillmere.compress_signal(x64), clock)),
        ("decompress", median_seconds(args.runs, lambda: quillmere.decompress_signal(container), clock)),
    ]
    # What the Python layer adds by itself, measured with NumPy doing the same
    # memory work: one float64-to-float32 pass, one copy of the container.
    t_narrow = median_seconds(args.runs, lambda: x64.astype(np.float32), clock)
    t_copy = median_seconds(args.runs, lambda: bytes(container), clock)

    print(f"{args.samples} samples, default options, ratio {x32.nbytes / len(container):.2f}, "
          f"max error {float(np.max(np.abs(decoded - x32))):.5f}, median of {args.runs} ({args.clock} clock)")
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}\n")
    print("| call | ms | MB/s |")
    print("|---|---|---|")
    for name, seconds in rows:
        print(f"| {name} | {seconds * 1e3:.2f} | {mb / seconds:.1f} |")
    print(f"\nfloat64 narrowing alone (numpy astype): {t_narrow * 1e3:.2f} ms; "
          f"container copy alone: {t_copy * 1e6:.1f} us")

    if args.cpp_bench:
        figures = cpp_figures(args.cpp_bench)
        if figures is None:
            print("\nC++ bench: no cdf97/cmodel row found in its output")
            return 1
        cpp_c, cpp_d = figures
        py_c, py_d = mb / rows[0][1], mb / rows[2][1]
        print(f"\nC++ codec bench (cdf97, cmodel): compress {cpp_c:.1f} MB/s, decompress {cpp_d:.1f} MB/s")
        print(f"Python layer cost: compress {100 * (cpp_c / py_c - 1):+.1f} %, "
              f"decompress {100 * (cpp_d / py_d - 1):+.1f} % (time through Python over time in C++)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
