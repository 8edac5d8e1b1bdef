"""``quillmere demo``: one signal compressed three ways, a table and a figure."""
from __future__ import annotations

import numpy as np

from .. import metrics
from .._core import as_signal
from ..settings import Settings
from ..bounds import Bounds
from ..units.channel import decode_channel, encode_channel, encode_with_report, settings_of
from .messages import RATIO_BASIS, human_size
from .plot_target import check_png_target
from .signal_source import load_channel
from .table_layout import first_column_left


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
    cases.append((f"target max error 0.5% of range (m={settings_of(report).quant_multiplier:.4g})",
                  unit))
    return cases


def run_demo(args) -> int:
    from ..recordings.atomic_write import atomic_write
    from ..measure.plotting import demo_png

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
