"""Converters for argparse ``type=``: each turns one command-line word into a
checked value or an ArgumentTypeError whose text argparse shows as usage."""
from __future__ import annotations

import argparse
import math
from typing import Sequence

from ..bounds import parse_bound_text
from ..settings import check_multiplier


def _shown(text: str) -> str:
    """The word as a message repeats it: a pasted 400-digit number is cut."""
    return text if len(text) <= 40 else f"{text[:20]}...({len(text)} characters)"


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {_shown(text)!r}") from None


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {_shown(text)!r}") from None


def positive_float(text: str) -> float:
    value = _number(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {_shown(text)}")
    return value


def finite_float(text: str) -> float:
    value = _number(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {_shown(text)}")
    return value


def absolute_or_percent(text: str) -> tuple[str, float]:
    """``0.01`` is an absolute bound; ``0.1%`` a fraction of each channel's range."""
    try:
        absolute, fraction = parse_bound_text(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return ("rel", fraction) if absolute is None else ("abs", absolute)


def multiplier(text: str) -> float:
    """A multiplier the codec can use as it stands in float32 (see
    parameters.check_multiplier); 0 is taken at its word."""
    try:
        return check_multiplier(_number(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def positive_int(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {_shown(text)}")
    return value


def non_negative_int(text: str) -> int:
    value = _integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {_shown(text)}")
    return value


_SIZE_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12}


def byte_size(text: str) -> int:
    """``500M``, ``2G``, ``1000000``: decimal units, an optional trailing B."""
    body = text.strip().lower().removesuffix("b")
    unit = body[-1:] if body[-1:] in _SIZE_UNITS else ""
    try:
        number = float(body[: len(body) - len(unit)])
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {_shown(text)!r} (e.g. 500M, 2G)") from None
    if not (number > 0 and math.isfinite(number)):
        raise argparse.ArgumentTypeError(f"must be a positive size, got {_shown(text)}")
    return int(number * _SIZE_UNITS[unit])


def comma_separated_choices(choices: Sequence, convert=str):
    def parse(text: str):
        items = [convert(t.strip()) for t in text.split(",") if t.strip()]
        bad = [i for i in items if i not in choices]
        if bad or not items:
            raise argparse.ArgumentTypeError(
                f"invalid choice {', '.join(map(str, bad)) or '(empty)'}; "
                f"choose from {', '.join(map(str, choices))}")
        return items
    return parse


def positive_int_list(text: str) -> list[int]:
    try:
        items = [int(t) for t in text.split(",") if t.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected comma-separated integers, got {_shown(text)!r}") from None
    if not items or any(i < 1 for i in items):
        raise argparse.ArgumentTypeError(f"expected positive integers, got {_shown(text)!r}")
    return items


def sample_rate(text: str) -> int:
    from ..qlm.metadata import MAX_SAMPLE_RATE

    value = positive_int(text)
    if value > MAX_SAMPLE_RATE:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_SAMPLE_RATE}, got {_shown(text)}")
    return value


def sample_position(text: str) -> tuple[str, float]:
    """A place in a recording: ("samples", index) for a plain integer,
    ("seconds", time) for a number ending in s."""
    t = text.strip().lower()
    try:
        if t.endswith("s"):
            value = float(t[:-1])
            if not (value >= 0.0 and value != float("inf")):
                raise ValueError
            return ("seconds", value)
        value = int(t)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a sample index (12000) or seconds (30s), got {_shown(text)!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {_shown(text)}")
    return ("samples", value)
