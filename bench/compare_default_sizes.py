"""Sizes of the tools' default bounded compress at max error 0.1 % and 1 % of
the range, on every signal of signals.py: written by one build, checked
against another's (a change to the choice of unit must make no signal larger
at either bound, and every result must hold its bound). With --units, also
the two units the default chooses between, each asked for alone: the
wavelet layer (coder fast) and the integer unit on a rounded grid.

    python bench/compare_default_sizes.py --json new.json [--against old.json]
        [--fractions 3e-4,1e-3,3e-3,1e-2,3e-2] [--units]
"""
from __future__ import annotations

import argparse
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import signals as sigs  # noqa: E402
from quillmere_tools import compress_to_target, decompress  # noqa: E402

FRACTIONS = (1e-3, 1e-2)


def measure(fractions, units: bool) -> dict:
    rows = {}
    for s in sigs.all_signals():
        x = s.load()
        span = float(x.max() - x.min())
        for fraction in fractions:
            bound = fraction * span
            res = compress_to_target(x, max_error=bound)
            error = float(np.max(np.abs(decompress(res.unit).astype(np.float64) - x)))
            row = {"bytes": len(res.unit), "coder": res.settings.coder, "error_over_bound": error / bound}
            if units:
                for name, coder in (("wavelet", "fast"), ("integer", "integer")):
                    alone = compress_to_target(x, max_error=bound, coders=[coder]).unit
                    row[name] = len(alone)
                    alone_error = float(np.max(np.abs(decompress(alone).astype(np.float64) - x)))
                    row["error_over_bound"] = max(row["error_over_bound"], alone_error / bound)
                print(f"{s.name:<24} {fraction:<7g} default {row['bytes']:9d} {row['coder']:<8} "
                      f"wavelet {row['wavelet']:9d} integer {row['integer']:9d} "
                      f"integer/wavelet {row['integer'] / row['wavelet']:.3f} "
                      f"default/wavelet {row['bytes'] / row['wavelet']:.3f}", flush=True)
            rows[f"{s.name} {fraction:g}"] = row
    return rows


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--json", required=True, help="where this build's sizes are written")
    p.add_argument("--against", help="another build's sizes to check these against")
    p.add_argument("--fractions", default=",".join(f"{f:g}" for f in FRACTIONS),
                   help="bounds as fractions of each signal's range, comma-separated")
    p.add_argument("--units", action="store_true", help="also each unit alone (slower)")
    a = p.parse_args()
    rows = measure([float(f) for f in a.fractions.split(",")], a.units)
    with open(a.json, "w") as f:
        json.dump(rows, f, indent=1)
    failures = [k for k, r in rows.items() if not r["error_over_bound"] <= 1.0]
    if a.against:
        with open(a.against) as f:
            old = json.load(f)
        print(f"{'signal and bound':<32} {'before':>9} {'after':>9} {'ratio':>6} coder")
        for k, r in rows.items():
            if k not in old:
                continue
            before = old[k]["bytes"]
            print(f"{k:<32} {before:9d} {r['bytes']:9d} {r['bytes'] / before:6.3f} {r['coder']}")
            if r["bytes"] > before:
                failures.append(k)
    for k in failures:
        print(f"FAIL {k}: {rows[k]}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
