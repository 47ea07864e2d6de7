"""The layers of the command's package (docs/architecture.md): every module belongs to one, no
module imports a layer above its own or a sibling layer, and no modules import each other in a
circle, deferred imports inside functions included. Read from the source tree with `ast`, so
it holds without the package installed."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[3] / "src" / "mutflank_tools"

# Layer -> rank: a module may import its own layer and any layer of a lower rank. Layers of
# one rank are siblings and import neither each other. `_engine` is the C++ extension.
RANKS = {"runtime": 0, "_engine": 0, "reference": 1, "inputs": 2, "counting": 3, "fit": 3,
         "plots": 4, "extract": 4, "commands": 5, "": 6}  # "": cli.py, __main__.py, __init__.py


def modules(root):
    """{dotted name under the package ("" for the package): path} of every module."""
    found = {}
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root).with_suffix("").parts
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return found


def layer(name, root):
    """The first part of a module's name, if a subpackage or the extension; "" otherwise."""
    first = name.partition(".")[0]
    return first if first == "_engine" or (root / first).is_dir() else ""


def imports(name, path, known):
    """The package's modules that module `name` imports, anywhere in its text."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    targets = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            found = [(alias.name, None) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                parts = package.split(".") if package else []
                parts = parts[:len(parts) - node.level + 1] + [node.module or ""]
                base = "mutflank_tools." + ".".join(parts)
            else:
                base = node.module
            found = [(base, alias.name) for alias in node.names]
        else:
            continue
        for base, attribute in found:
            top, _, base = base.strip(".").partition(".")
            if top != "mutflank_tools":
                continue
            sub = f"{base}.{attribute}".strip(".") if attribute else base
            targets.add(sub if sub in known or sub == "_engine" else base)
    return targets - {name}


def faults(root):
    """The upward or sideways imports and the import circles of the package at `root`."""
    found = modules(root)
    graph = {name: imports(name, path, found) for name, path in found.items()}
    problems = [f"{name}: no layer" for name in found if layer(name, root) not in RANKS]
    for name, targets in graph.items():
        for target in sorted(targets):
            mine, theirs = layer(name, root), layer(target, root)
            if theirs != mine and RANKS.get(theirs, 99) >= RANKS.get(mine, -1):
                problems.append(f"{name or '__init__'} ({mine or 'top'}) imports {target} "
                                f"({theirs or 'top'})")
    state = {}

    def visit(name, trail):
        state[name] = "open"
        for target in sorted(graph.get(name, ())):
            if state.get(target) == "open":
                problems.append("circle: " + " -> ".join(trail[trail.index(target):] + [target]))
            elif target not in state:
                visit(target, trail + [target])
        state[name] = "done"

    for name in graph:
        if name not in state:
            visit(name, [name])
    return problems


def test_imports_flow_down_the_layers_without_circles():
    assert PACKAGE.is_dir()
    assert len(modules(PACKAGE)) > 40
    assert faults(PACKAGE) == []


@pytest.mark.parametrize("files, problems", [
    ({"runtime/errors.py": "from ..counting import tally\n", "counting/tally.py": ""},
     ["runtime.errors (runtime) imports counting.tally (counting)"]),
    ({"fit/work.py": "def f():\n    from ..counting.tally import Tally\n",
      "counting/tally.py": ""},
     ["fit.work (fit) imports counting.tally (counting)"]),
    ({"plots/a.py": "from . import b\n", "plots/b.py": "def f():\n    from .a import g\n"},
     ["circle: plots.a -> plots.b -> plots.a"]),
    ({"extra/thing.py": "import mutflank_tools.cli\n", "cli.py": ""},
     ["extra: no layer", "extra.thing: no layer", "extra.thing (extra) imports cli (top)"]),
    ({"reference/genome.py": "from .. import _engine\nfrom ..runtime.errors import E\n",
      "runtime/errors.py": ""}, []),
])
def test_the_check_finds_upward_imports_circles_and_modules_without_a_layer(tmp_path, files,
                                                                           problems):
    for name, text in {"__init__.py": "", **files}.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        (path.parent / "__init__.py").touch()
        path.write_text(text)
    assert faults(tmp_path) == problems
