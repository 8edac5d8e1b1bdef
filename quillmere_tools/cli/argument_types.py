"""Converters for argparse ``type=``: each turns one command-line word into a
checked value or an ArgumentTypeError whose text argparse shows as usage."""
from __future__ import annotations

import argparse
import math
from typing import Sequence


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def max_error_bound(text: str) -> tuple[str, float]:
    """``0.01`` is an absolute bound; ``0.1%`` a fraction of each channel's range."""
    if text.endswith("%"):
        return ("rel", positive_float(text[:-1]) / 100.0)
    return ("abs", positive_float(text))


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
        raise argparse.ArgumentTypeError(f"expected comma-separated integers, got {text!r}") from None
    if not items or any(i < 1 for i in items):
        raise argparse.ArgumentTypeError(f"expected positive integers, got {text!r}")
    return items


def worker_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of workers, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value
