"""Quillmere where its users work: files, error targets, NumPy/Zarr/Dask.

The extension module ``quillmere`` compresses one array in memory; this
package adds the ``quillmere`` command, error-target search and array codecs.
Every name below is imported on first use, so starting the command costs no
NumPy import before it can handle an interrupt, and heavy dependencies
(zarr, dask, matplotlib) are imported only when used.
"""
from importlib import import_module

_WHERE = {
    "Settings": "._core", "ToolError": "._core",
    "TargetNotMet": ".targets", "TargetResult": ".targets", "compress_to_target": ".targets",
    "max_abs_error": ".metrics", "rmse": ".metrics", "prd": ".metrics", "psnr": ".metrics",
}

__all__ = [
    "Settings", "ToolError", "TargetNotMet", "TargetResult", "compress_to_target",
    "max_abs_error", "rmse", "prd", "psnr",
]


def __getattr__(name):
    if name in _WHERE:
        value = getattr(import_module(_WHERE[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
