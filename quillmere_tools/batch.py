"""Whole lists of signals on a thread pool, and decoding that takes any unit.

The companion module works without the interpreter lock, so the threads run
in parallel; each signal's unit is the same bytes whatever the thread count.
"""
from __future__ import annotations

from dataclasses import fields
from typing import Any, Optional, Sequence

import numpy as np
import numpy.typing as npt

from . import frames
from ._core import Settings
from .bounds import Bounds

_SETTING_KEYS = {f.name for f in fields(Settings)}
_BOUND_KEYS = {f.name for f in fields(Bounds)}


def decompress(data: bytes | bytearray | memoryview) -> npt.NDArray[np.floating[Any]]:
    """Decode a plain container or a channel unit (container + side block):
    corrections applied, NaN and infinities restored, float64 when the source
    was float64."""
    return frames.decode_channel(data)


def _split(options: dict[str, Any]) -> tuple[Any, ...]:
    settings = options.pop("settings", None) or Settings()
    methods = options.pop("methods", None)
    coders = options.pop("coders", None)
    unknown = set(options) - _SETTING_KEYS - _BOUND_KEYS
    if unknown:
        raise TypeError(f"unexpected keyword argument {sorted(unknown)[0]!r}; expected a bound "
                        f"({', '.join(sorted(_BOUND_KEYS))}) or a setting ({', '.join(sorted(_SETTING_KEYS))})")
    changes = {k: v for k, v in options.items() if k in _SETTING_KEYS}
    bounds = Bounds(**{k: v for k, v in options.items() if k in _BOUND_KEYS})
    return frames.native_config(settings.with_(**changes), bounds, methods, coders)


def compress_many(signals: Sequence[npt.ArrayLike], *, threads: Optional[int] = None,
                  **bounds_or_settings: Any) -> list[bytes]:
    """Compress each signal into a channel unit, ``threads`` at a time (all
    the cores this process may use when None).  Keywords are bounds
    (max_error, rmse, prd, psnr, bits_per_sample), settings (method, scale,
    cutoff, coder, quant_multiplier, or settings=Settings(...)), and the
    search's candidates (methods, coders)."""
    config = _split(dict(bounds_or_settings))
    return [unit for unit, _ in frames.encode_many_with_reports(signals, config, threads)]


def decompress_many(blobs: Sequence[bytes | bytearray | memoryview], *,
                    threads: Optional[int] = None) -> list[npt.NDArray[np.floating[Any]]]:
    """``decompress`` over a list, ``threads`` at a time."""
    return frames.decode_many(blobs, threads)
