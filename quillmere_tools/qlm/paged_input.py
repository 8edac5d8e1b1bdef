"""A compressed file read a part at a time, never mapped: the parts that
checking and decoding need are read with ``pread`` into private anonymous
memory the size of the file, whose untouched pages take no memory, and
handed back once used, so a long file never takes its size in memory.

A mapping of the file itself would do the same with less code, but a file
cut short by another process while mapped kills the reader (SIGBUS) the
moment a page past the new end is touched; a short ``pread`` is one clear
error instead."""
from __future__ import annotations

import mmap
import os
import stat
import tempfile
import zlib
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO, Iterator, Optional

from ..recordings.bounded_input import HEAD_BYTES, check_compressed_head, copy_limited
from ..recordings.signal import InputError
from .container_header import HEADER_LEN
from .index import (BLOCKED_HEAD_LEN, MAX_UNITS, TAIL_LEN, TAIL_MAGIC, head_span, index_span,
                    last_block_span, unit_lengths)

# Bytes read (and checksummed) at a time.
_PIECE = 1 << 24
# Where the system cannot be told to drop pages, they stay until closed.
_GIVE_BACK = getattr(mmap, "MADV_DONTNEED", None)


class PagedFile:
    """The bytes of an open file as ``view``, filled in where ``fill`` is
    asked to; the rest reads as zeros and takes no memory."""

    def __init__(self, fd: int, size: int, *, owns_fd: bool):
        self.size = size
        self._fd = fd
        self._owns_fd = owns_fd
        # An empty mapping is refused; one page stands in for an empty file.
        self._map = mmap.mmap(-1, max(size, 1), flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
        self.view = memoryview(self._map)[:size]
        self._heads: dict[int, int] = {}

    def fill(self, start: int, stop: int) -> None:
        """Read bytes ``start`` to ``stop`` of the file into ``view``."""
        stop = min(stop, self.size)
        at = start
        while at < stop:
            got = os.preadv(self._fd, [self.view[at:min(stop, at + _PIECE)]], at)
            if got <= 0:
                raise InputError(f"the file was cut short while it was read: it ends before "
                                 f"byte {at} of the {self.size} it had")
            at += got

    def release(self, start: int = 0, stop: Optional[int] = None) -> None:
        """Give back the memory of bytes ``start`` to ``stop``; they read as
        zeros until filled again. Only whole pages inside the range go, so
        the neighbouring parts stay as they are."""
        stop = self.size if stop is None else stop
        first = -(-start // mmap.PAGESIZE) * mmap.PAGESIZE
        last = stop // mmap.PAGESIZE * mmap.PAGESIZE
        if last > first and _GIVE_BACK is not None:
            self._map.madvise(_GIVE_BACK, first, last - first)

    def crc32(self, stop: int) -> int:
        """CRC-32 of the first ``stop`` bytes, read a piece at a time."""
        crc, at = 0, 0
        piece = bytearray(min(_PIECE, stop))
        while at < stop:
            n = min(len(piece), stop - at)
            got = os.preadv(self._fd, [memoryview(piece)[:n]], at)
            if got <= 0:
                raise InputError(f"the file was cut short while it was read: it ends before "
                                 f"byte {at} of the {self.size} it had")
            crc = zlib.crc32(memoryview(piece)[:got], crc)
            at += got
        return crc

    def fill_index(self) -> None:
        """Fill what reading the index checks: the index at the end and the
        head of every unit (all of a plain unit). A file without an index
        (an older one, or not one at all) is read whole."""
        self.fill(max(0, self.size - TAIL_LEN), self.size)
        if self.size < TAIL_LEN or bytes(self.view[-4:]) != TAIL_MAGIC:
            self.fill(0, self.size)
            return
        count, span = index_span(self.view[self.size - TAIL_LEN:])
        table = self.size - span
        if table < 0 or not 1 <= count <= MAX_UNITS:
            return  # the index reader words what is wrong
        self.fill(table, self.size - TAIL_LEN)
        lengths = unit_lengths(self.view[table:], count)
        if sum(lengths) != table:
            return  # the index reader words the mismatch
        at = 0
        for length in lengths:
            self.fill_head(at, length)
            at += length

    def fill_head(self, at: int, length: int) -> int:
        """Fill the head of the unit of ``length`` bytes at ``at`` (see
        index.head_span) and, of a blocked unit, its last block, which the
        decoder reads whatever part it decodes; where the blocks start in
        the unit (its length for a plain unit, which is filled whole).
        Kept until closed: ``release`` is only asked for other blocks."""
        if at in self._heads:
            return self._heads[at]
        self.fill(at, at + min(length, BLOCKED_HEAD_LEN))
        span = head_span(self.view[at:at + min(length, BLOCKED_HEAD_LEN)], length)
        self.fill(at, at + span)
        data = span
        if span < length:
            data = span - HEADER_LEN
            last, end = last_block_span(self.view[at:at + span])
            self.fill(at + min(last, length), at + min(end, length))
        self._heads[at] = data
        return data

    def close(self) -> None:
        try:
            self.view.release()
            self._map.close()
        except BufferError:
            pass  # a view of it is still held; it is closed when that goes
        if self._owns_fd:
            os.close(self._fd)
            self._owns_fd = False


def open_paged(path: Path) -> Optional[PagedFile]:
    """``path`` opened for reading in parts, once its first bytes show a
    Quillmere file; None for what is not a regular file (read as a stream
    instead). Errors are those of bounded_input.read_compressed."""
    try:
        # Looked at before it is opened: opening a FIFO waits for its writer,
        # and closing it again would cut that writer off.
        if not stat.S_ISREG(os.stat(path).st_mode):
            if os.path.isdir(path):
                raise InputError("is a folder, not a file")
            return None
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except IsADirectoryError:
        raise InputError("is a folder, not a file") from None
    except OSError as exc:
        raise InputError((exc.strerror or str(exc)).lower()) from None
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise InputError("is a folder, not a file")
        if not stat.S_ISREG(st.st_mode):
            os.close(fd)
            return None
        check_compressed_head(os.pread(fd, HEAD_BYTES, 0))
        return PagedFile(fd, st.st_size, owns_fd=True)
    except BaseException as exc:
        os.close(fd)
        if isinstance(exc, OSError):
            raise InputError((exc.strerror or str(exc)).lower()) from None
        raise


@contextmanager
def spooled_paged(stream: BinaryIO, what: str, limit: int) -> Iterator[PagedFile]:
    """A compressed stream (standard input, a FIFO, a device) copied a piece
    at a time into a private temporary file, at most ``limit`` bytes, and
    opened for reading in parts; its first bytes are checked before the
    rest is read."""
    head = stream.read(HEAD_BYTES)
    if not head:
        raise InputError(f"{what} is empty")
    check_compressed_head(head)
    with tempfile.TemporaryFile(prefix="quillmere-") as spool:
        size = copy_limited(stream, spool, limit, what, head)
        spool.flush()
        paged = PagedFile(spool.fileno(), size, owns_fd=False)
        try:
            yield paged
        finally:
            paged.close()
