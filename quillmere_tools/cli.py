"""The ``quillmere`` command: compress, decompress, info, bench, demo.

Every failure a user can cause ends in one line on stderr of the form
``quillmere: error: <what>: <why>`` and a non-zero exit status (1 for a
failed file or job, 2 for a bad command line); tracebacks are reserved for
``--debug``.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from pathlib import Path
from typing import Optional, Sequence

import numpy as np

from . import metrics
from ._core import CODERS, CUTOFFS, METHODS, SCALES, Settings, ToolError, as_signal, compress, decompress
from .files import Target, decode_signal, describe, encode_signal
from . import formats, parallel, stdio
from .formats import SIGNAL_SUFFIXES
from .io import COMPRESSED_SUFFIX, InputError, OutputError, read_signal, write_bytes, write_signal

PROG = "quillmere"
_DEBUG = False


# ------------------------------------------------------------------ helpers

def _err(msg: str) -> None:
    print(f"{PROG}: error: {msg}", file=sys.stderr)


def _human(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000.0
    return f"{n:.1f} GB"  # pragma: no cover


def _ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}x" if b else "-"


def _positive_float(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (v > 0 and math.isfinite(v)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return v


def _max_error(text: str) -> tuple[str, float]:
    """``0.01`` is an absolute bound; ``0.1%`` a fraction of each channel's range."""
    if text.endswith("%"):
        return ("rel", _positive_float(text[:-1]) / 100.0)
    return ("abs", _positive_float(text))


def _csv_list(choices: Sequence, conv=str):
    def parse(text: str):
        items = [conv(t.strip()) for t in text.split(",") if t.strip()]
        bad = [i for i in items if i not in choices]
        if bad or not items:
            raise argparse.ArgumentTypeError(
                f"invalid choice {', '.join(map(str, bad)) or '(empty)'}; "
                f"choose from {', '.join(map(str, choices))}")
        return items
    return parse


def _int_list(text: str) -> list[int]:
    try:
        items = [int(t) for t in text.split(",") if t.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated integers, got {text!r}") from None
    if not items or any(i < 1 for i in items):
        raise argparse.ArgumentTypeError(f"expected positive integers, got {text!r}")
    return items


def _add_codec_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("compression options")
    g.add_argument("--method", choices=METHODS, default="cdf97", help="wavelet (default: cdf97)")
    g.add_argument("--scale", type=int, choices=SCALES, default=11, metavar="{6..12}",
                   help="quantisation scale: multiplier 2**scale and dead-zone row (default: 11)")
    g.add_argument("--cutoff", choices=CUTOFFS, default="low", help="dead-zone strength (default: low)")
    g.add_argument("--coder", choices=("auto",) + CODERS, default="auto",
                   help="entropy coder (default: auto, i.e. cmodel)")
    g.add_argument("--quant-multiplier", type=_positive_float, metavar="M",
                   help="explicit quantisation multiplier (overrides 2**scale)")
    t = p.add_argument_group("error targets (the cheapest multiplier meeting all given bounds, "
                             "verified by decoding)")
    t.add_argument("--max-error", type=_max_error, metavar="E",
                   help="maximum absolute error; with a trailing %% a percentage of each "
                        "channel's range, e.g. 0.1%%")
    t.add_argument("--rmse", type=_positive_float, metavar="R", help="maximum RMSE")
    t.add_argument("--prd", type=_positive_float, metavar="P",
                   help="maximum PRD in percent, 100*||x-y||/||x||")
    t.add_argument("--search-methods", action="store_true",
                   help="also try every wavelet and keep the smallest result")
    t.add_argument("--search-coders", action="store_true",
                   help="also try every coder and keep the smallest result")


def _settings(a) -> Settings:
    return Settings(method=a.method, scale=a.scale, cutoff=a.cutoff,
                    coder=None if a.coder == "auto" else a.coder,
                    quant_multiplier=a.quant_multiplier)


def _target(a) -> Optional[Target]:
    t = Target(rmse=a.rmse, prd=a.prd,
               methods=list(METHODS) if a.search_methods else None,
               coders=list(CODERS) if a.search_coders else None)
    if a.max_error:
        kind, v = a.max_error
        if kind == "abs":
            t.max_error = v
        else:
            t.max_error_rel = v
    if not t:
        if a.search_methods or a.search_coders:
            raise ToolError("--search-methods/--search-coders need an error target "
                            "(--max-error, --rmse or --prd)")
        return None
    if a.quant_multiplier is not None:
        raise ToolError("--quant-multiplier cannot be combined with an error target")
    return t


def _progress(total: float, quiet: bool):
    """One bar over the whole batch, in bytes of input; and how to print
    beside it."""
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience, not a requirement
        return None, print
    # disable=None shows the bar only on a terminal, keeping logs and pipes clean.
    bar = tqdm(total=total, unit="B", unit_scale=True, disable=True if quiet else None,
               leave=False, dynamic_ncols=True, file=sys.stderr)
    return bar, lambda msg, file=sys.stdout: tqdm.write(msg, file=file)


def _plan_outputs(inputs: list[Path], a, name_for) -> list[Path]:
    if a.output and len(inputs) > 1:
        raise ToolError("-o/--output names one file; use --output-dir with several inputs")
    if a.output and a.output_dir:
        raise ToolError("give either -o/--output or --output-dir, not both")
    outs = []
    if sum(stdio.is_stdio(p) for p in inputs) > 1:
        raise ToolError("standard input ('-') can be read only once")
    for p in inputs:
        if a.output:
            outs.append(Path(a.output))
        elif stdio.is_stdio(p) and not a.output_dir:
            outs.append(Path(stdio.STDIO))
        else:
            name = name_for(p)
            outs.append(Path(a.output_dir) / name if a.output_dir else p.with_name(name))
    seen = {}
    for i, o in zip(inputs, outs):
        key = str(o) if stdio.is_stdio(o) else os.path.abspath(o)
        if key in seen:
            raise ToolError(f"{seen[key]} and {i} would both be written to {o}")
        seen[key] = i
    return outs


def _failure(src, exc: BaseException) -> str:
    if isinstance(exc, (ToolError, ValueError)):
        why = str(exc)
    elif isinstance(exc, OSError):
        why = (exc.strerror or str(exc)).lower()
    elif isinstance(exc, MemoryError):
        why = "out of memory"
    else:
        why = f"unexpected {type(exc).__name__}: {exc}"
    return f"{PROG}: error: {src}: {why}"


def _run_files(inputs, outputs, work, a, verb) -> int:
    """``work(src, dst, mapper)`` for every pair, ``a.jobs`` at a time; one
    line per file in input order, one line per failed file, and the batch
    goes on. With data on standard output, everything else goes to stderr."""
    quiet = a.quiet
    log = sys.stderr if any(str(o) == stdio.STDIO for o in outputs) else sys.stdout
    t0 = time.perf_counter()
    total_in = total_out = 0
    done = failed = 0
    weights = [stdio.size_hint(src) for src in inputs]
    with parallel.Workers(a.jobs) as workers:
        bar, say = _progress(sum(weights), quiet)

        def attempt(item):
            (src, dst), weight = item
            seen = [0.0]

            def advance(share: float) -> None:
                seen[0] += share * weight
                if bar is not None:
                    bar.update(share * weight)
            try:
                result = work(src, dst, workers.mapper(advance))
            except Exception as exc:
                # One file's surprise must not cost the user the rest of the batch.
                if _DEBUG and not isinstance(exc, (ToolError, ValueError, OSError)):
                    raise
                result = exc
            if bar is not None and weight > seen[0]:
                bar.update(weight - seen[0])
            return src, dst, result

        for src, dst, result in workers.each(attempt, list(zip(zip(inputs, outputs), weights))):
            if isinstance(result, BaseException):
                failed += 1
                say(_failure(src, result), file=sys.stderr)
                continue
            n_in, n_out, note = result
            done += 1
            total_in += n_in
            total_out += n_out
            if not quiet:
                say(f"{src} -> {dst}: {_human(n_in)} -> {_human(n_out)}{note}", file=log)
        if bar is not None:
            bar.close()
    dt = time.perf_counter() - t0
    files = "file" if done == 1 else "files"
    line = f"{verb} {done} {files}: {_human(total_in)} -> {_human(total_out)}"
    if verb == "compressed" and total_out:
        line += f" ({_ratio(total_in, total_out)})"
    line += f" in {dt:.2f} s"
    if failed:
        line += f"; {failed} failed"
    print(line, file=log)
    return 1 if failed else 0


# ------------------------------------------------------------------ compress

def _read_options(a) -> dict:
    return {"layout": a.layout, "time_column": a.time_column}


def cmd_compress(a) -> int:
    settings = _settings(a)
    target = _target(a)
    inputs = [Path(p) for p in a.inputs]
    if a.input_format and not any(stdio.is_stdio(p) for p in inputs):
        raise ToolError("--input-format is for standard input ('-') only")
    outputs = _plan_outputs(inputs, a, lambda p: p.name + COMPRESSED_SUFFIX)

    def work(src: Path, dst: Path, mapper):
        if stdio.is_stdio(src):
            sig, n_in = stdio.read_signal_stdin(a.input_format, **_read_options(a))
        else:
            sig = read_signal(src, **_read_options(a))
            n_in = sig.source_bytes or src.stat().st_size
        if dst.suffix.lower() in SIGNAL_SUFFIXES:
            raise OutputError(f"refusing to write compressed data to a {dst.suffix} file name")
        blob, used = encode_signal(sig, settings, target, mapper=mapper)
        if stdio.is_stdio(dst):
            sys.stdout.buffer.write(blob)
            sys.stdout.buffer.flush()
        else:
            write_bytes(dst, blob, force=a.force)
        note = ""
        if target:
            mults = ", ".join(f"{s.method}/{s.coder or 'cmodel'} m={s.quant_multiplier:.4g}" for s in used)
            note = f" [{mults}]"
        return n_in, len(blob), f" ({_ratio(n_in, len(blob))}){note}"

    return _run_files(inputs, outputs, work, a, "compressed")


# ---------------------------------------------------------------- decompress

def _decompressed_name(p: Path, fmt: Optional[str]) -> str:
    name = p.name
    if name.lower().endswith(COMPRESSED_SUFFIX):
        name = name[: -len(COMPRESSED_SUFFIX)]
    stem, suffix = os.path.splitext(name)
    if fmt:
        return (stem if suffix.lower() in SIGNAL_SUFFIXES else name) + formats.by_name(fmt).suffixes[0]
    if suffix.lower() in SIGNAL_SUFFIXES and name != p.name:
        return name
    return name + ".npy"


def cmd_decompress(a) -> int:
    from .formats.output import write_recording

    inputs = [Path(p) for p in a.inputs]
    outputs = _plan_outputs(inputs, a, lambda p: _decompressed_name(p, a.format))

    def work(src: Path, dst: Path, mapper):
        try:
            blob = stdio.read_stdin_bytes() if stdio.is_stdio(src) else src.read_bytes()
        except OSError as exc:
            raise InputError(exc.strerror.lower() if exc.strerror else str(exc)) from None
        sig = decode_signal(blob, mapper=mapper)
        if a.samplerate:
            sig.meta["samplerate"] = a.samplerate
        if stdio.is_stdio(dst):
            fmt = formats.by_name(a.format) if a.format else None
            write_recording(dst, sig, force=a.force, fmt=fmt)
            return len(blob), 0, ""
        written = write_recording(dst, sig, force=a.force)
        return len(blob), sum(p.stat().st_size for p in written), ""

    return _run_files(inputs, outputs, work, a, "decompressed")


# ---------------------------------------------------------------------- info

_INFO_FIELDS = ["magic", "version", "format_tag", "method_tag", "levels", "scale", "coder_id",
                "sample_count", "min", "max", "mean", "payload_len", "multiplier"]


def _fmt_field(key, h):
    v = h[key]
    if key == "method_tag":
        return f"{v} ({h['method']})"
    if key == "coder_id":
        return f"{v} ({h['coder']})"
    if isinstance(v, float):
        return f"{v:.9g}"
    return str(v)


def cmd_info(a) -> int:
    failed = 0
    reports = []
    for name in a.files:
        try:
            try:
                blob = Path(name).read_bytes()
            except OSError as exc:
                raise InputError(exc.strerror.lower() if exc.strerror else str(exc)) from None
            d = describe(blob)
        except (ToolError, ValueError) as exc:
            _err(f"{name}: {exc}")
            failed += 1
            continue
        d = {"file": name, **d}
        samples = sum(h["sample_count"] for h in d["containers"])
        d["ratio"] = 4 * samples / d["size"] if d["size"] else None
        reports.append(d)
    if a.json:
        if reports:
            print(json.dumps(reports[0] if len(a.files) == 1 else reports, indent=2))
    else:
        for d in reports:
            print(_info_text(d))
    return 1 if failed else 0


def _info_text(d) -> str:
    hs = d["containers"]
    lines = [f"{d['file']}: {_human(d['size'])}, {len(hs)} channel{'s' if len(hs) > 1 else ''}, "
             f"ratio {d['ratio']:.2f}x vs float32"]
    meta = d["metadata"]
    if meta:
        src = ", ".join(f"{k}={meta[k]}" for k in sorted(meta) if k not in ("v",))
        lines.append(f"source: {src}")
    heads = ["field"] + ([f"channel {i}" for i in range(len(hs))] if len(hs) > 1 else ["value"])
    rows = [[k] + [_fmt_field(k, h) for h in hs] for k in _INFO_FIELDS]
    widths = [max(len(r[i]) for r in rows + [heads]) for i in range(len(heads))]
    for r in [heads] + rows:
        lines.append("  " + "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    return "\n".join(lines)


# --------------------------------------------------------------------- bench

def _load_one(path: Optional[str], channel: int) -> tuple[np.ndarray, str, Optional[int]]:
    """(samples, label, sample rate or None) of one channel of a file, or of
    the built-in ECG when no file is given."""
    if path is None:
        from .demo import DEMO_RATE, ecg
        return ecg(), "built-in ECG (30 s at 360 Hz)", DEMO_RATE
    sig = read_signal(path)
    if not 0 <= channel < sig.channels:
        raise ToolError(f"{path}: no channel {channel} (the file has {sig.channels})")
    label = f"{path}" + (f" channel {channel}" if sig.channels > 1 else "")
    return np.ascontiguousarray(sig.channel(channel)), label, _channel_rate(sig, channel)


def _channel_rate(sig, channel: int):
    info = sig.meta.get("channel_info")
    if isinstance(info, list) and channel < len(info) and info[channel].get("samplerate"):
        return info[channel]["samplerate"]
    return sig.meta.get("samplerate")


def cmd_bench(a) -> int:
    from . import bench

    x, label, _ = _load_one(a.input, a.channel)
    x = as_signal(x)
    if a.plot:
        _check_png_target(a.plot, a.force)
    total = len(a.methods) * len(a.coders) * len(a.scales)
    try:
        from tqdm import tqdm
        bar = tqdm(total=total, unit="setting", disable=None, leave=False, file=sys.stderr)
    except ImportError:
        bar = None
    rows = bench.sweep(x, a.methods, a.coders, a.scales, a.cutoff, a.repeat, progress=bar)
    if bar is not None:
        bar.close()
    scale_rows = []
    if a.workers:
        from .scaleout import throughput
        scale_rows = throughput(x, a.workers, n=a.dask_samples, chunk=a.dask_chunk,
                                repeat=a.repeat)
    if a.json:
        print(json.dumps({"input": label, "samples": int(x.size), "rows": rows,
                          "dask": scale_rows}, indent=2))
    else:
        print(f"{label}: {x.size} samples, cutoff {a.cutoff}; ratio and MB/s against float32; "
              f"speeds are the best of {a.repeat}")
        print(bench.format_table(rows))
        if scale_rows:
            print()
            print(_dask_text(scale_rows))
    if a.plot:
        from .plotting import rate_distortion_png
        from .io import atomic_write
        png = rate_distortion_png(rows, f"Quillmere rate-distortion: {label}")
        atomic_write(a.plot, lambda f: f.write(png), force=a.force)
        if not a.json:
            print(f"rate-distortion plot written to {a.plot}")
    return 0


def _dask_text(rows) -> str:
    r0 = rows[0]
    out = [f"Dask LocalCluster, {r0['samples']:,} samples in chunks of {r0['chunk']:,} "
           f"(compress+write and read+decompress, MB/s against float32, best of "
           f"{r0['repeat']}):"]
    for r in rows:
        out.append(f"  {r['workers']} worker{'s' if r['workers'] > 1 else ' '}: "
                   f"write {r['write_mb_s']:7.1f} MB/s (x{r['write_mb_s'] / r0['write_mb_s']:.2f})  "
                   f"read {r['read_mb_s']:7.1f} MB/s (x{r['read_mb_s'] / r0['read_mb_s']:.2f})  "
                   f"stored {_human(r['stored_bytes'])}  max error {r['max_error']:.2e}")
    return "\n".join(out)


def _check_png_target(path: str, force: bool) -> None:
    p = Path(path)
    if p.suffix.lower() != ".png":
        raise ToolError(f"{path}: the plot is written as PNG; use a .png file name")
    parent = p.parent if str(p.parent) else Path(".")
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    if p.exists() and not force:
        raise OutputError(f"{path} already exists (use --force to overwrite)")


# ---------------------------------------------------------------------- demo

def cmd_demo(a) -> int:
    from .io import atomic_write
    from .plotting import demo_png
    from .targets import compress_to_target

    x, label, rate = _load_one(a.input, 0)
    if a.input is None:
        label = "built-in ECG (30 s at 360 Hz, millivolts)"
    # Files without a rate are plotted against the sample index.
    rate = rate or 1
    _check_png_target(a.out, True)
    x = as_signal(x)
    cases = []
    default = Settings()
    cases.append(("default (cdf97, scale 11, cmodel)", compress(x, default)))
    small = Settings(method="sym4", scale=8, cutoff="high", coder="arans")
    cases.append(("compact (sym4, scale 8, high cutoff, arans)", compress(x, small)))
    bound = 0.005 * metrics.signal_range(x)
    res = compress_to_target(x, max_error=bound, settings=default)
    cases.append((f"target max error 0.5% of range (m={res.settings.quant_multiplier:.4g})",
                  res.container))

    rows = []
    recons = []
    for name, c in cases:
        y = decompress(c)
        m = metrics.summary(x, y)
        rows.append((name, len(c), 4 * x.size / len(c), 8 * len(c) / x.size,
                     m["max_error_rel"], m["rmse_rel"], m["prd"], m["psnr"]))
        recons.append((name.split(" (")[0] if "(" in name else name, y))
    print(f"{label}: {x.size} samples, {_human(4 * x.size)} as float32")
    head = ("setting", "bytes", "ratio", "bits/smp", "maxerr/range", "RMSE/range", "PRD %", "PSNR dB")
    body = [(r[0], str(r[1]), f"{r[2]:.2f}", f"{r[3]:.3f}", f"{r[4]:.2e}", f"{r[5]:.2e}",
             f"{r[6]:.3f}", f"{r[7]:.1f}") for r in rows]
    w = [max(len(h), *(len(b[i]) for b in body)) for i, h in enumerate(head)]
    for i, r in enumerate([head, tuple("-" * n for n in w)] + body):
        print("  ".join(c.ljust(w[j]) if j == 0 else c.rjust(w[j]) for j, c in enumerate(r)))
    t = np.arange(x.size) / rate
    dur = x.size / rate
    start = min(2.0, dur * 0.1)
    # About two heartbeats of the built-in ECG, so the detail stays visible.
    window = (start, min(start + 1.5 if a.input is None else start + dur * 0.05, dur))
    png = demo_png(t, x, recons, window)
    atomic_write(a.out, lambda f: f.write(png), force=True)
    print(f"figure (original, reconstructions, errors) written to {a.out}")
    return 0


# ------------------------------------------------------------------- parser

def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quillmere")
    except PackageNotFoundError:
        return "(not installed)"


def _jobs(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of workers, got {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {n}")
    return n


def _add_jobs(p: argparse.ArgumentParser) -> None:
    p.add_argument("-j", "--jobs", type=_jobs, default=parallel.default_jobs(), metavar="N",
                   help="files and channels coded in parallel (default: the number of cores, "
                        f"{parallel.default_jobs()} here); the output bytes do not depend on it")


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Lossy wavelet compression of sampled signals: .npy, .csv, WAV, FLAC, OGG, "
                    "AIFF, EDF/BDF and WFDB recordings.")
    p.add_argument("--debug", action="store_true", help="show tracebacks for unexpected errors")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)

    c = sub.add_parser("compress", help="compress signal files to .qlm",
                       description="Compress signal files (every channel, each with its own "
                                   "rate, label, unit and range); each input X is written to "
                                   "X.qlm. '-' reads standard input and writes standard output.")
    c.add_argument("inputs", nargs="+", metavar="FILE")
    _add_jobs(c)
    c.add_argument("--layout", choices=("columns", "rows"), default="columns",
                   help="channels of a 2-D .npy array are its columns (default) or its rows")
    c.add_argument("--time-column", metavar="NAME", default="auto",
                   help="CSV column holding time (stored as the sample rate): a header name, "
                        "'auto' (default: a first column named like time) or 'none'")
    c.add_argument("--input-format", choices=formats.NAMES,
                   help="format of standard input (default: recognised from its first bytes)")
    c.add_argument("-o", "--output", help="output file (one input only)")
    c.add_argument("--output-dir", help="write outputs into this existing folder")
    c.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs")
    c.add_argument("-q", "--quiet", action="store_true", help="only errors and the summary line")
    _add_codec_options(c)
    c.set_defaults(func=cmd_compress)

    d = sub.add_parser("decompress", help="restore .qlm files",
                       description="Decompress .qlm files back to the format they came from "
                                   "(X.edf.qlm -> X.edf, with its metadata), or to --format. "
                                   "'-' reads standard input and writes standard output.")
    d.add_argument("inputs", nargs="+", metavar="FILE")
    _add_jobs(d)
    d.add_argument("-o", "--output", help="output file (one input only); its suffix picks the format")
    d.add_argument("--output-dir", help="write outputs into this existing folder")
    d.add_argument("--format", choices=formats.NAMES,
                   help="output format (default: the source's; '-' as output then writes it "
                        "to standard output)")
    d.add_argument("--samplerate", type=int, metavar="HZ",
                   help="sample rate for audio or EDF output (default: the source's)")
    d.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs")
    d.add_argument("-q", "--quiet", action="store_true", help="only errors and the summary line")
    d.set_defaults(func=cmd_decompress)

    i = sub.add_parser("info", help="show container headers",
                       description="Show the header fields of each container in a file.")
    i.add_argument("files", nargs="+", metavar="FILE")
    i.add_argument("--json", action="store_true", help="machine-readable output")
    i.set_defaults(func=cmd_info)

    b = sub.add_parser("bench", help="rate-distortion and speed table",
                       description="Compress one signal with every wavelet x coder x scale "
                                   "and tabulate ratio, error and speed.")
    b.add_argument("input", nargs="?", help="signal file (default: the built-in ECG)")
    b.add_argument("--channel", type=int, default=0, help="channel of a multi-channel file")
    b.add_argument("--methods", type=_csv_list(METHODS), default=list(METHODS),
                   help="comma-separated wavelets (default: all)")
    b.add_argument("--coders", type=_csv_list(CODERS), default=list(CODERS),
                   help="comma-separated coders (default: all)")
    b.add_argument("--scales", type=_csv_list(SCALES, int), default=list(SCALES),
                   help="comma-separated scales (default: 6..12)")
    b.add_argument("--cutoff", choices=CUTOFFS, default="low")
    b.add_argument("--repeat", type=int, default=3, help="timing runs per setting (best counts)")
    b.add_argument("--plot", metavar="FILE.png", help="draw rate-distortion curves")
    b.add_argument("-f", "--force", action="store_true", help="overwrite an existing plot")
    b.add_argument("--json", action="store_true", help="machine-readable output")
    b.add_argument("--workers", type=_int_list, metavar="N[,N...]",
                   help="also measure Dask scale-out throughput with these worker counts, e.g. 1,2")
    b.add_argument("--dask-samples", type=int, default=10_000_000,
                   help="signal length for the Dask measurement (input repeated; default 10^7)")
    b.add_argument("--dask-chunk", type=int, default=1_000_000, help="chunk length for Dask")
    b.set_defaults(func=cmd_bench)

    m = sub.add_parser("demo", help="compress a built-in ECG three ways and plot it",
                       description="Compress the built-in synthetic ECG with the default and "
                                   "two other settings, print a table and draw a figure.")
    m.add_argument("--out", default="quillmere-demo.png",
                   help="figure to write (default: quillmere-demo.png, replaced on each run)")
    m.add_argument("--input", help="use this signal file instead of the built-in ECG")
    m.set_defaults(func=cmd_demo)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    a = parser.parse_args(argv)
    global _DEBUG
    _DEBUG = a.debug
    try:
        return a.func(a)
    except (ToolError, ValueError, OSError) as exc:
        if a.debug:
            raise
        _err(str(exc) if not isinstance(exc, OSError) or not exc.strerror
             else f"{exc.filename or ''}: {exc.strerror.lower()}".lstrip(": "))
        return 1
    except KeyboardInterrupt:
        _err("interrupted")
        return 130
    except Exception as exc:  # last resort: one line, never a traceback
        if a.debug:
            raise
        _err(f"unexpected {type(exc).__name__}: {exc} (rerun with --debug for details)")
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
