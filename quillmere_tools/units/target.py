"""Error-target compression: the smallest unit that meets a set of bounds.

People state quality as a bound ("max error 0.01", "PRD under 1 %") rather
than as a quantisation multiplier.  The search is the codec's own, in C++:
each candidate wavelet is transformed once, each candidate multiplier is
judged with the decoder's arithmetic without entropy coding, and with a
max-error bound the samples still outside it get point-wise corrections, so
the bound holds exactly.  The returned ``unit`` is a channel unit:
decode it with ``quillmere_tools.decompress`` (``quillmere.decompress_signal``
would return the wavelet layer alone, without the corrections).
"""
from __future__ import annotations

import functools
import warnings
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Union

import numpy.typing as npt

from .. import _native
from ..bounds import resolve_for
from . import channel
from ..settings import Settings
from ..bounds import Bounds

TargetNotMet = _native.TargetNotMet


@dataclass
class TargetResult:
    unit: bytes         # the channel unit: container, then the side block if any
    settings: Settings  # what the search chose; quant_multiplier always set
    max_error: float    # measured over the finite samples, after corrections
    rmse: float
    prd: float
    candidate_pairs: int  # (method, coder) pairs the search was given
    psnr: float = float("inf")
    corrected_samples: int = 0

    @property
    def size(self) -> int:
        return len(self.unit)

    @property
    def container(self) -> bytes:
        """The unit, under the name it had before; it holds more than a container."""
        warnings.warn("TargetResult.container is now TargetResult.unit", DeprecationWarning, stacklevel=2)
        return self.unit

    @property
    def evaluations(self) -> int:
        """candidate_pairs, under the name it had before."""
        warnings.warn("TargetResult.evaluations is now TargetResult.candidate_pairs", DeprecationWarning,
                      stacklevel=2)
        return self.candidate_pairs


def compress_to_target(
    data: npt.ArrayLike,
    *,
    max_error: Optional[Union[float, str]] = None,
    rmse: Optional[Union[float, str]] = None,
    prd: Optional[float] = None,
    psnr: Optional[float] = None,
    bits_per_sample: Optional[float] = None,
    settings: Settings = Settings(),
    methods: Optional[Sequence[str]] = None,
    coders: Optional[Sequence[str]] = None,
    block_length: Optional[int] = None,
    threads: Optional[int] = None,
    effort: str = "thorough",
) -> TargetResult:
    """Compress ``data`` into the smallest unit whose reconstruction meets
    every given bound: max absolute error and RMSE in the signal's units (or
    as a percentage of its range, ``"0.1%"``), PRD in percent, PSNR in dB
    (a floor); or, with ``bits_per_sample``, the smallest error that fits
    that size.  Bounds are measured over the finite samples; NaN and
    infinities are kept.

    A signal longer than ``block_length`` samples (1048576 when None) is
    coded as independent blocks on ``threads`` threads; every bound then
    holds over the whole signal and over each block (PRD and PSNR as the
    RMSE that meets them over the whole signal), and the measured figures
    are the whole signal's.

    ``effort`` trades size for time: "thorough" (the default) searches
    multipliers and codes several finalists for the smallest unit; "fast"
    judges one predicted multiplier through the decoder's arithmetic and
    codes it once, several times sooner for a somewhat larger unit (see
    docs/performance.md).  Every bound holds exactly either way; a size
    budget (``bits_per_sample``) is always searched thoroughly.

    ``settings`` gives the method, scale (the dead-zone row), cutoff and coder;
    ``methods`` and ``coders`` widen the search.  A bad bound raises
    ValueError, an unreachable one TargetNotMet; both name the bound.
    """
    # Percentages need the signal's range, so only they pay for reading it.
    limits: dict[str, Any] = {"max_error": max_error, "rmse": rmse}
    if any(isinstance(v, str) for v in limits.values()):
        limits = resolve_for(channel.as_samples(data), limits)
    try:
        bounds = _bounds(limits["max_error"], limits["rmse"], prd, psnr, bits_per_sample)
    except TypeError:  # an unhashable bound: Bounds words the refusal
        bounds = Bounds(limits["max_error"], limits["rmse"], prd, psnr, bits_per_sample)
    if not bounds:
        raise ValueError("give at least one of max_error, rmse, prd, psnr or bits_per_sample")
    unit, report = channel.encode_with_report(data, settings, bounds, methods, coders,
                                             block_length=block_length, threads=threads, effort=effort)
    pairs = max(1, len(methods or ())) * max(1, len(coders or ()))
    return TargetResult(
        unit=unit, settings=channel.settings_of(report),
        max_error=report.max_error, rmse=report.rmse, prd=report.prd, candidate_pairs=pairs,
        psnr=report.psnr, corrected_samples=report.corrected_samples)


# Checking the bounds took about a microsecond and a half of every call; a
# run of calls repeats a few of them. Typed, so that True is still refused
# where 1.0 was taken.
@functools.lru_cache(maxsize=256, typed=True)
def _bounds(max_error: Any, rmse: Any, prd: Any, psnr: Any, bits_per_sample: Any) -> Bounds:
    return Bounds(max_error, rmse, prd, psnr, bits_per_sample)
