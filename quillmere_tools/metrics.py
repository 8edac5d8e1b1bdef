"""Distortion measures for the bench, the demo and the file reports.

The error-target search does not use these: it runs in the C++ library and
measures there.

All measures compare the original samples (in their own precision) with the
float32 reconstruction.  Non-finite input samples are left out: the codec
replaces them before coding, so there is no meaningful error to report there.
"""
from __future__ import annotations

import math
from typing import Callable, Optional

import numpy as np
import numpy.typing as npt

_Samples = npt.NDArray[np.float64]
# Pieces of this many samples keep the float64 working copies of a long
# recording small; the sums are then added piece by piece.
_PIECE = 1 << 20


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
    # Piece by piece: the extremes are exact whatever the order, and a long
    # recording needs no float64 copy of itself.
    x_all = np.asarray(original).ravel()
    lo, hi = math.inf, -math.inf
    for at in range(0, x_all.size, _PIECE):
        x = np.asarray(x_all[at:at + _PIECE], dtype=np.float64)
        x = x[np.isfinite(x)]
        if x.size:
            lo, hi = min(lo, float(x.min())), max(hi, float(x.max()))
    return hi - lo if hi >= lo else 0.0


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


def measures_in_pieces(original: npt.ArrayLike, decoded: npt.ArrayLike,
                       each: Optional[Callable[[np.ndarray], np.ndarray]] = None) -> dict[str, float]:
    """max_error, rmse, prd and psnr as the functions above define them,
    with float64 copies of one piece at a time rather than of the whole
    signal (whose sums may then differ from theirs in the last bits).
    ``each``, if given, maps a piece of ``decoded`` (sample for sample)
    before it is compared, as a format's write-back does."""
    x_all = np.asarray(original).ravel()
    y_all = np.asarray(decoded).ravel()
    if x_all.shape != y_all.shape:
        raise ValueError(f"length mismatch: {x_all.size} original vs {y_all.size} decoded samples")
    measures = PieceMeasures(each)
    measures.add(x_all, y_all)
    return measures.result()


class PieceMeasures:
    """measures_in_pieces over a signal that arrives in consecutive runs of
    any length: the runs are regrouped into the same pieces, so the sums,
    and the measures, are those of the whole signal at once."""

    def __init__(self, each: Optional[Callable[[np.ndarray], np.ndarray]] = None):
        self._each = each
        self._pending: list[tuple[np.ndarray, np.ndarray]] = []
        self._waiting = 0
        self._worst = self._err2 = self._x2 = 0.0
        self._lo, self._hi, self._count = math.inf, -math.inf, 0

    def add(self, original: np.ndarray, decoded: np.ndarray) -> None:
        x_all, y_all = np.asarray(original).ravel(), np.asarray(decoded).ravel()
        if x_all.shape != y_all.shape:
            raise ValueError(f"length mismatch: {x_all.size} original vs {y_all.size} "
                             "decoded samples")
        self._pending.append((x_all, y_all))
        self._waiting += x_all.size
        while self._waiting >= _PIECE:
            self._measure(*self._take(_PIECE))

    def _take(self, n: int) -> tuple[np.ndarray, np.ndarray]:
        xs, ys, left = [], [], n
        while left:
            x, y = self._pending[0]
            if x.size <= left:
                self._pending.pop(0)
            else:
                self._pending[0] = (x[left:], y[left:])
                x, y = x[:left], y[:left]
            xs.append(x)
            ys.append(y)
            left -= x.size
        self._waiting -= n
        if len(xs) == 1:
            return xs[0], ys[0]
        return np.concatenate(xs), np.concatenate(ys)

    def _measure(self, x_piece: np.ndarray, y_piece: np.ndarray) -> None:
        x, y = _pair(x_piece, y_piece if self._each is None else self._each(y_piece))
        if not x.size:
            return
        d = x - y
        self._worst = max(self._worst, float(np.max(np.abs(d))))
        self._err2 += float(np.sum(d * d))
        self._x2 += float(np.sum(x * x))
        self._lo, self._hi = min(self._lo, float(x.min())), max(self._hi, float(x.max()))
        self._count += x.size

    def result(self) -> dict[str, float]:
        if self._waiting:
            self._measure(*self._take(self._waiting))
        if not self._count:
            return {"max_error": 0.0, "rmse": 0.0, "prd": 0.0, "psnr": math.inf}
        err2, x2 = self._err2, self._x2
        e = math.sqrt(err2 / self._count)
        p = (0.0 if err2 == 0.0 else math.inf) if x2 == 0.0 else 100.0 * math.sqrt(err2 / x2)
        span = self._hi - self._lo
        q = math.inf if e == 0.0 else -math.inf if span == 0.0 else 20.0 * math.log10(span / e)
        return {"max_error": self._worst, "rmse": e, "prd": p, "psnr": q}
