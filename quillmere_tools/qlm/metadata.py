"""The metadata that .qlm files and array chunks carry: JSON read with bounds
on size, nesting and number length, then checked field by field and against
the containers it describes.

Everything here runs before any sample is decoded: a trailer is the part of
a file a careless or hostile writer controls most cheaply, so nothing in it
is trusted to choose a dtype, a size or a depth.
"""
from __future__ import annotations

import json
import math
import re
from typing import Any, Optional, Sequence

from .container_header import ContainerError

# Room for a long recording's annotations and channel descriptions (EDF, WFDB),
# small enough that reading it is never a way to ask for memory.
MAX_METADATA_BYTES = 1024 * 1024
# The deepest metadata written is three levels: lists of objects or of lists
# (channel descriptions, annotations) inside the top-level object.
MAX_DEPTH = 4
# Longer numbers cannot be a sample count or a rate, and parsing them is
# where Python's own limits (and messages) would otherwise show.
MAX_NUMBER_CHARS = 24
MAX_DIMENSIONS = 32
MAX_SAMPLE_RATE = 2**31 - 1

# The real integer and floating types, any byte order: the only dtypes a
# decoded signal may be turned into.
DTYPE_PATTERN = re.compile(r"[<>|=]?(?:[iu][1248]|f[248])")
# Sound-file subtype names as the WAV reader reports them (PCM_16, FLOAT,
# ULAW, IMA_ADPCM, ...): short upper-case words, handed back to the writer.
SUBTYPE_PATTERN = re.compile(r"[A-Z][A-Z0-9_]{0,23}")


def _nesting_depth(text: str) -> int:
    """Deepest bracket nesting outside strings, found without recursion so a
    trailer of a hundred thousand '[' costs a scan, not the stack."""
    depth = deepest = 0
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif ch in "]}":
            depth -= 1
    return deepest


def _bounded_int(text: str) -> int:
    if len(text) > MAX_NUMBER_CHARS:
        raise ContainerError(f"metadata holds a {len(text)}-digit number")
    return int(text)


def _bounded_float(text: str) -> float:
    if len(text) > MAX_NUMBER_CHARS:
        raise ContainerError(f"metadata holds a {len(text)}-character number")
    value = float(text)
    if not math.isfinite(value):
        raise ContainerError(f"metadata holds a number out of range: {text}")
    return value


def _no_constant(name: str):
    raise ContainerError(f"metadata holds {name}, which is not JSON")


def parse_metadata(raw: bytes) -> dict[str, Any]:
    """The metadata object, or ContainerError saying what is wrong with it."""
    if len(raw) > MAX_METADATA_BYTES:
        raise ContainerError(f"metadata of {len(raw)} bytes (at most {MAX_METADATA_BYTES})")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ContainerError("metadata is not UTF-8 text") from None
    if _nesting_depth(text) > MAX_DEPTH:
        raise ContainerError(f"metadata nested deeper than {MAX_DEPTH} levels")
    try:
        meta = json.loads(text, parse_int=_bounded_int, parse_float=_bounded_float,
                          parse_constant=_no_constant)
    except json.JSONDecodeError as exc:
        raise ContainerError(f"metadata is not valid JSON ({exc.msg} at {exc.pos})") from None
    if not isinstance(meta, dict):
        raise ContainerError("metadata is not a JSON object")
    return meta


def dump_metadata(meta: dict[str, Any]) -> bytes:
    """JSON bytes, refusing NaN and infinities: what is written must read back."""
    body = json.dumps(meta, separators=(",", ":"), sort_keys=True, allow_nan=False)
    raw = body.encode("utf-8")
    if len(raw) > MAX_METADATA_BYTES:
        raise ValueError(f"metadata of {len(raw)} bytes (at most {MAX_METADATA_BYTES})")
    return raw


def _count(meta: dict, key: str, low: int, high: int) -> Optional[int]:
    if key not in meta:
        return None
    value = meta[key]
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ContainerError(f"metadata {key} must be an integer from {low} to {high}, "
                             f"got {_short(value)}")
    return value


def _short(value) -> str:
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _count_text(n: int) -> str:
    """A count as a message shows it: forged sizes can multiply to hundreds
    of digits, which say nothing a person can use."""
    text = str(n)
    return text if len(text) <= 20 else f"a {len(text)}-digit number of"


def _check_time_axis(meta: dict) -> None:
    # A table's time column is stored as its start and step, to be written back.
    for key in ("time_start", "time_step"):
        if key in meta:
            value = meta[key]
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ContainerError(f"metadata {key} must be a number, got {_short(value)}")
    if "time_step" in meta and not meta["time_step"] > 0:
        raise ContainerError("metadata time_step must be positive, "
                             f"got {_short(meta['time_step'])}")


def check_dtype_text(value) -> str:
    if not isinstance(value, str) or not DTYPE_PATTERN.fullmatch(value):
        raise ContainerError(f"metadata dtype {_short(value)} is not a real integer or "
                             "floating type")
    return value


def _check_channel_info(info, channels: int) -> None:
    """One flat object per channel (label, unit, rate, ranges): what the
    recording formats hand back to their writers."""
    if not isinstance(info, list) or len(info) != channels:
        raise ContainerError(f"metadata channel_info must list the {channels} channels")
    for entry in info:
        if not isinstance(entry, dict) or not all(
                isinstance(v, (str, int, float, bool)) or v is None for v in entry.values()):
            raise ContainerError(f"metadata channel_info entry {_short(entry)} is not a flat object")


def check_metadata(meta: dict[str, Any], headers: Sequence[dict[str, Any]]) -> dict[str, Any]:
    """Check the known fields' types and ranges and their agreement with the
    containers' headers; unknown fields are kept as they are."""
    for key in ("format", "header"):
        if key in meta and not isinstance(meta[key], str):
            raise ContainerError(f"metadata {key} must be text, got {_short(meta[key])}")
    if "dtype" in meta:
        check_dtype_text(meta["dtype"])
    if "subtype" in meta and not (isinstance(meta["subtype"], str)
                                  and SUBTYPE_PATTERN.fullmatch(meta["subtype"])):
        raise ContainerError(f"metadata subtype {_short(meta['subtype'])} is not a sound-file "
                             "subtype name")
    _check_time_axis(meta)
    _count(meta, "v", 1, 2)
    _count(meta, "samplerate", 1, MAX_SAMPLE_RATE)
    channels = _count(meta, "channels", 1, 2**31)
    frames = _count(meta, "frames", 0, 2**32 - 1)
    if channels is not None and channels != len(headers):
        raise ContainerError(f"metadata says {channels} channels, the file holds {len(headers)}")
    counts = {h["sample_count"] for h in headers}
    if "channel_frames" in meta:
        # Channels at different rates (EDF, WFDB): each one's own length.
        lengths = meta["channel_frames"]
        if lengths != [h["sample_count"] for h in headers] or "frames" in meta:
            raise ContainerError(f"metadata channel_frames {_short(lengths)} does not match "
                                 "the containers")
        counts = set()
    if "channel_info" in meta:
        _check_channel_info(meta["channel_info"], len(headers))
    if len(counts) > 1:
        raise ContainerError("channels have different lengths "
                             f"({', '.join(str(c) for c in sorted(counts)[:4])} samples)")
    if frames is not None and counts and frames not in counts:
        raise ContainerError(f"metadata says {frames} frames, the containers hold "
                             f"{counts.pop()} samples")
    if "shape" in meta:
        shape = meta["shape"]
        if (not isinstance(shape, list) or len(shape) > MAX_DIMENSIONS
                or any(isinstance(n, bool) or not isinstance(n, int) or not 0 <= n < 2**32
                       for n in shape)):
            raise ContainerError(f"metadata shape {_short(shape)} is not a list of sizes")
        size = math.prod(shape)
        if counts and size not in counts:
            raise ContainerError(f"metadata shape {_short(shape)} holds {_count_text(size)} "
                                 f"samples, the container {counts.pop()}")
    return meta
