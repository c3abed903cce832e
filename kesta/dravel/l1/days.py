"""Day files (one per product and UTC day: ISTP CDF, netCDF), written from a run's records.

Records arrive window by window, not in time order across windows, and a product's records
spread over days. The writer keeps them in an L1 HDF5 file of its own beside the outputs (the
run's intermediate, compressed as the L1 HDF5 file is) and each product's epochs in memory (8
bytes a record). Once the run is decoded, each (product, day) file is written from the
intermediate: its rows read back in stable time order, in batches, so memory depends on the
batch, not on the product or the day. The files are written by worker processes, one per core,
each file under a temporary name; all of them appear once every one is complete, or none.
"""
from __future__ import annotations

import os
import tempfile
import time

import numpy as np

from . import output
from .errors import Interrupted, OutputError, WriteError
from .results import FAILED, SKIPPED
from .runs import ChunkRows
from .store import first_line
from .layout import EPOCH_FIELD
from .writers import Writer, check_data_version

BATCH_BYTES = 16 << 20      # records read back and appended to a day file at a time


def time_order(epoch):
    """The stable permutation putting TT2000 `epoch` in increasing time, those with no UTC
    time (fill values) last."""
    from .times import valid_epoch

    tt = valid_epoch(epoch)
    key = tt.filled(np.iinfo(np.int64).max)
    if len(key) < 2 or np.all(key[1:] >= key[:-1]):
        return np.arange(len(key))
    return np.argsort(key, kind="stable")


class MissionDay:
    """What every format's day file takes from the archive: the global attributes its mission
    sets (`mission`, over the defaults)."""
    mission = {}        # the global attributes an archive sets (`configured`)

    @classmethod
    def configured(cls, mission):
        """The class writing files with the global attributes `mission` sets over the defaults
        (`metadata.mission_attributes`)."""
        if not mission:
            return cls
        return type(cls.__name__, (cls,), {"mission": dict(mission)})


class DayFilesWriter(Writer):
    """Writes one file per product and UTC day into a folder; a format gives `day`, the class
    of one file being written (made with the path, record layout, product, file name, parents
    and data version; `append(records)`, `close()`; `suffix` and `file_pattern`)."""

    day = None

    def __init__(self, folder, source=None, overwrite=False, data_version="01", interrupted=None,
                 workers=None, parents=None, create=True):
        from .hdf5 import HDF5Writer

        super().__init__()
        data_version = check_data_version(data_version)
        self.folder = os.fspath(folder)
        output.check_folder(self.folder, create=create)
        self.parents = parents or (os.path.basename(os.fspath(source)) if source else None)
        self.overwrite, self.data_version, self.interrupted = overwrite, data_version, interrupted
        self.workers = workers or min(2, os.cpu_count() or 1)
        self.part = self.scratch("records")
        output.guard(self.part)
        self.records = HDF5Writer(self.part, overwrite=True, interrupted=interrupted)
        self.epochs, self.product = {}, None
        self.targets = []

    def scratch(self, name):
        return output.temporary(self.folder, ".run", os.getpid(), name, ".h5")

    def _label(self):
        """How the user knows the files of the product being written."""
        return os.path.join(self.folder, self.day.file_pattern.format(
            product=self.product or "*", date="*", version=self.data_version))

    def _guarded(self, call, *args):
        """`call(*args)` on the intermediate, its failures naming the files asked for."""
        try:
            return call(*args)
        except OutputError as exc:
            raise type(exc)(str(exc).replace(self.records.path, self._label())) from None

    def begin(self, product, dtype):
        self.product = product
        self.epochs[product] = []
        self._guarded(self.records.begin, product, dtype)

    def append(self, records):
        self.epochs[self.product].append(np.asarray(records[EPOCH_FIELD]).copy())
        self._guarded(self.records.append, records)

    def copy(self, source, result):
        self.product = result.product
        self.epochs[result.product] = [ChunkRows(source).field(EPOCH_FIELD)] if len(source) else []
        self._guarded(self.records.copy, source, result)
        super().end(result)

    def end(self, result):
        super().end(result)
        self.product = result.product
        self._guarded(self.records.end, result)

    def commit(self):
        """Writes every day file, then puts them all in place."""
        try:
            self._guarded(self.records.commit)
            tasks = self._plan()
            run_tasks(tasks, self.workers, self.interrupted)
            for target in self.targets:
                target.commit()
                output.guard(target.path)        # gone too should the run be cut short now
        except BaseException:
            self.abort()
            raise
        finally:
            self._remove_part()
        self.outputs = [t.path for t in self.targets]
        for t in self.targets:
            output.unguard(t.path)

    def _plan(self):
        """The day files to write, their targets checked: [task]."""
        from .times import utc_days

        tasks = []
        by_product = {r.product: r for r in self.results}
        for result in self.results:
            result.outputs = []          # its day files, not the intermediate that held them
        for product, parts in self.epochs.items():
            result = by_product.get(product)
            if result is None or result.status in (FAILED, SKIPPED) or not parts:
                continue
            epoch = np.concatenate(parts)
            if not len(epoch):
                continue
            order = time_order(epoch)
            for date, start, stop in utc_days(epoch[order]):
                if date is None:
                    result.warnings.append(f"{stop - start} record(s) without a UTC time are in no day file")
                    continue
                path = os.path.join(self.folder, self.day.file_pattern.format(
                    product=product, date=date, version=self.data_version))
                target = output.Target(path, overwrite=self.overwrite, suffix=self.day.suffix)
                output.guard(target.tmp)         # written by a worker, removed by this process
                rows = order[start:stop]
                self.targets.append(target)
                result.outputs.append(path)
                tasks.append({"records": self.records.path, "product": product, "rows": rows,
                              "path": path, "tmp": target.tmp, "parents": self.parents,
                              "version": self.data_version, "format": type(self).__module__,
                              "writer": type(self).__name__})
        return tasks

    def abort(self):
        self.records.abort()
        for target in self.targets:
            target.abort()
            output.unguard(target.path)
        self._remove_part()

    def _remove_part(self):
        output.discard(self.part)


_templates = {}      # key: (when made, bytes): what `template` made
TEMPLATE_SECONDS = 60.0     # a template older than this is made again


def template(key, make, suffix):
    """The bytes of an empty day file made by `make(path)` (its metadata: writing it costs far
    more than copying it), made once per `key` (product, layout, parents, data version...) and
    again once older than TEMPLATE_SECONDS: a process that lives across runs (a Dask worker)
    never stamps a day file with the Generation_date of a template made for an earlier run."""
    made = _templates.get(key)
    if made is None or time.monotonic() - made[0] > TEMPLATE_SECONDS:
        with tempfile.TemporaryDirectory(prefix="dravel-day-") as folder:
            path = os.path.join(folder, "template" + suffix)
            make(path)
            with open(path, "rb") as f:
                made = _templates[key] = (time.monotonic(), f.read())
    return made[1]


def from_template(path, key, make, suffix):
    """Starts the day file `path` as a copy of its template."""
    with open(path, "wb") as f:
        f.write(template(key, make, suffix))


def write_day(task, tries=2):
    """Writes one day file (its temporary name) from the run's intermediate records."""
    retried(lambda: _write_day(task), task["path"], tries)


def retried(write, path, tries=2):
    """`write()` of the file `path`; a file the libraries fail to make (not for want of space)
    is made again from the start, once: the CDF library has been seen, rarely and under load,
    to fail on a fresh copy of its template."""
    for attempt in range(tries):
        try:
            return write()
        except OutputError:
            raise                      # no space, or a place that cannot be written
        except Interrupted:
            raise
        except Exception as exc:
            if attempt + 1 < tries:
                continue
            why = output.describe(exc) if isinstance(exc, OSError) and exc.errno else \
                f"{type(exc).__name__}: {first_line(exc)}"
            raise WriteError(f"{path}: cannot be written ({why})") from None


def _write_day(task):
    import importlib

    import h5py

    writer = getattr(importlib.import_module(task["format"]), task["writer"])
    rows = np.asarray(task["rows"], dtype=np.int64)
    target = output.Target.adopt(task["path"], task["tmp"])
    with h5py.File(task["records"], "r") as f:
        dataset = ChunkRows(f[task["product"]])
        batch = max(1, BATCH_BYTES // max(1, dataset.dtype.itemsize))
        batches = (dataset.take(rows[start:start + batch]) for start in range(0, len(rows), batch))
        fill(writer.day, target, batches, task["product"], task["parents"], task["version"])


def fill(day_class, target, batches, product, parents, version):
    """Writes the records of `batches` (one at least) into the temporary file of `target`."""
    day = None
    try:
        for records in batches:
            target.check_space(int(records.nbytes * getattr(day_class, "disk_share", 0.25)))
            if day is None:
                day = day_class(target.tmp, records.dtype, product, os.path.basename(target.path),
                                parents, version)
            day.append(records)
        day.close()
        day = None
        target.check_space()
    finally:
        if day is not None:
            output.close_abandoned(day.close, target.path)


def write_batches(day_class, path, batches, product, parents, version):
    """Writes the day file `path` from `batches()` (record arrays, one at least): whole under a
    temporary name, then renamed into place."""
    def once():
        target = output.Target(path, overwrite=True, suffix=day_class.suffix)
        output.guard(target.tmp)
        try:
            fill(day_class, target, batches(), product, parents, version)
        except BaseException:
            target.abort()
            raise
        target.commit()

    retried(once, path)


def write_records(writer_class, records, product, folder, **options):
    """Writes `records` of `product` (all in memory) as day files; returns their paths."""
    from .results import ProductResult

    records = np.asarray(records)
    if records.dtype.names is None or EPOCH_FIELD not in records.dtype.names:
        from .errors import InputError

        raise InputError("records without an epoch field cannot be written as day files")
    name = product if isinstance(product, str) else product.name
    with writer_class(folder, workers=1, create=False, **options) as writer:
        if len(records):
            writer.begin(name, records.dtype)
            writer.append(records)
        writer.end(ProductResult(name, "", records=len(records)))
    return writer.outputs


# --------------------------------------------------------------------------------------------
# Worker processes


def run_tasks(tasks, workers, interrupted=None):
    """Runs the day-file tasks here (one worker, or few tasks) or in a pool of `workers`
    processes of the run, the largest first; stopped (and killed) when the run is."""
    from kesta.dravel.run import runner

    pool = runner(workers if len(tasks) > 1 else 1)
    jobs = [(task["path"], write_day, (task,)) for task in sorted(tasks, key=lambda t: -len(t["rows"]))]
    try:
        for _, _, error in pool.run(jobs, interrupted):
            if error is not None:
                raise WriteError(error)
    finally:
        pool.close()
        _templates.clear()      # made for this run: its components may change before the next
