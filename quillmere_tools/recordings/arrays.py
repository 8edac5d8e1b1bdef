"""NumPy ``.npy`` files: a 1-D signal, or a 2-D array of channels stored as
columns (``(frames, channels)``, the default) or as rows (``layout="rows"``).
The dtype and the layout are restored on writing."""
from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from .signal import InputError, OutputError, Signal, reason_text

READ_OPTIONS = ("layout",)
LAYOUTS = ("columns", "rows")


def read(path: Path, layout: str = "columns") -> Signal:
    if layout not in LAYOUTS:
        raise InputError(f"unknown channel layout {layout!r} (expected columns or rows)")
    with open(path, "rb") as f:
        if f.read(6) != b"\x93NUMPY":
            raise InputError("not a .npy file (no NumPy header)")
    try:
        arr = np.load(path, allow_pickle=False)
    except ValueError as exc:
        if "pickle" in str(exc).lower() or "object" in str(exc).lower():
            raise InputError("the .npy file holds Python objects, not numbers") from None
        raise InputError(f"not a readable .npy file ({exc})") from None
    except (OSError, EOFError) as exc:
        raise InputError(f"not a readable .npy file ({reason_text(exc)})") from None
    if not isinstance(arr, np.ndarray):
        raise InputError("not a .npy array file")
    if arr.dtype.kind not in "fiu":
        raise InputError(f"the array holds non-numeric data (dtype {arr.dtype})")
    if arr.ndim not in (1, 2):
        raise InputError(f"expected a 1-D or 2-D array, got shape {arr.shape}")
    if arr.size == 0:
        raise InputError("the array is empty")
    meta: dict[str, Any] = {"format": "npy", "dtype": arr.dtype.str}
    samples = arr.reshape(-1, 1) if arr.ndim == 1 else arr.T if layout == "rows" else arr
    if arr.ndim == 2:
        meta["layout"] = layout
    if arr.dtype.kind in "iu":
        # Integer samples are written back rounded: a step of one (see grid).
        meta["channel_info"] = [{"quantum": 1.0} for _ in range(samples.shape[1])]
    return Signal(samples, meta)


def restore_dtype(samples: np.ndarray, dtype: str | None) -> np.ndarray:
    if not dtype:
        return samples
    dt = np.dtype(dtype)
    if dt.kind in "iu":
        info = np.iinfo(dt)
        return np.clip(np.rint(samples), info.min, info.max).astype(dt)
    # Already in the source's dtype (the usual float32 case): no second copy
    # of a long recording.
    return samples.astype(dt, copy=False)


def stored_values(meta: dict[str, Any], channel: int, y: np.ndarray) -> np.ndarray:
    """The samples of ``y`` as they come back in the source's own dtype."""
    return restore_dtype(np.asarray(y), meta.get("dtype")).astype(np.float64)


def write(folder: Path, name: str, signal: Signal) -> list[str]:
    if signal.ragged:
        raise OutputError("a .npy array needs channels of equal length; "
                          "these run at different rates (choose another --format)")
    meta = signal.meta
    samples = signal.samples
    if meta.get("layout") is None and samples.shape[1] == 1:
        out = samples[:, 0]
    else:
        out = samples.T if meta.get("layout") == "rows" else samples
    if meta.get("format") == "npy":
        out = restore_dtype(out, meta.get("dtype"))
    np.save(folder / name, np.ascontiguousarray(out), allow_pickle=False)
    return [name]


def open_source(path: Path, kind: str, layout: str = "columns"):
    """The array read a run of one channel at a time (see recordings.open_source)."""
    from .channel_source import open_npy

    return open_npy(path, layout)
