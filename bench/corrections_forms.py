"""Corrections blob sizes and speeds in both forms, per bounded row (printed,
not a timed test).

For every signal of bench/signals.py (or the speech and physiological rows
only, with --rows bounded) at max error 0.1 % and 1 % of the range (and,
with --wide, 0.03 %, 0.3 % and 3 % too), the unit that
``compress_to_target`` returns is cut to its wavelet layer, and the layer's
reconstruction and the originals are handed to the C++ corrections bench,
which encodes them in the gamma form (version 1) and the token form
(version 2) and applies both (wall-clock medians of --runs, taken in turns).

    python bench/corrections_forms.py --bench build/release/bench/corrections_bench \\
        [--rows bounded|all] [--wide] [--runs 21] [--keep DIR]
"""
from __future__ import annotations

import argparse
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from bounded_decode_bench import wavelet_layer  # noqa: E402
from quillmere_tools import compress_to_target, decompress, metrics  # noqa: E402


def main() -> None:
    import signals as bench_signals

    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--bench", required=True, help="path of the corrections_bench binary")
    p.add_argument("--rows", choices=["bounded", "all"], default="bounded")
    p.add_argument("--wide", action="store_true")
    p.add_argument("--runs", type=int, default=21)
    p.add_argument("--keep", metavar="DIR", help="write the pairs into DIR and keep them")
    a = p.parse_args()
    kinds = (bench_signals.KIND_SPEECH, bench_signals.KIND_PHYSIO)
    fractions = (3e-4, 1e-3, 3e-3, 1e-2, 3e-2) if a.wide else (1e-3, 1e-2)
    with tempfile.TemporaryDirectory() as scratch:
        tmp = a.keep or scratch
        os.makedirs(tmp, exist_ok=True)
        paths = []
        for s in bench_signals.all_signals():
            if a.rows == "bounded" and s.kind not in kinds:
                continue
            x = s.load()
            r = metrics.signal_range(x)
            for fraction in fractions:
                bound = fraction * r
                unit = compress_to_target(x, max_error=bound).unit
                try:
                    y = decompress(wavelet_layer(unit)).astype(np.float32)
                except ValueError:
                    # A long signal's blocked unit has no single layer to cut out.
                    print(f"{s.name} {100 * fraction:g}%: blocked unit, left out", file=sys.stderr)
                    continue
                if not np.any(np.abs(x.astype(np.float64) - y) > bound):
                    continue  # the layer meets the bound: no blob
                path = os.path.join(tmp, f"{s.name.replace('/', '_')}@{100 * fraction:g}%")
                with open(path, "wb") as f:
                    f.write(struct.pack("<Id", x.size, bound))
                    f.write(np.ascontiguousarray(x, dtype="<f4").tobytes())
                    f.write(np.ascontiguousarray(y, dtype="<f4").tobytes())
                paths.append(path)
        out = subprocess.run([a.bench, "--runs", str(a.runs), "--pairs", *paths], check=True,
                             capture_output=True, text=True).stdout
    print(out, end="")
    rows = [line.split() for line in out.splitlines()[1:]]
    ratios = [float(r[4]) for r in rows]
    if ratios:
        larger = sum(1 for r in rows if int(r[3]) > int(r[2]))
        print(f"v2/v1 blob bytes: median {np.median(ratios):.3f}, range {min(ratios):.3f}-{max(ratios):.3f}, "
              f"{larger} of {len(rows)} larger; total {sum(int(r[2]) for r in rows)} -> "
              f"{sum(int(r[3]) for r in rows)} bytes")


if __name__ == "__main__":
    main()
