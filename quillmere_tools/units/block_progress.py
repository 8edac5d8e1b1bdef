"""Progress counted in blocks, for the one bar a command-line run shows.

The companion module adds one to a shared 64-bit cell for every block it
finishes, from its own threads and without the interpreter lock; a watcher
reads the cell a few times a second.  Each coding call first says how many
blocks it will add (``expect``), so the bar's total grows as inputs are read.
Nothing is counted unless a run has switched counting on (``counting``): the
library's own calls pay nothing for it.
"""
from __future__ import annotations

import threading
from contextlib import contextmanager
from typing import Iterator, Optional

import numpy as np


class BlockCounter:
    def __init__(self) -> None:
        # Passed to the companion module, which adds to it atomically.
        self.cell = np.zeros(1, dtype=np.uint64)
        self._expected = 0
        self._lock = threading.Lock()

    def expect(self, blocks: int) -> None:
        with self._lock:
            self._expected += blocks

    @property
    def expected(self) -> int:
        return self._expected

    @property
    def done(self) -> int:
        return int(self.cell[0])


_active: Optional[BlockCounter] = None


def active() -> Optional[BlockCounter]:
    return _active


def blocks_in(samples: int, block_length: int) -> int:
    """How many blocks a channel of ``samples`` is coded as."""
    return 1 if samples <= block_length else -(-samples // block_length)


@contextmanager
def counting() -> Iterator[BlockCounter]:
    """Count every block coded or decoded in this process until the end of
    the block (one run of the command line at a time)."""
    global _active
    counter = BlockCounter()
    _active = counter
    try:
        yield counter
    finally:
        _active = None
