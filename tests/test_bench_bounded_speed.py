"""The benchmark that times bounded compress of several builds in turn: its
per-row medians and speed ratios, the builds it accepts, and a run of two
builds that are the same interpreter. A slip here would report a slower
build as faster, or time one build's rows against another's."""

import json
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(__file__), os.pardir, "bench")
sys.path.insert(0, BENCH)
import bounded_speed_against as bsa  # noqa: E402


def test_report_takes_medians_over_rounds_and_ratios_against_the_first_build(capsys):
    rows = []
    for rnd, (a, b) in enumerate([(0.010, 0.020), (0.012, 0.030), (0.011, 0.004)], start=1):
        rows.append({"build": "ref", "round": rnd, "signal": "s/x", "fraction": 0.01, "seconds": a, "bytes": 100})
        rows.append({"build": "new", "round": rnd, "signal": "s/x", "fraction": 0.01, "seconds": b, "bytes": 90})
    rows.append({"build": "ref", "round": 1, "signal": "s/x", "fraction": 0.001, "seconds": 0.002, "bytes": 7})
    rows.append({"build": "new", "round": 1, "signal": "s/x", "fraction": 0.001, "seconds": 0.001, "bytes": 8})
    out = bsa.report(rows, ["ref", "new"])
    by_fraction = {r["fraction"]: r for r in out["rows"]}
    # Medians: ref 11 ms, new 20 ms; the ratio is ref / new, below 1 = slower.
    assert by_fraction[0.01]["ms"] == pytest.approx({"ref": 11.0, "new": 20.0})
    assert by_fraction[0.01]["bytes"] == {"ref": 100, "new": 90}
    assert by_fraction[0.001]["ms"] == pytest.approx({"ref": 2.0, "new": 1.0})
    text = capsys.readouterr().out
    assert "new against ref: min 0.55, median 1.27, 1 of 2 rows below 1" in text
    assert "100/90" in text and "7/8" in text


@pytest.mark.parametrize("args, message", [
    (["nolabel"], "expected LABEL=PYTHON"),
    (["a=/no/such/python"], "is not an executable interpreter"),
    ([f"a={sys.executable}", f"a={sys.executable}"], "labels must differ"),
])
def test_bad_builds_are_refused_naming_the_build(args, message):
    with pytest.raises(SystemExit, match=message):
        bsa.parse_builds(args)


def test_two_runs_of_one_build_give_the_same_bytes(tmp_path):
    out = tmp_path / "rows.json"
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "bounded_speed_against.py"), f"a={sys.executable}",
         f"b={sys.executable}", "--rounds", "1", "--repeat", "1", "--fractions", "0.01",
         "--only", "membrane", "--json", str(out)],
        capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    rows = json.loads(out.read_text())["rows"]
    assert [r["signal"] for r in rows] == ["mpl/membrane"]
    assert rows[0]["bytes"]["a"] == rows[0]["bytes"]["b"] > 0
    assert "b against a:" in done.stdout
