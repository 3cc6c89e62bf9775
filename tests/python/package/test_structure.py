"""The package's shape, read from its source without importing it: no two modules import each
other through any chain (lazy imports inside functions count: they circle just the same), and
every package's `__init__.py` stays a short face that names what the package offers."""

from __future__ import annotations

import ast
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
SOURCE = ROOT / "python"
INIT_MAX_LINES = 80


def module_names(source: pathlib.Path) -> dict[str, pathlib.Path]:
    """Dotted module name -> file, for every Python file under `source`."""
    names = {}
    for path in sorted(source.rglob("*.py")):
        parts = list(path.relative_to(source).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        names[".".join(parts)] = path
    return names


def imports_of(name: str, path: pathlib.Path, known: dict[str, pathlib.Path]) -> set[str]:
    """The modules of `known` that module `name` imports, wherever in the file the import is."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                target = alias.name
                while target and target not in known:  # `import a.b.c`: the deepest of them in the source
                    target = target.rpartition(".")[0]
                found.add(target)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base_parts = package.split(".")
                base_parts = base_parts[:len(base_parts) - (node.level - 1)]
                base = ".".join(base_parts + ([node.module] if node.module else []))
            else:
                base = node.module or ""
            # `from package import module` imports the module; `from module import name` the module
            # (a native module, or one from outside the source, is no edge: it imports nothing back).
            found.update(f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base for alias in node.names)
    return {target for target in found if target in known and target != name}


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected groups of more than one module (Tarjan), each sorted."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    groups: list[list[str]] = []

    def visit(node: str) -> None:
        # Iterative, so a deep import chain cannot exhaust the recursion limit.
        work = [(node, iter(sorted(graph.get(node, ()))))]
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        while work:
            current, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = len(index)
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph.get(child, ())))))
                elif child in on_stack:
                    low[current] = min(low[current], index[child])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[current])
            if low[current] == index[current]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.append(member)
                    if member == current:
                        break
                if len(group) > 1:
                    groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(groups)


def import_graph(source: pathlib.Path) -> dict[str, set[str]]:
    known = module_names(source)
    return {name: imports_of(name, path, known) for name, path in known.items()}


def write_package(root: pathlib.Path, files: dict[str, str]) -> pathlib.Path:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    return root


@pytest.mark.parametrize(("files", "expected"), [
    # the viewer's old circle: a lazy import inside a function closes it
    ({"p/__init__.py": "", "p/server.py": "def view():\n    from .widget import w\n",
      "p/widget.py": "from .server import serve\n"}, [["p.server", "p.widget"]]),
    # through a third module, one way only: no circle
    ({"p/__init__.py": "", "p/shared.py": "", "p/server.py": "from .shared import x\n",
      "p/widget.py": "from .shared import x\n", "p/show.py": "from . import server, widget\n"}, []),
    # a package's face importing its modules, which import each other's package: not a circle
    ({"p/__init__.py": "from .a import f\n", "p/a.py": "from ..q import g\n", "q/__init__.py": "from .b import g\n",
      "q/b.py": "import os\n"}, []),
    # three modules round, absolute and relative imports mixed, two levels up
    ({"p/__init__.py": "", "p/sub/__init__.py": "", "p/sub/a.py": "from ...p import b\n",
      "p/b.py": "import p.c\n", "p/c.py": "from .sub.a import thing\n"}, [["p.b", "p.c", "p.sub.a"]]),
    # `from package import name` where the name is the package's attribute: an edge to the face
    ({"p/__init__.py": "from .a import f\n", "p/a.py": "def f(): pass\n", "p/b.py": "from p import f\n"}, []),
    ({"p/__init__.py": "from .b import g\n", "p/b.py": "from p import f\n"}, [["p", "p.b"]]),
    # a native module beside the face (no source file) is not the face itself
    ({"p/__init__.py": "from .native import Engine\nfrom .b import g\n", "p/b.py": "from .native import Engine\n"},
     []),
])
def test_the_circle_finder_finds_exactly_the_circles(tmp_path, files, expected):
    assert circles(import_graph(write_package(tmp_path, files))) == expected


def test_no_module_of_the_package_imports_itself_back():
    graph = import_graph(SOURCE)
    assert "korvel_vorn.viewer.server" in graph  # the scan did see the package
    assert circles(graph) == []


@pytest.mark.parametrize("init", sorted(SOURCE.rglob("__init__.py")), ids=lambda path: str(path.relative_to(SOURCE)))
def test_a_package_face_only_names_what_the_package_offers(init):
    text = init.read_text(encoding="utf-8")
    lines = len(text.splitlines())
    assert lines <= INIT_MAX_LINES, f"{init.relative_to(ROOT)} has {lines} lines: move its work into a module"
    tree = ast.parse(text)
    classes = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
    assert not classes, f"{init.relative_to(ROOT)} defines classes {classes}: they belong in a module"
