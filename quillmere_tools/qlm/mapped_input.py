"""A compressed file read where it lies: mapped into memory, checked and
decoded a part at a time, each part's pages handed back once it is used,
so a long file never takes its size in memory (resident pages of a
mapping count as the process's own until they are given back)."""
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

# Bytes checksummed between two hand-backs of pages.
_PIECE = 1 << 24
# Where the system cannot be told to drop pages, they stay until unmapped.
_GIVE_BACK = getattr(mmap, "MADV_DONTNEED", None)


class MappedFile:
    def __init__(self, fd: int, size: int):
        self.size = size
        self._map = mmap.mmap(fd, size, access=mmap.ACCESS_READ)
        self.view = memoryview(self._map)

    def release(self, start: int = 0, stop: Optional[int] = None) -> None:
        """Give back the resident pages of bytes ``start`` to ``stop``; they
        are read again from the file if used again."""
        stop = self.size if stop is None else stop
        first = start - start % mmap.PAGESIZE
        if stop > first and _GIVE_BACK is not None:
            self._map.madvise(_GIVE_BACK, first, stop - first)

    def crc32(self, stop: int) -> int:
        """CRC-32 of the first ``stop`` bytes, a piece at a time."""
        crc = 0
        for at in range(0, stop, _PIECE):
            end = min(stop, at + _PIECE)
            crc = zlib.crc32(self.view[at:end], crc)
            self.release(at, end)
        return crc

    def close(self) -> None:
        try:
            self.view.release()
            self._map.close()
        except BufferError:
            pass  # a view of it is still held; it is closed when that goes


def open_mapped(path: Path) -> Optional[MappedFile]:
    """``path`` mapped, once its first bytes show a Quillmere file; None for
    what is not a regular file (read as a stream instead). Errors are those
    of bounded_input.read_compressed."""
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
            return None
        check_compressed_head(os.pread(fd, HEAD_BYTES, 0))
        return MappedFile(fd, st.st_size)
    except OSError as exc:
        raise InputError((exc.strerror or str(exc)).lower()) from None
    finally:
        os.close(fd)


@contextmanager
def spooled_mapped(stream: BinaryIO, what: str, limit: int) -> Iterator[MappedFile]:
    """A compressed stream (standard input, a FIFO, a device) copied a piece
    at a time into a private temporary file, at most ``limit`` bytes, and
    mapped; its first bytes are checked before the rest is read."""
    head = stream.read(HEAD_BYTES)
    if not head:
        raise InputError(f"{what} is empty")
    check_compressed_head(head)
    with tempfile.TemporaryFile(prefix="quillmere-") as spool:
        size = copy_limited(stream, spool, limit, what, head)
        spool.flush()
        mapped = MappedFile(spool.fileno(), size)
        try:
            yield mapped
        finally:
            mapped.close()
