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
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, DTypeLike

from kesta.dravel.products import BY_NAME

from . import layout, output
from .errors import InputError, Interrupted, WriteError
from .results import FAILED, SKIPPED, DecodeResult, ProductResult
from .store import first_line
from .writers import Writer

LOG = "log"
TEXT_GROUPS = ("reports", "warnings")
CHUNK_BYTES = 1 << 20  # rows of about a megabyte per chunk
GZIP_LEVEL = 4  # what the dataset declares; chunks are deflated at DEFLATE_LEVEL
DEFLATE_LEVEL = 1
# Chunks being compressed or waiting to be written, at most: about a window and a half of
# records, so that the next window is decoded while the last one is still being compressed.
QUEUED_CHUNKS = 96

try:  # the same zlib streams as zlib's, several times faster
    from isal.isal_zlib import compress as deflate
except ImportError:  # pragma: no cover - isal is a dependency; zlib is the standard fallback
    from zlib import compress as deflate


def product_datasets(f: Any) -> dict[str, Any]:
    """{product: dataset} of the compound product datasets of an open L1 file."""
    # lazy: h5py (the HDF5 library, 18 ms) loads with the first file read or written, not with
    # the command line, which imports this module
    import h5py

    return {name: node for name, node in f.items() if isinstance(node, h5py.Dataset) and node.dtype.names is not None}


def texts(f: Any, group: str, product: str) -> list[str]:
    """The report or warning texts kept for `product` in an open L1 file ([] when none)."""
    node = f.get(f"{LOG}/{group}/{product}")
    if node is None:
        return []
    return [t.decode() if isinstance(t, bytes) else str(t) for t in node[()]]


class HDF5Writer(Writer):
    """Writes one L1 HDF5 file holding every product of a run, and how each ended.

    Records are cut into chunks of about a megabyte, compressed (deflate, the HDF5 library's
    own gzip filter) on every core while the caller decodes on, and written as they are.
    `interrupted()`, checked between chunks, stops the writing with Interrupted. With
    `epochs`, each product's epoch column is kept beside it too (`runs.write_epochs`), taken
    from the records as they are written."""

    def __init__(
        self,
        path: str | os.PathLike[str],
        source: str | os.PathLike[str] | None = None,
        overwrite: bool = False,
        data_version: str | int | None = None,
        interrupted: Callable[[], bool] | None = None,
        epochs: bool = False,
    ) -> None:
        # lazy: h5py (see `product_datasets`)
        import h5py

        super().__init__()
        self.path = os.fspath(path)
        self.target = output.Target(self.path, overwrite=overwrite)
        self.file = self.target.open(lambda tmp: h5py.File(tmp, "w"))
        if source is not None:
            self.file.attrs["source"] = os.path.basename(os.fspath(source))
        self.interrupted = interrupted
        self.threads = max(1, os.cpu_count() or 1)
        self.pool = ThreadPoolExecutor(self.threads, thread_name_prefix="dravel-deflate")
        self.dataset: Any = None  # the h5py dataset of the product begun last
        self.keep_epochs = epochs
        self.epochs: list[np.ndarray] = []

    def scratch(self, name: str) -> str:
        """A temporary path beside the output, for another process's part of the run."""
        folder, base = os.path.split(os.path.abspath(self.path))
        return output.temporary(folder, base, os.getpid(), name, ".h5")

    def begin(self, product: str, dtype: DTypeLike) -> Any:
        """Starts the dataset of `product`, of record layout `dtype`."""
        dtype = np.dtype(dtype)
        self.rows = max(1, CHUNK_BYTES // max(1, dtype.itemsize))
        self.dataset = self.file.create_dataset(
            product,
            shape=(0,),
            maxshape=(None,),
            dtype=dtype,
            chunks=(self.rows,),
            compression="gzip",
            compression_opts=GZIP_LEVEL,
        )
        self.pending: list[np.ndarray] = []
        self.pending_rows = 0
        self.offset = 0  # first row of the next chunk to cut
        self.extent = 0  # rows the dataset holds room for
        self.queue: deque[tuple[int, int, Future[bytes]]] = deque()  # (first row, rows, compressed bytes), in order
        self.epochs = []
        return self.dataset

    def append(self, records: ArrayLike) -> None:
        """Appends records to the dataset begun last."""
        records = np.asarray(records)
        if records.dtype != self.dataset.dtype:
            raise TypeError(
                f"records of layout {records.dtype} appended to {self.dataset.name} of layout {self.dataset.dtype}"
            )
        if not len(records):
            return
        if not self.pending_rows and records.flags.c_contiguous:
            # whole chunks straight from the records, without a copy
            whole = len(records) - len(records) % self.rows
            for start in range(0, whole, self.rows):
                self._submit(records[start : start + self.rows].view(np.uint8), self.rows)
            records = records[whole:]
            if not len(records):
                return
        self.pending.append(records)
        self.pending_rows += len(records)
        while self.pending_rows >= self.rows:
            self._cut(self.rows)

    def _cut(self, rows: int) -> None:
        """Takes the next `rows` pending records as one chunk and hands it to be compressed."""
        taken, need = [], rows
        while need:
            head = self.pending[0]
            if len(head) <= need:
                taken.append(self.pending.pop(0))
                need -= len(head)
            else:
                taken.append(head[:need])
                self.pending[0] = head[need:]
                need = 0
        self.pending_rows -= rows
        chunk = np.empty(self.rows, dtype=self.dataset.dtype)  # a chunk is always whole
        np.concatenate(taken, out=chunk[:rows])
        if rows < self.rows:
            chunk[rows:] = np.zeros(1, dtype=chunk.dtype)
        self._submit(chunk.view(np.uint8), rows)

    def _submit(self, data: np.ndarray, rows: int) -> None:
        """Hands the bytes of one whole chunk holding `rows` records to be compressed, and
        writes the chunks done in order while too many wait."""
        if self.keep_epochs and layout.EPOCH_FIELD in (self.dataset.dtype.names or ()):
            self.epochs.append(data.view(self.dataset.dtype)[:rows][layout.EPOCH_FIELD].copy())
        done = self.pool.submit(deflate, data, DEFLATE_LEVEL)
        self.queue.append((self.offset, rows, done))
        self.offset += rows
        while self.queue and (len(self.queue) > QUEUED_CHUNKS or self.queue[0][2].done()):
            self._write_next()

    def _write_next(self) -> None:
        offset, rows, future = self.queue.popleft()
        self._write_chunk(offset, rows, future.result())

    def _write_chunk(self, offset: int, rows: int, data: bytes, filter_mask: int = 0) -> None:
        if self.interrupted is not None and self.interrupted():
            raise Interrupted()
        self.target.check_space(len(data))
        try:
            if self.extent < offset + rows:
                # room for every chunk handed out so far: one resize for many chunks
                self.dataset.resize((self.offset,))
                self.extent = self.offset
            self.dataset.id.write_direct_chunk((offset,), data, filter_mask)
        except OSError as exc:
            raise WriteError(f"{self.path}: cannot be written ({output.describe(exc)})") from None

    def copy(self, source: Any, result: ProductResult, rows: int = 1 << 14) -> None:
        """Writes the product of `result` from `source`, its dataset in another L1 file: the
        compressed chunks as they are when both files cut the records alike, else `rows`
        records at a time (`Writer.copy`)."""
        self.begin(result.product, source.dtype)
        if source.chunks != (self.rows,) or source.compression != "gzip":
            return super().copy(source, result, rows)
        n = source.shape[0]
        if self.keep_epochs and n and layout.EPOCH_FIELD in (source.dtype.names or ()):
            # lazy: the chunk reader, for a run keeping epochs (see `product_datasets`)
            from .runs import ChunkRows

            self.epochs = [ChunkRows(source).field(layout.EPOCH_FIELD)]
        for offset in range(0, n, self.rows):
            filter_mask, data = source.id.read_direct_chunk((offset,))
            self.offset = min(n, offset + self.rows)
            self._write_chunk(offset, self.offset - offset, data, filter_mask)
        self.end(result)

    def _flush(self) -> None:
        if self.pending_rows:
            self._cut(self.pending_rows)
        while self.queue:
            self._write_next()

    def end(self, result: ProductResult) -> None:
        """Ends the product's dataset with what its ProductResult says; a product that failed,
        was skipped or gave no record leaves an empty dataset, with the same attributes."""
        super().end(result)
        if self.dataset is not None and result.status in (FAILED, SKIPPED):
            self._drop(result.product)
        if self.dataset is None:
            self.begin(result.product, _layout(result.product))
        self._flush()
        dataset, self.dataset = self.dataset, None
        if self.keep_epochs and layout.EPOCH_FIELD in (dataset.dtype.names or ()):
            # lazy: the chunk reader's module, for a run keeping epochs (see `product_datasets`)
            from .runs import write_epochs

            epochs = (
                np.concatenate(self.epochs) if self.epochs else np.zeros(0, dataset.dtype.fields[layout.EPOCH_FIELD][0])
            )
            if len(epochs) == dataset.shape[0]:
                write_epochs(self.file, result.product, epochs)
        self.epochs = []
        dataset.attrs["packet_type"] = result.packet_type
        dataset.attrs["packets_in"] = result.packets
        dataset.attrs["records"] = result.records
        dataset.attrs["reports"] = len(result.reports)
        dataset.attrs["warnings"] = len(result.warnings)
        dataset.attrs["status"] = result.status
        dataset.attrs["message"] = result.message
        for group, values in zip(TEXT_GROUPS, (result.reports, result.warnings)):
            if values:
                self.file.require_group(f"{LOG}/{group}").create_dataset(
                    result.product, data=np.array([str(v) for v in values], dtype=object), dtype=_string_type()
                )

    def _drop(self, product: str) -> None:
        """Removes a product begun but not ended well (its decoding failed half way)."""
        for _, _, future in self.queue:
            future.cancel()
        self.queue, self.pending, self.pending_rows = deque(), [], 0
        self.epochs = []
        if product in self.file:
            del self.file[product]
        self.dataset = None

    def commit(self) -> None:
        self.pool.shutdown(wait=True)
        self.target.commit(self.file.close)
        self.outputs = [self.path]
        for result in self.results:
            result.outputs = [self.path]

    def abort(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)
        self.target.abort(self.file.close)


def _layout(product: str) -> np.dtype:
    """The record layout of `product` for its empty dataset: the installed decoder's, or an
    epoch alone when it cannot be had."""
    try:
        return BY_NAME[product].record_dtype()
    except (LookupError, ImportError, AttributeError):  # unknown, none declared, or not installed
        return np.dtype([(layout.EPOCH_FIELD, "<u8")])


def _string_type() -> Any:
    # lazy: h5py (see `product_datasets`)
    import h5py

    return h5py.string_dtype("utf-8")


def write(result: DecodeResult, path: str | os.PathLike[str], overwrite: bool = False) -> str:
    """Writes the products of a DecodeResult whose records are kept (`data`) as an L1 file."""
    with HDF5Writer(path, result.input, overwrite=overwrite) as writer:
        for product in result.products:
            if product.data is not None:
                writer.begin(product.product, product.data.dtype)
                writer.append(product.data)
            writer.end(product)
    return os.fspath(path)


def read(path: str | os.PathLike[str]) -> dict[str, np.ndarray]:
    """{product: records} of an L1 HDF5 file."""
    # lazy: h5py (see `product_datasets`)
    import h5py

    try:
        with h5py.File(os.fspath(path), "r") as f:
            return {name: dataset[()] for name, dataset in product_datasets(f).items()}
    except OSError as exc:
        raise InputError(f"{os.fspath(path)}: cannot be read as an HDF5 file ({first_line(exc)})") from None
