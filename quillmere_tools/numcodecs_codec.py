"""numcodecs codec ``quillmere`` (registered through the numcodecs.codecs
entry point, so ``numcodecs.get_codec({"id": "quillmere"})`` finds it)."""
from __future__ import annotations

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_bytes, ensure_ndarray_like, ndarray_copy

from . import container as qc
from .codec_common import CONFIG_KEYS, check_config, decode_array, encode_array


class Quillmere(Codec):
    """Lossy wavelet compression of float arrays.

    The chunk is compressed as one flattened signal; its dtype and shape are
    kept after the container (which stock decoders ignore), so ``decode``
    returns the array in its original dtype and shape.  With ``max_error``,
    ``rmse`` or ``prd`` set, each chunk is compressed with the cheapest
    multiplier that verifiably meets that bound.
    """

    codec_id = "quillmere"

    def __init__(self, method="cdf97", scale=11, cutoff="low", coder=None,
                 quant_multiplier=None, max_error=None, rmse=None, prd=None):
        cfg = check_config(method, scale, cutoff, coder, quant_multiplier, max_error, rmse, prd)
        for k in CONFIG_KEYS:
            setattr(self, k, cfg[k])

    def _cfg(self):
        return {k: getattr(self, k) for k in CONFIG_KEYS}

    def get_config(self):
        cfg = {"id": self.codec_id}
        cfg.update(self._cfg())
        return cfg

    def encode(self, buf):
        arr = np.asarray(ensure_ndarray_like(buf))
        c = encode_array(arr, self._cfg())
        return qc.pack([c], {"dtype": arr.dtype.str, "shape": list(arr.shape)})

    def decode(self, buf, out=None):
        raw = ensure_bytes(buf)
        containers, _, meta = qc.unpack(raw)
        if len(containers) != 1:
            raise ValueError(f"expected one container per chunk, found {len(containers)}")
        meta = meta or {}
        arr = decode_array(containers[0], meta.get("dtype", "<f4"), meta.get("shape"))
        return ndarray_copy(arr, out)

    def __repr__(self):
        args = ", ".join(f"{k}={getattr(self, k)!r}" for k in CONFIG_KEYS
                         if getattr(self, k) is not None)
        return f"Quillmere({args})"
