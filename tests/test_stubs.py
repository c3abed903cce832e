"""The type stubs beside the decoder modules state exactly the names each module exports."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest

from kesta.dravel.products import PRODUCTS

ROOT = Path(__file__).resolve().parents[1] / "kesta" / "dravel" / "tasks"
# every decoder module of the registry, once ("thr.survey_lowband", ...)
MODULES = list(dict.fromkeys(p.module.removeprefix("kesta.dravel.tasks.") for p in PRODUCTS))


def stub_names(path):
    """Public names a stub declares, and the parameter names of its functions."""
    names, params = set(), {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            names.add(node.name)
            params[node.name] = [a.arg for a in node.args.args]
        elif isinstance(node, ast.ClassDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
    return {n for n in names if not n.startswith("_")}, params


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_the_module(name):
    module = importlib.import_module("kesta.dravel.tasks." + name)
    names, params = stub_names(ROOT / (name.replace(".", "/") + ".pyi"))
    public = {n for n, v in vars(module).items() if not n.startswith("_") and not inspect.ismodule(v)}
    assert names == public
    assert set(module.__all__) <= names
    # Every parameter the stub names is accepted by keyword.
    for fn, args in params.items():
        if fn.endswith("_dtype"):
            continue
        with pytest.raises(Exception) as failure:
            getattr(module, fn)(**{a: None for a in args})
        assert "keyword" not in str(failure.value) and "incompatible function arguments" not in str(failure.value)


def test_typed_marker_in_both_receiver_packages():
    assert (ROOT / "thr" / "py.typed").exists() and (ROOT / "tds" / "py.typed").exists()
