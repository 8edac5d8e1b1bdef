"""A file's metadata as a person reads it: one field a line, channel
descriptions as a table, long lists cut short, and the fields that
identify a person (an EDF header's patient name, code and birth date; the
free-text comments of a WFDB header) left out unless asked for.

A terminal, a log or a screen share is not the place for a patient's name
by default; ``--all`` shows everything the file holds.
"""
from __future__ import annotations

import json
from typing import Any, Sequence

from .table_layout import left_aligned

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
