"""A recording too long to hold, coded into a .qlm file a batch of blocks
at a time.

The file is the one ``signal_files.encode_signal`` makes of the whole recording,
byte for byte; only the way there differs. A long channel is read twice:
once to measure it (its range for percentage bounds, and the energy and
range a blocked unit's plan needs), then block by block, a batch of a few
blocks per thread at a time, each block's unit written to the file as soon
as it is made. The blocked unit's index, whose size the block count fixes,
is reserved in front of its blocks and filled in once they are written.
Under an error bound each block is decoded as it is made and measured in
the pieces the whole-signal check uses, so a missed bound costs one more
pass (the same tightening as compress_held). Channels that fit a block, or
are short enough to be measured whole, are coded whole, as before. The
file's index and checksum come last, the checksum read back from the file.

Peak memory is a few batches of blocks (block length x threads) and the
coder's working memory per thread, not the recording's length.
"""
from __future__ import annotations

import struct
import zlib
from dataclasses import replace
from typing import BinaryIO, Optional

import numpy as np

from .. import _native, metrics, recordings as formats
from ..bounds import Bounds
from ..recordings import grid
from ..recordings.channel_source import ChannelSource
from ..settings import Settings
from ..units import stored_bounds
from ..units.channel import (UnitRequest, active_counter, as_samples, block_length_of, decode_many,
                             native_request, settings_of, thread_count)
from ..units.stored_bounds import has_error_bound, miss_of_measures, search_held
from ..units.target import TargetNotMet
from .index import BLOCKED_MAGIC, INDEX_VERSION, index_bytes
from .signal_files import (BUDGET_PASSES, StatedBounds, budget_missed, budget_out_of_reach,
                           compress_channel, file_overhead, unit_budget)

# Blocks handed to the coder at a time, per thread: enough to keep every
# thread busy while one finishes a slow block, few enough to stay small.
BLOCKS_PER_THREAD = 2
_CRC_PIECE = 1 << 24
_BLOCKED_HEAD = struct.Struct("<4sBBHQII")
_BLOCK_ENTRY = struct.Struct("<QQI")
_EMPTY_MEASURE = (0, 0.0, float("inf"), float("-inf"))


def is_long(length: int, block_length: Optional[int]) -> bool:
    """Whether a channel is coded a batch of blocks at a time rather than
    whole: longer than a block, and longer than the stretch a bound's
    check measures in one go."""
    return length > max(block_length_of(block_length), stored_bounds.LONG_SIGNAL)


def blocked_head(is_float64: bool, samples: int, block_length: int,
                 blocks: list[tuple[int, int]]) -> bytes:
    """A blocked unit's header and index for blocks of (byte length, CRC-32)."""
    parts = [_BLOCKED_HEAD.pack(BLOCKED_MAGIC, 1, int(is_float64), 0, samples, block_length,
                                len(blocks))]
    offset = 0
    for length, crc in blocks:
        parts.append(_BLOCK_ENTRY.pack(offset, length, crc))
        offset += length
    head = b"".join(parts)
    return head + struct.pack("<I", zlib.crc32(head))


class _LongChannel:
    """One long channel of a source and how it is coded."""

    def __init__(self, source: ChannelSource, channel: int, block_length: int):
        self.source = source
        self.channel = channel
        self.samples = source.lengths[channel]
        self.block_length = block_length
        self.threads = thread_count(None)
        self.batch = self.block_length * BLOCKS_PER_THREAD * self.threads
        measure = _EMPTY_MEASURE
        is_float64 = False
        for at in range(0, self.samples, self.batch):
            piece = as_samples(source.read(channel, at, min(self.samples, at + self.batch)))
            is_float64 = piece.dtype == np.float64
            measure = _native.measure_more(piece, measure)
        self.measure = measure
        self.is_float64 = is_float64

    @property
    def spread(self) -> float:
        """bounds.spread_of of the channel, from its measure."""
        finite, _, lo, hi = self.measure
        span = hi - lo if finite and hi >= lo else 0.0
        return span if span > 0.0 else 1.0

    def write(self, out: BinaryIO, request: UnitRequest,
              check: Optional[metrics.PieceMeasures]) -> Settings:
        """Code the channel into ``out`` at its position; the settings of the
        whole unit (those of its first block, with the plan's multiplier)."""
        length = self.block_length
        count, multiplier = _native.plan_measured(self.samples, self.measure, request, length)
        counter = active_counter()
        if counter is not None:
            counter.expect(count)
        head_at = out.tell()
        out.write(bytes(_BLOCKED_HEAD.size + count * _BLOCK_ENTRY.size + 4))
        blocks: list[tuple[int, int]] = []
        first_report: Optional[_native.UnitReport] = None
        for at in range(0, self.samples, self.batch):
            raw = self.source.read(self.channel, at, min(self.samples, at + self.batch))
            pieces = [as_samples(raw[k:k + length]) for k in range(0, raw.size, length)]
            coded = _native.encode_given_blocks(self.samples, self.measure, request, length, pieces,
                                                at // length, self.threads,
                                                None if counter is None else counter.cell)
            for unit, report in coded:
                out.write(unit)
                blocks.append((len(unit), zlib.crc32(unit)))
                if first_report is None:
                    first_report = report
            if check is not None:
                decoded = decode_many([unit for unit, _ in coded], self.threads)
                check.add(raw, np.concatenate(decoded))
        end = out.tell()
        out.seek(head_at)
        out.write(blocked_head(self.is_float64, self.samples, length, blocks))
        out.seek(end)
        assert first_report is not None  # a long channel has blocks
        used = settings_of(first_report)
        return used if multiplier is None else replace(used, quant_multiplier=multiplier)


def _write_long(out: BinaryIO, long: _LongChannel, settings: Settings, target: Optional[StatedBounds],
                meta: dict, unit_bits_per_sample: Optional[float]) -> Settings:
    """compress_channel for a long channel, into ``out``."""
    start = out.tell()
    if not target:
        return long.write(out, native_request(settings), None)
    bounds = target.bounds_for_spread(long.spread)
    if unit_bits_per_sample is not None:
        bounds = replace(bounds, bits_per_sample=unit_bits_per_sample)
    channel = long.channel
    measured = has_error_bound(bounds)
    quantum = grid.quantum(meta, channel)

    def encode(aim: Bounds):
        out.seek(start)
        out.truncate()
        check = (metrics.PieceMeasures(lambda y: formats.stored_values(meta, channel, y))
                 if measured else None)
        used = long.write(out, native_request(settings, aim, target.methods, target.coders,
                                              grid_step=quantum, effort=target.effort), check)
        return check, used

    _, used = search_held(encode, lambda check: miss_of_measures(bounds, check.result()),
                          bounds, quantum)
    return used


def _units_crc(out: BinaryIO, end: int) -> int:
    out.seek(0)
    crc, left = 0, end
    while left:
        piece = out.read(min(_CRC_PIECE, left))
        if not piece:
            raise OSError("the output file ended early while its checksum was taken")
        crc = zlib.crc32(piece, crc)
        left -= len(piece)
    out.seek(end)
    return crc


def encode_source(out: BinaryIO, source: ChannelSource, settings: Settings = Settings(),
                  target: Optional[StatedBounds] = None,
                  block_length: Optional[int] = None) -> tuple[int, list[Settings]]:
    """Write the .qlm file of ``source`` to ``out`` (readable, seekable, at
    its start): signal_files.encode_signal's bytes. Returns its size and, per
    channel, the settings used."""
    n = source.channels
    length = block_length_of(block_length)
    meta = dict(source.meta)
    meta.update(v=INDEX_VERSION, channels=n)
    if source.ragged:
        meta["channel_frames"] = list(source.lengths)
    else:
        meta["frames"] = source.lengths[0]
    samples = sum(source.lengths)
    budget = target.bits_per_sample if target else None
    share = None if budget is None else unit_budget(budget, samples, file_overhead(meta, n))
    longs = {ch: _LongChannel(source, ch, length) for ch in range(n)
             if is_long(source.lengths[ch], block_length)}
    for _ in range(BUDGET_PASSES):
        out.seek(0)
        out.truncate()
        lengths, used = [], []
        try:
            for ch in range(n):
                at = out.tell()
                if ch in longs:
                    used.append(_write_long(out, longs[ch], settings, target, source.meta, share))
                else:
                    x = source.read(ch, 0, source.lengths[ch])
                    unit, chosen = compress_channel(x, settings, target, source.meta, ch, share,
                                                    block_length)
                    out.write(unit)
                    used.append(chosen)
                lengths.append(out.tell() - at)
        except TargetNotMet:
            if share is None:
                raise
            raise budget_out_of_reach(budget, share, file_overhead(meta, n), samples) from None
        units_end = out.tell()
        out.write(index_bytes(lengths, meta, _units_crc(out, units_end)))
        size = out.tell()
        if budget is None or 8 * size <= budget * samples:
            return size, used
        share *= budget * samples / (8 * size) * 0.999
    raise budget_missed(budget, size, samples)
