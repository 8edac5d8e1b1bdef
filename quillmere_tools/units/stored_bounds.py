"""Error bounds that hold over what the user stores and reads back.

``decompress`` writes a channel in its source's format: integer codes for
PCM audio, EDF/BDF, WFDB and integer arrays, float32 for float WAV/AIFF,
printed text for CSV. Each of those moves the reconstruction a little, so a
bound met by the decoded samples alone can be missed in the rewritten file
(a PSNR of 60 dB measuring 59.87 after rounding to codes).

So the codec aims at the bound with the write-back taken into account (a
maximum error is tightened by half a code step, ``grid.tighten``), and the
result is then measured where the user looks: the decoded samples are put
through what the format's writer and a reader of the file do
(``formats.stored_values``) and compared with the source. A miss tightens
the bounds handed to the codec by the factor it missed by, and the search
runs again. For a source on an integer grid the last resort is a maximum
error below half a code step, which returns every sample to its own code;
when even that cannot be had (a size budget forbids it), the channel fails
with an error naming the bound rather than writing a file that breaks it.
"""
from __future__ import annotations

import math
from dataclasses import replace
from typing import Any, Callable, Optional, Sequence, TypeVar

import numpy as np

from .. import metrics
from ..settings import Settings
from ..bounds import Bounds
from ..recordings import grid
from .channel import decode_channel, encode_with_report as _encode
from .target import TargetNotMet

# What a way of coding returns beside what it made (a unit's report, or
# the settings a long channel was written with).
Report = TypeVar("Report")

# Searches after the first before giving up on tightening by factors.
MAX_RETRIES = 6
# Each retry aims this much further inside the bound than the miss alone
# asks for, so one retry is nearly always enough.
_MARGIN = 0.98
# A miss by a hair still tightens by at least this factor: the search
# works on a grid of multipliers, and a smaller step may land on the same one.
_LEAST_STEP = 0.9
# Below half a code step, by a margin (see grid): every sample returns to its code.
_EXACT_CODES = 0.49


def stored_miss(bounds: Bounds, x: np.ndarray, unit: bytes,
                stored: Callable[[np.ndarray], np.ndarray]) -> float:
    """miss_factor of the unit's samples as written back; a long recording
    is put through the write-back and measured a piece at a time (the
    write-back maps sample to sample), never as a whole float64 copy."""
    y = decode_channel(unit)
    if np.size(x) > LONG_SIGNAL:
        return _miss_in_pieces(bounds, metrics.measures_in_pieces(x, y, stored))
    return miss_factor(bounds, x, stored(y))


def miss_factor(bounds: Bounds, x: np.ndarray, z: np.ndarray) -> float:
    """0 when the stored values ``z`` meet every error bound against ``x``;
    otherwise the largest factor by which one is missed, on the error. Each
    bound is judged with the measure a user applies to the files, with no
    tolerance."""
    misses = []
    if np.size(x) > LONG_SIGNAL:
        return _miss_in_pieces(bounds, metrics.measures_in_pieces(x, z))
    # The error measures, each a ceiling on a quantity that scales with the error.
    for ceiling, measure in ((bounds.max_error, metrics.max_abs_error), (bounds.rmse, metrics.rmse),
                             (bounds.prd, metrics.prd)):
        if ceiling is not None:
            e = measure(x, z)
            if e > ceiling:
                misses.append(e / ceiling)
    if bounds.psnr is not None:
        p = metrics.psnr(x, z)
        if not p >= bounds.psnr:
            misses.append(math.inf if p == -math.inf else 10.0 ** ((bounds.psnr - p) / 20.0))
    return max(misses, default=0.0)


# Past this many samples the measures run piece by piece: whole-signal
# float64 copies of a long recording would take several times its size.
LONG_SIGNAL = 1 << 22


def miss_of_measures(bounds: Bounds, m: dict[str, float]) -> float:
    """miss_factor from measures_in_pieces' measures."""
    return _miss_in_pieces(bounds, m)


def _miss_in_pieces(bounds: Bounds, m: dict[str, float]) -> float:
    misses = [m[name] / limit for name, limit in (("max_error", bounds.max_error),
                                                  ("rmse", bounds.rmse), ("prd", bounds.prd))
              if limit is not None and m[name] > limit]
    if bounds.psnr is not None and not m["psnr"] >= bounds.psnr:
        misses.append(math.inf if m["psnr"] == -math.inf
                      else 10.0 ** ((bounds.psnr - m["psnr"]) / 20.0))
    return max(misses, default=0.0)


def has_error_bound(bounds: Bounds) -> bool:
    return any(v is not None for v in (bounds.max_error, bounds.rmse, bounds.prd, bounds.psnr))


def tightened(bounds: Bounds, factor: float) -> Bounds:
    """Every error bound ``factor`` (< 1) times as large; a PSNR floor raised
    by the same factor on the error. A size budget is left as it is."""
    return replace(
        bounds,
        max_error=None if bounds.max_error is None else bounds.max_error * factor,
        rmse=None if bounds.rmse is None else bounds.rmse * factor,
        prd=None if bounds.prd is None else bounds.prd * factor,
        psnr=None if bounds.psnr is None else bounds.psnr - 20.0 * math.log10(factor))


def compress_held(x: np.ndarray, settings: Settings, bounds: Bounds,
                  stored: Callable[[np.ndarray], np.ndarray], quantum: Optional[float],
                  methods: Optional[Sequence[str]] = None,
                  coders: Optional[Sequence[str]] = None,
                  block_length: Optional[int] = None,
                  effort: Optional[str] = None) -> tuple[bytes, tuple]:
    """The smallest unit the search finds whose written-back values
    ``stored(decoded)`` meet ``bounds`` against ``x``, and its report; a
    channel longer than ``block_length`` is coded as blocks. ``effort`` is
    the search's ("thorough" or "fast")."""
    def encode(aim: Bounds):
        return _encode(x, settings, aim, methods, coders, block_length=block_length,
                       grid_step=quantum, effort=effort)

    return search_held(encode, lambda unit: stored_miss(bounds, x, unit, stored), bounds, quantum)


def search_held(encode: Callable[[Bounds], tuple[Any, Report]], miss: Callable[[Any], float],
                bounds: Bounds, quantum: Optional[float]) -> tuple[Any, Report]:
    """The search of compress_held over any way of coding a channel:
    ``encode(aim)`` codes it under ``aim`` and returns (what was made, its
    report), and ``miss(made)`` measures that against ``bounds`` as
    stored_miss does. A channel read a piece at a time codes and measures
    in one pass over it."""
    aim = bounds
    if aim.max_error is not None and quantum is not None:
        aim = replace(aim, max_error=grid.tighten(aim.max_error, quantum))
    if not has_error_bound(bounds):
        return encode(aim)
    for attempt in range(1 + MAX_RETRIES):
        try:
            unit, report = encode(aim)
        except TargetNotMet:
            if attempt == 0:
                raise  # the bound as asked is out of reach: the codec says which
            break
        factor = miss(unit)
        if factor == 0.0:
            return unit, report
        if not math.isfinite(factor):
            break
        aim = tightened(aim, min(_LEAST_STEP, _MARGIN / factor))
    if quantum is not None:
        exact = _EXACT_CODES * quantum
        aim = replace(aim, max_error=min(exact, aim.max_error or exact))
        try:
            unit, report = encode(aim)
        except TargetNotMet:
            unit = None
        if unit is not None and miss(unit) == 0.0:
            return unit, report
    raise TargetNotMet(f"{bounds.describe()} cannot be met in the written-back file "
                       f"after {1 + MAX_RETRIES} tightened searches")
