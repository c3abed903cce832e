"""ISTP CDF files: one per product, written and read through the NASA CDF library (spacepy's
pycdf, which bundles it).

Every leaf field of the records is one variable (named as `layout` names it), `epoch` the
variable `Epoch` of type CDF_TIME_TT2000 holding exactly the records' values. Each other field
is stored in the CDF type of its own element type (uint8 CDF_UINT1 ... float64 CDF_DOUBLE).
CDF has no unsigned 64-bit type: uint64 fields are stored as CDF_INT8 with the same 64 bits,
and their fill value as the CDF_INT8 fill value; `read_cdf` gives them back as uint64 with the
field's own fill value, so the records come back bit for bit.

Records are written in (stable) time order, as ISTP wants Epoch to increase, one file per UTC
day of the records (an ISTP file holds one day). A product with no records gives no file.
"""
from __future__ import annotations

import os

import numpy as np

from . import attributes as attrs
from . import layout, output
from .times import pycdf as load_pycdf
from .errors import InputError
from .days import DayFilesWriter, MissionDay, from_template
from .writers import FORMATS, check_data_version

FILE_PATTERN = FORMATS["cdf"].file_pattern


def _cdf_type(pycdf, dtype):
    c = pycdf.const
    return {
        "uint8": c.CDF_UINT1, "uint16": c.CDF_UINT2, "uint32": c.CDF_UINT4, "uint64": c.CDF_INT8,
        "int8": c.CDF_INT1, "int16": c.CDF_INT2, "int32": c.CDF_INT4, "int64": c.CDF_INT8,
        "float32": c.CDF_FLOAT, "float64": c.CDF_DOUBLE,
    }[np.dtype(dtype).name]


def _stored(values, var):
    """The values as the CDF stores them: uint64 as int64 with the same bits, its fill value
    as the CDF_INT8 one."""
    if var.leaf.dtype != np.uint64:
        return values
    stored = values.view(np.int64).copy()
    stored[values == var.fill] = attrs.fill_value(np.int64)
    return stored


def stored_values(records, var):
    """The values of the variable `var` (an attributes.Variable) over `records`, as its CDF
    variable stores them: Epoch as TT2000 int64, uint64 fields as CDF_INT8 (`_stored`)."""
    values = np.ascontiguousarray(layout.values(records, var.leaf))
    if var.name == layout.EPOCH:
        return values.view(np.int64) if values.dtype == np.uint64 else values.astype(np.int64)
    return _stored(values, var)


def _stored_fill(var):
    """The FILLVAL of a variable in its CDF type."""
    if var.leaf.dtype == np.uint64:
        return attrs.fill_value(np.int64)
    return var.fill


def file_name(product, date, data_version="01"):
    """`zelk_l1_<product>_<YYYYMMDD>_v<NN>.cdf`."""
    name = product if isinstance(product, str) else product.name
    return FILE_PATTERN.format(product=name, date=date, version=check_data_version(data_version))


def write_cdf(records, product, directory, *, parents=None, data_version="01", overwrite=False):
    """Writes `records` of `product` as ISTP CDF files into `directory`, one per UTC day of the
    records (an ISTP file holds one day), each named by its day; returns their paths ([] when
    there are no records: there is no day to name a file by).

    An existing file of the same name is refused (OutputError) unless `overwrite`; files are
    written under temporary names and appear only once all are complete."""
    from .days import write_records

    return write_records(CDFWriter, records, product, directory, parents=parents,
                         data_version=data_version, overwrite=overwrite)


# Deflate level of the file: level 1 compresses these records nearly as well as the higher
# levels (within about 3%) at twice their speed or more.
GZIP_LEVEL = 1
MAGIC = b"\xcd\xf3\x00\x01"           # a CDF of version 3
UNCOMPRESSED, COMPRESSED = b"\x00\x00\xff\xff", b"\xcc\xcc\x00\x01"
CCR, CPR, GZIP = 10, 11, 5             # record types; the GZIP compression type
COPY_BLOCK = 8 << 20

try:   # the same streams as zlib's, several times faster
    from isal.isal_zlib import compressobj
except ImportError:  # pragma: no cover - isal is a dependency; zlib is the standard fallback
    from zlib import compressobj


class CDFDay(MissionDay):
    """One CDF file being written: variables made from the record layout, records appended
    in batches (`append`) to an uncompressed CDF beside it, which `close` compresses whole
    into the file."""

    suffix = FORMATS["cdf"].suffix
    file_pattern = FILE_PATTERN
    disk_share = 1.1            # bytes on disk while writing, for a byte of records: uncompressed

    def __init__(self, path, dtype, product, filename, parents, data_version):
        pycdf = load_pycdf()
        self.path = os.fspath(path)
        # The whole file is compressed, its metadata with its records: the descriptors and
        # attribute entries of a file's few dozen variables take some 40 kB uncompressed, more
        # than a day of the smaller products holds. The CDF library compresses a whole file at
        # zlib's speed when it closes it, and writes more slowly into a file it will compress:
        # the records go into an uncompressed CDF, compressed here with the fast deflate.
        # (named as a leftover of the file being written, so that whatever removes those
        # removes it too)
        folder, base = os.path.split(os.path.abspath(self.path))
        self.raw = output.temporary(folder, base, os.getpid(), "uncompressed", ".cdf")
        self.variables = attrs.variables(product, dtype)
        mission = self.mission
        key = ("cdf", product, repr(dtype.descr), data_version, tuple(sorted(mission.items())),
               attrs.software_version())
        from_template(self.raw, key, lambda empty: _empty(empty, dtype, product, None, data_version, mission),
                      ".cdf")
        try:
            self.cdf = pycdf.CDF(self.raw)
            self.cdf.readonly(False)
            # what differs from one file to the next is set on the template's copy
            self.cdf.attrs["Logical_file_id"] = os.path.splitext(filename)[0]
            # one entry per parent file
            self.cdf.attrs["Parents"] = list(parents) if isinstance(parents, (list, tuple)) else (parents or " ")
            self.made = [(var, self.cdf[attrs.stored_name(product, var.name)]) for var in self.variables]
        except BaseException:
            output.discard(self.raw)
            raise

    def append(self, records):
        for var, v in self.made:
            v.extend(stored_values(records, var))

    def close(self):
        try:
            self.cdf.close()
            compress_whole(self.raw, self.path)
        finally:
            output.discard(self.raw)


def compress_whole(source, path, level=GZIP_LEVEL):
    """Writes the uncompressed CDF `source` as `path`, the whole file GZIP-compressed: the
    magic numbers of a compressed file, one compressed-CDF record holding the rest of the file
    as a gzip stream, then the compression-parameters record (as the CDF library writes it)."""
    import struct

    size = os.path.getsize(source)
    with open(source, "rb") as src, open(path, "wb") as out:
        magic = src.read(8)
        if magic != MAGIC + UNCOMPRESSED:
            raise ValueError(f"{source}: not an uncompressed CDF of version 3")
        out.write(MAGIC + COMPRESSED)
        out.write(bytes(32))                  # the compressed-CDF record's header, set below
        deflate = compressobj(level, 8, 31)   # deflated, as a gzip member
        stored = 0
        while block := src.read(COPY_BLOCK):
            data = deflate.compress(block)
            out.write(data)
            stored += len(data)
        data = deflate.flush()
        out.write(data)
        stored += len(data)
        out.write(struct.pack(">qiiiii", 28, CPR, GZIP, 0, 1, level))
        out.seek(8)
        out.write(struct.pack(">qiqqi", 32 + stored, CCR, 8 + 32 + stored, size - 8, 0))


def _empty(path, dtype, product, parents, data_version, mission=None):
    """Writes an empty CDF of `product`'s records: its global attributes, support variables and
    record variables (named by `attributes.stored_name`) with their attributes."""
    pycdf = load_pycdf()
    cdf = pycdf.CDF(path, "")
    try:
        variables = attrs.variables(product, dtype)
        for name, value in attrs.global_attributes(product, parents=parents, data_version=data_version,
                                                   mission=mission, dtype=dtype).items():
            cdf.attrs[name] = value
        cdf.attrs["Logical_file_id"] = " "
        supports = _support_variables(cdf, pycdf, product, variables)
        for var in variables:
            if var.name == layout.EPOCH:
                _new_epoch(cdf, pycdf, var)
            else:
                ctype = _cdf_type(pycdf, var.leaf.dtype)
                v = cdf.new(attrs.stored_name(product, var.name), type=ctype, recVary=True,
                            dims=list(var.leaf.shape) or None)
                _attributes(v, pycdf, var, ctype, product, supports)
    finally:
        cdf.close()


def _new_epoch(cdf, pycdf, var):
    tt = pycdf.const.CDF_TIME_TT2000
    v = cdf.new(layout.EPOCH, type=tt, recVary=True)
    _text(v, "CATDESC", var.catdesc)
    _text(v, "FIELDNAM", layout.EPOCH)
    _text(v, "VAR_TYPE", "support_data")
    _text(v, "UNITS", "ns")
    _text(v, "LABLAXIS", layout.EPOCH)
    _text(v, "SCALETYP", "linear")
    _text(v, "FORMAT", " ")
    _text(v, "DISPLAY_TYPE", "time_series")
    v.attrs.new("FILLVAL", data=int(attrs.fill_value(np.int64)), type=tt)
    v.attrs.new("VALIDMIN", data=_tt2000(pycdf, 1990), type=tt)
    v.attrs.new("VALIDMAX", data=_tt2000(pycdf, 2100), type=tt)
    return v


def _text(v, name, value):
    """A text attribute of variable `v`, typed outright (much faster than letting the library
    infer the type from the other variables' entries)."""
    from spacepy.pycdf import const

    v.attrs.new(name, data=str(value), type=const.CDF_CHAR)


def _tt2000(pycdf, year):
    import datetime

    return int(pycdf.lib.datetime_to_tt2000(datetime.datetime(year, 1, 1)))


def _display_type(var):
    """The DISPLAY_TYPE written for `var`, or None. ISTP checkers (spacepy's `istp`) accept
    time_series only for scalars and spectrogram only for arrays, so an array drawn otherwise
    (a waveform: time_series per channel; a histogram: image) carries none in the file, as
    support-data arrays (flags, status words) do; readers then draw it as a time series."""
    if var.display == "time_series" and not var.leaf.shape:
        return "time_series"
    if var.display == "spectrogram" and var.leaf.shape:
        return "spectrogram"
    return None


def _attributes(v, pycdf, var, ctype, product, supports):
    _text(v, "CATDESC", var.catdesc)
    _text(v, "FIELDNAM", attrs.stored_name(product, var.name))
    _text(v, "VAR_TYPE", var.var_type)
    _text(v, "DEPEND_0", layout.EPOCH)
    _text(v, "UNITS", var.units)
    _text(v, "FORMAT", var.format)
    _text(v, "SCALETYP", var.scaletyp)
    if var.notes:
        _text(v, "VAR_NOTES", var.notes)
    display = _display_type(var)
    if display:
        _text(v, "DISPLAY_TYPE", display)
    fill = _stored_fill(var)
    low, high = ((0, np.iinfo(np.int64).max) if var.leaf.dtype == np.uint64
                 else (var.validmin, var.validmax))
    v.attrs.new("FILLVAL", data=fill, type=ctype)
    v.attrs.new("VALIDMIN", data=low, type=ctype)
    v.attrs.new("VALIDMAX", data=high, type=ctype)
    for axis, (dim, size) in enumerate(zip(var.dims, var.leaf.shape), start=1):
        # Every dimension has a DEPEND_i (readers name the dimension by it): the product's
        # coordinate along it where there is one, else the dimension's index variable; the
        # coordinate itself has its labels instead (an index DEPEND on a record-varying DEPEND
        # is a dependency ISTP checkers do not follow). Few-valued dimensions have labels too
        # (LABL_PTR_i: the channel names of a waveform, the words of a status array).
        ax = supports[(dim, size)]
        if ax["coordinate"] and ax["coordinate"] != var.name:
            _text(v, f"DEPEND_{axis}", attrs.stored_name(product, ax["coordinate"]))
        elif not ax["coordinate"]:
            _text(v, f"DEPEND_{axis}", ax["index"])
        if ax["labels"]:
            _text(v, f"LABL_PTR_{axis}", ax["labels"])
    _text(v, "LABLAXIS", var.lablaxis)


def _support_variables(cdf, pycdf, product, variables):
    """The variables along each sub-array dimension: an index variable for every one that no
    coordinate lies along (the DEPEND_i of the variables along it), a label variable for the
    few-valued ones (their LABL_PTR_i) and for the one a coordinate lies along (the
    coordinate's own labels):
    {(dimension, size): {"index": name, "labels": name or None, "coordinate": name or None}}."""
    made = {}
    sizes = {}
    coordinates = attrs.coordinates(product, variables)
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
            if not coordinate:    # an index nothing depends on would be a dimension without a name
                axis["index"] = name = f"{dim}{suffix}_index"
                v = cdf.new(name, data=np.arange(size, dtype=np.int32), type=pycdf.const.CDF_INT4,
                            recVary=False)
                _text(v, "CATDESC", catdesc)
                _text(v, "FIELDNAM", name)
                _text(v, "VAR_TYPE", "support_data")
                _text(v, "UNITS", " ")
                _text(v, "FORMAT", "I6")
                _text(v, "LABLAXIS", dim)
                _text(v, "SCALETYP", "linear")
                v.attrs.new("FILLVAL", data=int(attrs.fill_value(np.int32)), type=pycdf.const.CDF_INT4)
                v.attrs.new("VALIDMIN", data=0, type=pycdf.const.CDF_INT4)
                v.attrs.new("VALIDMAX", data=max(0, size - 1), type=pycdf.const.CDF_INT4)
            if labels is not None:
                axis["labels"] = name = f"{dim}{suffix}_label"
                width = max(len(label) for label in labels)
                v = cdf.new(name, data=np.array([label.ljust(width) for label in labels], dtype=f"S{width}"),
                            type=pycdf.const.CDF_CHAR, recVary=False)
                _text(v, "CATDESC", f"Labels: {catdesc}")
                _text(v, "FIELDNAM", name)
                _text(v, "VAR_TYPE", "metadata")
                _text(v, "FORMAT", f"A{width}")
                v.attrs.new("FILLVAL", data=" ", type=pycdf.const.CDF_CHAR)
            made[key] = axis
    return made


def product_of(path):
    """The product name a CDF of ours holds (from its Logical_source)."""
    pycdf = load_pycdf()
    with pycdf.CDF(os.fspath(path)) as cdf:
        return _product_name(cdf)


def _product_name(cdf):
    source = str(cdf.attrs["Logical_source"][0]) if "Logical_source" in cdf.attrs else ""
    return source[len(layout.DAY_FILE_PREFIX):] if source.startswith(layout.DAY_FILE_PREFIX) else source


def read_cdf(path):
    """(product name, {variable name: values}) of a CDF written by `write_cdf`: the record
    variables only, named as `layout` names the fields (the file's `<product>_<name>` without
    the product, see `attributes.stored_name`), uint64 fields given back as uint64 with their
    own fill value."""
    with open_cdf(path) as day:
        return day.product, {name: day.read(name) for name in day.names}


class open_cdf:
    """A CDF written by `write_cdf`, open to read its record variables a slice at a time:
    `product`, `names` (as `read_cdf` names them), `records`, `read(name, start, stop)`; a
    context manager."""

    def __init__(self, path):
        pycdf = load_pycdf()
        self.path = os.fspath(path)
        try:
            self.cdf = pycdf.CDF(self.path)
        except Exception as exc:
            raise InputError(f"{self.path}: cannot be read as a CDF file ({exc})") from None
        try:
            self.product = _product_name(self.cdf)
            known = {v.name: v for v in attrs.variables(self.product, _layout_of(self.product))} \
                if self.product else {}
            self.variables = {}
            for stored in self.cdf:
                var = self.cdf.raw_var(stored)
                if var.rv():
                    name = attrs.field_of(self.product, stored)
                    self.variables[name] = (var, known.get(name))
            self.names = list(self.variables)
            self.records = max((len(v) for v, _ in self.variables.values()), default=0)
        except BaseException:
            self.cdf.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cdf.close()

    def attribute(self, name):
        """The entries of the global attribute `name` as text (None: no such attribute)."""
        return [str(v) for v in self.cdf.attrs[name]] if name in self.cdf.attrs else None

    def stored_names(self):
        """The names of every variable of the file, as it stores them."""
        return list(self.cdf)

    def read(self, name, start=None, stop=None):
        var, leaf = self.variables[name]
        values = var[...] if start is None and stop is None else var[start:stop]
        if name == layout.EPOCH:
            values = np.asarray(values, dtype=np.int64)
            if leaf is not None and leaf.leaf.dtype == np.uint64:
                values = values.view(np.uint64)
        elif leaf is not None and leaf.leaf.dtype == np.uint64:
            values = np.asarray(values, dtype=np.int64)
            fill = values == attrs.fill_value(np.int64)
            values = values.view(np.uint64).copy()
            values[fill] = leaf.fill
        return np.asarray(values)


def _layout_of(product):
    """The layout of the day records of `product` the installed decoder's records make (a
    layout of the epoch alone when unknown)."""
    from kesta.dravel.products import BY_NAME

    from .dayrecords import day_dtype

    p = BY_NAME.get(product)
    if p is None:
        return np.dtype([(layout.EPOCH_FIELD, "u8")])
    try:
        return day_dtype(product, p.record_dtype())
    except (LookupError, ImportError, AttributeError):  # none declared, or not installed here
        return np.dtype([(layout.EPOCH_FIELD, "u8")])



class CDFWriter(DayFilesWriter):
    """ISTP CDF files, one per product and UTC day."""

    day = CDFDay
