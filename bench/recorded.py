"""Results recorded by one build and checked by another: the --write/--check
pair the byte-neutrality scripts share, with the JSON written to a temporary
name and renamed into place so an interrupted run never leaves half a record.
"""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, Dict


def add_write_or_check(parser: argparse.ArgumentParser, required: bool = True) -> None:
    g = parser.add_mutually_exclusive_group(required=required)
    g.add_argument("--write", metavar="OUT", help="record this build's results here")
    g.add_argument("--check", metavar="RECORDED", help="compare this build's results with a record")


def save(path: str, data: Any) -> None:
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(data, f, indent=1, sort_keys=True)
        f.write("\n")
    os.replace(tmp, path)


def load(path: str) -> Any:
    with open(path) as f:
        return json.load(f)


def compare_hashes(recorded: Dict[str, str], got: Dict[str, str], what: str) -> int:
    """Prints every case that differs or is on one side only, then a summary
    line; returns the exit status (1 when anything differs)."""
    differ = sorted(k for k in recorded if k in got and got[k] != recorded[k])
    one_side = sorted(set(recorded) ^ set(got))
    for k in differ:
        print(f"DIFFERS: {k}")
    for k in one_side:
        print(f"ONLY ONE SIDE: {k}")
    print(f"{len(recorded)} {what}: {len(differ)} differ, {len(one_side)} on one side only")
    return 1 if differ or one_side else 0
