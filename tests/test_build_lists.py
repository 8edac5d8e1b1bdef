"""Lists the build keeps once stay complete: every fuzz harness is listed
(so it is built, fuzzed and replayed), and every script builds through a
CMake preset instead of a configure line of its own."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def listed_fuzz_targets() -> list[str]:
    lines = (ROOT / "fuzz" / "targets.txt").read_text().splitlines()
    return [line for line in lines if re.fullmatch(r"[a-z_]+", line)]


def test_every_fuzz_harness_is_listed_once_with_a_corpus():
    harnesses = sorted(p.stem.removeprefix("fuzz_") for p in (ROOT / "fuzz").glob("fuzz_*.cpp"))
    listed = listed_fuzz_targets()
    assert len(listed) == len(set(listed)), listed
    assert sorted(listed) == harnesses
    empty = [t for t in listed if not any((ROOT / "fuzz" / "corpus" / t).glob("*"))]
    assert not empty, f"harnesses without a committed corpus: {empty}"


SCRIPTS = sorted(str(p.relative_to(ROOT)) for p in [*(ROOT / "scripts").glob("*.sh"),
                                                      *(ROOT / "fuzz").glob("*.sh"), ROOT / ".ci" / "run"])


@pytest.mark.parametrize("script", SCRIPTS)
def test_scripts_configure_only_through_presets(script):
    document = json.loads((ROOT / "CMakePresets.json").read_text())
    kinds = {"cmake": "configurePresets", "cmake --build": "buildPresets", "ctest": "testPresets"}
    text = (ROOT / script).read_text()
    # A configure line of its own names a source or build folder (-S, -B).
    assert not re.search(r"\bcmake\b[^\n]*\s-[SB]\s", text)
    for tool, name in re.findall(r"\b(cmake --build|cmake|ctest)\s+--preset[ =](\S+)", text):
        known = {p["name"] for p in document[kinds[tool]]}
        assert name in known, f"{script}: {tool} --preset {name} is not in CMakePresets.json"
