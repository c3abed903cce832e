"""Prints what each decoder does with each kind of bad input (the reliability table).

    PYTHONPATH=.:build/dev-hard/python python fuzz/error_table.py [--markdown]

Each row is one kind of bad input applied to a small simulated store; each cell says whether
the call returned records (and how many units it reported and skipped) or ended with an error,
and with which message.
"""

from __future__ import annotations

import copy
import logging
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "tests" / "hardening"), str(HERE.parent)]

import hardening_cases as hc  # noqa: E402


def _group(l0, product):
    return hc.group_of(l0, product)


def _param(role):
    """The product's parameter of `role` (a Product field), None when it has none."""
    return lambda product: getattr(hc.PRODUCTS[product], role) or None


def _set(param_of, value_of):
    def apply(l0, product):
        param = param_of(product)
        if param is None:
            return None
        g = _group(l0, product)
        g[param] = value_of(np.asarray(g[param]))
        return l0

    return apply


def _drop(param_of):
    def apply(l0, product):
        param = param_of(product)
        if param is None:
            return None
        del _group(l0, product)[param]
        return l0

    return apply


_time = _param("time_param")
_data = _param("data_param")
_count = _param("count_param")
_rate = _param("rate_param")
_frequencies = _param("frequencies_param")


def _corrupt_words(l0, product):
    if not hc.PRODUCTS[product].takes_group:
        return None
    g = _group(l0, product)
    words = np.asarray(g[_data(product)]).copy()
    words[0, :] = 0xFFFF
    g[_data(product)] = words
    return l0


ROWS = (
    ("packet type absent", lambda l0, p: None if hc.PRODUCTS[p].takes_group else {"TM": {}}),
    ("TM group not a mapping", lambda l0, p: None if hc.PRODUCTS[p].takes_group else {"TM": [1, 2]}),
    ("packet group not a mapping", lambda l0, p: {"TM": {hc.packet_name(p): {"source_data": [1, 2]}}}),
    ("packet group empty", lambda l0, p: {"TM": {hc.packet_name(p): {"source_data": {}}}}),
    ("time parameter missing", _drop(_time)),
    ("block-count parameter missing", _drop(_count)),
    ("data parameter missing", _drop(_data)),
    ("data parameter 1-D", _set(_data, lambda a: a.reshape(-1))),
    ("data parameter 3-D", _set(_data, lambda a: a[..., None])),
    ("data parameter of text", _set(_data, lambda a: a.astype("U8"))),
    ("data parameter big-endian", _set(_data, lambda a: a.astype(a.dtype.newbyteorder(">")))),
    ("data parameter float64", _set(_data, lambda a: a.astype("float64"))),
    (
        "data parameter with a NaN",
        _set(_data, lambda a: np.where(np.arange(a.size).reshape(a.shape) == 0, np.nan, a.astype("float64"))),
    ),
    ("data rows cut to 1 value", _set(_data, lambda a: np.ascontiguousarray(a[:, :1]))),
    ("data parameter one packet short", _set(_data, lambda a: a[:-1])),
    ("time parameter one packet short", _set(_time, lambda a: a[:-1])),
    ("time parameter 2 columns", _set(_time, lambda a: np.ascontiguousarray(a[:, :2]))),
    ("time parameter None", _set(_time, lambda a: None)),
    ("time parameter negative", _set(_time, lambda a: -a.astype("int64") - 1)),
    ("sampling-rate code 9", _set(_rate, lambda a: np.full(a.shape, 9))),
    ("frequency count 201", _set(_frequencies, lambda a: np.full(a.shape, 201))),
    ("packet data words all ones (first packet)", _corrupt_words),
)


def outcome(product, l0):
    task = hc.CountingTask()
    try:
        out = hc.call(product, l0, task)
    except Exception as exc:  # noqa: BLE001 - the table shows whatever the decoder raises
        return f"error {type(exc).__name__}: {exc}"
    extra = f", {task.reports} reported and skipped" if task.reports else ""
    return f"returns {len(out)} records{extra}"


def main(argv=None):
    logging.disable(logging.CRITICAL)
    products = [p for p in hc.available_products()]
    for label, apply in ROWS:
        print(f"\n## {label}")
        for product in products:
            case = hc.clean_case(product, 3)
            l0 = apply(copy.deepcopy(case.l0), product)
            if l0 is None:
                continue
            print(f"- {product}: {outcome(product, l0)}  (clean: {len(case.records)} records)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
