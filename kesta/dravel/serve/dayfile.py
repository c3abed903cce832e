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
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..l1.writers import FORMATS, StoredVariable
from . import times
from .archive import DayFile

# HAPI's numeric types
HapiType = Literal["integer", "double"]
# what tells a day file from the one a rename puts in its place (`version`)
FileVersion = tuple[str, int, int, int]

INTEGER_TYPES = {"int8", "int16", "int32", "uint8", "uint16"}
READ_TYPES = ("data", "support_data")


@dataclass
class Parameter:
    name: str
    type: HapiType
    size: tuple[int, ...]  # () for a scalar
    fill: int | float | None  # the fill value in the stream's type
    units: str | None
    description: str
    bins: str | None = None  # the name of the parameter holding the bins' centers

    @property
    def dtype(self) -> np.dtype[np.int32 | np.float64]:
        """The element type of the binary stream."""
        return np.dtype("<i4") if self.type == "integer" else np.dtype("<f8")

    def hapi(self, present: Mapping[str, Parameter]) -> dict[str, Any]:
        """The HAPI parameter, its bins only when the parameter holding them, in `present`
        ({name: Parameter}), is sent too."""
        out: dict[str, Any] = {
            "name": self.name,
            "type": self.type,
            "units": self.units,
            "fill": fill_text(self.fill),
            "description": self.description,
        }
        if self.size:
            out["size"] = list(self.size)
        if self.bins is not None and self.bins in present:
            out["bins"] = [{"name": self.bins, "units": present[self.bins].units, "centers": self.bins}]
        return out


def fill_text(fill: object) -> str | None:
    """A fill value as HAPI writes it: a string ("NaN" for NaN), or null for none."""
    if fill is None:
        return None
    if isinstance(fill, float) and np.isnan(fill):
        return "NaN"
    return str(fill)


@dataclass
class Description:
    time: str  # the name of the time variable
    time_description: str
    parameters: list[Parameter]  # time not included
    attributes: dict[str, str] = field(default_factory=dict)  # global attributes (text)

    def parameter(self, name: str) -> Parameter | None:
        return next((p for p in self.parameters if p.name == name), None)


class StoredReader(Protocol):
    """A day file open to read, as its format's reader (`l1.writers.FORMATS[kind].open`) gives
    it: every variable as the file stores it, and its global attributes."""

    def stored_names(self) -> Iterable[str]: ...

    def stored_variables(self) -> dict[str, StoredVariable]: ...

    def stored_records(self, stored: str) -> int: ...

    def read_stored(self, stored: str, start: int | None = None, stop: int | None = None) -> ArrayLike: ...

    def global_attributes(self) -> dict[str, str]: ...

    def close(self) -> None: ...


class OpenDay(Protocol):
    """A day file as a request reads it: open (`_Day`), or its records kept (`_Held`)."""

    def iso(self, name: str, epoch: NDArray[np.int64], start: int, stop: int) -> NDArray[np.bytes_]: ...

    def has(self, name: str) -> bool: ...

    def records(self, name: str) -> int: ...

    def read(self, name: str, start: int, stop: int) -> NDArray[Any] | None: ...

    def close(self) -> None: ...


def _parameter(stored: StoredVariable) -> Parameter:
    """The HAPI parameter of a StoredVariable."""
    kind: HapiType = "integer" if stored.dtype.name in INTEGER_TYPES else "double"
    fill: Any = stored.fill  # a scalar of the variable's element type
    stream_fill: int | float | None
    if fill is None:
        stream_fill = None
    elif kind == "integer":
        stream_fill = int(fill)
    else:
        stream_fill = float(np.asarray(fill).astype(stored.dtype))  # as the element type holds it
    return Parameter(
        stored.name,
        kind,
        tuple(int(s) for s in stored.shape),
        stream_fill,
        (stored.units or "").strip() or None,
        (stored.description or "").strip() or stored.name,
    )


def parameters(variables: Mapping[str, StoredVariable], time: str) -> list[Parameter]:
    """The HAPI parameters of day-file variables ({stored name: StoredVariable}) along the time
    variable `time`, in their order, each 1-D array over a coordinate of its size binned by it."""
    out = [
        _parameter(v)
        for v in variables.values()
        if not v.time and v.var_type in READ_TYPES and (v.depend_0 or time) == time
    ]
    by_name = {p.name: p for p in out}
    for p in out:
        ref = by_name.get(variables[p.name].coordinate or "")
        if len(p.size) == 1 and ref is not None and ref is not p and ref.size == p.size:
            p.bins = ref.name
    return out


def describe(opened: StoredReader) -> Description:
    """The Description of an open day file (a format's reader)."""
    variables = opened.stored_variables()
    times = [v.name for v in variables.values() if v.time]
    depends = [v.depend_0 for v in variables.values()]
    time = next((d for d in depends if d in times), times[0] if times else None)
    if time is None:
        raise ValueError("no time variable")
    return Description(
        time, variables[time].description or "Time", parameters(variables, time), opened.global_attributes()
    )


class _Day:
    """A day file open to read, through its format's reader."""

    def __init__(self, opened: StoredReader) -> None:
        self.opened = opened
        self.names = frozenset(opened.stored_names())

    def describe(self) -> Description:
        return describe(self.opened)

    def iso(self, name: str, epoch: NDArray[np.int64], start: int, stop: int) -> NDArray[np.bytes_]:
        """The HAPI time strings of records [start, stop), their times `epoch` (those of the
        variable `name`)."""
        return times.iso(epoch[start:stop])

    def has(self, name: str) -> bool:
        return name in self.names

    def records(self, name: str) -> int:
        return self.opened.stored_records(name)

    def nbytes(self, name: str) -> int:
        """The bytes of a variable's records as read."""
        v = self.opened.stored_variables()[name]
        return self.records(name) * v.dtype.itemsize * int(np.prod(v.shape, dtype=np.int64))

    def read(self, name: str, start: int, stop: int) -> NDArray[Any] | None:
        """Records [start, stop) of a variable."""
        if stop <= start:
            return None
        return np.asarray(self.opened.read_stored(name, start, stop))

    def close(self) -> None:
        self.opened.close()


def open_day(day: DayFile) -> _Day:
    """The open day file of a DayFile (close it)."""
    return _Day(FORMATS[day.kind].open(day.path))


class Descriptions:
    """The Description of day files, each read once per version of the file (its inode, size
    and modification time)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.known: dict[FileVersion, Description] = {}

    def __call__(self, day: DayFile) -> Description:
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


def version(path: str) -> FileVersion:
    """What tells a day file from the one a rename puts in its place: its path, inode, size and
    modification time."""
    st = os.stat(path)
    return (path, st.st_ino, st.st_size, st.st_mtime_ns)


class _Held:
    """A day file's records kept in memory (read-only arrays, records first), read as an open
    day file is; `names`: every variable of the file, kept or not."""

    def __init__(self, columns: dict[str, NDArray[Any]], names: Iterable[str], time: str) -> None:
        self.columns = columns
        self.names = frozenset(names)
        # the time strings of the records, made once
        self.stamps = times.iso(np.asarray(columns[time], dtype=np.int64).reshape(-1)) if time in columns else None
        self.time = time
        self.nbytes = sum(c.nbytes for c in columns.values()) + (self.stamps.nbytes if self.stamps is not None else 0)

    def iso(self, name: str, epoch: NDArray[np.int64], start: int, stop: int) -> NDArray[np.bytes_]:
        if name == self.time and self.stamps is not None:
            return self.stamps[start:stop]
        return times.iso(epoch[start:stop])

    def has(self, name: str) -> bool:
        return name in self.columns

    def records(self, name: str) -> int:
        return len(self.columns[name])

    def read(self, name: str, start: int, stop: int) -> NDArray[Any] | None:
        return self.columns[name][start:stop] if stop > start else None

    def close(self) -> None:
        pass


def _records(opened: _Day, name: str) -> NDArray[Any]:
    n = opened.records(name)
    values = opened.read(name, 0, n)
    # a copy: what a reader gives may be a view of its whole file in memory
    values = np.zeros(0) if values is None else np.array(values).reshape(n, -1)
    values.setflags(write=False)  # shared by the requests
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

    SEEN = 4096  # the versions of day files remembered as asked for once

    def __init__(self, max_bytes: int = HELD_BYTES) -> None:
        self.max_bytes = int(max_bytes)
        self.lock = threading.Lock()
        self.held: OrderedDict[FileVersion, _Held] = OrderedDict()  # the least recently read first
        self.total = 0
        self.seen: OrderedDict[FileVersion, None] = OrderedDict()  # asked for once

    def open(self, day: DayFile, description: Description) -> OpenDay:
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

    def _forget(self, key: FileVersion) -> None:
        """Lets go the other versions of a day file (the lock held)."""
        for old in [k for k in self.held if k[0] == key[0] and k != key]:
            self.total -= self.held.pop(old).nbytes

    def _keep(self, key: FileVersion, held: _Held) -> None:
        with self.lock:
            self._forget(key)
            if key in self.held:  # read meanwhile for another request
                self.total -= self.held.pop(key).nbytes
            self.held[key] = held
            self.total += held.nbytes
            while self.total > self.max_bytes:
                self.total -= self.held.popitem(last=False)[1].nbytes
