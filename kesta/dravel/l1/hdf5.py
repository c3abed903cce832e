"""The L1 HDF5 file: one compound dataset ``/<product>`` per product (nested records and
sub-arrays kept), with attributes ``packet_type``, ``packets_in``, ``reports``, ``warnings`` and
``status``; the texts of the reports and warnings are kept beside the products, in
``/log/reports/<product>`` and ``/log/warnings/<product>`` (one string per unit).

Products are appended in pieces to chunked, resizable datasets, so a product need not be in
memory whole; the file is written under a temporary name in the destination folder and appears
under its own name only once complete.
"""
from __future__ import annotations

import os

import numpy as np

from . import output
from .store import first_line

LOG = "log"
TEXT_GROUPS = ("reports", "warnings")
CHUNK_BYTES = 1 << 20     # rows of about a megabyte per chunk
GZIP_LEVEL = 4


def product_datasets(f):
    """{product: dataset} of the compound product datasets of an open L1 file."""
    import h5py

    return {name: node for name, node in f.items()
            if isinstance(node, h5py.Dataset) and node.dtype.names is not None}


def texts(f, group, product):
    """The report or warning texts kept for `product` in an open L1 file ([] when none)."""
    node = f.get(f"{LOG}/{group}/{product}")
    if node is None:
        return []
    return [t.decode() if isinstance(t, bytes) else str(t) for t in node[()]]


class L1Writer:
    """Writes one L1 HDF5 file: `begin`, `append`... `end` per product, then `commit` (or
    `abort`, which leaves nothing behind). Use as a context manager: leaving it on an
    exception aborts."""

    def __init__(self, path, source=None):
        import h5py

        self.path = os.fspath(path)
        self.target = output.Target(self.path)
        self.file = self.target.open(lambda tmp: h5py.File(tmp, "w"))
        if source is not None:
            self.file.attrs["source"] = os.path.basename(os.fspath(source))
        self.dataset = None

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        if kind is None:
            self.commit()
        else:
            self.abort()
        return False

    def begin(self, product, dtype):
        """Starts the dataset of `product`, of record layout `dtype`."""
        dtype = np.dtype(dtype)
        rows = max(1, CHUNK_BYTES // max(1, dtype.itemsize))
        self.dataset = self.file.create_dataset(product, shape=(0,), maxshape=(None,), dtype=dtype,
                                                chunks=(rows,), compression="gzip",
                                                compression_opts=GZIP_LEVEL, shuffle=True)
        return self.dataset

    def append(self, records):
        """Appends records to the dataset begun last."""
        records = np.ascontiguousarray(records)
        n = len(records)
        if not n:
            return
        start = self.dataset.shape[0]
        self.dataset.resize((start + n,))
        self.dataset.write_direct(records, dest_sel=np.s_[start:start + n])
        self.target.check_space()

    def end(self, result):
        """Ends the product's dataset with what its ProductResult says."""
        dataset, self.dataset = self.dataset, None
        dataset.attrs["packet_type"] = result.packet_type
        dataset.attrs["packets_in"] = result.packets
        dataset.attrs["reports"] = len(result.reports)
        dataset.attrs["warnings"] = len(result.warnings)
        dataset.attrs["status"] = result.status
        for group, values in zip(TEXT_GROUPS, (result.reports, result.warnings)):
            if values:
                self.file.require_group(f"{LOG}/{group}").create_dataset(
                    result.product, data=np.array([str(v) for v in values], dtype=object),
                    dtype=_string_type())

    def write(self, result):
        """Writes a product whose records are all in `result.data`."""
        self.begin(result.product, result.data.dtype)
        self.append(result.data)
        self.end(result)

    def drop(self, product):
        """Removes a product begun but not ended (its decoding failed half way)."""
        if product in self.file:
            del self.file[product]
        self.dataset = None

    def commit(self):
        self.target.commit(self.file.close)

    def abort(self):
        self.target.abort(self.file.close)


def _string_type():
    import h5py

    return h5py.string_dtype("utf-8")


def write(result, path):
    """Writes the products of a DecodeResult whose records are kept (`data`) as an L1 file."""
    with L1Writer(path, result.input) as writer:
        for product in result.products:
            if product.data is not None:
                writer.write(product)
    return os.fspath(path)


def read(path):
    """{product: records} of an L1 HDF5 file."""
    import h5py

    try:
        with h5py.File(os.fspath(path), "r") as f:
            return {name: dataset[()] for name, dataset in product_datasets(f).items()}
    except OSError as exc:
        from .errors import InputError

        raise InputError(f"{os.fspath(path)}: cannot be read as an HDF5 file ({first_line(exc)})") from None
