"""Configuration and chunk handling shared by the numcodecs and Zarr codecs.

A chunk is channel units followed by the index of unit_file.py; the index
is checked before any unit is decoded.

- A 1-D chunk is one unit; its metadata records dtype and shape.
- A chunk of two or more dimensions is one unit per channel: the axis
  ``time_axis`` (0 by default, so a ``(frames, channels)`` chunk) runs along
  each unit, and every combination of the other indices is a channel, in C
  order.  The metadata records dtype, ``frames``, ``channels``,
  ``chunk_shape`` and ``time_axis``.  Chunks written before this layout hold
  one unit of the whole chunk flattened in C order (metadata ``shape``) and
  are still read that way.

Each unit is encoded for a host that pads: a trailing run of one repeated
value (the fill value of an edge chunk) is restored exactly instead of being
coded, so bounds hold over the samples actually stored.  ``max_error`` and
``rmse`` may be percentages ("0.1%") of each channel's range within the
chunk, not counting such a run.
"""
from __future__ import annotations

import math
from typing import Any, Optional

import numpy as np

from . import _native, settings as parameters
from .settings import SETTING_NAMES, Settings
from .bounds import BOUND_NAMES, Bounds, check_bound_form, resolve, spread_of
from .qlm.container_header import ContainerError
from .units.channel import decode_channel, encode_channel
from .qlm.index import INDEX_VERSION, MAX_EXPANSION, WORKING_BYTES_PER_SAMPLE, expansion_allowed, pack, unpack

DEFAULT_TIME_AXIS = 0
CONFIG_KEYS = SETTING_NAMES + BOUND_NAMES + ("time_axis", "effort")
# Keys a configuration leaves out at their defaults, so that configurations
# and metadata written before the keys existed read the same as now.
OMITTED_AT_DEFAULT = {"time_axis": DEFAULT_TIME_AXIS, "effort": parameters.DEFAULT_EFFORT}
# The trailing run of one value a unit may restore is not bounded by the
# chunk's size the way coded samples are (a padded edge chunk may hold one
# stored sample and a million of fill); when the caller cannot say how large
# the chunk is, a run longer than this is taken for damage.
MAX_UNCHECKED_RUN = 1 << 26
# The dtypes a chunk may hold: the codec works on real floating data.
FLOAT_DTYPES = (np.dtype("float16"), np.dtype("float32"), np.dtype("float64"))


def check_time_axis(value) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise ValueError(f"time_axis must be an integer (the chunk axis that runs along time), "
                         f"got {value!r}")
    return int(value)


def check_config(method=parameters.DEFAULT_METHOD, scale=parameters.DEFAULT_SCALE,
                 cutoff=parameters.DEFAULT_CUTOFF, coder=None, quant_multiplier=None,
                 max_error=None, rmse=None, prd=None, psnr=None,
                 bits_per_sample=None, time_axis=DEFAULT_TIME_AXIS,
                 effort=parameters.DEFAULT_EFFORT) -> dict[str, Any]:
    """Every value checked and in its JSON-ready form (str, int, float or
    None), so a bad configuration fails where it is written and nothing
    that is not JSON reaches array metadata.  ``effort`` is the bounded
    search's ("thorough" or "fast"); it changes nothing without a bound."""
    bounds = {name: check_bound_form(name, value) for name, value in
              zip(BOUND_NAMES, (max_error, rmse, prd, psnr, bits_per_sample))}
    multiplier = parameters.check_multiplier(quant_multiplier)
    if multiplier is not None and any(v is not None for v in bounds.values()):
        raise ValueError("give either quant_multiplier or an error bound, not both")
    return {"method": parameters.check_method(method), "scale": parameters.check_scale(scale),
            "cutoff": parameters.check_cutoff(cutoff), "coder": parameters.check_coder(coder),
            "quant_multiplier": multiplier, **bounds, "time_axis": check_time_axis(time_axis),
            "effort": parameters.check_effort(effort)}


def without_defaults(cfg: dict[str, Any]) -> dict[str, Any]:
    """``cfg`` without the keys OMITTED_AT_DEFAULT lists where they hold
    their defaults."""
    return {k: v for k, v in cfg.items()
            if k not in OMITTED_AT_DEFAULT or v != OMITTED_AT_DEFAULT[k]}


def time_axis_of(cfg: dict[str, Any], ndim: int) -> int:
    """The configured time axis as an index into a chunk of ``ndim`` dimensions."""
    axis = cfg.get("time_axis", DEFAULT_TIME_AXIS)
    dims = max(ndim, 1)
    if not -dims <= axis < dims:
        raise ValueError(f"time_axis {axis} is out of range for a chunk of {ndim} "
                         f"dimension{'s' if ndim != 1 else ''}")
    return axis % dims


def check_dtype(dtype) -> np.dtype:
    dt = np.dtype(dtype)
    if dt.newbyteorder("=") not in FLOAT_DTYPES:
        raise TypeError(f"the quillmere codec handles float16/32/64 data, not {dt}")
    return dt


def settings_of(cfg: dict[str, Any]) -> Settings:
    return Settings(**{name: cfg[name] for name in SETTING_NAMES})


def _stored_part(channel: np.ndarray) -> np.ndarray:
    """The channel without a trailing run of one repeated value (bit for bit,
    as the unit splits it off): what a percentage's range is taken over, so
    an edge chunk's fill value does not widen it."""
    if channel.size < _native.min_trailing_run:
        return channel
    bits = channel.view(np.uint32 if channel.dtype.itemsize == 4 else np.uint64)
    differs = np.flatnonzero(bits != bits[-1])
    run = channel.size - (differs[-1] + 1 if differs.size else 0)
    if run < _native.min_trailing_run:
        return channel
    return channel[:max(channel.size - run, 1)]


def bounds_of(cfg: dict[str, Any], channel: Optional[np.ndarray] = None) -> Optional[Bounds]:
    """The absolute bounds for one channel; percentages need the channel."""
    values = {k: cfg[k] for k in BOUND_NAMES}
    needs_range = values["psnr"] is not None or any(isinstance(v, str) for v in values.values())
    # One scan for the run, whichever of the two below wants the stored part.
    stored = _stored_part(channel) if channel is not None and needs_range else None
    if stored is not None and values["psnr"] is not None:
        # PSNR takes the range as its peak, so it means nothing for a flat
        # channel (a padding-only one among them), which comes back exactly.
        finite = stored[np.isfinite(stored)]
        if finite.size == 0 or finite.min() == finite.max():
            values["psnr"] = None
    if any(isinstance(v, str) for v in values.values()):
        spread = spread_of(stored)
        values = {k: resolve(v, spread) for k, v in values.items()}
    bounds = Bounds(**values)
    return bounds if bounds else None


def _as_channel(x: np.ndarray) -> np.ndarray:
    """Native float32 or float64 (float16 widens exactly; either byte order)."""
    return np.ascontiguousarray(x, dtype=np.float64 if x.dtype.itemsize == 8 else np.float32)


def _encode_units(channels: list, cfg: dict[str, Any]) -> list[bytes]:
    settings = settings_of(cfg)
    effort = cfg.get("effort", parameters.DEFAULT_EFFORT)
    return [encode_channel(ch, settings, bounds_of(cfg, ch), split_trailing_run=True, effort=effort)
            for ch in channels]


def encode_chunk(arr: np.ndarray, cfg: dict[str, Any]) -> bytes:
    """Compress a float array: a 1-D chunk as one signal, a chunk of more
    dimensions channel by channel along its time axis."""
    dtype = check_dtype(arr.dtype)
    if arr.size == 0:
        raise ValueError("cannot compress an empty chunk")
    axis = time_axis_of(cfg, arr.ndim)
    if arr.ndim <= 1:
        units = _encode_units([_as_channel(arr.reshape(-1))], cfg)
        meta = {"v": INDEX_VERSION, "dtype": dtype.str, "shape": [int(n) for n in arr.shape]}
        return pack(units, meta)
    frames = arr.shape[axis]
    columns = _as_channel(np.moveaxis(arr, axis, 0).reshape(frames, -1).T)
    units = _encode_units(list(columns), cfg)
    meta = {"v": INDEX_VERSION, "dtype": dtype.str, "frames": int(frames),
            "channels": len(units), "chunk_shape": [int(n) for n in arr.shape],
            "time_axis": axis}
    return pack(units, meta)


def _channel_layout(meta: dict[str, Any], count: int, units: int) -> tuple[tuple, int]:
    """(chunk shape, time axis) of a channel-split chunk, checked against its
    units: ``frames`` and ``channels`` are checked by the index already."""
    shape, axis = meta.get("chunk_shape"), meta.get("time_axis")
    if (not isinstance(shape, list) or not 2 <= len(shape) <= 32
            or any(isinstance(n, bool) or not isinstance(n, int) or n < 1 for n in shape)):
        raise ContainerError(f"metadata chunk_shape {shape!r:.40} is not a list of sizes")
    if isinstance(axis, bool) or not isinstance(axis, int) or not 0 <= axis < len(shape):
        raise ContainerError(f"metadata time_axis {axis!r:.20} does not index the chunk's "
                             f"{len(shape)} dimensions")
    if shape[axis] != count or math.prod(shape) != count * units:
        raise ContainerError(f"chunk_shape {shape} does not hold {units} channel(s) of "
                             f"{count} samples")
    return tuple(shape), axis


def _check_size(index, raw: bytes) -> None:
    """Without the caller's shape, the chunk alone says how much it holds:
    coded samples within MAX_EXPANSION of its size, each restored run within
    MAX_UNCHECKED_RUN."""
    coded = sum(h["sample_count"] - h.get("trailing_run", 0) for h in index.headers)
    if not expansion_allowed(coded * WORKING_BYTES_PER_SAMPLE, len(raw)):
        raise ContainerError(f"chunk announces {coded} samples to decode, more than "
                             f"{MAX_EXPANSION:,} times its size allows")
    run = max(h.get("trailing_run", 0) for h in index.headers)
    if run > MAX_UNCHECKED_RUN:
        raise ContainerError(f"chunk announces a repeated run of {run} samples, more than "
                             f"{MAX_UNCHECKED_RUN:,} without the array's chunk shape")


def decode_chunk(raw: bytes, *, dtype=None, shape=None, allow_bare: bool = False) -> np.ndarray:
    """The array a chunk holds.  ``dtype`` and ``shape``, when the caller
    knows them (Zarr's array metadata), must agree with the chunk's own."""
    try:
        index = unpack(raw, allow_bare=allow_bare,
                       bare_hint="bare chunks are read only for arrays written before chunks "
                                 "carried an index")
        meta = index.metadata or {}
        count = index.headers[0]["sample_count"]
        split = "chunk_shape" in meta
        if not split and len(index.units) != 1:
            raise ContainerError(f"expected one unit per chunk, found {len(index.units)}")
        stored_dtype = np.dtype(meta["dtype"]) if "dtype" in meta else None
        if split:
            stored_shape, axis = _channel_layout(meta, count, len(index.units))
        else:
            stored_shape = tuple(meta["shape"]) if "shape" in meta else None
        if stored_dtype is not None and stored_dtype.kind != "f":
            raise ContainerError(f"chunk dtype {stored_dtype} is not a floating type")
        want_dtype = np.dtype(dtype) if dtype is not None else (stored_dtype or np.dtype("<f4"))
        want_shape = tuple(shape) if shape is not None else (stored_shape or (count,))
        if stored_dtype is not None and dtype is not None and stored_dtype != want_dtype:
            raise ContainerError(f"chunk holds {stored_dtype}, the array is {want_dtype}")
        if stored_shape is not None and shape is not None and stored_shape != want_shape:
            raise ContainerError(f"chunk holds shape {list(stored_shape)}, expected "
                                 f"{list(want_shape)}")
        if math.prod(want_shape) != count * len(index.units):
            raise ContainerError(f"chunk holds {count * len(index.units)} samples, expected "
                                 f"{math.prod(want_shape)}")
        if shape is None:
            _check_size(index, raw)
    except ContainerError as exc:
        raise ContainerError(f"quillmere chunk of {len(raw)} bytes: {exc}") from None
    try:
        channels = [decode_channel(unit) for unit in index.units]
    except ValueError as exc:
        raise ValueError(f"quillmere chunk of {len(raw)} bytes: {exc}") from None
    if any(ch.size != count for ch in channels):
        raise ValueError(f"quillmere chunk of {len(raw)} bytes: decoded "
                         f"{[ch.size for ch in channels]} samples, the index says {count} each")
    if not split:
        out = channels[0].astype(want_dtype)  # a writable copy: the decoded buffer is read-only
        return out.reshape(want_shape)
    # Channels are rows here; the time axis goes back where the chunk had it.
    moved = (stored_shape[axis],) + stored_shape[:axis] + stored_shape[axis + 1:]
    stacked = np.stack(channels, axis=1).astype(want_dtype).reshape(moved)
    return np.ascontiguousarray(np.moveaxis(stacked, 0, axis))
