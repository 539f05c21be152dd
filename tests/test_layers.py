"""The package's layers as ARCHITECTURE.md draws them: each module imports only its own layer and
those below (function-level imports included), so no import circle can form."""

import ast
import graphlib
import re
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "mirvane"

# Bottom to top; a module belongs to the first layer one of whose prefixes it starts with.
LAYERS = [
    ("records", ["mirvane.records", "mirvane.reasons", "mirvane._atomic", "mirvane._version", "mirvane.constants"]),
    ("companions", ["mirvane.geometry", "mirvane.scene", "mirvane.cuts", "mirvane.sightings", "mirvane.workspace",
                    "mirvane.behavior", "mirvane.system", "mirvane.viewer", "mirvane.movie", "mirvane.project", "mirvane.replay", "mirvane.snapshots",
                    "mirvane.rebinding"]),
    ("formats", ["mirvane.formats", "mirvane.data"]),
    ("analysis", ["mirvane.analysis", "mirvane.simulation"]),
    ("player", ["mirvane.player"]),
    ("catalog", ["mirvane.catalog"]),
    ("commands", ["mirvane.commands", "mirvane.cli", "mirvane.__main__"]),
]


def layer_of(module):
    if module == "mirvane":     # the package's own __init__: the version, nothing else
        return 0
    for rank, (_, prefixes) in enumerate(LAYERS):
        if any(module == p or module.startswith(p + ".") for p in prefixes):
            return rank
    raise AssertionError(f"{module} is in no layer: place it in LAYERS and in ARCHITECTURE.md")


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


SOURCES = sorted(PACKAGE.rglob("*.py"))
MODULES = {module_name(p) for p in SOURCES} | {"mirvane.project", "mirvane.replay"}


def imports(path):
    """The mirvane modules ``path`` imports anywhere in it, but for typing-only blocks."""
    name = module_name(path)
    anchor = name.split(".") if path.name == "__init__.py" else name.split(".")[:-1]
    tree = ast.parse(path.read_text(encoding="utf-8"))
    typing_only = {id(n) for node in ast.walk(tree)
                   if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.dump(node.test)
                   for sub in node.body for n in ast.walk(sub)}
    for node in ast.walk(tree):
        if id(node) in typing_only:
            continue
        if isinstance(node, ast.Import):
            yield from (a.name for a in node.names if a.name.startswith("mirvane"))
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(anchor[:len(anchor) - node.level + 1] + ([base] if base else []))
            if base.startswith("mirvane"):
                yield from (f"{base}.{a.name}" if f"{base}.{a.name}" in MODULES else base for a in node.names)




@pytest.mark.parametrize("path", SOURCES, ids=lambda p: module_name(p))
def test_imports_only_its_layer_and_below(path):
    own = layer_of(module_name(path))
    above = sorted({m for m in imports(path) if layer_of(m) > own})
    assert not above, f"{module_name(path)} ({LAYERS[own][0]}) imports from above: {above}"


# Calls the rest of the package makes only through a module of public helpers.
SNAPSHOT_CALLS = re.compile(r"\._(setSnapshot|getSnapshot|ToModel|FromModel)\(")
SNAPSHOT_MODULES = {"workspace.py", "behavior.py", "system.py", "snapshots.py"}


@pytest.mark.parametrize("rule", ["circles", "size", "snapshots", "subprocess"])
def test_package_rules(rule):
    broken = []
    if rule == "circles":
        # Within a layer too; a module's own package (its __init__) is not a circle of the code's making.
        graph = {module_name(p): {m for m in imports(p) if m in MODULES and not module_name(p).startswith(m + ".")}
                 for p in SOURCES}
        try:
            tuple(graphlib.TopologicalSorter(graph).static_order())
        except graphlib.CycleError as e:
            broken.append(f"import circle: {' -> '.join(e.args[1])}")
    for path in SOURCES:
        text = path.read_text(encoding="utf-8")
        where = str(path.relative_to(PACKAGE))
        if rule == "size" and text.count("\n") > 600:
            broken.append(f"{where}: {text.count(chr(10))} lines (one concept per module, under 600)")
        if rule == "snapshots" and where not in SNAPSHOT_MODULES and SNAPSHOT_CALLS.search(text):
            broken.append(f"{where}: calls a private snapshot method (use mirvane.snapshots)")
        if rule == "subprocess" and re.search(r'"-m",\s*"mirvane"', text):
            broken.append(f"{where}: runs mirvane as a process for what a function does")
    assert not broken, "\n".join(broken)
