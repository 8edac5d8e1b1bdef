"""Many inputs, one output each: naming the outputs and running the batch so
that one file's failure is reported and the rest still run."""
from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from .._core import ToolError
from ..io import check_writable_folder
from .messages import PROG, human_size, ratio_text


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
    outputs = []
    for source in inputs:
        if args.output:
            outputs.append(Path(args.output))
        else:
            name = name_for(source)
            outputs.append(Path(args.output_dir) / name if args.output_dir
                           else source.with_name(name))
    claimed_by = {}
    for source, target in zip(inputs, outputs):
        key = os.path.abspath(target)
        if key in claimed_by:
            raise ToolError(f"{claimed_by[key]} and {source} would both be written to {target}")
        claimed_by[key] = source
    # Every folder that will receive a file takes one now, before any work.
    for folder in sorted({os.path.dirname(os.path.abspath(t)) for t in outputs}):
        check_writable_folder(Path(folder) / "probe")
    return outputs


def progress_bar(items, quiet: bool, unit: str):
    """(iterable, say) where ``say`` prints without tearing the bar."""
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience, not a requirement
        return items, print
    # disable=None shows the bar only on a terminal, keeping logs and pipes clean.
    bar = tqdm(items, unit=unit, disable=True if quiet else None, leave=False,
               dynamic_ncols=True, file=sys.stderr)
    return bar, lambda msg, file=sys.stdout: tqdm.write(msg, file=file)


def run_batch(inputs, outputs, work, *, quiet: bool, verb: str, debug: bool) -> int:
    """Call ``work(src, dst) -> FileResult`` for every pair, print a line per
    file and a summary; exit status 1 if any failed."""
    started = time.perf_counter()
    total_in = total_out = total_float32 = 0
    done = failed = 0
    pairs, say = progress_bar(list(zip(inputs, outputs)), quiet, "file")
    for src, dst in pairs:
        try:
            result = work(src, dst)
        except (ToolError, ValueError) as exc:
            failed += 1
            say(f"{PROG}: error: {src}: {exc}", file=sys.stderr)
            continue
        except OSError as exc:
            failed += 1
            say(f"{PROG}: error: {src}: {(exc.strerror or str(exc)).lower()}", file=sys.stderr)
            continue
        except MemoryError:
            failed += 1
            say(f"{PROG}: error: {src}: out of memory", file=sys.stderr)
            continue
        except Exception as exc:
            # One file's surprise must not cost the user the rest of the batch.
            if debug:
                raise
            failed += 1
            say(f"{PROG}: error: {src}: unexpected {type(exc).__name__}: {exc}", file=sys.stderr)
            continue
        done += 1
        total_in += result.bytes_in
        total_out += result.bytes_out
        total_float32 += result.float32_bytes or 0
        if not quiet:
            say(f"{src} -> {dst}: {human_size(result.bytes_in)} -> "
                f"{human_size(result.bytes_out)}{result.note}")
    elapsed = time.perf_counter() - started
    files = "file" if done == 1 else "files"
    line = f"{verb} {done} {files}: {human_size(total_in)} -> {human_size(total_out)}"
    if total_float32 and total_out:
        line += f" ({ratio_text(total_float32, total_out)})"
    line += f" in {elapsed:.2f} s"
    if failed:
        line += f"; {failed} failed"
    print(line)
    return 1 if failed else 0
