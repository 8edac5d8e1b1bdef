"""Many inputs, one output each: naming the outputs and running the batch so
that one file's failure is reported and the rest still run."""
from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from . import workers as parallel
from ..recordings import stdio
from .._core import ToolError
from ..recordings.atomic_write import check_writable_folder
from ..recordings.output_placement import is_in_place
from .block_bar import block_bar
from .messages import PROG, human_size, size_change_text


@dataclass
class FileResult:
    bytes_in: int
    bytes_out: int
    note: str = ""
    # The samples at 4 bytes each, the basis of every printed ratio.
    float32_bytes: Optional[int] = None


def plan_outputs(inputs: list[Path], args, name_for: Callable[[Path], str]) -> list[Path]:
    """The output path of every input, refusing plans where two inputs would
    land on the same file."""
    if args.output and len(inputs) > 1:
        raise ToolError("-o/--output names one file; use --output-dir with several inputs")
    if args.output and args.output_dir:
        raise ToolError("give either -o/--output or --output-dir, not both")
    if sum(stdio.is_stdio(p) for p in inputs) > 1:
        raise ToolError("standard input ('-') can be read only once")
    outputs = []
    for source in inputs:
        if args.output:
            outputs.append(Path(args.output))
        elif stdio.is_stdio(source) and not args.output_dir:
            outputs.append(Path(stdio.STDIO))
        else:
            if not source.name or source.name == "..":
                # ".", "/" and ".." name folders, and no output name follows from them.
                raise ToolError(f"{source}: is a folder, not a file")
            name = name_for(source)
            outputs.append(Path(args.output_dir) / name if args.output_dir
                           else source.with_name(name))
    claimed_by = {}
    for source, target in zip(inputs, outputs):
        key = str(target) if stdio.is_stdio(target) else os.path.abspath(target)
        if key in claimed_by:
            raise ToolError(f"{claimed_by[key]} and {source} would both be written to {target}")
        claimed_by[key] = source
    # Every folder that will receive a file takes one now, before any work.
    # (A device or FIFO named as the output is written in place and needs none.)
    files = [t for t in outputs if not stdio.is_stdio(t) and not is_in_place(t)]
    for folder in sorted({os.path.dirname(os.path.abspath(t)) for t in files}):
        check_writable_folder(Path(folder) / "probe")
    return outputs


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


def run_batch(inputs, outputs, work, *, quiet: bool, verb: str, debug: bool, jobs: int = 1) -> int:
    """Call ``work(src, dst, mapper) -> FileResult`` for every pair, ``jobs``
    at a time: several files are spread over the workers whole, a single
    file's channels through ``mapper``. Print a line per file in input order
    and a summary; exit status 1 if any failed. With data on standard
    output, the lines go to standard error."""
    log = sys.stderr if any(stdio.is_stdio(o) for o in outputs) else sys.stdout
    started = time.perf_counter()
    total_in = total_out = total_float32 = 0
    done = failed = 0
    items = list(zip(inputs, outputs))
    whole_files = len(items) > 1

    def attempt(item, mapper=map):
        """('ok', FileResult) or ('failed', message): plain values, whatever
        went wrong and wherever it ran."""
        src, dst = item
        try:
            return "ok", work(src, dst, mapper)
        except Exception as exc:
            # One file's surprise must not cost the user the rest of the batch.
            if debug and not isinstance(exc, (ToolError, ValueError, OSError, MemoryError)):
                raise
            return "failed", _failure(src, exc)

    with parallel.Workers(jobs) as workers, block_bar(quiet) as say:
        def one_file(i):
            return attempt(items[i], map if whole_files else workers.mapper())

        results = workers.each(one_file, list(range(len(items)))) if whole_files \
            else [one_file(0)] if items else []
        for (src, dst), (status, value) in zip(items, results):
            if status == "failed":
                failed += 1
                say(value, file=sys.stderr)
                continue
            done += 1
            total_in += value.bytes_in
            total_out += value.bytes_out
            total_float32 += value.float32_bytes or 0
            if not quiet:
                say(f"{src} -> {dst}: {human_size(value.bytes_in)} -> "
                    f"{human_size(value.bytes_out)}{value.note}", file=log)
    elapsed = time.perf_counter() - started
    files = "file" if done == 1 else "files"
    line = f"{verb} {done} {files}: {human_size(total_in)} -> {human_size(total_out)}"
    if total_float32 and total_out:
        line += f" ({size_change_text(total_in, total_out, total_float32)})"
    line += f" in {elapsed:.2f} s"
    if failed:
        line += f"; {failed} failed"
    print(line, file=log)
    return 1 if failed else 0
