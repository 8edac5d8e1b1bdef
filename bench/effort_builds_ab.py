"""Bounded compress speed of two builds, taking turns: each row (a signal of
bench/signals.py at a max error of 0.1 % or 1 % of its range) is timed in
one process per build per round, the builds alternating round after round,
so that a change in the machine's load falls on both. Prints per row the
median over rounds of each build's median CPU time per call, as MB/s of
float32 input, and their ratio. Not a test.

    python bench/effort_builds_ab.py PYTHON_A PYTHON_B [--effort fast|thorough]
        [--rounds 3] [--calls 60] [pattern ...]

PYTHON_A and PYTHON_B are the interpreters of the two builds' environments.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def worker(name: str, fraction: float, effort: str, calls: int) -> None:
    """One build's timing of one row, printed as JSON."""
    sys.path.insert(0, HERE)
    import numpy as np
    import signals
    from quillmere_tools import compress_to_target, metrics

    chosen = [s for s in signals.all_signals() if s.name == name][0]
    x = np.ascontiguousarray(chosen.load(), dtype=np.float32)
    bound = fraction * metrics.signal_range(x)
    made = compress_to_target(x, max_error=bound, effort=effort)
    times = []
    for _ in range(calls):
        t0 = time.process_time()
        compress_to_target(x, max_error=bound, effort=effort)
        times.append(time.process_time() - t0)
    print(json.dumps({"seconds": statistics.median(times), "bytes": made.size,
                      "coder": made.settings.coder, "mb": 4 * x.size / 1e6}))


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], float(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
        return
    p = argparse.ArgumentParser()
    p.add_argument("python_a")
    p.add_argument("python_b")
    p.add_argument("--effort", default="fast", choices=["fast", "thorough"])
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--calls", type=int, default=60)
    p.add_argument("patterns", nargs="*")
    a = p.parse_intermixed_args()
    sys.path.insert(0, HERE)
    import signals

    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    rows = [s.name for s in signals.select(signals.all_signals(), a.patterns or None)]
    print(f"effort={a.effort}, median CPU time of {a.calls} calls, median of {a.rounds} alternated rounds")
    print(f"{'signal':<22} {'bound':<5} {'unit':<8} {'A MB/s':>8} {'B MB/s':>8} {'B/A':>6} "
          f"{'bytes A':>8} {'bytes B':>8}")
    ratios = []
    for name in rows:
        for fraction in (1e-3, 1e-2):
            got: dict = {"a": [], "b": []}
            last: dict = {}
            for _ in range(a.rounds):
                for key, python in (("a", a.python_a), ("b", a.python_b)):
                    out = subprocess.run([python, os.path.abspath(__file__), "--worker", name, str(fraction),
                                          a.effort, str(a.calls)], env=env, capture_output=True, text=True,
                                         check=True)
                    last[key] = json.loads(out.stdout.strip().splitlines()[-1])
                    got[key].append(last[key]["seconds"])
            ma, mb = statistics.median(got["a"]), statistics.median(got["b"])
            ratios.append(ma / mb)
            mbytes = last["a"]["mb"]
            print(f"{name:<22} {100 * fraction:g}%{'':<3} {last['b']['coder']:<8} {mbytes / ma:8.1f} "
                  f"{mbytes / mb:8.1f} {ma / mb:6.3f} {last['a']['bytes']:8d} {last['b']['bytes']:8d}", flush=True)
    print(f"B/A speed median {statistics.median(ratios):.3f} ({min(ratios):.3f}-{max(ratios):.3f})")


if __name__ == "__main__":
    main()
