#!/usr/bin/env python3
"""Bytes `quillmere_tools.compress_to_target` returns, with the tools'
defaults, for every signal of bench/signals.py at max_error 0.1 % and 1 % of
the range, RMSE 0.1 % of the range and PRD 1 %: written by one build, then
checked by another, which must return no case larger (a faster search that
costs bytes anywhere does not pass) and says how many units differ at all.
Bytes are the unit's, corrections included; every unit is decoded and its
bound verified first.

    python3 bench/bounded_size_sweep.py --write OUT.json
    python3 bench/bounded_size_sweep.py --check OUT.json   # exit 1 if any grew
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import recorded  # noqa: E402
import signals as sigs  # noqa: E402
from quillmere_tools import compress_to_target, decompress, metrics  # noqa: E402

# (label, keyword, value as a fraction of the range or, for prd, percent)
BOUNDS = (("max_error 0.1%", "max_error", 1e-3), ("max_error 1%", "max_error", 1e-2),
          ("rmse 0.1%", "rmse", 1e-3), ("prd 1%", "prd", 1.0))
MEASURES = {"max_error": metrics.max_abs_error, "rmse": metrics.rmse, "prd": metrics.prd}


def sweep() -> dict[str, list]:
    sizes = {}
    for s in sigs.all_signals():
        x = s.load()
        r = metrics.signal_range(x)
        for label, key, value in BOUNDS:
            bound = value if key == "prd" else value * r
            res = compress_to_target(x, **{key: bound})
            got = MEASURES[key](x, decompress(res.unit))
            if not got <= bound:
                raise SystemExit(f"{s.name} {label}: decoded {key} {got} exceeds the bound {bound}")
            digest = hashlib.sha256(bytes(res.unit)).hexdigest()
            sizes[f"{s.name} | {label}"] = [res.size, digest]
            print(f"{s.name:<24} {label:<16} {res.size:>10}", flush=True)
    return sizes


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    recorded.add_write_or_check(p)
    a = p.parse_args()
    sizes = sweep()
    if a.write:
        recorded.save(a.write, sizes)
        return
    was_recorded = recorded.load(a.check)
    larger = smaller = equal = differ = 0
    for case, (size, digest) in sizes.items():
        if case not in was_recorded:
            print(f"{case}: not recorded")
            continue
        was, was_digest = was_recorded[case]
        differ += digest != was_digest
        if size > was:
            larger += 1
            print(f"LARGER {case}: {size} against {was} ({size / was - 1:+.3%})")
        elif size < was:
            smaller += 1
            print(f"smaller {case}: {size} against {was} ({size / was - 1:+.3%})")
        else:
            equal += 1
    print(f"{len(sizes)} cases: {larger} larger, {smaller} smaller, {equal} equal; "
          f"{differ} with other bytes")
    sys.exit(1 if larger else 0)


if __name__ == "__main__":
    main()
