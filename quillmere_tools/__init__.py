"""Quillmere where its users work: files, error targets, NumPy/Zarr/Dask.

The extension module ``quillmere`` compresses one array in memory; this
package adds the ``quillmere`` command, bounded compression, batches on a
thread pool and array codecs.  Its own units (container + side block) are
read by ``decompress`` here; ``quillmere.decompress_signal`` on a unit
returns the wavelet layer only.  Heavy dependencies (zarr, dask,
matplotlib) are imported only when used.
"""
from pkgutil import extend_path

# Run from a source checkout (python -m pytest at the root), this directory
# has no compiled _native; the installed package's copy is found through the
# extended path, while the plain Python modules still come from here.
__path__ = extend_path(__path__, __name__)

from ._core import Settings, ToolError  # noqa: E402
from .batch import compress_many, decompress, decompress_many  # noqa: E402
from .bounds import Bounds  # noqa: E402
from .metrics import max_abs_error, prd, psnr, rmse  # noqa: E402
from .targets import TargetNotMet, TargetResult, compress_to_target  # noqa: E402

__all__ = [
    "Settings", "ToolError", "Bounds", "TargetNotMet", "TargetResult", "compress_to_target",
    "decompress", "compress_many", "decompress_many",
    "max_abs_error", "rmse", "prd", "psnr",
]
