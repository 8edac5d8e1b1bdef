#!/usr/bin/env python3
"""Container sizes `quillmere_tools.compress_to_target` returns at RMSE and
PRD bounds, recorded once and checked against later: a new search may be
faster, but it must never hand back a larger container than the recorded one
for the same signal and bound.

    python3 bench/compare_search_sizes.py --write bench/search_sizes_baseline.json
    python3 bench/compare_search_sizes.py --check bench/search_sizes_baseline.json

Every container is decoded and its bound verified before its size counts. The
signals are fingerprinted (SHA-256 of the float32 samples) so a check never
compares sizes of different inputs; a case whose signal is absent on this
machine is reported as skipped.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from typing import Dict, List, Optional

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import signals as sigs  # noqa: E402
from compare_quillmere import Quillmere, decode_tools_container  # noqa: E402

BASELINE = os.path.join(HERE, "search_sizes_baseline.json")
# A short chirp that needs no package, so the check also runs in the tests.
SMALL = "synth/chirp-2e4"
SIGNALS = ("alsa/Front_Left", "sphinx/librivox-0870", "mpl/membrane", "synth/chirp-1e6", SMALL)
# RMSE as a fraction of the range, PRD in percent.
RMSE_OF_RANGE = (1e-3, 1e-4)
PRD_PERCENT = (1.0, 0.1)
# "default" is the search as a caller leaves it, with cmodel pinned: the
# baseline was recorded when cmodel was the units' default, and this check
# is of the search, not of the coder (bench/fast_coder_bench.py measures the
# fast coder's sizes against cmodel's).
WIDTHS = {"default": {"coders": ["cmodel"]},
          "every method and coder": {"methods": list(Quillmere.METHODS),
                                     "coders": list(Quillmere.CODERS)}}


@dataclass
class Case:
    signal: str
    n: int
    sha256: str
    bound: str          # "rmse" or "prd"
    value: float        # absolute RMSE, or PRD in percent
    width: str          # key of WIDTHS
    size: int = 0
    achieved: float = float("nan")
    chosen: str = ""
    cpu_s: float = float("nan")


def fingerprint(x: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(x, dtype="<f4").tobytes()).hexdigest()


def load_signals(names) -> Dict[str, np.ndarray]:
    available = {s.name: s for s in sigs.all_signals()}
    available[SMALL] = sigs.Signal(SMALL, sigs.KIND_SYNTHETIC, "generated, seed 7",
                                   lambda: sigs.chirp(n=20_000, seed=7))
    return {name: available[name].load() for name in names if name in available}


def achieved(bound: str, x: np.ndarray, y: np.ndarray) -> float:
    from quillmere_tools import metrics
    return metrics.rmse(x, y) if bound == "rmse" else metrics.prd(x, y)


def run_case(case: Case, x: np.ndarray) -> Case:
    """Search, decode, verify the bound; fills in size and what was chosen."""
    import quillmere_tools
    t0 = time.thread_time()
    res = quillmere_tools.compress_to_target(x, **{case.bound: case.value}, **WIDTHS[case.width])
    cpu = time.thread_time() - t0
    got = achieved(case.bound, x, decode_tools_container(res.unit))
    if not got <= case.value:
        raise AssertionError(f"{case.signal}: {case.bound} {got:.6g} exceeds the bound "
                             f"{case.value:.6g} ({case.width})")
    s = res.settings
    return Case(case.signal, case.n, case.sha256, case.bound, case.value, case.width,
                len(res.unit), got,
                f"{s.method}/{s.coder} scale {s.scale} {s.cutoff} qm {s.quant_multiplier}",
                cpu)


def plan(xs: Dict[str, np.ndarray]) -> List[Case]:
    cases = []
    for name, x in xs.items():
        r = float(x.max()) - float(x.min())
        bounds = [("rmse", f * r) for f in RMSE_OF_RANGE] + [("prd", p) for p in PRD_PERCENT]
        for bound, value in bounds:
            for width in WIDTHS:
                cases.append(Case(name, x.size, fingerprint(x), bound, value, width))
    return cases


def check_against(baseline: List[dict], xs: Dict[str, np.ndarray], log=print) -> List[dict]:
    """Re-run every recorded case whose signal is here and unchanged; one row
    per case with the new and recorded sizes."""
    rows = []
    for rec in baseline:
        old = Case(**rec)
        x = xs.get(old.signal)
        if x is None or fingerprint(x) != old.sha256:
            rows.append(dict(case=old, new=None, note="signal absent or different here"))
            continue
        new = run_case(old, x)
        rows.append(dict(case=old, new=new, note="LARGER" if new.size > old.size else ""))
        log(f"{old.signal:22s} {old.bound} {old.value:<10.4g} {old.width:24s} "
            f"recorded {old.size:8d}  now {new.size:8d}  now/recorded {new.size / old.size:.4f}"
            f"  {new.cpu_s:.2f} s CPU (recorded {old.cpu_s:.2f} s) {rows[-1]['note']}")
    return rows


def checkout() -> str:
    out = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
                         capture_output=True, text=True, check=False).stdout.strip()
    return out or "?"


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = ap.add_mutually_exclusive_group(required=True)
    mode.add_argument("--write", metavar="JSON", help="record today's sizes here")
    mode.add_argument("--check", metavar="JSON", help="re-run the recorded cases and compare")
    ap.add_argument("--signals", nargs="*", help="substrings of signal names (default all)")
    args = ap.parse_args(argv)
    names = [n for n in SIGNALS if not args.signals or any(p in n for p in args.signals)]
    if args.write:
        xs = load_signals(names)
        cases = [run_case(c, xs[c.signal]) for c in plan(xs)]
        command = "python3 bench/compare_search_sizes.py " + " ".join(
            argv if argv is not None else sys.argv[1:])
        with open(args.write + ".tmp", "w") as f:
            json.dump({"command": command.strip(), "checkout": checkout(),
                       "cases": [asdict(c) for c in cases]}, f, indent=1)
            f.write("\n")
        os.replace(args.write + ".tmp", args.write)
        for c in cases:
            print(f"{c.signal:22s} {c.bound} {c.value:<10.4g} {c.width:24s} {c.size:8d} "
                  f"{c.chosen}")
        return 0
    with open(args.check) as f:
        recorded = json.load(f)
    cases = [c for c in recorded["cases"] if c["signal"] in names]
    print(f"# recorded at {recorded['checkout']} by `{recorded['command']}`; now {checkout()}")
    rows = check_against(cases, load_signals(names))
    larger = [r for r in rows if r["note"] == "LARGER"]
    skipped = [r for r in rows if r["new"] is None]
    print(f"# {len(rows) - len(skipped)} cases run, {len(skipped)} skipped (signal absent), "
          f"{len(larger)} larger than recorded")
    return 1 if larger else 0


if __name__ == "__main__":
    sys.exit(main())
