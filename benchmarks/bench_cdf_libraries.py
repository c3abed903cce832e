"""Which CDF library for the day files: pycdfpp, spacepy's pycdf (the NASA CDF library) and
cdflib, side by side on real-size days of records.

A simulated day (`dravel simulate --days 1`) is decoded and made into day records of each
product (tswf: a few hundred ~500 kB waveform records; tnr_normal: thousands of small sweeps).
Then, each in a fresh process (its wall time the best of --repeat inside it, its peak resident
memory the process's high-water mark):

- write: the day file with the same variables and attributes, GZIP level 1, by each library
  (whole-file or per-variable compression, as it offers); spacepy twice: the project's writer
  today (template + its own isal whole-file deflate, `cdf.CDFDay`) and the CDF library
  compressing the file itself;
- read: every variable whole, and "requests": --slices times opening the file and reading
  1/slices of the records of the product's main data variable (as the HAPI server does);
- import: `import <library>` in a fresh interpreter.

Floors, measured in the same run: NumPy writing the same stored bytes with `tofile`, and the
same bytes deflated (isal, zlib, level 1) into a file; reading them back (`fromfile`, inflate).

    python benchmarks/bench_cdf_libraries.py [--scale 64] [--repeat 3] [--slices 10]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
PRODUCTS = ("tswf", "tnr_normal")
MAIN = {
    "tswf": "waveform_data",
    "tswf_sbm2": "waveform_data",
    "rswf": "waveform_data",
    "rswf_sbm1": "waveform_data",
    "tnr_normal": "auto1",
    "tnr_burst": "auto1",
}  # what requests read
LEVEL = 1

WRITERS = {  # name: (library, compression written)
    "numpy tofile (floor)": ("numpy", "none"),
    "isal deflate (floor)": ("isal", "stream, level 1"),
    "zlib deflate (floor)": ("zlib", "stream, level 1"),
    "pycdfpp file-gzip": ("pycdfpp", "whole file"),
    "pycdfpp var-gzip": ("pycdfpp", "per variable"),
    "pycdfpp isal-whole (the package)": ("pycdfpp", "whole file, isal"),
    "spacepy lib file-gzip": ("spacepy", "whole file, by libcdf"),
    "cdflib file-gzip": ("cdflib", "whole file"),
    "cdflib var-gzip": ("cdflib", "per variable"),
}
READERS = ("pycdfpp", "spacepy", "cdflib")
READ_FILES = ("pycdfpp file-gzip", "pycdfpp var-gzip")  # the files every reader reads
IMPORTS = {
    "numpy (floor)": "numpy",
    "pycdfpp": "pycdfpp",
    "spacepy.pycdf": "spacepy.pycdf",
    "cdflib": "cdflib",
    "cdflib.xarray": "cdflib.xarray",
}


# --------------------------------------------------------------------------------------------
# What a child process does


def _columns(records, product):
    """[(stored name, values as stored)] of the day records, as every writer stores them."""
    from kesta.dravel.l1 import attributes as attrs
    from kesta.dravel.l1.cdf import stored_values

    return [
        (attrs.stored_name(product, var.name), stored_values(records, var))
        for var in attrs.variables(product, records.dtype)
    ]


def write_floor(records, product, path, how):
    columns = _columns(records, product)
    if how == "numpy tofile (floor)":
        with open(path, "wb") as f:
            for _, values in columns:
                values.tofile(f)
        return
    if how == "isal deflate (floor)":
        from isal.isal_zlib import compressobj
    else:
        from zlib import compressobj
    deflate = compressobj(LEVEL, 8, 31)
    with open(path, "wb") as f:
        for _, values in columns:
            f.write(deflate.compress(memoryview(values).cast("B")))
        f.write(deflate.flush())


def _empty(path, dtype, product):
    """An empty day file of the product, as the package writes it: what the other libraries'
    writers copy the variables and attributes of."""
    from kesta.dravel.l1.cdf import CDFDay

    CDFDay(path, dtype, product, os.path.basename(path), None, "01").close()


def write_spacepy_lib(records, product, path):
    """The package's empty day file, then the records through pycdf, the CDF library
    compressing the whole file as it closes it."""
    from spacepy import pycdf

    _empty(path, records.dtype, product)
    cdf = pycdf.CDF(path)
    try:
        cdf.readonly(False)
        cdf.compress(pycdf.const.GZIP_COMPRESSION, LEVEL)
        cdf.attrs["Logical_file_id"] = os.path.splitext(os.path.basename(path))[0]
        for name, values in _columns(records, product):
            cdf[name].extend(values)
    finally:
        cdf.close()


def write_package(records, product, path, compression=None):
    """The package's day file (`cdf.CDFDay`): made by pycdfpp from the columns it borrows,
    written uncompressed into a pipe and deflated whole with isal as it comes (a small day: in
    memory, then deflated); or, with `compression` "file" or "variable", compressed by
    pycdfpp itself, the whole file or each variable."""
    import pycdfpp

    from kesta.dravel.l1.cdf import CDFDay

    day = CDFDay(path, records.dtype, product, os.path.basename(path), None, "01")
    day.append(records)
    if compression is None:
        day.close()
        return
    cdf = day.made()
    gzip = pycdfpp.CompressionType.gzip_compression
    if compression == "file":
        cdf.compression, cdf.compression_level = gzip, LEVEL
    else:
        for name in cdf:
            if not cdf[name].is_nrv:
                cdf[name].compression, cdf[name].compression_level = gzip, LEVEL
    pycdfpp.save(cdf, path)


def write_cdflib(records, product, path, per_variable):
    """The same day file through cdflib's writer: its attributes taken from a day file the
    project writes (an empty one: the template), so that both hold the same."""
    import cdflib
    import numpy as np
    from cdflib.cdfwrite import CDF as Writer

    template = path + ".template.cdf"
    _empty(template, records.dtype, product)
    try:
        source = cdflib.CDF(template)
        info = source.cdf_info()
        globals_ = source.globalattsget()
        described = {}
        for name in info.zVariables:
            inq = source.varinq(name)
            attrs = {}
            for key, value in source.varattsget(name).items():
                entry = source.attget(key, name)
                ctype = entry.Data_Type  # its name, as cdflib gives it
                if ctype == "CDF_CHAR":
                    attrs[key] = value
                elif ctype == "CDF_TIME_TT2000":
                    attrs[key] = [int(np.asarray(entry.Data, dtype=np.int64).reshape(-1)[0]), ctype]
                else:
                    attrs[key] = [np.asarray(value).reshape(-1), ctype]
            data = source.varget(name) if not inq.Rec_Vary else None
            described[name] = (inq, attrs, data)
    finally:
        os.remove(template)
    globals_["Logical_file_id"] = [os.path.splitext(os.path.basename(path))[0]]
    out = Writer(path, cdf_spec={"Compressed": 0 if per_variable else LEVEL}, delete=True)
    try:
        out.write_globalattrs({k: dict(enumerate(v if isinstance(v, list) else [v])) for k, v in globals_.items()})
        columns = dict(_columns(records, product))
        for name in info.zVariables:
            inq, attrs, data = described[name]
            var_info = {
                "Variable": name,
                "Data_Type": inq.Data_Type,
                "Num_Elements": inq.Num_Elements,
                "Rec_Vary": inq.Rec_Vary,
                "Dim_Sizes": list(inq.Dim_Sizes),
                "Compress": LEVEL if per_variable and inq.Rec_Vary else 0,
            }
            values = columns[name] if inq.Rec_Vary else data
            out.write_var(var_info, var_attrs=attrs, var_data=values)
    finally:
        out.close()


def child_write(how, product, npy, path, repeat):
    import numpy as np

    records = np.load(npy)
    _import_for(how)
    best, first = float("inf"), None
    for _ in range(repeat):
        if os.path.exists(path):
            os.remove(path)
        started = time.perf_counter()
        if how.endswith("(floor)"):
            write_floor(records, product, path, how)
        elif how.startswith("pycdfpp"):
            compression = {"pycdfpp var-gzip": "variable", "pycdfpp file-gzip": "file"}.get(how)
            write_package(records, product, path, compression)
        elif how == "spacepy lib file-gzip":
            write_spacepy_lib(records, product, path)
        elif how.startswith("cdflib"):
            write_cdflib(records, product, path, per_variable="var-" in how)
        elapsed = time.perf_counter() - started
        first = elapsed if first is None else first
        best = min(best, elapsed)
    return {
        "seconds": best,
        "first": first,
        "bytes": os.path.getsize(path),
        "records": len(records),
        "record_bytes": records.nbytes,
    }


def _import_for(how):
    """The modules a writer uses, imported before it is timed (import times are measured apart)."""
    import kesta.dravel.l1.cdf  # noqa: F401  (the attributes, the template maker)
    from kesta.dravel.l1 import attributes

    attributes.fill_value("int8")
    if how.startswith("pycdfpp"):
        import pycdfpp  # noqa: F401
    elif how.startswith("spacepy"):
        from spacepy import pycdf  # noqa: F401
    elif how.startswith("cdflib"):
        import cdflib.cdfwrite  # noqa: F401
    elif how.startswith("isal"):
        import isal.isal_zlib  # noqa: F401


def read_whole(library, path):
    """Every variable of the file, whole; total bytes read."""
    import numpy as np

    total = 0
    if library == "pycdfpp":
        from kesta.dravel.l1.cdf import open_cdf

        with open_cdf(path) as cdf:
            for name in cdf.stored_names():
                total += np.asarray(cdf.read_stored(name)).nbytes
    elif library == "spacepy":
        from spacepy import pycdf

        with pycdf.CDF(path) as cdf:
            for name in cdf:
                total += np.asarray(cdf.raw_var(name)[...]).nbytes
    else:
        import cdflib

        cdf = cdflib.CDF(path)
        for name in cdf.cdf_info().zVariables:
            total += np.asarray(cdf.varget(name)).nbytes
    return total


def read_requests(library, path, name, records, slices):
    """`slices` requests, each opening the file and reading its share of the records of `name`."""
    import numpy as np

    total = 0
    edges = np.linspace(0, records, slices + 1).astype(int)
    for start, stop in zip(edges[:-1], edges[1:]):
        if library == "pycdfpp":
            from kesta.dravel.l1.cdf import open_cdf

            with open_cdf(path) as cdf:
                total += cdf.read_stored(name, start, stop).nbytes
        elif library == "spacepy":
            from spacepy import pycdf

            with pycdf.CDF(path) as cdf:
                total += np.asarray(cdf[name][start:stop]).nbytes
        else:
            import cdflib

            total += np.asarray(cdflib.CDF(path).varget(name, startrec=int(start), endrec=int(stop) - 1)).nbytes
    return total


def read_floor(how, path, nbytes):
    import numpy as np

    if how == "numpy tofile (floor)":
        return np.fromfile(path, dtype=np.uint8).nbytes
    if how == "isal deflate (floor)":
        from isal.isal_zlib import decompress
    else:
        from zlib import decompress
    with open(path, "rb") as f:
        return len(decompress(f.read(), 31))


def child_read(library, mode, path, name, records, slices, repeat):
    if library == "spacepy":  # the import is not what is timed
        from spacepy import pycdf  # noqa: F401
    elif library == "pycdfpp":
        import kesta.dravel.l1.cdf  # noqa: F401
    else:
        __import__({"cdflib": "cdflib"}.get(library, "numpy"))
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        if library.endswith("(floor)"):
            got = read_floor(library, path, None)
        elif mode == "whole":
            got = read_whole(library, path)
        else:
            got = read_requests(library, path, name, records, slices)
        best = min(best, time.perf_counter() - started)
    return {"seconds": best, "bytes": got}


def child_prepare(l0, folder, products):
    import numpy as np

    from kesta.dravel.l1 import decode_file
    from kesta.dravel.l1.dayrecords import daily_records

    for result in decode_file(l0, list(products)).products:
        np.save(os.path.join(folder, f"{result.product}.npy"), daily_records(result.product, result.data))
    return {}


def child_import(module):
    started = time.perf_counter()
    __import__(module)
    return {"seconds": time.perf_counter() - started}


# --------------------------------------------------------------------------------------------
# The parent: each measurement in a child of its own


def run_child(*args):
    """(result dict, peak resident bytes) of this script run as a child with `args`."""
    proc = subprocess.Popen(
        [sys.executable, __file__, "--child", json.dumps(args)], env=ENV, stdout=subprocess.PIPE, text=True
    )
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.stdout.close()
    if os.waitstatus_to_exitcode(status):
        raise SystemExit(f"child {args} failed")
    return json.loads(out.strip().splitlines()[-1]), usage.ru_maxrss * 1024


def mb(n):
    return f"{n / 1e6:8.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=64, help="copies of the demo content (default 64)")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs in each child (best kept)")
    parser.add_argument("--slices", type=int, default=10, help="read requests of a file")
    parser.add_argument("--products", default=",".join(PRODUCTS), help="comma-separated (default %(default)s)")
    parser.add_argument("--keep", help="folder to keep the files in (default: a temporary one)")
    args = parser.parse_args()

    folder = args.keep or tempfile.mkdtemp(prefix="bench-cdf-")
    os.makedirs(folder, exist_ok=True)
    l0 = os.path.join(folder, "L0")
    if not os.path.isdir(l0) or not os.listdir(l0):
        subprocess.run(
            [
                sys.executable,
                "-m",
                "kesta.dravel",
                "simulate",
                "--days",
                "1",
                "--start",
                "2026-03-01",
                "--scale",
                str(args.scale),
                "-o",
                l0 + "/",
                "-q",
            ],
            env=ENV,
            check=True,
        )
    l0_file = os.path.join(l0, sorted(os.listdir(l0))[0])
    products = args.products.split(",")
    if set(products) - set(MAIN):
        parser.error(f"--products: one of {', '.join(MAIN)}")
    if not all(os.path.exists(os.path.join(folder, f"{p}.npy")) for p in products):
        run_child("prepare", l0_file, folder, products)

    print(f"import (fresh interpreter, best of {args.repeat}):")
    for label, module in IMPORTS.items():
        runs = [run_child("import", module) for _ in range(args.repeat)]
        seconds = min(r["seconds"] for r, _ in runs)
        rss = min(peak for _, peak in runs)
        print(f"  {label:<16} {seconds * 1e3:7.0f} ms   peak RSS {mb(rss)} MB")

    for product in products:
        npy = os.path.join(folder, f"{product}.npy")
        files = {}
        print(
            f"\n{product}: write (GZIP level {LEVEL}), best of {args.repeat} in one process (1st s: its "
            f"first, which makes the template where there is one); peak RSS of the process (which "
            f"holds the records: see the tofile floor)"
        )
        print(
            f"  {'writer':<24} {'compression':<22} {'s':>7} {'x isal':>7} {'MB/s':>7} {'1st s':>7} "
            f"{'file MB':>8} {'peak MB':>8}"
        )
        rows = []
        for how, (_, compression) in WRITERS.items():
            path = os.path.join(folder, f"{product}-{how.split()[0]}-{how.split()[1]}.cdf")
            result, peak = run_child("write", how, product, npy, path, args.repeat)
            files[how] = (path, result)
            rows.append((how, compression, result, peak))
        floor = files["isal deflate (floor)"][1]["seconds"]
        for how, compression, result, peak in rows:
            print(
                f"  {how:<24} {compression:<22} {result['seconds']:7.3f} {result['seconds'] / floor:7.1f} "
                f"{result['record_bytes'] / result['seconds'] / 1e6:7.0f} {result['first']:7.3f} "
                f"{mb(result['bytes'])} {mb(peak)}"
            )
        records = files["pycdfpp file-gzip"][1]["records"]
        print(f"  ({records} records, {mb(files['pycdfpp file-gzip'][1]['record_bytes']).strip()} MB of them)")

        name = f"{product}_{MAIN[product]}"
        print(
            f"\n{product}: read, best of {args.repeat}: whole = every variable; requests = {args.slices} x "
            f"(open + 1/{args.slices} of the records of {name})"
        )
        print(
            f"  {'reader':<22} {'file':<20} {'whole s':>8} {'x isal':>9} {'peak MB':>8} "
            f"{'requests s':>10} {'peak MB':>8}"
        )
        floors = {
            label: run_child("read", how, "whole", files[how][0], name, records, args.slices, args.repeat)
            for label, how in (
                ("numpy fromfile (floor)", "numpy tofile (floor)"),
                ("isal inflate (floor)", "isal deflate (floor)"),
                ("zlib inflate (floor)", "zlib deflate (floor)"),
            )
        }
        inflate = floors["isal inflate (floor)"]
        for label, (result, peak) in floors.items():
            print(
                f"  {label:<22} {'':<20} {result['seconds']:8.3f} {result['seconds'] / inflate[0]['seconds']:9.1f} "
                f"{mb(peak)}"
            )
        for library in READERS:
            for which in READ_FILES + ((f"{library} file-gzip",) if library == "cdflib" else ()):
                path = files[which][0]
                whole, whole_peak = run_child("read", library, "whole", path, name, records, args.slices, args.repeat)
                requests, requests_peak = run_child(
                    "read", library, "requests", path, name, records, args.slices, args.repeat
                )
                print(
                    f"  {library:<22} {which:<20} {whole['seconds']:8.3f} "
                    f"{whole['seconds'] / inflate[0]['seconds']:9.1f} {mb(whole_peak)} "
                    f"{requests['seconds']:10.3f} {mb(requests_peak)}"
                )
    if not args.keep:
        import shutil

        shutil.rmtree(folder, ignore_errors=True)


def child(argv):
    args = json.loads(argv)
    kind, rest = args[0], args[1:]
    result = {"prepare": child_prepare, "import": child_import, "write": child_write, "read": child_read}[kind](*rest)
    print(json.dumps(result))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        child(sys.argv[2])
    else:
        main()
