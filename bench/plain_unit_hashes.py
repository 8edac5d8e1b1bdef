#!/usr/bin/env python3
"""SHA-256 of plain (unbounded) compress outputs, for checking that a change
to the encoder's path is byte for byte neutral: written by one build,
compared by another (exit 1 when any output differs). Not a test.

Per signal of bench/signals.py (cut to MAX_SAMPLES): the module's
`compress_signal` of float32 and float64, the tools' channel unit with its
default, with coder "fast" and with "cmodel", and variants that move the
normalisation's sum onto other paths: integer-valued samples (many exact
halves on the sum's grid), abs(x), a large offset, a scale of 7, NaN and
infinities sprinkled in, and the first five samples.

    python3 bench/plain_unit_hashes.py --write OUT.json
    python3 bench/plain_unit_hashes.py --check OUT.json
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
from typing import Dict, Iterator, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
import quillmere  # noqa: E402

import recorded  # noqa: E402
import signals as sigs  # noqa: E402
from quillmere_tools.settings import Settings  # noqa: E402
from quillmere_tools.units import channel  # noqa: E402

MAX_SAMPLES = 3_000_000


def variants(x: np.ndarray) -> Iterator[Tuple[str, np.ndarray]]:
    yield "plain", x
    yield "rounded", np.round(x * (1000.0 / max(float(np.max(np.abs(x))), 1e-30))).astype(np.float32)
    yield "abs", np.abs(x)
    yield "offset", (x + np.float32(1000.0) * np.float32(max(float(np.ptp(x)), 1.0))).astype(np.float32)
    yield "scale7", (x * np.float32(7.0)).astype(np.float32)
    y = x[: 500_000].copy()
    y[::997] = np.nan
    y[5::1409] = np.inf
    y[9::2203] = -np.inf
    yield "nonfinite", y
    yield "head5", x[:5].copy()


def cases() -> Iterator[Tuple[str, bytes]]:
    for s in sigs.all_signals():
        x32 = s.load()[:MAX_SAMPLES].astype(np.float32)
        for name, v in variants(x32):
            tag = f"{s.name} {name}"
            yield f"{tag} module f32", bytes(quillmere.compress_signal(v))
            yield f"{tag} tools default", bytes(channel.encode_channel(v, Settings()))
            yield f"{tag} tools fast", bytes(channel.encode_channel(v, Settings(coder="fast")))
            if name == "plain":
                yield f"{tag} module f64", bytes(quillmere.compress_signal(v.astype(np.float64)))
                yield f"{tag} tools cmodel", bytes(channel.encode_channel(v, Settings(coder="cmodel")))
                yield f"{tag} tools f64", bytes(channel.encode_channel(v.astype(np.float64), Settings()))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    recorded.add_write_or_check(p)
    a = p.parse_args()
    hashes: Dict[str, str] = {}
    for label, blob in cases():
        hashes[label] = hashlib.sha256(blob).hexdigest()
    whole = hashlib.sha256("".join(hashes[k] for k in sorted(hashes)).encode()).hexdigest()
    print(f"{len(hashes)} outputs, combined {whole}")
    if a.write:
        recorded.save(a.write, hashes)
        return
    sys.exit(recorded.compare_hashes(recorded.load(a.check), hashes, "outputs"))

if __name__ == "__main__":
    main()
