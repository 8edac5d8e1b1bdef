"""``quillmere info``: the header fields of every container in a file, and
the file's metadata as a person reads it: one field a line, channel
descriptions as a table, long lists cut short, and the fields that identify
a person (an EDF header's patient name, code and birth date; the free-text
comments of a WFDB header) left out unless asked for.

A terminal, a log or a screen share is not the place for a patient's name
by default; ``--all`` shows everything the file holds.
"""
from __future__ import annotations

import json
from typing import Any, Sequence

import numpy as np

from .._core import ToolError
from ..qlm.index import BARE, INDEX_VERSION
from ..qlm.signal_files import describe
from ..recordings.bounded_input import read_compressed
from .messages import RATIO_BASIS, human_size, left_aligned, report_error

HEADER_FIELDS = ["magic", "version", "format_tag", "method_tag", "levels", "scale", "coder_id",
                 "sample_count", "min", "max", "mean", "payload_len", "multiplier", "unit_len",
                 "blocks", "block_length"]
# A long channel is stored as blocks: its header fields are those of its
# first block, with the whole channel's sample_count; a short one is 1 block.
# unit_len is the channel's whole share of the file: the container plus the
# side block (corrections, non-finite positions, offset) when there is one.
# Channels listed unless --all: the report stays proportionate to what a
# person reads, not to what a file claims (a file of 200,000 one-sample
# channels is 12 MB; listing them all would print 76 MB).
INFO_CHANNELS = 16
_FORMATS = {BARE: "bare container (no index)", 1: "file version 1 (no checksum)",
            INDEX_VERSION: f"file version {INDEX_VERSION} (index and CRC-32 checked)"}


def physical_mean(header: dict) -> float:
    """The header's mean is that of the min-max normalised samples; bring it
    back to the signal's own units the way the decoder de-normalises."""
    low, high = np.float32(header["min"]), np.float32(header["max"])
    spread = np.float32(high - low)
    if spread <= np.float32(1e-5):  # a flat signal: the codec stores mean 0
        return float(low)
    return float(low + spread * np.float32(header["mean"]))


def field_text(key: str, header: dict) -> str:
    value = header[key]
    if key == "method_tag":
        return f"{value} ({header['method']})"
    if key == "coder_id":
        return f"{value} ({header['coder']})"
    if isinstance(value, float):
        return f"{value:.9g}"
    return str(value)


def report_for(name: str, blob: bytes, list_all: bool) -> dict:
    report = describe(blob)
    if report["metadata"] and not list_all:
        report["metadata"], hidden = without_personal(report["metadata"])
        if hidden:
            report["hidden_fields"] = hidden
    headers = [dict(h, mean=physical_mean(h), blocks=h.get("blocks", 1),
                    block_length=h.get("block_length", h["sample_count"]))
               for h in report["containers"]]
    samples = sum(h["sample_count"] for h in headers)
    shown = headers if list_all else headers[:INFO_CHANNELS]
    return {"file": name, **report, "containers": shown,
            "containers_not_shown": len(headers) - len(shown),
            "ratio": 4 * samples / report["size"] if report["size"] else None,
            "ratio_basis": RATIO_BASIS}


def run_info(args) -> int:
    failed = 0
    reports = []
    for name in args.files:
        try:
            blob = read_compressed(name, args.max_input)
            reports.append(report_for(name, blob, args.all))
        except (ToolError, ValueError) as exc:
            report_error(f"{name}: {exc}")
            failed += 1
        except MemoryError:
            report_error(f"{name}: out of memory")
            failed += 1
    if args.json:
        if reports:
            print(json.dumps(reports[0] if len(args.files) == 1 else reports, indent=2))
    else:
        for report in reports:
            print(info_text(report, args.all))
    return 1 if failed else 0


def info_text(report: dict, list_all: bool = False) -> str:
    headers = report["containers"]
    count = report["channels"]
    plural = "s" if count > 1 else ""
    lines = [f"{report['file']}: {human_size(report['size'])}, {count} channel{plural}, "
             f"ratio {report['ratio']:.2f}x {RATIO_BASIS}; {_FORMATS[report['version']]}"]
    # Personal fields are already out of the report unless --all was given.
    lines.extend(metadata_lines(report["metadata"], list_all, INFO_CHANNELS,
                                report.get("hidden_fields", ())))
    lines.append("containers:")
    head = ["field"] + ([f"channel {i}" for i in range(len(headers))] if count > 1
                        else ["value"])
    rows = [[key] + [field_text(key, h) for h in headers] for key in HEADER_FIELDS]
    lines.extend(left_aligned([head] + rows))
    if report["containers_not_shown"]:
        lines.append(f"  ({report['containers_not_shown']} more channels; --all lists them)")
    return "\n".join(lines)


# Fields of a nested header (EDF) that describe the person recorded or
# the person recording.
PERSONAL_HEADER_FIELDS = frozenset({"patientname", "patient_additional", "patientcode", "sex",
                                    "birthdate", "technician"})
# Top-level fields of free text that in practice carry patient details.
PERSONAL_FIELDS = frozenset({"comments"})
# Bookkeeping the reader has already checked against the containers.
_INTERNAL = frozenset({"v"})
LISTED_ITEMS = 5
_TEXT_WIDTH = 72


def without_personal(meta: dict[str, Any]) -> tuple[dict[str, Any], list[str]]:
    """The metadata less its personal fields, and the dotted names of those
    left out."""
    kept: dict[str, Any] = {}
    hidden: list[str] = []
    for key, value in meta.items():
        if key in PERSONAL_FIELDS:
            hidden.append(key)
        elif isinstance(value, dict):
            kept[key] = {k: v for k, v in value.items() if k not in PERSONAL_HEADER_FIELDS}
            hidden.extend(f"{key}.{k}" for k in value if k in PERSONAL_HEADER_FIELDS)
        else:
            kept[key] = value
    return kept, sorted(hidden)


def _text(value: Any) -> str:
    """One short line for any JSON value; text is shown without quotes."""
    if isinstance(value, float):
        return f"{value:.9g}"
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    text = " ".join(text.split())  # no line breaks or tabs from the file reach the terminal
    text = "".join(ch if ch.isprintable() else "?" for ch in text)
    return text if len(text) <= _TEXT_WIDTH else text[:_TEXT_WIDTH - 3] + "..."


def _list_lines(key: str, items: list, list_all: bool) -> list[list[str]]:
    if all(not isinstance(i, (list, dict)) for i in items) and len(_text(items)) <= _TEXT_WIDTH:
        return [[key, _text(items)]]
    shown = items if list_all else items[:LISTED_ITEMS]
    rows = [[key, f"{len(items)} entries"]]
    rows += [["", _text(item)] for item in shown]
    if len(shown) < len(items):
        rows.append(["", f"({len(items) - len(shown)} more; --all lists them)"])
    return rows


def _channel_table(info: list, list_all: bool, limit: int) -> list[str]:
    entries = [e for e in info if isinstance(e, dict)]
    if not entries:
        return []
    columns = list(dict.fromkeys(k for e in entries for k in e))
    shown = entries if list_all else entries[:limit]
    rows = [["channel"] + columns]
    rows += [[str(i)] + [_text(e.get(k, "")) for k in columns] for i, e in enumerate(shown)]
    lines = left_aligned(rows)
    if len(shown) < len(entries):
        lines.append(f"  ({len(entries) - len(shown)} more channels; --all lists them)")
    return lines


def metadata_lines(meta: dict[str, Any] | None, list_all: bool, channel_limit: int,
                   already_hidden: Sequence[str] = ()) -> list[str]:
    """The text lines ``info`` prints for a file's metadata;
    ``already_hidden`` names personal fields the caller took out before."""
    if not meta:
        return []
    shown, hidden = (meta, []) if list_all else without_personal(meta)
    hidden = sorted(set(hidden) | set(already_hidden))
    rows: list[list[str]] = []
    for key in sorted(shown):
        value = shown[key]
        if key in _INTERNAL or key == "channel_info":
            continue
        if isinstance(value, dict):
            rows += [[_text(f"{key}.{k}"), _text(v)] for k, v in value.items()]
        elif isinstance(value, list):
            rows += _list_lines(_text(key), value, list_all)
        else:
            rows.append([_text(key), _text(value)])
    lines = ["metadata:"] + (left_aligned(rows) if rows else [])
    if hidden:
        lines.append(f"  ({len(hidden)} personal field{'s' if len(hidden) > 1 else ''} not "
                     f"shown: {', '.join(hidden)}; --all shows them)")
    info = shown.get("channel_info")
    if isinstance(info, list):
        lines += ["channels:"] + _channel_table(info, list_all, channel_limit)
    return lines
