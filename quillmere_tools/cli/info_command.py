"""``quillmere info``: the header fields of every container in a file."""
from __future__ import annotations

import json

import numpy as np

from .._core import ToolError
from ..qlm.signal_files import describe
from ..recordings.bounded_input import read_compressed
from ..qlm.index import BARE, INDEX_VERSION
from .messages import RATIO_BASIS, human_size, report_error
from .metadata_view import metadata_lines, without_personal
from .table_layout import left_aligned

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
