"""Peak memory of the command line on one long recording.

    python bench/cli_memory.py [--samples N] [--folder DIR] [--check]
                               [--bound 0.1%] [--block-length N]

Writes a float32 .npy of --samples samples (5x10^8 by default: a
2x10^9-byte file) of a noisy sine with a slow drift into a temporary
folder under --folder, runs `quillmere compress` on it, plain and with
`--max-error BOUND`, and `quillmere decompress` on both results, each in a
process of its own, and prints each one's peak resident memory (the
process's own maximum, as `/usr/bin/time -v` reports it) and wall-clock
time. With --check, the .qlm files and the decompressed .npy files are
compared with those of the whole-signal path in this process (which needs
a few times the recording's size in memory). Everything is deleted at the
end.
"""
from __future__ import annotations

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

_CHILD = r"""
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def write_recording(path: Path, samples: int) -> None:
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(samples,))
    rng = np.random.default_rng(7)
    drift, step = 0.0, 10_000_000
    for at in range(0, samples, step):
        n = min(step, samples - at)
        walk = np.cumsum(rng.standard_normal(n)) * 0.0005 + drift
        drift = walk[-1]
        t = np.arange(at, at + n)
        out[at:at + n] = walk + np.sin(t * 0.001) + 0.02 * rng.standard_normal(n)
    out.flush()
    del out


def peak(args: list[str], cwd: Path) -> tuple[int, float]:
    """(peak resident bytes, wall-clock seconds) of one command."""
    started = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", _CHILD, *args], cwd=cwd, check=True,
                         capture_output=True, text=True)
    return int(out.stdout.split()[-1]), time.perf_counter() - started


def cli() -> list[str]:
    exe = shutil.which("quillmere", path=os.path.dirname(sys.executable))
    return [exe] if exe else [sys.executable, "-m", "quillmere_tools"]


def check(folder: Path, bound: str, block_length: int | None) -> None:
    from quillmere_tools.qlm.signal_files import StatedBounds, decode_signal, encode_signal
    from quillmere_tools.recordings import read_signal
    from quillmere_tools.recordings.writer import write_recording as write_whole
    from quillmere_tools.settings import Settings

    signal = read_signal(folder / "long.npy")
    fraction = float(bound.rstrip("%")) / 100.0
    for name, target in (("plain", None), ("bound", StatedBounds(max_error_rel=fraction))):
        blob, _ = encode_signal(signal, Settings(), target, block_length=block_length)
        same = (folder / f"{name}.qlm").read_bytes() == blob
        print(f"{name}: .qlm equal to the whole-signal path's: {same}")
    del signal
    for name in ("plain", "bound"):
        whole = folder / f"whole_{name}.npy"
        write_whole(whole, decode_signal((folder / f"{name}.qlm").read_bytes()))
        same = filecmp.cmp(folder / f"{name}.npy", whole, shallow=False)
        print(f"{name}: decompressed .npy equal to the whole-signal path's: {same}")
        whole.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=500_000_000)
    parser.add_argument("--folder", default=tempfile.gettempdir())
    parser.add_argument("--bound", default="0.1%")
    parser.add_argument("--block-length", type=int)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="quillmere-memory-", dir=args.folder))
    try:
        write_recording(folder / "long.npy", args.samples)
        size = (folder / "long.npy").stat().st_size
        block = ["--block-length", str(args.block_length)] if args.block_length else []
        runs = [
            ("compress", ["compress", "-q", "long.npy", "-o", "plain.qlm", *block]),
            (f"compress --max-error {args.bound}",
             ["compress", "-q", "long.npy", "-o", "bound.qlm", "--max-error", args.bound,
              *block]),
            ("decompress (plain)", ["decompress", "-q", "plain.qlm", "-o", "plain.npy"]),
            ("decompress (bound)", ["decompress", "-q", "bound.qlm", "-o", "bound.npy"]),
        ]
        print(f"{args.samples:,} float32 samples ({size / 1e9:.2f} GB), "
              f"{len(os.sched_getaffinity(0))} cores")
        for label, command in runs:
            rss, seconds = peak(cli() + command, folder)
            print(f"  {label:28s} peak {rss / 2**20:7.1f} MiB  {seconds:7.1f} s")
        if args.check:
            check(folder, args.bound, args.block_length)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
