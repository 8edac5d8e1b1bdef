"""Pure-Python view of one Quillmere container's header.

A container is what ``quillmere.compress_signal`` returns: a 52-byte
little-endian header followed by ``payload_len`` payload bytes.  The decoder
ignores anything after the payload, which is what lets the tools append
their own bytes (unit_file.py) without breaking stock readers.
"""
from __future__ import annotations

import math
import struct
from typing import Any

from ..settings import CODER_NAMES, METHOD_TAGS, SCALES, is_scale

HEADER_LEN = 52
MAGIC = b"QLMR"

_HEADER = struct.Struct("<4sBB2s4sBBBBIfffIfIII")
assert _HEADER.size == HEADER_LEN

_METHODS_BY_TAG = {tag: name for name, tag in METHOD_TAGS.items()}
# Coders 3 (fast) and 4 (integer, lossless on an integer grid) are the
# tools' own: the module refuses them, this reader takes them.


class ContainerError(ValueError):
    """The bytes are not a well-formed Quillmere container or tool file."""


def _text(raw: bytes) -> str:
    """Header bytes as they may be shown in a one-line message: printable
    ASCII as it is, anything else (line breaks included) as \\xNN."""
    return "".join(chr(b) if 0x20 <= b < 0x7F else f"\\x{b:02x}" for b in raw)


def parse_header(buf: bytes | memoryview, offset: int = 0) -> dict[str, Any]:
    """Decode and check the header at ``offset``; raise ContainerError if the
    tools' reader would refuse it, so tools can say why before decoding."""
    if len(buf) - offset < HEADER_LEN:
        raise ContainerError(
            f"truncated header: need {HEADER_LEN} bytes, {max(len(buf) - offset, 0)} left"
        )
    (magic, v0, v1, fmt, mtag, levels, scale, coder, res0, count,
     vmin, vmax, mean, plen, mult, r1, r2, r3) = _HEADER.unpack_from(buf, offset)
    if magic != MAGIC:
        raise ContainerError(f"not a Quillmere container (magic is {magic!r}, expected b'QLMR')")
    if v0 != 1:
        raise ContainerError(f"unsupported container version {v0}.{v1}")
    if fmt != b"f3":
        raise ContainerError(f"invalid format tag '{_text(fmt)}'")
    if mtag not in _METHODS_BY_TAG:
        raise ContainerError(f"invalid wavelet tag '{_text(mtag)}'")
    if not is_scale(scale):
        raise ContainerError(f"invalid scale {scale} (expected {SCALES[0]}..{SCALES[-1]})")
    if coder not in CODER_NAMES:
        raise ContainerError(f"unknown entropy coder {coder}")
    if not all(math.isfinite(v) for v in (vmin, vmax, mean)):
        raise ContainerError("invalid header: non-finite normalisation constants")
    return {
        "magic": magic.decode("ascii"),
        "version": f"{v0}.{v1}",
        "format_tag": fmt.decode("ascii"),
        "method_tag": mtag.decode("ascii"),
        "method": _METHODS_BY_TAG[mtag],
        "levels": levels,
        "scale": scale,
        "coder_id": coder,
        "coder": CODER_NAMES[coder],
        "sample_count": count,
        "min": vmin,
        "max": vmax,
        "mean": mean,
        "payload_len": plen,
        "multiplier": mult,
        "container_len": HEADER_LEN + plen,
    }
