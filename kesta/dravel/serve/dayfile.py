"""One day file read by the HAPI server: what it holds (its HAPI parameters, from the file's own
variables and attributes) and its records.

The parameters are the file's record variables that a scientist reads (VAR_TYPE data and
support_data), under the file's own names, the time variable first. HAPI has two numeric types:
integer (signed 32 bits) and double; CDF_INT1/2/4 and CDF_UINT1/2 are integers, every other
numeric type (CDF_UINT4, CDF_INT8, CDF_FLOAT, CDF_DOUBLE) a double (exact for integers below
2**53, as the archive's counters are). A 1-D array whose DEPEND_1 (CDF) or `coordinates`
(netCDF) names another parameter of the same size has that parameter as its bins (the TNR
spectra over their band's frequencies).

A day file is opened once per request and read from that handle to the end: a file replaced
meanwhile by a newer one of the same name (the archive writes under a temporary name and
renames) leaves the open one whole. The records of small day files (a day of spectra) are kept
between requests (HeldDays), up to a byte budget, under the version of the file they were read
from.
"""
from __future__ import annotations

import os
import threading
from collections import OrderedDict
from dataclasses import dataclass, field

import numpy as np

from . import times

INTEGER_TYPES = {"int8", "int16", "int32", "uint8", "uint16"}
READ_TYPES = ("data", "support_data")


@dataclass
class Parameter:
    name: str
    type: str               # "integer" or "double"
    size: tuple             # () for a scalar
    fill: object            # the fill value in the stream's type (int or float)
    units: object           # str or None
    description: str
    bins: object = None     # the name of the parameter holding the bins' centers, or None

    @property
    def dtype(self):
        """The element type of the binary stream."""
        return np.dtype("<i4") if self.type == "integer" else np.dtype("<f8")

    def hapi(self, present):
        """The HAPI parameter, its bins only when the parameter holding them, in `present`
        ({name: Parameter}), is sent too."""
        out = {"name": self.name, "type": self.type, "units": self.units,
               "fill": fill_text(self.fill), "description": self.description}
        if self.size:
            out["size"] = list(self.size)
        if self.bins in present:
            out["bins"] = [{"name": self.bins, "units": present[self.bins].units, "centers": self.bins}]
        return out


def fill_text(fill):
    """A fill value as HAPI writes it: a string ("NaN" for NaN), or null for none."""
    if fill is None:
        return None
    if isinstance(fill, float) and np.isnan(fill):
        return "NaN"
    return str(fill)


@dataclass
class Description:
    time: str                                   # the name of the time variable
    time_description: str
    parameters: list                            # Parameters, time not included
    attributes: dict = field(default_factory=dict)   # global attributes (text)

    def parameter(self, name):
        return next((p for p in self.parameters if p.name == name), None)


def _text(value):
    if isinstance(value, (list, tuple, np.ndarray)):
        value = value[0] if len(value) else ""
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    return str(value).strip()


def _parameter(name, dtype, size, fill, attrs):
    dtype = np.dtype(dtype)
    kind = "integer" if dtype.name in INTEGER_TYPES else "double"
    fill = np.asarray(fill).reshape(-1)[0] if fill is not None else None
    if fill is None:
        stream_fill = None
    elif kind == "integer":
        stream_fill = int(fill)
    else:
        stream_fill = float(np.asarray(fill).astype(dtype))      # as the element type holds it
    units = _text(attrs.get("UNITS", attrs.get("units", ""))) or None
    description = _text(attrs.get("CATDESC", attrs.get("long_name", ""))) or name
    return Parameter(name, kind, tuple(int(s) for s in size), stream_fill, units, description)


def _bins(parameters, coordinate_of):
    by_name = {p.name: p for p in parameters}
    for p in parameters:
        ref = by_name.get(coordinate_of.get(p.name) or "")
        if len(p.size) == 1 and ref is not None and ref is not p and ref.size == p.size:
            p.bins = ref.name


# ---- CDF -------------------------------------------------------------------------------------

def _describe_cdf(cdf):
    info = cdf.cdf_info()
    names = list(info.zVariables) + list(info.rVariables)
    inq = {n: cdf.varinq(n) for n in names}
    attrs = {n: cdf.varattsget(n) for n in names}
    times = [n for n in names if inq[n].Data_Type_Description == "CDF_TIME_TT2000" and inq[n].Rec_Vary]
    depends = [_text(attrs[n].get("DEPEND_0", "")) for n in names]
    time = next((d for d in depends if d in times), times[0] if times else None)
    if time is None:
        raise ValueError("no record-varying TT2000 variable")
    parameters, coordinate_of = [], {}
    for n in names:
        v, a = inq[n], attrs[n]
        if n == time or not v.Rec_Vary or _text(a.get("VAR_TYPE", "")) not in READ_TYPES:
            continue
        if _text(a.get("DEPEND_0", time)) != time:
            continue
        dtype = _CDF_TYPES.get(v.Data_Type_Description)
        if dtype is None:
            continue
        parameters.append(_parameter(n, dtype, v.Dim_Sizes, a.get("FILLVAL"), a))
        coordinate_of[n] = _text(a.get("DEPEND_1", ""))
    _bins(parameters, coordinate_of)
    g = {k: _text(v) for k, v in cdf.globalattsget().items()}
    return Description(time, _text(attrs[time].get("CATDESC", "")) or "Time", parameters, g)


_CDF_TYPES = {"CDF_INT1": "int8", "CDF_INT2": "int16", "CDF_INT4": "int32", "CDF_INT8": "int64",
              "CDF_UINT1": "uint8", "CDF_UINT2": "uint16", "CDF_UINT4": "uint32",
              "CDF_BYTE": "int8", "CDF_REAL4": "float32", "CDF_FLOAT": "float32",
              "CDF_REAL8": "float64", "CDF_DOUBLE": "float64"}


# cdflib reads one variable at a time, process-wide. Its reads parse NumPy type strings, which
# goes through Python's compiler, and Python 3.11's compiler run from two threads at once fails
# now and then ("SystemError: AST constructor recursion depth mismatch"), cutting a response
# short. Its reads hold the interpreter lock most of the time anyway.
_CDFLIB = threading.Lock()


def _index_descriptors(cdf):
    """The names of a CDF's variables, and its reader made to find each variable's descriptor
    once: cdflib (1.3) walks the file's chained list of variable descriptors from its head for
    every varinq and varget, reading each one it passes, which for a day file of a few thousand
    records cost more than reading its values. Here the list is walked once, each descriptor
    read the first time it is asked for, and kept (the file is only read)."""
    try:
        heads = ((cdf._first_zvariable, cdf._num_zvariable), (cdf._first_rvariable, cdf._num_rvariable))
        name_and_next, descriptor = cdf._read_vdr_fast, cdf._read_vdr
    except AttributeError:      # a cdflib laid out otherwise: its own lookups, each kept
        positions = None
        info = cdf.cdf_info()
        names = set(info.zVariables) | set(info.rVariables)
    else:
        positions = {}
        for position, count in heads:
            for _ in range(count):
                name, following = name_and_next(position)
                positions.setdefault(name, position)
                position = following
        names = set(positions)
    found = {}
    lookup = cdf.vdr_info

    def vdr_info(variable):
        vdr = found.get(variable)
        if vdr is None:
            position = positions.get(variable) if positions is not None and isinstance(variable, str) else None
            vdr = found[variable] = lookup(variable) if position is None else descriptor(position)
        return vdr

    cdf.vdr_info = vdr_info     # what varinq and varget call
    return names


class _Day:
    def iso(self, name, epoch, start, stop):
        """The HAPI time strings of records [start, stop), their times `epoch` (those of the
        variable `name`)."""
        return times.iso(epoch[start:stop])


class _CDFDay(_Day):
    def __init__(self, path):
        import cdflib

        with _CDFLIB:
            self.cdf = cdflib.CDF(path)
            self.names = _index_descriptors(self.cdf)

    def describe(self):
        with _CDFLIB:
            return _describe_cdf(self.cdf)

    def has(self, name):
        return name in self.names

    def records(self, name):
        with _CDFLIB:
            return int(self.cdf.varinq(name).Last_Rec) + 1

    def nbytes(self, name):
        """The bytes of a variable's records as read."""
        with _CDFLIB:
            v = self.cdf.varinq(name)
        itemsize = np.dtype(_CDF_TYPES.get(v.Data_Type_Description, "int64")).itemsize
        return (int(v.Last_Rec) + 1) * itemsize * int(np.prod(v.Dim_Sizes, dtype=np.int64))

    def read(self, name, start, stop):
        """Records [start, stop) of a variable (cdflib drops the record axis of one record:
        the caller gives the shape back)."""
        if stop <= start:
            return None
        with _CDFLIB:
            return np.asarray(self.cdf.varget(name, startrec=start, endrec=stop - 1))

    def close(self):
        # cdflib decompresses a compressed file into a temporary file, removed when the object
        # goes: closed here, at once, even when the request that opened it was cut short
        cdf, self.cdf = self.cdf, None
        if cdf is None:
            return
        handle = getattr(cdf, "_f", None)
        if handle is not None:
            handle.close()
        temp = getattr(cdf, "temp_file", None)
        if temp is not None:
            cdf.temp_file = None
            try:
                os.remove(temp)
            except FileNotFoundError:
                pass


# ---- netCDF ----------------------------------------------------------------------------------

class _NetCDFDay(_Day):
    TIME = "Epoch"

    def __init__(self, path):
        import h5py

        self.file = h5py.File(path, "r")
        self.variables = {n: v for n, v in self.file.items()
                          if isinstance(v, h5py.Dataset) and v.maxshape[:1] == (None,) and n != "time"}
        self.names = set(self.variables)

    def describe(self):
        parameters, coordinate_of = [], {}
        for n, v in self.variables.items():
            a = dict(v.attrs)
            if n == self.TIME or _text(a.get("VAR_TYPE", "")) not in READ_TYPES or v.dtype.kind not in "iuf":
                continue
            parameters.append(_parameter(n, v.dtype, v.shape[1:], a.get("_FillValue"), a))
            others = [c for c in _text(a.get("coordinates", "")).split() if c != "time"]
            coordinate_of[n] = others[0] if others else ""
        _bins(parameters, coordinate_of)
        g = {k: _text(v) for k, v in self.file.attrs.items() if not k.startswith("_")}
        epoch = self.variables.get(self.TIME)
        if epoch is None:
            raise ValueError("no Epoch variable")
        return Description(self.TIME, _text(epoch.attrs.get("CATDESC", "")) or "Time", parameters, g)

    def has(self, name):
        return name in self.variables

    def records(self, name):
        return int(self.variables[name].shape[0])

    def nbytes(self, name):
        return int(self.variables[name].nbytes)

    def read(self, name, start, stop):
        if stop <= start:
            return None
        values = self.variables[name][start:stop]
        if name == self.TIME and values.dtype == np.uint64:
            values = values.view(np.int64)
        return values

    def close(self):
        self.file.close()


READERS = {"cdf": _CDFDay, "netcdf": _NetCDFDay}    # by the name of the day file's format


def open_day(day):
    """The open day file of a DayFile (close it)."""
    return READERS[day.kind](day.path)


class Descriptions:
    """The Description of day files, each read once per version of the file (its inode, size
    and modification time)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.known = {}

    def __call__(self, day):
        key = version(day.path)
        with self.lock:
            found = self.known.get(key)
        if found is not None:
            return found
        opened = open_day(day)
        try:
            description = opened.describe()
        finally:
            opened.close()
        with self.lock:
            for old in [k for k in self.known if k[0] == day.path]:
                del self.known[old]
            self.known[key] = description
        return description


def version(path):
    """What tells a day file from the one a rename puts in its place: its path, inode, size and
    modification time."""
    st = os.stat(path)
    return (path, st.st_ino, st.st_size, st.st_mtime_ns)


class _Held:
    """A day file's records kept in memory (read-only arrays, records first), read as an open
    day file is; `names`: every variable of the file, kept or not."""

    def __init__(self, columns, names, time):
        self.columns = columns
        self.names = frozenset(names)
        # the time strings of the records, made once
        self.stamps = times.iso(np.asarray(columns[time], dtype=np.int64).reshape(-1)) if time in columns else None
        self.time = time
        self.nbytes = sum(c.nbytes for c in columns.values()) + (self.stamps.nbytes if self.stamps is not None else 0)

    def iso(self, name, epoch, start, stop):
        if name == self.time and self.stamps is not None:
            return self.stamps[start:stop]
        return times.iso(epoch[start:stop])

    def has(self, name):
        return name in self.columns

    def records(self, name):
        return len(self.columns[name])

    def read(self, name, start, stop):
        return self.columns[name][start:stop] if stop > start else None

    def close(self):
        pass


def _records(opened, name):
    n = opened.records(name)
    values = opened.read(name, 0, n)
    values = np.zeros(0) if values is None else np.asarray(values).reshape(n, -1)
    values.setflags(write=False)      # shared by the requests
    return values


# What the server keeps of small day files' records, and the most one day file may take of it.
HELD_BYTES = 32 << 20


class HeldDays:
    """Day files as the requests read them. One asked for again (the first time, it is opened
    and read as the request goes: a long range read once, day after day, keeps nothing) whose
    records (of the time and of the Description's parameters) take at most a quarter of
    `max_bytes` is read whole and kept, the least recently read let go past `max_bytes` in all;
    bigger ones are opened for each request. A day file of another path, inode, size or
    modification time is another one: records read while the file was being replaced are
    served to that request alone, never kept. `max_bytes` 0: nothing is kept."""

    SEEN = 4096         # the versions of day files remembered as asked for once

    def __init__(self, max_bytes=HELD_BYTES):
        self.max_bytes = int(max_bytes)
        self.lock = threading.Lock()
        self.held = OrderedDict()       # version: _Held, the least recently read first
        self.total = 0
        self.seen = OrderedDict()       # version: None, asked for once

    def open(self, day, description):
        """The open day file of a DayFile (close it), or its records kept."""
        if self.max_bytes <= 0:
            return open_day(day)
        key = version(day.path)
        wanted = [description.time] + [p.name for p in description.parameters]
        with self.lock:
            found = self.held.get(key)
            # kept for another dataset's parameters (another data version's) without some of
            # these: read again, for both
            if found is not None and all(n in found.columns or n not in found.names for n in wanted):
                self.held.move_to_end(key)
                return found
            self._forget(key)
            first = found is None and key not in self.seen
            if first:
                self.seen[key] = None
                if len(self.seen) > self.SEEN:
                    self.seen.popitem(last=False)
        if first:
            return open_day(day)
        opened = open_day(day)
        try:
            names = [n for n in dict.fromkeys(wanted + list(found.columns if found else ())) if opened.has(n)]
            if not names or sum(opened.nbytes(n) for n in names) > self.max_bytes // 4:
                return opened
            held = _Held({n: _records(opened, n) for n in names}, opened.names, description.time)
        except BaseException:
            opened.close()
            raise
        opened.close()
        try:
            unchanged = version(day.path) == key
        except FileNotFoundError:
            unchanged = False
        if unchanged:
            self._keep(key, held)
        return held

    def _forget(self, key):
        """Lets go the other versions of a day file (the lock held)."""
        for old in [k for k in self.held if k[0] == key[0] and k != key]:
            self.total -= self.held.pop(old).nbytes

    def _keep(self, key, held):
        with self.lock:
            self._forget(key)
            if key in self.held:          # read meanwhile for another request
                self.total -= self.held.pop(key).nbytes
            self.held[key] = held
            self.total += held.nbytes
            while self.total > self.max_bytes:
                self.total -= self.held.popitem(last=False)[1].nbytes
