"""Distortion measures for the bench, the demo and the file reports.

The error-target search does not use these: it runs in the C++ library and
measures there.

All measures compare the original samples (in their own precision) with the
float32 reconstruction.  Non-finite input samples are left out: the codec
replaces them before coding, so there is no meaningful error to report there.
"""
from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

_Samples = npt.NDArray[np.float64]


def _pair(original: npt.ArrayLike, decoded: npt.ArrayLike) -> tuple[_Samples, _Samples]:
    x = np.asarray(original, dtype=np.float64).ravel()
    y = np.asarray(decoded, dtype=np.float64).ravel()
    if x.shape != y.shape:
        raise ValueError(f"length mismatch: {x.size} original vs {y.size} decoded samples")
    keep = np.isfinite(x)
    if not keep.all():
        x, y = x[keep], y[keep]
    return x, y


def signal_range(original: npt.ArrayLike) -> float:
    x = np.asarray(original, dtype=np.float64)
    x = x[np.isfinite(x)]
    return float(x.max() - x.min()) if x.size else 0.0


def max_abs_error(original: npt.ArrayLike, decoded: npt.ArrayLike) -> float:
    x, y = _pair(original, decoded)
    return float(np.max(np.abs(x - y))) if x.size else 0.0


def rmse(original: npt.ArrayLike, decoded: npt.ArrayLike) -> float:
    x, y = _pair(original, decoded)
    return float(np.sqrt(np.mean((x - y) ** 2))) if x.size else 0.0


def prd(original: npt.ArrayLike, decoded: npt.ArrayLike) -> float:
    """Percentage root-mean-square difference, 100 * ||x - y|| / ||x||."""
    x, y = _pair(original, decoded)
    num = float(np.sum((x - y) ** 2))
    den = float(np.sum(x * x))
    if den == 0.0:
        return 0.0 if num == 0.0 else math.inf
    return 100.0 * math.sqrt(num / den)


def psnr(original: npt.ArrayLike, decoded: npt.ArrayLike) -> float:
    """Peak signal-to-noise ratio in dB, with the signal's range as the peak."""
    e = rmse(original, decoded)
    r = signal_range(original)
    if e == 0.0:
        return math.inf
    if r == 0.0:
        return -math.inf
    return 20.0 * math.log10(r / e)


def summary(original: npt.ArrayLike, decoded: npt.ArrayLike) -> dict[str, float]:
    r = signal_range(original)
    e_max = max_abs_error(original, decoded)
    e_rms = rmse(original, decoded)
    return {
        "max_error": e_max,
        "rmse": e_rms,
        "max_error_rel": e_max / r if r else (0.0 if e_max == 0 else math.inf),
        "rmse_rel": e_rms / r if r else (0.0 if e_rms == 0 else math.inf),
        "prd": prd(original, decoded),
        "psnr": psnr(original, decoded),
    }
