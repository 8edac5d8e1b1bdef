"""How the modules of quillmere_tools may import one another: no cycles,
nothing below the command line imports it, and no private name is imported
from another module. Read from the sources, so lazy imports inside functions
count as much as those at the top."""
import ast
import pathlib

import pytest

PACKAGE = pathlib.Path(__file__).resolve().parents[2] / "quillmere_tools"
CLI = "quillmere_tools.cli"
# Only the package's own entry point sits above the command line.
ABOVE_CLI = {"quillmere_tools.__main__"}


def module_files(root=PACKAGE):
    out = {}
    # A compiled module is known by its stub.
    for path in sorted([*root.rglob("*.py"), *root.rglob("*.pyi")]):
        parts = list(path.relative_to(root.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        out[".".join(parts)] = path
    return out


def imports_of(name, path, known):
    """(imported module, imported names) for every import in the file."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name, []
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")[:len(package.split(".")) - node.level + 1]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            names = [alias.name for alias in node.names]
            # "from . import frames" imports the module quillmere_tools.frames.
            submodules = [f"{target}.{n}" for n in names if f"{target}.{n}" in known]
            plain = [n for n in names if f"{target}.{n}" not in known]
            if plain or not submodules:
                yield target, plain
            for sub in submodules:
                yield sub, []


def graph(files):
    edges = {name: set() for name in files}
    private = []
    for name, path in files.items():
        for target, names in imports_of(name, path, files):
            if target in files and target != name:
                edges[name].add(target)
            private += [f"{name} imports {target}.{n}" for n in names
                        if target in files and target != name and n.startswith("_") and not n.startswith("__")]
    return edges, private


def cycles(edges):
    """Every strongly connected group of more than one module (Tarjan)."""
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(edges[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for v in sorted(edges):
        if v not in index:
            visit(v)
    return groups


def library_importing_cli(edges):
    return sorted(f"{m} imports {t}" for m, targets in edges.items() for t in targets
                  if (t == CLI or t.startswith(CLI + ".")) and not (m == CLI or m.startswith(CLI + "."))
                  and m not in ABOVE_CLI)


@pytest.fixture(scope="module")
def package_graph():
    return graph(module_files())


def test_no_import_cycle(package_graph):
    edges, _ = package_graph
    assert cycles(edges) == []


def test_library_does_not_import_the_command_line(package_graph):
    edges, _ = package_graph
    assert library_importing_cli(edges) == []


def test_no_private_name_crosses_a_module(package_graph):
    _, private = package_graph
    assert private == []


# The checks themselves, on a small package written for them: each must
# find what it is there to find.
@pytest.mark.parametrize("files, finds", [
    ({"a.py": "from . import b", "b.py": "from .c import f", "c.py": "def f():\n    from .a import g"},
     "cycle"),
    ({"io.py": "def f():\n    from .cli.messages import x", "cli/__init__.py": "", "cli/messages.py": "x = 1"},
     "cli"),
    ({"io.py": "_reason = 1", "fmt.py": "from .io import _reason"}, "private"),
    ({"a.py": "from . import _native, b", "b.py": "import os", "_native.py": "", "cli/__init__.py": "from .. import a",
      "__main__.py": "from .cli import x"}, None),
])
def test_checks_find_what_they_look_for(tmp_path, files, finds):
    root = tmp_path / "quillmere_tools"
    for name, text in {"__init__.py": "", **files}.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text + "\n")
    edges, private = graph(module_files(root))
    found = {"cycle": bool(cycles(edges)), "cli": bool(library_importing_cli(edges)), "private": bool(private)}
    assert found == {k: k == finds for k in found}
