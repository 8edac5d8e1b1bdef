#!/usr/bin/env python3
"""SHA-256 of the samples every kind of unit decodes to, for checking that a
change to the decoder is sample for sample neutral. Not a test.

--units DIR writes, with the installed package, the units to decode: every
signal of bench/signals.py as float32 and as float64 (lifted by a large
offset, so that the float64 corrections and escapes are taken), bounded at
max_error 0.01 % to 10 % of the range and plain at the tools' default.
--write / --check then decode DIR with whatever build is installed, so that
an old and a new decoder read the very same bytes.

    python3 bench/decoded_sample_hashes.py --units DIR
    python3 bench/decoded_sample_hashes.py --units-dir DIR --write OUT.json
    python3 bench/decoded_sample_hashes.py --units-dir DIR --check OUT.json
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

import recorded  # noqa: E402

FRACTIONS = (1e-4, 1e-3, 3e-3, 1e-2, 3e-2, 1e-1)
LIFT = 1.0e6


def write_units(out_dir: str) -> int:
    import signals as bench_signals
    from quillmere_tools import compress_many, compress_to_target, metrics

    os.makedirs(out_dir, exist_ok=True)
    count = 0
    for s in bench_signals.all_signals():
        x32 = np.asarray(s.load(), dtype=np.float32)
        for label, x in (("f32", x32), ("f64", x32.astype(np.float64) + LIFT)):
            r = metrics.signal_range(x)
            units = {"plain": compress_many([x])[0]}
            for f in FRACTIONS:
                units[f"max{f:g}"] = compress_to_target(x, max_error=f * r).unit
            for kind, unit in units.items():
                name = f"{s.name.replace('/', '_')}.{label}.{kind}.qlu"
                tmp = os.path.join(out_dir, name + ".tmp")
                with open(tmp, "wb") as fh:
                    fh.write(unit)
                os.replace(tmp, os.path.join(out_dir, name))
                count += 1
    return count


def hashes(units_dir: str) -> dict[str, str]:
    from quillmere_tools import decompress

    out = {}
    for name in sorted(os.listdir(units_dir)):
        if not name.endswith(".qlu"):
            continue
        with open(os.path.join(units_dir, name), "rb") as fh:
            y = decompress(fh.read())
        out[name] = f"{y.dtype.str}:{hashlib.sha256(np.ascontiguousarray(y).tobytes()).hexdigest()}"
    return out


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--units")
    p.add_argument("--units-dir")
    recorded.add_write_or_check(p, required=False)
    a = p.parse_args()
    if a.units:
        print(f"{write_units(a.units)} units written to {a.units}")
        return 0
    got = hashes(a.units_dir)
    if a.write:
        recorded.save(a.write, got)
        print(f"{len(got)} decoded hashes written to {a.write}")
        return 0
    return recorded.compare_hashes(recorded.load(a.check), got, "units")


if __name__ == "__main__":
    sys.exit(main())
