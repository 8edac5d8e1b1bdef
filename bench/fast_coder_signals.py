"""Writes the repository's signals as float32 files for fast_coder_bench and
prints the arguments that name them.

    python bench/fast_coder_signals.py OUT_DIR [pattern ...]

Besides bench/signals.py's signals it writes a sparse bursty trace (quiet
noise with rare decaying bursts, like a seismometer's), the case where static
tables do worst.
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signals  # noqa: E402


def bursty(n: int = 2_000_000, seed: int = 20261208) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = 0.001 * rng.standard_normal(n)
    for start in rng.integers(0, n - 20_000, size=12):
        t = np.arange(20_000)
        x[start:start + 20_000] += (rng.uniform(0.2, 1.0) * np.exp(-t / 3000.0)
                                    * np.sin(2 * np.pi * t / rng.uniform(20, 200)))
    return x.astype(np.float32)


def main() -> None:
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    chosen = signals.select(signals.all_signals(), sys.argv[2:] or None)
    items = [(s.name, s.load) for s in chosen]
    if not sys.argv[2:] or any("bursty" in p for p in sys.argv[2:]):
        items.append(("synth/bursty-2e6", bursty))
    args = []
    for name, load in items:
        path = os.path.join(out, name.replace("/", "_") + ".f32")
        np.ascontiguousarray(load(), dtype="<f4").tofile(path)
        args.append(f"{name}={path}")
    print(" ".join(args))


if __name__ == "__main__":
    main()
