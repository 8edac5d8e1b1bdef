"""Reading inputs whose end is not known in advance.

A regular file says how long it is; a pipe, a FIFO or a device does not,
and ``/dev/zero`` never ends.  Such inputs are read in pieces up to a limit
the user can raise (``--max-input``). A signal from one is identified by its
first bytes (or by ``--input-format``) and parsed by the same reader as a
file of that type, from a private temporary copy, so pipes get exactly the
checks files get. A compressed input must start
like one: a file that is plainly something else is named as such from its
first bytes, before anything more is read.
"""
from __future__ import annotations

import os
import stat
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import Any, BinaryIO, Iterator, Optional

from ..qlm.container_header import MAGIC
from ..qlm.index import BLOCKED_MAGIC
from .._core import human_size
from . import by_name, read_signal
from .signal import InputError, Signal
from .stdio import is_stdio, sniff, stdin_stream

# What a pipe or device may deliver before it is taken for one that never
# ends.  Regular files are not limited: their size is known before reading.
DEFAULT_MAX_INPUT = 2 * 10**9
_PIECE = 1 << 20
# Enough to recognise every signal format's leading bytes.
HEAD_BYTES = 8


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
            raise InputError(f"{what} goes on past {human_size(limit)} without ending; "
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
            raise InputError(f"{what} goes on past {human_size(limit)} without ending; "
                             "give --max-input SIZE if it really is that long")


@contextmanager
def spooled(stream: BinaryIO, what: str, fmt_name: Optional[str],
            limit: int) -> Iterator[tuple[Path, int]]:
    """A pipe, FIFO or device copied a piece at a time into a private
    temporary file named for its format (its first bytes', or ``fmt_name``),
    at most ``limit`` bytes: (that file, its size). Readers that seek, and
    reading a long recording a batch at a time, need a file."""
    # The format is settled from the first bytes, before the rest is read.
    head = stream.read(4096)
    if not head:
        raise InputError(f"{what} is empty")
    name = fmt_name or sniff(head)
    if name is None:
        raise InputError(f"cannot tell the format of {what}; give --input-format")
    fmt = by_name(name)
    if not fmt.single_file:
        raise InputError(f"a {name.upper()} record is several files and cannot come from {what}")
    with tempfile.TemporaryDirectory(prefix="quillmere-") as tmp:
        path = Path(tmp) / ("stdin" + fmt.suffixes[0])
        with open(path, "wb") as out:
            size = copy_limited(stream, out, limit, what, head)
        yield path, size


def read_signal_stream(stream: BinaryIO, what: str, fmt_name: Optional[str], limit: int,
                       **options: Any) -> tuple[Signal, int]:
    """A signal from a pipe, FIFO or device: at most ``limit`` bytes, in the
    format ``fmt_name`` or the one its first bytes show."""
    with spooled(stream, what, fmt_name, limit) as (path, size):
        return read_signal(path, **options), size


def read_signal_stdin(fmt_name: Optional[str], limit: Optional[int] = None,
                      **options: Any) -> tuple[Signal, int]:
    return read_signal_stream(stdin_stream(), "standard input", fmt_name,
                              limit or DEFAULT_MAX_INPUT, **options)


def describe_head(head: bytes) -> str:
    """What the first bytes of a file that is not ours look like."""
    kind = sniff(head)
    if kind == "csv" and all(32 <= b < 127 or b in b"\t\r\n" or b >= 128 for b in head):
        return "it starts with text"
    if kind == "csv":
        kind = None  # control bytes: binary, whatever UTF-8 says
    if kind is not None:
        return f"it starts like a {kind.upper()} file; compress it instead"
    shown = " ".join(f"{b:02x}" for b in head[:HEAD_BYTES])
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
    if is_stdio(path):
        stream = stdin_stream()
        head = stream.read(HEAD_BYTES)
        if not head:
            raise InputError("standard input is empty")
        check_compressed_head(head)
        return read_limited(stream, limit, "standard input", head)
    try:
        with open(path, "rb") as f:
            regular = stat.S_ISREG(os.fstat(f.fileno()).st_mode)
            head = f.read(HEAD_BYTES)
            check_compressed_head(head)
            if regular:
                return head + f.read()
            return read_limited(f, limit, str(path), head)
    except IsADirectoryError:
        raise InputError("is a folder, not a file") from None
    except OSError as exc:
        raise InputError((exc.strerror or str(exc)).lower()) from None
