"""Sweeping a codec over its settings and reading a ratio off at a target
error: the arithmetic every table of the comparison rests on."""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

import signals as sigs
from compare_codecs import Codec, value_range

def nrmse(x: np.ndarray, y: np.ndarray) -> float:
    if y.shape != x.shape:
        raise ValueError(f"decoded shape {y.shape} != input shape {x.shape}")
    d = y.astype(np.float64) - x.astype(np.float64)
    return math.sqrt(float(np.mean(d * d))) / value_range(x)


@dataclass
class Point:
    family: str
    setting: Any
    err: float
    ratio: float
    nbytes: int


def sweep(codec: Codec, x: np.ndarray, sig: sigs.Signal) -> List[Point]:
    points = []
    raw = x.nbytes
    known: Dict[Any, float] = {}
    for fam in codec.families(x, sig):
        # Long signals get every other setting: the bracket around a target
        # is then twice as wide, the interpolation still between real points.
        long_signal = sig.throughput_only or x.size >= 500_000
        settings = fam.settings[::2] if long_signal and len(fam.settings) > 8 else fam.settings
        for s in settings:
            key = codec.error_key(s)
            try:
                blob = codec.encode(x, s)
                if key is not None and key in known:
                    err = known[key]
                else:
                    err = nrmse(x, codec.decode(blob, s, x.size))
                    if key is not None:
                        known[key] = err
            except Exception as exc:  # a peer refusing a setting is not fatal
                print(f"#   {codec.name} {codec.describe(s)}: {exc!r}", file=sys.stderr)
                continue
            n = codec.nbytes(blob)
            points.append(Point(fam.label, s, err, raw / n, n))
    return points


def frontier(points: Sequence[Point]) -> List[Point]:
    """Points that no other point beats on both error and ratio, by error."""
    out: List[Point] = []
    for p in sorted((p for p in points if p.err > 0 and math.isfinite(p.err)),
                    key=lambda p: (p.err, -p.ratio)):
        if not out or p.ratio > out[-1].ratio:
            out.append(p)
    return out


def at_target(front: Sequence[Point], target: float) -> Optional[Tuple[float, Point]]:
    """Ratio interpolated log-log at the target error, and the frontier point
    nearest to it; None when the frontier does not straddle the target."""
    for lo, hi in zip(front, front[1:]):
        if lo.err <= target <= hi.err:
            la, lb = math.log(lo.err), math.log(hi.err)
            t = 0.0 if lb == la else (math.log(target) - la) / (lb - la)
            ratio = math.exp(math.log(lo.ratio) + t * (math.log(hi.ratio) - math.log(lo.ratio)))
            near = lo if abs(math.log(target) - la) <= abs(lb - math.log(target)) else hi
            return ratio, near
    if front and any(abs(math.log(p.err / target)) < 1e-12 for p in front):
        p = next(p for p in front if abs(math.log(p.err / target)) < 1e-12)
        return p.ratio, p
    return None


def best_at_target(points: Sequence[Point], target: float) -> Optional[Tuple[float, Point]]:
    """Best interpolated ratio over the codec's families (each family is one
    knob; mixing knobs of different families along one curve would invent
    settings that do not exist)."""
    best = None
    by_family: Dict[str, List[Point]] = {}
    for p in points:
        by_family.setdefault(p.family, []).append(p)
    for fam_points in by_family.values():
        hit = at_target(frontier(fam_points), target)
        if hit and (best is None or hit[0] > best[0]):
            best = hit
    return best


def nearest_point(points: Sequence[Point], target: float) -> Optional[Point]:
    """The swept point closest to the target error, for matching another codec."""
    pts = [p for p in points if p.err > 0]
    if not pts:
        return None
    return min(pts, key=lambda p: abs(math.log(p.err / target)))
