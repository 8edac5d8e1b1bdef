"""numcodecs codec ``quillmere`` (registered through the numcodecs.codecs
entry point, so ``numcodecs.get_codec({"id": "quillmere"})`` finds it)."""
from __future__ import annotations

from numcodecs.abc import Codec
from numcodecs.compat import ensure_bytes, ensure_ndarray_like, ndarray_copy

import numpy as np

from . import settings as parameters
from .array_chunks import (CONFIG_KEYS, DEFAULT_TIME_AXIS, check_config, decode_chunk, encode_chunk,
                           without_defaults)


class Quillmere(Codec):
    """Lossy wavelet compression of float arrays.

    A 1-D chunk is compressed as one signal; a chunk of more dimensions
    channel by channel, ``time_axis`` (default 0: ``(frames, channels)``)
    running along time.  Dtype and shape are kept in the chunk's index, so
    ``decode`` returns the array in its original dtype and shape.  With
    ``max_error``, ``rmse``, ``prd``, ``psnr`` or ``bits_per_sample`` set,
    each channel of each chunk is compressed to meet that bound over the
    samples the array stores (an edge chunk's padding does not count);
    ``max_error`` and ``rmse`` may be percentages of the channel's range in
    the chunk, such as ``"0.1%"``.  ``effort="fast"`` makes bounded chunks
    several times sooner and somewhat larger (see ``compress_to_target``).
    Every setting is checked here, at construction.
    """

    codec_id = "quillmere"

    def __init__(self, method=parameters.DEFAULT_METHOD, scale=parameters.DEFAULT_SCALE,
                 cutoff=parameters.DEFAULT_CUTOFF, coder=None, quant_multiplier=None,
                 max_error=None, rmse=None, prd=None, psnr=None, bits_per_sample=None,
                 time_axis=DEFAULT_TIME_AXIS, effort=parameters.DEFAULT_EFFORT):
        cfg = check_config(method, scale, cutoff, coder, quant_multiplier, max_error, rmse, prd,
                           psnr, bits_per_sample, time_axis, effort)
        for k in CONFIG_KEYS:
            setattr(self, k, cfg[k])

    def _cfg(self):
        return {k: getattr(self, k) for k in CONFIG_KEYS}

    def get_config(self):
        cfg = {"id": self.codec_id}
        # time_axis and effort left out at their defaults, so configurations
        # read as they did before.
        cfg.update(without_defaults(self._cfg()))
        return cfg

    def encode(self, buf):
        return encode_chunk(np.asarray(ensure_ndarray_like(buf)), self._cfg())

    def decode(self, buf, out=None):
        return ndarray_copy(decode_chunk(ensure_bytes(buf)), out)

    def __repr__(self):
        args = ", ".join(f"{k}={getattr(self, k)!r}" for k in CONFIG_KEYS
                         if getattr(self, k) is not None)
        return f"Quillmere({args})"
