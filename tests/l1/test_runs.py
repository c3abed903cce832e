"""L1 HDF5 records read back by rows, chunk by chunk, and a time span merged from several files:
the same records as reading the files whole, every record once."""

import os

import h5py
import numpy as np
import pytest

from kesta.dravel.archive.tasks import day_bounds
from kesta.dravel.cli.simulate import simulate_days
from kesta.dravel.l1 import decode_file, hdf5
from kesta.dravel.l1.days import time_order
from kesta.dravel.l1.merge import SpanRecords
from kesta.dravel.l1.results import ProductResult
from kesta.dravel.l1.runs import ChunkRows, read_epochs

DAYS = ("20240301", "20240302")


@pytest.fixture(scope="module")
def small_chunks(tmp_path_factory):
    """[L1 HDF5 file] of two overlapping simulated days (twice the default content each), cut
    into chunks of 8 kB so that each product spans many chunks, the last one part full."""
    root = tmp_path_factory.mktemp("runs")
    simulate_days(root / "L0", len(DAYS), "2024-03-01", seed=7, anomalies=True, scale=2)
    paths = []
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(hdf5, "CHUNK_BYTES", 8192)
        for day in DAYS:
            paths.append(hdf5.write(decode_file(root / "L0" / f"L0_{day}.h5"), root / f"L1_{day}.h5"))
    return paths


def test_rows_read_by_chunks_are_the_rows_read_whole(small_chunks, tmp_path):
    rng = np.random.default_rng(0)
    with h5py.File(small_chunks[0], "r") as f:
        datasets = [d for d in hdf5.product_datasets(f).values() if len(d) > 3 * d.chunks[0]]
        assert datasets
        for d in datasets:
            whole, reader = d[()], ChunkRows(d)
            assert np.array_equal(reader.field("epoch"), whole["epoch"])
            n, rows = len(d), d.chunks[0]
            for wanted in (
                rng.integers(0, n, 3 * rows),  # any order, repeats
                np.arange(max(0, rows - 2), 2 * rows + 1),  # a run over chunk edges
                np.arange(n - 3, n),
                np.arange(0),
            ):  # the part-full last chunk
                assert np.array_equal(reader.take(wanted), whole[wanted]), d.name
            with pytest.raises(IndexError):
                reader.take([n])
        # a dataset the HDF5 writer did not cut (another filter) is read through the library
        records = datasets[0][()]
    with h5py.File(tmp_path / "other.h5", "w") as f:
        d = f.create_dataset("p", data=records, chunks=(5,), shuffle=True, compression="gzip")
        assert np.array_equal(ChunkRows(d).take(np.arange(len(records))[::-1]), records[::-1])


def expected(paths, product, start, stop):
    """The records of the span: each file's in it, those an earlier file holds left out, in
    stable time order; and how many were left out."""
    kept, seen, left_out = [], set(), 0
    for path in paths:
        with h5py.File(path, "r") as f:
            records = f[product][()] if product in f else None
        if records is None:
            continue
        epoch = records["epoch"].astype(np.int64)
        records = records[(epoch >= start) & (epoch < stop)]
        own = {r.tobytes() for r in records}
        taken = [r for r in records if r.tobytes() not in seen]
        left_out += len(records) - len(taken)
        kept += taken
        seen |= own
    out = np.array(kept, dtype=records.dtype) if kept else np.zeros(0, records.dtype)
    return out[time_order(out["epoch"])], left_out


def with_epochs(paths, folder):
    """The files `paths` written again keeping each product's epoch column (as cache files are)."""
    copies = []
    for path in paths:
        copy = os.path.join(folder, os.path.basename(path))
        with h5py.File(path, "r") as f, hdf5.HDF5Writer(copy, epochs=True) as writer:
            for product, dataset in hdf5.product_datasets(f).items():
                writer.begin(product, dataset.dtype)
                for start in range(0, len(dataset), 1000):
                    writer.append(dataset[start : start + 1000])
                writer.end(ProductResult(product, "", records=len(dataset)))
        copies.append(copy)
    return copies


def test_a_span_merged_from_files_holds_every_record_once_in_time_order(small_chunks, monkeypatch, tmp_path):
    import kesta.dravel.l1.merge as merge

    monkeypatch.setattr(merge, "BATCH_BYTES", 50_000)  # several batches a span
    monkeypatch.setattr(hdf5, "CHUNK_BYTES", 8192)  # cut as the files were
    indexed = with_epochs(small_chunks, tmp_path)
    repeats = 0
    with h5py.File(small_chunks[0], "r") as f:
        products = list(hdf5.product_datasets(f))
    with h5py.File(indexed[0], "r") as f:  # each product's epochs kept, row for row
        assert all(np.array_equal(read_epochs(f, p), f[p]["epoch"]) for p in products)
    for product in products:
        for day in DAYS:
            start, stop = day_bounds(day)
            want, left_out = expected(small_chunks, product, start, stop)
            span = SpanRecords(product, start, stop, small_chunks)
            try:
                got = np.concatenate(list(span.batches())) if len(span) else want[:0]
                assert got.tobytes() == want.tobytes() and span.duplicates == left_out, (product, day)
                assert np.array_equal(span.epochs, want["epoch"].astype(np.int64))
                # found through the files' epoch columns: the same records, counts and hash
                fast = SpanRecords(product, start, stop, indexed)
                try:
                    assert np.concatenate([want[:0], *fast.batches()]).tobytes() == want.tobytes()
                    assert (fast.duplicates, fast.hash) == (span.duplicates, span.hash), (product, day)
                finally:
                    fast.close()
                repeats += left_out
                # a file delivered twice adds nothing, and leaves what would be written as it was
                again = SpanRecords(product, start, stop, small_chunks + small_chunks[1:])
                assert again.hash == span.hash and len(again) == len(span)
                second = len(expected(small_chunks[1:], product, start, stop)[0])
                assert again.duplicates == span.duplicates + second
                again.close()
            finally:
                span.close()
    assert repeats  # the days share the units past midnight: some records came twice
