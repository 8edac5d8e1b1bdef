"""Whole-signal encoding shared by the command line and the array codecs."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Sequence

import numpy as np

from . import container as qc
from . import metrics
from ._core import Settings, ToolError, compress, decompress
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


def compress_channel(x: np.ndarray, settings: Settings, target: Optional[Target]) -> tuple[bytes, Settings]:
    if target:
        res = compress_to_target(
            x, max_error=target.absolute_max_error(x), rmse=target.rmse, prd=target.prd,
            settings=settings, methods=target.methods, coders=target.coders)
        return res.container, res.settings
    return compress(x, settings), settings


def encode_signal(signal: Signal, settings: Settings = Settings(),
                  target: Optional[Target] = None) -> tuple[bytes, list[Settings]]:
    containers, used = [], []
    for ch in range(signal.channels):
        c, s = compress_channel(np.ascontiguousarray(signal.samples[:, ch]), settings, target)
        containers.append(c)
        used.append(s)
    meta = dict(signal.meta)
    meta["v"] = FILE_VERSION
    meta["frames"] = signal.frames
    return qc.pack(containers, meta), used


def decode_signal(buf: bytes) -> Signal:
    containers, headers, meta = qc.unpack(buf)
    chans = []
    for i, c in enumerate(containers):
        try:
            chans.append(decompress(c))
        except ValueError as exc:
            where = f"channel {i}: " if len(containers) > 1 else ""
            raise ToolError(f"corrupt container: {where}{exc}") from None
    lengths = {len(c) for c in chans}
    if len(lengths) != 1:
        raise ToolError("corrupt file: channels have different lengths")
    meta = dict(meta or {})
    if "frames" in meta and meta["frames"] != chans[0].size:
        raise ToolError("corrupt file: sample count does not match its metadata")
    return Signal(np.stack(chans, axis=1), meta)


def describe(buf: bytes) -> dict[str, Any]:
    containers, headers, meta = qc.unpack(buf)
    return {"size": len(buf), "channels": len(containers), "containers": headers,
            "metadata": meta}
