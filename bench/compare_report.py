"""The comparison's report: machine and checkout lines, the markdown tables
and the verdicts against the targets."""

from __future__ import annotations

import math
import os
import platform
import statistics
import subprocess
from typing import Any, Dict, List

import signals as sigs
from compare_run import TARGETS, SignalResult

HERE = os.path.dirname(os.path.abspath(__file__))


def fmt(v: float, pattern: str) -> str:
    return "–" if v is None or not math.isfinite(v) else format(v, pattern)


def machine_line() -> str:
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f", {kb / 2**20:.0f} GiB RAM"
    except (OSError, ValueError, IndexError):
        pass
    import numpy
    vers = [f"Python {platform.python_version()}", f"numpy {numpy.__version__}"]
    for _module, dist in (("zfpy", "zfpy"), ("pysz", "pysz"), ("pywt", "PyWavelets"),
                      ("numcodecs", "numcodecs"), ("pcodec", "pcodec")):
        try:
            from importlib.metadata import version
            vers.append(f"{dist} {version(dist)}")
        except Exception:
            pass
    return f"{cpu}, {os.cpu_count()} cores{mem}, {platform.system()} {platform.release()}; " + \
        ", ".join(vers)


def checkout_line() -> str:
    def git(*a):
        return subprocess.run(["git", "-C", HERE, *a], capture_output=True, text=True,
                              check=False).stdout.strip()
    head = git("rev-parse", "--short", "HEAD") or "?"
    dirty = " (with local changes)" if git("status", "--porcelain", "--untracked-files=no") else ""
    try:
        import quillmere
        where = os.path.basename(quillmere.__file__)
    except Exception:
        where = "not importable"
    return f"{head}{dirty}, module {where}"


MARKDOWN_INTRO = """## Performance

Quillmere and the codecs people use instead, run side by side on the same
signals in one process by `bench/compare.py`. Every lossy codec is swept over
its quality knob per signal; the ratio is interpolated log-log to normalised
RMSE (RMSE / range) 1e-3 and 1e-4 between the two settings around the target,
and the setting nearest the target is the one timed (its error is the
"achieved NRMSE"). Quillmere's best setting is searched over method x coder x
(scale 6..12 with each cutoff, or `quant_multiplier` with scale 6, no dead
zone, or scale 12, dead zone 3). Peers: zfpy fixed accuracy, pysz (SZ3)
absolute bound, PyWavelets bior4.4 + int16 + zlib-6 by hand, numcodecs
BitRound + Blosc(zstd, bit-shuffle, one thread) and Quantize + Zlib-6, pcodec
as a lossless reference, a memory copy as the ceiling. Throughput is MB/s
(10^6 bytes) of float32 input, median of five batches after a warm-up.
Speech: alsa-utils' channel WAVs and pocketsphinx-testdata's LibriVox
excerpts; physiological: matplotlib's membrane.dat; synthetic: a seeded
10^6-sample chirp with 1 % noise and a 10^7-sample random walk. Peak extra
memory is the growth of VmHWM over VmRSS across one call in a fresh
interpreter. Reproduce with (installs the Debian signal packages and the
peers when missing):

```sh
pip install . && python3 bench/compare.py --plot docs/compare-rd.png
```

"""


def ratio_table(results: List[SignalResult], target: float, codec_names: List[str]) -> List[str]:
    lossy = [c for c in codec_names if c not in ("pcodec", "memcpy")]
    peers = [c for c in lossy if c != "quillmere"]
    head = ["signal", "kind"] + lossy + ["pcodec (lossless)", "best lossy peer",
                                          "quillmere / best peer"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        by = {row.codec: row for row in r.rows if row.target in (target, None)}
        cells = [r.name, r.kind]
        for c in lossy + ["pcodec"]:
            row = by.get(c)
            cells.append(fmt(row.ratio, ".2f") if row else "–")
        pr = [(by[c].ratio, c) for c in peers if c in by and math.isfinite(by[c].ratio)]
        if pr:
            best_r, best_c = max(pr)
            cells.append(f"{best_c} {best_r:.2f}")
            q = by.get("quillmere")
            cells.append(fmt(q.ratio / best_r, ".2f") if q else "–")
        else:
            cells += ["–", "–"]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def detail_table(results: List[SignalResult]) -> List[str]:
    head = ["signal", "target", "codec", "setting", "achieved NRMSE", "ratio at target",
            "compress MB/s", "decompress MB/s"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        for row in r.rows:
            tgt = "lossless" if row.target is None else f"{row.target:.0e}"
            lines.append("| " + " | ".join([
                r.name, tgt, row.codec, row.setting, fmt(row.err, ".3g"),
                fmt(row.ratio, ".2f") + (f" ({row.note})" if row.note else ""),
                fmt(row.comp_mbs, ".0f"), fmt(row.decomp_mbs, ".0f")]) + " |")
    return lines


def speed_summary(results: List[SignalResult], kind: str, codec_names: List[str]) -> List[str]:
    head = ["codec"] + [f"{w} MB/s at {t:.0e}" for t in TARGETS for w in ("compress", "decompress")]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for c in codec_names:
        cells = [c]
        for t in TARGETS:
            rows = [row for r in results if r.kind == kind for row in r.rows
                    if row.codec == c and (row.target == t or row.target is None)]
            for attr in ("comp_mbs", "decomp_mbs"):
                vals = [getattr(row, attr) for row in rows if math.isfinite(getattr(row, attr))]
                cells.append(fmt(statistics.median(vals), ".0f") if vals else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def default_table(results: List[SignalResult]) -> List[str]:
    head = ["signal", "kind", "NRMSE", "ratio", "compress MB/s", "decompress MB/s",
            "zfpy NRMSE", "zfpy ratio", "zfpy compress MB/s", "zfpy decompress MB/s",
            "compress vs zfpy", "decompress vs zfpy"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        d, z = r.default, r.zfp_matched
        if d is None:
            continue
        cells = [r.name, r.kind, fmt(d.err, ".3g"), fmt(d.ratio, ".2f"), fmt(d.comp_mbs, ".0f"),
                 fmt(d.decomp_mbs, ".0f")]
        if z is not None:
            cells += [fmt(z.err, ".3g"), fmt(z.ratio, ".2f"), fmt(z.comp_mbs, ".0f"),
                      fmt(z.decomp_mbs, ".0f"), fmt(d.comp_mbs / z.comp_mbs, ".2f"),
                      fmt(d.decomp_mbs / z.decomp_mbs, ".2f")]
        else:
            cells += ["–"] * 6
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def verdicts(results: List[SignalResult], memory: List[Dict[str, Any]]) -> List[str]:
    out = []
    judged = [r for r in results if r.kind in (sigs.KIND_SPEECH, sigs.KIND_PHYSIO)]
    for target, need in ((1e-3, 1.3), (1e-4, 1.0)):
        worst = None
        fails = []
        for r in judged:
            by = {row.codec: row for row in r.rows if row.target == target}
            q = by.get("quillmere")
            peers = [row.ratio for c, row in by.items()
                     if c != "quillmere" and math.isfinite(row.ratio)]
            if q is None or not peers or not math.isfinite(q.ratio):
                fails.append(f"{r.name} (no quillmere point)")
                continue
            f = q.ratio / max(peers)
            worst = f if worst is None else min(worst, f)
            if f < need:
                fails.append(f"{r.name} {f:.2f}")
        lossless_wins = []
        for r in judged:
            by = {row.codec: row for row in r.rows if row.target in (target, None)}
            if "pcodec" in by and "quillmere" in by and by["pcodec"].ratio > by["quillmere"].ratio:
                lossless_wins.append(r.name)
        out.append(f"- Target 1 at {target:.0e}: quillmere / best lossy peer >= {need} on "
                   f"{len(judged)} speech and physiological signals: "
                   f"{'PASS' if not fails else 'FAIL'}; worst {fmt(worst, '.2f')}"
                   + (f"; short: {', '.join(fails)}" if fails else "")
                   + (f"; lossless pcodec beats quillmere on {', '.join(lossless_wins)}"
                      if lossless_wins else ""))
    speech = [r for r in results if r.kind == sigs.KIND_SPEECH and r.default]
    if speech:
        cmin = min(r.default.comp_mbs for r in speech)
        dmin = min(r.default.decomp_mbs for r in speech)
        matched = [r for r in speech if r.zfp_matched]
        # Without zfpy in the run (--codecs) the comparison half is unjudged.
        zc = min((r.default.comp_mbs / r.zfp_matched.comp_mbs for r in matched), default=None)
        zd = min((r.default.decomp_mbs / r.zfp_matched.decomp_mbs for r in matched), default=None)
        ok = (cmin >= 250 and dmin >= 250 and zc is not None and zc >= 1.3
              and zd is not None and zd >= 1.3)
        out.append(f"- Target 2, default options on {len(speech)} speech signals: slowest compress "
                   f"{cmin:.0f} MB/s, slowest decompress {dmin:.0f} MB/s (need 250); vs zfpy at "
                   f"matched error, lowest {fmt(zc, '.2f')}x compress, {fmt(zd, '.2f')}x "
                   f"decompress (need 1.3): {'PASS' if ok else 'FAIL'}")
    for m in memory:
        ref = m["in_bytes"] if m["mode"] == "compress" else m["out_bytes"]
        which = "input" if m["mode"] == "compress" else "output"
        out.append(f"- Target 4, {m['mode']} of {m['signal']}: peak extra RSS "
                   f"{m['extra'] / 1e6:.1f} MB = {m['extra'] / ref:.2f} x the {which} bytes "
                   f"({ref / 1e6:.1f} MB; the result itself is {m['out_bytes'] / 1e6:.1f} MB of "
                   f"it): {'PASS' if m['extra'] <= 3 * ref else 'FAIL'} (limit 3x)")
    return out



def splice_markdown(old: str, blocks: Dict[str, str]) -> str:
    """The document with each named block replaced between its markers, or
    appended when it has none yet; text outside the markers (sections other
    benches or people wrote) is kept as it is."""
    text = old
    for name, body in blocks.items():
        begin = f"<!-- begin bench/compare.py {name} -->"
        end = f"<!-- end bench/compare.py {name} -->"
        block = f"{begin}\n{body.strip()}\n{end}"
        i = text.find(begin)
        j = text.find(end, i + len(begin)) if i >= 0 else -1
        if i >= 0 and j >= 0:
            text = text[:i] + block + text[j + len(end):]
        else:
            text = (text.rstrip("\n") + "\n\n" if text.strip() else "") + block
    return text.rstrip("\n") + "\n"


def write_markdown(path: str, blocks: Dict[str, str]) -> None:
    old = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
    with open(path + ".tmp", "w") as f:
        f.write(splice_markdown(old, blocks))
    os.replace(path + ".tmp", path)
