"""``quillmere compress``: signal files to .qlm files."""
from __future__ import annotations

import sys
from pathlib import Path
from typing import Optional

from .._core import ToolError
from ..settings import Settings
from ..qlm.signal_files import COMPRESSED_SUFFIX, StatedBounds, encode_signal
from ..recordings import SIGNAL_SUFFIXES, bounded_input, for_path, read_signal, stdio
from ..recordings.atomic_write import write_bytes
from ..recordings.bounded_input import DEFAULT_MAX_INPUT, is_regular
from ..recordings.signal import OutputError
from ..settings import CODERS, DEFAULT_EFFORT, METHODS
from .file_jobs import FileResult, plan_outputs, run_batch
from .long_recordings import compress_source, long_source
from .messages import size_change_text


def settings_from_args(args) -> Settings:
    return Settings(method=args.method, scale=args.scale, cutoff=args.cutoff,
                    coder=None if args.coder == "auto" else args.coder,
                    quant_multiplier=args.quant_multiplier)


def _split(form) -> tuple[Optional[float], Optional[float]]:
    """(absolute, fraction of range) from an ``absolute_or_percent`` value."""
    if form is None:
        return None, None
    kind, value = form
    return (value, None) if kind == "abs" else (None, value)


def target_from_args(args) -> Optional[StatedBounds]:
    max_error, max_error_rel = _split(args.max_error)
    rmse, rmse_rel = _split(args.rmse)
    target = StatedBounds(max_error=max_error, max_error_rel=max_error_rel, rmse=rmse,
                    rmse_rel=rmse_rel, prd=args.prd, psnr=args.psnr,
                    bits_per_sample=args.bits_per_sample,
                    methods=list(METHODS) if args.search_methods else None,
                    coders=list(CODERS) if args.search_coders else None,
                    effort=args.effort)
    if not target:
        if args.search_methods or args.search_coders or args.effort != DEFAULT_EFFORT:
            raise ToolError("--search-methods/--search-coders/--effort need an error bound "
                            "(--max-error, --rmse, --prd, --psnr or --bits-per-sample)")
        return None
    if args.quant_multiplier is not None:
        raise ToolError("--quant-multiplier cannot be combined with an error bound")
    return target


def run_compress(args) -> int:
    settings = settings_from_args(args)
    target = target_from_args(args)
    inputs = [Path(p) for p in args.inputs]
    if args.input_format and not any(stdio.is_stdio(p) for p in inputs):
        raise ToolError("--input-format is for standard input ('-') only")
    outputs = plan_outputs(inputs, args, lambda p: p.name + COMPRESSED_SUFFIX)
    read_options = {"layout": args.layout, "time_column": args.time_column}

    def work(src: Path, dst: Path, mapper=map) -> FileResult:
        if dst.suffix.lower() in SIGNAL_SUFFIXES:
            raise OutputError(f"refusing to write compressed data to a {dst.suffix} file name")
        if stdio.is_stdio(src) or (src.exists() and not src.is_dir() and not is_regular(src)):
            # Standard input, a FIFO or a device: copied to a temporary file
            # (bounded by --max-input), which is then read like any other.
            if stdio.is_stdio(src):
                with bounded_input.spooled(stdio.stdin_stream(), "standard input",
                                           args.input_format,
                                           args.max_input or DEFAULT_MAX_INPUT) as (path, size):
                    return from_file(path, dst, size, mapper)
            # A FIFO or device is read in its suffix's format.
            with open(src, "rb") as stream, \
                    bounded_input.spooled(stream, str(src), for_path(src).name,
                                          args.max_input or DEFAULT_MAX_INPUT) as (path, size):
                return from_file(path, dst, size, mapper)
        return from_file(src, dst, None, mapper)

    def from_file(src: Path, dst: Path, size: Optional[int], mapper) -> FileResult:
        """Compress a regular file; ``size`` is the source's bytes when they
        came through a pipe."""
        source = long_source(src, args.block_length, **read_options)
        if source is not None:
            with source:
                done = compress_source(source, dst, settings, target, args.block_length,
                                       args.force)
            return _result(size or done.source_bytes, done.size, done.used, done.lengths)
        signal = read_signal(src, **read_options)
        source_size = size or signal.source_bytes or src.stat().st_size
        blob, used = encode_signal(signal, settings, target, mapper=mapper,
                                   block_length=args.block_length)
        if stdio.is_stdio(dst):
            sys.stdout.buffer.write(blob)
            sys.stdout.buffer.flush()
        else:
            write_bytes(dst, blob, force=args.force)
        return _result(source_size, len(blob), used, signal.lengths)

    def _result(source_size: int, size: int, used, lengths) -> FileResult:
        note = ""
        if target:
            chosen = ", ".join("integer grid" if s.coder == "integer" else
                               f"{s.method}/{s.coder or 'cmodel'} m={s.quant_multiplier:.4g}"
                               for s in used)
            note = f" [{chosen}]"
        float32_bytes = 4 * sum(lengths)
        return FileResult(source_size, size,
                          f" ({size_change_text(source_size, size, float32_bytes)}){note}",
                          float32_bytes)

    return run_batch(inputs, outputs, work, quiet=args.quiet, verb="compressed",
                     debug=args.debug, jobs=args.jobs)
