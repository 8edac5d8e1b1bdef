"""The ``quillmere`` command: compress, decompress, info, bench, demo.

Every failure a user can cause ends in one line on stderr of the form
``quillmere: error: <what>: <why>`` and a non-zero exit status (1 for a
failed file or job, 2 for a bad command line, 128 + N after signal N);
tracebacks are reserved for ``--debug``.  Nothing heavy is imported here, so
an interrupt during start-up is handled like any other.
"""
from .entry import main

__all__ = ["main"]
