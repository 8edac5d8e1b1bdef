"""Rate-distortion curves of every codec, one panel per signal."""

from __future__ import annotations

import math
from typing import List

from compare_run import TARGETS, SignalResult

def plot(results: List[SignalResult], path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    shown = [r for r in results if r.fronts and r.n < 10_000_000]
    cols = 4
    rows = max(1, math.ceil(len(shown) / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.4 * rows), squeeze=False)
    for ax, r in zip(axes.flat, shown):
        for name, pts in sorted(r.fronts.items()):
            if not pts:
                continue
            e, q = zip(*pts)
            ax.loglog(e, q, marker=".", lw=1.5 if name == "quillmere" else 1,
                      color="black" if name == "quillmere" else None, label=name)
        for t in TARGETS:
            ax.axvline(t, color="grey", lw=0.6, ls=":")
        ax.set_xlim(1e-6, 1e-1)
        ax.set_title(r.name, fontsize=9)
        ax.set_xlabel("RMSE / range", fontsize=8)
        ax.set_ylabel("compression ratio", fontsize=8)
        ax.tick_params(labelsize=7)
    for ax in list(axes.flat)[len(shown):]:
        ax.axis("off")
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), fontsize=8)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(path, dpi=110)
