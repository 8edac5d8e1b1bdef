"""A long .qlm file decoded into its recording a batch of blocks at a time.

The file written is the one the whole-signal path (``decode_units`` or
``decode_range``, then the format's writer) makes, byte for byte: a
``.npy`` header first, then the samples a batch of frames at a time; WAV,
FLAC and AIFF through libsndfile, and CSV text, a batch of frames at a
time. Every channel of a batch is decoded from the blocks that hold it
(``units.channel.decode_range``), read in from the file just before and
given back just after, so memory holds a few blocks of every channel,
whatever the recording's length.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, Iterator, Optional, Protocol

import numpy as np

from .._core import ToolError
from ..units.channel import decode_range, thread_count, unit_layout
from .index import UnitFile

if TYPE_CHECKING:
    from .._native import UnitLayout

# Blocks of every channel decoded at a time, per thread.
BLOCKS_PER_THREAD = 2
# Frames of a batch when no channel is blocked (never the case for the
# recordings this module is used for, but a plain unit is decoded whole).
_PLAIN_BATCH = 1 << 20


class Pages(Protocol):
    """Where a file's bytes are read in before use and given back after."""

    def fill(self, start: int, stop: int) -> None: ...

    def fill_head(self, at: int, length: int) -> int: ...

    def release(self, start: int, stop: int) -> None: ...


@dataclass
class DecodedRange:
    """What a decode of samples ``first`` to ``last`` of every channel of a
    checked file produces: its metadata as the whole-signal path gives it,
    and the samples a batch of frames at a time. ``layouts`` are read once,
    while the units' heads are in."""

    index: UnitFile
    first: int
    last: int
    meta: dict[str, Any]
    pages: Pages
    layouts: list[UnitLayout]

    @property
    def channels(self) -> int:
        return len(self.index.units)

    @property
    def frames(self) -> int:
        return self.last - self.first

    def dtype(self) -> np.dtype:
        """The dtype of the (frames, channels) array the whole path stacks."""
        kinds = [np.dtype(np.float64 if layout.is_float64 else np.float32)
                 for layout in self.layouts]
        return np.result_type(*kinds)

    def batch_frames(self) -> int:
        lengths = [layout.block_length for layout in self.layouts]
        block = max(lengths) if any(lengths) else _PLAIN_BATCH
        per_channel = max(1, BLOCKS_PER_THREAD * thread_count(None) // self.channels)
        return block * per_channel

    def _fill(self, c: int, start: int, stop: int) -> tuple[int, int]:
        """Read in what decoding samples ``start`` to ``stop`` of channel
        ``c`` reads: the unit's head and last block (kept) and the blocks
        that hold them (all of a plain unit). The bytes to give back after."""
        at = sum(h["unit_len"] for h in self.index.headers[:c])
        length = self.index.headers[c]["unit_len"]
        layout = self.layouts[c]
        if not layout.block_length:
            self.pages.fill(at, at + length)
            return at, at + length
        data = at + self.pages.fill_head(at, length)
        if start == stop:
            return at, at
        first, last = start // layout.block_length, (stop - 1) // layout.block_length
        offset = data + sum(layout.block_bytes[:first])
        end = offset + sum(layout.block_bytes[first:last + 1])
        self.pages.fill(offset, end)
        return offset, min(end, at + length - layout.block_bytes[-1])

    def channel(self, c: int, start: int, stop: int) -> np.ndarray:
        """Samples ``start`` to ``stop`` (from ``first``) of channel ``c``."""
        unit = self.index.units[c]
        used = self._fill(c, self.first + start, self.first + stop)
        try:
            y = decode_range(unit, self.first + start, self.first + stop)
        except ValueError as exc:
            where = f"channel {c}: " if self.channels > 1 else ""
            raise ToolError(f"corrupt container: {where}{exc}") from None
        finally:
            self.pages.release(*used)
        return y

    def batches(self) -> Iterator[tuple[int, int]]:
        step = self.batch_frames()
        for at in range(0, self.frames, step):
            yield at, min(self.frames, at + step)


def decoded_range(index: UnitFile, first: int, last: int, pages: Pages) -> Optional[DecodedRange]:
    """The streamed decode of samples ``first`` to ``last``, or None when the
    channels differ in length (only the whole-signal path writes those).
    The units' heads are read in here and kept."""
    if len({h["sample_count"] for h in index.headers}) != 1:
        return None
    meta = {k: v for k, v in (index.metadata or {}).items() if k not in ("v", "channels")}
    if "frames" in meta:
        meta["frames"] = last - first
    layouts, at = [], 0
    try:
        for h, unit in zip(index.headers, index.units):
            pages.fill_head(at, h["unit_len"])
            layouts.append(unit_layout(unit))
            at += h["unit_len"]
    except ValueError as exc:
        raise ToolError(f"corrupt container: {exc}") from None
    return DecodedRange(index, first, last, meta, pages, layouts)


# ---------------------------------------------------------------- .npy

def _npy_layout(decoded: DecodedRange) -> tuple[np.dtype, tuple[int, ...], bool]:
    """(dtype, shape, rows) of the array recordings/arrays.write saves."""
    from ..recordings.arrays import restore_dtype

    meta = decoded.meta
    dtype = decoded.dtype()
    if meta.get("format") == "npy":
        dtype = restore_dtype(np.zeros(0, dtype), meta.get("dtype")).dtype
    rows = meta.get("layout") == "rows"
    if meta.get("layout") is None and decoded.channels == 1:
        return dtype, (decoded.frames,), False
    if rows:
        return dtype, (decoded.channels, decoded.frames), True
    return dtype, (decoded.frames, decoded.channels), False


def write_npy(out: BinaryIO, decoded: DecodedRange) -> None:
    """The .npy file of the decoded range into ``out`` (no seeking: a pipe
    will do), header first."""
    from ..recordings.arrays import restore_dtype

    dtype, shape, rows = _npy_layout(decoded)
    stacked = decoded.dtype()
    restore = decoded.meta.get("dtype") if decoded.meta.get("format") == "npy" else None
    header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
              "shape": shape}
    try:
        np.lib.format.write_array_header_1_0(out, header)
    except ValueError:
        np.lib.format.write_array_header_2_0(out, header)
    if rows:
        for c in range(decoded.channels):
            for a, b in decoded.batches():
                y = decoded.channel(c, a, b).astype(stacked, copy=False)
                out.write(np.ascontiguousarray(restore_dtype(y, restore)).tobytes())
        return
    for a, b in decoded.batches():
        ys = [decoded.channel(c, a, b) for c in range(decoded.channels)]
        frame = ys[0].reshape(-1, 1) if len(ys) == 1 else np.stack(ys, axis=1)
        out.write(np.ascontiguousarray(restore_dtype(frame, restore)).tobytes())


# ---------------------------------------------------------------- CSV

def write_csv(out: BinaryIO, decoded: DecodedRange) -> None:
    """The CSV table of the decoded range, a batch of rows at a time, as
    recordings/table.write writes the whole."""
    from ..recordings.table import table_text

    stacked = decoded.dtype()

    def pieces() -> Iterator[tuple[int, np.ndarray]]:
        for a, b in decoded.batches():
            ys = [decoded.channel(c, a, b).astype(stacked, copy=False)
                  for c in range(decoded.channels)]
            yield a, np.stack(ys, axis=1)

    for text in table_text(decoded.meta, decoded.channels, decoded.frames, pieces()):
        out.write(text.encode("utf-8"))


# ---------------------------------------------------------------- audio

def write_audio(path, kind: str, decoded: DecodedRange) -> None:
    """The WAV, FLAC or AIFF file (a path or a writable, seekable file) of
    the decoded range, a batch of frames at a time, as recordings/audio.write
    writes the whole."""
    from ..recordings.audio import write_frames

    stacked = decoded.dtype()

    def frames() -> Iterator[np.ndarray]:
        for a, b in decoded.batches():
            yield np.stack([decoded.channel(c, a, b).astype(stacked, copy=False)
                            for c in range(decoded.channels)], axis=1)

    write_frames(path, kind, decoded.meta, decoded.channels, frames())
