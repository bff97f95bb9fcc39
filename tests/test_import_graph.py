"""The package's import graph is the one docs/architecture.md states.

The graph is derived from the code: the imports of every module file (read
with ``ast``, so nothing is imported or run) and the imports the extension
modules make at initialisation (read from their C++ sources).  The document
names every module file of the package and states the arrows between them;
this test holds each side to the other.
"""

from __future__ import annotations

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "package" / "korvel"
NATIVE = PACKAGE / "_native"
DOC = ROOT / "docs" / "architecture.md"

# The extension modules and the C++ file of each that runs its initialisation.
EXTENSIONS = {"sonix": NATIVE / "sonix.cpp", "pulsix": NATIVE / "pulsix" / "module.cpp"}


# ---- the document ------------------------------------------------------------

def doc_block(after: str) -> list[str]:
    """The lines of the first fenced block after the line that starts with `after`."""
    lines = DOC.read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(after))
    fence = next(i for i in range(start, len(lines)) if lines[i].startswith("```"))
    end = next(i for i in range(fence + 1, len(lines)) if lines[i].startswith("```"))
    return lines[fence + 1:end]


def documented_modules() -> set[str]:
    """The module files the layout names, as paths below package/korvel/ without suffix."""
    names = set()
    for line in doc_block("## The Python side")[1:]:
        first = line.split()[0] if line.strip() else ""
        names.add(first.removesuffix(".py"))
    names.discard("")
    return names


def parse_arrows(lines: list[str]) -> dict[str, set[str]]:
    """`a -> b, c` lines (a continuation line starts with spaces) as {a: {b, c}}."""
    arrows: dict[str, set[str]] = {}
    source = None
    for line in lines:
        if "->" in line:
            source, _, targets = line.partition("->")
            source = source.strip()
        elif line.strip() and source is not None:
            targets = line
        else:
            continue
        arrows.setdefault(source, set()).update(t.strip() for t in targets.split(",") if t.strip())
    return arrows


def documented_arrows() -> dict[str, set[str]]:
    return parse_arrows(doc_block("The arrows run one way"))


# ---- the code --------------------------------------------------------------------

def module_files() -> dict[str, Path]:
    """Every module of the package: its Python files and its extension modules."""
    found = {str(p.relative_to(PACKAGE).with_suffix("")): p for p in PACKAGE.rglob("*.py")}
    found.update(EXTENSIONS)
    return found


def dotted(name: str) -> str:
    """"cli/commands" -> "korvel.cli.commands"; "__init__" -> "korvel"."""
    parts = ["korvel"] + [p for p in name.split("/") if p != "__init__"]
    return ".".join(parts)


def resolve(importer: str, node: ast.ImportFrom | ast.Import, modules: dict[str, str]) -> set[str]:
    """The package modules (by dotted name) one import statement loads."""
    if isinstance(node, ast.Import):
        return {a.name for a in node.names if a.name in modules}
    if node.level:
        package = dotted(importer).split(".")
        if not importer.endswith("__init__"):
            package = package[:-1]
        base = ".".join(package[:len(package) - node.level + 1])
        base = f"{base}.{node.module}" if node.module else base
    else:
        base = node.module or ""
    # `from pkg import sub` loads the submodule when there is one.
    subs = {f"{base}.{a.name}" for a in node.names if f"{base}.{a.name}" in modules}
    rest = [a for a in node.names if f"{base}.{a.name}" not in modules]
    return subs | ({base} if rest and base in modules else set())


def derived_imports() -> dict[str, set[str]]:
    """{module: {modules it imports}}, both as paths below package/korvel/."""
    files = module_files()
    by_dotted = {dotted(name): name for name in files}
    graph: dict[str, set[str]] = {}
    for name, path in files.items():
        targets: set[str] = set()
        if name in EXTENSIONS:
            for imported in re.findall(r'import_relative\(m, "(\w+)"', path.read_text()):
                targets.add(dotted(imported))
        else:
            for node in ast.walk(ast.parse(path.read_text(), str(path))):
                if isinstance(node, (ast.Import, ast.ImportFrom)):
                    targets |= resolve(name, node, by_dotted)
        graph[name] = {by_dotted[t] for t in targets} - {name}
    return graph


def unit(name: str) -> str:
    """The unit of the layering a module belongs to: its package ("cli/") or itself."""
    return name.split("/")[0] + "/" if "/" in name else name


def allowed(source: str, target: str, arrows: dict[str, set[str]]) -> bool:
    src = unit(source)
    if src == unit(target):
        return True  # inside one package
    stated = arrows.get(src, set())
    return unit(target) in stated or target in stated


# ---- the tests ------------------------------------------------------------------

def test_the_document_names_every_module_file():
    undocumented = sorted(set(module_files()) - documented_modules())
    assert not undocumented, (
        "module files that docs/architecture.md does not name in its layout "
        "(add a line for each to the block under '## The Python side'): "
        + ", ".join(f"package/korvel/{name}" for name in undocumented))


def test_the_document_names_only_module_files_that_exist():
    stale = sorted(documented_modules() - set(module_files()))
    assert not stale, f"docs/architecture.md names module files that do not exist: {stale}"


def test_every_import_follows_a_stated_arrow():
    arrows = documented_arrows()
    wrong = [f"{source} imports {target}"
             for source, targets in sorted(derived_imports().items())
             for target in sorted(targets) if not allowed(source, target, arrows)]
    assert not wrong, ("imports that no arrow of docs/architecture.md allows: " + "; ".join(wrong))


def test_every_stated_arrow_is_an_import():
    arrows = documented_arrows()
    used = {(unit(s), t) for s, ts in derived_imports().items() for t in ts}
    unused = [f"{source} -> {target}" for source, targets in sorted(arrows.items())
              for target in sorted(targets)
              if not any(s == source and (t == target or unit(t) == target) for s, t in used)]
    assert not unused, f"arrows of docs/architecture.md that no import makes: {unused}"


def test_the_arrows_run_one_way():
    arrows = documented_arrows()
    edges = {s: {unit(t) for t in ts} for s, ts in arrows.items()}
    state: dict[str, str] = {}

    def visit(node: str, path: list[str]) -> None:
        if state.get(node) == "done":
            return
        assert state.get(node) != "open", "a circle of arrows: " + " -> ".join(path + [node])
        state[node] = "open"
        for nxt in sorted(edges.get(node, ())):
            visit(nxt, path + [node])
        state[node] = "done"

    for node in sorted(edges):
        visit(node, [])


# ---- the derivation itself -----------------------------------------------------------

@pytest.mark.parametrize("importer, code, expected", [
    ("cli/commands", "from .. import __version__, audio_io", {"korvel", "korvel.audio_io"}),
    ("cli/__init__", "from . import commands", {"korvel.cli.commands"}),
    ("cli/__init__", "from ..batch import command as c", {"korvel.batch.command"}),
    ("batch/run", "from .discovery import find_tracks", {"korvel.batch.discovery"}),
    ("analysis", "from .pulsix import estimate_bpm", {"korvel.pulsix"}),
    ("analysis", "import numpy as np", set()),
    ("options", "import korvel.analysis", {"korvel.analysis"}),
])
def test_imports_resolve_to_package_modules(importer, code, expected):
    modules = {dotted(name): name for name in module_files()}
    node = ast.parse(code).body[0]
    assert resolve(importer, node, modules) == expected


def test_arrows_parse_with_continuation_lines():
    assert parse_arrows(["a -> b, c", "       d", "", "e -> a"]) == {"a": {"b", "c", "d"}, "e": {"a"}}


def test_the_native_imports_are_found():
    graph = derived_imports()
    assert graph["sonix"] == {"framix"}
    assert graph["pulsix"] == {"sonix"}
