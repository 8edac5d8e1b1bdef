"""One channel as the tools store it.

A channel unit is the codec's container, optionally followed by a side block
that only the tools read (stock decoders stop at the container's payload).
The side block carries what the container cannot: corrections that make a
point-wise error bound hold, the positions of non-finite samples, and the
float64 offset that keeps the variation of large-magnitude signals.

Every front end (CLI, numcodecs, Zarr, Dask, compress_many) goes through
``encode_channel`` and ``decode_channel``, so they all write and read the
same bytes.
"""
from __future__ import annotations

from typing import Optional

import numpy as np

from ._core import Settings, as_signal, compress, decompress
from .bounds import Bounds


def encode_channel(x, settings: Settings = Settings(), bounds: Optional[Bounds] = None) -> bytes:
    """Compress one 1-D signal into a channel unit."""
    if bounds is not None:
        from .targets import compress_to_target

        return compress_to_target(x, settings=settings, **bounds.as_kwargs()).container
    return compress(as_signal(x), settings)


def decode_channel(unit) -> np.ndarray:
    """Decode a channel unit; float32, or float64 when the unit says so."""
    return decompress(bytes(unit))
