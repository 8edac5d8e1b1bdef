"""Error bounds as absolute numbers, the form every search and codec takes.

Percent-of-range forms ("0.1%") are resolved against a channel by the
front ends before they get here.  A bound is checked where it is written, so
a bad one fails with its name before any work starts."""
from __future__ import annotations

import math
import numbers
from dataclasses import asdict, dataclass, fields
from typing import Any, Optional

from .settings import short_repr

# How each bound reads in a message.
_UNITS = {"max_error": "", "rmse": "", "prd": " %", "psnr": " dB", "bits_per_sample": " bits"}


@dataclass(frozen=True)
class Bounds:
    max_error: Optional[float] = None        # in the signal's units
    rmse: Optional[float] = None             # in the signal's units
    prd: Optional[float] = None              # percent
    psnr: Optional[float] = None             # dB, a floor
    bits_per_sample: Optional[float] = None  # size budget of the whole unit

    def __post_init__(self) -> None:
        for name, v in asdict(self).items():
            if v is None:
                continue
            if isinstance(v, bool) or not isinstance(v, numbers.Real):
                raise ValueError(f"{name} bound must be a number, got {v!r}")
            try:
                number = float(v)
            except OverflowError:
                number = math.inf  # an integer beyond float range
            if not (math.isfinite(number) and number > 0):
                raise ValueError(f"{name} bound must be a positive finite number, "
                                 f"got {short_repr(v)}")
            object.__setattr__(self, name, number)

    def __bool__(self) -> bool:
        return any(v is not None for v in asdict(self).values())

    def as_kwargs(self) -> dict[str, Any]:
        return {k: v for k, v in asdict(self).items() if v is not None}

    def describe(self) -> str:
        return " and ".join(f"{k} {'>=' if k == 'psnr' else '<='} {v:.6g}{_UNITS[k]}"
                            for k, v in self.as_kwargs().items())


# The bound names in their one order, for every front end that lists them.
BOUND_NAMES: tuple[str, ...] = tuple(f.name for f in fields(Bounds))
