"""The benchmark that times plain compress and decompress of several builds
against the module on the same build: its ratios per round and their
medians, and a short run of two builds that are one interpreter. A slip
here would put one build's module time over another's tools time, or
report the mean of a noisy round as the median."""

import json
import os
import subprocess
import sys

BENCH = os.path.join(os.path.dirname(__file__), os.pardir, "bench")
sys.path.insert(0, BENCH)
import plain_speed_against as psa  # noqa: E402


def test_ratios_are_taken_per_round_and_build_then_their_median(capsys):
    rows = []
    # Per round: module / tools of the same build and round.
    for rnd, (mc, tc, md, td) in enumerate([(800, 200, 600, 150), (900, 200, 600, 100), (300, 100, 700, 200)],
                                          start=1):
        rows.append({"build": "old", "round": rnd, "signal": "s/x", "module_c": mc, "tools_c": tc,
                     "module_d": md, "tools_d": td})
        # The other build's module is ten times slower: its ratios must not
        # leak into the first build's cells.
        rows.append({"build": "new", "round": rnd, "signal": "s/x", "module_c": 10 * mc, "tools_c": tc,
                     "module_d": 10 * md, "tools_d": td})
    psa.report(rows, ["old", "new"])
    line = [t for t in capsys.readouterr().out.splitlines() if t.startswith("| s/x")][0]
    cells = [c.strip() for c in line.strip("|").split("|")]
    # compress ratios 4.0, 4.5, 3.0; decompress 4.0, 6.0, 3.5; tools c median 200.
    assert cells[1:3] == ["200.0", "200.0"]
    assert cells[3] == "4.00 (3.00-4.50)"
    assert cells[4] == "40.00 (30.00-45.00)"
    assert cells[5] == "4.00 (3.50-6.00)"
    assert cells[7:9] == ["150.0", "150.0"]


def test_a_short_run_times_every_build_every_round(tmp_path):
    out = tmp_path / "rows.json"
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "plain_speed_against.py"), f"a={sys.executable}",
         f"b={sys.executable}", "--rounds", "2", "--repeat", "1", "--only", "membrane", "--json", str(out)],
        capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    rows = json.loads(out.read_text())
    assert sorted((r["round"], r["build"]) for r in rows) == [(1, "a"), (1, "b"), (2, "a"), (2, "b")]
    assert all(r["signal"] == "mpl/membrane" and min(r[k] for k in psa.CALLS) > 0 for r in rows)
    # Round 2 runs the builds in the other order.
    assert [r["build"] for r in rows] == ["a", "b", "b", "a"]
    assert "| mpl/membrane |" in done.stdout
