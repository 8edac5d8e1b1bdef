"""Minor page faults and CPU time of each bounded call, printed (not a timed test).

A search whose working memory sits at the heap's top gives it back to the
system when it frees it, and faults it in again on the next call; on a busy
machine those faults can cost more than the search. This loops
compress_to_target on one signal of bench/signals.py and prints, per bound,
the faults of the first calls and the median faults and CPU time of the
rest. The calls run in a fresh process that imports only NumPy and the
tools, as bench/bounded_speed_against.py's do: what else a process has
allocated decides where the search's memory lands, and so whether it
faults.

    python bench/search_page_faults.py mpl/membrane [--fractions 0.001 0.01]
        [--calls 300] [--effort thorough|fast] [--python PYTHON]
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def worker(path: str, name: str, fractions: list, calls: int, effort: str) -> None:
    import resource
    import statistics
    import time

    import numpy as np
    from quillmere_tools import compress_to_target

    x = np.load(path)
    span = float(np.max(x)) - float(np.min(x))
    # Builds from before the effort keyword take the default search only.
    extra = {} if effort == "thorough" else {"effort": effort}
    for fraction in fractions:
        faults, seconds = [], []
        for _ in range(calls):
            before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            t0 = time.process_time()
            res = compress_to_target(x, max_error=fraction * span, **extra)
            seconds.append(time.process_time() - t0)
            faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
        settled = slice(min(20, calls // 2), None)
        size = len(getattr(res, "unit", None) or res.container)
        print(f"{name} max_error {fraction:g} of range: {size} B, first calls' faults "
              f"{faults[:3]}, then median {statistics.median(faults[settled]):g} faults and "
              f"{1e3 * statistics.median(seconds[settled]):.3f} ms CPU a call", flush=True)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("signal", help="a signal name from bench/signals.py, e.g. mpl/membrane")
    p.add_argument("--fractions", type=float, nargs="+", default=[0.001, 0.01],
                   help="max error as fractions of the signal's range, run in this order")
    p.add_argument("--calls", type=int, default=300)
    p.add_argument("--effort", choices=["thorough", "fast"], default="thorough")
    p.add_argument("--python", default=sys.executable,
                   help="the interpreter (a venv's bin/python) whose build is measured")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.calls < 10:
        p.error("--calls must be at least 10")
    if args.worker:
        worker(args.worker, args.signal, args.fractions, args.calls, args.effort)
        return

    import numpy as np
    import signals as bench_signals

    found = [s for s in bench_signals.all_signals() if s.name == args.signal]
    if not found:
        p.error(f"no signal named {args.signal!r}")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "signal.npy")
        np.save(path, found[0].load())
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
        cmd = [args.python, os.path.abspath(__file__), args.signal, "--worker", path,
               "--calls", str(args.calls), "--effort", args.effort,
               "--fractions", *map(str, args.fractions)]
        subprocess.run(cmd, check=True, env=env)


if __name__ == "__main__":
    main()
