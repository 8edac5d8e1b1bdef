"""Compress and decode speed and unit sizes where the integer unit codes, in
two environments taken in turns (before and after a change to the integer
coder).

    python bench/integer_speed_rows.py rows [--repeat 3]       # this env, JSON
    python bench/integer_speed_rows.py compare OLD_PY NEW_PY [--rounds 3]

The rows: every speech signal and the membrane trace at max_error 0.1 % and
1 % of range, with coders=["integer"] and with the default choice. ``rows``
prints per row the unit's bytes, its coder id, and the median CPU time of
compress_to_target and of decompress (threads=1), and SHA-256 of the unit
and of its decoded samples. ``compare`` runs ``rows``
in the two interpreters alternately, ``--rounds`` times each, and prints the
median over rounds of each figure beside each other.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import signals as bench_signals  # noqa: E402

BOUNDS = (("0.1%", 1e-3), ("1%", 1e-2))
MODES = ("integer", "default")


def chosen_signals() -> list:
    kinds = (bench_signals.KIND_SPEECH,)
    out = [s for s in bench_signals.all_signals() if s.kind in kinds]
    return out + bench_signals.membrane_signal()


def cpu_median(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.thread_time()
        fn()
        times.append(time.thread_time() - t0)
    return statistics.median(times)


def rows(repeat: int) -> list[dict]:
    import numpy as np

    from quillmere_tools import compress_to_target, decompress

    out = []
    for s in chosen_signals():
        x = s.load()
        r = float(np.max(x)) - float(np.min(x))
        for label, fraction in BOUNDS:
            bound = fraction * r
            for mode in MODES:
                coders = ["integer"] if mode == "integer" else None

                def comp(x=x, bound=bound, coders=coders):
                    return compress_to_target(x, max_error=bound, coders=coders, threads=1)

                unit = bytes(comp().unit)
                y = decompress(unit, threads=1)
                if not float(np.max(np.abs(y.astype(np.float64) - x))) <= bound:
                    raise SystemExit(f"{s.name} {label} {mode}: the bound is not met")
                out.append({"signal": s.name, "bound": label, "mode": mode, "bytes": len(unit),
                            "coder": unit[14], "sha": hashlib.sha256(unit).hexdigest(),
                            "decoded_sha": hashlib.sha256(y.tobytes()).hexdigest(), "mb": 4 * x.size / 1e6,
                            "comp_s": cpu_median(comp, repeat),
                            "dec_s": cpu_median(lambda unit=unit: decompress(unit, threads=1), repeat)})
    return out


def compare(old_py: str, new_py: str, rounds: int, repeat: int) -> None:
    me = os.path.abspath(__file__)
    runs: dict[str, list[list[dict]]] = {"old": [], "new": []}
    for _ in range(rounds):
        for tag, py in (("old", old_py), ("new", new_py)):
            text = subprocess.run([py, me, "rows", "--repeat", str(repeat)], check=True,
                                  capture_output=True, text=True).stdout
            runs[tag].append(json.loads(text))
    print(f"median over {rounds} alternated rounds of the median CPU time of {repeat} calls, "
          f"MB/s against float32; bytes old -> new")
    print(f"{'signal':<26} {'bound':<5} {'mode':<8} {'comp old':>8} {'new':>8} {'x':>5} "
          f"{'dec old':>8} {'new':>8} {'x':>5} {'bytes old':>10} {'new':>10} {'delta %':>8} coder bytes decoded")
    for i, row in enumerate(runs["old"][0]):
        new_row = runs["new"][0][i]
        mb = row["mb"]
        comp = [statistics.median(r[i]["comp_s"] for r in runs[t]) for t in ("old", "new")]
        dec = [statistics.median(r[i]["dec_s"] for r in runs[t]) for t in ("old", "new")]
        delta = 100.0 * (new_row["bytes"] - row["bytes"]) / row["bytes"]
        print(f"{row['signal']:<26} {row['bound']:<5} {row['mode']:<8} {mb / comp[0]:8.1f} "
              f"{mb / comp[1]:8.1f} {comp[0] / comp[1]:5.2f} {mb / dec[0]:8.1f} {mb / dec[1]:8.1f} "
              f"{dec[0] / dec[1]:5.2f} {row['bytes']:10d} {new_row['bytes']:10d} {delta:8.3f} "
              f"{row['coder']}->{new_row['coder']} {'same' if row['sha'] == new_row['sha'] else 'DIFFERENT'} "
              f"{'same' if row['decoded_sha'] == new_row['decoded_sha'] else 'DIFFERENT'}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="command", required=True)
    r = sub.add_parser("rows")
    r.add_argument("--repeat", type=int, default=3)
    c = sub.add_parser("compare")
    c.add_argument("old_py")
    c.add_argument("new_py")
    c.add_argument("--rounds", type=int, default=3)
    c.add_argument("--repeat", type=int, default=3)
    a = p.parse_args()
    if a.command == "rows":
        print(json.dumps(rows(a.repeat)))
    else:
        compare(a.old_py, a.new_py, a.rounds, a.repeat)


if __name__ == "__main__":
    main()
