"""Annotation times written back as they were read.

pyedflib takes an annotation's onset and duration in whole 100 us units,
while it reads them to 100 ns; an onset at 12.34567 s would come back as
12.3457. After the library has written a file, ``restore_times`` rewrites
the time fields of its annotation lists (each data record's "EDF
Annotations" signal, a sequence of ``+onset[0x15 duration]0x14 text 0x14 0x00``
entries) with the full values. The rewrite happens only when every entry is
found where and as expected and every record still has room; otherwise the
file is left as the library wrote it."""
from __future__ import annotations

from pathlib import Path
from typing import Optional, Sequence

_ONSET_END = 0x14
_DURATION_MARK = b"\x15"
_ENTRY_END = b"\x14\x00"
# The library's resolution on writing, in seconds.
_WRITTEN_STEP = 1e-4


def _seconds_text(value: float, signed: bool) -> bytes:
    """Seconds to 100 ns (what readers resolve), without trailing zeros."""
    text = f"{value:+.7f}" if signed else f"{value:.7f}"
    text = text.rstrip("0").rstrip(".")
    return text.encode("ascii")


def _layout(head: bytes):
    """(header bytes, records, bytes per sample, [(offset, size) of each
    annotation signal inside a record], record size) from the main header."""
    header_bytes = int(head[184:192])
    records = int(head[236:244])
    ns = int(head[252:256])
    width = 3 if head[:1] == b"\xff" else 2
    labels = [head[256 + 16 * i: 256 + 16 * (i + 1)].strip() for i in range(ns)]
    base = 256 + 216 * ns
    per_record = [int(head[base + 8 * i: base + 8 * (i + 1)]) for i in range(ns)]
    spans, offset = [], 0
    for label, count in zip(labels, per_record):
        if label in (b"EDF Annotations", b"BDF Annotations"):
            spans.append((offset, count * width))
        offset += count * width
    return header_bytes, records, spans, offset


def _entries(raw: bytes) -> Optional[list[bytes]]:
    out, pos = [], 0
    while pos < len(raw) and raw[pos] != 0:
        end = raw.find(_ENTRY_END, pos)
        if end < 0:
            return None
        out.append(raw[pos:end + 2])
        pos = end + 2
    return out if not raw[pos:].strip(b"\x00") else None


def _rewritten(entry: bytes, onset: float, duration: float, text: str) -> Optional[bytes]:
    """The entry with full times, or None if it is not the expected one."""
    cut = entry.index(bytes([_ONSET_END]))
    times, rest = entry[:cut], entry[cut:]
    written_onset, _, written_duration = times.partition(_DURATION_MARK)
    try:
        if abs(float(written_onset) - onset) > _WRITTEN_STEP:
            return None
        if written_duration and abs(float(written_duration) - duration) > _WRITTEN_STEP:
            return None
    except ValueError:
        return None
    if rest[1:].split(b"\x14")[0].decode("utf-8", "replace") != text:
        return None
    new = _seconds_text(onset, True)
    if written_duration:
        new += _DURATION_MARK + _seconds_text(duration, False)
    return new + rest


def restore_times(path: Path, annotations: Sequence[Sequence]) -> bool:
    """Rewrite the written annotations' times with the full ``annotations``
    values ([onset, duration, text] in writing order); True if done."""
    if not annotations:
        return True
    with open(path, "r+b") as f:
        head = f.read(256)
        try:
            f.seek(0)
            head = f.read(int(head[184:192]))
            header_bytes, records, spans, record_size = _layout(head)
        except (ValueError, IndexError):
            return False
        pending = list(annotations)
        patches: list[tuple[int, bytes]] = []
        for r in range(records):
            for s, (offset, size) in enumerate(spans):
                where = header_bytes + r * record_size + offset
                f.seek(where)
                raw = f.read(size)
                entries = _entries(raw)
                if entries is None:
                    return False
                # The first entry of a record's first list keeps its time.
                start = 1 if s == 0 else 0
                out = entries[:start]
                for entry in entries[start:]:
                    if not pending:
                        return False
                    onset, duration, text = pending.pop(0)
                    new = _rewritten(entry, float(onset), float(duration), str(text))
                    if new is None:
                        return False
                    out.append(new)
                body = b"".join(out)
                if len(body) > size:
                    return False
                if body != raw[:len(body)]:
                    patches.append((where, body + b"\x00" * (size - len(body))))
        if pending:
            return False
        for where, body in patches:
            f.seek(where)
            f.write(body)
    return True
