"""Configuration and chunk handling shared by the numcodecs and Zarr codecs.

A chunk is one channel unit (the flattened, C-order array) followed by the
index of unit_file.py, whose metadata records dtype and shape; the index is
checked before the unit is decoded.
"""
from __future__ import annotations

import math
from typing import Any, Optional

import numpy as np

from . import parameters
from ._core import Settings
from .bounds import Bounds
from .container import ContainerError
from .frames import decode_channel, encode_channel
from .unit_file import (INDEX_VERSION, MAX_EXPANSION, WORKING_BYTES_PER_SAMPLE, pack,
                        unpack)

BOUND_KEYS = parameters.BOUND_NAMES
CONFIG_KEYS = ("method", "scale", "cutoff", "coder", "quant_multiplier") + BOUND_KEYS
# The dtypes a chunk may hold: the codec works on real floating data.
FLOAT_DTYPES = (np.dtype("float16"), np.dtype("float32"), np.dtype("float64"))


def check_config(method=parameters.DEFAULT_METHOD, scale=parameters.DEFAULT_SCALE,
                 cutoff=parameters.DEFAULT_CUTOFF, coder=None, quant_multiplier=None,
                 max_error=None, rmse=None, prd=None, psnr=None,
                 bits_per_sample=None) -> dict[str, Any]:
    """Every value checked and in its JSON-ready form (str, int, float or
    None), so a bad configuration fails where it is written and nothing
    that is not JSON reaches array metadata."""
    bounds = {name: parameters.check_bound(name, value) for name, value in
              zip(BOUND_KEYS, (max_error, rmse, prd, psnr, bits_per_sample))}
    multiplier = parameters.check_multiplier(quant_multiplier)
    if multiplier is not None and any(v is not None for v in bounds.values()):
        raise ValueError("give either quant_multiplier or an error bound, not both")
    return {"method": parameters.check_method(method), "scale": parameters.check_scale(scale),
            "cutoff": parameters.check_cutoff(cutoff), "coder": parameters.check_coder(coder),
            "quant_multiplier": multiplier, **bounds}


def check_dtype(dtype) -> np.dtype:
    dt = np.dtype(dtype)
    if dt.newbyteorder("=") not in FLOAT_DTYPES:
        raise TypeError(f"the quillmere codec handles float16/32/64 data, not {dt}")
    return dt


def settings_of(cfg: dict[str, Any]) -> Settings:
    return Settings(cfg["method"], cfg["scale"], cfg["cutoff"], cfg["coder"],
                    cfg["quant_multiplier"])


def bounds_of(cfg: dict[str, Any]) -> Optional[Bounds]:
    bounds = Bounds(**{k: cfg[k] for k in BOUND_KEYS})
    return bounds if bounds else None


def encode_chunk(arr: np.ndarray, cfg: dict[str, Any]) -> bytes:
    """Compress an N-D float array as its flattened (C-order) signal."""
    dtype = check_dtype(arr.dtype)
    flat = np.ascontiguousarray(arr).reshape(-1)
    if flat.dtype not in (np.float32, np.float64):
        flat = flat.astype(np.float32)
    if flat.size == 0:
        raise ValueError("cannot compress an empty chunk")
    unit = encode_channel(flat, settings_of(cfg), bounds_of(cfg))
    meta = {"v": INDEX_VERSION, "dtype": dtype.str, "shape": [int(n) for n in arr.shape]}
    return pack([unit], meta)


def decode_chunk(raw: bytes, *, dtype=None, shape=None, allow_bare: bool = False) -> np.ndarray:
    """The array a chunk holds.  ``dtype`` and ``shape``, when the caller
    knows them (Zarr's array metadata), must agree with the chunk's own."""
    try:
        index = unpack(raw, allow_bare=allow_bare,
                       bare_hint="bare chunks are read only for arrays written before chunks "
                                 "carried an index")
        if len(index.units) != 1:
            raise ContainerError(f"expected one unit per chunk, found {len(index.units)}")
        meta = index.metadata or {}
        count = index.headers[0]["sample_count"]
        stored_dtype = np.dtype(meta["dtype"]) if "dtype" in meta else None
        stored_shape = tuple(meta["shape"]) if "shape" in meta else None
        if stored_dtype is not None and stored_dtype.kind != "f":
            raise ContainerError(f"chunk dtype {stored_dtype} is not a floating type")
        want_dtype = np.dtype(dtype) if dtype is not None else (stored_dtype or np.dtype("<f4"))
        want_shape = tuple(shape) if shape is not None else (stored_shape or (count,))
        if stored_dtype is not None and dtype is not None and stored_dtype != want_dtype:
            raise ContainerError(f"chunk holds {stored_dtype}, the array is {want_dtype}")
        if stored_shape is not None and shape is not None and stored_shape != want_shape:
            raise ContainerError(f"chunk holds shape {list(stored_shape)}, expected "
                                 f"{list(want_shape)}")
        if math.prod(want_shape) != count:
            raise ContainerError(f"chunk holds {count} samples, expected "
                                 f"{math.prod(want_shape)}")
        # Without the caller's shape, the chunk alone says how much it holds.
        if shape is None and count * WORKING_BYTES_PER_SAMPLE > MAX_EXPANSION * len(raw):
            raise ContainerError(f"chunk announces {count} samples, more than "
                                 f"{MAX_EXPANSION:,} times its size allows")
    except ContainerError as exc:
        raise ContainerError(f"quillmere chunk of {len(raw)} bytes: {exc}") from None
    try:
        samples = decode_channel(index.units[0])
    except ValueError as exc:
        raise ValueError(f"quillmere chunk of {len(raw)} bytes: {exc}") from None
    if samples.size != count:
        raise ValueError(f"quillmere chunk of {len(raw)} bytes: decoded {samples.size} samples, "
                         f"the header says {count}")
    out = samples.astype(want_dtype)  # a writable copy: the decoded buffer is read-only
    return out.reshape(want_shape)

