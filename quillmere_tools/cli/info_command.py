"""``quillmere info``: the header fields of every container in a file."""
from __future__ import annotations

import json
from pathlib import Path

from .._core import ToolError
from ..files import describe
from ..io import InputError
from .messages import human_size, report_error
from .table_layout import left_aligned

HEADER_FIELDS = ["magic", "version", "format_tag", "method_tag", "levels", "scale", "coder_id",
                 "sample_count", "min", "max", "mean", "payload_len", "multiplier"]


def field_text(key: str, header: dict) -> str:
    value = header[key]
    if key == "method_tag":
        return f"{value} ({header['method']})"
    if key == "coder_id":
        return f"{value} ({header['coder']})"
    if isinstance(value, float):
        return f"{value:.9g}"
    return str(value)


def run_info(args) -> int:
    failed = 0
    reports = []
    for name in args.files:
        try:
            try:
                blob = Path(name).read_bytes()
            except OSError as exc:
                raise InputError(exc.strerror.lower() if exc.strerror else str(exc)) from None
            report = describe(blob)
        except (ToolError, ValueError) as exc:
            report_error(f"{name}: {exc}")
            failed += 1
            continue
        report = {"file": name, **report}
        samples = sum(h["sample_count"] for h in report["containers"])
        report["ratio"] = 4 * samples / report["size"] if report["size"] else None
        reports.append(report)
    if args.json:
        if reports:
            print(json.dumps(reports[0] if len(args.files) == 1 else reports, indent=2))
    else:
        for report in reports:
            print(info_text(report))
    return 1 if failed else 0


def info_text(report: dict) -> str:
    headers = report["containers"]
    plural = "s" if len(headers) > 1 else ""
    lines = [f"{report['file']}: {human_size(report['size'])}, {len(headers)} channel{plural}, "
             f"ratio {report['ratio']:.2f}x vs float32"]
    meta = report["metadata"]
    if meta:
        source = ", ".join(f"{k}={meta[k]}" for k in sorted(meta) if k not in ("v",))
        lines.append(f"source: {source}")
    head = ["field"] + ([f"channel {i}" for i in range(len(headers))] if len(headers) > 1
                        else ["value"])
    rows = [[key] + [field_text(key, h) for h in headers] for key in HEADER_FIELDS]
    lines.extend(left_aligned([head] + rows))
    return "\n".join(lines)
