"""One signal through every codec: sweeps, the ratio at each target error,
and the throughput of the setting nearest each target."""

from __future__ import annotations

import gc
import math
import statistics
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

import signals as sigs
from compare_codecs import Codec
from compare_sweep import Point, best_at_target, frontier, nearest_point, nrmse, sweep

TARGETS = (1e-3, 1e-4)

CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}
CLOCK = time.thread_time


def time_call(fn: Callable[[], Any], repeats: int = 5, min_batch: float = 0.02) -> float:
    """Median seconds per call: one warm-up call, then `repeats` batches."""
    t0 = CLOCK()
    fn()
    first = CLOCK() - t0
    per_batch = max(1, int(math.ceil(min_batch / max(first, 1e-6))))
    samples = []
    for _ in range(repeats):
        t0 = CLOCK()
        for _ in range(per_batch):
            fn()
        samples.append((CLOCK() - t0) / per_batch)
    return statistics.median(samples)


def throughput(codec: Codec, x: np.ndarray, s: Any, repeats: int) -> Tuple[float, float]:
    blob = codec.encode(x, s)
    n = x.size
    gc.collect()
    tc = time_call(lambda: codec.encode(x, s), repeats)
    td = time_call(lambda: codec.decode(blob, s, n), repeats)
    mb = x.nbytes / 1e6
    return mb / tc, mb / td


@dataclass
class Row:
    signal: str
    kind: str
    codec: str
    target: Optional[float]
    setting: str = ""
    err: float = float("nan")
    ratio: float = float("nan")
    comp_mbs: float = float("nan")
    decomp_mbs: float = float("nan")
    note: str = ""


@dataclass
class SignalResult:
    name: str
    kind: str
    n: int
    rows: List[Row] = field(default_factory=list)
    fronts: Dict[str, List[Tuple[float, float]]] = field(default_factory=dict)
    default: Optional[Row] = None
    zfp_matched: Optional[Row] = None


def run_signal(sig: sigs.Signal, codecs: List[Codec], repeats: int, log) -> SignalResult:
    x = sig.load()
    res = SignalResult(sig.name, sig.kind, x.size)
    t_sig = time.perf_counter()
    zfp_points: List[Point] = []
    for codec in codecs:
        t0 = time.perf_counter()
        pts = sweep(codec, x, sig)
        if codec.name == "zfpy":
            zfp_points = pts
        log(f"#   {sig.name}: {codec.name}: {len(pts)} settings in {time.perf_counter() - t0:.1f} s")
        if codec.lossless:
            p = pts[0]
            c, d = throughput(codec, x, p.setting, repeats)
            res.rows.append(Row(sig.name, sig.kind, codec.name, None, codec.describe(p.setting),
                                nrmse(x, codec.decode(codec.encode(x, p.setting), p.setting,
                                                      x.size)), p.ratio, c, d))
            continue
        # For the plot: the frontier over all of the codec's families.
        res.fronts[codec.name] = [(p.err, p.ratio) for p in frontier(pts)]
        for target in TARGETS:
            hit = best_at_target(pts, target)
            if hit is None:
                near = nearest_point(pts, target)
                res.rows.append(Row(sig.name, sig.kind, codec.name, target,
                                    codec.describe(near.setting) if near else "",
                                    near.err if near else float("nan"),
                                    note="target out of reach"))
                continue
            ratio, near = hit
            c, d = throughput(codec, x, near.setting, repeats)
            res.rows.append(Row(sig.name, sig.kind, codec.name, target,
                                codec.describe(near.setting), near.err, ratio, c, d))
        if codec.name == "quillmere":
            blob = codec.encode(x, None)
            err = nrmse(x, codec.decode(blob, None, x.size))
            c, d = throughput(codec, x, None, repeats)
            res.default = Row(sig.name, sig.kind, "quillmere default", err, "defaults", err,
                              x.nbytes / len(blob), c, d)
    if res.default is not None and zfp_points:
        zfp = next(c for c in codecs if c.name == "zfpy")
        tgt = res.default.err
        hit = best_at_target(zfp_points, tgt)
        near = hit[1] if hit else nearest_point(zfp_points, tgt)
        c, d = throughput(zfp, x, near.setting, repeats)
        res.zfp_matched = Row(sig.name, sig.kind, "zfpy matched", tgt, zfp.describe(near.setting),
                              near.err, hit[0] if hit else near.ratio, c, d)
    log(f"# {sig.name} done in {time.perf_counter() - t_sig:.1f} s")
    return res

