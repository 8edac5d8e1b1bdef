"""The tools' own file and chunk format: channel units, then an index that
says how many there are, how long each is, what they hold, and proves it.

    file   := unit{n} lengths metadata tail
    lengths:= n x u64             (each unit's byte length)
    tail   := u32 n | u32 metadata_len | u16 version (2) | u16 0 | u32 crc | "QLMF"

All integers little-endian.  The CRC-32 (zlib's) covers every byte before
it, so truncation, splicing and bit rot anywhere are found before a single
unit is decoded.  A unit is the codec's container, optionally followed by a
side block the channel unit owns (frames.py), or for a long channel the
index of its blocks (each such a unit).  When channel 0 is a plain unit,
handing a whole file to the module's decoder yields its wavelet layer; a
blocked one starts "QLMB", which the module refuses rather than decoding a
part of it.

Files written before the index existed (version 1) are containers followed
by b"QLMX", a u32 length and the JSON metadata.  Users archived those, so
they are still read, with every metadata check of version 2 applied; they
hold no side blocks and no checksum.  A file with no trailer at all is a
bare container, or a file cut short, which cannot be told apart: bare
containers are read only when the caller asks for them.
"""
from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from typing import Any, Callable, Optional

from .container_header import HEADER_LEN, ContainerError, parse_header
from .metadata import check_metadata, dump_metadata, parse_metadata

INDEX_VERSION = 2
LEGACY_VERSION = 1
BARE = 0

TAIL_MAGIC = b"QLMF"
LEGACY_TRAILER_MAGIC = b"QLMX"
_TAIL = struct.Struct("<IIHHI4s")
_LENGTH = struct.Struct("<Q")
_LEGACY_HEAD = struct.Struct("<4sI")
TAIL_LEN = _TAIL.size

# The channel unit's side block (channel_unit/include/quillmere_tools/side_block.hpp), as far as counting
# samples needs it: magic, version, precision, flags, reserved, the unit's
# sample count; then the sections, a trailing run after the offset (8 bytes)
# and the non-finite runs (u32 length, then that many bytes).  The compact
# layout (version 2) never carries a trailing run.
_SIDE_MAGIC = b"QLMC"
_SIDE_HEAD = struct.Struct("<4sBBBBI")
_SIDE_BODY_AT = 20
_HAS_OFFSET, _HAS_RUNS, _HAS_TAIL = 1, 2, 8

# A decoded signal may take at most this many times the bytes it was stored
# in, counting 8 bytes a sample (the float64 working copy writers make), or
# UNCHECKED_OUTPUT_BYTES, whichever is more.  Coded with cmodel, a constant
# (the most compressible signal there is) decodes to about 12,000 times its
# stored size at that count; the fast coder codes any run of zero
# coefficients in a fixed few dozen bytes, so a constant of any length fits
# in one small unit, and only an absolute floor lets those through while a
# small damaged or hostile file still cannot ask for gigabytes.  Front ends
# let the user lift both.
MAX_EXPANSION = 20_000
UNCHECKED_OUTPUT_BYTES = 1 << 28
WORKING_BYTES_PER_SAMPLE = 8


def expansion_allowed(decoded_bytes: int, stored_bytes: int) -> bool:
    """Whether ``stored_bytes`` may decode to ``decoded_bytes`` without the
    user lifting the limit."""
    return decoded_bytes <= max(MAX_EXPANSION * stored_bytes, UNCHECKED_OUTPUT_BYTES)

# Far more channels than any recording format holds; the bound keeps the
# length table (8 bytes a unit) from being a way to ask for memory.
MAX_UNITS = 65536


@dataclass
class UnitFile:
    units: list[bytes]
    headers: list[dict[str, Any]]
    metadata: Optional[dict[str, Any]]
    version: int  # INDEX_VERSION, LEGACY_VERSION or BARE


def pack(units: list[bytes], metadata: dict[str, Any]) -> bytes:
    """Units followed by their index (the current version)."""
    head = b"".join(bytes(u) for u in units)
    return head + index_bytes([len(u) for u in units], metadata, zlib.crc32(head))


def index_bytes(lengths: list[int], metadata: dict[str, Any], units_crc: int) -> bytes:
    """The index that follows units of these byte lengths, whose bytes have
    the CRC-32 ``units_crc``: what a writer that streams its units to a
    file puts after them."""
    if not lengths:
        raise ValueError("at least one unit is needed")
    if len(lengths) > MAX_UNITS:
        raise ValueError(f"{len(lengths)} units (at most {MAX_UNITS})")
    body = dump_metadata(metadata)
    table = b"".join(_LENGTH.pack(n) for n in lengths) + body
    fields = struct.pack("<IIHH", len(lengths), len(body), INDEX_VERSION, 0)
    crc = zlib.crc32(fields, zlib.crc32(table, units_crc))
    return table + fields + struct.pack("<I", crc) + TAIL_MAGIC


def unpack(buf, *, allow_bare: bool = False,
           bare_hint: str = "pass allow_bare=True if it is one",
           checksum: Optional[Callable[[int], int]] = None) -> UnitFile:
    """Split and check a file without decoding any sample: the index (or the
    legacy trailer), every container header and the metadata against them.
    Any fault is one ContainerError saying what is wrong.

    With ``checksum`` (the CRC-32 of the first n bytes, for n), an indexed
    file is read where it lies, its units views of ``buf``: a mapped file
    too long to copy is then checked without reading it whole at once."""
    buf = memoryview(buf).cast("B") if not isinstance(buf, bytes) else buf
    if len(buf) == 0:
        raise ContainerError("file is empty")
    if len(buf) >= TAIL_LEN and bytes(buf[-4:]) == TAIL_MAGIC:
        if checksum is not None:
            return _unpack_indexed(buf, checksum)
        return _unpack_indexed(bytes(buf))
    return _unpack_legacy(bytes(buf), allow_bare, bare_hint)


def _unpack_indexed(buf, checksum: Optional[Callable[[int], int]] = None) -> UnitFile:
    count, meta_len, version, reserved, crc, _ = _TAIL.unpack_from(buf, len(buf) - TAIL_LEN)
    if version != INDEX_VERSION:
        raise ContainerError(f"unsupported file version {version} (this reader knows "
                             f"{LEGACY_VERSION} and {INDEX_VERSION})")
    if not 1 <= count <= MAX_UNITS:
        raise ContainerError(f"index announces {count} units (1 to {MAX_UNITS} allowed)")
    index_len = count * _LENGTH.size + meta_len + TAIL_LEN
    if index_len + count * HEADER_LEN > len(buf):
        raise ContainerError(f"truncated file: the index announces {count} units and "
                             f"{meta_len} metadata bytes, the file has {len(buf)} bytes")
    crc_before = checksum(len(buf) - 8) if checksum is not None \
        else zlib.crc32(memoryview(buf)[:len(buf) - 8])
    if crc_before != crc:
        raise ContainerError("checksum mismatch: the file is damaged, truncated or spliced")
    if reserved != 0:
        raise ContainerError("invalid index: reserved field is not zero")
    table = len(buf) - index_len
    lengths = [_LENGTH.unpack_from(buf, table + i * _LENGTH.size)[0] for i in range(count)]
    if sum(lengths) != table:
        raise ContainerError(f"index lengths add up to {sum(lengths)} bytes, the units "
                             f"take {table}")
    meta_at = table + count * _LENGTH.size
    metadata = parse_metadata(bytes(buf[meta_at:meta_at + meta_len]))
    units, headers, pos = [], [], 0
    for i, length in enumerate(lengths):
        header = _unit_header(buf, pos, length, i, count)
        header["unit_len"] = length
        units.append(buf[pos:pos + length])
        headers.append(header)
        pos += length
    check_metadata(metadata, headers)
    return UnitFile(units, headers, metadata, INDEX_VERSION)


def index_span(tail) -> tuple[int, int]:
    """(units, bytes) of the index at the end of an indexed file (length
    table, metadata and tail), from its last TAIL_LEN bytes: what unpack
    reads of the file beside each unit's head."""
    count, meta_len, *_ = _TAIL.unpack_from(tail, len(tail) - TAIL_LEN)
    return count, count * _LENGTH.size + meta_len + TAIL_LEN


def unit_lengths(buf, count: int) -> list[int]:
    """The byte lengths of the ``count`` units listed in the length table
    that starts ``buf``."""
    return [_LENGTH.unpack_from(buf, i * _LENGTH.size)[0] for i in range(count)]


def head_span(start, length: int) -> int:
    """Leading bytes of a unit of ``length`` bytes that unpack's checks
    read, from its first bytes ``start`` (the first BLOCKED_HEAD_LEN, where
    it has them): the whole of a plain unit; a blocked unit's header, block
    index, index CRC and first container header."""
    if bytes(start[:4]) != BLOCKED_MAGIC or len(start) < BLOCKED_HEAD_LEN:
        return length
    blocks = _BLOCKED_HEAD.unpack_from(start)[6]
    return min(length, blocked_index_end(blocks) + HEADER_LEN)


def last_block_span(head) -> tuple[int, int]:
    """Where a blocked unit's last block lies in the unit, from its head
    (head_span bytes): the decoder reads it, header and side block, to
    settle the unit's sample count before decoding any other block."""
    blocks = _BLOCKED_HEAD.unpack_from(head)[6]
    offset, length = struct.unpack_from("<QQ", head, _BLOCKED_HEAD.size
                                        + (blocks - 1) * _BLOCK_ENTRY_LEN)
    start = blocked_index_end(blocks) + offset
    return start, start + length


def blocked_index_end(blocks: int) -> int:
    """Where a blocked unit's first block starts: after its header, block
    index and the index's CRC."""
    return _BLOCKED_HEAD.size + blocks * _BLOCK_ENTRY_LEN + 4


def _where(i: int, count: int) -> str:
    return f"channel {i}: " if count > 1 else ""


# A long channel's unit is its blocks behind an index (channel_unit/include/quillmere_tools/blocked_unit.hpp):
# "QLMB", u8 version 1, u8 precision, u16 0, u64 samples, u32 block length,
# u32 block count, then 20 bytes per block and a CRC-32 of all that.  Here the
# index is counted and its CRC checked; the blocks' placement, CRCs and
# sample counts are checked by the decoder before it decodes any of them.
BLOCKED_MAGIC = b"QLMB"
_BLOCKED_HEAD = struct.Struct("<4sBBHQII")
_BLOCK_ENTRY_LEN = 20
BLOCKED_HEAD_LEN = _BLOCKED_HEAD.size
MIN_BLOCK_LENGTH = 4096


def blocked_header(unit) -> dict[str, Any]:
    """The header fields of a blocked unit: its first block's container
    header, with the whole unit's sample count and its blocks."""
    if len(unit) < _BLOCKED_HEAD.size + 4:
        raise ContainerError(f"blocked unit of {len(unit)} bytes is shorter than its header")
    _, version, precision, reserved, samples, length, blocks = _BLOCKED_HEAD.unpack_from(unit)
    if version != 1 or precision > 1 or reserved != 0:
        raise ContainerError(f"unsupported blocked unit (version {version}, precision "
                             f"{precision}, reserved {reserved})")
    if length < MIN_BLOCK_LENGTH or length > 2**31 - 1 or samples == 0 \
            or blocks != (samples - 1) // length + 1:
        raise ContainerError(f"blocked unit: {blocks} blocks of {length} samples cannot hold "
                             f"{samples} samples")
    index_end = _BLOCKED_HEAD.size + blocks * _BLOCK_ENTRY_LEN
    if index_end + 4 > len(unit):
        raise ContainerError(f"blocked unit: the index of {blocks} blocks is truncated")
    if zlib.crc32(memoryview(unit)[:index_end]) != struct.unpack_from("<I", unit, index_end)[0]:
        raise ContainerError("blocked unit: the index CRC does not match")
    header = parse_header(unit, index_end + 4)
    header.update(magic=BLOCKED_MAGIC.decode("ascii"), sample_count=samples, blocks=blocks,
                  block_length=length, trailing_run=0, container_len=len(unit))
    return header


def _unit_header(buf: bytes, pos: int, length: int, i: int, count: int) -> dict[str, Any]:
    try:
        if bytes(buf[pos:pos + 4]) == BLOCKED_MAGIC:
            return blocked_header(buf[pos:pos + length])
        if length < HEADER_LEN:
            raise ContainerError(f"unit of {length} bytes is shorter than a container header")
        header = parse_header(buf[pos:pos + length])
        if header["container_len"] > length:
            raise ContainerError(f"container of {header['container_len']} bytes does not fit "
                                 f"its unit of {length}")
        _count_trailing_run(header, buf[pos + header["container_len"]:pos + length])
    except ContainerError as exc:
        raise ContainerError(f"{_where(i, count)}{exc}") from None
    return header


def _count_trailing_run(header: dict[str, Any], side: bytes) -> None:
    """A unit whose side block restores a trailing run holds more samples
    than its container: ``sample_count`` becomes the unit's, and
    ``trailing_run`` says how many of them the container does not code.
    Everything else about the block is checked when the unit is decoded."""
    header["trailing_run"] = 0
    if len(side) < _SIDE_BODY_AT or bytes(side[:4]) != _SIDE_MAGIC or side[4] != 1:
        return
    _, _, _, flags, _, unit_samples = _SIDE_HEAD.unpack_from(side)
    if not flags & _HAS_TAIL:
        return
    at = _SIDE_BODY_AT + (8 if flags & _HAS_OFFSET else 0)
    if flags & _HAS_RUNS:
        if at + 4 > len(side):
            raise ContainerError("side block cut short before its trailing run")
        at += 4 + struct.unpack_from("<I", side, at)[0]
    if at + 4 > len(side):
        raise ContainerError("side block cut short before its trailing run")
    run = struct.unpack_from("<I", side, at)[0]
    if run == 0 or header["sample_count"] + run != unit_samples:
        raise ContainerError(f"side block counts {unit_samples} samples, but the container's "
                             f"{header['sample_count']} and a trailing run of {run} make "
                             f"{header['sample_count'] + run}")
    header["container_samples"] = header["sample_count"]
    header["sample_count"] = unit_samples
    header["trailing_run"] = run


def _unpack_legacy(buf: bytes, allow_bare: bool, bare_hint: str) -> UnitFile:
    if buf[:4] == BLOCKED_MAGIC:
        # Blocked units came with the index: a file without one that starts
        # with a blocked unit lost its end.
        raise ContainerError("the file ends without its index, so it was cut short or damaged "
                             "(it starts with a blocked unit, which only indexed files hold)")
    containers: list[bytes] = []
    headers: list[dict[str, Any]] = []
    metadata = None
    pos = 0
    while pos < len(buf):
        if containers and buf[pos:pos + 4] == LEGACY_TRAILER_MAGIC:
            if len(buf) - pos < _LEGACY_HEAD.size:
                raise ContainerError("truncated metadata trailer")
            _, length = _LEGACY_HEAD.unpack_from(buf, pos)
            body = buf[pos + _LEGACY_HEAD.size:]
            if len(body) != length:
                raise ContainerError(f"metadata trailer announces {length} bytes, "
                                     f"{len(body)} present")
            metadata = parse_metadata(body)
            break
        if len(containers) >= MAX_UNITS:
            raise ContainerError(f"more than {MAX_UNITS} containers")
        try:
            header = parse_header(buf, pos)
        except ContainerError as exc:
            if containers:
                # Old files put their trailer right after the containers, and
                # an indexed file's units end with its index; so bytes here
                # mean the end of the file is missing (or damaged), whatever
                # they look like.
                raise ContainerError(
                    f"the file ends without its index, so it was cut short or damaged "
                    f"(after {len(containers)} container(s), at byte {pos}: {exc})") from None
            raise
        end = pos + header["container_len"]
        if end > len(buf):
            raise ContainerError(
                f"truncated container: header announces {header['payload_len']} payload bytes, "
                f"only {len(buf) - pos - HEADER_LEN} present")
        containers.append(buf[pos:end])
        headers.append(dict(header, unit_len=header["container_len"]))
        pos = end
    if metadata is None:
        if not allow_bare:
            raise ContainerError("no index or trailer: this is a bare container or a file cut "
                                 f"short; {bare_hint}")
        if len(containers) != 1:
            raise ContainerError(f"{len(containers)} containers without an index: a bare "
                                 "container holds one")
        return UnitFile(containers, headers, None, BARE)
    check_metadata(metadata, headers)
    return UnitFile(containers, headers, metadata, LEGACY_VERSION)
