"""``quillmere decompress``: .qlm files back to signal files."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Optional

from .. import formats, stdio
from ..files import decode_signal
from ..formats import SIGNAL_SUFFIXES
from ..formats.output import write_recording
from ..io import COMPRESSED_SUFFIX, InputError
from .batch import plan_outputs, run_batch


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


def run_decompress(args) -> int:
    inputs = [Path(p) for p in args.inputs]
    outputs = plan_outputs(inputs, args, lambda p: decompressed_name(p, args.format))

    def work(src: Path, dst: Path, mapper):
        try:
            blob = stdio.read_stdin_bytes() if stdio.is_stdio(src) else src.read_bytes()
        except OSError as exc:
            raise InputError(exc.strerror.lower() if exc.strerror else str(exc)) from None
        signal = decode_signal(blob, mapper=mapper)
        if args.samplerate:
            signal.meta["samplerate"] = args.samplerate
        if stdio.is_stdio(dst):
            write_recording(dst, signal, force=args.force,
                            fmt=formats.by_name(args.format) if args.format else None)
            return len(blob), 0, ""
        written = write_recording(dst, signal, force=args.force)
        return len(blob), sum(p.stat().st_size for p in written), ""

    return run_batch(inputs, outputs, work, quiet=args.quiet, verb="decompressed",
                     debug=args.debug, jobs=args.jobs)
