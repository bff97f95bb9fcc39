"""What an installation of korvel contains: the built extension modules,
Python files, stubs and the py.typed marker -- no C++ sources or headers."""

import importlib.machinery
import pathlib

import pytest

import korvel
import korvel.pulsix
import korvel.sonix

PACKAGE = pathlib.Path(korvel.__file__).resolve().parent
SOURCE_TREE = pathlib.Path(__file__).resolve().parent.parent / "package" / "korvel"

pytestmark = pytest.mark.skipif(
    PACKAGE == SOURCE_TREE.resolve(),
    reason="korvel is imported from the source tree (an editable install), not an installation")


def installed_files():
    return sorted(p.relative_to(PACKAGE) for p in PACKAGE.rglob("*")
                  if p.is_file() and "__pycache__" not in p.parts)


def shipped(path):
    name = path.name
    return (name == "py.typed" or path.suffix in (".py", ".pyi")
            or any(name.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES))


def test_only_modules_stubs_and_marker_are_installed():
    files = installed_files()
    assert [str(p) for p in files if not shipped(p)] == []
    assert not any(p.suffix in (".cpp", ".hpp", ".h", ".cc", ".c") for p in files)


def test_installation_is_complete():
    files = {str(p) for p in installed_files()}
    assert {"py.typed", "sonix.pyi", "pulsix.pyi", "__init__.py"} <= files
    for module in (korvel.sonix, korvel.pulsix):
        built = pathlib.Path(module.__file__).resolve()
        assert built.parent == PACKAGE
        assert str(built.relative_to(PACKAGE)) in files
    # Every Python module of the source tree is installed, and nothing else is.
    if SOURCE_TREE.is_dir():
        python = (".py", ".pyi", "py.typed")
        sources = {str(p.relative_to(SOURCE_TREE)) for p in SOURCE_TREE.rglob("*")
                   if p.is_file() and "__pycache__" not in p.parts and p.name.endswith(python)}
        assert {f for f in files if f.endswith(python)} == sources
