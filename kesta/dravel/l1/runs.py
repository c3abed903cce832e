"""Records of an L1 HDF5 dataset read back by runs of rows, chunk by chunk.

The L1 HDF5 writer cuts a product into chunks of about a megabyte, each deflated on its own.
Reading rows back through a selection costs the HDF5 library's zlib and its per-selection work
for every read; here the chunks are read as they are stored and inflated with the fast deflate
the writer uses, each chunk once for the rows a caller takes from it (the last few are kept),
so a day's rows, a few long runs in the cache's decoder order, cost about one inflate of the
chunks holding them. Datasets written otherwise (other filters, not chunked) are read through
h5py.
"""

from __future__ import annotations

import hashlib
from collections import OrderedDict
from collections.abc import Iterator
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

try:  # the same streams as zlib's, several times faster
    from isal.isal_zlib import decompress as inflate
except ImportError:  # pragma: no cover - isal is a dependency; zlib is the standard fallback
    from zlib import decompress as inflate

KEPT_CHUNKS = 4  # inflated chunks kept for the next take
EPOCHS = "dravel_epochs"  # group of a file's epoch columns: one dataset a product, row for row


def write_epochs(f: Any, product: str, epoch: ArrayLike) -> None:
    """Keeps `product`'s epochs (every row's, in order) beside its records in the open file `f`:
    a time span of its rows is then found without inflating a record."""
    f.require_group(EPOCHS).create_dataset(product, data=np.asarray(epoch), compression="gzip", compression_opts=1)


def read_epochs(f: Any, product: str) -> np.ndarray | None:
    """`product`'s epoch column in the open file `f` (see `write_epochs`), or None when the file
    has none for it or one of another length."""
    node = f.get(f"{EPOCHS}/{product}")
    if node is None or product not in f or node.shape != (f[product].shape[0],):
        return None
    return node[()]


class ChunkRows:
    """Reads the records of one compound dataset by rows, inflating its chunks directly."""

    def __init__(self, dataset: Any) -> None:
        self.dataset = dataset
        self.dtype = dataset.dtype
        self.n = int(dataset.shape[0])
        chunks = dataset.chunks
        self.direct = (
            bool(chunks)
            and dataset.compression in ("gzip", None)
            and not dataset.shuffle
            and not dataset.fletcher32
            and dataset.scaleoffset is None
        )
        self.gzip = dataset.compression == "gzip"
        self.rows = int(chunks[0]) if chunks else max(1, self.n)
        self.kept: OrderedDict[int, np.ndarray] = OrderedDict()

    def __len__(self) -> int:
        return self.n

    def chunk(self, index: int) -> np.ndarray:
        """The records of chunk `index` (the last chunk cut to the dataset's end)."""
        if index in self.kept:
            self.kept.move_to_end(index)
            return self.kept[index]
        start = index * self.rows
        stop = min(self.n, start + self.rows)
        if self.direct:
            mask, data = self.dataset.id.read_direct_chunk((start,))
            raw = inflate(data) if self.gzip and not mask & 1 else data
            records = np.frombuffer(raw, dtype=self.dtype, count=stop - start)
        else:
            records = self.dataset[start:stop]
        self.kept[index] = records
        while len(self.kept) > KEPT_CHUNKS:
            self.kept.popitem(last=False)
        return records

    def digest(self, index: int) -> bytes:
        """A digest of chunk `index`'s records: of its bytes as stored when it is read directly
        (the same records, deflated alike, are the same bytes; no inflate), else of its records."""
        if self.direct:
            mask, data = self.dataset.id.read_direct_chunk((index * self.rows,))
            return hashlib.sha256(b"%d:" % mask + bytes(data)).digest()
        return hashlib.sha256(np.ascontiguousarray(self.chunk(index)).view(np.uint8).data).digest()

    def chunks(self) -> Iterator[tuple[int, np.ndarray]]:
        """(first row, records) of every chunk in order."""
        for index in range(-(-self.n // self.rows)):
            yield index * self.rows, self.chunk(index)

    def field(self, name: str) -> np.ndarray:
        """One field of every record (a copy, chunk by chunk: the records are not held)."""
        out = np.empty(self.n, dtype=self.dtype.fields[name][0])
        for start, records in self.chunks():
            out[start : start + len(records)] = records[name]
        return out

    def take(self, rows: ArrayLike) -> np.ndarray:
        """The records at `rows` (any order), each chunk holding some inflated once."""
        rows = np.asarray(rows, dtype=np.int64)
        out = np.empty(len(rows), dtype=self.dtype)
        if not len(rows):
            return out
        if rows.min() < 0 or rows.max() >= self.n:
            raise IndexError(f"rows outside 0..{self.n - 1} of {self.dataset.name}")
        if len(rows) > 1 and rows[-1] - rows[0] == len(rows) - 1 and np.all(np.diff(rows) == 1):
            # one run of rows (a day in decoder order): copied chunk by chunk as slices
            at, row, stop = 0, int(rows[0]), int(rows[-1]) + 1
            while row < stop:
                k = row // self.rows
                first = k * self.rows
                take = min(stop, first + self.rows) - row
                out[at : at + take] = self.chunk(k)[row - first : row - first + take]
                at, row = at + take, row + take
            return out
        index = rows // self.rows
        order = np.argsort(index, kind="stable")
        for part in np.split(order, np.flatnonzero(np.diff(index[order])) + 1):
            k = int(index[part[0]])
            out[part] = self.chunk(k)[rows[part] - k * self.rows]
        return out
