"""Thin access to the extension module, imported on first use so that the
tools' help, `info` and error paths work even when it is missing, and the
one error type the tools raise for the user."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from types import ModuleType

    from quillmere import CompressionOptions


class ToolError(Exception):
    """A failure the user can act on; its text is shown as a one-line message."""


def module() -> ModuleType:
    try:
        import quillmere
    except ImportError as exc:  # pragma: no cover - depends on the install
        raise ToolError(f"the quillmere extension module cannot be imported ({exc})") from None
    return quillmere


def as_signal(data: npt.ArrayLike) -> npt.NDArray[np.floating[Any]]:
    """A 1-D float32/float64 array the module accepts: native byte order,
    contiguous and aligned.  Buffers that arrive over the wire (Dask, Zarr)
    are often misaligned, which the module rejects rather than copying."""
    arr = np.asarray(data)
    if arr.dtype not in (np.float32, np.float64):
        arr = arr.astype(np.float64)
    return np.require(arr.reshape(-1), requirements=["C_CONTIGUOUS", "ALIGNED"])


def compress_container(data: npt.ArrayLike, options: CompressionOptions) -> bytes:
    """The module's own container, no side block: what the codec alone makes."""
    container: bytes = module().compress_signal(as_signal(data), options)
    return container


def decompress_container(container: bytes) -> npt.NDArray[np.float32]:
    """The wavelet layer of a container (a unit's side block is ignored)."""
    samples: npt.NDArray[np.float32] = module().decompress_signal(bytes(container))
    return samples
