"""The command line's road for a long recording: ``compress`` reads it and
codes it a batch of blocks at a time (qlm/streamed_encoding.py) straight into
the output file, and ``decompress`` reads the .qlm file a part at a time rather than
whole and writes the recording a batch of blocks at a time
(qlm/streamed_decoding.py), so memory does not grow with the recording."""
from __future__ import annotations

import os
import shutil
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

from .. import recordings as formats
from ..qlm.index import UnitFile
from ..qlm.signal_files import StatedBounds
from ..qlm.streamed_decoding import (DecodedRange, Pages, decoded_range, write_audio, write_csv,
                                     write_npy)
from ..qlm.streamed_encoding import encode_source, is_long
from ..recordings import Format, open_source, stdio
from ..recordings.atomic_write import atomic_write
from ..recordings.channel_source import ChannelSource
from ..recordings.output_placement import placement
from ..recordings.signal import Signal
from ..recordings.writer import source_format
from ..settings import Settings

# ---------------------------------------------------------------- compress

_COPY_PIECE = 1 << 20


@dataclass
class Streamed:
    size: int
    used: list[Settings]
    lengths: list[int]
    source_bytes: int


def long_source(path: Path, block_length: Optional[int], **options) -> Optional[ChannelSource]:
    """A piecewise reader of ``path`` when it holds a channel long enough to
    be coded a batch of blocks at a time; None otherwise (the file is then
    read whole, as always)."""
    source = open_source(path, **options)
    if source is not None and not any(is_long(n, block_length) for n in source.lengths):
        source.close()
        return None
    return source


def compress_source(source: ChannelSource, dst: Path, settings: Settings,
                    target: Optional[StatedBounds], block_length: Optional[int],
                    force: bool) -> Streamed:
    """Code ``source`` into ``dst`` (``-``: standard output, by way of a
    temporary file, since the blocks' indexes are filled in afterwards)."""
    result: list[tuple[int, list[Settings]]] = []

    def write(out) -> None:
        result.append(encode_source(out, source, settings, target, block_length))

    if stdio.is_stdio(dst):
        with tempfile.TemporaryFile(prefix="quillmere-") as spool:
            write(spool)
            spool.seek(0)
            shutil.copyfileobj(spool, sys.stdout.buffer, _COPY_PIECE)
            sys.stdout.buffer.flush()
    else:
        atomic_write(dst, write, force=force)
    size, used = result[0]
    return Streamed(size, used, list(source.lengths), source.source_bytes)


# ---------------------------------------------------------------- decompress

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


def write_streamed(index: UnitFile, first: int, last: int, pages: Pages, dst: Path,
                   fmt: Optional[Format], samplerate: Optional[float],
                   force: bool) -> Optional[int]:
    """Write samples ``first`` to ``last`` of a long recording to ``dst``
    and return the bytes written; None (nothing done) when the recording is
    short, its channels differ in length, or the output is not written a
    batch at a time."""
    if last - first <= STREAM_FRAMES:
        return None
    decoded = decoded_range(index, first, last, pages)
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
