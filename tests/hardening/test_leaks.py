"""No leaks: thousands of calls leave the process's memory and every reference count where they were.

Three kinds of call per decoder: a clean store, a store with units the decoder reports and
skips, and a store that ends the call with an error after the record array was made. Set
DRAVEL_LEAK_CALLS to fewer calls for slow (sanitized) builds; the default is 2,000.
"""

import copy
import gc
import importlib
import os
import sys

import numpy as np
import pytest

import hardening_cases as hc
from conftest import built

CALLS = int(os.environ.get("DRAVEL_LEAK_CALLS", "2000"))
WARM_UP = max(CALLS // 10, 20)
# Allowed RSS growth over all calls. A leaked record array (hundreds of kB for a snapshot) or a
# leaked reference to the input (the whole store) would show up thousands of times over.
RSS_TOLERANCE = 4 * 1024 * 1024
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")

# One product per decoder module.
PRODUCTS = ("tnr_normal", "tnr_calibration", "hfr_calibration", "tswf", "rswf_sbm1", "hist2d", "lfm_sm", "lfm_psd")

# The outside components the decoders call, by module.
COMPONENTS = {
    "quorel.time": ("Time",),
    "quorel.packet_structure.data": ("Data",),
    "tesmo.converters.cdf_fill": ("fill_records", "CDFToFill"),
    "vantor.core.logger": ("logger",),
    "vantor.core.tools.exceptions": ("print_exception",),
    "kesta.dravel.tasks.utils": ("sort_data",),
    "kesta.dravel.tasks.tds.utils": ("count_swf", "group"),
}
THR_HELPER_MODULES = (
    "kesta.dravel.tasks.thr.science_tools",
    "kesta.dravel.tasks.thr.tnr",
    "kesta.dravel.tasks.thr.hfr",
)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def outside_objects():
    objects = {}
    for module, names in COMPONENTS.items():
        m = importlib.import_module(module)
        for name in names:
            objects[f"{module}.{name}"] = getattr(m, name)
    for module in THR_HELPER_MODULES:
        m = importlib.import_module(module)
        for name, value in vars(m).items():
            if not name.startswith("_") and callable(value):
                objects[f"{module}.{name}"] = value
    return objects


def input_objects(l0, task, product):
    """The store, its groups and arrays, and the task."""
    objects = {"l0": l0, "task": task, "TM": l0["TM"]}
    group = hc.group_of(l0, product)
    objects["group"] = group
    for name, value in group.items():
        objects[name] = value
    return objects


def refcounts(objects):
    return {name: sys.getrefcount(obj) for name, obj in objects.items()}


def failing(case):
    """The case's store changed so that the call ends with an error once its records exist."""
    l0 = copy.deepcopy(case.l0)
    group = hc.group_of(l0, case.product)
    n = len(group[next(iter(group))])
    p = hc.PRODUCTS[case.product]
    if p.rate_param:
        group[p.rate_param] = np.full(n, 9, np.uint8)
    elif p.frequencies_param:
        group[p.frequencies_param] = np.full(n, 201, np.uint16)
        # a matrix type and a channel that hold data, so the frequency count is used
        if case.product == "lfm_sm":
            group["PA_TDS_SLOWMODE_SPECMAT_TYPE"] = np.full(n, 1, np.uint8)
        else:
            group["PA_TDS_SLOWMODE_DENSITY_CH1"] = np.full(n, 1, np.uint8)
    else:
        group[p.count_param] = group[p.count_param].astype(np.float64)
        group[p.count_param][0] = np.nan
    return l0


@pytest.mark.parametrize("kind", ["clean", "reporting", "failing"])
@pytest.mark.parametrize("product", PRODUCTS)
def test_repeated_calls_leak_nothing(product, kind):
    built(product)
    case = hc.clean_case(product, 5, anomalies=kind == "reporting")
    l0 = failing(case) if kind == "failing" else case.l0
    task = hc.CountingTask()

    def once():
        try:
            out = hc.call(product, l0, task)
        except Exception as exc:  # noqa: BLE001 - a damaged store may fail with any error
            assert kind == "failing", f"{product}: {exc}"
            return None
        assert kind != "failing", f"{product}: the damaged store decoded"
        return len(out)

    for _ in range(WARM_UP):
        once()
    gc.collect()
    inputs = input_objects(l0, task, product)
    outside = outside_objects()
    before_inputs, before_outside = refcounts(inputs), refcounts(outside)
    before_rss = rss()
    reports_before = task.reports
    for _ in range(CALLS):
        once()
    gc.collect()
    grown = rss() - before_rss

    assert refcounts(inputs) == before_inputs
    assert refcounts(outside) == before_outside
    if kind == "reporting":
        # Histograms and LFM records have no units to report: their faulty parts stay at fill.
        assert task.reports - reports_before == CALLS * case.reports
        assert case.reports > 0 or product in ("hist2d", "lfm_sm", "lfm_psd")
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
        assert grown < RSS_TOLERANCE, f"{product}: RSS grew by {grown / 2**20:.1f} MiB over {CALLS} calls"
