"""Whole signals as .qlm files: one channel unit per channel, then the index
(unit_file.py) that lets every check run before any sample is decoded."""
from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Any, Optional, Sequence

import numpy as np

from .. import recordings as formats
from .._core import ToolError
from ..settings import Settings
from ..bounds import Bounds, spread_of
from .metadata import dump_metadata
from ..recordings import grid
from ..units.channel import decode_channel, encode_with_report, settings_of
from ..units.channel import decode_range as _decode_unit_range
from ..recordings.signal import Signal
from ..units.stored_bounds import compress_held
from ..units.target import TargetNotMet
from .index import INDEX_VERSION, TAIL_LEN, UnitFile, pack, unpack

COMPRESSED_SUFFIX = ".qlm"


@dataclass
class StatedBounds:
    """Error bounds as a person states them.  The ``*_rel`` forms are
    fractions of each channel's range (``--max-error 0.1%``), resolved per
    channel into an absolute Bounds."""

    max_error: Optional[float] = None
    max_error_rel: Optional[float] = None
    rmse: Optional[float] = None
    rmse_rel: Optional[float] = None
    prd: Optional[float] = None
    psnr: Optional[float] = None
    bits_per_sample: Optional[float] = None
    methods: Optional[Sequence[str]] = None
    coders: Optional[Sequence[str]] = None
    effort: str = "thorough"  # the search's: "thorough" or "fast"

    def __bool__(self) -> bool:
        return any(v is not None for v in (self.max_error, self.max_error_rel, self.rmse,
                                           self.rmse_rel, self.prd, self.psnr,
                                           self.bits_per_sample))

    def bounds_for(self, channel: np.ndarray) -> Bounds:
        return self.bounds_for_spread(spread_of(channel))

    def bounds_for_spread(self, spread: float) -> Bounds:
        """The bounds for a channel whose range (spread_of) is ``spread``."""

        def tighter(absolute, relative):
            candidates = [v for v in (absolute, None if relative is None else relative * spread)
                          if v is not None]
            return min(candidates) if candidates else None

        return Bounds(max_error=tighter(self.max_error, self.max_error_rel),
                      rmse=tighter(self.rmse, self.rmse_rel), prd=self.prd, psnr=self.psnr,
                      bits_per_sample=self.bits_per_sample)


def compress_channel(x: np.ndarray, settings: Settings, target: Optional[StatedBounds],
                     meta: Optional[dict[str, Any]] = None, channel: int = 0,
                     unit_bits_per_sample: Optional[float] = None,
                     block_length: Optional[int] = None) -> tuple[bytes, Settings]:
    """One channel unit and the settings it was written with.  With a
    target, its error bounds hold over what ``decompress`` writes back in the
    source's format described by ``meta`` (integer codes, float32, text; see
    stored_bounds), and ``unit_bits_per_sample`` replaces the budget, which
    the caller has spread over the whole file.  A channel longer than
    ``block_length`` samples is coded as blocks on every core."""
    if not target:
        unit, report = encode_with_report(x, settings, block_length=block_length)
        return unit, settings_of(report)
    meta = meta or {}
    bounds = target.bounds_for(x)
    if unit_bits_per_sample is not None:
        bounds = replace(bounds, bits_per_sample=unit_bits_per_sample)
    unit, report = compress_held(x, settings, bounds,
                                 lambda y: formats.stored_values(meta, channel, y),
                                 grid.quantum(meta, channel), target.methods, target.coders,
                                 block_length, target.effort)
    return unit, settings_of(report)


def file_overhead(meta: dict[str, Any], channels: int) -> int:
    """Bytes of a file beyond its units: the length table, metadata and tail."""
    return 8 * channels + len(dump_metadata(meta)) + TAIL_LEN


def unit_budget(bits_per_sample: float, samples: int, overhead: int) -> float:
    """The bits per sample left to the units when the whole file, index and
    metadata included, must fit ``bits_per_sample``."""
    left = bits_per_sample * samples - 8 * overhead
    if left <= 0:
        raise TargetNotMet(f"bits_per_sample {bits_per_sample:g} over the whole file leaves no "
                           f"room: its index and metadata alone take "
                           f"{8 * overhead / samples:.3g} bits per sample")
    return left / samples


# Passes at the whole-file size budget: the first uses the arithmetic
# share, the later ones shrink it by the measured overshoot.
BUDGET_PASSES = 4


def encode_signal(signal: Signal, settings: Settings = Settings(),
                  target: Optional[StatedBounds] = None, mapper=map,
                  block_length: Optional[int] = None) -> tuple[bytes, list[Settings]]:
    """The file bytes and, per channel, the settings that were used.
    ``mapper`` runs the per-channel work: ``map``, or a worker pool's map
    (the channels are independent, so the bytes are the same either way).
    A ``bits_per_sample`` budget counts the whole file: every channel's unit,
    the length table, the metadata and the tail."""
    n = signal.channels
    meta = dict(signal.meta)
    meta.update(v=INDEX_VERSION, channels=n)
    if signal.ragged:
        # Channels at different rates: each one's length, checked on reading.
        meta["channel_frames"] = signal.lengths
    else:
        meta["frames"] = signal.frames
    samples = sum(signal.lengths)
    budget = target.bits_per_sample if target else None
    share = None if budget is None else unit_budget(budget, samples, file_overhead(meta, n))
    for _ in range(BUDGET_PASSES):
        try:
            coded = list(mapper(compress_channel,
                                [np.ascontiguousarray(signal.channel(ch)) for ch in range(n)],
                                [settings] * n, [target] * n, [signal.meta] * n, list(range(n)),
                                [share] * n, [block_length] * n))
        except TargetNotMet:
            if share is None:
                raise
            raise budget_out_of_reach(budget, share, file_overhead(meta, n), samples) from None
        blob = pack([unit for unit, _ in coded], meta)
        if budget is None or 8 * len(blob) <= budget * samples:
            return blob, [used for _, used in coded]
        share *= budget * samples / (8 * len(blob)) * 0.999
    raise budget_missed(budget, len(blob), samples)


def budget_out_of_reach(budget: float, share: float, overhead_bytes: int,
                        samples: int) -> TargetNotMet:
    """The error for a file budget the index and metadata leave no room in."""
    overhead = 8 * overhead_bytes / samples
    return TargetNotMet(f"bits_per_sample {budget:g} over the whole file is out of reach: "
                        f"the index and metadata take {overhead:.3g} bits per sample, "
                        f"leaving {share:.3g} for the samples, below the smallest "
                        "channel unit")


def budget_missed(budget: float, size: int, samples: int) -> TargetNotMet:
    """The error for a file budget every pass of the search missed."""
    return TargetNotMet(f"bits_per_sample {budget:g} over the whole file: the smallest file "
                        f"found takes {8 * size / samples:.4g} bits per sample")


def read_index(buf, *, allow_bare: bool = False,
               bare_hint: str = "read it with --bare if it is one",
               checksum=None) -> UnitFile:
    return unpack(buf, allow_bare=allow_bare, bare_hint=bare_hint, checksum=checksum)


def decoded_bytes(index: UnitFile, bytes_per_sample: int) -> int:
    """What the decoded signal will take, from the headers alone."""
    return sum(h["sample_count"] for h in index.headers) * bytes_per_sample


def _decode_unit(unit: bytes, header: dict[str, Any], index: int, count: int) -> np.ndarray:
    try:
        samples = decode_channel(unit)
    except MemoryError:
        raise
    except ValueError as exc:
        where = f"channel {index}: " if count > 1 else ""
        raise ToolError(f"corrupt container: {where}{exc}") from None
    if samples.size != header["sample_count"]:
        raise ToolError(f"corrupt container: decoded {samples.size} samples, the header "
                        f"says {header['sample_count']}")
    return samples


def decode_units(index: UnitFile, mapper=map) -> Signal:
    n = len(index.units)
    channels = list(mapper(_decode_unit, index.units, index.headers, range(n), [n] * n))
    meta = {k: v for k, v in (index.metadata or {}).items() if k not in ("v", "channels")}
    if "channel_frames" in meta:
        # Checked against the headers with the rest of the metadata.
        return Signal(channels, meta)
    return Signal(_columns(channels), meta)


def _columns(channels: list[np.ndarray]) -> np.ndarray:
    """(frames, channels); one channel is viewed, not copied, so a long
    recording is held once."""
    if len(channels) == 1:
        return channels[0].reshape(-1, 1)
    return np.stack(channels, axis=1)


def _decode_part(unit: bytes, start: int, stop: int, index: int, count: int) -> np.ndarray:
    try:
        return _decode_unit_range(unit, start, stop)
    except MemoryError:
        raise
    except ValueError as exc:
        where = f"channel {index}: " if count > 1 else ""
        raise ToolError(f"corrupt container: {where}{exc}") from None


def decode_range(index: UnitFile, start: int, stop: int, mapper=map) -> Signal:
    """Samples start to stop of every channel (all of one length); of a
    blocked channel only the blocks that hold them are decoded."""
    n = len(index.units)
    channels = list(mapper(_decode_part, index.units, [start] * n, [stop] * n, range(n), [n] * n))
    meta = {k: v for k, v in (index.metadata or {}).items() if k not in ("v", "channels")}
    if "frames" in meta:
        meta["frames"] = stop - start
    return Signal(_columns(channels), meta)


def decode_signal(buf: bytes, *, allow_bare: bool = False, mapper=map) -> Signal:
    return decode_units(read_index(buf, allow_bare=allow_bare), mapper)


def describe(buf: bytes, *, allow_bare: bool = True) -> dict[str, Any]:
    index = read_index(buf, allow_bare=allow_bare)
    return {"size": len(buf), "version": index.version, "channels": len(index.units),
            "containers": index.headers, "metadata": index.metadata}
