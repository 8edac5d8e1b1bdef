"""``quillmere decompress``: .qlm files back to signal files."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Optional

from ..files import decode_signal
from ..io import COMPRESSED_SUFFIX, SIGNAL_SUFFIXES, InputError, OutputError, write_signal
from .batch import plan_outputs, run_batch


def decompressed_name(path: Path, fmt: Optional[str]) -> str:
    """X.npy.qlm -> X.npy; with --format the suffix is replaced, and a name
    that says nothing of its origin gets .npy."""
    name = path.name
    if name.lower().endswith(COMPRESSED_SUFFIX):
        name = name[: -len(COMPRESSED_SUFFIX)]
    stem, suffix = os.path.splitext(name)
    if fmt:
        return (stem if suffix.lower() in SIGNAL_SUFFIXES else name) + "." + fmt
    if suffix.lower() in SIGNAL_SUFFIXES and name != path.name:
        return name
    return name + ".npy"


def run_decompress(args) -> int:
    inputs = [Path(p) for p in args.inputs]
    outputs = plan_outputs(inputs, args, lambda p: decompressed_name(p, args.format))

    def work(src: Path, dst: Path):
        try:
            blob = src.read_bytes()
        except OSError as exc:
            raise InputError(exc.strerror.lower() if exc.strerror else str(exc)) from None
        signal = decode_signal(blob)
        if args.samplerate:
            signal.meta["samplerate"] = args.samplerate
        elif dst.suffix.lower() == ".wav" and not signal.meta.get("samplerate"):
            raise OutputError("the source had no sample rate; give --samplerate for a WAV output")
        write_signal(dst, signal.samples, signal.meta, force=args.force)
        return len(blob), dst.stat().st_size, ""

    return run_batch(inputs, outputs, work, quiet=args.quiet, verb="decompressed",
                     debug=args.debug)
