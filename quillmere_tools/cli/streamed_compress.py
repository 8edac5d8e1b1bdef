"""``quillmere compress`` of a long recording: read and coded a batch of
blocks at a time (streamed_encoding.py) straight into the output file, so
memory does not grow with the recording."""
from __future__ import annotations

import shutil
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

from .._core import Settings
from ..channel_sources import ChannelSource, open_source
from ..files import Target
from ..io import atomic_write
from ..streamed_encoding import encode_source, is_long
from .. import stdio

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
                    target: Optional[Target], block_length: Optional[int],
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
