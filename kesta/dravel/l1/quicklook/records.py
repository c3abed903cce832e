"""The neutral form of a product for the quick-look plots: `Records`, its variables by name
(read lazily from an L1 HDF5 file, given whole by a CDF or netCDF reader), fill values masked,
time axes; and what kind of L1 file a path holds."""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

import matplotlib.dates as mdates
import numpy as np
from numpy.typing import ArrayLike, DTypeLike

from kesta.dravel.products import BY_NAME

from .. import layout
from ..attributes import fill_value
from ..dayrecords import MEASURED_IF
from ..metadata import TABLES
from ..writers import guess_format

if TYPE_CHECKING:
    from matplotlib.axes import Axes

EPOCH = layout.EPOCH


# --------------------------------------------------------------------------------------------
# The neutral form


class Records:
    """The variables of one product's records: `take(names, rows)` gives {name: values} of the
    chosen rows, `shape(name)` the per-record shape, `len()` the number of records."""

    day: str | None = None  # YYYYMMDD of a day file's records (its plots span that UTC day)
    version: str | None = None  # the data version of the file the records come from

    def __init__(self, columns: Mapping[str, Any], product: str, packets: int | None = None) -> None:
        self._columns = dict(columns)
        self.product = product
        self.packets = packets  # packets decoded into the product, when known
        lengths = {len(v) for v in self._columns.values()}
        if len(lengths) > 1:
            raise ValueError(f"{product}: variables of different record counts {sorted(lengths)}")
        self._n = lengths.pop() if lengths else 0

    def __len__(self) -> int:
        return self._n

    def __contains__(self, name: object) -> bool:
        return name in self._columns

    def names(self) -> list[str]:
        return list(self._columns)

    def _check(self, names: Iterable[str]) -> None:
        missing = [n for n in names if n not in self]
        if missing:
            raise ValueError(f"{self.product} has no variable(s) {', '.join(missing)}")

    def shape(self, name: str) -> tuple[int, ...]:
        self._check([name])
        return tuple(self._columns[name].shape[1:])

    def take(self, names: Iterable[str], rows: Any = slice(None)) -> dict[str, Any]:
        self._check(names)
        return self._measured({n: np.asarray(self._columns[n][rows]) for n in names}, rows)

    def _measured(self, out: dict[str, Any], rows: Any) -> dict[str, Any]:
        """`out` with the values their records' own flags say were not measured at fill (as
        the day files hold them: no plot draws the zeros of a channel or spectrum that was off)."""
        flags = sorted({f for n in out if n in MEASURED_IF for f, _ in MEASURED_IF[n] if f in self and f not in out})
        have = {**out, **(self.take(flags, rows) if flags else {})}
        for name in [n for n in out if n in MEASURED_IF]:
            usable = [(f, i) for f, i in MEASURED_IF[name] if f in have and have[f].ndim == 2 and i < have[f].shape[1]]
            off = np.zeros(len(out[name]), bool)
            for f, i in usable:
                off |= have[f][:, i] == 0
            if off.any():
                out[name] = out[name].copy()
                out[name][off] = fill_value(out[name].dtype)
        return out

    def __getitem__(self, name: str) -> Any:
        return self.take([name])[name]

    @property
    def count_text(self) -> str:
        """ "N packets" of the product, or "N records" when the file does not say."""
        return f"{self.packets} packets" if self.packets is not None else f"{len(self)} records"


class HDF5Records(Records):
    """The records of one compound dataset of an L1 HDF5 file, read on demand."""

    def __init__(self, dataset: Any, product: str | None = None) -> None:
        self._dataset = dataset
        self._leaves = {leaf.name: leaf for leaf in layout.leaves(dataset.dtype)}
        self.product = product or dataset.name.lstrip("/")
        packets = dataset.attrs.get("packets_in")
        self.packets = None if packets is None else int(packets)
        self._n = len(dataset)

    def __contains__(self, name: object) -> bool:
        return name in self._leaves

    def names(self) -> list[str]:
        return list(self._leaves)

    def shape(self, name: str) -> tuple[int, ...]:
        self._check([name])
        return self._leaves[name].shape

    def take(self, names: Iterable[str], rows: Any = slice(None)) -> dict[str, Any]:
        self._check(names)
        leaves = [self._leaves[n] for n in names]
        tops = list(dict.fromkeys(leaf.path[0] for leaf in leaves))
        index, back = rows, None
        if not isinstance(rows, slice):
            rows = np.asarray(rows, dtype=np.int64)
            if rows.ndim != 1:
                raise ValueError("rows must be a slice or a one-dimensional list of record indexes")
            if rows.size and (rows.min() < 0 or rows.max() >= self._n):
                raise IndexError(f"{self.product}: record index outside 0..{self._n - 1}")
            index, back = np.unique(rows, return_inverse=True)
            if not index.size:
                part = np.zeros(0, dtype=self._dataset.dtype)[tops]
                return {leaf.name: layout.values(part, leaf) for leaf in leaves}
            index = list(index)
        part = self._dataset.fields(tops)[index]
        if part.dtype.names is None:  # a single field handed back as its plain values
            part = _as_record(part, self._dataset.dtype, tops[0])
        if back is not None:
            part = part[back]
        return self._measured({leaf.name: layout.values(part, leaf) for leaf in leaves}, rows)


# zelk_l1_<product>_<YYYYMMDD>_v<NN>.<suffix>: what a day file (and its plot) is named; a
# writer's temporary name holds it whole
DAY_FILE = re.compile(r"_(\d{8})_v(\d{2})(?:\.|$)")


def day_of(name: str) -> tuple[str | None, str | None]:
    """(YYYYMMDD, data version) of a day file or its plot (or their temporary names), named as
    the writers name them, else (None, None)."""
    found = DAY_FILE.search(os.path.basename(os.fspath(name)))
    return (found.group(1), found.group(2)) if found else (None, None)


def heading(data: Records, text: str) -> str:
    """A plot's title: its product, day and data version where known, then `text`."""
    parts = [str(data.product)]
    if data.day:
        parts.append(f"{data.day[:4]}-{data.day[4:6]}-{data.day[6:]}")
    if data.version:
        parts.append(f"v{data.version}")
    return f"{' '.join(parts)}: {text}"


def _as_record(values: np.ndarray, dtype: np.dtype, name: str) -> np.ndarray:
    out = np.empty(len(values), dtype=np.dtype([(name, dtype[name])]))
    out[name] = values
    return out


def records(data: Any, product: str | None = None) -> Records:
    """`data` as Records: Records themselves, an open HDF5 compound dataset, a record array, or
    {variable name: values} (as `layout.flatten` gives)."""
    if isinstance(data, Records):
        return data
    if hasattr(data, "id") and hasattr(data, "fields"):  # an h5py dataset
        return HDF5Records(data, product)
    if isinstance(data, np.ndarray) and data.dtype.names is not None:
        return Records(layout.flatten(data), product or "records")
    return Records(_as_layout(product, data), product or "records")


def _as_layout(product: str | None, columns: Mapping[str, ArrayLike]) -> dict[str, np.ndarray]:
    """`columns` with every variable of the product's record layout in the layout's element type
    (a reader that widened an integer type gives it back; the fill values then match again)."""
    arrays = {name: np.asarray(v) for name, v in columns.items()}
    if product is None:  # no product: no layout to take the types from
        return arrays
    try:
        leaves = {leaf.name: leaf for leaf in layout.leaves(BY_NAME[product].record_dtype())}
    except (LookupError, ImportError, AttributeError):  # unknown product, no layout, or not installed
        return arrays
    for name, values in arrays.items():
        leaf = leaves.get(name)
        if leaf is not None and values.dtype != leaf.dtype and values.dtype.kind in "iu" and leaf.dtype.kind in "iu":
            arrays[name] = values.astype(leaf.dtype)
    return arrays


# --------------------------------------------------------------------------------------------
# Values, fill values, time axes


def masked(values: Any, dtype: DTypeLike | None = None) -> Any:
    """`values` with the fill value of their element type masked."""
    values = np.asarray(values)
    return np.ma.masked_equal(values, fill_value(np.dtype(dtype or values.dtype).base))


def _date_axis(ax: Axes) -> None:
    locator = mdates.AutoDateLocator(minticks=3, maxticks=8)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def _days(times: ArrayLike) -> np.ndarray:
    """Matplotlib date numbers (days) of datetime64 values (NaN for NaT)."""
    return np.asarray(mdates.date2num(times), dtype=np.float64)


def _describe(product: str, name: str, key: str = "CATDESC") -> str:
    """What the product's metadata table says of a variable ("" when it says nothing)."""
    return str(TABLES.get(product, {}).get("variables", {}).get(name, {}).get(key, ""))


def _off(status: ArrayLike) -> np.ndarray:
    """True where a channel status flag says the channel is off (a fill value says nothing)."""
    status = masked(status)
    return np.ma.filled(status == 0, False)


# --------------------------------------------------------------------------------------------
# Files


def file_kind(path: str) -> str | None:
    """The name of the format of the L1 file `path` ("hdf5": an L1 file of compound datasets,
    "netcdf", "cdf"), or None."""
    found = guess_format(path)
    return found.name if found is not None else None
