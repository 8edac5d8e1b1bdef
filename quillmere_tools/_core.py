"""What every part of the tools stands on: the one error users see
(``ToolError``) and how its messages word values, and access to the modules
the tools do not own: the extension module, imported on first use so that
the tools' help, `info` and error paths work even when it is missing, and
the optional extras, named with the command that installs them."""
from __future__ import annotations

import numbers
from importlib import import_module
from typing import TYPE_CHECKING, Any

# NumPy is imported where it is used: the command line reaches this module
# before its interrupt handlers are in place, and must not pay for NumPy there.
if TYPE_CHECKING:
    from types import ModuleType

    import numpy as np
    import numpy.typing as npt
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
    import numpy as np

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


def short_repr(value: object) -> str:
    """``repr`` for a message, with a huge integer shown by its length."""
    text = repr(value)
    if isinstance(value, numbers.Integral) and len(text) > 24:
        return f"a {len(text.lstrip('-'))}-digit integer"
    return text if len(text) <= 60 else text[:57] + "..."


def human_size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000.0
    return f"{n:.1f} GB"  # pragma: no cover


# module -> (what it is needed for, the pip extra that brings it)
EXTRAS = {
    "soundfile": ("reading and writing WAV, FLAC, OGG and AIFF files", "tools"),
    "pyedflib": ("reading and writing EDF/BDF files", "edf"),
    "wfdb": ("reading and writing WFDB records", "wfdb"),
    "matplotlib": ("plotting", "tools"),
    "zarr": ("Zarr arrays", "zarr"),
    "numcodecs": ("the numcodecs codec", "zarr"),
    "dask": ("scale-out with Dask", "dask"),
}


def require(name: str) -> ModuleType:
    """Import the module ``name`` or raise a ToolError saying how to install it."""
    try:
        return import_module(name)
    except ImportError:
        purpose, extra = EXTRAS[name.split(".")[0]]
        raise ToolError(f"{purpose} needs the {name.split('.')[0]} package: "
                        f"pip install 'quillmere[{extra}]'") from None
