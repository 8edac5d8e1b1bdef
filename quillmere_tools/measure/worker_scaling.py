"""How the command line scales with workers: a batch of files compressed and
decompressed by ``quillmere compress/decompress -j N`` itself, wall-clock,
for each worker count, with the rounds interleaved so that a change in the
machine's load hits every count alike."""
from __future__ import annotations

import contextlib
import io
import statistics
import tempfile
import time
from pathlib import Path
from typing import Callable

import numpy as np

# The command line run in this process: arguments in, exit status out.
Command = Callable[[list[str]], int]


def _run(command: Command, argv: list[str]) -> float:
    started = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        status = command(argv)
    if status != 0:
        raise RuntimeError(f"quillmere {' '.join(argv[:3])} failed with status {status}")
    return time.perf_counter() - started


def measure(command: Command, x: np.ndarray, jobs: list[int], files: int = 8, samples: int = 500_000,
            repeat: int = 3) -> list[dict]:
    """One row per worker count: median compress and decompress seconds, MB/s
    of float32 input, and whether the compressed bytes equal the first count's.
    ``command`` is the command line's entry point (argv in, exit status out),
    handed in by the command that measures it."""
    x = np.asarray(x, dtype=np.float32)
    signal = np.resize(x, samples)
    timings: dict[int, dict[str, list[float]]] = {j: {"compress": [], "decompress": []} for j in jobs}
    outputs: dict[int, list[bytes]] = {}
    with tempfile.TemporaryDirectory(prefix="quillmere-batch-") as tmp:
        root = Path(tmp)
        names = []
        for i in range(files):
            # Each file its own signal (a shifted copy), as a real batch would be.
            np.save(root / f"in{i}.npy", np.roll(signal, i * 997))
            names.append(str(root / f"in{i}.npy"))
        for _ in range(repeat):
            for j in jobs:
                packed = root / f"qlm{j}"
                restored = root / f"out{j}"
                packed.mkdir(exist_ok=True)
                restored.mkdir(exist_ok=True)
                timings[j]["compress"].append(_run(
                    command, ["compress", "-q", "-f", "-j", str(j), "--output-dir", str(packed), *names]))
                qlm = [str(packed / (Path(n).name + ".qlm")) for n in names]
                timings[j]["decompress"].append(_run(
                    command, ["decompress", "-q", "-f", "-j", str(j), "--output-dir", str(restored), *qlm]))
                outputs[j] = [Path(q).read_bytes() for q in qlm]
    mb = files * samples * 4 / 1e6
    rows = []
    for j in jobs:
        c = statistics.median(timings[j]["compress"])
        d = statistics.median(timings[j]["decompress"])
        rows.append({"workers": j, "files": files, "samples": samples, "repeat": repeat,
                     "compress_s": c, "decompress_s": d, "compress_mb_s": mb / c,
                     "decompress_mb_s": mb / d, "same_bytes": outputs[j] == outputs[jobs[0]]})
    return rows


def format_rows(rows: list[dict]) -> str:
    first = rows[0]
    out = [f"Batch of {first['files']} files x {first['samples']:,} samples through quillmere "
           f"compress/decompress -j N (wall-clock, median of {first['repeat']}; MB/s of float32):"]
    for r in rows:
        out.append(f"  {r['workers']} worker{'s' if r['workers'] > 1 else ' '}: "
                   f"compress {r['compress_s']:6.2f} s {r['compress_mb_s']:7.1f} MB/s "
                   f"(x{first['compress_s'] / r['compress_s']:.2f})  "
                   f"decompress {r['decompress_s']:6.2f} s {r['decompress_mb_s']:7.1f} MB/s "
                   f"(x{first['decompress_s'] / r['decompress_s']:.2f})  "
                   f"same bytes: {'yes' if r['same_bytes'] else 'NO'}")
    return "\n".join(out)
