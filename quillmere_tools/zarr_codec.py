"""Zarr v3 array-to-bytes codec ``quillmere`` (registered through the
zarr.codecs entry point, so arrays written with it open anywhere the package
is installed).

A chunk is a channel unit and its index (codec_common.py).  Arrays written
before chunks carried an index stored bare containers; their metadata has
no ``chunk_format``, which is read as 1 and lets bare chunks through (their
dtype and shape come from the array metadata and are checked against the
container's sample count).  Arrays written now record ``chunk_format`` 2,
and a bare chunk in them is refused: it is what a chunk cut short looks like.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Union

from zarr.abc.codec import ArrayBytesCodec
from zarr.core.common import parse_named_configuration

from . import settings as parameters
from .array_chunks import (CONFIG_KEYS, DEFAULT_TIME_AXIS, check_config, check_dtype, decode_chunk,
                           encode_chunk, time_axis_of, without_defaults)

if TYPE_CHECKING:  # pragma: no cover
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

LEGACY_CHUNK_FORMAT = 1
CHUNK_FORMAT = 2


def _native(dtype):
    # zarr >= 3.1 wraps numpy dtypes; 3.0 hands out numpy dtypes directly.
    to_native = getattr(dtype, "to_native_dtype", None)
    return to_native() if to_native else dtype


def _check_chunk_format(value) -> int:
    if isinstance(value, bool) or value not in (LEGACY_CHUNK_FORMAT, CHUNK_FORMAT):
        raise ValueError(f"chunk_format must be {LEGACY_CHUNK_FORMAT} or {CHUNK_FORMAT}, "
                         f"got {value!r}")
    return int(value)


@dataclass(frozen=True)
class QuillmereCodec(ArrayBytesCodec):
    is_fixed_size = False

    method: str = parameters.DEFAULT_METHOD
    scale: int = parameters.DEFAULT_SCALE
    cutoff: str = parameters.DEFAULT_CUTOFF
    coder: Optional[str] = None
    quant_multiplier: Optional[float] = None
    max_error: Optional[Union[float, str]] = None  # or a percentage of the range, "0.1%"
    rmse: Optional[Union[float, str]] = None
    prd: Optional[float] = None
    psnr: Optional[float] = None
    bits_per_sample: Optional[float] = None
    time_axis: int = DEFAULT_TIME_AXIS
    effort: str = parameters.DEFAULT_EFFORT  # the bounded search's: "thorough" or "fast"
    chunk_format: int = CHUNK_FORMAT

    def __init__(self, *, method=parameters.DEFAULT_METHOD, scale=parameters.DEFAULT_SCALE,
                 cutoff=parameters.DEFAULT_CUTOFF, coder=None, quant_multiplier=None,
                 max_error=None, rmse=None, prd=None, psnr=None, bits_per_sample=None,
                 time_axis=DEFAULT_TIME_AXIS, effort=parameters.DEFAULT_EFFORT,
                 chunk_format=CHUNK_FORMAT) -> None:
        cfg = check_config(method, scale, cutoff, coder, quant_multiplier, max_error, rmse, prd,
                           psnr, bits_per_sample, time_axis, effort)
        for k in CONFIG_KEYS:
            object.__setattr__(self, k, cfg[k])
        object.__setattr__(self, "chunk_format", _check_chunk_format(chunk_format))

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> "QuillmereCodec":
        _, cfg = parse_named_configuration(data, "quillmere", require_configuration=False)
        cfg = dict(cfg or {})
        cfg.setdefault("chunk_format", LEGACY_CHUNK_FORMAT)
        return cls(**cfg)

    def to_dict(self) -> dict[str, Any]:
        # time_axis and effort left out at their defaults, so the metadata
        # reads as it did before.
        cfg = without_defaults({k: getattr(self, k) for k in CONFIG_KEYS if getattr(self, k) is not None})
        cfg["chunk_format"] = self.chunk_format
        return {"name": "quillmere", "configuration": cfg}

    def _cfg(self):
        return {k: getattr(self, k) for k in CONFIG_KEYS}

    def validate(self, *, shape, dtype, chunk_grid) -> None:
        check_dtype(_native(dtype))
        time_axis_of(self._cfg(), len(shape))

    def _encode_sync(self, chunk_array: "NDBuffer", chunk_spec: "ArraySpec") -> "Buffer":
        arr = chunk_array.as_numpy_array()
        return chunk_spec.prototype.buffer.from_bytes(encode_chunk(arr, self._cfg()))

    def _decode_sync(self, chunk_bytes: "Buffer", chunk_spec: "ArraySpec") -> "NDBuffer":
        arr = decode_chunk(chunk_bytes.to_bytes(), dtype=_native(chunk_spec.dtype),
                           shape=chunk_spec.shape,
                           allow_bare=self.chunk_format == LEGACY_CHUNK_FORMAT)
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
