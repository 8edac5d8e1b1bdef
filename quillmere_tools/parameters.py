"""The codec's settings as every front end accepts them: the allowed values,
the defaults, and one checker per parameter.

Each front end (Settings, the numcodecs and Zarr codecs, the command line)
calls these at construction, so a bad value fails where it is written, with
a message naming the parameter and the value, never at the first chunk a
worker encodes.  NumPy integer and floating scalars are welcome; strings are
refused where a number is meant, because "100" silently becoming 100.0 hides
a configuration written by hand into the wrong field.
"""
from __future__ import annotations

import math
import numbers
from typing import Optional

import numpy as np

METHODS = ("cdf97", "cdf53", "db4", "sym4")
CODERS = ("cmodel", "arans", "deflate", "fast")
# The coders a channel unit may name: the wavelet coders, and the integer
# coder, which codes a source on an integer grid losslessly and only when
# asked for by name (a sweep over CODERS leaves it out: most signals lie on
# no grid it can code).
UNIT_CODERS = CODERS + ("integer",)
CUTOFFS = ("low", "medium", "high")
SCALES = tuple(range(6, 13))

DEFAULT_METHOD = "cdf97"
DEFAULT_SCALE = 11
DEFAULT_CUTOFF = "low"

# The smallest positive normal float32.  The codec stores the multiplier as
# float32 and quantises with its reciprocal; a subnormal multiplier has a
# reciprocal beyond float32's range, and one that rounds to zero quantises
# every coefficient to zero: a constant output reported as success.
FLOAT32_SMALLEST_NORMAL = float(np.finfo(np.float32).tiny)
FLOAT32_LARGEST = float(np.finfo(np.float32).max)

BOUND_NAMES = ("max_error", "rmse", "prd", "psnr", "bits_per_sample")


def _choice(name: str, value, choices) -> str:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(choices)}, got {value!r}")
    return value


def check_method(value) -> str:
    return _choice("method", value, METHODS)


def check_cutoff(value) -> str:
    return _choice("cutoff", value, CUTOFFS)


def check_coder(value) -> Optional[str]:
    """None and "auto" both leave the choice to the codec."""
    if value is None or value == "auto":
        return None
    return _choice("coder", value, UNIT_CODERS)


def is_scale(value) -> bool:
    return value in SCALES


def check_scale(value) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise ValueError(f"scale must be an integer from {SCALES[0]} to {SCALES[-1]}, "
                         f"got {value!r}")
    if not is_scale(int(value)):
        raise ValueError(f"scale must be an integer from {SCALES[0]} to {SCALES[-1]}, "
                         f"got {int(value)}")
    return int(value)


def short_repr(value) -> str:
    """``repr`` for a message, with a huge integer shown by its length."""
    text = repr(value)
    if isinstance(value, numbers.Integral) and len(text) > 24:
        return f"a {len(text.lstrip('-'))}-digit integer"
    return text if len(text) <= 60 else text[:57] + "..."


def real_number(name: str, value) -> float:
    """``value`` as a float if it is a real number (Python or NumPy), else a
    ValueError naming ``name``."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(f"{name} is too large: {short_repr(value)}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return number


def check_multiplier(value) -> Optional[float]:
    """A finite multiplier that stays a positive normal number in float32, or
    exactly zero when zero is what was asked for."""
    if value is None:
        return None
    number = real_number("quant_multiplier", value)
    if number == 0.0:
        return 0.0
    if number < 0.0:
        raise ValueError(f"quant_multiplier must be positive, got {value!r}")
    if number > FLOAT32_LARGEST:
        raise ValueError(f"quant_multiplier {value!r} does not fit in float32 "
                         f"(largest {FLOAT32_LARGEST:.6g})")
    if float(np.float32(number)) < FLOAT32_SMALLEST_NORMAL:
        raise ValueError(f"quant_multiplier {value!r} rounds to zero or to a subnormal number in "
                         f"float32 (smallest normal {FLOAT32_SMALLEST_NORMAL:.6g}); ask for 0 "
                         "if a constant output is really wanted")
    return number


def check_bound(name: str, value) -> Optional[float]:
    """An error bound: positive and finite; PSNR may be any finite number."""
    if value is None:
        return None
    number = real_number(name, value)
    if name != "psnr" and number <= 0.0:
        raise ValueError(f"{name} must be positive, got {value!r}")
    return number
