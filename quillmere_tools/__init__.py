"""Quillmere where its users work: files, error targets, NumPy/Zarr/Dask.

The extension module ``quillmere`` compresses one array in memory; this
package adds the ``quillmere`` command, bounded compression, batches on a
thread pool and array codecs.  Its own units (container + side block) are
read by ``decompress`` here; ``quillmere.decompress_signal`` on a unit
returns the wavelet layer only.  Every name below is imported on first use,
so starting the command costs no NumPy import before it can handle an
interrupt, and heavy dependencies (zarr, dask, matplotlib) are imported only
when used.
"""
from importlib import import_module
from typing import Any
from pkgutil import extend_path

# Run from a source checkout (python -m pytest at the root), this directory
# has no compiled _native; the installed package's copy is found through the
# extended path, while the plain Python modules still come from here.
__path__ = extend_path(__path__, __name__)

_WHERE = {
    "Settings": ".settings", "ToolError": "._core",
    "Bounds": ".bounds",
    "decompress": ".units.many", "compress_many": ".units.many", "decompress_many": ".units.many",
    "TargetNotMet": ".units.target", "TargetResult": ".units.target", "compress_to_target": ".units.target",
    "max_abs_error": ".metrics", "rmse": ".metrics", "prd": ".metrics", "psnr": ".metrics",
}

__all__ = [
    "Settings", "ToolError", "Bounds", "TargetNotMet", "TargetResult", "compress_to_target",
    "decompress", "compress_many", "decompress_many",
    "max_abs_error", "rmse", "prd", "psnr",
]


def __getattr__(name: str) -> Any:
    if name in _WHERE:
        value = getattr(import_module(_WHERE[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
