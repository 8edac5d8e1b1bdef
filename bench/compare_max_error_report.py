"""Tables and verdicts of the max-error comparison."""

from __future__ import annotations

import math
from typing import List

import signals as sigs
from compare_max_error import AHEAD_BY, MAX_ERROR_TARGETS, Cell, MaxErrorResult
from compare_report import fmt

MAX_ERROR_INTRO = """### Size at a maximum absolute error

Each codec held to `max |error| <= bound`, with the bound 0.1 % and 1 % of
the signal's range. Quillmere: `quillmere_tools.compress_to_target(max_error=)`
over every method and coder at scale 11 (dead zone), with the tools' integer
unit on a grid rounded within the bound weighed too, and at scale 6 (none);
the smaller `.unit` (everything stored) counts; pysz in its absolute
error-bound mode, zfpy in its fixed-accuracy mode and quant+pcodec (integers
of a uniform quantiser of step twice the bound, coded by pcodec), given the
bound; the
peers without such a mode at the smallest setting of their sweep that meets
the bound (chosen after the fact); pcodec is lossless. Every result is
decoded and its maximum error measured: a codec that overshoots its own bound
is marked "violates" and not counted. Cells are compression ratios (float32
bytes / stored bytes); "quillmere / best peer" is Quillmere's size over the
smallest peer's (below 1: Quillmere is smaller). "Error peak/RMS" is the
maximum error over the RMSE of the same decoded signal: the higher it is, the
lower the RMSE a codec must reach to keep every sample within the bound.
The three columns before the search time split Quillmere's bytes: the share
taken by the point-wise corrections the tools append after the container, the
share of samples they mend, and the maximum error of the wavelet layer alone
(`quillmere.decompress_signal`) over the bound; an integer unit has no
wavelet layer and no corrections, and shows its own error there. Search time is wall-clock of
`compress_to_target` (both scales).
"""


def _cell(c: Cell, raw: int) -> str:
    if c is None:
        return "–"
    if c.violated:
        return f"{raw / c.size:.2f} violates ({c.max_err:.3g})"
    return fmt(raw / c.size, ".2f") if c.size else "–"


def max_error_table(results: List[MaxErrorResult], fraction: float,
                    codec_names: List[str]) -> List[str]:
    shown = [c for c in codec_names if c != "memcpy"]
    head = (["signal", "kind", "bound"] + [c + (" (lossless)" if c == "pcodec" else "")
                                           for c in shown]
            + ["best peer", "quillmere / best peer", "error peak/RMS quillmere",
               "error peak/RMS best peer", "corrections: % of quillmere bytes",
               "corrected samples %", "wavelet layer max error / bound", "quillmere search s"])
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        if r.fraction != fraction:
            continue
        cells = [r.signal, r.kind, f"{r.bound:.3g}"]
        cells += [_cell(r.cells.get(c), r.raw_bytes) for c in shown]
        best = r.best_peer()
        q = r.cells.get("quillmere")
        cells.append(f"{best.codec} {r.raw_bytes / best.size:.2f}" if best else "–")
        cells.append(fmt(r.quillmere_over_best(), ".3f"))
        cells.append(fmt(q.peak_to_rms, ".2f") if q and q.counts else "–")
        cells.append(fmt(best.peak_to_rms, ".2f") if best else "–")
        if q and q.counts:
            cells += [fmt(100 * q.side_bytes / q.size, ".0f"), fmt(100 * q.corrected / r.n, ".1f"),
                      fmt(q.layer_max_err / r.bound, ".2f")]
        else:
            cells += ["–"] * 3
        cells.append(fmt(q.wall_s, ".2f") if q else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def max_error_details(results: List[MaxErrorResult]) -> List[str]:
    head = ["signal", "bound", "codec", "how", "setting", "bytes", "max error / bound",
            "RMSE", "note"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        for c in r.cells.values():
            lines.append("| " + " | ".join([
                r.signal, f"{r.fraction:.1%} = {r.bound:.3g}", c.codec, c.how, c.setting,
                str(c.size) if c.size else "–", fmt(c.max_err / r.bound, ".4f"),
                fmt(c.rmse, ".3g"), c.note.replace("|", "/")]) + " |")
    return lines


def max_error_verdicts(results: List[MaxErrorResult]) -> List[str]:
    out = []
    for fraction in MAX_ERROR_TARGETS:
        rows = [r for r in results if r.fraction == fraction]
        speech = [r for r in rows if r.kind == sigs.KIND_SPEECH]
        short = [f"{r.signal} {fmt(r.quillmere_over_best(), '.3f')}" for r in speech
                 if not r.quillmere_over_best() <= 1.0 / AHEAD_BY]
        worst = max((r.quillmere_over_best() for r in speech
                     if math.isfinite(r.quillmere_over_best())), default=float("nan"))
        out.append(f"- Max error {fraction:.1%} of range, quillmere ratio >= {AHEAD_BY} x the best "
                   f"peer's (size ratio <= {1.0 / AHEAD_BY:.3f}) on {len(speech)} speech signals: "
                   f"{'PASS' if speech and not short else 'FAIL'}; worst size ratio {fmt(worst, '.3f')}"
                   + (f"; short: {', '.join(short)}" if short else ""))
        for r in rows:
            if r.quillmere_at_peer_rmse:
                q, best = r.cells["quillmere"], r.best_peer()
                out.append(
                    f"  - {r.signal} ({r.kind}), {q.size} bytes against {best.codec}'s "
                    f"{best.size}: corrections {q.side_bytes} bytes for {q.corrected} samples "
                    f"({100 * q.corrected / r.n:.1f} %), wavelet layer max error "
                    f"{q.layer_max_err / r.bound:.2f} x the bound; at {best.codec}'s RMSE "
                    f"({best.rmse:.3g}) without the point-wise bound Quillmere needs "
                    f"{r.quillmere_at_peer_rmse} bytes")
        others = [f"{r.signal} {fmt(r.quillmere_over_best(), '.3f')}" for r in rows
                  if r.kind != sigs.KIND_SPEECH]
        if others:
            out.append(f"  - other signals (size ratio): {', '.join(others)}")
        lossless = [r.signal for r in rows if r.cells.get("pcodec") and r.cells.get("quillmere")
                    and r.cells["quillmere"].counts
                    and r.cells["pcodec"].size < r.cells["quillmere"].size]
        if lossless:
            out.append(f"  - lossless pcodec is smaller than quillmere on {', '.join(lossless)}")
        broken = sorted({f"{c.codec} on {r.signal}" for r in rows for c in r.cells.values()
                         if c.violated})
        if broken:
            out.append(f"  - bounds overshot: {', '.join(broken)}")
    return out
