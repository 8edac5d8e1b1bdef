"""``quillmere decompress``: .qlm files back to signal files."""
from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Optional

from ..qlm.signal_files import decode_range, decode_units, decoded_bytes, read_index
from .. import recordings as formats
from ..recordings import stdio
from ..recordings import SIGNAL_SUFFIXES
from ..recordings.bounded_input import DEFAULT_MAX_INPUT
from ..recordings.writer import recording_bytes, write_recording
from .._core import ToolError
from ..qlm.signal_files import COMPRESSED_SUFFIX
from ..recordings.signal import InputError, OutputError
from ..recordings.output_placement import placement, write_in_place
from ..qlm.index import MAX_EXPANSION, WORKING_BYTES_PER_SAMPLE, expansion_allowed
from .file_jobs import FileResult, plan_outputs, run_batch
from ..qlm.paged_input import PagedFile, open_paged, spooled_paged
from .long_recordings import write_streamed
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
    if not force and not expansion_allowed(decoded, file_size):
        raise OutputError(f"the decoded signal would take {human_size(decoded)}, more than "
                          f"{MAX_EXPANSION:,} times its {human_size(file_size)} file; give "
                          "--max-output SIZE or --force if that is expected")


def default_name_taken(src: Path, dst: Path) -> OutputError:
    """A name the user did not choose that is already taken is most often
    the recording the .qlm was made from: never replace it, even with
    --force, and say how to put the output elsewhere."""
    return OutputError(f"{dst} already exists (the original of {src.name}?) and is left alone; "
                       "name the output with -o FILE or put it in another folder with "
                       "--output-dir FOLDER")


def sample_range(index, start, stop) -> tuple[int, int]:
    """--start/--stop as sample indices; seconds need the file's rate."""
    counts = {h["sample_count"] for h in index.headers}
    if len(counts) != 1:
        raise ToolError("--start/--stop need channels of one length; this file's channels "
                        "have different lengths")
    count = counts.pop()
    rate = (index.metadata or {}).get("samplerate")

    def place(name, value, default):
        if value is None:
            return default
        kind, amount = value
        if kind == "seconds":
            if not rate:
                raise ToolError(f"--{name} {amount:g}s needs a sample rate, and this file "
                                "records none; give a sample index instead")
            amount = round(amount * rate)
        if amount > count:
            raise ToolError(f"--{name} is sample {int(amount)}, past the {count} samples "
                            "of the file")
        return int(amount)

    first, last = place("start", start, 0), place("stop", stop, count)
    if first > last:
        raise ToolError(f"--start (sample {first}) comes after --stop (sample {last})")
    return first, last


def run_decompress(args) -> int:
    inputs = [Path(p) for p in args.inputs]
    outputs = plan_outputs(inputs, args, lambda p: decompressed_name(p, args.format))
    named = bool(args.output or args.output_dir)
    fmt = formats.by_name(args.format) if args.format else None

    def work(src: Path, dst: Path, mapper=map) -> FileResult:
        if not named and not stdio.is_stdio(dst) and os.path.lexists(dst):
            raise default_name_taken(src, dst)
        # The file is read a part at a time, not whole: a long one is then
        # checked and decoded in parts. A pipe is copied to a temporary file first.
        limit = args.max_input or DEFAULT_MAX_INPUT
        if stdio.is_stdio(src):
            with spooled_paged(stdio.stdin_stream(), "standard input", limit) as spool:
                return decompress_one(dst, mapper, spool)
        paged = open_paged(src)
        if paged is None:
            try:
                with open(src, "rb") as stream, spooled_paged(stream, str(src), limit) as spool:
                    return decompress_one(dst, mapper, spool)
            except OSError as exc:
                raise InputError((exc.strerror or str(exc)).lower()) from None
        try:
            return decompress_one(dst, mapper, paged)
        finally:
            paged.close()

    def decompress_one(dst: Path, mapper, paged: PagedFile) -> FileResult:
        paged.fill_index()
        index = read_index(paged.view, allow_bare=args.bare, checksum=paged.crc32)
        size = paged.size
        whole = args.start is None and args.stop is None
        if whole:
            check_output_size(decoded_bytes(index, WORKING_BYTES_PER_SAMPLE), size,
                              args.max_output, args.force)
            counts = {h["sample_count"] for h in index.headers}
            first, last = 0, (counts.pop() if len(counts) == 1 else 0)
        else:
            first, last = sample_range(index, args.start, args.stop)
            check_output_size((last - first) * len(index.units) * WORKING_BYTES_PER_SAMPLE,
                              size, args.max_output, args.force)
        written = write_streamed(index, first, last, paged, dst, fmt,
                                 args.samplerate, args.force and named)
        if written is not None:
            return FileResult(size, written)
        # Decoded whole: every unit is read in.
        paged.fill(0, size)
        signal = decode_units(index, mapper) if whole else decode_range(index, first, last, mapper)
        if args.samplerate:
            signal.meta["samplerate"] = args.samplerate
        if stdio.is_stdio(dst):
            data = recording_bytes(signal, fmt)
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
            return FileResult(size, len(data))
        place = placement(dst)
        if place.in_place:
            data = recording_bytes(signal, fmt or formats.FORMATS.get(dst.suffix.lower()))
            write_in_place(place, data)
            return FileResult(size, len(data))
        # Without a name of the user's choosing, an existing file is never replaced.
        paths = write_recording(dst, signal, force=args.force and named)
        return FileResult(size, sum(p.stat().st_size for p in paths))

    return run_batch(inputs, outputs, work, quiet=args.quiet, verb="decompressed",
                     debug=args.debug, jobs=args.jobs)
