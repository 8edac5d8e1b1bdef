"""``quillmere decompress``: .qlm files back to signal files."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Optional

from ..files import decode_units, decoded_bytes, read_index
from .. import formats, stdio
from ..formats import SIGNAL_SUFFIXES
from ..formats.output import write_recording
from ..io import COMPRESSED_SUFFIX, InputError, OutputError
from ..unit_file import MAX_EXPANSION, WORKING_BYTES_PER_SAMPLE
from .batch import FileResult, plan_outputs, run_batch
from .messages import human_size


def decompressed_name(path: Path, fmt: Optional[str]) -> str:
    """X.npy.qlm -> X.npy; with --format the suffix is replaced, and a name
    that says nothing of its origin gets .npy."""
    name = path.name
    if name.lower().endswith(COMPRESSED_SUFFIX):
        name = name[: -len(COMPRESSED_SUFFIX)]
    stem, suffix = os.path.splitext(name)
    if fmt:
        return ((stem if suffix.lower() in SIGNAL_SUFFIXES else name)
                + formats.by_name(fmt).suffixes[0])
    if suffix.lower() in SIGNAL_SUFFIXES and name != path.name:
        return name
    return name + ".npy"


def check_output_size(decoded: int, file_size: int, max_output: Optional[int],
                      force: bool) -> None:
    """Refuse, before anything is allocated, a signal larger than the limit."""
    if max_output is not None:
        if decoded > max_output:
            raise OutputError(f"the decoded signal would take {human_size(decoded)}, more than "
                              f"--max-output {human_size(max_output)}")
        return
    if not force and decoded > MAX_EXPANSION * file_size:
        raise OutputError(f"the decoded signal would take {human_size(decoded)}, more than "
                          f"{MAX_EXPANSION:,} times its {human_size(file_size)} file; give "
                          "--max-output SIZE or --force if that is expected")


def run_decompress(args) -> int:
    inputs = [Path(p) for p in args.inputs]
    outputs = plan_outputs(inputs, args, lambda p: decompressed_name(p, args.format))

    def work(src: Path, dst: Path, mapper=map) -> FileResult:
        try:
            blob = stdio.read_stdin_bytes() if stdio.is_stdio(src) else src.read_bytes()
        except OSError as exc:
            raise InputError(exc.strerror.lower() if exc.strerror else str(exc)) from None
        index = read_index(blob, allow_bare=args.bare)
        check_output_size(decoded_bytes(index, WORKING_BYTES_PER_SAMPLE), len(blob),
                          args.max_output, args.force)
        signal = decode_units(index, mapper)
        if args.samplerate:
            signal.meta["samplerate"] = args.samplerate
        if stdio.is_stdio(dst):
            write_recording(dst, signal, force=args.force,
                            fmt=formats.by_name(args.format) if args.format else None)
            return FileResult(len(blob), 0)
        written = write_recording(dst, signal, force=args.force)
        return FileResult(len(blob), sum(p.stat().st_size for p in written))

    return run_batch(inputs, outputs, work, quiet=args.quiet, verb="decompressed",
                     debug=args.debug, jobs=args.jobs)
