"""The codec's settings as every front end accepts them: the allowed values,
the defaults, their codes, one checker per parameter, and ``Settings``, the
five values as one record.

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
from dataclasses import asdict, dataclass, fields, replace
from typing import TYPE_CHECKING, Any, Optional, Sequence

import numpy as np

from . import _native
from ._core import module, short_repr

if TYPE_CHECKING:
    from quillmere import CompressionOptions

# Names and codes come from the codec's own option tables (through the
# companion module), so the codec, the module and the tools share one list.
_TABLES = _native.option_codes
METHODS = tuple(_TABLES["method"])
# The wavelet coders in the order a sweep tries them (and lists them).
CODERS = ("cmodel", "arans", "deflate", "fast")
# The coders a channel unit may name: the wavelet coders, and the integer
# coder, which codes a source on an integer grid losslessly and only when
# asked for by name (a sweep over CODERS leaves it out: most signals lie on
# no grid it can code).
UNIT_CODERS = CODERS + ("integer",)
CUTOFFS = tuple(_TABLES["cutoff"])
SCALES = tuple(range(_TABLES["scale_range"][0], _TABLES["scale_range"][1] + 1))

DEFAULT_METHOD = "cdf97"
DEFAULT_SCALE = _TABLES["default_scale"]
DEFAULT_CUTOFF = "low"

# The smallest positive normal float32.  The codec stores the multiplier as
# float32 and quantises with its reciprocal; a subnormal multiplier has a
# reciprocal beyond float32's range, and one that rounds to zero quantises
# every coefficient to zero: a constant output reported as success.
FLOAT32_SMALLEST_NORMAL = float(np.finfo(np.float32).tiny)
FLOAT32_LARGEST = float(np.finfo(np.float32).max)

# Codes as the codec's option record, the container header and the HDF5
# filter's parameters store them; "auto" leaves the coder to the codec.
METHOD_CODES: dict[str, int] = dict(_TABLES["method"])
CUTOFF_CODES: dict[str, int] = dict(_TABLES["cutoff"])
CODER_CODES: dict[str, int] = {name: code for name, code in _TABLES["coder"].items() if name != "auto"}
AUTO_CODER_CODE: int = _TABLES["coder"]["auto"]
if set(UNIT_CODERS) != set(CODER_CODES):  # pragma: no cover - a build out of step
    raise ImportError(f"the companion module names the coders {sorted(CODER_CODES)}, "
                      f"these tools {sorted(UNIT_CODERS)}")
METHOD_NAMES = {code: name for name, code in METHOD_CODES.items()}
CUTOFF_NAMES = {code: name for name, code in CUTOFF_CODES.items()}
CODER_NAMES = {code: name for name, code in CODER_CODES.items()}
# The wavelet's four-byte tag in the container header.
METHOD_TAGS = {"cdf53": b"cf53", "cdf97": b"cf97", "db4": b"db04", "sym4": b"sym4"}


def method_code(name: str) -> int:
    return METHOD_CODES[check_method(name)]


def cutoff_code(name: str) -> int:
    return CUTOFF_CODES[check_cutoff(name)]


def coder_code(name: Optional[str]) -> int:
    """None and "auto" give the code that leaves the choice to the codec."""
    checked = check_coder(name)
    return AUTO_CODER_CODE if checked is None else CODER_CODES[checked]


def _choice(name: str, value: object, choices: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(choices)}, got {value!r}")
    return value


def check_method(value: object) -> str:
    return _choice("method", value, METHODS)


def check_cutoff(value: object) -> str:
    return _choice("cutoff", value, CUTOFFS)


def check_coder(value: object) -> Optional[str]:
    """None and "auto" both leave the choice to the codec."""
    if value is None or value == "auto":
        return None
    return _choice("coder", value, UNIT_CODERS)


# How hard a bounded compression works for a small unit: "thorough" (the
# default) searches multipliers and codes finalists for the smallest unit;
# "fast" judges one predicted multiplier and codes it once. Both meet every
# bound exactly. Codes as the companion module takes them.
EFFORTS = ("thorough", "fast")
DEFAULT_EFFORT = "thorough"
EFFORT_CODES: dict[str, int] = {"thorough": 0, "fast": 1}


def check_effort(value: object) -> str:
    """None gives the default effort."""
    if value is None:
        return DEFAULT_EFFORT
    return _choice("effort", value, EFFORTS)


def effort_code(name: object) -> int:
    return EFFORT_CODES[check_effort(name)]


def is_scale(value: object) -> bool:
    return value in SCALES


def check_scale(value: object) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise ValueError(f"scale must be an integer from {SCALES[0]} to {SCALES[-1]}, "
                         f"got {value!r}")
    if not is_scale(int(value)):
        raise ValueError(f"scale must be an integer from {SCALES[0]} to {SCALES[-1]}, "
                         f"got {int(value)}")
    return int(value)


def real_number(name: str, value: object) -> float:
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


def check_multiplier(value: object) -> Optional[float]:
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


def check_bound(name: str, value: object) -> Optional[float]:
    """An error bound: positive and finite; PSNR may be any finite number."""
    if value is None:
        return None
    number = real_number(name, value)
    if name != "psnr" and number <= 0.0:
        raise ValueError(f"{name} must be positive, got {value!r}")
    return number


_METHOD_SET = frozenset(METHODS)
_SCALE_SET = frozenset(SCALES)
_CUTOFF_SET = frozenset(CUTOFFS)
_CODER_SET = frozenset(UNIT_CODERS)  # "auto" is not here: it is stored as None


@dataclass(frozen=True)
class Settings:
    """The five CompressionOptions values as plain, comparable data, checked
    when made (the checkers above)."""

    method: str = DEFAULT_METHOD
    scale: int = DEFAULT_SCALE
    cutoff: str = DEFAULT_CUTOFF
    coder: Optional[str] = None
    quant_multiplier: Optional[float] = None

    def __post_init__(self) -> None:
        # Values already in their checked form (exact str and int, a coder
        # other than "auto", no multiplier) are what the checkers would give
        # back unchanged; a plain compress often makes its Settings per call,
        # and the checkers' isinstance tests against numbers.Integral and the
        # five stores cost as much as a tenth of compressing 10^5 samples.
        if (type(self.method) is str and self.method in _METHOD_SET
                and type(self.scale) is int and self.scale in _SCALE_SET
                and type(self.cutoff) is str and self.cutoff in _CUTOFF_SET
                and (self.coder is None or (type(self.coder) is str and self.coder in _CODER_SET))
                and self.quant_multiplier is None):
            return
        checked = {
            "method": check_method(self.method),
            "scale": check_scale(self.scale),
            "cutoff": check_cutoff(self.cutoff),
            "coder": check_coder(self.coder),
            "quant_multiplier": check_multiplier(self.quant_multiplier),
        }
        for name, value in checked.items():
            object.__setattr__(self, name, value)

    def options(self) -> CompressionOptions:
        made: CompressionOptions = module().CompressionOptions(**asdict(self))
        return made

    def with_(self, **changes: Any) -> "Settings":
        return replace(self, **changes)

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)

    def label(self) -> str:
        parts = [self.method, f"scale {self.scale}", self.cutoff, self.coder or "auto"]
        if self.quant_multiplier is not None:
            parts.append(f"m={self.quant_multiplier:.6g}")
        return ", ".join(parts)


# The setting names in their one order, for every front end that lists them.
SETTING_NAMES: tuple[str, ...] = tuple(f.name for f in fields(Settings))
