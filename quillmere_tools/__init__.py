"""Quillmere where its users work: files, error targets, NumPy/Zarr/Dask.

The extension module ``quillmere`` compresses one array in memory; this
package adds the ``quillmere`` command, error-target search and array codecs.
Heavy dependencies (zarr, dask, matplotlib) are imported only when used.
"""
from ._core import Settings, ToolError
from .metrics import max_abs_error, prd, psnr, rmse
from .targets import TargetNotMet, TargetResult, compress_to_target

__all__ = [
    "Settings", "ToolError", "TargetNotMet", "TargetResult", "compress_to_target",
    "max_abs_error", "rmse", "prd", "psnr",
]
