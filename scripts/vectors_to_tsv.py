#!/usr/bin/env python3
"""Flattens tests/data/vectors/manifest.json into two TSV files the C++ tests
can read without a JSON parser. Rerun after refreshing the vectors."""
import json
import pathlib

root = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "vectors"
manifest = json.loads((root / "manifest.json").read_text())

with open(root / "cases.tsv", "w") as out:
    for c in manifest["cases"]:
        o = c["options"]
        qm = o["quant_multiplier"]
        out.write("\t".join([
            c["name"], c["input"], o["method"], str(o["scale"]), o["cutoff"], o["coder"],
            "none" if qm is None else repr(float(qm)), c["container"], c["decoded"],
            str(int(c["exact_container"])), str(int(c["exact_decoded"])),
        ]) + "\n")

with open(root / "malformed.tsv", "w") as out:
    for m in manifest["malformed"]:
        # Messages may hold control characters; hex keeps the file line-safe.
        out.write("\t".join([m["name"], m["container"], m["message"].encode().hex()]) + "\n")
