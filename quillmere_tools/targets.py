"""Error-target compression: the cheapest options that meet a distortion bound.

People state quality as a bound ("max error 0.01", "PRD under 1 %") rather
than as a quantisation multiplier.  Reconstruction error falls roughly as
1/multiplier and the payload grows with it, so we search the multiplier on a
log scale: bracket the bound by doubling or halving, then bisect.  Every
candidate is verified by actually decoding it; nothing is predicted.  The
relation is not strictly monotonic (the dead zone and 16-bit saturation bend
it), so the answer is the smallest verified container seen, not merely the
bisection's end point.  The multiplier is written into the header, so any
decoder reads the result without knowing how it was chosen.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np

from . import metrics
from ._core import Settings, ToolError, as_signal, compress, decompress

# The multiplier scales coefficients of a signal normalised to [0, 1]; below
# 2**-8 everything quantises to zero and above 2**20 every coefficient
# saturates, so searching outside this window cannot help.
_LOG2_MIN = -8.0
_LOG2_MAX = 20.0
# Stop bisecting when neighbouring multipliers differ by less than ~1 %:
# the payload size no longer changes meaningfully below that.
_LOG2_TOL = 0.015


class TargetNotMet(ToolError):
    pass


@dataclass
class Bound:
    max_error: Optional[float] = None
    rmse: Optional[float] = None
    prd: Optional[float] = None

    def __post_init__(self):
        for name in ("max_error", "rmse", "prd"):
            v = getattr(self, name)
            if v is not None and not (v > 0 and math.isfinite(v)):
                raise ValueError(f"{name} bound must be a positive finite number, got {v!r}")
        if self.max_error is None and self.rmse is None and self.prd is None:
            raise ValueError("give at least one of max_error, rmse or prd")

    def met_by(self, m: dict) -> bool:
        return all(
            getattr(self, name) is None or m[name] <= getattr(self, name)
            for name in ("max_error", "rmse", "prd")
        )

    def describe(self) -> str:
        parts = []
        if self.max_error is not None:
            parts.append(f"max error <= {self.max_error:.6g}")
        if self.rmse is not None:
            parts.append(f"RMSE <= {self.rmse:.6g}")
        if self.prd is not None:
            parts.append(f"PRD <= {self.prd:.6g} %")
        return " and ".join(parts)


@dataclass
class TargetResult:
    container: bytes
    settings: Settings
    max_error: float
    rmse: float
    prd: float
    evaluations: int
    tried: list = field(default_factory=list, repr=False)

    @property
    def size(self) -> int:
        return len(self.container)


def _measure(x, settings: Settings):
    c = compress(x, settings)
    y = decompress(c)
    m = {
        "max_error": metrics.max_abs_error(x, y),
        "rmse": metrics.rmse(x, y),
        "prd": metrics.prd(x, y),
    }
    return c, m


def _search_multiplier(x, base: Settings, bound: Bound, tried: list):
    """Return (container, settings, metrics) of the smallest passing candidate
    for this method/cutoff/scale, or None if no multiplier meets the bound."""
    cache: dict[float, tuple] = {}

    def ok(log2m: float) -> bool:
        if log2m not in cache:
            s = base.with_(quant_multiplier=float(np.float32(2.0 ** log2m)))
            c, m = _measure(x, s)
            cache[log2m] = (c, s, m, bound.met_by(m))
            tried.append((s, len(c), m))
        return cache[log2m][3]

    start = float(base.scale)
    if ok(start):
        hi, lo = start, start - 1.0
        while lo >= _LOG2_MIN and ok(lo):
            hi, lo = lo, lo - 1.0
        if lo < _LOG2_MIN:
            lo = None
    else:
        lo, hi = start, start + 1.0
        while hi <= _LOG2_MAX and not ok(hi):
            lo, hi = hi, hi + 1.0
        if hi > _LOG2_MAX:
            return None
    if lo is not None:
        while hi - lo > _LOG2_TOL:
            mid = 0.5 * (lo + hi)
            if ok(mid):
                hi = mid
            else:
                lo = mid
    passing = [v for v in cache.values() if v[3]]
    c, s, m, _ = min(passing, key=lambda v: (len(v[0]), v[1].quant_multiplier))
    return c, s, m


def compress_to_target(
    data,
    *,
    max_error: Optional[float] = None,
    rmse: Optional[float] = None,
    prd: Optional[float] = None,
    settings: Settings = Settings(),
    methods: Optional[Sequence[str]] = None,
    coders: Optional[Sequence[str]] = None,
) -> TargetResult:
    """Compress ``data`` with the smallest container whose reconstruction meets
    every given bound (max absolute error, RMSE, PRD in percent).

    ``settings`` fixes method, scale, cutoff and coder; ``methods`` and
    ``coders`` widen the search to those alternatives.  Raises TargetNotMet
    when no multiplier reaches the bound (e.g. below float32 resolution).
    """
    bound = Bound(max_error=max_error, rmse=rmse, prd=prd)
    x = as_signal(data)
    if x.size == 0:
        raise ToolError("cannot compress an empty signal")
    methods = list(methods) if methods else [settings.method]
    coders = list(coders) if coders else [settings.coder]
    tried: list = []
    best = None
    for method in methods:
        # The coders are lossless over the same quantised coefficients, so the
        # multiplier found with one coder holds for all; only sizes differ.
        found = _search_multiplier(x, settings.with_(method=method, coder=coders[0]), bound, tried)
        if found is None:
            continue
        candidates = [found]
        for coder in coders[1:]:
            s = found[1].with_(coder=coder)
            c, m = _measure(x, s)
            tried.append((s, len(c), m))
            if bound.met_by(m):
                candidates.append((c, s, m))
        for cand in candidates:
            if best is None or len(cand[0]) < len(best[0]):
                best = cand
    if best is None:
        closest = min(tried, key=lambda t: t[2]["rmse"])[2] if tried else None
        detail = ""
        if closest:
            detail = (f"; best reached: max error {closest['max_error']:.3g}, "
                      f"RMSE {closest['rmse']:.3g}, PRD {closest['prd']:.3g} %")
        raise TargetNotMet(f"no setting meets {bound.describe()}{detail}")
    c, s, m = best
    # Verify the exact bytes we return, independent of the search bookkeeping.
    y = decompress(c)
    final = {
        "max_error": metrics.max_abs_error(x, y),
        "rmse": metrics.rmse(x, y),
        "prd": metrics.prd(x, y),
    }
    if not bound.met_by(final):  # pragma: no cover - would mean a nondeterministic codec
        raise ToolError("verification of the chosen container failed")
    return TargetResult(c, s, final["max_error"], final["rmse"], final["prd"], len(tried), tried)
