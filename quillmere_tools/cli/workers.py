"""Every core for a batch, on threads: the codec runs in the companion
module without the interpreter lock, and reading and writing files spend
most of their time outside it too.

Several files run whole, one per worker (``each``); a single file spreads
its channels over the workers (``mapper``). Each channel is coded by the
same function with the same arguments as in a serial run and the results
are put back in order, so the bytes do not depend on the number of workers.
"""
from __future__ import annotations

import os
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Callable, Iterable, Iterator, Optional


def default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not on Linux
        return max(1, os.cpu_count() or 1)


class Workers:
    """``jobs`` workers; with one, everything runs inline, in order."""

    def __init__(self, jobs: int):
        if jobs < 1:
            raise ValueError(f"-j/--jobs must be at least 1, got {jobs}")
        self.jobs = jobs
        # Files and channels have pools of their own: a file waiting for its
        # channels must never hold the worker a channel needs.
        self._files: Optional[ThreadPoolExecutor] = None
        self._channels: Optional[ThreadPoolExecutor] = None
        if jobs > 1:
            self._files = ThreadPoolExecutor(jobs, thread_name_prefix="quillmere-file")
            self._channels = ThreadPoolExecutor(jobs, thread_name_prefix="quillmere-channel")

    def __enter__(self) -> "Workers":
        return self

    def __exit__(self, *exc) -> None:
        for pool in (self._files, self._channels):
            if pool is not None:
                pool.shutdown(wait=True, cancel_futures=True)

    def mapper(self, progress: Optional[Callable[[float], None]] = None):
        """A ``map`` for one file's channels that reports each finished
        channel to ``progress`` as its fraction of the file."""
        def run(fn: Callable, *iterables: Iterable) -> list:
            args = list(zip(*iterables))
            share = 1.0 / len(args) if args else 0.0
            if self._channels is None:
                out = []
                for a in args:
                    out.append(fn(*a))
                    if progress:
                        progress(share)
                return out
            futures: list[Future] = [self._channels.submit(fn, *a) for a in args]
            if progress:
                for f in futures:
                    f.add_done_callback(lambda _f: progress(share))
            return [f.result() for f in futures]
        return run

    def each(self, fn: Callable[[Any], Any], items: list) -> Iterator[Any]:
        """``fn`` over ``items``, ``jobs`` at a time, results in input order."""
        if self._files is None:
            return map(fn, items)
        return self._files.map(fn, items)
