"""One channel as the tools store it.

A channel unit is the codec's container, optionally followed by a side block
that only the tools read (stock decoders stop at the container's payload).
The side block carries what the container cannot: corrections that make a
point-wise error bound hold, the positions of non-finite samples, the float64
offset that keeps the variation of large-magnitude signals, and the source
precision.  ``quillmere.decompress_signal`` on a unit therefore returns the
wavelet layer only: no corrections, no NaN or infinities, and for a float64
source with an offset, the samples minus that offset.

Every front end (CLI, numcodecs, Zarr, Dask, compress_many) goes through
``encode_channel`` and ``decode_channel``, so they all write and read the
same bytes.  The work itself happens in the companion module ``_native``,
without the interpreter lock.
"""
from __future__ import annotations

import os
from typing import Optional, Sequence

import numpy as np

from . import _native, block_progress
from ._core import CUTOFFS, METHODS, Settings
from .parameters import UNIT_CODERS
from .bounds import Bounds
from .parameters import short_repr

# Codes as the codec's option record stores them.
_METHOD_CODES = {"cdf53": 0, "cdf97": 1, "db4": 2, "sym4": 3}
_CUTOFF_CODES = {"low": 0, "medium": 1, "high": 2}
_CODER_CODES = {None: 255, "auto": 255, "deflate": 0, "arans": 1, "cmodel": 2, "fast": 3,
                "integer": 4}
_METHOD_NAMES = {v: k for k, v in _METHOD_CODES.items()}
_CUTOFF_NAMES = {v: k for k, v in _CUTOFF_CODES.items()}
_CODER_NAMES = {0: "deflate", 1: "arans", 2: "cmodel", 3: "fast", 4: "integer"}


def _code(table: dict, name, parameter: str, choices: Sequence[str]) -> int:
    try:
        return table[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown {parameter} {name!r}, expected one of {', '.join(choices)}") from None


def native_config(settings: Settings = Settings(), bounds: Optional[Bounds] = None,
                  methods: Optional[Sequence[str]] = None,
                  coders: Optional[Sequence[str]] = None,
                  split_trailing_run: bool = False, grid_step: Optional[float] = None) -> tuple:
    """The tuple ``_native`` takes: settings and bounds as plain numbers.

    ``grid_step`` is the code step of a source stored as integers (PCM, EDF,
    WFDB): at a bound of at most one step the channel is coded losslessly on
    that grid. Without it the codec looks for a power-of-two grid itself.

    ``split_trailing_run`` is for hosts that pad a chunk with one repeated
    value (Zarr, Dask): such a run at the end is restored exactly rather than
    coded, so the bounds hold over the samples the host actually stored."""
    b = bounds if bounds is not None else Bounds()
    return (
        _code(_METHOD_CODES, settings.method, "method", METHODS),
        int(settings.scale),
        _code(_CUTOFF_CODES, settings.cutoff, "cutoff", CUTOFFS),
        _code(_CODER_CODES, settings.coder, "coder", UNIT_CODERS),
        None if settings.quant_multiplier is None else float(settings.quant_multiplier),
        *(None if v is None else float(v) for v in (b.max_error, b.rmse, b.prd, b.psnr, b.bits_per_sample)),
        tuple(_code(_METHOD_CODES, m, "method", METHODS) for m in (methods or ())),
        tuple(_code(_CODER_CODES, c, "coder", UNIT_CODERS) for c in (coders or ())),
        bool(split_trailing_run),
        None if grid_step is None else float(grid_step),
    )


MULTI_CHANNEL_HINT = ("for several channels, pass one 1-D array per channel (compress_many(list(x.T)) "
                      "for a (frames, channels) array), or store them with the numcodecs/Zarr codec, "
                      "which codes each channel of a chunk on its own")


def as_samples(x) -> np.ndarray:
    """A contiguous native float32 or float64 vector; integers become float64
    (exact up to 2**53), float16 becomes float32 (exact).  One signal is one
    channel: anything with more than one dimension is refused rather than
    flattened, which would interleave its channels."""
    arr = np.asarray(x)
    if arr.ndim > 1:
        raise ValueError(f"expected one signal as a 1-D array, got shape {arr.shape}; "
                         f"{MULTI_CHANNEL_HINT}")
    if arr.dtype.kind not in "fiub" or arr.dtype.itemsize > 8:
        raise ValueError(f"cannot compress samples of dtype {arr.dtype}; give real numbers")
    if arr.dtype.kind == "f" and arr.dtype.itemsize <= 4:
        target = np.float32
    else:
        target = np.float64
    return np.ascontiguousarray(arr.reshape(-1), dtype=target)


def settings_of(report: tuple) -> Settings:
    """The settings a unit was written with, from ``_native``'s report.  An
    integer unit has no wavelet and no multiplier (its report's multiplier
    is the grid step)."""
    method, scale, cutoff, coder, multiplier = report[:5]
    if _CODER_NAMES[coder] == "integer":
        return Settings(_METHOD_NAMES[method], scale, _CUTOFF_NAMES[cutoff], "integer")
    return Settings(_METHOD_NAMES[method], scale, _CUTOFF_NAMES[cutoff], _CODER_NAMES[coder], multiplier)


# A long signal is coded as independent blocks of this many samples (each a
# channel unit of its own, found through an index), so its blocks run on
# every core and any part of it decodes without the rest.  Signals no longer
# than a block keep the plain single-unit form.
DEFAULT_BLOCK_LENGTH = _native.default_block_length
MIN_BLOCK_LENGTH = 4096
MAX_BLOCK_LENGTH = 2**31 - 1


def block_length_of(value) -> int:
    if value is None:
        return DEFAULT_BLOCK_LENGTH
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) \
            or not MIN_BLOCK_LENGTH <= value <= MAX_BLOCK_LENGTH:
        raise ValueError(f"block_length must be an integer from {MIN_BLOCK_LENGTH} to "
                         f"{MAX_BLOCK_LENGTH} samples, got {short_repr(value)}")
    return int(value)


def encode_with_report(x, settings: Settings = Settings(), bounds: Optional[Bounds] = None,
                       methods: Optional[Sequence[str]] = None,
                       coders: Optional[Sequence[str]] = None, *,
                       split_trailing_run: bool = False, block_length: Optional[int] = None,
                       threads: Optional[int] = None,
                       grid_step: Optional[float] = None) -> tuple[bytes, tuple]:
    """One signal's unit and report; a signal longer than ``block_length``
    is coded as blocks on ``threads`` threads (the same bytes for any count)."""
    config = native_config(settings, bounds, methods, coders, split_trailing_run, grid_step)
    return encode_many_with_reports([x], config, threads, block_length)[0]


def encode_channel(x, settings: Settings = Settings(), bounds: Optional[Bounds] = None, *,
                   split_trailing_run: bool = False) -> bytes:
    """Compress one 1-D signal into a plain channel unit, however long: the
    form array chunks use, which the HDF5 filter decodes on its own.

    Without bounds the settings are used as they are; with bounds the
    codec's search chooses the multiplier (and corrections) that meet them.
    NaN and infinities are kept; float64 input comes back as float64."""
    config = native_config(settings, bounds if bounds else None, None, None, split_trailing_run)
    return _native.encode_channel(as_samples(x), config)[0]


def _array(decoded: tuple) -> np.ndarray:
    buffer, is_float64 = decoded
    return np.frombuffer(buffer, dtype=np.float64 if is_float64 else np.float32)


def decode_channel(unit, threads: Optional[int] = None) -> np.ndarray:
    """Decode a plain or blocked channel unit; float32, or float64 when the
    unit says so.  A blocked unit's blocks decode on ``threads`` threads."""
    return decode_many([unit], threads)[0]


def decode_range(unit, start: int, stop: int, threads: Optional[int] = None) -> np.ndarray:
    """Samples ``start`` to ``stop`` of a unit; of a blocked unit only the
    blocks that overlap them are checked and decoded."""
    counter = block_progress.active()
    if counter is not None:
        length = unit_layout(unit)[2]
        counter.expect(1 if not length or start == stop
                       else (stop - 1) // length - start // length + 1)
    return _array(_native.decode_range(unit, start, stop, thread_count(threads),
                                       None if counter is None else counter.cell))


def unit_layout(unit) -> tuple:
    """(sample_count, is_float64, block_length or 0, byte length of each
    block) of a plain or blocked unit, read without decoding."""
    return _native.unit_layout(unit)


# Far more than any machine's cores; beyond it a count is a mistake (and
# past 2**63 not even a C long).
MAX_THREADS = 4096


def thread_count(threads: Optional[int]) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # pragma: no cover - not on Linux
            return max(1, os.cpu_count() or 1)
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a positive integer, got {short_repr(threads)}")
    if threads > MAX_THREADS:
        raise ValueError(f"threads must be at most {MAX_THREADS}, got {short_repr(threads)}")
    return int(threads)


def encode_many_with_reports(signals, config: tuple, threads: Optional[int],
                             block_length: Optional[int] = None) -> list[tuple[bytes, tuple]]:
    samples = [as_samples(x) for x in signals]
    length = block_length_of(block_length)
    counter = block_progress.active()
    if counter is not None:
        counter.expect(sum(block_progress.blocks_in(x.size, length) for x in samples))
    return _native.encode_blocks(samples, config, length, thread_count(threads),
                                 None if counter is None else counter.cell)


def _blocks_of(unit) -> int:
    try:
        return len(unit_layout(unit)[3])
    except ValueError:
        return 1  # the decoder words what is wrong with it


def decode_many(units, threads: Optional[int] = None) -> list[np.ndarray]:
    units = list(units)
    counter = block_progress.active()
    if counter is not None:
        counter.expect(sum(_blocks_of(u) for u in units))
    return [_array(d) for d in _native.decode_units(units, thread_count(threads),
                                                    None if counter is None else counter.cell)]
