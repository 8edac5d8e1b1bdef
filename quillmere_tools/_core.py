"""Thin access to the extension module, imported on first use so that the
tools' help, `info` and error paths work even when it is missing."""
from __future__ import annotations

from dataclasses import asdict, dataclass, replace
from typing import Any, Optional

import numpy as np

METHODS = ("cdf97", "cdf53", "db4", "sym4")
CODERS = ("cmodel", "arans", "deflate")
CUTOFFS = ("low", "medium", "high")
SCALES = tuple(range(6, 13))


class ToolError(Exception):
    """A failure the user can act on; its text is shown as a one-line message."""


def module():
    try:
        import quillmere
    except ImportError as exc:  # pragma: no cover - depends on the install
        raise ToolError(f"the quillmere extension module cannot be imported ({exc})") from None
    return quillmere


@dataclass(frozen=True)
class Settings:
    """The five CompressionOptions values as plain, comparable data."""

    method: str = "cdf97"
    scale: int = 11
    cutoff: str = "low"
    coder: Optional[str] = None
    quant_multiplier: Optional[float] = None

    def options(self):
        return module().CompressionOptions(**asdict(self))

    def with_(self, **changes: Any) -> "Settings":
        return replace(self, **changes)

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)

    def label(self) -> str:
        parts = [self.method, f"scale {self.scale}", self.cutoff, self.coder or "auto"]
        if self.quant_multiplier is not None:
            parts.append(f"m={self.quant_multiplier:.6g}")
        return ", ".join(parts)


def as_signal(data) -> np.ndarray:
    """A 1-D float32/float64 array the module accepts: native byte order,
    contiguous and aligned.  Buffers that arrive over the wire (Dask, Zarr)
    are often misaligned, which the module rejects rather than copying."""
    arr = np.asarray(data)
    if arr.dtype not in (np.float32, np.float64):
        arr = arr.astype(np.float64)
    return np.require(arr.reshape(-1), requirements=["C_CONTIGUOUS", "ALIGNED"])


def compress(data, settings: Settings = Settings()) -> bytes:
    return module().compress_signal(as_signal(data), settings.options())


def decompress(container: bytes) -> np.ndarray:
    return module().decompress_signal(bytes(container))
