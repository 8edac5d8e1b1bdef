# Type stubs of the `quillmere` extension module.
from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["CompressionOptions", "compress_signal", "decompress_signal"]

# Accepted strings are listed for editors; any str is accepted by the type
# checker because the values are checked when the object is made.
_Method = Literal["cdf97", "cdf53", "db4", "sym4"]
_Cutoff = Literal["low", "medium", "high"]
_Coder = Literal["auto", "deflate", "arans", "cmodel"]

@final
class CompressionOptions:
    """How compress_signal compresses; immutable and opaque once made."""

    def __new__(
        cls,
        method: _Method | str = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: _Cutoff | str = "low",
        coder: _Coder | str | None = None,
        quant_multiplier: SupportsFloat | SupportsIndex | None = None,
    ) -> CompressionOptions: ...

def compress_signal(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    options: CompressionOptions | None = None,
) -> bytes:
    """Compress a 1-D float32 **or** float64 NumPy array into Quillmere `bytes`.

    float64 input is downcast to float32 before compression (the codec works in
    f32 internally and always reconstructs f32 on decompress).
    """

def decompress_signal(data: bytes) -> npt.NDArray[np.float32]:
    """Decompress a Quillmere bytes object into a 1-D float32 NumPy array."""
