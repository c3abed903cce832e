"""SKETCH, not used by the pipeline: a day file written and read through pycdfpp instead of
spacepy's pycdf, to measure the library against the others (benchmarks/bench_cdf_libraries.py).

It writes what `cdf.CDFDay` writes: `Epoch` as CDF_TIME_TT2000, every record field a
record-varying zVariable of its own CDF type (uint64 as CDF_INT8, see `cdf._stored`), the index
and label variables of the sub-array dimensions (non-record-varying), the ISTP global and
variable attributes, FILLVAL/VALIDMIN/VALIDMAX typed like their variable. The whole file is
GZIP-compressed by pycdfpp itself (`compression="file"`), or each variable
(`compression="variable"`), or saved uncompressed and deflated whole with isal as `cdf.CDFDay`
does (`compression="isal"`), or not compressed (None).

pycdfpp builds the whole file in memory and writes it at once (`pycdfpp.save`): no appending
of record batches to an open file, so a day is written from all its records.
"""
from __future__ import annotations

import os

import numpy as np

from . import attributes as attrs
from . import layout
from .cdf import GZIP_LEVEL, _display_type, _stored, _stored_fill

_TYPES = {
    "uint8": "CDF_UINT1", "uint16": "CDF_UINT2", "uint32": "CDF_UINT4", "uint64": "CDF_INT8",
    "int8": "CDF_INT1", "int16": "CDF_INT2", "int32": "CDF_INT4", "int64": "CDF_INT8",
    "float32": "CDF_FLOAT", "float64": "CDF_DOUBLE",
}
_NUMPY = {"CDF_UINT1": np.uint8, "CDF_UINT2": np.uint16, "CDF_UINT4": np.uint32, "CDF_INT1": np.int8,
          "CDF_INT2": np.int16, "CDF_INT4": np.int32, "CDF_INT8": np.int64, "CDF_FLOAT": np.float32,
          "CDF_DOUBLE": np.float64}
# pycdfpp takes CDF_TIME_TT2000 values as datetime64 (converted from UTC, leap seconds and all)
# or as its own record type; our epochs already are TT2000 nanoseconds: viewed as that type.
# That type must be the very dtype object pycdfpp registered (an equal dtype made here is
# refused), and pycdfpp exposes it nowhere but on values it gives back: taken from one.
_TT2000 = []


def _tt2000(values):
    if not _TT2000:
        import pycdfpp as p

        probe = p.CDF().add_variable("t", np.zeros(1, "datetime64[ns]"), p.DataType.CDF_TIME_TT2000)
        _TT2000.append(probe.values_encoded.dtype)
    return np.ascontiguousarray(np.asarray(values, dtype=np.int64)).reshape(-1).view(_TT2000[0])


def _cdf_type(p, dtype):
    return getattr(p.DataType, _TYPES[np.dtype(dtype).name])


def _typed(p, value, ctype):
    """An attribute entry of one value of the CDF type `ctype`."""
    if ctype == p.DataType.CDF_TIME_TT2000:
        return _tt2000([value])
    return np.array([value], dtype=_NUMPY[ctype.name])


def _text(v, name, value):
    v.add_attribute(name, str(value))


def write_day(records, product, path, *, parents=None, data_version="01", mission=None,
              compression="file", level=GZIP_LEVEL):
    """Writes the day records `records` (one UTC day, in time order) of `product` as the ISTP
    CDF `path`."""
    import pycdfpp as p

    name = product if isinstance(product, str) else product.name
    gzip = p.CompressionType.gzip_compression
    per_var = compression == "variable"
    cdf = p.CDF()
    variables = attrs.variables(name, records.dtype)
    globals_ = attrs.global_attributes(name, parents=parents, data_version=data_version,
                                       mission=mission, dtype=records.dtype)
    globals_["Logical_file_id"] = os.path.splitext(os.path.basename(os.fspath(path)))[0]
    for key, value in globals_.items():
        entries = list(value) if isinstance(value, (list, tuple)) else [value]
        cdf.add_attribute(key, [str(e) for e in entries])
    supports = _support_variables(p, cdf, name, variables)
    options = dict(compression=gzip, compression_level=level) if per_var else {}
    for var in variables:
        values = np.ascontiguousarray(layout.values(records, var.leaf))
        if var.name == layout.EPOCH:
            _epoch(p, cdf, var, values, options)
            continue
        ctype = _cdf_type(p, var.leaf.dtype)
        v = cdf.add_variable(attrs.stored_name(name, var.name), np.ascontiguousarray(_stored(values, var)),
                             ctype, **options)
        _attributes(p, v, var, ctype, name, supports)
    if compression == "file":
        cdf.compression = gzip
        cdf.compression_level = level
    if compression != "isal":
        p.save(cdf, os.fspath(path))
        return
    # saved uncompressed, then deflated whole as `cdf.CDFDay` does (isal is several times faster
    # than the zlib pycdfpp compresses with)
    from . import output
    from .cdf import compress_whole

    folder, base = os.path.split(os.path.abspath(os.fspath(path)))
    raw = output.temporary(folder, base, os.getpid(), "uncompressed", ".cdf")
    try:
        p.save(cdf, raw)
        del cdf
        compress_whole(raw, os.fspath(path), level)
    finally:
        output.discard(raw)


def _epoch(p, cdf, var, values, options):
    tt = p.DataType.CDF_TIME_TT2000
    v = cdf.add_variable(layout.EPOCH, _tt2000(values.view(np.int64) if values.dtype == np.uint64 else values),
                         tt, **options)
    for key, value in (("CATDESC", var.catdesc), ("FIELDNAM", layout.EPOCH), ("VAR_TYPE", "support_data"),
                       ("UNITS", "ns"), ("LABLAXIS", layout.EPOCH), ("SCALETYP", "linear"), ("FORMAT", " "),
                       ("DISPLAY_TYPE", "time_series")):
        _text(v, key, value)
    v.add_attribute("FILLVAL", _typed(p, attrs.fill_value(np.int64), tt), tt)
    v.add_attribute("VALIDMIN", np.array(["1990-01-01"], dtype="datetime64[ns]"), tt)
    v.add_attribute("VALIDMAX", np.array(["2100-01-01"], dtype="datetime64[ns]"), tt)


def _attributes(p, v, var, ctype, product, supports):
    for key, value in (("CATDESC", var.catdesc), ("FIELDNAM", attrs.stored_name(product, var.name)),
                       ("VAR_TYPE", var.var_type), ("DEPEND_0", layout.EPOCH), ("UNITS", var.units),
                       ("FORMAT", var.format), ("SCALETYP", var.scaletyp)):
        _text(v, key, value)
    if var.notes:
        _text(v, "VAR_NOTES", var.notes)
    display = _display_type(var)
    if display:
        _text(v, "DISPLAY_TYPE", display)
    low, high = ((0, np.iinfo(np.int64).max) if var.leaf.dtype == np.uint64
                 else (var.validmin, var.validmax))
    v.add_attribute("FILLVAL", _typed(p, _stored_fill(var), ctype), ctype)
    v.add_attribute("VALIDMIN", _typed(p, low, ctype), ctype)
    v.add_attribute("VALIDMAX", _typed(p, high, ctype), ctype)
    for axis, (dim, size) in enumerate(zip(var.dims, var.leaf.shape), start=1):
        ax = supports[(dim, size)]        # as cdf._attributes chooses them
        if ax["coordinate"] and ax["coordinate"] != var.name:
            _text(v, f"DEPEND_{axis}", attrs.stored_name(product, ax["coordinate"]))
        elif not ax["coordinate"]:
            _text(v, f"DEPEND_{axis}", ax["index"])
        if ax["labels"]:
            _text(v, f"LABL_PTR_{axis}", ax["labels"])
    _text(v, "LABLAXIS", var.lablaxis)


def _support_variables(p, cdf, product, variables):
    """The index and label variables of `cdf._support_variables`, made with pycdfpp."""
    made, sizes = {}, {}
    coordinates = attrs.coordinates(product, variables)
    int4 = p.DataType.CDF_INT4
    for var in variables:
        for dim, size in zip(var.dims, var.leaf.shape):
            sizes.setdefault(dim, set()).add(size)
    for var in variables:
        for dim, size in zip(var.dims, var.leaf.shape):
            key = (dim, size)
            if key in made:
                continue
            suffix = "" if len(sizes[dim]) == 1 else f"_{size}"
            catdesc, labels = attrs.dimension(dim, size)
            coordinate = coordinates.get(key)
            if labels is None and coordinate:
                labels = [f"{dim}{i}" for i in range(size)]
            axis = {"index": None, "labels": None, "coordinate": coordinate}
            if not coordinate:
                axis["index"] = vname = f"{dim}{suffix}_index"
                v = cdf.add_variable(vname, np.arange(size, dtype=np.int32), int4, is_nrv=True)
                for k, value in (("CATDESC", catdesc), ("FIELDNAM", vname), ("VAR_TYPE", "support_data"),
                                 ("UNITS", " "), ("FORMAT", "I6"), ("LABLAXIS", dim), ("SCALETYP", "linear")):
                    _text(v, k, value)
                v.add_attribute("FILLVAL", _typed(p, attrs.fill_value(np.int32), int4), int4)
                v.add_attribute("VALIDMIN", _typed(p, 0, int4), int4)
                v.add_attribute("VALIDMAX", _typed(p, max(0, size - 1), int4), int4)
            if labels is not None:
                axis["labels"] = vname = f"{dim}{suffix}_label"
                width = max(len(label) for label in labels)
                v = cdf.add_variable(vname, np.array([label.ljust(width) for label in labels], dtype=f"S{width}"),
                                     p.DataType.CDF_CHAR, is_nrv=True)
                for k, value in (("CATDESC", f"Labels: {catdesc}"), ("FIELDNAM", vname),
                                 ("VAR_TYPE", "metadata"), ("FORMAT", f"A{width}")):
                    _text(v, k, value)
                v.add_attribute("FILLVAL", " ", p.DataType.CDF_CHAR)
            made[key] = axis
    return made


def read_variable(cdf, stored, start=None, stop=None):
    """The values of the variable `stored` of a CDF opened by `pycdfpp.load`, records
    start:stop (as stored: TT2000 as int64 nanoseconds, uint64 fields as CDF_INT8)."""
    v = cdf[stored]
    values = v.values_encoded if v.type == __import__("pycdfpp").DataType.CDF_TIME_TT2000 else v.values
    values = values.view(np.int64) if values.dtype.names else values
    return values if start is None and stop is None else values[start:stop]
