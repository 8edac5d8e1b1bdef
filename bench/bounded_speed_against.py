"""Bounded compress speed of several builds, side by side (not a timed test).

Each build is a Python interpreter with the package installed (a venv's
bin/python), given as LABEL=PYTHON; the first is the reference the others'
speed ratios are taken against. Every round runs every build in turn, in a
fresh process, on the speech and physiological signals of bench/signals.py:
compress_to_target(x, max_error=fraction * range) for each fraction, timed by
the process's CPU time (other jobs on a shared machine barely move it), the
median of --repeat calls. Alternating the builds round by round spreads the
machine's slow spells over all of them; the table gives per-row medians over
the rounds, the unit's bytes for each build and each build's speed ratio
(reference time / its time: above 1 is faster).

    python bench/bounded_speed_against.py base=/path/a/bin/python \\
        new=/path/b/bin/python [--rounds 5] [--repeat 9] \\
        [--fractions 0.001 0.01] [--only NAME ...] [--json OUT] [--blas-threads]
        [--effort thorough|fast]

--effort fast times compress_to_target(..., effort="fast") in every build
(which must all know the keyword); the default passes no effort at all, so
that builds from before it existed can be compared.

BLAS threads are held to one in the timed processes unless --blas-threads
is given: NumPy's idle BLAS threads spin after a call that woke them, and
their CPU time counts against the build whose Python layer made that call.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from collections import defaultdict
from typing import Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))


def worker(npz: str, repeat: int, fractions: List[float], effort: str) -> None:
    """Times every signal at every fraction and prints one JSON line each."""
    import time

    import numpy as np
    from quillmere_tools import compress_to_target

    signals = np.load(npz)
    extra = {} if effort == "thorough" else {"effort": effort}
    for key in signals.files:
        x = signals[key]
        span = float(np.max(x)) - float(np.min(x))
        for fraction in fractions:
            bound = fraction * span
            times = []
            size = 0
            for _ in range(repeat):
                t0 = time.process_time()
                res = compress_to_target(x, max_error=bound, **extra)
                times.append(time.process_time() - t0)
                # Older builds name the unit `container`.
                size = len(getattr(res, "unit", None) or res.container)
            print(json.dumps({"signal": key.replace("__", "/"), "fraction": fraction,
                              "seconds": statistics.median(times), "bytes": size}), flush=True)


def save_signals(path: str, only: List[str]) -> int:
    sys.path.insert(0, HERE)
    import numpy as np
    import signals as bench_signals

    chosen = {}
    for sig in bench_signals.all_signals():
        if sig.kind not in (bench_signals.KIND_SPEECH, bench_signals.KIND_PHYSIO):
            continue
        if only and not any(o in sig.name for o in only):
            continue
        chosen[sig.name.replace("/", "__")] = sig.load()
    if not chosen:
        raise SystemExit("no signal matches --only " + " ".join(only))
    np.savez(path, **chosen)
    return len(chosen)


def parse_builds(args: List[str]) -> List[Tuple[str, str]]:
    builds = []
    for arg in args:
        label, sep, python = arg.partition("=")
        if not sep or not label or not python:
            raise SystemExit(f"build {arg!r}: expected LABEL=PYTHON")
        if not os.access(python, os.X_OK):
            raise SystemExit(f"build {label}: {python} is not an executable interpreter")
        builds.append((label, python))
    if len({label for label, _ in builds}) != len(builds):
        raise SystemExit("build labels must differ")
    return builds


def run_rounds(builds, npz, rounds, repeat, fractions, workdir, one_blas_thread, effort):
    env = dict(os.environ)
    if one_blas_thread:
        env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    rows = []
    for r in range(1, rounds + 1):
        for label, python in builds:
            cmd = [python, os.path.abspath(__file__), "--worker", npz, "--repeat", str(repeat),
                   "--fractions", *map(str, fractions), "--effort", effort]
            rows += worker_rows(cmd, label, r, workdir, env)
        print(f"round {r} of {rounds} done", file=sys.stderr, flush=True)
    return rows


def worker_rows(cmd: List[str], label: str, round_no: int, workdir: str, env: Dict[str, str]) -> List[dict]:
    """Runs one build's worker and returns its JSON rows, tagged with the
    build and the round."""
    # From an empty directory, so that a source tree never shadows the
    # installed package.
    done = subprocess.run(cmd, cwd=workdir, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"build {label} failed in round {round_no}:\n{done.stderr.strip()}")
    rows = []
    for line in done.stdout.splitlines():
        row = json.loads(line)
        row.update(build=label, round=round_no)
        rows.append(row)
    return rows


def report(rows, labels: List[str]) -> Dict[str, object]:
    times: Dict[Tuple[str, str, float], List[float]] = defaultdict(list)
    sizes: Dict[Tuple[str, str, float], int] = {}
    for row in rows:
        key = (row["build"], row["signal"], row["fraction"])
        times[key].append(row["seconds"])
        sizes[key] = row["bytes"]
    cases = sorted({(row["signal"], row["fraction"]) for row in rows})
    ref = labels[0]
    head = f"{'signal':<24}{'bound':>7}" + "".join(f"{lb + ' ms':>12}" for lb in labels)
    head += "".join(f"{lb + '/' + ref:>14}" for lb in labels[1:])
    head += "  bytes " + "/".join(labels)
    print(head)
    ratios: Dict[str, List[float]] = {lb: [] for lb in labels[1:]}
    table = []
    for signal, fraction in cases:
        ms = {lb: statistics.median(times[(lb, signal, fraction)]) * 1e3 for lb in labels}
        line = f"{signal:<24}{fraction * 100:>6g}%" + "".join(f"{ms[lb]:12.2f}" for lb in labels)
        for lb in labels[1:]:
            ratio = ms[ref] / ms[lb]
            ratios[lb].append(ratio)
            line += f"{ratio:14.2f}"
        line += "  " + "/".join(str(sizes[(lb, signal, fraction)]) for lb in labels)
        print(line)
        table.append({"signal": signal, "fraction": fraction, "ms": ms,
                      "bytes": {lb: sizes[(lb, signal, fraction)] for lb in labels}})
    for lb in labels[1:]:
        r = ratios[lb]
        below = sum(1 for v in r if v < 1.0)
        print(f"{lb} against {ref}: min {min(r):.2f}, median {statistics.median(r):.2f}, "
              f"{below} of {len(r)} rows below 1")
    return {"reference": ref, "rows": table}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", nargs="*", help="LABEL=PYTHON, the reference first")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--fractions", type=float, nargs="+", default=[0.001, 0.01],
                    help="max_error as fractions of each signal's range")
    ap.add_argument("--only", nargs="+", default=[], help="signals whose name contains one of these")
    ap.add_argument("--json", help="write the per-row medians here")
    ap.add_argument("--blas-threads", action="store_true",
                    help="leave the BLAS thread count to the environment")
    ap.add_argument("--effort", choices=("thorough", "fast"), default="thorough")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.repeat < 1 or args.rounds < 1:
        raise SystemExit("--repeat and --rounds must be at least 1")
    if args.worker:
        worker(args.worker, args.repeat, args.fractions, args.effort)
        return
    builds = parse_builds(args.builds)
    if not builds:
        raise SystemExit("give at least one LABEL=PYTHON")
    with tempfile.TemporaryDirectory() as workdir:
        npz = os.path.join(workdir, "signals.npz")
        count = save_signals(npz, args.only)
        print(f"{count} signals, {len(args.fractions)} bounds, {len(builds)} builds, "
              f"{args.rounds} rounds of {args.repeat} calls", file=sys.stderr)
        rows = run_rounds(builds, npz, args.rounds, args.repeat, args.fractions, workdir,
                          not args.blas_threads, args.effort)
    out = report(rows, [label for label, _ in builds])
    if args.json:
        with open(args.json, "w") as f:
            json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
