#!/usr/bin/env python3
"""SHA-256 of every unit `quillmere_tools.compress_to_target` returns over a
wide sweep of max_error bounds, for checking that a change to the bounded
search or the corrections is byte for byte neutral: written by one build,
compared by another (exit 1 when any unit differs). Not a test.

The sweep: every signal of bench/signals.py, as float32 and as float64
(float64 lifted by a large offset, so that the corrections' float64
arithmetic and escapes are taken), at max_error 0.01 % to 10 % of the range,
alone and together with an RMSE of a third of it, and at a budget of
bits per sample with corrections allowed; at the default effort, and with
--effort fast or both the one-step search's units as well (labelled
"fast", without the budget, which is always searched thoroughly).

    python3 bench/bounded_unit_hashes.py --write OUT.json [--quick] [--effort both]
    python3 bench/bounded_unit_hashes.py --check OUT.json [--quick] [--effort both]

With --with-metrics (given to both) the figures reported with each unit
are hashed with it.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import struct
import sys
from typing import Dict, Iterator, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

import recorded  # noqa: E402
import signals as sigs  # noqa: E402
from quillmere_tools import compress_to_target, metrics  # noqa: E402

FRACTIONS = (1e-4, 3e-4, 1e-3, 2e-3, 5e-3, 1e-2, 2e-2, 5e-2, 1e-1)
QUICK_FRACTIONS = (1e-3, 1e-2)
# Long signals are cut to this many samples: the sweep is about breadth.
MAX_SAMPLES = 1 << 20


def cases(quick: bool) -> Iterator[Tuple[str, np.ndarray, Dict[str, float]]]:
    fractions = QUICK_FRACTIONS if quick else FRACTIONS
    for s in sigs.all_signals():
        x32 = s.load()[:MAX_SAMPLES]
        r = metrics.signal_range(x32)
        x64 = x32.astype(np.float64) + 1.0e6 * max(r, 1.0)
        for precision, x in (("f32", x32), ("f64", x64)):
            for f in fractions:
                yield f"{s.name} {precision} max_error {f:g}", x, {"max_error": f * r}
                if not quick:
                    yield (f"{s.name} {precision} max_error {f:g} rmse", x,
                           {"max_error": f * r, "rmse": f * r / 3.0})
        if not quick:
            yield f"{s.name} f32 budget 2 bits", x32, {"bits_per_sample": 2.0}


def digest(res, with_metrics: bool) -> str:
    """The unit's SHA-256; with_metrics: of the unit followed by the bits of
    the figures reported with it, which must not move either."""
    h = hashlib.sha256(bytes(res.unit))
    if with_metrics:
        h.update(struct.pack("<4dq", res.max_error, res.rmse, res.prd, res.psnr, res.corrected_samples))
    return h.hexdigest()


def sweep(quick: bool, efforts: Sequence[str], with_metrics: bool = False) -> Dict[str, str]:
    out = {}
    for label, x, bounds in cases(quick):
        for effort in efforts:
            if effort == "fast" and "bits_per_sample" in bounds:
                continue
            res = compress_to_target(x, effort=effort, **bounds)
            key = label if effort == "thorough" else f"{label} {effort}"
            out[key] = digest(res, with_metrics)
            print(f"{key:<57} {res.size:>10} {out[key][:16]}", flush=True)
    return out


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    recorded.add_write_or_check(p)
    p.add_argument("--quick", action="store_true", help="0.1 %% and 1 %% only")
    p.add_argument("--effort", choices=["thorough", "fast", "both"], default="thorough",
                   help="the efforts whose units are hashed (default: thorough)")
    p.add_argument("--with-metrics", action="store_true",
                   help="hash the reported max_error, RMSE, PRD, PSNR and corrected count too "
                        "(write and check alike)")
    a = p.parse_args()
    efforts = ("thorough", "fast") if a.effort == "both" else (a.effort,)
    hashes = sweep(a.quick, efforts, a.with_metrics)
    if a.write:
        recorded.save(a.write, hashes)
        return
    # A quick sweep is checked against a full record: only its own cases count.
    want = {k: v for k, v in recorded.load(a.check).items() if k in hashes}
    sys.exit(recorded.compare_hashes(want, hashes, "units"))


if __name__ == "__main__":
    main()
