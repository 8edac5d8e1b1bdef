"""Error bounds: ``Bounds``, the absolute numbers every search and codec
takes, and the forms people write them in.

A bound is a number in the signal's units or, for the maximum error and the
RMSE, a percentage of a channel's range ("0.1%").  The command line and the
array codecs read the same forms through this module, so "0.1%" means one
thing wherever it is accepted; a percentage is resolved against the channel
it bounds (each channel of a file, each channel of a chunk) just before that
channel is coded.  A bound is checked where it is written, so a bad one
fails with its name before any work starts."""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, fields
from typing import Any, Optional, Union

import numpy.typing as npt

from . import metrics, settings
from ._core import short_repr

# How each bound reads in a message.
_UNITS = {"max_error": "", "rmse": "", "prd": " %", "psnr": " dB", "bits_per_sample": " bits"}


@dataclass(frozen=True)
class Bounds:
    max_error: Optional[float] = None        # in the signal's units
    rmse: Optional[float] = None             # in the signal's units
    prd: Optional[float] = None              # percent
    psnr: Optional[float] = None             # dB, a floor
    bits_per_sample: Optional[float] = None  # size budget of the whole unit

    def _items(self) -> list[tuple[str, Any]]:
        # getattr over the field names: dataclasses.asdict deep-copies every
        # value, which cost each bounded call tens of microseconds.
        return [(name, getattr(self, name)) for name in BOUND_NAMES]

    def __post_init__(self) -> None:
        for name, v in self._items():
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
        return any(v is not None for _, v in self._items())

    def as_kwargs(self) -> dict[str, Any]:
        return {k: v for k, v in self._items() if v is not None}

    def describe(self) -> str:
        return " and ".join(f"{k} {'>=' if k == 'psnr' else '<='} {v:.6g}{_UNITS[k]}"
                            for k, v in self.as_kwargs().items())


# The bound names in their one order, for every front end that lists them.
BOUND_NAMES: tuple[str, ...] = tuple(f.name for f in fields(Bounds))


# The bounds that are in the signal's units, and so have a relative form.
RELATIVE_BOUNDS = ("max_error", "rmse")

Form = Union[float, str]


def parse_percent(text: str) -> Optional[float]:
    """``"0.1%"`` as the fraction 0.001; None when ``text`` has no trailing
    ``%``.  A percentage that is not a positive finite number is refused."""
    body = text.strip()
    if not body.endswith("%"):
        return None
    number = body[:-1]
    try:
        value = float(number)
    except ValueError:
        raise ValueError(f"not a number: {number!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"must be a positive number, got {number}")
    return value / 100.0


def parse_bound_text(text: str) -> tuple[Optional[float], Optional[float]]:
    """One command-line word as (absolute, fraction of range), one of them set."""
    fraction = parse_percent(text)
    if fraction is not None:
        return None, fraction
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"not a number: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"must be a positive number, got {text}")
    return value, None


def check_bound_form(name: str, value: object) -> Optional[Form]:
    """A bound as a codec configuration holds it: a checked number, or for
    max_error and rmse a percentage kept as its text (so it stays JSON and
    reads back the same)."""
    if isinstance(value, str):
        if name not in RELATIVE_BOUNDS:
            raise ValueError(f"{name} must be a number, got {value!r}"
                             + ("; it is already in percent" if name == "prd" else ""))
        try:
            fraction = parse_percent(value)
        except ValueError as exc:
            raise ValueError(f"{name} {value!r}: {exc}") from None
        if fraction is None:
            raise ValueError(f"{name} must be a number or a percentage of the range such as "
                             f"'0.1%', got {value!r}")
        return value.strip()
    return settings.check_bound(name, value)


def spread_of(channel: npt.ArrayLike) -> float:
    """The range a percentage refers to: max - min over the finite samples,
    or 1 for a flat channel (reproduced exactly, so any positive bound holds)."""
    spread = metrics.signal_range(channel)
    return spread if spread > 0.0 else 1.0


def resolve(value: Optional[Form], spread: float) -> Optional[float]:
    """An absolute bound for a channel of range ``spread``."""
    if value is None or not isinstance(value, str):
        return value
    fraction = parse_percent(value)
    if fraction is None:
        raise ValueError(f"not a percentage of the range: {value!r}")
    return fraction * spread


def resolve_for(channel: npt.ArrayLike, bounds: dict[str, Any]) -> dict[str, Any]:
    """``bounds`` with every percentage resolved against ``channel``'s range;
    numbers are passed on as they are, to be checked where they are used."""
    if not any(isinstance(v, str) for v in bounds.values()):
        return dict(bounds)
    spread = spread_of(channel)
    return {name: resolve(check_bound_form(name, v), spread) if isinstance(v, str) else v
            for name, v in bounds.items()}
