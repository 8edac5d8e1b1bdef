"""Whole lists of signals on a thread pool, and decoding that takes any unit.

The companion module works without the interpreter lock, so the threads run
in parallel; each signal's unit is the same bytes whatever the thread count.
"""
from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import fields
from typing import Any, Optional, Sequence

import numpy as np
import numpy.typing as npt

from . import bound_forms, frames
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


def _signal_list(signals: Sequence[npt.ArrayLike]) -> list[npt.ArrayLike]:
    """The signals as a list of 1-D arrays.  An array passed as the list
    itself is refused: iterating a 1-D array gives one-sample signals, and a
    2-D one gives rows, which for a (frames, channels) array are frames."""
    if isinstance(signals, np.ndarray) or np.isscalar(signals):
        shape = np.shape(signals)
        raise TypeError(f"compress_many takes a sequence of 1-D arrays, one per signal, got an "
                        f"array of shape {shape}; for one signal pass [x] (or use "
                        f"compress_to_target), for a (frames, channels) array pass list(x.T)")
    out = list(signals)
    for i, x in enumerate(out):
        if np.ndim(x) != 1:
            raise ValueError(f"signal {i} has shape {np.shape(x)}; compress_many takes 1-D "
                             f"arrays, one per signal ({frames.MULTI_CHANNEL_HINT})")
    return out


def compress_many(signals: Sequence[npt.ArrayLike], *, threads: Optional[int] = None,
                  **bounds_or_settings: Any) -> list[bytes]:
    """Compress each signal (a 1-D array) into a channel unit, ``threads`` at
    a time (all the cores this process may use when None).  Keywords are
    bounds (max_error, rmse, prd, psnr, bits_per_sample), settings (method,
    scale, cutoff, coder, quant_multiplier, or settings=Settings(...)), and
    the search's candidates (methods, coders).  ``max_error`` and ``rmse``
    may be percentages (``"0.1%"``) of each signal's own range."""
    signals = _signal_list(signals)
    options = dict(bounds_or_settings)
    if not any(isinstance(options.get(k), str) for k in bound_forms.RELATIVE_BOUNDS):
        config = _split(options)
        return [unit for unit, _ in frames.encode_many_with_reports(signals, config, threads)]
    # Each signal has bounds of its own; the companion module works without
    # the interpreter lock, so a thread pool still runs them side by side.
    # Every keyword is checked before any work starts.
    texts = {k: v for k, v in options.items()
             if isinstance(v, str) and k in bound_forms.RELATIVE_BOUNDS}
    for name, value in texts.items():
        bound_forms.check_bound_form(name, value)
    _split({k: v for k, v in options.items() if k not in texts})
    configs = [_split(bound_forms.resolve_for(frames.as_samples(x), options)) for x in signals]
    with ThreadPoolExecutor(frames.thread_count(threads)) as pool:
        return [unit for unit, _ in pool.map(
            lambda pair: frames.encode_many_with_reports([pair[0]], pair[1], 1)[0],
            zip(signals, configs))]


def decompress_many(blobs: Sequence[bytes | bytearray | memoryview], *,
                    threads: Optional[int] = None) -> list[npt.NDArray[np.floating[Any]]]:
    """``decompress`` over a list, ``threads`` at a time."""
    return frames.decode_many(blobs, threads)
