"""Every product is whole: its decoder source and module, type stub, L1 metadata table,
quick-look plot, simulator and test case, all reached from its one entry in the registry."""

import ast
import importlib
from pathlib import Path

import numpy as np
import pytest

from kesta.dravel import products as registry
from kesta.dravel.l1 import layout, metadata, quicklook

ROOT = Path(__file__).resolve().parents[1]
TASKS = ROOT / "kesta" / "dravel" / "tasks"


def source_of(product):
    """kesta/dravel/tasks/<receiver>/<name>.cpp, the unit CMake builds into the decoder module."""
    return TASKS / (product.module.removeprefix("kesta.dravel.tasks.").replace(".", "/") + ".cpp")


@pytest.mark.parametrize("product", registry.PRODUCTS, ids=lambda p: p.name)
def test_a_product_has_every_part(product):
    # decoder: its source where the build finds it, a stub beside it, the entry point installed
    source = source_of(product)
    assert source.exists(), f"{product.name}: no decoder source {source}"
    assert source.parent.name == product.receiver
    assert source.with_suffix(".pyi").exists()
    assert callable(product.decoder())
    # its L1 metadata table describes every variable of its records
    table = product.metadata_table()
    assert metadata.TABLES[product.name] is table
    variables = {leaf.name for leaf in layout.leaves(product.record_dtype())}
    assert variables <= set(table["variables"]), sorted(variables - set(table["variables"]))
    # its quick-look plot
    assert quicklook.PLOTS[product.name] is product.quicklook_plot()
    # its simulator makes its packets, and its test case a store of them with records to expect
    demo = importlib.import_module(product.simulator_module).demo_groups(np.random.default_rng(0))
    assert product.packet in demo
    l0, records, _ = product.simulated_case(np.random.default_rng(1))
    assert product.packet in l0["TM"] and len(records)
    assert records.dtype == product.record_dtype()
    # its decoder's short name (for the fuzzer) is its decoder's alone
    assert product.short
    assert {p.module for p in registry.PRODUCTS if p.short == product.short} == {product.module}


def test_every_decoder_source_is_a_product_and_names_are_unique():
    modules = {source_of(p) for p in registry.PRODUCTS}
    assert set(TASKS.glob("*/*.cpp")) == modules
    names = [p.name for p in registry.PRODUCTS]
    packets = [t for p in registry.PRODUCTS for t in p.packets]
    assert len(set(names)) == len(names) and len(set(packets)) == len(packets)


def test_a_part_a_product_names_but_nobody_defines_is_named_in_the_error():
    lost = registry.Product("new", "m", "f", ("TM_NEW",), "tds", plot="plot_new")
    with pytest.raises(LookupError, match="product new: its plot 'plot_new'"):
        registry.declared("plot", {"__name__": registry.PLOTS_MODULE, "plot_psd": None}, [lost])


def test_the_registry_imports_only_below_it():
    """Also imports made inside functions: products sits below l1, the archive and the command line."""
    tree = ast.parse((ROOT / "kesta" / "dravel" / "products.py").read_text())
    imported = {alias.name for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names}
    imported |= {node.module for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)}
    own = {m for m in imported if m.startswith("kesta.")}
    assert own <= {"kesta.dravel.tasks.utils", "kesta.dravel.tasks.tds"}, own
