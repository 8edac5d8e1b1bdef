"""Optional dependencies, named with the command that installs them."""
from __future__ import annotations

from importlib import import_module

from ._core import ToolError

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


def require(module: str):
    """Import ``module`` or raise a ToolError saying how to install it."""
    try:
        return import_module(module)
    except ImportError:
        purpose, extra = EXTRAS[module.split(".")[0]]
        raise ToolError(f"{purpose} needs the {module.split('.')[0]} package: "
                        f"pip install 'quillmere[{extra}]'") from None
