"""Decode speed of the tools' integer unit, and a digest of what it decodes.

    python bench/integer_decode_bench.py make DIR      # write the units once
    python bench/integer_decode_bench.py time DIR      # CPU time of decoding them
    python bench/integer_decode_bench.py digest DIR    # SHA-256 of every decoded signal
    python bench/integer_decode_bench.py make DIR --every   # all signals, more bounds
    python bench/integer_decode_bench.py make DIR --effort fast   # the fast effort's units

The units: each LibriVox signal at max_error 0.1 % of its range (a grid
rounded within the bound) and the same signal as int16 PCM at max_error
0.49 (its own integers, a step of one). ``make`` writes them once, so two
builds (before and after a change to the decoder) time and digest the same
bytes; run ``time`` alternately in both and compare medians.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import signals as bench_signals  # noqa: E402


def units_of(x: np.ndarray) -> dict[str, tuple[np.ndarray, float | str]]:
    pcm = np.round(x.astype(np.float64) * 32768.0).clip(-32768, 32767).astype(np.int16)
    return {"0.1%": (x, "0.1%"), "pcm-0.49": (pcm.astype(np.float32), 0.49)}


def every_unit(x: np.ndarray) -> dict[str, tuple[np.ndarray, float | str]]:
    out: dict[str, tuple[np.ndarray, float | str]] = units_of(x)
    for bound in ("0.01%", "0.03%", "1%"):
        out[bound] = (x, bound)
    return out


def make(folder: Path, every: bool, effort: str = "thorough") -> None:
    import quillmere_tools as qt

    folder.mkdir(parents=True, exist_ok=True)
    chosen = [s for s in bench_signals.all_signals() if not s.throughput_only] if every \
        else bench_signals.pocketsphinx_signals()
    for s in chosen:
        for tag, (x, bound) in (every_unit if every else units_of)(s.load()).items():
            unit = bytes(qt.compress_to_target(x, max_error=bound, threads=1, effort=effort).unit)
            name = f"{s.name.split('/')[-1]}_{tag}.unit"
            (folder / name).write_bytes(unit)
            print(f"{name}: {len(unit)} bytes, {x.size} samples")


def saved(folder: Path) -> list[Path]:
    return sorted(folder.glob("*.unit"))


def time_units(folder: Path, repeat: int) -> None:
    import quillmere_tools as qt

    for path in saved(folder):
        unit = path.read_bytes()
        y = qt.decompress(unit, threads=1)
        cpu = []
        for _ in range(repeat):
            t0 = time.thread_time()
            qt.decompress(unit, threads=1)
            cpu.append(time.thread_time() - t0)
        median = statistics.median(cpu)
        print(f"{path.stem:24s} {y.nbytes / median / 1e6:8.1f} MB/s  median {median * 1e3:7.3f} ms CPU")


def digest(folder: Path) -> None:
    import quillmere_tools as qt

    for path in saved(folder):
        y = qt.decompress(path.read_bytes(), threads=1)
        print(f"{path.stem:24s} {y.dtype} {hashlib.sha256(y.tobytes()).hexdigest()}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=["make", "time", "digest"])
    ap.add_argument("folder", type=Path)
    ap.add_argument("--repeat", type=int, default=21)
    ap.add_argument("--every", action="store_true",
                    help="make: every signal but the throughput-only one, at more bounds (for digests)")
    ap.add_argument("--effort", choices=["thorough", "fast"], default="thorough",
                    help="make: the effort the units are compressed at")
    a = ap.parse_args()
    if a.what == "make":
        make(a.folder, a.every, a.effort)
    elif a.what == "time":
        time_units(a.folder, a.repeat)
    else:
        digest(a.folder)


if __name__ == "__main__":
    main()
