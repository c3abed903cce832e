"""ISTP CDF files: one per product and UTC day, written and read through pycdfpp.

Every leaf field of the records is one variable (named as `layout` names it), `epoch` the
variable `Epoch` of type CDF_TIME_TT2000 holding exactly the records' values. Each other field
is stored in the CDF type of its own element type (uint8 CDF_UINT1 ... float64 CDF_DOUBLE).
CDF has no unsigned 64-bit type: uint64 fields are stored as CDF_INT8 with the same 64 bits,
and their fill value as the CDF_INT8 fill value; `read_cdf` gives them back as uint64 with the
field's own fill value, so the records come back bit for bit.

Records are written in (stable) time order, as ISTP wants Epoch to increase, one file per UTC
day of the records (an ISTP file holds one day). A product with no records gives no file.

The library makes a file whole, in memory, from its variables' values: a day file's records
are gathered variable by variable as they come, and the file made when it closes.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import struct
import threading
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pycdfpp
from isal.isal_zlib import compressobj

from kesta.dravel.products import BY_NAME, Product

from . import attributes as attrs
from . import layout
from .dayrecords import day_dtype
from .days import DayFilesWriter, MissionDay, write_records
from .errors import InputError
from .times import as_tt2000
from .writers import FORMATS, StoredVariable, check_data_version
from .writers import text_of as _first_text

FILE_PATTERN = FORMATS["cdf"].file_pattern

_TYPES = {
    "uint8": "CDF_UINT1",
    "uint16": "CDF_UINT2",
    "uint32": "CDF_UINT4",
    "uint64": "CDF_INT8",
    "int8": "CDF_INT1",
    "int16": "CDF_INT2",
    "int32": "CDF_INT4",
    "int64": "CDF_INT8",
    "float32": "CDF_FLOAT",
    "float64": "CDF_DOUBLE",
}
# the element type of each numeric CDF type's values
NUMPY_TYPES = {
    "CDF_UINT1": np.uint8,
    "CDF_UINT2": np.uint16,
    "CDF_UINT4": np.uint32,
    "CDF_INT1": np.int8,
    "CDF_BYTE": np.int8,
    "CDF_INT2": np.int16,
    "CDF_INT4": np.int32,
    "CDF_INT8": np.int64,
    "CDF_FLOAT": np.float32,
    "CDF_REAL4": np.float32,
    "CDF_DOUBLE": np.float64,
    "CDF_REAL8": np.float64,
    "CDF_TIME_TT2000": np.int64,
}
TT2000 = "CDF_TIME_TT2000"


def _cdf_type(dtype: np.dtype[Any] | type) -> Any:
    return getattr(pycdfpp.DataType, _TYPES[np.dtype(dtype).name])


def _typed(value: Any, ctype: Any) -> np.ndarray:
    """An attribute entry of one value of the CDF type `ctype`."""
    if ctype == pycdfpp.DataType.CDF_TIME_TT2000:
        return as_tt2000([value])
    return np.array([value], dtype=NUMPY_TYPES[ctype.name])


def _text(v: Any, name: str, value: object) -> None:
    v.add_attribute(name, str(value))


def _stored(values: np.ndarray, var: attrs.Variable) -> np.ndarray:
    """The values as the CDF stores them: uint64 as int64 with the same bits, its fill value
    as the CDF_INT8 one."""
    if var.leaf.dtype != np.uint64:
        return values
    stored = values.view(np.int64).copy()
    stored[values == var.fill] = attrs.fill_value(np.int64)
    return stored


def stored_values(records: np.ndarray, var: attrs.Variable) -> np.ndarray:
    """The values of the variable `var` (an attributes.Variable) over `records`, as its CDF
    variable stores them: Epoch as TT2000 int64, uint64 fields as CDF_INT8 (`_stored`)."""
    values = np.ascontiguousarray(layout.values(records, var.leaf))
    if var.name == layout.EPOCH:
        return values.view(np.int64) if values.dtype == np.uint64 else values.astype(np.int64)
    return _stored(values, var)


def _stored_fill(var: attrs.Variable) -> Any:
    """The FILLVAL of a variable in its CDF type."""
    if var.leaf.dtype == np.uint64:
        return attrs.fill_value(np.int64)
    return var.fill


def file_name(product: str | Product, date: str, data_version: str | int = "01") -> str:
    """`zelk_l1_<product>_<YYYYMMDD>_v<NN>.cdf`."""
    name = product if isinstance(product, str) else product.name
    return FILE_PATTERN.format(product=name, date=date, version=check_data_version(data_version))


def write_cdf(
    records: np.ndarray,
    product: str | Product,
    directory: str | os.PathLike[str],
    *,
    parents: str | Sequence[str] | None = None,
    data_version: str | int = "01",
    overwrite: bool = False,
) -> list[str]:
    """Writes `records` of `product` as ISTP CDF files into `directory`, one per UTC day of the
    records (an ISTP file holds one day), each named by its day; returns their paths ([] when
    there are no records: there is no day to name a file by).

    An existing file of the same name is refused (OutputError) unless `overwrite`; files are
    written under temporary names and appear only once all are complete."""
    return write_records(
        CDFWriter, records, product, directory, parents=parents, data_version=data_version, overwrite=overwrite
    )


# Deflate level of the file: level 1 compresses these records nearly as well as the higher
# levels (within about 3%) at twice their speed or more.
GZIP_LEVEL = 1
MAGIC = b"\xcd\xf3\x00\x01"  # a CDF of version 3
UNCOMPRESSED, COMPRESSED = b"\x00\x00\xff\xff", b"\xcc\xcc\x00\x01"
CCR, CPR, GZIP = 10, 11, 5  # record types; the GZIP compression type
COPY_BLOCK = 8 << 20


class CDFDay(MissionDay):
    """One CDF file being written: records appended in batches (`append`), each variable's
    values gathered as its CDF variable stores them; `close` has the library make the file from
    them, compressed whole with the fast deflate (`save_deflated`).

    The whole file is compressed, its metadata with its records: the descriptors and attribute
    entries of a file's few dozen variables take some 40 kB uncompressed, more than a day of
    the smaller products holds."""

    suffix = FORMATS["cdf"].suffix
    file_pattern = FILE_PATTERN
    templated = False  # nothing to share between files: the library makes them in memory

    def __init__(
        self,
        path: str | os.PathLike[str],
        dtype: np.dtype[Any],
        product: str,
        filename: str,
        parents: str | Sequence[str] | None,
        data_version: str,
    ) -> None:
        self.path = os.fspath(path)
        self.product, self.dtype = product, np.dtype(dtype)
        self.filename, self.data_version = filename, data_version
        # one entry per parent file
        self.parents = list(parents) if isinstance(parents, (list, tuple)) else [parents or " "]
        self.variables = attrs.variables(product, self.dtype)
        self.columns = [_Column(var) for var in self.variables]

    def reserve(self, records: int) -> None:
        """Room for `records` records in all (what the day is known to hold): each variable's
        values are then copied once, from the batches into their final place."""
        for column in self.columns:
            column.grow(records)

    def append(self, records: np.ndarray) -> None:
        for column in self.columns:
            column.append(records)

    def made(self) -> Any:
        """The file as the library holds it (pycdfpp.CDF), made from the records appended."""
        cdf = _new_file(
            self.product,
            self.dtype,
            self.variables,
            self.parents,
            self.data_version,
            self.mission,
            os.path.splitext(self.filename)[0],
        )
        supports = _support_variables(cdf, self.product, self.variables)
        for var, column in zip(self.variables, self.columns):
            # a variable's values handed over, then let go: the records are held about once
            values = column.take()
            if var.name == layout.EPOCH:
                _epoch(cdf, var, values)
            else:
                ctype = _cdf_type(var.leaf.dtype)
                # borrowed, not copied: the column is the library's until the file is saved
                v = cdf.add_variable(attrs.stored_name(self.product, var.name), values, ctype, copy=False)
                _attributes(v, var, ctype, self.product, supports)
            del values
        return cdf

    def close(self) -> None:
        size = sum(column.values[: column.n].nbytes for column in self.columns)
        save_deflated(pycdfpp.save, self.made(), self.path, piped=size >= PIPED_BYTES)


def _stored_dtype(var: attrs.Variable) -> np.dtype[Any]:
    """The element type a variable's values are stored in (uint64 as int64), in native byte
    order spelt as such ("=", not "<"): the library borrows only such arrays."""
    if var.leaf.dtype == np.uint64 or var.name == layout.EPOCH:
        return np.dtype(np.int64)
    return var.leaf.dtype.newbyteorder("=") if var.leaf.dtype.isnative else var.leaf.dtype


class _Column:
    """One variable's values over the records appended, as its CDF variable stores them
    (`stored_values`), in one array grown as needed."""

    def __init__(self, var: attrs.Variable) -> None:
        self.var, self.n = var, 0
        self.dtype = _stored_dtype(var)
        self.values: np.ndarray = np.empty((0,) + var.leaf.shape, dtype=self.dtype)

    def grow(self, records: int) -> None:
        if records > len(self.values):
            values = np.empty((records,) + self.var.leaf.shape, dtype=self.dtype)
            values[: self.n] = self.values[: self.n]
            self.values = values

    def append(self, records: np.ndarray) -> None:
        k = len(records)
        if self.n + k > len(self.values):
            self.grow(max(self.n + k, 2 * len(self.values)))
        source = layout.values(records, self.var.leaf)
        place = self.values[self.n : self.n + k]
        if source.dtype == np.uint64:  # the same bits as int64; a field's fill as CDF_INT8's
            np.copyto(place, source.view(np.int64))
            if self.var.name != layout.EPOCH:
                place[source == self.var.fill] = attrs.fill_value(np.int64)
        else:
            np.copyto(place, source, casting="same_kind" if self.var.name == layout.EPOCH else "no")
        self.n += k

    def take(self) -> np.ndarray:
        """The values (contiguous), let go here."""
        values = self.values[: self.n]
        self.values = np.empty((0,) + self.var.leaf.shape, dtype=self.dtype)
        return values


def compress_whole(source: bytes | memoryview, path: str | os.PathLike[str], level: int = GZIP_LEVEL) -> None:
    """Writes the uncompressed CDF `source` (its bytes in memory) as `path`, the whole file
    GZIP-compressed: the magic numbers of a compressed file, one compressed-CDF record holding
    the rest of the file as a gzip stream, then the compression-parameters record (as the CDF
    library writes it)."""
    data = memoryview(source).cast("B")
    at = [0]

    def read(n: int) -> memoryview:
        block = data[at[0] : at[0] + n]
        at[0] += len(block)
        return block

    _deflate_whole(read, path, level, "the CDF made")


# Where the library can be handed the write end of a pipe as a file name (Linux)
_FD_FOLDER = "/proc/self/fd"
PIPED_BYTES = 8 << 20  # a file whose values reach this size is deflated as the library writes it


def save_deflated(
    save: Callable[..., Any], cdf: Any, path: str | os.PathLike[str], level: int = GZIP_LEVEL, piped: bool = True
) -> None:
    """Saves the CDF `cdf` as `path` through the library's `save`, GZIP-compressed whole.

    `piped`: the library writes it uncompressed into a pipe from a thread of its own while this
    one deflates what comes out, so the uncompressed file is never held whole, in memory or on
    disk; else (and where there is no such pipe) it is made in memory first, which costs a
    small file less."""
    if not piped or not os.path.isdir(_FD_FOLDER):
        data = save(cdf)
        del cdf
        compress_whole(data, path, level)
        return
    read_end, write_end = os.pipe()
    with contextlib.suppress(OSError):  # a larger pipe: fewer switches between the two threads
        fcntl.fcntl(write_end, getattr(fcntl, "F_SETPIPE_SZ", 1031), COPY_BLOCK // 8)
    failed: list[BaseException] = []

    def written() -> None:
        try:
            save(cdf, f"{_FD_FOLDER}/{write_end}")
        except BaseException as exc:  # noqa: BLE001 - raised by the thread that deflates
            failed.append(exc)
        finally:
            os.close(write_end)  # the end of the file, for the deflating thread

    saving = threading.Thread(target=written, name="dravel-cdf-save", daemon=True)
    saving.start()
    reading: int | None = read_end
    try:
        with open(read_end, "rb", buffering=COPY_BLOCK) as pipe:
            reading = None
            try:
                _deflate_whole(pipe.read, path, level, "the CDF made")
            except ValueError:
                if failed:  # nothing came: the library's failure says why
                    raise failed[0] from None
                raise
    finally:
        if reading is not None:
            os.close(reading)
        # the pipe closed, a library still writing sees it broken and ends
        saving.join()
    if failed:
        raise failed[0]


def _deflate_whole(
    read: Callable[[int], bytes | memoryview], path: str | os.PathLike[str], level: int, source: object
) -> None:
    with open(path, "wb") as out:
        magic = bytes(read(8))
        if magic != MAGIC + UNCOMPRESSED:
            raise ValueError(f"{source}: not an uncompressed CDF of version 3")
        out.write(MAGIC + COMPRESSED)
        out.write(bytes(32))  # the compressed-CDF record's header, set below
        # isal's deflate: the same streams as zlib's, several times faster than the library's zlib
        deflate = compressobj(level, 8, 31)  # deflated, as a gzip member
        size, stored = len(magic), 0
        while block := read(COPY_BLOCK):
            size += len(block)
            data = deflate.compress(block)
            out.write(data)
            stored += len(data)
        data = deflate.flush()
        out.write(data)
        stored += len(data)
        out.write(struct.pack(">qiiiii", 28, CPR, GZIP, 0, 1, level))
        out.seek(8)
        out.write(struct.pack(">qiqqi", 32 + stored, CCR, 8 + 32 + stored, size - 8, 0))


def _new_file(
    product: str,
    dtype: np.dtype[Any],
    variables: Sequence[attrs.Variable],
    parents: list[str],
    data_version: str,
    mission: dict[str, str],
    logical_file_id: str,
) -> Any:
    """A new CDF (pycdfpp) of `product` with its global attributes."""
    cdf = pycdfpp.CDF()
    values = attrs.global_attributes(product, parents=parents, data_version=data_version, mission=mission, dtype=dtype)
    values["Logical_file_id"] = logical_file_id
    values["Parents"] = parents
    for key, value in values.items():
        entries = list(value) if isinstance(value, (list, tuple)) else [value]
        cdf.add_attribute(key, [str(e) for e in entries])
    return cdf


def _epoch(cdf: Any, var: attrs.Variable, values: np.ndarray) -> None:
    tt = pycdfpp.DataType.CDF_TIME_TT2000
    v = cdf.add_variable(layout.EPOCH, as_tt2000(values), tt)
    for key, value in (
        ("CATDESC", var.catdesc),
        ("FIELDNAM", layout.EPOCH),
        ("VAR_TYPE", "support_data"),
        ("UNITS", "ns"),
        ("LABLAXIS", layout.EPOCH),
        ("SCALETYP", "linear"),
        ("FORMAT", " "),
        ("DISPLAY_TYPE", "time_series"),
    ):
        _text(v, key, value)
    v.add_attribute("FILLVAL", _typed(attrs.fill_value(np.int64), tt), tt)
    v.add_attribute("VALIDMIN", np.array(["1990-01-01"], dtype="datetime64[ns]"), tt)
    v.add_attribute("VALIDMAX", np.array(["2100-01-01"], dtype="datetime64[ns]"), tt)


def _display_type(var: attrs.Variable) -> str | None:
    """The DISPLAY_TYPE written for `var`, or None. ISTP checkers (spacepy's `istp`) accept
    time_series only for scalars and spectrogram only for arrays, so an array drawn otherwise
    (a waveform: time_series per channel; a histogram: image) carries none in the file, as
    support-data arrays (flags, status words) do; readers then draw it as a time series."""
    if var.display == "time_series" and not var.leaf.shape:
        return "time_series"
    if var.display == "spectrogram" and var.leaf.shape:
        return "spectrogram"
    return None


def _attributes(
    v: Any, var: attrs.Variable, ctype: Any, product: str, supports: dict[tuple[str, int], dict[str, str | None]]
) -> None:
    for key, value in (
        ("CATDESC", var.catdesc),
        ("FIELDNAM", attrs.stored_name(product, var.name)),
        ("VAR_TYPE", var.var_type),
        ("DEPEND_0", layout.EPOCH),
        ("UNITS", var.units),
        ("FORMAT", var.format),
        ("SCALETYP", var.scaletyp),
    ):
        _text(v, key, value)
    if var.notes:
        _text(v, "VAR_NOTES", var.notes)
    display = _display_type(var)
    if display:
        _text(v, "DISPLAY_TYPE", display)
    low, high = (0, np.iinfo(np.int64).max) if var.leaf.dtype == np.uint64 else (var.validmin, var.validmax)
    v.add_attribute("FILLVAL", _typed(_stored_fill(var), ctype), ctype)
    v.add_attribute("VALIDMIN", _typed(low, ctype), ctype)
    v.add_attribute("VALIDMAX", _typed(high, ctype), ctype)
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


def _support_variables(
    cdf: Any, product: str, variables: Sequence[attrs.Variable]
) -> dict[tuple[str, int], dict[str, str | None]]:
    """The variables along each sub-array dimension: an index variable for every one that no
    coordinate lies along (the DEPEND_i of the variables along it), a label variable for the
    few-valued ones (their LABL_PTR_i) and for the one a coordinate lies along (the
    coordinate's own labels):
    {(dimension, size): {"index": name, "labels": name or None, "coordinate": name or None}}."""
    made: dict[tuple[str, int], dict[str, str | None]] = {}
    sizes: dict[str, set[int]] = {}
    coordinates = attrs.coordinates(product, variables)
    int4 = pycdfpp.DataType.CDF_INT4
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
            axis: dict[str, str | None] = {"index": None, "labels": None, "coordinate": coordinate}
            if not coordinate:  # an index nothing depends on would be a dimension without a name
                axis["index"] = name = f"{dim}{suffix}_index"
                v = cdf.add_variable(name, np.arange(size, dtype=np.int32), int4, is_nrv=True)
                for k, value in (
                    ("CATDESC", catdesc),
                    ("FIELDNAM", name),
                    ("VAR_TYPE", "support_data"),
                    ("UNITS", " "),
                    ("FORMAT", "I6"),
                    ("LABLAXIS", dim),
                    ("SCALETYP", "linear"),
                ):
                    _text(v, k, value)
                v.add_attribute("FILLVAL", _typed(attrs.fill_value(np.int32), int4), int4)
                v.add_attribute("VALIDMIN", _typed(0, int4), int4)
                v.add_attribute("VALIDMAX", _typed(max(0, size - 1), int4), int4)
            if labels is not None:
                axis["labels"] = name = f"{dim}{suffix}_label"
                width = max(len(label) for label in labels)
                v = cdf.add_variable(
                    name,
                    np.array([label.ljust(width) for label in labels], dtype=f"S{width}"),
                    pycdfpp.DataType.CDF_CHAR,
                    is_nrv=True,
                )
                for k, value in (
                    ("CATDESC", f"Labels: {catdesc}"),
                    ("FIELDNAM", name),
                    ("VAR_TYPE", "metadata"),
                    ("FORMAT", f"A{width}"),
                ):
                    _text(v, k, value)
                v.add_attribute("FILLVAL", " ", pycdfpp.DataType.CDF_CHAR)
            made[key] = axis
    return made


def product_of(path: str | os.PathLike[str]) -> str:
    """The product name a CDF of ours holds (from its Logical_source)."""
    with open_cdf(path) as day:
        return str(day.product)


def _entries(attribute: Any) -> list[Any]:
    return [attribute[i] for i in range(len(attribute))]


def read_cdf(path: str | os.PathLike[str]) -> tuple[str, dict[str, np.ndarray]]:
    """(product name, {variable name: values}) of a CDF written by `write_cdf`: the record
    variables only, named as `layout` names the fields (the file's `<product>_<name>` without
    the product, see `attributes.stored_name`), uint64 fields given back as uint64 with their
    own fill value."""
    with open_cdf(path) as day:
        return day.product, {name: day.read(name) for name in day.names}


class open_cdf:
    """A CDF of ours, open to read: its record variables a slice at a time (`product`, `names`
    as `read_cdf` names them, `records`, `read(name, start, stop)`), and every variable as the
    file stores it (`stored_variables`, `read_stored`); a context manager.

    The file is read into memory once, through one handle (a compressed one inflated there,
    never into a temporary file), and the library is given its bytes (it keeps them); each
    variable's values are decoded the first time they are asked for. Given the file's path
    instead, the library crashes the process when another file is renamed over it while it
    reads (as the archive replaces day files while the server reads them); read through one
    handle, a file replaced is read whole, as it was when opened."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._described: dict[str, StoredVariable] | None = None
        self._known: dict[str, attrs.Variable] | None = None
        try:
            with open(self.path, "rb") as f:
                self.cdf = pycdfpp.load(f.read())
            if self.cdf is None:
                raise ValueError("not a CDF file")
        except (OSError, ValueError, RuntimeError, TypeError) as exc:
            raise InputError(f"{self.path}: cannot be read as a CDF file ({exc})") from None
        try:
            entries = self.attribute("Logical_source")
            source = entries[0] if entries else ""
            prefix = layout.DAY_FILE_PREFIX
            self.product = source[len(prefix) :] if source.startswith(prefix) else source
            self.variables: dict[str, str] = {}  # field name: stored name
            for stored in self.cdf:
                if not self.cdf[stored].is_nrv:
                    self.variables[attrs.field_of(self.product, stored)] = stored
            self.names = list(self.variables)
            self.records = max((self.stored_records(s) for s in self.variables.values()), default=0)
        except (RuntimeError, ValueError, TypeError, IndexError) as exc:
            raise InputError(f"{self.path}: cannot be read as a CDF file ({exc})") from None

    def __enter__(self) -> open_cdf:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self.cdf = None

    def attribute(self, name: str) -> list[str] | None:
        """The entries of the global attribute `name` as text (None: no such attribute)."""
        if name not in self.cdf.attributes:
            return None
        return [_first_text(e) if not isinstance(e, str) else e for e in _entries(self.cdf.attributes[name])]

    def global_attributes(self) -> dict[str, str]:
        """{name: the first entry as text} of every global attribute."""
        return {name: _first_text(_entries(self.cdf.attributes[name])[:1]) for name in self.cdf.attributes}

    def stored_names(self) -> list[str]:
        """The names of every variable of the file, as it stores them."""
        return list(self.cdf)

    def stored_records(self, stored: str) -> int:
        return int(self.cdf[stored].shape[0]) if len(self.cdf[stored].shape) else 0

    def stored_variables(self) -> dict[str, StoredVariable]:
        """{stored name: StoredVariable} of the file's numeric variables along its time (record
        varying); the time variable among them with `time` true."""
        if self._described is not None:
            return self._described
        out: dict[str, StoredVariable] = {}
        self._described = out
        for stored in self.cdf:
            v = self.cdf[stored]
            dtype = NUMPY_TYPES.get(v.type.name)
            if v.is_nrv or dtype is None:
                continue
            a = {k: v.attributes[k].value for k in v.attributes}
            fill = a.get("FILLVAL")
            out[stored] = StoredVariable(
                name=stored,
                dtype=np.dtype(dtype),
                shape=tuple(int(n) for n in v.shape[1:]),
                time=v.type.name == TT2000,
                var_type=_first_text(a.get("VAR_TYPE", "")),
                depend_0=_first_text(a.get("DEPEND_0", "")) or None,
                fill=None if fill is None or v.type.name == TT2000 else np.asarray(fill).reshape(-1)[0],
                units=_first_text(a.get("UNITS", "")),
                description=_first_text(a.get("CATDESC", "")),
                coordinate=_first_text(a.get("DEPEND_1", "")) or None,
            )
        return out

    def read_stored(self, stored: str, start: int | None = None, stop: int | None = None) -> np.ndarray:
        """Records start:stop of the variable `stored`, as stored (TT2000 as int64)."""
        v = self.cdf[stored]
        if v.type.name == TT2000:
            values = np.asarray(v.values_encoded).view(np.int64)
        else:
            values = np.asarray(v.values)
        return values if start is None and stop is None else values[start:stop]

    def _leaf(self, name: str) -> attrs.Variable | None:
        """The attributes.Variable of the field `name` as the installed decoder's records have
        it (None: not known here); looked up when first needed, not when a file opens."""
        if self._known is None:
            self._known = (
                {v.name: v for v in attrs.variables(self.product, _layout_of(self.product))} if self.product else {}
            )
        return self._known.get(name)

    def read(self, name: str, start: int | None = None, stop: int | None = None) -> np.ndarray:
        stored, leaf = self.variables[name], self._leaf(name)
        values = self.read_stored(stored, start, stop)
        if leaf is not None and leaf.leaf.dtype == np.uint64:
            if name == layout.EPOCH:
                return values.view(np.uint64)
            fill = values == attrs.fill_value(np.int64)
            values = values.view(np.uint64).copy()
            values[fill] = leaf.fill  # type: ignore[call-overload]  # a numpy scalar of the leaf's type
        return values


def _layout_of(product: str) -> np.dtype[Any]:
    """The layout of the day records of `product` the installed decoder's records make (a
    layout of the epoch alone when unknown)."""
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
