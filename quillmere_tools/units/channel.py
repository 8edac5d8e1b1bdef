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

import functools
import os
import threading
from contextlib import contextmanager
from typing import Any, Iterable, Iterator, NamedTuple, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from .. import _native, settings as parameters
from .._core import short_repr
from ..bounds import Bounds
from ..settings import Settings

Samples = npt.NDArray[Any]  # float32 or float64, as the unit says
Unit = Union[bytes, bytearray, memoryview]


class UnitRequest(NamedTuple):
    """What ``_native`` is asked to do, by name: settings as the codec's
    codes, bounds as plain numbers (see _native.pyi)."""

    method_code: int
    scale: int
    cutoff_code: int
    coder_code: int
    quant_multiplier: Optional[float]
    max_error: Optional[float]
    rmse: Optional[float]
    prd: Optional[float]
    psnr: Optional[float]
    bits_per_sample: Optional[float]
    method_codes: tuple[int, ...]  # candidates; empty means method_code alone
    coder_codes: tuple[int, ...]
    split_trailing_run: bool
    grid_step: Optional[float]  # the code step of a source stored as integers, or None
    effort_code: int = 0  # the bounded search's effort (settings.EFFORT_CODES)


def _number(value: Optional[float]) -> Optional[float]:
    return None if value is None else float(value)


_NO_BOUNDS = Bounds()


def native_request(settings: Settings = Settings(), bounds: Optional[Bounds] = None,
                   methods: Optional[Sequence[str]] = None,
                   coders: Optional[Sequence[str]] = None,
                   split_trailing_run: bool = False, grid_step: Optional[float] = None,
                   effort: Optional[str] = None) -> UnitRequest:
    """The request ``_native`` takes for these settings and bounds.

    ``grid_step`` is the code step of a source stored as integers (PCM, EDF,
    WFDB): at a bound of at most one step the channel is coded losslessly on
    that grid. Without it the codec looks for a power-of-two grid itself.

    ``split_trailing_run`` is for hosts that pad a chunk with one repeated
    value (Zarr, Dask): such a run at the end is restored exactly rather than
    coded, so the bounds hold over the samples the host actually stored.

    ``effort`` ("thorough", the default, or "fast") says how hard a search
    for bounds works for a small unit; both meet the bounds exactly."""
    b = bounds if bounds is not None else _NO_BOUNDS
    return UnitRequest(
        method_code=parameters.method_code(settings.method),
        scale=int(settings.scale),
        cutoff_code=parameters.cutoff_code(settings.cutoff),
        coder_code=parameters.coder_code(settings.coder),
        quant_multiplier=_number(settings.quant_multiplier),
        max_error=_number(b.max_error), rmse=_number(b.rmse), prd=_number(b.prd), psnr=_number(b.psnr),
        bits_per_sample=_number(b.bits_per_sample),
        method_codes=tuple(parameters.method_code(m) for m in (methods or ())),
        coder_codes=tuple(parameters.coder_code(c) for c in (coders or ())),
        split_trailing_run=bool(split_trailing_run),
        grid_step=_number(grid_step),
        effort_code=parameters.effort_code(effort),
    )


MULTI_CHANNEL_HINT = ("for several channels, pass one 1-D array per channel (compress_many(list(x.T)) "
                      "for a (frames, channels) array), or store them with the numcodecs/Zarr codec, "
                      "which codes each channel of a chunk on its own")


def as_samples(x: npt.ArrayLike) -> Samples:
    """A contiguous native float32 or float64 vector; integers become float64
    (exact up to 2**53), float16 becomes float32 (exact).  One signal is one
    channel: anything with more than one dimension is refused rather than
    flattened, which would interleave its channels."""
    # What most callers pass already is the answer; the general route below
    # costs several microseconds of NumPy calls per compress.
    if (type(x) is np.ndarray and x.ndim == 1 and x.flags.c_contiguous
            and (x.dtype == _FLOAT32 or x.dtype == _FLOAT64)):
        return x
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


def settings_of(report: _native.UnitReport) -> Settings:
    """The settings a unit was written with, from ``_native``'s report.  An
    integer unit has no wavelet and no multiplier (its report's multiplier
    is the grid step)."""
    return _settings_from_codes(report.method_code, report.scale, report.cutoff_code, report.coder_code,
                                report.quant_multiplier)


# Settings check every field when made, several microseconds a bounded call;
# a run of calls settles on few distinct settings, and Settings are frozen.
@functools.lru_cache(maxsize=256)
def _settings_from_codes(method_code: int, scale: int, cutoff_code: int, coder_code: int,
                         multiplier: float) -> Settings:
    if parameters.CODER_NAMES[coder_code] == "integer":
        return Settings(parameters.METHOD_NAMES[method_code], scale, parameters.CUTOFF_NAMES[cutoff_code],
                        "integer")
    return Settings(parameters.METHOD_NAMES[method_code], scale, parameters.CUTOFF_NAMES[cutoff_code],
                    parameters.CODER_NAMES[coder_code], multiplier)


# A long signal is coded as independent blocks of this many samples (each a
# channel unit of its own, found through an index), so its blocks run on
# every core and any part of it decodes without the rest.  Signals no longer
# than a block keep the plain single-unit form.
DEFAULT_BLOCK_LENGTH = _native.default_block_length
MIN_BLOCK_LENGTH = 4096
MAX_BLOCK_LENGTH = 2**31 - 1


def block_length_of(value: object) -> int:
    if value is None:
        return DEFAULT_BLOCK_LENGTH
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) \
            or not MIN_BLOCK_LENGTH <= value <= MAX_BLOCK_LENGTH:
        raise ValueError(f"block_length must be an integer from {MIN_BLOCK_LENGTH} to "
                         f"{MAX_BLOCK_LENGTH} samples, got {short_repr(value)}")
    return int(value)


def encode_with_report(x: npt.ArrayLike, settings: Settings = Settings(), bounds: Optional[Bounds] = None,
                       methods: Optional[Sequence[str]] = None,
                       coders: Optional[Sequence[str]] = None, *,
                       split_trailing_run: bool = False, block_length: Optional[int] = None,
                       threads: Optional[int] = None,
                       grid_step: Optional[float] = None,
                       effort: Optional[str] = None) -> tuple[bytes, _native.UnitReport]:
    """One signal's unit and report; a signal longer than ``block_length``
    is coded as blocks on ``threads`` threads (the same bytes for any count)."""
    request: Optional[UnitRequest] = None
    if methods is None and coders is None and not split_trailing_run and grid_step is None:
        try:
            request = _settled_request(settings, bounds, effort)
        except TypeError:  # an unhashable argument: made below, which words any refusal
            request = None
    if request is None:
        request = native_request(settings, bounds, methods, coders, split_trailing_run, grid_step, effort)
    return encode_many_with_reports([x], request, threads, block_length)[0]


# A request for the common call, one signal at its settings and bounds:
# made once for each, as _plain_request is (making one took about ten
# microseconds, a percent of a bounded compress of 10^5 samples).
@functools.lru_cache(maxsize=64)
def _settled_request(settings: Settings, bounds: Optional[Bounds], effort: Optional[str]) -> UnitRequest:
    return native_request(settings, bounds, None, None, False, None, effort)


def encode_channel(x: npt.ArrayLike, settings: Settings = Settings(), bounds: Optional[Bounds] = None, *,
                   split_trailing_run: bool = False, effort: Optional[str] = None) -> bytes:
    """Compress one 1-D signal into a plain channel unit, however long: the
    form array chunks use, which the HDF5 filter decodes on its own.

    Without bounds the settings are used as they are; with bounds the
    codec's search chooses the multiplier (and corrections) that meet them.
    NaN and infinities are kept; float64 input comes back as float64.
    ``effort`` is the search's (see native_request); without bounds there
    is no search and it changes nothing."""
    parameters.check_effort(effort)
    if bounds or type(settings) is not Settings:
        request = native_request(settings, bounds if bounds else None, None, None, split_trailing_run,
                                 effort=effort)
    else:
        request = _plain_request(settings, bool(split_trailing_run))
    return _native.encode_channel(as_samples(x), request)[0]


# Making a request checks and converts every setting, which took tens of
# microseconds: several percent of a compress of 10^5 samples. Plain
# requests are few and Settings are frozen, so they are made once.
@functools.lru_cache(maxsize=64)
def _plain_request(settings: Settings, split_trailing_run: bool) -> UnitRequest:
    return native_request(settings, None, None, None, split_trailing_run)


_FLOAT32 = np.dtype(np.float32)
_FLOAT64 = np.dtype(np.float64)


def _array(decoded: _native.Decoded) -> Samples:
    buffer, is_float64 = decoded
    return np.frombuffer(buffer, dtype=_FLOAT64 if is_float64 else _FLOAT32)


def decode_channel(unit: Unit, threads: Optional[int] = None) -> Samples:
    """Decode a plain or blocked channel unit; float32, or float64 when the
    unit says so.  A blocked unit's blocks decode on ``threads`` threads."""
    if _active is not None:
        return decode_many([unit], threads)[0]
    return _array(_native.decode_units((unit,), thread_count(threads), None)[0])


def decode_range(unit: Unit, start: int, stop: int, threads: Optional[int] = None) -> Samples:
    """Samples ``start`` to ``stop`` of a unit; of a blocked unit only the
    blocks that overlap them are checked and decoded."""
    counter = active_counter()
    if counter is not None:
        length = unit_layout(unit).block_length
        counter.expect(1 if not length or start == stop
                       else (stop - 1) // length - start // length + 1)
    return _array(_native.decode_range(unit, start, stop, thread_count(threads),
                                       None if counter is None else counter.cell))


def unit_layout(unit: Unit) -> _native.UnitLayout:
    """What a plain or blocked unit holds (sample count, precision, block
    length or 0, each block's byte length), read without decoding."""
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


def encode_many_with_reports(signals: Iterable[npt.ArrayLike], request: UnitRequest, threads: Optional[int],
                             block_length: Optional[int] = None) -> list[tuple[bytes, _native.UnitReport]]:
    samples = [as_samples(x) for x in signals]
    length = block_length_of(block_length)
    counter = active_counter()
    if counter is not None:
        counter.expect(sum(blocks_in(x.size, length) for x in samples))
    return _native.encode_blocks(samples, request, length, thread_count(threads),
                                 None if counter is None else counter.cell)


def _blocks_of(unit: Unit) -> int:
    try:
        return len(unit_layout(unit).block_bytes)
    except ValueError:
        return 1  # the decoder words what is wrong with it


def decode_many(units: Iterable[Unit], threads: Optional[int] = None) -> list[Samples]:
    units = list(units)
    counter = active_counter()
    if counter is not None:
        counter.expect(sum(_blocks_of(u) for u in units))
    return [_array(d) for d in _native.decode_units(units, thread_count(threads),
                                                    None if counter is None else counter.cell)]


class BlockCounter:
    def __init__(self) -> None:
        # Passed to the companion module, which adds to it atomically.
        self.cell = np.zeros(1, dtype=np.uint64)
        self._expected = 0
        self._lock = threading.Lock()

    def expect(self, blocks: int) -> None:
        with self._lock:
            self._expected += blocks

    @property
    def expected(self) -> int:
        return self._expected

    @property
    def done(self) -> int:
        return int(self.cell[0])


_active: Optional[BlockCounter] = None


def active_counter() -> Optional[BlockCounter]:
    return _active


def blocks_in(samples: int, block_length: int) -> int:
    """How many blocks a channel of ``samples`` is coded as."""
    return 1 if samples <= block_length else -(-samples // block_length)


@contextmanager
def counting_blocks() -> Iterator[BlockCounter]:
    """Count every block coded or decoded in this process until the end of
    the block (one run of the command line at a time)."""
    global _active
    counter = BlockCounter()
    _active = counter
    try:
        yield counter
    finally:
        _active = None
