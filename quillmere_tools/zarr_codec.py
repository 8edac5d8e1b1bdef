"""Zarr v3 array-to-bytes codec ``quillmere`` (registered through the
zarr.codecs entry point, so arrays written with it open anywhere the package
is installed).  A chunk is stored as one bare container: its dtype and shape
come from the array metadata."""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

from zarr.abc.codec import ArrayBytesCodec
from zarr.core.common import parse_named_configuration

from .codec_common import CONFIG_KEYS, check_config, check_dtype, decode_array, encode_array

if TYPE_CHECKING:  # pragma: no cover
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer


def _native(dtype):
    # zarr >= 3.1 wraps numpy dtypes; 3.0 hands out numpy dtypes directly.
    to_native = getattr(dtype, "to_native_dtype", None)
    return to_native() if to_native else dtype


@dataclass(frozen=True)
class QuillmereCodec(ArrayBytesCodec):
    is_fixed_size = False

    method: str = "cdf97"
    scale: int = 11
    cutoff: str = "low"
    coder: Optional[str] = None
    quant_multiplier: Optional[float] = None
    max_error: Optional[float] = None
    rmse: Optional[float] = None
    prd: Optional[float] = None

    def __init__(self, *, method="cdf97", scale=11, cutoff="low", coder=None,
                 quant_multiplier=None, max_error=None, rmse=None, prd=None) -> None:
        cfg = check_config(method, scale, cutoff, coder, quant_multiplier, max_error, rmse, prd)
        for k in CONFIG_KEYS:
            object.__setattr__(self, k, cfg[k])

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> "QuillmereCodec":
        _, cfg = parse_named_configuration(data, "quillmere", require_configuration=False)
        return cls(**(cfg or {}))

    def to_dict(self) -> dict[str, Any]:
        cfg = {k: getattr(self, k) for k in CONFIG_KEYS if getattr(self, k) is not None}
        return {"name": "quillmere", "configuration": cfg}

    def _cfg(self):
        return {k: getattr(self, k) for k in CONFIG_KEYS}

    def validate(self, *, shape, dtype, chunk_grid) -> None:
        check_dtype(_native(dtype))

    def _encode_sync(self, chunk_array: "NDBuffer", chunk_spec: "ArraySpec") -> "Buffer":
        arr = chunk_array.as_numpy_array()
        return chunk_spec.prototype.buffer.from_bytes(encode_array(arr, self._cfg()))

    def _decode_sync(self, chunk_bytes: "Buffer", chunk_spec: "ArraySpec") -> "NDBuffer":
        arr = decode_array(chunk_bytes.to_bytes(), _native(chunk_spec.dtype), chunk_spec.shape)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(arr)

    # The extension module holds the interpreter lock for the whole call, so
    # running these in a thread pool would gain nothing; scale out with
    # processes (e.g. Dask workers) instead.
    async def _encode_single(self, chunk_array, chunk_spec):
        return self._encode_sync(chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes, chunk_spec):
        return self._decode_sync(chunk_bytes, chunk_spec)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: "ArraySpec") -> int:
        raise NotImplementedError
