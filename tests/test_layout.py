"""The package's shape: imports go one way (no cycle, counting imports inside
functions), no module uses another's private names, and only the command
line uses argparse and rich."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vornticker
from children import child_env

PACKAGE = Path(vornticker.__file__).parent

def _private(name: str) -> bool:
    return name.startswith("_") and not name.startswith("__")


class Package:
    """The modules of a package directory and the imports between them."""

    def __init__(self, root: Path) -> None:
        self.root, self.name = root, root.name
        self.files = {self._module(path): path for path in sorted(root.rglob("*.py"))}

    def _module(self, path: Path) -> str:
        parts = [self.name, *path.relative_to(self.root).with_suffix("").parts]
        return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)

    def is_module(self, name: str) -> bool:
        if name in self.files:
            return True
        # An extension module (a stub beside it) cannot import back.
        parent, _, leaf = name.rpartition(".")
        folder = self.root.joinpath(*parent.split(".")[1:])
        return parent in self.files and any(folder.glob(f"{leaf}.*.so")) or (folder / f"{leaf}.pyi").exists()

    def _base(self, module: str, node: ast.ImportFrom) -> str:
        if not node.level:
            return node.module or ""
        package = module if self.files[module].name == "__init__.py" else module.rpartition(".")[0]
        parts = package.split(".")
        base = ".".join(parts[: len(parts) - node.level + 1])
        return f"{base}.{node.module}" if node.module else base

    def imports(self, module: str) -> list[tuple[str, str | None, int]]:
        """(imported module, name taken from it or None, line) for every import
        of this package's modules in ``module``, inside functions too; those
        under ``if TYPE_CHECKING:`` do not run and are left out."""
        tree = ast.parse(self.files[module].read_text(encoding="utf-8"))
        found: list[tuple[str, str | None, int]] = []

        def visit(node: ast.AST) -> None:
            if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
                for child in node.orelse:
                    visit(child)
                return
            if isinstance(node, ast.Import):
                found.extend((a.name, None, node.lineno) for a in node.names)
            elif isinstance(node, ast.ImportFrom):
                base = self._base(module, node)
                for alias in node.names:
                    # `from . import submodule` imports the submodule, not the package's other names.
                    sub = f"{base}.{alias.name}"
                    found.append((sub, None, node.lineno) if self.is_module(sub) else (base, alias.name, node.lineno))
            for child in ast.iter_child_nodes(node):
                visit(child)

        visit(tree)
        return [(target, name, line) for target, name, line in found if target.split(".")[0] == self.name]

    def graph(self) -> dict[str, set[str]]:
        return {m: {t for t, _, _ in self.imports(m) if t in self.files and t != m} for m in self.files}

    def cycles(self) -> list[list[str]]:
        """Each import cycle once, as the modules along it."""
        graph, found, done = self.graph(), [], set()

        def walk(module: str, path: list[str]) -> None:
            for target in sorted(graph[module]):
                if target in path:
                    cycle = path[path.index(target) :]
                    start = cycle.index(min(cycle))
                    cycle = cycle[start:] + cycle[:start]
                    if cycle not in found:
                        found.append(cycle)
                elif target not in done:
                    walk(target, [*path, target])
            done.add(module)

        for module in graph:
            if module not in done:
                walk(module, [module])
        return found

    def private_uses(self) -> set[tuple[str, str, str]]:
        """(importer, module, name) for each private name a module takes from
        another: imported by name, or read as an attribute of an imported module."""
        uses = set()
        for module, path in self.files.items():
            bound = {}
            for target, name, _ in self.imports(module):
                if name is not None and _private(name):
                    uses.add((module, target, name))
                # A private module is for its own package.
                parts = target.split(".")
                for i, part in enumerate(parts):
                    owner = ".".join(parts[:i])
                    if _private(part) and module != owner and not module.startswith(owner + "."):
                        uses.add((module, ".".join(parts[:i]), part))
            tree = ast.parse(path.read_text(encoding="utf-8"))
            for node in ast.walk(tree):
                if isinstance(node, (ast.Import, ast.ImportFrom)):
                    base = self._base(module, node) if isinstance(node, ast.ImportFrom) else ""
                    for alias in node.names:
                        full = f"{base}.{alias.name}" if base else alias.name
                        if self.is_module(full) and (alias.asname or isinstance(node, ast.ImportFrom)):
                            bound[alias.asname or alias.name] = full
            for node in ast.walk(tree):
                if (
                    isinstance(node, ast.Attribute)
                    and isinstance(node.value, ast.Name)
                    and node.value.id in bound
                    and _private(node.attr)
                    and bound[node.value.id] != module
                ):
                    uses.add((module, bound[node.value.id], node.attr))
        return uses


def test_no_import_cycle_in_the_package():
    assert Package(PACKAGE).cycles() == []


def test_no_private_name_is_used_across_modules():
    uses = Package(PACKAGE).private_uses()
    assert uses == set()


def test_only_the_command_line_parses_arguments_or_uses_rich():
    package = Package(PACKAGE)
    outside = {
        (module, target)
        for module, path in package.files.items()
        if not module.startswith("vornticker.cli")
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8")))
        if isinstance(node, (ast.Import, ast.ImportFrom))
        for target in ([a.name for a in node.names] if isinstance(node, ast.Import) else [node.module or ""])
        if target.split(".")[0] in ("argparse", "rich")
    }
    assert outside == set()


PLANTED = {
    "top level": ("from . import b\n", "from .a import x\n", True),
    "inside a function": ("from . import b\n", "def f():\n    from . import a\n", True),
    "absolute": ("import pkg.b\n", "import pkg.a\nx = 1\n", True),
    "submodule of the package": ("from . import b\n", "from . import c\n", False),
    "type checking only": ("from . import b\n", "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .a import x\n", False),
}


@pytest.mark.parametrize("a, b, cycle", PLANTED.values(), ids=PLANTED.keys())
def test_the_cycle_check_finds_a_planted_cycle(tmp_path, a, b, cycle):
    root = tmp_path / "pkg"
    root.mkdir()
    # The package imports its submodules: that makes it no party to their cycles.
    (root / "__init__.py").write_text("from . import a, b, c\n")
    (root / "a.py").write_text(a + "x = 1\n")
    (root / "b.py").write_text(b)
    (root / "c.py").write_text("x = 1\n")
    found = Package(root).cycles()
    assert found == ([["pkg.a", "pkg.b"]] if cycle else [])


def test_the_private_name_check_finds_planted_uses(tmp_path):
    root = tmp_path / "pkg"
    (root / "sub").mkdir(parents=True)
    (root / "__init__.py").write_text("")
    (root / "sub" / "__init__.py").write_text("from ._inner import y\n")
    (root / "sub" / "_inner.py").write_text("y = 1\n_z = 2\n")
    (root / "a.py").write_text("from . import b\nfrom .b import _hidden\n\ndef f():\n    return b._other\n")
    (root / "b.py").write_text("_hidden = _other = 1\n")
    (root / "c.py").write_text("from .sub._inner import y\n")
    assert Package(root).private_uses() == {
        ("pkg.a", "pkg.b", "_hidden"),
        ("pkg.a", "pkg.b", "_other"),
        ("pkg.c", "pkg.sub", "_inner"),
    }


def test_importing_the_library_does_not_import_the_command_line():
    code = "import sys, vornticker, vornticker.stream; print(sorted(m for m in sys.modules if m.split('.')[0] in ('rich', 'argparse') or m.startswith('vornticker.cli')))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(), timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
