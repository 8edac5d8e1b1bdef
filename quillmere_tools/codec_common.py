"""Configuration and array handling shared by the numcodecs and Zarr codecs."""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ._core import CODERS, CUTOFFS, METHODS, Settings, compress, decompress
from .targets import compress_to_target

CONFIG_KEYS = ("method", "scale", "cutoff", "coder", "quant_multiplier", "max_error", "rmse", "prd")


def check_config(method="cdf97", scale=11, cutoff="low", coder=None, quant_multiplier=None,
                 max_error=None, rmse=None, prd=None) -> dict[str, Any]:
    """Validate in pure Python so a bad codec configuration fails where it is
    written (array creation), not on the first chunk a worker encodes."""
    if method not in METHODS:
        raise ValueError(f"unknown method {method!r}, expected one of {', '.join(METHODS)}")
    if isinstance(scale, bool) or not isinstance(scale, int) or not 6 <= scale <= 12:
        raise ValueError(f"scale must be an integer from 6 to 12, got {scale!r}")
    if cutoff not in CUTOFFS:
        raise ValueError(f"unknown cutoff {cutoff!r}, expected one of {', '.join(CUTOFFS)}")
    if coder == "auto":
        coder = None
    if coder is not None and coder not in CODERS:
        raise ValueError(f"unknown coder {coder!r}, expected one of {', '.join(CODERS)}")
    bounds = {"max_error": max_error, "rmse": rmse, "prd": prd}
    for name, v in bounds.items():
        if v is not None and not (isinstance(v, (int, float)) and v > 0 and math.isfinite(v)):
            raise ValueError(f"{name} must be a positive number, got {v!r}")
    if quant_multiplier is not None:
        if any(v is not None for v in bounds.values()):
            raise ValueError("give either quant_multiplier or an error bound, not both")
        quant_multiplier = float(quant_multiplier)
    return {"method": method, "scale": scale, "cutoff": cutoff, "coder": coder,
            "quant_multiplier": quant_multiplier, "max_error": _f(max_error),
            "rmse": _f(rmse), "prd": _f(prd)}


def _f(v):
    return None if v is None else float(v)


def check_dtype(dtype) -> np.dtype:
    dt = np.dtype(dtype)
    if dt.kind != "f" or dt.itemsize > 8:
        raise TypeError(f"the quillmere codec handles float16/32/64 data, not {dt}")
    return dt


def encode_array(arr: np.ndarray, cfg: dict[str, Any]) -> bytes:
    """Compress an N-D float array as its flattened (C-order) signal."""
    check_dtype(arr.dtype)
    flat = np.ascontiguousarray(arr).reshape(-1)
    if flat.dtype not in (np.float32, np.float64):
        flat = flat.astype(np.float32)
    if flat.size == 0:
        raise ValueError("cannot compress an empty chunk")
    settings = Settings(cfg["method"], cfg["scale"], cfg["cutoff"], cfg["coder"], cfg["quant_multiplier"])
    if cfg["max_error"] is not None or cfg["rmse"] is not None or cfg["prd"] is not None:
        return compress_to_target(flat, max_error=cfg["max_error"], rmse=cfg["rmse"],
                                  prd=cfg["prd"], settings=settings).container
    return compress(flat, settings)


def decode_array(container: bytes, dtype, shape) -> np.ndarray:
    y = decompress(container)
    n = int(np.prod(shape)) if shape is not None else y.size
    if y.size != n:
        raise ValueError(f"chunk holds {y.size} samples, expected {n}")
    out = y if np.dtype(dtype) == np.float32 else y.astype(dtype)
    return out.reshape(shape) if shape is not None else out
