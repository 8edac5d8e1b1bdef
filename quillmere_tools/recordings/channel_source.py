"""Recordings read a piece at a time: any run of samples of one channel,
read from the file when it is asked for, so a long recording is never held
whole.

A source describes the recording exactly as the format's reader would
(metadata, channel lengths) and hands out the samples the reader's array
would hold, in the same dtype, so what is made of them is the same.
``recordings.open_source`` returns None for what it does not read this way (a format
without piecewise reading, an unusual file); the caller then reads the
file whole, with every check of the format's reader.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .signal import InputError

# No channel of fewer samples is read piecewise (qlm.streamed_encoding.is_long).
LEAST_LONG = 1 << 22
# Bytes read from the file at a time: a run of one channel of an
# interleaved recording is gathered from reads of at most this size.
READ_BYTES = 1 << 24


class ChannelSource:
    """A recording whose channels are read as runs of samples."""

    meta: dict[str, Any]
    lengths: list[int]
    source_bytes: int

    @property
    def channels(self) -> int:
        return len(self.lengths)

    @property
    def ragged(self) -> bool:
        return len(set(self.lengths)) > 1

    def read(self, channel: int, start: int, stop: int) -> np.ndarray:
        """Samples ``start`` to ``stop`` of ``channel``, contiguous, in the
        dtype the format's reader gives."""
        raise NotImplementedError

    def close(self) -> None:
        pass

    def __enter__(self) -> "ChannelSource":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class NpySource(ChannelSource):
    """A 1-D or 2-D ``.npy`` array of numbers, in C or Fortran order, read
    with ``os.pread``: a run of a channel stored contiguously is one read, a
    run of interleaved channels is gathered from reads of READ_BYTES."""

    def __init__(self, path: Path, fd: int, dtype: np.dtype, shape: tuple[int, ...],
                 fortran: bool, data_at: int, layout: str):
        self._fd = fd
        self.dtype = dtype
        self._data_at = data_at
        # The array's (frames, channels) view: element (t, c) sits at item
        # t * step + c * stride from the start of the data.
        rows, cols = shape if len(shape) == 2 else (shape[0], 1)
        row_step, col_step = (1, rows) if fortran else (cols, 1)
        if len(shape) == 1:
            row_step, col_step = 1, 0
        if layout == "rows" and len(shape) == 2:
            rows, cols = cols, rows
            row_step, col_step = col_step, row_step
        self._step, self._stride = row_step, col_step
        self.lengths = [rows] * cols
        self.meta = {"format": "npy", "dtype": dtype.str}
        if len(shape) == 2:
            self.meta["layout"] = layout
        if dtype.kind in "iu":
            self.meta["channel_info"] = [{"quantum": 1.0} for _ in range(cols)]
        self.source_bytes = os.fstat(fd).st_size
        self.path = path

    def read(self, channel: int, start: int, stop: int) -> np.ndarray:
        first = channel * self._stride
        if self._step == 1:
            return self._items(first + start, stop - start)
        # Interleaved: whole frames are read (the channel is one of them).
        out = np.empty(stop - start, dtype=self.dtype)
        per_read = max(1, READ_BYTES // (self._step * self.dtype.itemsize))
        for at in range(start, stop, per_read):
            n = min(per_read, stop - at)
            frames = self._items(at * self._step, n * self._step)
            out[at - start:at - start + n] = frames[first::self._step]
        return out

    def _items(self, first: int, count: int) -> np.ndarray:
        size = self.dtype.itemsize
        want = count * size
        data = os.pread(self._fd, want, self._data_at + first * size)
        if len(data) != want:
            raise InputError("not a readable .npy file (the file is shorter than its "
                             "header says)")
        return np.frombuffer(data, dtype=self.dtype).copy()

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


def open_npy(path: Path, layout: str) -> Optional[NpySource]:
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        with os.fdopen(os.dup(fd), "rb") as f:
            try:
                version = np.lib.format.read_magic(f)
                if version == (1, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
                elif version == (2, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
                else:
                    return None
            except (ValueError, OSError, EOFError):
                return None
            data_at = f.tell()
        if (dtype.kind not in "fiu" or dtype.hasobject or len(shape) not in (1, 2)
                or 0 in shape or layout not in ("columns", "rows")):
            return None  # the format's reader words what is wrong
        if os.fstat(fd).st_size < data_at + int(np.prod(shape)) * dtype.itemsize:
            return None
        source = NpySource(path, fd, dtype, tuple(int(n) for n in shape), bool(fortran),
                           data_at, layout)
        fd = -1
        return source
    finally:
        if fd >= 0:
            os.close(fd)
