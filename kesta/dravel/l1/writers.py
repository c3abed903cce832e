"""Where decoded records go: one life for every format.

    writer = FORMAT(output, source=..., overwrite=..., data_version=..., interrupted=...)
    writer.begin(product, dtype); writer.append(records)...   # windows of one product
    writer.end(result)             # every product, whatever became of it
    writer.commit()                # every file in place at once; or writer.abort(): none

Opening a writer checks its output, before any decoding. A writer used as a context manager
commits when the block ends and aborts when it raises. The format is chosen once, from FORMATS.

Day files are named <DAY_FILE_PREFIX><product>_<YYYYMMDD>_v<NN><suffix>: `check_data_version`
says what NN is, for every command and library call alike.
"""
from __future__ import annotations

import importlib
from dataclasses import dataclass

import numpy as np

from .errors import InputError
from .layout import DAY_FILE_PREFIX
from .results import FAILED, SKIPPED


@dataclass(frozen=True)
class Format:
    name: str
    writer: str          # "module:class" of its writer
    suffix: str          # of the files it writes
    days: bool           # one file per product and UTC day (else one file for the whole run)

    @property
    def file_pattern(self):
        """The name of a day file, to be filled with product, date (YYYYMMDD) and version."""
        return DAY_FILE_PREFIX + "{product}_{date}_v{version}" + self.suffix


FORMATS = {f.name: f for f in (
    Format("hdf5", "kesta.dravel.l1.hdf5:HDF5Writer", ".h5", days=False),
    Format("cdf", "kesta.dravel.l1.cdf:CDFWriter", ".cdf", days=True),
    Format("netcdf", "kesta.dravel.l1.netcdf:NetCDFWriter", ".nc", days=True),
)}
DAY_FORMATS = tuple(name for name, f in FORMATS.items() if f.days)


def writer_for(format):
    """The writer class of `format`."""
    if format not in FORMATS:
        raise InputError(f"unknown format {format!r}; known: {', '.join(FORMATS)}")
    module, name = FORMATS[format].writer.split(":")
    return getattr(importlib.import_module(module), name)


def check_data_version(data_version):
    """The data version of day files as their names hold it, two digits: "1" and "01" are both
    version 01 (an int 1 too). Anything else is refused (InputError)."""
    text = str(data_version) if isinstance(data_version, int) and not isinstance(data_version, bool) \
        else data_version
    if not (isinstance(text, str) and text.isascii() and text.isdigit() and 1 <= len(text) <= 2):
        raise InputError(f"data version {data_version!r} is not a number of one or two digits")
    return text.zfill(2)


class Writer:
    """What every writer does; a format overrides what it needs."""

    def __init__(self):
        self.outputs = []          # files written, once committed
        self.results = []          # the ProductResult of every product ended

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        if kind is None:
            self.commit()
        else:
            self.abort()
        return False

    def begin(self, product, dtype):
        raise NotImplementedError

    def append(self, records):
        raise NotImplementedError

    def end(self, result):
        self.results.append(result)

    def copy(self, source, result, rows=1 << 14):
        """Writes the product of `result` from `source`, its dataset in an L1 HDF5 file."""
        self.begin(result.product, source.dtype)
        for start in range(0, len(source), rows):
            self.append(source[start:start + rows])
        self.end(result)

    def commit(self):
        pass

    def abort(self):
        pass


class MemoryWriter(Writer):
    """Keeps each product's records in its ProductResult (`data`), or only counts them."""

    def __init__(self, keep=True):
        super().__init__()
        self.keep = keep
        self.parts = []

    def begin(self, product, dtype):
        self.parts = []

    def append(self, records):
        if self.keep:
            self.parts.append(records)

    def end(self, result):
        super().end(result)
        if self.keep and result.status not in (FAILED, SKIPPED) and self.parts:
            result.data = self.parts[0] if len(self.parts) == 1 else np.concatenate(self.parts)
        self.parts = []
