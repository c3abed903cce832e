"""The archive's two kinds of work, run by workers (processes of a pool, or Dask workers): the
decoding of one L0 file into its cache file, and the writing of one day file from the cache
files of the L0 files that feed its day. Each takes plain data and returns plain data; neither
touches the campaign's state, which only the campaign process writes.

A cache file is an L1 HDF5 file named by the L0 file's content hash and the software that
decoded it, complete once it carries the decode's summary (attribute `SUMMARY`): a rerun, or a
campaign resumed after it was stopped, finds it there and does not decode the file again.
"""
from __future__ import annotations

import hashlib
import json
import os

import numpy as np

from kesta.dravel.l1 import output
from kesta.dravel.l1.errors import Interrupted, failure

SUMMARY = "dravel_archive_summary"
BATCH_BYTES = 16 << 20      # records of a day read and written at a time
EPOCH = "epoch"
HASH_BLOCK = 8 << 20


def content_hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(HASH_BLOCK):
            digest.update(block)
    return digest.hexdigest()


def cache_path(cache_dir, sha256, software):
    return os.path.join(cache_dir, f"{sha256[:24]}-{software[:12]}.h5")


def _days_of(f, product):
    """{YYYYMMDD: records} of `product` in the open cache file, and how many records have no
    UTC time."""
    from kesta.dravel.l1.days import time_order
    from kesta.dravel.l1.times import utc_days

    epoch = f[product].fields(EPOCH)[()] if len(f[product]) else np.zeros(0, np.int64)
    days, no_time = {}, 0
    ordered = epoch[time_order(epoch)]
    for day, start, stop in utc_days(ordered):
        if day is None:
            no_time += stop - start
        else:
            days[day] = days.get(day, 0) + stop - start
    return days, no_time


def _time_range(f, product):
    """UTC "YYYY-MM-DDThh:mm:ssZ" of the first and last record of `product` with a time (None, None
    without), for the coverage page."""
    from kesta.dravel.l1.times import utc, valid_epoch

    tt = valid_epoch(f[product].fields(EPOCH)[()] if len(f[product]) else np.zeros(0, np.int64))
    if not tt.count():
        return None, None
    ends = utc(np.array([tt.min(), tt.max()], dtype=np.int64)).astype("datetime64[s]")
    return tuple(f"{t}Z" for t in ends)


def read_summary(cache):
    """The summary a complete cache file carries, or None."""
    import h5py

    try:
        with h5py.File(cache, "r") as f:
            text = f.attrs.get(SUMMARY)
    except (OSError, ValueError):
        return None
    if text is None:
        return None
    return json.loads(text if isinstance(text, str) else text.decode())


def _summarise(cache, result):
    """The decode of one file as plain data: per product its status, counts and the days its
    records fall on."""
    import h5py

    products = {}
    with h5py.File(cache, "r") as f:
        for p in result.products:
            entry = {"status": p.status, "message": p.message, "records": p.records,
                     "reported": len(p.reports), "warnings": len(p.warnings), "days": {}, "no_time": 0}
            if p.product in f and isinstance(f[p.product], h5py.Dataset) and \
                    f[p.product].dtype.names and EPOCH in f[p.product].dtype.names:
                entry["days"], entry["no_time"] = _days_of(f, p.product)
                entry["first"], entry["last"] = _time_range(f, p.product)
            products[p.product] = entry
    failed = [f"{name}: {e['message']}" for name, e in products.items() if e["status"] == "failed"]
    return {"status": "failed" if failed else
            ("partial" if any(e["status"] == "partial" for e in products.values()) else "ok"),
            "message": failed[0] if failed else "", "products": products,
            "notes": list(result.notes)}


def decode_file(l0_path, cache_dir, software, interrupted=None):
    """Decodes the L0 file `l0_path` into its cache file in `cache_dir` (or finds it there,
    complete); returns {size, mtime_ns, sha256, cache, status, message, products, notes}.
    Never raises but Interrupted: a file that cannot be decoded comes back `failed`."""
    import h5py

    from kesta.dravel.l1.convert import convert

    try:
        outcome, summary = _identify(l0_path, cache_dir, software)
    except OSError as exc:
        return {"status": "failed", "message": f"{l0_path}: cannot be read ({output.describe(exc)})",
                "products": {}}
    if summary is not None:
        return {**outcome, **summary}
    cache = outcome["cache"]
    tmp = output.temporary(cache_dir, os.path.basename(cache), os.getpid(), "decode", ".h5")
    output.guard(tmp)
    try:
        result = convert(l0_path, tmp, overwrite=True, interrupted=interrupted)
        summary = _summarise(tmp, result)
        with h5py.File(tmp, "r+") as f:
            f.attrs[SUMMARY] = json.dumps(summary)
        os.replace(tmp, cache)
    except Interrupted:
        raise
    except Exception as exc:
        return {**outcome, "status": "failed", "message": failure(exc), "products": {}}
    finally:
        output.discard(tmp)
    return {**outcome, **summary}


def _identify(l0_path, cache_dir, software):
    """({size, mtime_ns, sha256, cache} of the L0 file, the summary its complete cache file
    carries or None); OSError when the L0 file cannot be read."""
    stat = os.stat(l0_path)
    sha = content_hash(l0_path)
    outcome = {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns, "sha256": sha,
               "cache": cache_path(cache_dir, sha, software)}
    return outcome, read_summary(outcome["cache"])


def find_decoded(l0_path, cache_dir, software):
    """What `decode_file` returned for `l0_path`, when its complete cache file is in place (the
    task ended, though its worker was lost before it could say so); None otherwise."""
    try:
        outcome, summary = _identify(l0_path, cache_dir, software)
    except OSError:
        return None
    return None if summary is None else {**outcome, **summary}


# --------------------------------------------------------------------------------------------
# Day files


def day_bounds(day):
    """The TT2000 span [start, stop) of the UTC day YYYYMMDD."""
    import datetime

    from kesta.dravel.l1.times import pycdf

    first = datetime.datetime.strptime(day, "%Y%m%d")
    ends = [first, first + datetime.timedelta(days=1)]
    start, stop = np.asarray(pycdf().lib.v_datetime_to_tt2000(ends), dtype=np.int64)
    return int(start), int(stop)


def _rows_of_day(dataset, start, stop):
    """(rows, epochs) of the records of `dataset` in the TT2000 span [start, stop)."""
    from kesta.dravel.l1.times import valid_epoch

    if not len(dataset):
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    epoch = dataset.fields(EPOCH)[()]
    tt = valid_epoch(epoch)
    rows = np.flatnonzero(~np.ma.getmaskarray(tt) & (tt.data >= start) & (tt.data < stop))
    return rows, tt.data[rows].astype(np.int64)


def _digests(dataset, rows, batch):
    """A digest of each record of `dataset` at `rows` (its bytes), read `batch` at a time."""
    from kesta.dravel.l1.days import read_rows

    out = []
    for a in range(0, len(rows), batch):
        records = np.ascontiguousarray(read_rows(dataset, rows[a:a + batch]))
        size = records.dtype.itemsize
        view = memoryview(records.view(np.uint8).reshape(-1))
        out += [hashlib.blake2b(view[k * size:(k + 1) * size], digest_size=16).digest()
                for k in range(len(records))]
    return out


class Day:
    """The records of one product's UTC day in the cache files of the L0 files feeding it, in
    the campaign's order of files: each record that an earlier file holds byte for byte left
    out (repeats within one file are that file's own, and kept), the others in stable time
    order. Only the records' places, times and digests are held: the records themselves are
    read a batch at a time, so memory does not grow with the day."""

    def __init__(self, product, day, caches):
        import h5py

        self.product = product
        start, stop = day_bounds(day)
        self.files = [h5py.File(cache, "r") for cache in caches]
        try:
            datasets = [f[product] if product in f else None for f in self.files]
            self.datasets = datasets
            self.dtype = next(d.dtype for d in datasets if d is not None)
            self.batch = max(1, BATCH_BYTES // max(1, self.dtype.itemsize))
            owner = {}                   # record digest: the first file holding it
            source, rows, epochs, digests = [], [], [], []
            self.duplicates = 0
            for k, dataset in enumerate(datasets):
                if dataset is None:
                    continue
                if dataset.dtype != self.dtype:
                    raise ValueError(f"{caches[k]}: {product} records of another layout")
                found, times = _rows_of_day(dataset, start, stop)
                for row, epoch, digest in zip(found, times, _digests(dataset, found, self.batch)):
                    if owner.setdefault(digest, k) != k:
                        self.duplicates += 1
                        continue
                    source.append(k)
                    rows.append(row)
                    epochs.append(epoch)
                    digests.append(digest)
            order = np.argsort(np.asarray(epochs, dtype=np.int64), kind="stable")
            self.source = np.asarray(source, dtype=np.int64)[order]
            self.rows = np.asarray(rows, dtype=np.int64)[order]
            self.epochs = np.asarray(epochs, dtype=np.int64)[order]
            whole = hashlib.sha256(repr(self.dtype.descr).encode())
            for k in order:
                whole.update(digests[k])
            self.hash = whole.hexdigest()
        except BaseException:
            self.close()
            raise

    def __len__(self):
        return len(self.rows)

    def batches(self):
        """The records, in order, a batch at a time."""
        from kesta.dravel.l1.days import read_rows

        for a in range(0, len(self), self.batch):
            source, rows = self.source[a:a + self.batch], self.rows[a:a + self.batch]
            out = np.empty(len(rows), dtype=self.dtype)
            for k in np.unique(source):
                at = np.flatnonzero(source == k)
                out[at] = read_rows(self.datasets[k], rows[at])
            yield out

    def records(self):
        return np.concatenate(list(self.batches())) if len(self) else np.zeros(0, self.dtype)

    def close(self):
        for f in self.files:
            try:
                f.close()
            except Exception:
                pass
        self.files = []


def write_day_file(task):
    """Writes one day file from the cache files feeding its day, unless its records are those
    it already holds (`task["old_hash"]`, file in place). task: product, day, path, sources
    [(L0 name, cache path)], version, format, quicklook. Returns {records, duplicates, hash,
    gaps, largest_gap_s, written, plot}."""
    from .coverage import gaps

    day = Day(task["product"], task["day"], [cache for _, cache in task["sources"]])
    try:
        if not len(day):
            raise ValueError(f"{task['product']}: no record of {task['day']} in its L0 files' cache files")
        count, largest = gaps(day.epochs)
        done = {"records": len(day), "duplicates": day.duplicates, "hash": day.hash, "gaps": count,
                "largest_gap_s": largest, "written": False, "plot": None}
        path = task["path"]
        plot = os.path.splitext(path)[0] + ".png"
        if day.hash == task.get("old_hash") and os.path.exists(path):
            if os.path.exists(plot):
                done["plot"] = plot
            elif task.get("quicklook"):         # asked for now, and not made before
                done["plot"] = _plot(task["product"], day.records(), plot)
            return done
        os.makedirs(os.path.dirname(path), exist_ok=True)
        _write(task, day)
        done["written"] = True
        if task.get("quicklook"):
            done["plot"] = _plot(task["product"], day.records(), plot)
        elif os.path.exists(plot):
            os.unlink(plot)         # a plot of records the file no longer holds
        return done
    finally:
        day.close()


def _write(task, day):
    from kesta.dravel.l1.days import write_batches
    from kesta.dravel.l1.writers import writer_for

    day_class = writer_for(task["format"]).day.configured(task.get("attributes"))
    parents = [name for name, _ in task["sources"]]
    write_batches(day_class, task["path"], day.batches, task["product"], parents, task["version"])


def _plot(product, records, png):
    """The day's quick-look plot beside its file (written whole, then renamed), or None."""
    import matplotlib

    matplotlib.use("Agg")
    from kesta.dravel.l1.quicklook import _plot_one

    tmp = output.temporary(os.path.dirname(png), os.path.basename(png), os.getpid(), "plot", ".png")
    notes, failures = [], []
    made = _plot_one(product, records, tmp, notes, failures)
    if not made or not os.path.exists(tmp):
        output.discard(tmp)
        return None
    os.replace(tmp, png)
    return png
