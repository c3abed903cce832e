"""Where decoded records go: one life for every format.

    writer = FORMAT(output, source=..., overwrite=..., data_version=..., interrupted=...)
    writer.begin(product, dtype); writer.append(records)...   # windows of one product
    writer.end(result)             # every product, whatever became of it
    writer.commit()                # every file in place at once; or writer.abort(): none

Opening a writer checks its output, before any decoding. A writer used as a context manager
commits when the block ends and aborts when it raises. The format is chosen once, from FORMATS.

Day files are named `<DAY_FILE_PREFIX><product>_<YYYYMMDD>_v<NN><suffix>`: `check_data_version`
says what NN is, for every command and library call alike.

Each format is one entry class (`Format`), as a reader library's backends are: it names its
files, knows them on disk (`guess`, `parse`), writes them (`writer_class`), opens one to read
(`open`), and says what a file holds beside its records (`parents`, `stored_name`, `naming`).
Nothing outside these classes asks which format a file is in.

An open day file (a context manager; `close()`) gives its records by the names `layout` gives
the fields (`product`, `names`, `records`, `read(name, start, stop)`), and every variable as
the file stores it (`stored_names()`, `stored_variables()`: {name: StoredVariable},
`stored_records(name)`, `read_stored(name, start, stop)`), its global attributes
(`attribute(name)`: the entries, `global_attributes()`: {name: text}).
"""

from __future__ import annotations

import importlib
import os
import re
from collections.abc import Iterable
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

import numpy as np
from numpy.typing import DTypeLike

from kesta.dravel.products import Product

from .errors import InputError
from .layout import DAY_FILE_PREFIX, EPOCH
from .results import FAILED, SKIPPED, ProductResult

if TYPE_CHECKING:
    from .attributes import Variable

HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"


def _magic(path: str | os.PathLike[str], size: int = 8) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(size)
    except OSError:
        return b""


def text_of(value: object) -> str:
    """An attribute's value as text: its first entry, stripped (bytes read as UTF-8)."""
    if isinstance(value, (list, tuple, np.ndarray)):
        value = value[0] if len(value) else ""
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    return str(value).strip()


@dataclass
class StoredVariable:
    """A numeric variable of a day file along its time, as the file stores it."""

    name: str  # as stored
    dtype: np.dtype  # of its values as stored
    shape: tuple  # of one record's value: () for a scalar
    time: bool  # the time variable (TT2000 epochs, int64)
    var_type: str  # data, support_data, metadata
    depend_0: str | None  # the time variable it lies along
    fill: object  # its fill value in its own element type, or None
    units: str
    description: str
    coordinate: str | None  # the variable its first sub-array dimension lies along


class Format:
    """A format of the files a run writes."""

    name = ""
    label = ""  # as a sentence names it
    writer = ""  # "module:class" of its writer
    suffix = ""  # of the files it writes
    days = False  # one file per product and UTC day (else one file for the whole run)
    media_type = "application/octet-stream"
    reader = ""  # "module:class" opening one of its files to read

    @property
    def file_pattern(self) -> str:
        """The name of a day file, to be filled with product, date (YYYYMMDD) and version."""
        return DAY_FILE_PREFIX + "{product}_{date}_v{version}" + self.suffix

    @property
    def name_pattern(self) -> re.Pattern[str]:
        """The regular expression a day file's name matches (groups product, date, version):
        ASCII digits, nothing after the suffix (not even a newline)."""
        return re.compile(
            "^" + re.escape(DAY_FILE_PREFIX) + r"(?P<product>[a-z0-9_]+)_(?P<date>\d{8})_v"
            r"(?P<version>\d{2})" + re.escape(self.suffix) + r"\Z",
            re.ASCII,
        )

    def file_name(self, product: str | Product, date: str, version: str | int = "01") -> str:
        name = product if isinstance(product, str) else product.name
        return self.file_pattern.format(product=name, date=date, version=check_data_version(version))

    def parse(self, filename: str | os.PathLike[str]) -> dict[str, str] | None:
        """{"product", "date", "version"} of a day file's name (None: not one of this format)."""
        found = self.name_pattern.match(os.path.basename(os.fspath(filename)))
        return found.groupdict() if found else None

    def guess(self, path: str | os.PathLike[str]) -> bool:
        """Whether the file `path` holds this format (by its contents, not its name alone)."""
        return False

    def writer_class(self) -> type[Any]:
        module, name = self.writer.split(":")
        return getattr(importlib.import_module(module), name)

    def open(self, path: str | os.PathLike[str]) -> Any:
        """The file `path`, open to read (a context manager); InputError when it cannot be."""
        module, name = self.reader.split(":")
        return getattr(importlib.import_module(module), name)(path)

    def read(self, path: str | os.PathLike[str]) -> tuple[str, dict[str, np.ndarray]]:
        """(product, {variable: values}) of every record variable of the file `path`."""
        with self.open(path) as day:
            return day.product, {name: day.read(name) for name in day.names}

    def parents(self, opened: Any) -> list[str]:
        """The L0 file names the `Parents` attribute of the open file gives."""
        return list(opened.attribute("Parents") or [])

    def stored_name(self, product: str, name: str) -> str:
        """The name the file stores the variable `name` (as `layout` names it) of `product` under."""
        return name

    @property
    def naming(self) -> str | None:
        """The rule naming its variables, when files of another rule are to be rewritten."""
        return None

    def named_today(self, opened: Any, product: str) -> bool:
        """Whether the open file's variables are named by today's rule."""
        return True

    def stored_type(self, dtype: DTypeLike, fill: object) -> tuple[np.dtype, object]:
        """(element type, fill value) the file stores a variable of element type `dtype` and
        fill value `fill` in."""
        return np.dtype(dtype), fill

    def stored_order(self, product: str, dtype: DTypeLike, variables: Iterable[Variable]) -> list[Variable]:
        """`variables` (attributes.Variable, of records of layout `dtype`) in the file's order."""
        return list(variables)


class HDF5Format(Format):
    """L1 HDF5 files: one compound dataset per product, for the whole run."""

    name, writer, suffix, days = "hdf5", "kesta.dravel.l1.hdf5:HDF5Writer", ".h5", False
    label = "HDF5"

    def guess(self, path: str | os.PathLike[str]) -> bool:
        return _magic(path) == HDF5_MAGIC and not NETCDF.guess(path)


class CDFFormat(Format):
    """ISTP CDF day files (`l1.cdf`), variables named `<product>_<field>`."""

    name, writer, suffix, days = "cdf", "kesta.dravel.l1.cdf:CDFWriter", ".cdf", True
    label = "CDF"
    reader = "kesta.dravel.l1.cdf:open_cdf"
    media_type = "application/x-cdf"
    MAGICS = (b"\xcd\xf3\x00\x01", b"\xcd\xf2\x60\x02", b"\x00\x00\xff\xff")

    def guess(self, path: str | os.PathLike[str]) -> bool:
        return _magic(path, 4) in self.MAGICS

    def parents(self, opened: Any) -> list[str]:
        return list(opened.attribute("Parents") or [])  # one entry a file

    def stored_name(self, product: str, name: str) -> str:
        # lazy: the variables' tables (attributes, 28 ms with the metadata tables and day
        # records), which `import kesta.dravel.l1` does not load
        from .attributes import stored_name

        return stored_name(product, name)

    @property
    def naming(self) -> str:
        # lazy: the variables' tables (see `stored_name`)
        from .attributes import NAMES

        return NAMES

    def named_today(self, opened: Any, product: str) -> bool:
        prefix = self.stored_name(product, "")
        return any(name.startswith(prefix) for name in opened.stored_names())

    def stored_type(self, dtype: DTypeLike, fill: object) -> tuple[np.dtype, object]:
        # CDF has no unsigned 64-bit type: CDF_INT8, the same bits, CDF_INT8's fill value
        if np.dtype(dtype) == np.uint64:
            # lazy: the variables' tables (see `stored_name`)
            from .attributes import fill_value

            return np.dtype(np.int64), fill_value(np.int64)
        return np.dtype(dtype), fill


class NetCDFFormat(Format):
    """netCDF-4 day files (`l1.netcdf`), variables named by the field, CF attributes."""

    name, writer, suffix, days = "netcdf", "kesta.dravel.l1.netcdf:NetCDFWriter", ".nc", True
    label = "netCDF"
    reader = "kesta.dravel.l1.netcdf:open_netcdf"
    media_type = "application/x-netcdf"

    def guess(self, path: str | os.PathLike[str]) -> bool:
        if _magic(path) != HDF5_MAGIC:
            return False
        if os.fspath(path).endswith(self.suffix):
            return True
        # lazy: h5py (the HDF5 library, 18 ms) loads with the first file read or written
        import h5py

        try:
            with h5py.File(path, "r") as f:
                return "_NCProperties" in f.attrs or ("product" in f.attrs and EPOCH in f)
        except OSError:
            return False

    def stored_order(self, product: str, dtype: DTypeLike, variables: Iterable[Variable]) -> list[Variable]:
        # the Dataset's order: its data variables first, then its coordinates
        # lazy: the Dataset's module loads the variables' tables (see CDFFormat.stored_name)
        from .dataset import described

        data_vars, coords = described(product, dtype)
        rank = {n: i for i, n in enumerate(list(data_vars) + list(coords))}
        return sorted(variables, key=lambda v: rank.get(v.name, len(rank)))

    def parents(self, opened: Any) -> list[str]:
        # one attribute, the names separated by commas
        entries = opened.attribute("Parents") or []
        return [name.strip() for text in entries for name in text.split(",") if name.strip()]


CDF, NETCDF, HDF5 = CDFFormat(), NetCDFFormat(), HDF5Format()
FORMATS = {f.name: f for f in (HDF5, CDF, NETCDF)}
DAY_FORMATS = tuple(name for name, f in FORMATS.items() if f.days)


def guess_format(path: str | os.PathLike[str]) -> Format | None:
    """The Format whose files `path` is one of (by its contents), or None."""
    return next((f for f in (CDF, NETCDF, HDF5) if f.guess(path)), None)


def day_format_of(filename: str | os.PathLike[str]) -> tuple[Format, dict[str, str]] | tuple[None, None]:
    """(Format, {"product", "date", "version"}) of a day file's name, or (None, None)."""
    for name in DAY_FORMATS:
        parsed = FORMATS[name].parse(filename)
        if parsed is not None:
            return FORMATS[name], parsed
    return None, None


def writer_for(format: str) -> type[Any]:
    """The writer class of `format`."""
    if format not in FORMATS:
        raise InputError(f"unknown format {format!r}; known: {', '.join(FORMATS)}")
    return FORMATS[format].writer_class()


def check_data_version(data_version: str | int) -> str:
    """The data version of day files as their names hold it, two digits: "1" and "01" are both
    version 01 (an int 1 too). Anything else is refused (InputError)."""
    text = str(data_version) if isinstance(data_version, int) and not isinstance(data_version, bool) else data_version
    if not (isinstance(text, str) and text.isascii() and text.isdigit() and 1 <= len(text) <= 2):
        raise InputError(f"data version {data_version!r} is not a number of one or two digits")
    return text.zfill(2)


class Writer:
    """What every writer does; a format overrides what it needs."""

    def __init__(self) -> None:
        self.outputs: list[str] = []  # files written, once committed
        self.results: list[ProductResult] = []  # the ProductResult of every product ended

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]:
        if kind is None:
            self.commit()
        else:
            self.abort()
        return False

    def begin(self, product: str, dtype: DTypeLike) -> object:
        raise NotImplementedError

    def append(self, records: np.ndarray) -> None:
        raise NotImplementedError

    def end(self, result: ProductResult) -> None:
        self.results.append(result)

    def copy(self, source: Any, result: ProductResult, rows: int = 1 << 14) -> None:
        """Writes the product of `result` from `source`, its dataset in an L1 HDF5 file."""
        self.begin(result.product, source.dtype)
        for start in range(0, len(source), rows):
            self.append(source[start : start + rows])
        self.end(result)

    def commit(self) -> None:
        pass

    def abort(self) -> None:
        pass


class MemoryWriter(Writer):
    """Keeps each product's records in its ProductResult (`data`), or only counts them."""

    def __init__(self, keep: bool = True) -> None:
        super().__init__()
        self.keep = keep
        self.parts: list[np.ndarray] = []

    def begin(self, product: str, dtype: DTypeLike) -> None:
        self.parts = []

    def append(self, records: np.ndarray) -> None:
        if self.keep:
            self.parts.append(records)

    def end(self, result: ProductResult) -> None:
        super().end(result)
        if self.keep and result.status not in (FAILED, SKIPPED) and self.parts:
            result.data = self.parts[0] if len(self.parts) == 1 else np.concatenate(self.parts)
        self.parts = []
