"""The ``quillmere`` command: compress, decompress, info, bench, demo.

Every failure a user can cause ends in one line on stderr of the form
``quillmere: error: <what>: <why>`` and a non-zero exit status (1 for a
failed file or job, 2 for a bad command line); tracebacks are reserved for
``--debug``.
"""
from .entry import main
from .parser import build_parser

__all__ = ["main", "build_parser"]
