"""Quillmere inside HDF5 files, through the filter plugin that ships with
this package.

    import h5py
    import numpy as np
    import quillmere_tools.hdf5 as qh5

    x = np.sin(np.arange(300_000) / 50.0).astype(np.float32)
    with h5py.File("rec.h5", "w") as f:
        f.create_dataset("x", data=x, chunks=(100_000,), **qh5.Quillmere(max_error="0.1%"))

Each chunk is split into channels along its time axis (axis 0 by default: a
(frames, channels) chunk holds one channel per column), each channel is
stored as a channel unit (the bytes ``frames.encode_channel`` gives for it),
and the units are framed with the chunk's length and checksum, so a damaged
chunk fails its read instead of decoding as something else. A chunk the
codec cannot code is framed raw, losslessly. float32 and float64 datasets
only. Importing this module makes the filter available in the HDF5 that h5py loaded; other
HDF5 programs (h5dump, h5repack, C and Fortran code) find it through
``HDF5_PLUGIN_PATH=$(python -c "import quillmere_tools.hdf5 as q; print(q.plugin_dir())")``.

The filter identifier is provisional (from the range HDF5 leaves to
unregistered filters) until one is registered with the HDF Group.
"""
from __future__ import annotations

import numbers
import struct
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Iterator, Optional

import numpy as np

from ._core import module
from .bounds import BOUND_NAMES, parse_bound_text
from .settings import (DEFAULT_CUTOFF, DEFAULT_METHOD, DEFAULT_SCALE, check_bound, check_coder, check_cutoff,
                       check_method, check_multiplier, check_scale, coder_code, cutoff_code, method_code)

# Provisional, see the module docstring. The filter writes this number into
# every file, so it changes only together with the plugin.
FILTER_ID = 317

# cd_values layout 2 (hdf5_filter/src/filter_params.hpp). The plugin fills
# the element type, the chunk's geometry and the check word itself when the
# dataset is created; writers leave those words 0.
_LAYOUT_VERSION = 2
_PARAM_COUNT = 24
_TIME_AXIS_WORD = 5
_FLAGS_WORD = 10
_MULTIPLIER_WORD = 11
_FLAG_MULTIPLIER = 1 << 0
# Each bound: (first of its two words, its flag, the flag of its
# fraction-of-range form or 0 where the command line has none).
_BOUND_WORDS = {
    "max_error": (12, 1 << 1, 1 << 2),
    "rmse": (14, 1 << 3, 1 << 4),
    "prd": (16, 1 << 5, 0),
    "psnr": (18, 1 << 6, 0),
    "bits_per_sample": (20, 1 << 7, 0),
}
assert tuple(_BOUND_WORDS) == BOUND_NAMES
_MAX_RANK = 32

_PLUGIN_FILE = "libh5quillmere.so"


def plugin_dir() -> str:
    """The folder holding the filter plugin, for ``HDF5_PLUGIN_PATH``."""
    candidates = [Path(__file__).resolve().parent / "hdf5_plugin"]
    # Run from a source checkout, this file is not the installed one; the
    # plugin is then where pip put the distribution's copy.
    try:
        from importlib.metadata import PackageNotFoundError, distribution

        installed = distribution("quillmere").locate_file("quillmere_tools/hdf5_plugin")
        candidates.append(Path(installed))
    except (ImportError, PackageNotFoundError):
        pass
    for folder in candidates:
        if (folder / _PLUGIN_FILE).is_file():
            return str(folder.resolve())
    raise FileNotFoundError(
        f"the HDF5 filter plugin {_PLUGIN_FILE} is not in {candidates[0]}; "
        "reinstall quillmere with 'pip install .' to build it")


def _bound(name: str, value) -> tuple[float, bool]:
    """(value, whether it is a fraction of each channel's range) for a bound
    as the command line takes it: a number, or for max_error and rmse a
    percentage string such as "0.1%"."""
    if isinstance(value, str):
        if _BOUND_WORDS[name][2] == 0:
            raise ValueError(f"{name} must be a number, got {value!r}")
        try:
            absolute, fraction = parse_bound_text(value.strip())
        except ValueError as exc:
            raise ValueError(f"{name} {exc}") from None
        return (absolute, False) if fraction is None else (fraction, True)
    return check_bound(name, value), False


def _double_words(value: float) -> tuple[int, int]:
    (bits,) = struct.unpack("<Q", struct.pack("<d", value))
    return bits & 0xFFFFFFFF, bits >> 32


class Quillmere(Mapping):
    """The ``create_dataset`` keyword arguments that select the filter.

    Takes the options of ``quillmere.CompressionOptions`` (checked as every
    front end checks them, each message naming the parameter) and the bounds of the command line:
    ``max_error`` and ``rmse`` (a number in the dataset's units, or a
    percentage of each channel's range such as ``"0.1%"``), ``prd`` (percent),
    ``psnr`` (dB) and ``bits_per_sample``. With bounds the codec's search
    picks the multiplier (method, scale, cutoff and coder stay as given) and
    every bound holds for every channel of every chunk.

    Chunks are coded channel by channel along ``time_axis``: with the default
    0, a chunk of shape (frames, channels) holds one channel per column.
    """

    def __init__(self, method: str = DEFAULT_METHOD, scale: int = DEFAULT_SCALE, cutoff: str = DEFAULT_CUTOFF,
                 coder: Optional[str] = None, quant_multiplier: Optional[float] = None,
                 max_error=None, rmse=None, prd: Optional[float] = None,
                 psnr: Optional[float] = None, bits_per_sample: Optional[float] = None,
                 time_axis: int = 0):
        method, scale, cutoff = check_method(method), check_scale(scale), check_cutoff(cutoff)
        coder = check_coder(coder)
        if coder == "integer":
            raise ValueError("coder 'integer' is not a choice of the HDF5 filter: with the coder "
                             "left to it and a max_error of at most one step, a chunk of integer "
                             "values is stored as an integer unit by itself")
        quant_multiplier = check_multiplier(quant_multiplier)
        # The fast coder is the tools' own: the module's options do not know
        # it, so they check everything else.
        module().CompressionOptions(method, scale, cutoff, None if coder == "fast" else coder,
                                    quant_multiplier)
        given = {k: v for k, v in zip(BOUND_NAMES, (max_error, rmse, prd, psnr, bits_per_sample))
                 if v is not None}
        if quant_multiplier is not None and given:
            raise ValueError("give either quant_multiplier or an error bound "
                             f"({', '.join(given)}), not both: with a bound the search picks "
                             "the multiplier")
        if (isinstance(time_axis, bool) or not isinstance(time_axis, numbers.Integral)
                or not 0 <= int(time_axis) < _MAX_RANK):
            raise ValueError(f"time_axis must be an axis of the chunk (0 to {_MAX_RANK - 1}), "
                             f"got {time_axis!r}")
        words = [0] * _PARAM_COUNT
        words[0] = _LAYOUT_VERSION
        words[_TIME_AXIS_WORD] = int(time_axis)
        words[6:10] = [method_code(method), int(scale), cutoff_code(cutoff), coder_code(coder)]
        flags = 0
        if quant_multiplier is not None:
            flags |= _FLAG_MULTIPLIER
            words[_MULTIPLIER_WORD] = int(np.float32(quant_multiplier).view(np.uint32))
        for name, value in given.items():
            number, of_range = _bound(name, value)
            at, flag, range_flag = _BOUND_WORDS[name]
            flags |= flag | (range_flag if of_range else 0)
            words[at:at + 2] = _double_words(number)
        words[_FLAGS_WORD] = flags
        self.filter_options = tuple(words)
        self._kwargs = {"compression": FILTER_ID, "compression_opts": self.filter_options}
        register()

    def __getitem__(self, key: str) -> Any:
        return self._kwargs[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._kwargs)

    def __len__(self) -> int:
        return len(self._kwargs)

    def __repr__(self) -> str:
        return f"Quillmere(compression={FILTER_ID}, compression_opts={self.filter_options})"


def register() -> bool:
    """Adds the plugin folder to the search path of h5py's HDF5 (once).

    Returns whether the filter is available there; False when h5py is not
    installed or the plugin was not built.
    """
    try:
        import h5py
    except ImportError:
        return False
    try:
        folder = plugin_dir()
    except FileNotFoundError:
        return False
    known = {h5py.h5pl.get(i).decode(errors="replace") for i in range(h5py.h5pl.size())}
    if folder not in known:
        h5py.h5pl.append(folder.encode())
    return bool(h5py.h5z.filter_avail(FILTER_ID))


register()
