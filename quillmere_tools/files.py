"""Whole-signal encoding shared by the command line and the array codecs."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Sequence

import numpy as np

from . import container as qc
from . import metrics
from ._core import Settings, ToolError, compress, decompress
from .formats import grid
from .io import Signal
from .targets import compress_to_target

FILE_VERSION = 1


@dataclass
class Target:
    """An error bound as a person states it; ``max_error_rel`` is a fraction
    of each channel's range (``--max-error 0.1%``)."""

    max_error: Optional[float] = None
    max_error_rel: Optional[float] = None
    rmse: Optional[float] = None
    prd: Optional[float] = None
    methods: Optional[Sequence[str]] = None
    coders: Optional[Sequence[str]] = None

    def __bool__(self) -> bool:
        return any(v is not None for v in (self.max_error, self.max_error_rel, self.rmse, self.prd))

    def absolute_max_error(self, channel: np.ndarray) -> Optional[float]:
        bounds = []
        if self.max_error is not None:
            bounds.append(self.max_error)
        if self.max_error_rel is not None:
            r = metrics.signal_range(channel)
            if r == 0.0:
                # A flat channel is reproduced exactly; any positive bound holds.
                r = 1.0
            bounds.append(self.max_error_rel * r)
        return min(bounds) if bounds else None


def compress_channel(x: np.ndarray, settings: Settings, target: Optional[Target],
                     quantum: Optional[float] = None) -> tuple[bytes, Settings]:
    """One channel; ``quantum`` is the code step of a format that stores
    integers, which the bound must leave room for (see formats.grid)."""
    if target:
        max_error = target.absolute_max_error(x)
        if max_error is not None:
            max_error = grid.tighten(max_error, quantum)
        res = compress_to_target(
            x, max_error=max_error, rmse=target.rmse, prd=target.prd,
            settings=settings, methods=target.methods, coders=target.coders)
        return res.container, res.settings
    return compress(x, settings), settings


def encode_signal(signal: Signal, settings: Settings = Settings(),
                  target: Optional[Target] = None, mapper=map) -> tuple[bytes, list[Settings]]:
    """``mapper`` runs the per-channel work (``map``, or a worker pool's map:
    the channels are independent and the result is the same either way)."""
    n = signal.channels
    work = mapper(compress_channel,
                  [np.ascontiguousarray(signal.channel(ch)) for ch in range(n)],
                  [settings] * n, [target] * n,
                  [grid.quantum(signal.meta, ch) for ch in range(n)])
    containers, used = zip(*work)
    meta = dict(signal.meta)
    meta["v"] = FILE_VERSION
    if signal.ragged:
        # Channels at different rates: each one's length, checked on decoding.
        meta["channel_frames"] = signal.lengths
    else:
        meta["frames"] = signal.frames
    return qc.pack(list(containers), meta), list(used)


def decode_signal(buf: bytes, mapper=map) -> Signal:
    containers, headers, meta = qc.unpack(buf)
    meta = dict(meta or {})
    lengths = [h["sample_count"] for h in headers]
    per_channel = meta.get("channel_frames")
    if per_channel is not None:
        if per_channel != lengths:
            raise ToolError("corrupt file: channel lengths do not match its metadata")
    elif len(set(lengths)) != 1:
        raise ToolError("corrupt file: channels have different lengths")
    elif "frames" in meta and meta["frames"] != lengths[0]:
        raise ToolError("corrupt file: sample count does not match its metadata")
    chans = list(mapper(_decode_one, containers, range(len(containers)), [len(containers)] * len(containers)))
    if per_channel is not None:
        return Signal(chans, meta)
    return Signal(np.stack(chans, axis=1), meta)


def _decode_one(container: bytes, index: int, count: int) -> np.ndarray:
    try:
        return decompress(container)
    except ValueError as exc:
        where = f"channel {index}: " if count > 1 else ""
        raise ToolError(f"corrupt container: {where}{exc}") from None


def describe(buf: bytes) -> dict[str, Any]:
    containers, headers, meta = qc.unpack(buf)
    return {"size": len(buf), "channels": len(containers), "containers": headers,
            "metadata": meta}
