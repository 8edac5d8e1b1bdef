"""Every core for a batch. The codec call holds the GIL, so the work runs in
worker processes, in one of two shapes:

- several files: each worker process reads, codes and writes whole files
  (``task``), so only file names and a summary cross between processes;
- one file: its channels are coded by the workers (``mapper``) while this
  process reads and writes.

Each channel is coded by the same function with the same arguments as in a
serial run and the results are put back in channel order, so the bytes do
not depend on the number of workers.
"""
from __future__ import annotations

import multiprocessing
import os
import threading
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor
from typing import Any, Callable, Iterable, Iterator, Optional


def default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not on Linux
        return max(1, os.cpu_count() or 1)


def _context():
    # fork starts a worker in milliseconds; the pool is started before any
    # thread of ours exists, which is what makes forking safe here.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("fork" if "fork" in methods else "spawn")


# The per-file task of the current batch. Worker processes are forked after
# it is set, so they inherit it and only its argument has to be pickled.
_TASK: Optional[Callable[[Any], Any]] = None


def _run_task(item: Any) -> Any:
    assert _TASK is not None
    return _TASK(item)


def can_inherit_tasks() -> bool:
    return "fork" in multiprocessing.get_all_start_methods()


class Workers:
    """``jobs`` workers; with one, everything runs inline as before.
    ``task`` is the per-file function that ``files`` runs in the workers."""

    def __init__(self, jobs: int, task: Optional[Callable[[Any], Any]] = None):
        global _TASK
        if jobs < 1:
            raise ValueError(f"-j/--jobs must be at least 1, got {jobs}")
        self.jobs = jobs
        self._procs: Optional[Executor] = None
        if jobs > 1:
            _TASK = task
            self._procs = ProcessPoolExecutor(jobs, mp_context=_context())
            # Launch every worker now, while this process has a single thread.
            list(self._procs.map(abs, range(jobs)))
        self._lock = threading.Lock()

    def __enter__(self) -> "Workers":
        return self

    def __exit__(self, *exc) -> None:
        if self._procs is not None:
            self._procs.shutdown(wait=True, cancel_futures=True)

    def mapper(self, progress: Optional[Callable[[float], None]] = None):
        """A ``map`` for one file's channels that reports each finished
        channel to ``progress`` as its fraction of the file."""
        def run(fn: Callable, *iterables: Iterable) -> list:
            args = list(zip(*iterables))
            share = 1.0 / len(args) if args else 0.0
            if self._procs is None:
                out = []
                for a in args:
                    out.append(fn(*a))
                    if progress:
                        progress(share)
                return out
            futures: list[Future] = [self._procs.submit(fn, *a) for a in args]
            if progress:
                for f in futures:
                    f.add_done_callback(lambda _f: self._report(progress, share))
            return [f.result() for f in futures]
        return run

    def _report(self, progress: Callable[[float], None], share: float) -> None:
        with self._lock:
            progress(share)

    def files(self, items: list, done: Callable[[int], None]) -> Iterator[Any]:
        """The task over ``items`` in the worker processes, results in input
        order; ``done(i)`` as each finishes, in whatever order."""
        if self._procs is None or _TASK is None or not can_inherit_tasks():
            raise RuntimeError("no worker processes with a task")
        futures = [self._procs.submit(_run_task, item) for item in items]
        for i, f in enumerate(futures):
            f.add_done_callback(lambda _f, i=i: self._report(done, i))
        return (f.result() for f in futures)

    def each(self, fn: Callable[[Any], Any], items: list) -> Iterator[Any]:
        """``fn`` over ``items``, results in input order. Two files per worker
        are kept in flight so that reading and writing one overlaps the
        coding of another."""
        if self._procs is None:
            return map(fn, items)
        threads = ThreadPoolExecutor(max(1, min(len(items), 2 * self.jobs)))
        results = threads.map(fn, items)

        def ordered():
            try:
                yield from results
            finally:
                threads.shutdown(wait=True, cancel_futures=True)
        return ordered()
