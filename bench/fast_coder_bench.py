"""User-level throughput of the fast coder: plain compress and decompress
through the tools (a channel unit with coder "fast", and with the tools'
default) against quillmere.compress_signal / decompress_signal with the
module's default (cmodel), on the repository's signals, one thread, medians
of wall-clock time, all in the same run. Also the unit size with the fast
coder over the size with cmodel.

    python bench/fast_coder_bench.py [--runs N] [pattern ...]

MB/s counts 4 bytes per sample. Each timed call records its wall-clock
time and the calling thread's CPU time (the codecs run on that thread);
the "cpu" columns are the ratios of CPU medians, which a shared machine's
load moves far less than wall-clock. Prints a Markdown table; not a test.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

import numpy as np
import quillmere

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signals  # noqa: E402

from quillmere_tools.units import channel as frames  # noqa: E402
from quillmere_tools.settings import Settings  # noqa: E402


def medians(runs: int, f) -> tuple:
    """Median wall-clock and median thread CPU seconds of `runs` calls."""
    f()  # warm-up
    wall, cpu = [], []
    for _ in range(runs):
        w0, c0 = time.perf_counter(), time.thread_time()
        f()
        cpu.append(time.thread_time() - c0)
        wall.append(time.perf_counter() - w0)
    return statistics.median(wall), statistics.median(cpu)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("patterns", nargs="*")
    args = ap.parse_args()
    chosen = [s for s in signals.select(signals.all_signals(), args.patterns or None)
              if s.kind in (signals.KIND_SPEECH, signals.KIND_PHYSIO, signals.KIND_SYNTHETIC)]
    print("| signal | kind | samples | module c MB/s | tools fast c MB/s | c x | cpu c x | "
          "module d MB/s | tools fast d MB/s | d x | cpu d x | tools default c MB/s | "
          "fast/cmodel size |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    started = time.perf_counter()
    cx, dx, ccx, cdx = [], [], [], []
    for sig in chosen:
        x = sig.load()
        mb = 4.0 * x.size / 1e6
        blob = quillmere.compress_signal(x)
        fast = frames.encode_channel(x, Settings(coder="fast"))
        cm = frames.encode_channel(x, Settings(coder="cmodel"))
        assert np.array_equal(frames.decode_channel(fast), frames.decode_channel(cm))
        t_mc, u_mc = medians(args.runs, lambda: quillmere.compress_signal(x))
        t_md, u_md = medians(args.runs, lambda: quillmere.decompress_signal(blob))
        t_fc, u_fc = medians(args.runs, lambda: frames.encode_channel(x, Settings(coder="fast")))
        t_fd, u_fd = medians(args.runs, lambda: frames.decode_channel(fast))
        t_tc, _ = medians(args.runs, lambda: frames.encode_channel(x, Settings()))
        cx.append(t_mc / t_fc)
        dx.append(t_md / t_fd)
        ccx.append(u_mc / u_fc)
        cdx.append(u_md / u_fd)
        print(f"| {sig.name} | {sig.kind} | {x.size} | {mb / t_mc:.1f} | {mb / t_fc:.1f} | "
              f"{t_mc / t_fc:.2f} | {u_mc / u_fc:.2f} | {mb / t_md:.1f} | {mb / t_fd:.1f} | "
              f"{t_md / t_fd:.2f} | {u_md / u_fd:.2f} | {mb / t_tc:.1f} | {len(fast) / len(cm):.4f} |")
    print(f"\nmedian speed-up: compress {statistics.median(cx):.2f}x (cpu {statistics.median(ccx):.2f}x), "
          f"decompress {statistics.median(dx):.2f}x (cpu {statistics.median(cdx):.2f}x); "
          f"wall-clock {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
