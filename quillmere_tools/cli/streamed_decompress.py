"""``quillmere decompress`` of a long recording: the .qlm file mapped
rather than read, and the recording written a batch of blocks at a time
(streamed_decoding.py), so memory does not grow with the recording."""
from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Optional

from .. import formats, stdio
from ..formats import Format
from ..formats.output import source_format
from ..io import Signal, atomic_write
from ..output_placement import placement
from ..streamed_decoding import DecodedRange, decoded_range, write_audio, write_csv, write_npy
from ..unit_file import UnitFile

# A recording of more frames than this is written a batch at a time; a
# shorter one the whole-signal way.
STREAM_FRAMES = 1 << 22
_AUDIO = ("wav", "flac", "aiff")


def _format_of(dst: Path, fmt: Optional[Format], meta: dict) -> Optional[Format]:
    """The format the output gets, as the whole-signal writers choose it;
    None when it is not one written a batch at a time."""
    if stdio.is_stdio(dst):
        chosen = fmt or source_format(Signal([], meta))
        return chosen if chosen.name in ("npy", "csv") else None
    if placement(dst).in_place:
        return None
    chosen = formats.FORMATS.get(placement(dst).path.suffix.lower())
    return chosen if chosen is not None and chosen.name in ("npy", "csv") + _AUDIO else None


def write_streamed(index: UnitFile, first: int, last: int, release, dst: Path,
                   fmt: Optional[Format], samplerate: Optional[float],
                   force: bool) -> Optional[int]:
    """Write samples ``first`` to ``last`` of a long recording to ``dst``
    and return the bytes written; None (nothing done) when the recording is
    short, its channels differ in length, or the output is not written a
    batch at a time."""
    if last - first <= STREAM_FRAMES:
        return None
    decoded = decoded_range(index, first, last, release)
    if decoded is None:
        return None
    if samplerate:
        decoded.meta["samplerate"] = samplerate
    chosen = _format_of(dst, fmt, decoded.meta)
    if chosen is None:
        return None
    if stdio.is_stdio(dst):
        counted = _Counting(sys.stdout.buffer)
        _write(counted, chosen, decoded)
        sys.stdout.buffer.flush()
        return counted.written
    atomic_write(dst, lambda out: _write(out, chosen, decoded), force=force)
    return os.stat(dst).st_size


def _write(out, chosen: Format, decoded: DecodedRange) -> None:
    if chosen.name == "npy":
        write_npy(out, decoded)
    elif chosen.name == "csv":
        write_csv(out, decoded)
    else:
        write_audio(out, chosen.name, decoded)


class _Counting:
    """A write-only stream that counts what passes through it."""

    def __init__(self, sink):
        self._sink = sink
        self.written = 0

    def write(self, data: bytes) -> int:
        self._sink.write(data)
        self.written += len(data)
        return len(data)
