"""Plain compress and decompress of several builds, side by side, each as a
ratio to the module's own default on the same build (not a timed test).

Each build is a Python interpreter with the package installed (a venv's
bin/python), given as LABEL=PYTHON. Every round runs every build in turn, in
a fresh process, the order reversed every other round so that neither build
always follows the other; the process takes the speech and physiological
signals of bench/signals.py one by one and times, by the calling thread's
CPU time (the codecs run on it, and other jobs on a shared machine barely
move it), the median of --repeat calls of each of:

    quillmere.compress_signal(x)           quillmere.decompress_signal(blob)
    encode_channel(x, Settings(coder="fast"))  decode_channel(unit)

The table gives per signal and build the tools' compress time (median over
the rounds) and the module's time over the tools' for compress and for
decompress: the median over the rounds, lowest and highest in brackets.

    python bench/plain_speed_against.py old=/path/a/bin/python \\
        new=/path/b/bin/python [--rounds 10] [--repeat 21] [--only NAME ...]

BLAS threads are held to one in the timed processes: NumPy's idle BLAS
threads spin after a call that woke them.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
from collections import defaultdict
from typing import Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bounded_speed_against import parse_builds, save_signals, worker_rows  # noqa: E402

CALLS = ("module_c", "tools_c", "module_d", "tools_d")


def worker(npz: str, repeat: int) -> None:
    """Times the four calls on every signal and prints one JSON line each."""
    import time

    import numpy as np
    import quillmere
    from quillmere_tools.settings import Settings
    from quillmere_tools.units import channel

    def median_cpu(f) -> float:
        f()  # warm-up
        times = []
        for _ in range(repeat):
            t0 = time.thread_time_ns()
            f()
            times.append(time.thread_time_ns() - t0)
        return statistics.median(times) / 1e3

    signals = np.load(npz)
    for key in signals.files:
        x = signals[key]
        blob = quillmere.compress_signal(x)
        unit = channel.encode_channel(x, Settings(coder="fast"))
        row = {
            "signal": key.replace("__", "/"),
            "module_c": median_cpu(lambda: quillmere.compress_signal(x)),
            "tools_c": median_cpu(lambda: channel.encode_channel(x, Settings(coder="fast"))),
            "module_d": median_cpu(lambda: quillmere.decompress_signal(blob)),
            "tools_d": median_cpu(lambda: channel.decode_channel(unit)),
        }
        print(json.dumps(row), flush=True)


def run_rounds(builds, npz: str, rounds: int, repeat: int, workdir: str) -> List[dict]:
    env = dict(os.environ)
    env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    rows = []
    for r in range(1, rounds + 1):
        order = builds if r % 2 == 1 else list(reversed(builds))
        for label, python in order:
            cmd = [python, os.path.abspath(__file__), "--worker", npz, "--repeat", str(repeat)]
            rows += worker_rows(cmd, label, r, workdir, env)
        print(f"round {r} of {rounds} done", file=sys.stderr, flush=True)
    return rows


def spread(values: List[float]) -> str:
    return f"{statistics.median(values):.2f} ({min(values):.2f}-{max(values):.2f})"


def report(rows: List[dict], labels: List[str]) -> None:
    per: Dict[Tuple[str, str], List[dict]] = defaultdict(list)
    signals: List[str] = []
    for row in rows:
        per[(row["signal"], row["build"])].append(row)
        if row["signal"] not in signals:
            signals.append(row["signal"])
    head = ["signal"]
    head += [f"tools c us, {b}" for b in labels]
    head += [f"compress x module, {b}" for b in labels]
    head += [f"decompress x module, {b}" for b in labels]
    head += [f"tools d us, {b}" for b in labels]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for s in signals:
        cells = [s]
        cells += [f"{statistics.median(r['tools_c'] for r in per[(s, b)]):.1f}" for b in labels]
        cells += [spread([r["module_c"] / r["tools_c"] for r in per[(s, b)]]) for b in labels]
        cells += [spread([r["module_d"] / r["tools_d"] for r in per[(s, b)]]) for b in labels]
        cells += [f"{statistics.median(r['tools_d'] for r in per[(s, b)]):.1f}" for b in labels]
        print("| " + " | ".join(cells) + " |")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        ap = argparse.ArgumentParser()
        ap.add_argument("--worker")
        ap.add_argument("--repeat", type=int, required=True)
        args = ap.parse_args()
        worker(args.worker, args.repeat)
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("builds", nargs="+", help="LABEL=PYTHON")
    ap.add_argument("--rounds", type=int, default=10)
    ap.add_argument("--repeat", type=int, default=21)
    ap.add_argument("--only", nargs="*", default=[])
    ap.add_argument("--json", help="also write every round's rows here")
    args = ap.parse_args()
    if args.rounds < 1 or args.repeat < 1:
        raise SystemExit("--rounds and --repeat must be at least 1")
    builds = parse_builds(args.builds)
    with tempfile.TemporaryDirectory() as workdir:
        npz = os.path.join(workdir, "signals.npz")
        save_signals(npz, args.only)
        rows = run_rounds(builds, npz, args.rounds, args.repeat, workdir)
    if args.json:
        with open(args.json + ".tmp", "w") as f:
            json.dump(rows, f)
        os.replace(args.json + ".tmp", args.json)
    report(rows, [label for label, _ in builds])


if __name__ == "__main__":
    main()
