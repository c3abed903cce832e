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

DATA_PARAM = {"tswf": "PA_TDS_TSWF_DATA_BLK", "tswf_sbm2": "PA_TDS_TSWF_DATA_BLK",
              "rswf": "PA_TDS_RSWF_DATA_BLK", "rswf_sbm1": "PA_TDS_RSWF_DATA_BLK",
              "hist2d": "PA_TDS_SC_HIST2D_DATA", "lfm_sm": "PA_TDS_SLOWMODE_SPECMAT_DATA_BLK",
              "lfm_psd": "PA_TDS_SLOWMODE_DENSITY_DATA_BLK", "tnr_normal": "PA_THR_TNR_DATA",
              "tnr_burst": "PA_THR_TNR_DATA", "tnr_calibration": "PA_THR_TNR_DATA",
              "hfr_calibration": "PA_THR_HFR_DATA"}
COUNT_PARAM = {"tnr_normal": "PA_THR_N_BLOCK_CNT", "tnr_burst": "PA_THR_B_BLOCK_CNT",
               "tnr_calibration": "PA_THR_TNR_DATA_CNT", "hfr_calibration": "PA_THR_HFR_DATA_CNT"}
RATE_PARAM = {"hist2d": "PA_TDS_STAT_SAMP_RATE"}
NFREQ_PARAM = {"lfm_sm": "PA_TDS_SLOWMODE_SPECMAT_NUM_FREQS", "lfm_psd": "PA_TDS_SLOWMODE_DENSITY_NUM_FREQS"}


def _group(l0, product):
    return l0["TM"][hc.packet_name(product)]["source_data"]


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


def _time(product):
    return "PA_THR_ACQUISITION_TIME" if hc.PRODUCTS[product].receiver == "thr" else "PA_TDS_ACQUISITION_TIME"


def _rate(product):
    if product.startswith(("tswf", "rswf")):
        return "PA_TDS_HF_CH_SAMP_RATE"
    return RATE_PARAM.get(product)


def _corrupt_words(l0, product):
    if hc.PRODUCTS[product].receiver != "thr":
        return None
    g = _group(l0, product)
    words = np.asarray(g[DATA_PARAM[product]]).copy()
    words[0, :] = 0xFFFF
    g[DATA_PARAM[product]] = words
    return l0


ROWS = (
    ("packet type absent", lambda l0, p: {"TM": {}} if hc.PRODUCTS[p].receiver == "tds" else None),
    ("TM group not a mapping", lambda l0, p: {"TM": [1, 2]} if hc.PRODUCTS[p].receiver == "tds" else None),
    ("packet group not a mapping", lambda l0, p: {"TM": {hc.packet_name(p): {"source_data": [1, 2]}}}),
    ("packet group empty", lambda l0, p: {"TM": {hc.packet_name(p): {"source_data": {}}}}),
    ("time parameter missing", _drop(_time)),
    ("block-count parameter missing", _drop(COUNT_PARAM.get)),
    ("data parameter missing", _drop(DATA_PARAM.get)),
    ("data parameter 1-D", _set(DATA_PARAM.get, lambda a: a.reshape(-1))),
    ("data parameter 3-D", _set(DATA_PARAM.get, lambda a: a[..., None])),
    ("data parameter of text", _set(DATA_PARAM.get, lambda a: a.astype("U8"))),
    ("data parameter big-endian", _set(DATA_PARAM.get, lambda a: a.astype(a.dtype.newbyteorder(">")))),
    ("data parameter float64", _set(DATA_PARAM.get, lambda a: a.astype("float64"))),
    ("data parameter with a NaN", _set(DATA_PARAM.get, lambda a: np.where(np.arange(a.size).reshape(a.shape) == 0,
                                                                          np.nan, a.astype("float64")))),
    ("data rows cut to 1 value", _set(DATA_PARAM.get, lambda a: np.ascontiguousarray(a[:, :1]))),
    ("data parameter one packet short", _set(DATA_PARAM.get, lambda a: a[:-1])),
    ("time parameter one packet short", _set(_time, lambda a: a[:-1])),
    ("time parameter 2 columns", _set(_time, lambda a: np.ascontiguousarray(a[:, :2]))),
    ("time parameter None", _set(_time, lambda a: None)),
    ("time parameter negative", _set(_time, lambda a: -a.astype("int64") - 1)),
    ("sampling-rate code 9", _set(_rate, lambda a: np.full(a.shape, 9))),
    ("frequency count 201", _set(NFREQ_PARAM.get, lambda a: np.full(a.shape, 201))),
    ("packet data words all ones (first packet)", _corrupt_words),
)


def outcome(product, l0):
    task = hc.CountingTask()
    try:
        out = hc.call(product, l0, task)
    except Exception as exc:  # noqa: BLE001
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
