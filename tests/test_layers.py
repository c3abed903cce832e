"""kesta.dravel's packages import downward only: the command line sits on the archive, the
archive on the library, the library on the run layer and the product registry, and nothing
below imports what stands above it (imports inside functions count too), so no two packages
import each other."""

import ast
import importlib.util
from pathlib import Path

from kesta.dravel import products

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "kesta" / "dravel"

# lowest first: a package may import only from the packages before it
LAYERS = ["tasks", "run", "products", "l1", "simulate", "archive", "serve", "cli", "__main__"]
# the layers above the registry that hold parts of a product (its table, plot, simulator, test
# case): the registry names them by module and attribute and looks them up when asked
NAMED_FROM_THE_REGISTRY = {"l1", "simulate"}


def _module_name(path):
    parts = list(path.relative_to(ROOT).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts), path.name == "__init__.py"


def _imported(node, module, is_package):
    """The dotted names an import statement of `module` reaches."""
    if isinstance(node, ast.Import):
        return [alias.name for alias in node.names]
    package = module.split(".") if is_package else module.split(".")[:-1]
    base = package[: len(package) - node.level + 1] if node.level else []
    target = ".".join(base + ([node.module] if node.module else []))
    # `from kesta.dravel import products` reaches kesta.dravel.products
    return [target] + [f"{target}.{alias.name}" for alias in node.names]


def _top(name):
    """The package of kesta.dravel a dotted name belongs to (None outside kesta.dravel)."""
    parts = name.split(".")
    return parts[2] if parts[:2] == ["kesta", "dravel"] and len(parts) > 2 else None


def import_edges():
    """{(importing package, imported package): {file:line, ...}} across kesta.dravel."""
    edges = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        module, is_package = _module_name(path)
        source = _top(module)
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
            if not isinstance(node, (ast.Import, ast.ImportFrom)):
                continue
            for name in _imported(node, module, is_package):
                target = _top(name)
                if target and target != source and ((PACKAGE / target).exists() or (PACKAGE / f"{target}.py").exists()):
                    edges.setdefault((source, target), set()).add(f"{path.relative_to(ROOT)}:{node.lineno}")
    return edges


def test_no_package_imports_one_above_it():
    edges = import_edges()
    # the walk sees what is there (lazy imports included), so a pass below means something
    assert ("cli", "archive") in edges and ("archive", "l1") in edges and ("l1", "run") in edges
    unknown = {p for edge in edges for p in edge} - set(LAYERS)
    assert not unknown, f"packages without a layer: {sorted(unknown)}"
    upward = {f"{a} -> {b}": sorted(where) for (a, b), where in edges.items() if LAYERS.index(a) <= LAYERS.index(b)}
    assert not upward, f"upward imports: {upward}"


def test_no_import_cycle_among_packages():
    graph = {}
    for a, b in import_edges():
        graph.setdefault(a, set()).add(b)
    done, path = set(), []

    def visit(node):
        if node in path:
            raise AssertionError("import cycle: " + " -> ".join(path[path.index(node) :] + [node]))
        if node in done:
            return
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            visit(nxt)
        path.pop()
        done.add(node)

    for node in sorted(graph):
        visit(node)


def test_what_the_registry_names_is_a_module_of_a_layer_it_may_name():
    named = products.named_modules()
    assert any(_top(m) == "tasks" for m in named) and any(_top(m) == "l1" for m in named)
    for module, roles in named.items():
        layer = _top(module)
        assert layer in LAYERS, (module, roles)
        assert importlib.util.find_spec(module) is not None, f"no module {module} ({roles[0]}, ...)"
        if LAYERS.index(layer) > LAYERS.index("products"):
            assert layer in NAMED_FROM_THE_REGISTRY, f"the registry names {module} ({roles[0]}, ...)"
