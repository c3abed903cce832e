"""Day files written through pycdfpp (`l1/cdf_pycdfpp_sketch.py`), checked by the outside
readers: spacepy's ISTP checks (`istp.FileChecks.all`), then the values read back by pycdfpp
itself, cdflib, spacepy's pycdf, pyspedas (`cdf_to_tplot`, no warning logged) and xarray
(`cdflib.xarray.cdf_to_xarray`), each compared with the records; and the file compared with the
one the project writes today (`cdf.CDFDay`): same variables, types, attributes and values.

Prints one line per product and check, "ok" or what differs.

    python benchmarks/check_cdf_pycdfpp_readers.py [--scale 1] [--products tswf,tnr_normal]
        [--compression file|variable|isal]
"""
import argparse
import logging
import os
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np

# the package of this tree, before an installed one (the sketch may be newer than it)
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))


class Logged(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.records = []

    def emit(self, record):
        self.records.append(f"{record.name}: {record.getMessage()}")


def expected(records, product):
    """{stored name: values as stored} of the record variables."""
    from kesta.dravel.l1 import attributes as attrs
    from kesta.dravel.l1.cdf import stored_values

    return {attrs.stored_name(product, var.name): stored_values(records, var)
            for var in attrs.variables(product, records.dtype)}


def differences(name, want, got):
    got = np.asarray(got)
    if got.shape != want.shape:
        return [f"{name}: shape {got.shape} != {want.shape}"]
    if got.dtype.kind == "M":       # times given back as datetimes: compared as TT2000 elsewhere
        return []
    if not np.array_equal(got.astype(want.dtype), want, equal_nan=want.dtype.kind == "f"):
        return [f"{name}: values differ"]
    return []


def check_istp(path):
    from kesta.dravel.l1.times import pycdf as load_pycdf

    pycdf = load_pycdf()
    import spacepy.pycdf.istp as istp

    with pycdf.CDF(path) as f:
        return [str(e) for e in istp.FileChecks.all(f, catch=True)]


def check_cdflib(path, want):
    import cdflib

    f = cdflib.CDF(path)
    out = []
    for name, values in want.items():
        out += differences(name, values, f.varget(name))
    return out


def check_pycdfpp(path, want):
    import pycdfpp

    from kesta.dravel.l1.cdf_pycdfpp_sketch import read_variable

    out = []
    for lazy in (True, False):
        f = pycdfpp.load(path, lazy_load=lazy)
        for name, values in want.items():
            out += differences(name, values, read_variable(f, name))
            half = len(values) // 2
            out += differences(f"{name}[{half}:]", values[half:], read_variable(f, name, half, None))
    return out


def check_spacepy(path, want):
    from kesta.dravel.l1.times import pycdf as load_pycdf

    out = []
    with load_pycdf().CDF(path) as f:
        for name, values in want.items():
            out += differences(name, values, f.raw_var(name)[...])
        if f["Epoch"].type() != load_pycdf().const.CDF_TIME_TT2000.value:
            out.append("Epoch: not CDF_TIME_TT2000")
    return out


def _tplot(path):
    """{name: values} of the variables pyspedas loads from the file, and what it logged or warned."""
    import pyspedas
    from pyspedas import del_data, get_data

    del_data()
    handler = Logged()
    root = logging.getLogger()
    root.addHandler(handler)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            names = pyspedas.cdf_to_tplot(path, get_support_data=True)
    finally:
        root.removeHandler(handler)
    said = [f"logged {m}" for m in handler.records] + [f"warning {w.message}" for w in caught]
    return {name: get_data(name) for name in names}, said


def check_pyspedas(path, want, today):
    """pyspedas gives fill values back as 0 (integers) or NaN (floats) and leaves ignore_data
    variables out: compared with the records
    where they are not fill, and with what it reads of the file written today, everywhere."""
    import cdflib

    loaded, out = _tplot(path)
    theirs, _ = _tplot(today)
    f = cdflib.CDF(path)
    for name, values in want.items():
        if name == "Epoch" or f.varattsget(name).get("VAR_TYPE") == "ignore_data":
            continue            # pyspedas loads no ignore_data variable, by design
        if name not in loaded:
            out.append(f"{name}: not loaded")
            continue
        got = np.asarray(loaded[name].y)
        if len(loaded[name].times) != len(want["Epoch"]):
            out.append(f"{name}: {len(loaded[name].times)} times")
        if got.shape != values.shape:
            out.append(f"{name}: shape {got.shape} != {values.shape}")
            continue
        measured = values != np.asarray(f.varattsget(name)["FILLVAL"]).astype(values.dtype)
        if not np.array_equal(got[measured].astype(values.dtype), values[measured]):
            out.append(f"{name}: values differ")
        if not np.array_equal(got, np.asarray(theirs[name].y), equal_nan=got.dtype.kind == "f"):
            out.append(f"{name}: not as read from the file written today")
    return out


def check_xarray(path, want):
    import cdflib.xarray

    ds = cdflib.xarray.cdf_to_xarray(path, to_datetime=False, fillval_to_nan=False)
    out = []
    for name, values in want.items():
        if name not in ds.variables:
            out.append(f"{name}: not in the dataset")
            continue
        out += differences(name, values, ds[name].values)
    return out


def check_same_as_today(path, today):
    """What differs between the two files, but the file's own name and generation date."""
    import cdflib

    a, b = cdflib.CDF(path), cdflib.CDF(today)
    out = []
    ga, gb = a.globalattsget(), b.globalattsget()
    for key in set(ga) | set(gb):
        if key not in ("Logical_file_id", "Generation_date") and ga.get(key) != gb.get(key):
            out.append(f"global {key}: {ga.get(key)!r} != {gb.get(key)!r}")
    va, vb = a.cdf_info().zVariables, b.cdf_info().zVariables
    if va != vb:
        out.append(f"variables {va} != {vb}")
    for name in set(va) & set(vb):
        qa, qb = a.varinq(name), b.varinq(name)
        for field in ("Data_Type_Description", "Rec_Vary", "Dim_Sizes", "Num_Elements"):
            if getattr(qa, field) != getattr(qb, field):
                out.append(f"{name} {field}: {getattr(qa, field)} != {getattr(qb, field)}")
        xa, xb = a.varattsget(name), b.varattsget(name)
        for key in set(xa) | set(xb):
            if key not in xa or key not in xb:
                out.append(f"{name}.{key}: only in one")
            elif a.attget(key, name).Data_Type != b.attget(key, name).Data_Type:
                out.append(f"{name}.{key}: type {a.attget(key, name).Data_Type} != {b.attget(key, name).Data_Type}")
            elif not np.array_equal(np.asarray(xa[key]), np.asarray(xb[key])):
                out.append(f"{name}.{key}: {xa[key]!r} != {xb[key]!r}")
        if not np.array_equal(a.varget(name), b.varget(name)):
            out.append(f"{name}: values differ")
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=1)
    parser.add_argument("--products", default="tswf,tnr_normal", help="comma-separated, or 'all'")
    parser.add_argument("--compression", default="file", choices=("file", "variable", "isal"))
    args = parser.parse_args()

    from kesta.dravel import products as registry
    from kesta.dravel.cli.simulate import simulate_file
    from kesta.dravel.l1 import decode_file
    from kesta.dravel.l1.cdf import CDFDay, file_name
    from kesta.dravel.l1.cdf_pycdfpp_sketch import write_day
    from kesta.dravel.l1.dayrecords import daily_records
    from kesta.dravel.l1.times import utc_days

    wanted = [p.name for p in registry.PRODUCTS] if args.products == "all" else args.products.split(",")
    failed = 0
    with tempfile.TemporaryDirectory(prefix="check-pycdfpp-") as folder:
        l0 = os.path.join(folder, "L0.h5")
        simulate_file(l0, seed=5, scale=args.scale)
        for result in decode_file(l0, wanted).products:
            records = daily_records(result.product, result.data)
            days = [(date, start, stop) for date, start, stop in utc_days(records["epoch"]) if date is not None]
            if not days:
                print(f"{result.product}: no records")
                continue
            date, start, stop = days[0]            # one day file's records, named as its day
            day = records[start:stop]
            name = file_name(result.product, date)
            os.makedirs(os.path.join(folder, "pycdfpp"), exist_ok=True)
            os.makedirs(os.path.join(folder, "today"), exist_ok=True)
            path, today = os.path.join(folder, "pycdfpp", name), os.path.join(folder, "today", name)
            write_day(day, result.product, path, parents="L0.h5", compression=args.compression)
            writer = CDFDay(today, day.dtype, result.product, os.path.basename(today), "L0.h5", "01")
            writer.append(day)
            writer.close()
            want = expected(day, result.product)
            for label, check in (("ISTP FileChecks.all", lambda: check_istp(path)),
                                 ("pycdfpp", lambda: check_pycdfpp(path, want)),
                                 ("cdflib", lambda: check_cdflib(path, want)),
                                 ("spacepy", lambda: check_spacepy(path, want)),
                                 ("pyspedas", lambda: check_pyspedas(path, want, today)),
                                 ("xarray", lambda: check_xarray(path, want)),
                                 ("same as CDFDay's", lambda: check_same_as_today(path, today))):
                try:
                    problems = check()
                except Exception as exc:      # a reader that fails on the file is a finding
                    problems = [f"raised {type(exc).__name__}: {exc}"]
                failed += bool(problems)
                print(f"{result.product:<16} {label:<20} {'ok' if not problems else '; '.join(problems[:5])}"
                      + (f" (+{len(problems) - 5} more)" if len(problems) > 5 else ""))
    raise SystemExit(1 if failed else 0)


if __name__ == "__main__":
    main()
