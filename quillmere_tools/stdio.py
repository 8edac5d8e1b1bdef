"""``-`` on the command line: signals and compressed files through pipes.

A signal read from standard input is identified by its first bytes (or by
``--input-format``) and parsed by the same reader as a file of that type,
from a private temporary copy, so pipes get exactly the checks files get."""
from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path
from contextlib import contextmanager
from typing import Any, BinaryIO, Iterator, Optional

from .io import InputError, Signal, read_signal

STDIO = "-"

# Leading bytes of each binary format; text that matches none is CSV.
_MAGIC = (
    (b"\x93NUMPY", "npy"),
    (b"RIFF", "wav"),
    (b"RF64", "wav"),
    (b"fLaC", "flac"),
    (b"OggS", "ogg"),
    (b"FORM", "aiff"),
    (b"\xffBIOSEMI", "bdf"),
    (b"0       ", "edf"),
)


def is_stdio(path) -> bool:
    return str(path) == STDIO


def sniff(head: bytes) -> Optional[str]:
    for magic, name in _MAGIC:
        if head.startswith(magic):
            return name
    if b"\x00" in head[:4096]:
        return None  # valid UTF-8, but no text file holds NUL bytes
    try:
        head[:4096].decode("utf-8")
    except UnicodeDecodeError as exc:
        if exc.start < len(head[:4096]) - 4:  # not a character cut at the end
            return None
    return "csv"


def stdin_stream() -> BinaryIO:
    if sys.stdin is None or sys.stdin.isatty():
        raise InputError("standard input is a terminal; pipe a file into '-'")
    return sys.stdin.buffer


@contextmanager
def spooled(stream: BinaryIO, what: str, fmt_name: Optional[str],
            limit: int) -> Iterator[tuple[Path, int]]:
    """A pipe, FIFO or device copied a piece at a time into a private
    temporary file named for its format (its first bytes', or ``fmt_name``),
    at most ``limit`` bytes: (that file, its size). Readers that seek, and
    reading a long recording a batch at a time, need a file."""
    from . import formats
    from .bounded_input import copy_limited

    # The format is settled from the first bytes, before the rest is read.
    head = stream.read(4096)
    if not head:
        raise InputError(f"{what} is empty")
    name = fmt_name or sniff(head)
    if name is None:
        raise InputError(f"cannot tell the format of {what}; give --input-format")
    fmt = formats.by_name(name)
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
    from .bounded_input import DEFAULT_MAX_INPUT

    return read_signal_stream(stdin_stream(), "standard input", fmt_name,
                              limit or DEFAULT_MAX_INPUT, **options)


def size_hint(path) -> int:
    """Bytes of an input for the progress bar (1 when unknown)."""
    if is_stdio(path):
        return 1
    try:
        return max(1, os.stat(path).st_size)
    except OSError:
        return 1
