"""Pure-Python view of Quillmere containers and of the tool's multi-channel file.

A single container is what ``quillmere.compress_signal`` returns: a 52-byte
little-endian header followed by ``payload_len`` payload bytes.  The decoder
ignores anything after the payload, which is what lets the command-line tool
and the array codecs append their own bytes without breaking stock readers:

    file := container+ [trailer]
    trailer := b"QLMX" u32(len) json(len bytes, UTF-8)

Each container holds one channel; the trailer records how to rebuild the
original file or array (format, dtype, shape, sample rate, ...).  Handing
the whole file to ``decompress_signal`` yields the first channel.
"""
from __future__ import annotations

import json
import math
import struct
from typing import Any

HEADER_LEN = 52
MAGIC = b"QLMR"
TRAILER_MAGIC = b"QLMX"

_HEADER = struct.Struct("<4sBB2s4sBBBBIfffIfIII")
_TRAILER_HEAD = struct.Struct("<4sI")
assert _HEADER.size == HEADER_LEN

METHOD_TAGS = {b"cf53": "cdf53", b"cf97": "cdf97", b"db04": "db4", b"sym4": "sym4"}
CODERS = {0: "deflate", 1: "arans", 2: "cmodel"}


class ContainerError(ValueError):
    """The bytes are not a well-formed Quillmere container or file."""


def _text(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return "?" * len(raw)


def parse_header(buf: bytes | memoryview, offset: int = 0) -> dict[str, Any]:
    """Decode and check the header at ``offset``; raise ContainerError if the
    codec's own reader would refuse it, so tools can say why before decoding."""
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
    if mtag not in METHOD_TAGS:
        raise ContainerError(f"invalid wavelet tag '{_text(mtag)}'")
    if not 6 <= scale <= 12:
        raise ContainerError(f"invalid scale {scale} (expected 6..12)")
    if coder not in CODERS:
        raise ContainerError(f"unknown entropy coder {coder}")
    if not all(math.isfinite(v) for v in (vmin, vmax, mean)):
        raise ContainerError("invalid header: non-finite normalisation constants")
    return {
        "magic": magic.decode("ascii"),
        "version": f"{v0}.{v1}",
        "format_tag": fmt.decode("ascii"),
        "method_tag": mtag.decode("ascii"),
        "method": METHOD_TAGS[mtag],
        "levels": levels,
        "scale": scale,
        "coder_id": coder,
        "coder": CODERS[coder],
        "sample_count": count,
        "min": vmin,
        "max": vmax,
        "mean": mean,
        "payload_len": plen,
        "multiplier": mult,
        "container_len": HEADER_LEN + plen,
    }


def pack(containers: list[bytes], meta: dict[str, Any] | None = None) -> bytes:
    """Concatenate containers and append a metadata trailer."""
    if not containers:
        raise ValueError("at least one container is needed")
    parts = list(containers)
    if meta is not None:
        body = json.dumps(meta, separators=(",", ":"), sort_keys=True).encode("utf-8")
        parts.append(_TRAILER_HEAD.pack(TRAILER_MAGIC, len(body)) + body)
    return b"".join(parts)


def unpack(buf: bytes) -> tuple[list[bytes], list[dict[str, Any]], dict[str, Any] | None]:
    """Split a file into (containers, headers, metadata-or-None).

    Every container is checked for a sane header and a complete payload, so a
    truncated or damaged file is reported here with a precise reason instead of
    as a bare decoder failure."""
    if len(buf) == 0:
        raise ContainerError("file is empty")
    containers: list[bytes] = []
    headers: list[dict[str, Any]] = []
    meta = None
    pos = 0
    while pos < len(buf):
        if buf[pos:pos + 4] == TRAILER_MAGIC and containers:
            if len(buf) - pos < _TRAILER_HEAD.size:
                raise ContainerError("truncated metadata trailer")
            _, n = _TRAILER_HEAD.unpack_from(buf, pos)
            body = buf[pos + _TRAILER_HEAD.size:pos + _TRAILER_HEAD.size + n]
            if len(body) != n or pos + _TRAILER_HEAD.size + n != len(buf):
                raise ContainerError("corrupt metadata trailer")
            try:
                meta = json.loads(body.decode("utf-8"))
            except (UnicodeDecodeError, json.JSONDecodeError):
                raise ContainerError("corrupt metadata trailer") from None
            if not isinstance(meta, dict):
                raise ContainerError("corrupt metadata trailer")
            break
        try:
            hdr = parse_header(buf, pos)
        except ContainerError as exc:
            if containers:
                raise ContainerError(f"channel {len(containers)}: {exc}") from None
            raise
        end = pos + hdr["container_len"]
        if end > len(buf):
            raise ContainerError(
                f"truncated container: header announces {hdr['payload_len']} payload bytes, "
                f"only {len(buf) - pos - HEADER_LEN} present"
            )
        containers.append(bytes(buf[pos:end]))
        headers.append(hdr)
        pos = end
    return containers, headers, meta
