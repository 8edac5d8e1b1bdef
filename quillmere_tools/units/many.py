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

from . import channel
from ..settings import Settings
from .._core import short_repr
from ..bounds import BOUND_NAMES, RELATIVE_BOUNDS, Bounds, check_bound_form, resolve_for

_SETTING_KEYS = {f.name for f in fields(Settings)}
_BOUND_KEYS = set(BOUND_NAMES)


def decompress(data: bytes | bytearray | memoryview, *, start: Optional[int] = None, stop: Optional[int] = None,
               threads: Optional[int] = None) -> npt.NDArray[np.floating[Any]]:
    """Decode a plain container, a channel unit (container + side block) or
    a blocked unit: corrections applied, NaN and infinities restored,
    float64 when the source was float64.

    ``start`` and ``stop`` are sample indices (stop excluded; negative ones
    count from the end, as in slicing); only the blocks of a blocked unit
    that overlap them are decoded.  Blocks decode on ``threads`` threads
    (all the cores this process may use when None)."""
    if start is None and stop is None:
        return channel.decode_channel(data, threads)
    count = channel.unit_layout(data).sample_count
    first, last = _sample_range(start, stop, count)
    return channel.decode_range(data, first, last, threads)


def _sample_range(start: Optional[int], stop: Optional[int], count: int) -> tuple[int, int]:
    """start/stop as slice bounds over ``count`` samples; an empty range is
    allowed, a bound that is not an integer or falls outside is refused."""
    bounds = []
    for name, value, default in (("start", start, 0), ("stop", stop, count)):
        if value is None:
            bounds.append(default)
            continue
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be a sample index (an integer), got {short_repr(value)}")
        v = int(value) + count if value < 0 else int(value)
        if not 0 <= v <= count:
            raise ValueError(f"{name}={int(value)} is outside the {count} samples of the signal")
        bounds.append(v)
    if bounds[0] > bounds[1]:
        raise ValueError(f"start={start} comes after stop={stop}")
    return bounds[0], bounds[1]


def _split(options: dict[str, Any]) -> channel.UnitRequest:
    settings = options.pop("settings", None) or Settings()
    methods = options.pop("methods", None)
    coders = options.pop("coders", None)
    effort = options.pop("effort", None)
    unknown = set(options) - _SETTING_KEYS - _BOUND_KEYS
    if unknown:
        raise TypeError(f"unexpected keyword argument {sorted(unknown)[0]!r}; expected a bound "
                        f"({', '.join(sorted(_BOUND_KEYS))}) or a setting ({', '.join(sorted(_SETTING_KEYS))})")
    changes = {k: v for k, v in options.items() if k in _SETTING_KEYS}
    bounds = Bounds(**{k: v for k, v in options.items() if k in _BOUND_KEYS})
    return channel.native_request(settings.with_(**changes), bounds, methods, coders, effort=effort)


def _signal_list(signals: Sequence[npt.ArrayLike]) -> list[npt.ArrayLike]:
    """The signals as a list of 1-D arrays.  An array passed as the list
    itself is refused: iterating a 1-D array gives one-sample signals, and a
    2-D one gives rows, which for a (frames, channels) array are channel."""
    if isinstance(signals, np.ndarray) or np.isscalar(signals):
        shape = np.shape(signals)
        raise TypeError(f"compress_many takes a sequence of 1-D arrays, one per signal, got an "
                        f"array of shape {shape}; for one signal pass [x] (or use "
                        f"compress_to_target), for a (frames, channels) array pass list(x.T)")
    out = list(signals)
    for i, x in enumerate(out):
        if np.ndim(x) != 1:
            raise ValueError(f"signal {i} has shape {np.shape(x)}; compress_many takes 1-D "
                             f"arrays, one per signal ({channel.MULTI_CHANNEL_HINT})")
    return out


def compress_many(signals: Sequence[npt.ArrayLike], *, threads: Optional[int] = None,
                  block_length: Optional[int] = None,
                  **bounds_or_settings: Any) -> list[bytes]:
    """Compress each signal (a 1-D array) into a channel unit, ``threads``
    at a time (all the cores this process may use when None).  Keywords are
    bounds (max_error, rmse, prd, psnr, bits_per_sample), settings (method,
    scale, cutoff, coder, quant_multiplier, or settings=Settings(...)), and
    the search's candidates (methods, coders) and effort ("thorough" or
    "fast", as compress_to_target takes it).  ``max_error`` and ``rmse``
    may be percentages (``"0.1%"``) of each signal's own range.

    A signal longer than ``block_length`` samples (1048576 when None) is
    coded as independent blocks, each a task on the thread pool; the bytes
    are the same for any thread count.  Every bound holds over the whole
    signal and over each block."""
    signals = _signal_list(signals)
    length = channel.block_length_of(block_length)
    options = dict(bounds_or_settings)
    if not any(isinstance(options.get(k), str) for k in RELATIVE_BOUNDS):
        request = _split(options)
        return [unit for unit, _ in channel.encode_many_with_reports(signals, request, threads, length)]
    # Each signal has bounds of its own, so each is one call; its blocks
    # still spread over every thread.  Every keyword is checked before any
    # work starts.
    texts = {k: v for k, v in options.items()
             if isinstance(v, str) and k in RELATIVE_BOUNDS}
    for name, value in texts.items():
        check_bound_form(name, value)
    _split({k: v for k, v in options.items() if k not in texts})
    threads = channel.thread_count(threads)
    # Only the percentages are resolved: a setting's own text (a method's
    # or the effort's name) is no bound.
    requests = [_split({**options, **resolve_for(channel.as_samples(x), texts)}) for x in signals]
    # Signals side by side, each with its share of the threads for its blocks
    # (the companion module works without the interpreter lock).
    inner = max(1, threads // max(1, len(signals)))
    with ThreadPoolExecutor(max(1, min(threads, len(signals)))) as pool:
        return list(pool.map(
            lambda pair: channel.encode_many_with_reports([pair[0]], pair[1], inner, length)[0][0],
            zip(signals, requests)))


def decompress_many(blobs: Sequence[bytes | bytearray | memoryview], *,
                    threads: Optional[int] = None) -> list[npt.NDArray[np.floating[Any]]]:
    """``decompress`` over a list, ``threads`` at a time."""
    return channel.decode_many(blobs, threads)
