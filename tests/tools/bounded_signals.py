"""Signals of every awkward shape and bounds that mean the same for each of
them, shared by the bounded-compression tests."""
import math

import numpy as np


def make_signal(kind: str, n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    if kind == "walk":
        return np.cumsum(rng.standard_normal(n))
    if kind == "spikes":
        x = 0.01 * rng.standard_normal(n)
        x[rng.integers(0, n, max(1, n // 50))] += rng.choice([-50.0, 80.0])
        return x
    if kind == "steps":
        return np.repeat(rng.normal(0, 10, n // 7 + 1), 7)[:n]
    if kind == "chirp":
        return np.sin(2e-4 * t * t)
    if kind == "noise":
        return rng.uniform(-1, 1, n)
    if kind == "flat":
        return np.full(n, rng.normal(0, 100))
    if kind == "offset":
        return 1.7e9 + np.sin(t / 5.0)
    raise AssertionError(kind)


KINDS = ["walk", "spikes", "steps", "chirp", "noise", "flat", "offset"]


def bound_value(kind: str, frac: float, x: np.ndarray) -> float:
    """A bound that means the same for every signal: a fraction of its range
    (or, for a flat one, of its magnitude)."""
    finite = x[np.isfinite(x)].astype(np.float64)
    scale = np.ptp(finite) if finite.size and np.ptp(finite) > 0 else max(1.0, np.abs(finite).max(initial=1.0))
    return {"max_error": frac * scale, "rmse": frac * scale, "prd": 100 * frac,
            "psnr": -20 * math.log10(frac), "bits_per_sample": -math.log2(frac)}[kind]
