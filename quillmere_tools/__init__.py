"""Quillmere where its users work: files, error targets, NumPy/Zarr/Dask.

The extension module ``quillmere`` compresses one array in memory; this
package adds the ``quillmere`` command, bounded compression, batches on a
thread pool and array codecs.  Its own units (container + side block) are
read by ``decompress`` here; ``quillmere.decompress_signal`` on a unit
returns the wavelet layer only.  Heavy dependencies (zarr, dask,
matplotlib) are imported only when used.
"""
from ._core import Settings, ToolError
from .batch import compress_many, decompress, decompress_many
from .bounds import Bounds
from .metrics import max_abs_error, prd, psnr, rmse
from .targets import TargetNotMet, TargetResult, compress_to_target

__all__ = [
    "Settings", "ToolError", "Bounds", "TargetNotMet", "TargetResult", "compress_to_target",
    "decompress", "compress_many", "decompress_many",
    "max_abs_error", "rmse", "prd", "psnr",
]
