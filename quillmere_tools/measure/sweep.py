"""Rate-distortion and speed sweep over wavelets x coders x scales, and the
figures drawn from it and from the demo."""
from __future__ import annotations

import io
import math
import time
from typing import Iterable, Sequence

import numpy as np

from .. import metrics
from .._core import ToolError, as_signal
from ..settings import DEFAULT_CUTOFF, Settings
from ..units.channel import decode_channel, encode_channel


def _best_time(fn, repeat: int) -> tuple[float, object]:
    best, out = math.inf, None
    for _ in range(max(1, repeat)):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def sweep(data, methods: Sequence[str], coders: Sequence[str], scales: Iterable[int],
          cutoff: str = DEFAULT_CUTOFF, repeat: int = 3, progress=None) -> list[dict]:
    """One row per setting, coded as the tools' channel units (so the tools'
    own coder is measured beside the module's).  Speeds count the float32
    size of the signal (the codec's working precision) and take the best of
    ``repeat`` runs, which is the least disturbed by other load on the
    machine."""
    x = as_signal(data)
    mb = 4 * x.size / 1e6
    rows = []
    for method in methods:
        for coder in coders:
            for scale in scales:
                s = Settings(method=method, scale=scale, cutoff=cutoff, coder=coder)
                tc, c = _best_time(lambda: encode_channel(x, s), repeat)
                td, y = _best_time(lambda: decode_channel(c), repeat)
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


_COLORS = {"cdf97": "tab:blue", "cdf53": "tab:orange", "db4": "tab:green", "sym4": "tab:red"}
_STYLES = {"cmodel": "-", "arans": "--", "deflate": ":", "fast": "-."}


def _figure(w, h):
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ToolError("plotting needs matplotlib: pip install 'quillmere[tools]'") from None
    fig = Figure(figsize=(w, h), dpi=100, layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def _png(fig) -> bytes:
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    return buf.getvalue()


def rate_distortion_png(rows: Sequence[dict], title: str) -> bytes:
    """Distortion against bits per sample, one curve per wavelet and coder,
    one point per scale."""
    fig = _figure(11, 4.5)
    axes = fig.subplots(1, 2)
    groups: dict[tuple, list] = {}
    for r in rows:
        groups.setdefault((r["method"], r["coder"]), []).append(r)
    for (method, coder), pts in sorted(groups.items()):
        pts = sorted(pts, key=lambda r: r["bits_per_sample"])
        bps = [r["bits_per_sample"] for r in pts]
        kw = dict(color=_COLORS.get(method), linestyle=_STYLES.get(coder, "-"), marker="o",
                  markersize=3, label=f"{method} / {coder}")
        axes[0].plot(bps, [max(r["rmse_rel"], 1e-12) for r in pts], **kw)
        axes[1].plot(bps, [max(r["prd"], 1e-12) for r in pts], **kw)
    axes[0].set_ylabel("RMSE / range")
    axes[1].set_ylabel("PRD (%)")
    for ax in axes:
        ax.set_xlabel("bits per sample")
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    axes[1].legend(fontsize=7, ncol=2)
    fig.suptitle(title)
    return _png(fig)


def demo_png(t: np.ndarray, original: np.ndarray, recons: Sequence[tuple[str, np.ndarray]],
             window: tuple[float, float]) -> bytes:
    fig = _figure(11, 7)
    ax_sig, ax_zoom, ax_err = fig.subplots(3, 1)
    sel = (t >= window[0]) & (t < window[1])
    ax_sig.plot(t, original, color="black", linewidth=0.6)
    ax_sig.axvspan(*window, color="0.9")
    ax_sig.set_title("original signal (shaded: window shown below)")
    ax_zoom.plot(t[sel], original[sel], color="black", linewidth=1.4, label="original")
    colored = list(zip(recons, ("tab:blue", "tab:orange", "tab:green", "tab:red")))
    for (label, y), color in colored:
        ax_zoom.plot(t[sel], y[sel], color=color, linewidth=0.9, label=label)
    # Largest error first, so the smaller traces stay visible on top of it.
    for (label, y), color in sorted(colored, key=lambda c: -float(np.std(c[0][1][sel] - original[sel]))):
        ax_err.plot(t[sel], (y - original)[sel], color=color, linewidth=0.8, label=label)
    ax_zoom.set_title("reconstruction")
    ax_zoom.legend(fontsize=8, loc="upper right")
    ax_err.set_title("error (reconstruction - original)")
    ax_err.axhline(0.0, color="black", linewidth=0.5)
    ax_err.legend(fontsize=8, loc="upper right")
    for ax in (ax_sig, ax_zoom, ax_err):
        ax.set_xlabel("time (s)")
        ax.grid(True, alpha=0.3)
    return _png(fig)
