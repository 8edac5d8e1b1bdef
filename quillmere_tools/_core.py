"""Thin access to the extension module, imported on first use so that the
tools' help, `info` and error paths work even when it is missing."""
from __future__ import annotations

from dataclasses import asdict, dataclass, fields, replace
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt

from . import settings as parameters
from .settings import CODERS, CUTOFFS, DEFAULT_CUTOFF, DEFAULT_METHOD, DEFAULT_SCALE, METHODS, SCALES  # noqa: F401

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


@dataclass(frozen=True)
class Settings:
    """The five CompressionOptions values as plain, comparable data, checked
    when made (see parameters)."""

    method: str = DEFAULT_METHOD
    scale: int = DEFAULT_SCALE
    cutoff: str = DEFAULT_CUTOFF
    coder: Optional[str] = None
    quant_multiplier: Optional[float] = None

    def __post_init__(self) -> None:
        checked = {
            "method": parameters.check_method(self.method),
            "scale": parameters.check_scale(self.scale),
            "cutoff": parameters.check_cutoff(self.cutoff),
            "coder": parameters.check_coder(self.coder),
            "quant_multiplier": parameters.check_multiplier(self.quant_multiplier),
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


def as_signal(data: npt.ArrayLike) -> npt.NDArray[np.floating[Any]]:
    """A 1-D float32/float64 array the module accepts: native byte order,
    contiguous and aligned.  Buffers that arrive over the wire (Dask, Zarr)
    are often misaligned, which the module rejects rather than copying."""
    arr = np.asarray(data)
    if arr.dtype not in (np.float32, np.float64):
        arr = arr.astype(np.float64)
    return np.require(arr.reshape(-1), requirements=["C_CONTIGUOUS", "ALIGNED"])


def compress(data: npt.ArrayLike, settings: Settings = Settings()) -> bytes:
    container: bytes = module().compress_signal(as_signal(data), settings.options())
    return container


def decompress(container: bytes) -> npt.NDArray[np.float32]:
    samples: npt.NDArray[np.float32] = module().decompress_signal(bytes(container))
    return samples
