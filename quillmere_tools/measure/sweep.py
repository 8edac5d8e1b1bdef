"""Rate-distortion and speed sweep over wavelets x coders x scales."""
from __future__ import annotations

import math
import time
from typing import Iterable, Sequence

from .. import metrics
from .._core import as_signal, compress_container, decompress_container
from ..settings import DEFAULT_CUTOFF, Settings


def _best_time(fn, repeat: int) -> tuple[float, object]:
    best, out = math.inf, None
    for _ in range(max(1, repeat)):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def sweep(data, methods: Sequence[str], coders: Sequence[str], scales: Iterable[int],
          cutoff: str = DEFAULT_CUTOFF, repeat: int = 3, progress=None) -> list[dict]:
    """One row per setting.  Speeds count the float32 size of the signal (the
    codec's working precision) and take the best of ``repeat`` runs, which is
    the least disturbed by other load on the machine."""
    x = as_signal(data)
    mb = 4 * x.size / 1e6
    rows = []
    for method in methods:
        for coder in coders:
            for scale in scales:
                s = Settings(method=method, scale=scale, cutoff=cutoff, coder=coder)
                tc, c = _best_time(lambda: compress_container(x, s.options()), repeat)
                td, y = _best_time(lambda: decompress_container(c), repeat)
                m = metrics.summary(x, y)
                rows.append({
                    "method": method, "coder": coder, "scale": scale, "cutoff": cutoff,
                    "bytes": len(c),
                    "ratio": 4 * x.size / len(c),
                    "bits_per_sample": 8 * len(c) / x.size,
                    **m,
                    "compress_mb_s": mb / tc if tc > 0 else math.inf,
                    "decompress_mb_s": mb / td if td > 0 else math.inf,
                })
                if progress is not None:
                    progress.update(1)
    return rows


COLUMNS = [
    ("method", "wavelet", "{}"),
    ("coder", "coder", "{}"),
    ("scale", "scale", "{}"),
    ("ratio", "ratio", "{:.2f}"),
    ("bits_per_sample", "bits/smp", "{:.3f}"),
    ("rmse_rel", "RMSE/range", "{:.2e}"),
    ("max_error_rel", "maxerr/range", "{:.2e}"),
    ("psnr", "PSNR dB", "{:.1f}"),
    ("prd", "PRD %", "{:.3f}"),
    ("compress_mb_s", "comp MB/s", "{:.1f}"),
    ("decompress_mb_s", "decomp MB/s", "{:.1f}"),
]


def format_table(rows: Sequence[dict], columns=COLUMNS) -> str:
    head = [c[1] for c in columns]
    body = [[c[2].format(r[c[0]]) for c in columns] for r in rows]
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h)
              for i, h in enumerate(head)]
    def line(cells):
        return "  ".join(
            c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ).rstrip()
    out = [line(head), line(["-" * w for w in widths])]
    out.extend(line(b) for b in body)
    return "\n".join(out)
