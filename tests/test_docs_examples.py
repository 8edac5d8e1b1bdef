"""Every example of the documentation runs as written, so none can go stale.

The fenced ```python and ```sh blocks of README.md, ARCHITECTURE.md and
docs/*.md run in a fresh temporary folder per Markdown file, in the order
they appear: the Python blocks of one file in one interpreter and one
namespace, as a reader pastes them one after another, and the shell blocks
in bash (-e, -u, pipefail) in the same folder, with this environment's
`python3` and `quillmere` first on PATH. Untagged blocks are printed output
and are not run.

A block may carry, on the line just above its fence, one of three comments:

    <!-- ci: run by PATH -->
        Too heavy for this suite (it installs the package or builds the
        wheel); PATH is the CI step that runs it instead, and this test
        checks that CI really reaches that step.
    <!-- ci: options checked: REASON -->
        A measurement no CI step repeats (minutes of timing, or peer codecs
        to install); every command's options are checked against its --help
        instead, so a renamed option or script still fails here.
    <!-- ci: expected to fail: REASON -->
        Known broken; the block still runs and is reported as xfail while it
        fails, so the day it passes shows up as XPASS.
"""

from __future__ import annotations

import json
import os
import re
import select
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

import pytest

ROOT = Path(__file__).resolve().parents[1]
DOCUMENTS = ["README.md", "ARCHITECTURE.md", *sorted(
    str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md"))]
RUNNABLE = ("python", "sh")
BLOCK_TIMEOUT = 600  # seconds; the longest example (a Dask cluster) takes ~30

_FENCE = re.compile(r"^```\s*([\w+-]*)\s*$")
_MARKER = re.compile(r"^<!--\s*ci:\s*(.*?)\s*-->$")


@dataclass(frozen=True)
class Block:
    document: str
    line: int            # 1-based line of the opening fence
    language: str        # "" for an untagged (output) block
    source: str
    marker: Optional[str]

    @property
    def id(self) -> str:
        return f"{self.document}:{self.line}"


def parse(document: str) -> list[Block]:
    """Every fenced block of ``document``, with the ci comment above it."""
    lines = (ROOT / document).read_text(encoding="utf-8").splitlines()
    blocks = []
    i = 0
    while i < len(lines):
        opening = _FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        end = i + 1
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        if end == len(lines):
            raise AssertionError(f"{document}:{i + 1}: fence never closed")
        above = next((lines[k].strip() for k in range(i - 1, -1, -1) if lines[k].strip()), "")
        marker = _MARKER.match(above)
        blocks.append(Block(document, i + 1, opening.group(1).lower(),
                            "\n".join(lines[i + 1:end]) + "\n", marker.group(1) if marker else None))
        i = end + 1
    return blocks


def _all_blocks() -> list[Block]:
    return [b for d in DOCUMENTS if (ROOT / d).exists() for b in parse(d)]


def _runnable() -> list[Block]:
    return [b for b in _all_blocks() if b.language in RUNNABLE]


# --- what a marker may say -------------------------------------------------

def ci_steps() -> set[str]:
    """Paths that CI runs: .ci/run, every repository file it names, and
    every file those scripts name in turn; the test files below tests/ run
    under test-all.sh's pytest."""
    steps = {".ci/run"}
    pending = [".ci/run"]
    while pending:
        lines = (ROOT / pending.pop()).read_text(encoding="utf-8").splitlines()
        # Comments may name files that are not run.
        text = "\n".join(line for line in lines if not line.lstrip().startswith("#"))
        for word in re.findall(r"[\w./-]+", text):
            name = word[2:] if word.startswith("./") else word
            if name not in steps and "/" in name and (ROOT / name).is_file():
                steps.add(name)
                if name.endswith(".sh"):
                    pending.append(name)
    return steps


def check_marker(block: Block, steps: set[str]) -> Optional[str]:
    """None if the block's marker is sound, else what is wrong with it."""
    if block.marker is None or block.marker.startswith(("expected to fail:", "options checked:")):
        return None
    run_by = re.fullmatch(r"run by (\S+)(?:\s.*)?", block.marker)
    if not run_by:
        return f"unknown ci comment {block.marker!r}"
    step = run_by.group(1)
    if step in steps:
        return None
    if step.startswith("tests/") and (ROOT / step).is_file() and "scripts/test-all.sh" in steps:
        return None
    return f"names {step!r}, which CI never runs (steps: {', '.join(sorted(steps))})"


def _commands(source: str) -> list[list[str]]:
    """The simple commands of a shell block, as words, without leading
    VAR=value assignments."""
    joined = re.sub(r"\\\n", " ", source)
    commands = []
    for line in joined.splitlines():
        for part in re.split(r"&&|\|\||;|\|", line):
            words = shlex.split(part, comments=True)
            while words and re.fullmatch(r"[A-Za-z_]\w*=.*", words[0]):
                words.pop(0)
            if words:
                commands.append(words)
    return commands


def unknown_options(source: str) -> list[str]:
    """Options of the block's commands that their --help does not list, and
    commands this check cannot read."""
    problems = []
    for words in _commands(source):
        if words[0] == "pip" or words[:3] == ["python3", "-m", "pip"]:
            continue  # installing the package is what every test run starts from
        if words[0] == "quillmere" and len(words) > 1:
            helper = ["quillmere", words[1], "--help"]
        elif words[0] in ("python", "python3") and len(words) > 1 and words[1].endswith(".py"):
            if not (ROOT / words[1]).is_file():
                problems.append(f"{words[1]} does not exist")
                continue
            helper = [sys.executable, words[1], "--help"]
        else:
            problems.append(f"cannot check the options of {words[0]!r}")
            continue
        shown = subprocess.run(helper, cwd=ROOT, env=_environment(), capture_output=True, text=True,
                               timeout=120)
        if shown.returncode != 0:
            problems.append(f"{' '.join(helper)} failed: {shown.stderr.strip()[-300:]}")
            continue
        listed = set(re.findall(r"(?<![\w-])(--?[A-Za-z][\w-]*)", shown.stdout))
        problems += [f"{words[0]} {words[1]}: {w} is not an option"
                     for w in (w.split("=")[0] for w in words[2:] if w.startswith("-"))
                     if w not in listed]
    return problems


# --- running ---------------------------------------------------------------

# One per Markdown file: reads blocks from stdin (one JSON line each), runs
# them in __main__'s namespace and answers on the descriptor it is given.
_DRIVER = r"""
import json, os, sys, traceback
replies = os.fdopen(int(sys.argv[1]), "w")
namespace = sys.modules["__main__"].__dict__
for request in sys.stdin:
    block = json.loads(request)
    try:
        exec(compile(block["source"], block["name"], "exec"), namespace)
        answer = None
    except BaseException:
        answer = traceback.format_exc()
    sys.stdout.flush()
    sys.stderr.flush()
    replies.write(json.dumps(answer) + "\n")
    replies.flush()
"""


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env["MPLBACKEND"] = "Agg"
    env.pop("PYTHONPATH", None)  # the installed package, never the source tree
    return env


class Reader:
    """The state a reader of one Markdown file builds up: a folder, an
    interpreter, and which of the file's blocks have run."""

    def __init__(self, document: str, folder: Path):
        self.document = document
        self.folder = folder
        self.done: dict[int, Optional[str]] = {}  # line -> None or the failure
        read_end, self._write_end = os.pipe()
        self._replies = os.fdopen(read_end)
        self._log = open(folder.parent / f"{folder.name}.log", "w")
        self._python = subprocess.Popen(
            [sys.executable, "-c", _DRIVER, str(self._write_end)], cwd=folder, env=_environment(),
            stdin=subprocess.PIPE, stdout=self._log, stderr=subprocess.STDOUT, text=True,
            pass_fds=(self._write_end,))
        os.close(self._write_end)

    def output(self) -> str:
        self._log.flush()
        return (self.folder.parent / f"{self.folder.name}.log").read_text(errors="replace")[-4000:]

    def run_python(self, block: Block) -> Optional[str]:
        assert self._python.stdin is not None
        self._python.stdin.write(json.dumps({"source": block.source, "name": block.id}) + "\n")
        self._python.stdin.flush()
        ready, _, _ = select.select([self._replies], [], [], BLOCK_TIMEOUT)
        if not ready:
            self._python.kill()
            return f"no answer within {BLOCK_TIMEOUT} s"
        line = self._replies.readline()
        if not line:
            return f"the interpreter ended (status {self._python.wait()})\n{self.output()}"
        failure: Optional[str] = json.loads(line)
        return failure

    def run_sh(self, block: Block) -> Optional[str]:
        try:
            proc = subprocess.run(["bash", "-euo", "pipefail", "-c", block.source], cwd=self.folder,
                                  env=_environment(), capture_output=True, text=True,
                                  timeout=BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            return f"no end within {BLOCK_TIMEOUT} s"
        if proc.returncode != 0:
            return f"exit status {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-2000:]}"
        return None

    def run(self, block: Block) -> Optional[str]:
        failure = self.run_python(block) if block.language == "python" else self.run_sh(block)
        self.done[block.line] = failure
        return failure

    def close(self) -> None:
        if self._python.stdin is not None:
            self._python.stdin.close()
        try:
            self._python.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self._python.kill()
            self._python.wait()
        self._replies.close()
        self._log.close()


@pytest.fixture(scope="module")
def readers(tmp_path_factory):
    opened: dict[str, Reader] = {}

    def reader_of(document: str) -> Reader:
        if document not in opened:
            folder = tmp_path_factory.mktemp(document.replace("/", "-").replace(".", "-"))
            opened[document] = Reader(document, folder)
        return opened[document]

    yield reader_of
    for reader in opened.values():
        reader.close()


def _example_params() -> list:
    params = []
    for block in _runnable():
        marks = []
        if block.marker and block.marker.startswith("expected to fail:"):
            marks.append(pytest.mark.xfail(reason=block.marker, strict=True))
        params.append(pytest.param(block, id=block.id, marks=marks))
    return params


@pytest.mark.parametrize("block", _example_params())
def test_example_runs_as_written(block: Block, readers):
    if block.marker and block.marker.startswith("run by"):
        problem = check_marker(block, ci_steps())
        assert problem is None, f"{block.id}: {problem}"
        return
    if block.marker and block.marker.startswith("options checked:"):
        assert block.language == "sh", f"{block.id}: only shell commands have options to check"
        assert not unknown_options(block.source), f"{block.id}: {unknown_options(block.source)}"
        return
    reader = readers(block.document)
    # Blocks above this one first, as the reader would have run them (only
    # when this test is picked out alone; in a full run they already ran).
    for earlier in _runnable():
        if (earlier.document == block.document and earlier.line < block.line
                and earlier.line not in reader.done
                and not (earlier.marker or "").startswith(("run by", "options checked:"))):
            reader.run(earlier)
    failure = reader.run(block)
    assert failure is None, f"{block.id} failed:\n{failure}\n--- output ---\n{reader.output()}"


# --- the runner's own rules ------------------------------------------------

def test_every_document_exists_and_has_no_unknown_language():
    # An example tagged ```bash or ```py would silently escape this runner.
    missing = [d for d in DOCUMENTS if not (ROOT / d).exists()]
    assert not missing
    odd = [f"{b.id} ```{b.language}" for b in _all_blocks() if b.language not in (*RUNNABLE, "")]
    assert not odd, f"examples in a language this runner does not run: {odd}"


def test_every_ci_comment_names_a_step_ci_runs():
    steps = ci_steps()
    problems = [f"{b.id}: {p}" for b in _all_blocks() if (p := check_marker(b, steps))]
    assert not problems


@pytest.mark.parametrize("marker, problem", [
    ("run by .ci/run", None),
    ("run by scripts/test-all.sh (it installs the package)", None),
    ("run by tests/test_docs_examples.py", None),
    ("run by scripts/no-such-step.sh", "never runs"),
    ("run by bench/compare.py", "never runs"),  # exists, but CI does not run it
    ("run by hand", "never runs"),
    ("skip", "unknown ci comment"),
    ("expected to fail: waiting for the fix", None),
])
def test_markers_are_checked_against_what_ci_runs(marker, problem):
    found = check_marker(Block("X.md", 1, "sh", "", marker), ci_steps())
    if problem is None:
        assert found is None
    else:
        assert found is not None and problem in found


def test_parser_finds_blocks_markers_and_output(tmp_path, monkeypatch):
    (tmp_path / "D.md").write_text(
        "text\n<!-- ci: run by .ci/run -->\n\n```sh\nmake\n```\n"
        "```\noutput\n```\n```python\nx = 1\n\ny = 2\n```\n")
    monkeypatch.setattr(sys.modules[__name__], "ROOT", tmp_path)
    blocks = parse("D.md")
    assert [(b.line, b.language, b.marker) for b in blocks] == [
        (4, "sh", "run by .ci/run"), (7, "", None), (10, "python", None)]
    assert blocks[2].source == "x = 1\n\ny = 2\n"


@pytest.mark.parametrize("source, problem", [
    ("pip install . && python3 bench/compare.py --plot x.png --markdown y.md\n", None),
    ("quillmere bench --scales 11 \\\n    --repeat 5 -j 2\n", None),
    ("python3 bench/compare.py --plots x.png\n", "--plots is not an option"),
    ("quillmere bench --batch-file 8\n", "--batch-file is not an option"),
    ("python3 bench/no_such_bench.py --plot x\n", "does not exist"),
    ("make bench\n", "cannot check"),
])
def test_option_check_reads_each_commands_help(source, problem):
    found = unknown_options(source)
    if problem is None:
        assert found == []
    else:
        assert any(problem in p for p in found), found
