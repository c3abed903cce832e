"""One product's records of a time span, merged from several L1 HDF5 files (an archive's day
from the cache files of the L0 files feeding it).

Files are taken in the order given. A record that an earlier file holds byte for byte is left
out (repeats within one file are that file's own, and kept); the others are given in stable
time order. Byte-identical records have the same epoch, so only the records whose epoch is in
more than one file are compared (by digest): the others are kept without a look. A file's rows
of the span are found from its epoch column when it keeps one (`runs.write_epochs`: no record
inflated), else by reading it chunk by chunk (`runs.ChunkRows`); only the records' places and
times are held, and the records are read a batch at a time when they are written.
"""

from __future__ import annotations

import hashlib
import os
from collections.abc import Iterator, Sequence

import h5py
import numpy as np
from numpy.typing import ArrayLike

from .runs import ChunkRows, read_epochs
from .times import valid_epoch

EPOCH = "epoch"
BATCH_BYTES = 16 << 20  # records read at a time


def _inside(epoch: ArrayLike, start: int, stop: int) -> tuple[np.ndarray, np.ndarray]:
    """(positions, TT2000 epochs) of the valid epochs of `epoch` in [start, stop)."""
    tt = valid_epoch(epoch)
    inside = np.flatnonzero(~np.ma.getmaskarray(tt) & (tt.data >= start) & (tt.data < stop))
    return inside.astype(np.int64), tt.data[inside].astype(np.int64)


def _digests(records: np.ndarray) -> list[bytes]:
    """A digest of each record's bytes."""
    records = np.ascontiguousarray(records)
    size = records.dtype.itemsize
    view = records.view(np.uint8).reshape(-1).data
    return [hashlib.blake2b(view[k * size : (k + 1) * size], digest_size=16).digest() for k in range(len(records))]


class SpanRecords:
    """The records of `product` with an epoch in the TT2000 span [start, stop) in the L1 HDF5
    files `paths`: `len()`, `duplicates` (records left out), `epochs` (in order), `hash` (of
    what would be written: it changes when the records do), `batches()`."""

    def __init__(self, product: str, start: int, stop: int, paths: Sequence[str | os.PathLike[str]]) -> None:
        self.product = product
        self.files = [h5py.File(path, "r") for path in paths]
        try:
            self._merge(product, start, stop, paths)
        except BaseException:
            self.close()
            raise

    def _merge(self, product: str, start: int, stop: int, paths: Sequence[str | os.PathLike[str]]) -> None:
        self.readers = [ChunkRows(f[product]) if product in f else None for f in self.files]
        present = [r for r in self.readers if r is not None]
        if not present:
            raise ValueError(f"{product}: in none of the files")
        self.dtype = present[0].dtype
        self.batch = max(1, BATCH_BYTES // max(1, self.dtype.itemsize))
        found, times, digests = [], [], []
        for f, path, reader in zip(self.files, paths, self.readers):
            rows, epochs = np.zeros(0, np.int64), np.zeros(0, np.int64)
            whole = hashlib.sha256()
            if reader is not None:
                if reader.dtype != self.dtype:
                    raise ValueError(f"{path}: {product} records of another layout")
                column = read_epochs(f, product)
                if column is not None:  # the rows of the span found without an inflate
                    rows, epochs = _inside(column, start, stop)
                    parts = self._parts(reader, rows)
                else:
                    found_rows, found_epochs, parts = [rows], [epochs], []
                    for first, records in reader.chunks():
                        at, tt = _inside(records[EPOCH], start, stop)
                        found_rows.append(at + first)
                        found_epochs.append(tt)
                        parts += self._parts(reader, at + first, records)
                    rows, epochs = np.concatenate(found_rows), np.concatenate(found_epochs)
                for part in parts:
                    whole.update(part)
            found.append(rows)
            times.append(epochs)
            digests.append(whole.digest())
        dropped = self._repeats(found, times)
        self.duplicates = sum(len(d) for d in dropped)
        whole = hashlib.sha256(repr(self.dtype.descr).encode())
        from_file: list[np.ndarray] = []  # of each record written: the file it is read from,
        kept_rows: list[np.ndarray] = []  # its row there,
        kept_epochs: list[np.ndarray] = []  # its epoch
        for k, (at, epoch, drop) in enumerate(zip(found, times, dropped)):
            if len(drop) == len(at):
                continue  # nothing of this file is written: no part of the hash
            keep = np.ones(len(at), bool)
            keep[drop] = False
            whole.update(np.array([len(at), len(drop)], np.int64).tobytes() + digests[k])
            whole.update(np.asarray(drop, np.int64).tobytes())
            from_file.append(np.full(keep.sum(), k, np.int64))
            kept_rows.append(at[keep])
            kept_epochs.append(epoch[keep])
        self.hash = whole.hexdigest()

        def cat(parts: list[np.ndarray]) -> np.ndarray:
            return np.concatenate(parts) if parts else np.zeros(0, np.int64)

        source, rows, epochs = cat(from_file), cat(kept_rows), cat(kept_epochs)
        order = np.argsort(epochs, kind="stable")
        self.source, self.rows, self.epochs = source[order], rows[order], epochs[order]

    @staticmethod
    def _parts(reader: ChunkRows, rows: np.ndarray, records: np.ndarray | None = None) -> list[bytes]:
        """Digests of the records at `rows` (in order), one a chunk holding some: a chunk taken
        whole is known by its stored bytes (`ChunkRows.digest`), the others by their records
        (`records`: the chunk already inflated, when `rows` are all in it)."""
        parts: list[bytes] = []
        if not len(rows):
            return parts
        index = rows // reader.rows
        edges = np.flatnonzero(np.diff(index)) + 1
        for at in np.split(rows, edges):
            k = int(at[0] // reader.rows)
            first = k * reader.rows
            if len(at) == min(reader.rows, reader.n - first):
                parts.append(reader.digest(k))
            else:
                chunk = records if records is not None else reader.chunk(k)
                parts.append(hashlib.sha256(np.ascontiguousarray(chunk[at - first]).view(np.uint8).data).digest())
        return parts

    def _repeats(self, found: list[np.ndarray], times: list[np.ndarray]) -> list[np.ndarray]:
        """For each file, the positions (in its rows of the span) of the records an earlier
        file holds byte for byte."""
        dropped = [np.zeros(0, np.int64) for _ in found]
        values, counts = np.unique(np.concatenate([np.unique(t) for t in times]), return_counts=True)
        shared = values[counts > 1]
        if not len(shared):
            return dropped
        owner: dict[bytes, int] = {}
        for k, (reader, at, epoch) in enumerate(zip(self.readers, found, times)):
            if reader is None:
                continue  # no rows: the product is not in the file
            candidates = np.flatnonzero(np.isin(epoch, shared))
            repeats = []
            for a in range(0, len(candidates), self.batch):
                part = candidates[a : a + self.batch]
                for position, digest in zip(part, _digests(reader.take(at[part]))):
                    if owner.setdefault(digest, k) != k:
                        repeats.append(position)
            dropped[k] = np.asarray(repeats, np.int64)
        return dropped

    def __len__(self) -> int:
        return len(self.rows)

    def batches(self) -> Iterator[np.ndarray]:
        """The records, in order, a batch at a time."""
        for a in range(0, len(self), self.batch):
            source, rows = self.source[a : a + self.batch], self.rows[a : a + self.batch]
            if source[0] == source[-1] and np.all(source == source[0]):
                yield self.readers[source[0]].take(rows)  # one file's rows: no second copy
                continue
            out = np.empty(len(rows), dtype=self.dtype)
            for k in np.unique(source):
                at = np.flatnonzero(source == k)
                out[at] = self.readers[k].take(rows[at])
            yield out

    def records(self) -> np.ndarray:
        return np.concatenate(list(self.batches())) if len(self) else np.zeros(0, self.dtype)

    def close(self) -> None:
        files, self.files = self.files, []
        for f in files:
            f.close()
