"""``quillmere bench``: a rate-distortion and speed table over settings,
optionally Dask scale-out throughput and a plot."""
from __future__ import annotations

import json
import sys

from .._core import as_signal
from ..extras import require
from .messages import RATIO_BASIS, human_size
from .plot_target import check_png_target
from .signal_source import load_channel


def run_bench(args) -> int:
    from ..measure import sweep as bench

    if args.plot:
        check_png_target(args.plot, args.force)
    if args.workers:
        require("dask.distributed")
        require("zarr")
    samples, label, _ = load_channel(args.input, args.channel)
    samples = as_signal(samples)
    total = len(args.methods) * len(args.coders) * len(args.scales)
    try:
        from tqdm import tqdm
        bar = tqdm(total=total, unit="setting", disable=None, leave=False, file=sys.stderr)
    except ImportError:
        bar = None
    rows = bench.sweep(samples, args.methods, args.coders, args.scales, args.cutoff, args.repeat,
                       progress=bar)
    if bar is not None:
        bar.close()
    scale_rows = []
    if args.workers:
        from ..scaleout import throughput
        scale_rows = throughput(samples, args.workers, n=args.dask_samples,
                                chunk=args.dask_chunk, repeat=args.repeat)
    from ..measure.worker_scaling import format_rows, measure
    batch_rows = measure(args.run_command, samples, sorted({1, args.jobs}), files=args.batch_files,
                         samples=args.batch_samples, repeat=args.repeat)
    if args.json:
        print(json.dumps({"input": label, "samples": int(samples.size), "rows": rows,
                          "dask": scale_rows, "batch": batch_rows}, indent=2))
    else:
        print(f"{label}: {samples.size} samples, cutoff {args.cutoff}; ratio and MB/s "
              f"{RATIO_BASIS}; speeds are the best of {args.repeat}")
        print(bench.format_table(rows))
        if scale_rows:
            print()
            print(dask_text(scale_rows))
        print()
        print(format_rows(batch_rows))
    if args.plot:
        from ..recordings.atomic_write import atomic_write
        from ..measure.plotting import rate_distortion_png
        png = rate_distortion_png(rows, f"Quillmere rate-distortion: {label}")
        atomic_write(args.plot, lambda f: f.write(png), force=args.force)
        if not args.json:
            print(f"rate-distortion plot written to {args.plot}")
    return 0


def dask_text(rows) -> str:
    first = rows[0]
    out = [f"Dask LocalCluster, {first['samples']:,} samples in chunks of {first['chunk']:,} "
           f"(compress+write and read+decompress, MB/s against float32, best of "
           f"{first['repeat']}):"]
    for r in rows:
        out.append(f"  {r['workers']} worker{'s' if r['workers'] > 1 else ' '}: "
                   f"write {r['write_mb_s']:7.1f} MB/s (x{r['write_mb_s'] / first['write_mb_s']:.2f})  "
                   f"read {r['read_mb_s']:7.1f} MB/s (x{r['read_mb_s'] / first['read_mb_s']:.2f})  "
                   f"stored {human_size(r['stored_bytes'])}  max error {r['max_error']:.2e}")
    return "\n".join(out)
