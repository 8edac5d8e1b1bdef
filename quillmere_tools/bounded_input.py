"""Reading inputs whose end is not known in advance.

A regular file says how long it is; a pipe, a FIFO or a device does not,
and ``/dev/zero`` never ends.  Such inputs are read in pieces up to a limit
the user can raise (``--max-input``), and a compressed input must start
like one: a file that is plainly something else is named as such from its
first bytes, before anything more is read.
"""
from __future__ import annotations

import os
import stat
from typing import BinaryIO

from .container import MAGIC
from .unit_file import BLOCKED_MAGIC
from .io import InputError

# What a pipe or device may deliver before it is taken for one that never
# ends.  Regular files are not limited: their size is known before reading.
DEFAULT_MAX_INPUT = 2 * 10**9
_PIECE = 1 << 20
# Enough to recognise every signal format's leading bytes.
_HEAD = 8


def _size_text(n: int) -> str:
    from .cli.messages import human_size

    return human_size(n)


def read_limited(stream: BinaryIO, limit: int, what: str, already: bytes = b"") -> bytes:
    """Everything left in ``stream`` after ``already``, or InputError once
    more than ``limit`` bytes in all have come."""
    data = bytearray(already)
    while True:
        piece = stream.read(min(_PIECE, limit + 1 - len(data)))
        if not piece:
            return bytes(data)
        data += piece
        if len(data) > limit:
            raise InputError(f"{what} goes on past {_size_text(limit)} without ending; "
                             "give --max-input SIZE if it really is that long")


def copy_limited(stream: BinaryIO, out: BinaryIO, limit: int, what: str,
                 already: bytes = b"") -> int:
    """read_limited into the file ``out`` instead of memory, a piece at a
    time; the bytes copied."""
    out.write(already)
    total = len(already)
    while True:
        piece = stream.read(min(_PIECE, limit + 1 - total))
        if not piece:
            return total
        out.write(piece)
        total += len(piece)
        if total > limit:
            raise InputError(f"{what} goes on past {_size_text(limit)} without ending; "
                             "give --max-input SIZE if it really is that long")


def describe_head(head: bytes) -> str:
    """What the first bytes of a file that is not ours look like."""
    from .stdio import sniff

    kind = sniff(head)
    if kind == "csv" and all(32 <= b < 127 or b in b"\t\r\n" or b >= 128 for b in head):
        return "it starts with text"
    if kind == "csv":
        kind = None  # control bytes: binary, whatever UTF-8 says
    if kind is not None:
        return f"it starts like a {kind.upper()} file; compress it instead"
    shown = " ".join(f"{b:02x}" for b in head[:_HEAD])
    return f"its first bytes are {shown}"


def check_compressed_head(head: bytes) -> None:
    """InputError unless ``head`` can begin a Quillmere file.  A head shorter
    than the magic is left to the file reader, which says it is cut short."""
    if not head:
        raise InputError("the file is empty")
    # A file starts with its first channel's unit: a container, or the
    # index of a long channel's blocks.
    magics = (MAGIC, BLOCKED_MAGIC)
    if len(head) < len(MAGIC) and any(m.startswith(head) for m in magics):
        return
    if not head.startswith(magics):
        raise InputError(f"not a Quillmere file ({describe_head(head)})")


def is_regular(path) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def read_compressed(path, limit: int = DEFAULT_MAX_INPUT) -> bytes:
    """The bytes of a compressed file, or of standard input for ``-``: the
    first bytes are checked before the rest is read, and a pipe or device
    is read up to ``limit`` bytes."""
    from .stdio import is_stdio, stdin_stream

    if is_stdio(path):
        stream = stdin_stream()
        head = stream.read(_HEAD)
        if not head:
            raise InputError("standard input is empty")
        check_compressed_head(head)
        return read_limited(stream, limit, "standard input", head)
    try:
        with open(path, "rb") as f:
            regular = stat.S_ISREG(os.fstat(f.fileno()).st_mode)
            head = f.read(_HEAD)
            check_compressed_head(head)
            if regular:
                return head + f.read()
            return read_limited(f, limit, str(path), head)
    except IsADirectoryError:
        raise InputError("is a folder, not a file") from None
    except OSError as exc:
        raise InputError((exc.strerror or str(exc)).lower()) from None
