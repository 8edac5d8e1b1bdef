"""Figures, drawn with matplotlib's object API on an Agg canvas so that no
display or global pyplot state is needed."""
from __future__ import annotations

import io
from typing import Sequence

import numpy as np

from .._core import ToolError

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
