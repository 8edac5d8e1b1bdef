"""Quillmere inside HDF5 files, through the filter plugin that ships with
this package.

    import h5py
    import quillmere_tools.hdf5 as qh5

    with h5py.File("rec.h5", "w") as f:
        f.create_dataset("x", data=x, chunks=(100_000,), **qh5.Quillmere(scale=10))

Each chunk is compressed as one signal (its elements in storage order,
whatever the chunk's shape) and stored as a channel unit, the bytes
``frames.encode_channel`` gives for it; float32 and float64 datasets only. Importing
this module makes the filter available in the HDF5 that h5py loaded; other
HDF5 programs (h5dump, h5repack, C and Fortran code) find it through
``HDF5_PLUGIN_PATH=$(python -c "import quillmere_tools.hdf5 as q; print(q.plugin_dir())")``.

The filter identifier is provisional (from the range HDF5 leaves to
unregistered filters) until one is registered with the HDF Group.
"""
from __future__ import annotations

import math
import struct
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Iterator, Optional

import numpy as np

from ._core import module

# Provisional, see the module docstring. The filter writes this number into
# every file, so it changes only together with the plugin.
FILTER_ID = 317

# cd_values layout version 1 (hdf5_filter/src/filter_params.hpp): the plugin
# fills the element type and chunk size itself when the dataset is created.
_LAYOUT_VERSION = 1
_FLAG_MULTIPLIER = 1 << 0
_FLAG_MAX_ERROR = 1 << 1
_METHODS = {"cdf53": 0, "cdf97": 1, "db4": 2, "sym4": 3}
_CUTOFFS = {"low": 0, "medium": 1, "high": 2}
_CODERS = {"deflate": 0, "arans": 1, "cmodel": 2, "fast": 3, "auto": 255}

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


class Quillmere(Mapping):
    """The ``create_dataset`` keyword arguments that select the filter.

    Takes the options of ``quillmere.CompressionOptions`` (checked by it, so
    the messages are the module's own), and ``coder="fast"``. With ``max_error`` every sample reads
    back within it: the codec's search picks the multiplier (method, scale,
    cutoff and coder stay as given) and point-wise corrections cover the rest.
    """

    def __init__(self, method: str = "cdf97", scale: int = 11, cutoff: str = "low",
                 coder: Optional[str] = None, quant_multiplier: Optional[float] = None,
                 max_error: Optional[float] = None):
        # The fast coder is the tools' own: the module's options do not know
        # it, so they check everything else.
        module().CompressionOptions(method, scale, cutoff, None if coder == "fast" else coder,
                                    quant_multiplier)
        if quant_multiplier is not None and max_error is not None:
            raise ValueError("give quant_multiplier or max_error, not both: "
                             "with max_error the search picks the multiplier")
        flags = 0
        multiplier_bits = 0
        if quant_multiplier is not None:
            flags |= _FLAG_MULTIPLIER
            # Rounded to float32 exactly as CompressionOptions stores it.
            with np.errstate(over="ignore"):
                multiplier_bits = int(np.float32(float(quant_multiplier)).view(np.uint32))
        bound_bits = 0
        if max_error is not None:
            bound = float(max_error)
            if not (math.isfinite(bound) and bound > 0.0):
                raise ValueError(f"max_error must be a positive finite number, got {max_error!r}")
            flags |= _FLAG_MAX_ERROR
            (bound_bits,) = struct.unpack("<Q", struct.pack("<d", bound))
        self.filter_options = (
            _LAYOUT_VERSION, 0, 0,
            _METHODS[method], int(scale), _CUTOFFS[cutoff], _CODERS[coder or "auto"],
            flags, multiplier_bits, bound_bits & 0xFFFFFFFF, bound_bits >> 32,
        )
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
