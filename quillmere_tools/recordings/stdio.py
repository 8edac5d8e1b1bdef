"""``-`` on the command line: whether a path means standard input or
output, and what a stream's first bytes say it holds; bounded_input reads
such streams."""
from __future__ import annotations

import os
import sys
from typing import BinaryIO, Optional

from .signal import InputError

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


def size_hint(path) -> int:
    """Bytes of an input for the progress bar (1 when unknown)."""
    if is_stdio(path):
        return 1
    try:
        return max(1, os.stat(path).st_size)
    except OSError:
        return 1
