"""The one progress bar of a run: blocks coded or decoded so far, out of the
blocks of every channel read so far, on standard error and only on a
terminal (none when piped, none with --quiet)."""
from __future__ import annotations

import sys
import threading
from contextlib import contextmanager
from typing import Callable, Iterator

from ..units.channel import counting_blocks

# Often enough to look live, seldom enough to cost nothing next to a block.
_REFRESH_SECONDS = 0.1

Say = Callable[..., None]


@contextmanager
def block_bar(quiet: bool) -> Iterator[Say]:
    """Yields ``say``, which prints a line without tearing the bar."""
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience, not a requirement
        yield print
        return
    # disable=None shows the bar only on a terminal, keeping logs and pipes clean.
    bar = tqdm(total=0, unit="block", disable=True if quiet else None, leave=False,
               dynamic_ncols=True, file=sys.stderr)

    def say(msg: str, file=sys.stdout) -> None:
        tqdm.write(msg, file=file)

    if bar.disable:
        try:
            yield say
        finally:
            bar.close()
        return
    stop = threading.Event()
    with counting_blocks() as counter:
        def show() -> None:
            bar.total = counter.expected
            bar.n = counter.done
            bar.refresh()

        def watch() -> None:
            while not stop.wait(_REFRESH_SECONDS):
                show()

        watcher = threading.Thread(target=watch, name="quillmere-progress", daemon=True)
        watcher.start()
        try:
            yield say
        finally:
            stop.set()
            watcher.join()
            show()  # the last blocks, however short the run
            bar.close()
