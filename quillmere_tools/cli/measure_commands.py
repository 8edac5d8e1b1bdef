"""The two commands that measure: ``quillmere bench`` (a rate-distortion and
speed table over settings, optionally Dask scale-out throughput and a plot)
and ``quillmere demo`` (one signal compressed three ways, a table and a
figure), with the signal they load and the check on the figure's name."""
from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Optional

import numpy as np

from .. import metrics
from .._core import ToolError, as_signal, require
from ..bounds import Bounds
from ..recordings import read_signal
from ..recordings.atomic_write import check_writable_folder
from ..recordings.signal import OutputError, already_exists
from ..settings import Settings
from ..units.channel import decode_channel, encode_channel, encode_with_report, settings_of
from .messages import RATIO_BASIS, first_column_left, human_size


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
        from ..measure.sweep import rate_distortion_png
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


def zoom_window(duration: float, built_in: bool) -> tuple[float, float]:
    """The stretch of time the figure enlarges, in seconds."""
    start = min(2.0, duration * 0.1)
    # About two heartbeats of the built-in ECG, so the detail stays visible.
    length = 1.5 if built_in else duration * 0.05
    return start, min(start + length, duration)


def demo_cases(samples: np.ndarray) -> list[tuple[str, bytes]]:
    """(label, channel unit) for each setting shown."""
    default = Settings()
    cases = [("default (cdf97, scale 11, cmodel)", encode_channel(samples, default))]
    compact = Settings(method="sym4", scale=8, cutoff="high", coder="arans")
    cases.append(("compact (sym4, scale 8, high cutoff, arans)",
                  encode_channel(samples, compact)))
    bound = Bounds(max_error=0.005 * metrics.signal_range(samples))
    unit, report = encode_with_report(samples, default, bound)
    chosen = settings_of(report)
    # An integer unit has no multiplier: its report's multiplier is its grid step.
    how = (f"integer grid, step {report.quant_multiplier:.4g}" if chosen.coder == "integer"
           else f"m={chosen.quant_multiplier:.4g}")
    cases.append((f"target max error 0.5% of range ({how})", unit))
    return cases


def run_demo(args) -> int:
    from ..recordings.atomic_write import atomic_write
    from ..measure.sweep import demo_png

    check_png_target(args.out, True)
    samples, label, rate = load_channel(args.input, 0)
    if args.input is None:
        label = "built-in ECG (30 s at 360 Hz, millivolts)"
    # Files without a rate are plotted against the sample index.
    rate = rate or 1
    samples = as_signal(samples)

    rows = []
    reconstructions = []
    for name, container in demo_cases(samples):
        # The whole unit, corrections included: what a reader of the file gets.
        decoded = decode_channel(container)
        m = metrics.summary(samples, decoded)
        size = len(container)
        rows.append((name, str(size), f"{4 * samples.size / size:.2f}",
                     f"{8 * size / samples.size:.3f}", f"{m['max_error_rel']:.2e}",
                     f"{m['rmse_rel']:.2e}", f"{m['prd']:.3f}", f"{m['psnr']:.1f}"))
        reconstructions.append((name.split(" (")[0] if "(" in name else name, decoded))
    print(f"{label}: {samples.size} samples, {human_size(4 * samples.size)} as float32")
    head = ("setting", "bytes", f"ratio {RATIO_BASIS}", "bits/smp", "maxerr/range", "RMSE/range", "PRD %",
            "PSNR dB")
    for line in first_column_left(head, rows):
        print(line)
    times = np.arange(samples.size) / rate
    window = zoom_window(samples.size / rate, args.input is None)
    png = demo_png(times, samples, reconstructions, window)
    atomic_write(args.out, lambda f: f.write(png), force=True)
    print(f"figure (original, reconstructions, errors) written to {args.out}")
    return 0


def check_png_target(path: str, force: bool) -> None:
    """Checks on a figure's file name, made before the work that draws it: a
    bad name, a folder that cannot be written or a missing matplotlib should
    cost the user seconds, not the whole sweep."""
    target = Path(path)
    if target.suffix.lower() != ".png":
        raise ToolError(f"{path}: the plot is written as PNG; use a .png file name")
    if target.is_dir():
        raise OutputError(f"{path} is a folder")
    if target.exists() and not force:
        raise already_exists(path)
    check_writable_folder(target)
    require("matplotlib")


def load_channel(path: Optional[str], channel: int) -> tuple[np.ndarray, str, Optional[int]]:
    """(samples, label, sample rate or None) of one channel of a file, or of
    the built-in ECG when no file is given."""
    if path is None:
        from ..demo import DEMO_RATE, ecg
        return ecg(), "built-in ECG (30 s at 360 Hz)", DEMO_RATE
    try:
        signal = read_signal(path)
    except ToolError as exc:
        raise ToolError(f"{path}: {exc}") from None
    if not 0 <= channel < signal.channels:
        raise ToolError(f"{path}: no channel {channel} (the file has {signal.channels})")
    label = f"{path}" + (f" channel {channel}" if signal.channels > 1 else "")
    info = signal.meta.get("channel_info")
    rate = signal.meta.get("samplerate")
    if isinstance(info, list) and channel < len(info) and info[channel].get("samplerate"):
        rate = info[channel]["samplerate"]
    return np.ascontiguousarray(signal.channel(channel)), label, rate
