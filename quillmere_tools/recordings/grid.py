"""Formats that store integers (PCM audio, EDF/BDF, WFDB) read back as
``offset + step * d`` for integer codes ``d``.

A reconstruction written back to such a format is rounded to the nearest
code. Because the original samples lie on that grid, an error below half a
step rounds back to the original code exactly, and an error ``e`` above it
becomes at most ``e + step/2`` after rounding. ``tighten`` turns the bound
a person asked for into the bound the codec must meet so that the rewritten
file still honours the request."""
from __future__ import annotations

from typing import Any, Optional

import numpy as np

# Below half a step by a margin that survives the float arithmetic of
# (y - offset) / step; any margin in (0, 0.5) keeps the exact-code argument.
_EXACT = 0.49
# Above half a step, leave room for the rounding plus float noise.
_ROUNDING = 0.5 + 1e-6


def quantum(meta: dict[str, Any], channel: int) -> Optional[float]:
    """The code step of ``channel`` when its format stores integers."""
    info = meta.get("channel_info")
    if isinstance(info, list) and channel < len(info) and isinstance(info[channel], dict):
        step = info[channel].get("quantum")
        if isinstance(step, (int, float)) and step > 0:
            return float(step)
    return None


def tighten(max_error: float, step: Optional[float]) -> float:
    if step is None:
        return max_error
    if max_error < _EXACT * step:
        return max_error
    return max(max_error - _ROUNDING * step, _EXACT * step)


def to_codes(y: np.ndarray, offset: float, step: float, lo: int, hi: int) -> np.ndarray:
    """Nearest integer codes of ``y``, clipped to the format's range (the
    reconstruction may overshoot a full-scale sample slightly)."""
    codes = np.rint((np.asarray(y, dtype=np.float64) - offset) / step)
    return np.clip(codes, lo, hi).astype(np.int64)
