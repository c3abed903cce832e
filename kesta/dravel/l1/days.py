"""Day files (one per product and UTC day: ISTP CDF, netCDF), written from a run's records.

Records arrive window by window, not in time order across windows, and a product's records
spread over days. The writer keeps each product's records in a file of its own beside the
outputs (the run's intermediate: the records' bytes as they are, then their epochs). Products are
decoded one after the other: once one is, a worker process puts its records in stable time
order and writes its day files from the intermediate, each day's rows read back in batches,
while the run decodes the next products. The worker processes (one per core but the one
decoding) start with the writer; each product's template (the metadata of an empty day file),
for a format that has them, is made by one of them as soon as the product begins, and shared
by all. Each file is written under a temporary name; all of them appear once every one is
complete, or none.
"""

from __future__ import annotations

import collections
import contextlib
import fcntl
import importlib
import os
import tempfile
import threading
import time
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping, Sequence
from typing import Any, ClassVar, Literal, Protocol, Self, TypeAlias, TypeVar, cast

import numpy as np
from numpy.typing import ArrayLike, DTypeLike

from kesta.dravel.products import Product
from kesta.dravel.run import runner
from kesta.dravel.run.errors import check
from kesta.dravel.run.local import LocalPool
from kesta.dravel.run.protocol import Job, Runner

from . import output
from .dayrecords import day_batches, day_dtype, regrouping
from .errors import InputError, Interrupted, OutputError, WriteError
from .layout import EPOCH_FIELD
from .results import FAILED, SKIPPED, ProductResult
from .runs import ChunkRows
from .store import first_line
from .times import midnights, time_order, utc_days
from .writers import Writer, check_data_version

BATCH_BYTES = 16 << 20  # records read back and appended to a day file at a time
PART_WRITE_BYTES = 1 << 20  # written at a time into a product's intermediate file

T = TypeVar("T")

Parents: TypeAlias = str | Sequence[str] | None
"""The L0 file names a day file says it is made from: one, several, or none said."""


class MissionDay:
    """What every format's day file takes from the archive: the global attributes its mission
    sets (`mission`, over the defaults)."""

    mission: dict[str, str] = {}  # the global attributes an archive sets (`configured`)
    templated = True  # its files are copies of a template made once per product (`from_template`)

    @classmethod
    def configured(cls, mission: Mapping[str, str] | None) -> type[Self]:
        """The class writing files with the global attributes `mission` sets over the defaults
        (an archive's, from its dravel-archive.toml)."""
        if not mission:
            return cls
        return cast("type[Self]", type(cls.__name__, (cls,), {"mission": dict(mission)}))


class DayFile(Protocol):
    """One day file being written, as a format's class (`DayFilesWriter.day`, a MissionDay)
    makes it: with its path, record layout, product, file name, parents and data version."""

    suffix: str  # of the format's files
    file_pattern: str  # their names (`writers.Format.file_pattern`)
    templated: bool  # made from the product's template (`from_template`)

    def __init__(
        self, path: str, dtype: np.dtype, product: str, filename: str, parents: Parents, data_version: str
    ) -> None: ...

    def append(self, records: np.ndarray) -> None: ...

    def close(self) -> None: ...


class _Part:
    """A product's records as the run decodes them, in a file of the run: their bytes as they
    are, window after window (read back once, soon, by this system: nothing to deflate or
    describe), then, at `commit`, the epoch of each, in the records' own element type of it
    (TT2000, 8 bytes: an unsigned one keeps its fill value), kept here meanwhile."""

    def __init__(self, path: str, dtype: np.dtype, interrupted: Callable[[], bool] | None = None) -> None:
        self.path, self.dtype, self.interrupted = path, dtype, interrupted
        self.offset = 0  # records written
        self.epochs: list[np.ndarray] = []
        self.target = output.Target(path, overwrite=True)
        self.file = self.target.open(lambda tmp: open(tmp, "wb"))

    def append(self, records: np.ndarray) -> None:
        if records.dtype != self.dtype:
            raise TypeError(f"records of layout {records.dtype} appended to records of layout {self.dtype}")
        if not len(records):
            return
        check(self.interrupted)
        records = np.ascontiguousarray(records)
        self._write(records)
        self.epochs.append(records[EPOCH_FIELD].copy())
        self.offset += len(records)

    def _write(self, values: np.ndarray) -> None:
        self.target.check_space(values.nbytes)
        data = values.data.cast("B")
        try:
            # a write at a time of a megabyte: the kernel takes many small ones into its page
            # cache for a fraction of the system time that one of a window's size costs it
            for start in range(0, len(data), PART_WRITE_BYTES):
                self.file.write(data[start : start + PART_WRITE_BYTES])
        except OSError as exc:
            raise WriteError(f"{self.path}: cannot be written ({output.describe(exc)})") from None

    def copy(self, source: Any) -> None:
        """Appends the records of `source`, a dataset of an L1 HDF5 file."""
        for _, records in ChunkRows(source).chunks():
            self.append(records)

    def commit(self) -> None:
        self._write(np.concatenate(self.epochs) if self.epochs else np.zeros(0, self.dtype[EPOCH_FIELD]))
        self.target.commit(self.file.close)

    def abort(self) -> None:
        self.target.abort(self.file.close)


class _PartRows:
    """The records of a product's intermediate file (`_Part`), read back by rows, and their
    epochs."""

    def __init__(self, path: str, dtype: np.dtype) -> None:
        self.dtype = np.dtype(dtype)
        epoch = self.dtype[EPOCH_FIELD]
        size = os.path.getsize(path)
        self.n = size // (self.dtype.itemsize + epoch.itemsize)
        if self.n * (self.dtype.itemsize + epoch.itemsize) != size:
            raise WriteError(f"{path}: not the records of layout {self.dtype} and their epochs")
        self.file = open(path, "rb")
        self.epoch = np.fromfile(self.file, dtype=epoch, offset=self.n * self.dtype.itemsize)
        self.values = np.memmap(self.file, dtype=self.dtype, mode="r", shape=(self.n,)) if self.n else None

    def take(self, rows: np.ndarray) -> np.ndarray:
        """The records at `rows` (any order): one read for a run of rows, as a day's mostly are."""
        out = np.empty(len(rows), dtype=self.dtype)
        if not len(rows):
            return out
        first, last = int(rows[0]), int(rows[-1])
        if last - first == len(rows) - 1 and np.all(np.diff(rows) == 1):
            self.file.seek(first * self.dtype.itemsize)
            self.file.readinto(out.data)
        else:
            assert self.values is not None  # rows only where there are records
            np.take(self.values, rows, out=out)
        return out

    def close(self) -> None:
        self.values = None
        self.file.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False


class DayFilesWriter(Writer):
    """Writes one file per product and UTC day into a folder; a format gives `day`, the class
    of one file being written (made with the path, record layout, product, file name, parents
    and data version; `append(records)`, `close()`; `suffix` and `file_pattern`).

    With more than one worker, the writing overlaps the decoding: the worker processes start
    with the writer, each product's template is made (once, shared by the workers) as soon as
    the product begins, and its day files are written as soon as it ends."""

    day: ClassVar[type[DayFile]]

    def __init__(
        self,
        folder: str | os.PathLike[str],
        source: str | os.PathLike[str] | None = None,
        overwrite: bool = False,
        data_version: str | int = "01",
        interrupted: Callable[[], bool] | None = None,
        workers: int | None = None,
        parents: Parents = None,
        create: bool = True,
    ) -> None:
        super().__init__()
        data_version = check_data_version(data_version)
        self.folder = os.fspath(folder)
        output.check_folder(self.folder, create=create)
        self.parents: Parents = parents or (os.path.basename(os.fspath(source)) if source else None)
        self.overwrite, self.data_version, self.interrupted = overwrite, data_version, interrupted
        self.workers = workers or min(2, os.cpu_count() or 1)
        self.product: str | None = None  # the product being written
        self.part: str | None = None  # the file of its intermediate records,
        self.records: _Part | None = None  # and their writer while it is written
        self.scratches: list[str] = []  # the run's files beside the outputs: removed at its end
        self.ended: list[ProductResult] = []  # every product whose day files are asked for
        self.templates: dict[str, str] = {}  # product: the file its template is shared in
        self.targets: list[output.Target] = []
        self.writing = _Writing(self.workers, interrupted, format_module=type(self).__module__)

    def scratch(self, name: str, suffix: str = ".h5") -> str:
        """A file of the run beside the outputs, removed (with its leftovers) at its end."""
        return self._keep(output.temporary(self.folder, ".run", os.getpid(), name, suffix))

    def _keep(self, path: str) -> str:
        output.guard(path)
        self.scratches.append(path)
        return path

    def _label(self) -> str:
        """How the user knows the files of the product being written."""
        return os.path.join(
            self.folder, self.day.file_pattern.format(product=self.product or "*", date="*", version=self.data_version)
        )

    def _guarded(self, call: Callable[..., T], *args: Any) -> T:
        """`call(*args)` on the intermediate, its failures naming the files asked for."""
        try:
            return call(*args)
        except OutputError as exc:
            assert self.part is not None  # the intermediate's: named before it is made
            raise type(exc)(str(exc).replace(self.part, self._label())) from None

    def begin(self, product: str, dtype: DTypeLike) -> None:
        self._open(product, dtype)

    def _open(self, product: str, dtype: DTypeLike) -> _Part:
        """Starts the intermediate of `product` (records of layout `dtype`), and its template;
        gives the intermediate's writer."""
        self._close_part()
        self.product, self.dtype = product, np.dtype(dtype)
        # each product's records in a file of its own, complete (and so readable by the
        # workers) once the product is decoded
        part = self.part = self.scratch(f"records-{product}", ".records")
        records = self.records = self._guarded(lambda: _Part(part, self.dtype, self.interrupted))
        if self.writing.background and self.day.templated and product not in self.templates:
            # made by a worker while this process decodes the product
            path = self.templates[product] = self.scratch(f"template-{product}", self.day.suffix)
            self.writing.submit([(path, make_template, (self._task(product, dtype),))])
        return records

    def append(self, records: np.ndarray) -> None:
        assert self.records is not None  # begun
        self._guarded(self.records.append, records)

    def copy(self, source: Any, result: ProductResult, rows: int = 1 << 14) -> None:
        records = self._open(result.product, source.dtype)
        self._guarded(records.copy, source)
        self.end(result)

    def end(self, result: ProductResult) -> None:
        self._ended(result)

    def _ended(self, result: ProductResult) -> None:
        """The product of `result` is decoded: its day files are written from now on."""
        Writer.end(self, result)
        self.product = result.product
        if self.records is not None and result.status not in (FAILED, SKIPPED) and self.records.offset:
            self._guarded(self.records.commit)
            self.records = None
            self.ended.append(result)
            # the workers name the product's day files while written after `days`: the run
            # removes them (and their own leftovers) by that name, should it be cut short
            days = self.scratch(f"days-{result.product}", "")
            self._keep(os.path.join(self.folder, "." + os.path.basename(days)))
            task = self._task(result.product, self.dtype, records=self.part, days=days)
            self.writing.submit([(result.product, write_product, (task,))])
        self._close_part()
        result.outputs = []  # its day files, not the intermediate that holds them

    def _close_part(self) -> None:
        if self.records is not None:
            records, self.records = self.records, None
            records.abort()

    def commit(self) -> None:
        """Writes every day file not written yet, then puts them all in place."""
        try:
            done = self.writing.finish()
            for result in self.ended:
                self._written(result, done.get(result.product) or {})
            for target in self.targets:
                target.commit()
                output.guard(target.path)  # gone too should the run be cut short now
        except BaseException:
            self.abort()
            raise
        finally:
            self._remove_scratches()
        self.outputs = [t.path for t in self.targets]
        for t in self.targets:
            output.unguard(t.path)

    def _written(self, result: ProductResult, done: Mapping[str, Any]) -> None:
        """Takes the day files a worker wrote of the product of `result` (`write_product`)."""
        if "refused" in done:
            raise OutputError(done["refused"])
        for path, tmp in done.get("written", ()):
            target = output.Target.adopt(path, tmp)
            target.overwrite = self.overwrite
            output.guard(tmp)
            self.targets.append(target)
            result.outputs.append(path)
        result.warnings += done.get("warnings", [])

    def _task(self, product: str, dtype: DTypeLike, **more: Any) -> dict[str, Any]:
        return dict(
            product=product,
            dtype=dtype,
            parents=self.parents,
            version=self.data_version,
            format=type(self).__module__,
            writer=type(self).__name__,
            template=self.templates.get(product),
            folder=self.folder,
            overwrite=self.overwrite,
            **more,
        )

    def abort(self) -> None:
        self.writing.stop()
        for target in self.targets:
            target.abort()
            output.unguard(target.path)
        self._remove_scratches()

    def _remove_scratches(self) -> None:
        self._close_part()
        for path in self.scratches:
            output.discard(path)
        self.scratches = []


_templates: dict[Hashable, tuple[float, bytes]] = {}  # key: (when made, bytes): what `template` made
TEMPLATE_SECONDS = 60.0  # a template older than this is made again
_shared: str | None = None  # the file the template of the day file being written is shared in


def template(key: Hashable, make: Callable[[str], object], suffix: str) -> bytes:
    """The bytes of an empty day file made by `make(path)` (its metadata: writing it costs far
    more than copying it), made once per `key` (product, layout, parents, data version...) and
    again once older than TEMPLATE_SECONDS: a process that lives across runs (a Dask worker)
    never stamps a day file with the Generation_date of a template made for an earlier run.

    Within a run whose processes share their templates (`_shared`, a file of the run), the one
    made first by any of them is taken."""
    made = _templates.get(key)
    if made is None or time.monotonic() - made[0] > TEMPLATE_SECONDS:
        with _shared_lock(_shared):
            data = _read_shared(_shared)
            if data is None:
                with tempfile.TemporaryDirectory(prefix="dravel-day-") as folder:
                    path = os.path.join(folder, "template" + suffix)
                    make(path)
                    with open(path, "rb") as f:
                        data = f.read()
                _publish(_shared, data)
        made = _templates[key] = (time.monotonic(), data)
    return made[1]


@contextlib.contextmanager
def _shared_lock(path: str | None) -> Iterator[None]:
    """Held while the shared template `path` is looked for and made: a process that wants it
    while another makes it waits for it rather than making it too."""
    if path is None:
        yield
        return
    folder, base = os.path.split(path)
    try:
        lock = open(output.temporary(folder, base, "lock", "lock", ""), "a")
    except OSError:
        yield  # not shared then: made here
        return
    with lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def _read_shared(path: str | None) -> bytes | None:
    """The bytes of the shared template `path`, or None when there is none (yet) or it is old."""
    if path is None:
        return None
    try:
        with open(path, "rb") as f:
            if time.time() - os.fstat(f.fileno()).st_mtime > TEMPLATE_SECONDS:
                return None
            return f.read()
    except FileNotFoundError:
        return None


def _publish(path: str | None, data: bytes) -> None:
    """Shares a template with the run's other processes: whole under a temporary name, then
    renamed (a process reading it sees it whole or not at all)."""
    if path is None:
        return
    folder, base = os.path.split(path)
    tmp = output.temporary(folder, base, os.getpid(), "share", "")
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except OSError:
        output.discard(tmp)  # not shared: each process then makes its own


def from_template(path: str, key: Hashable, make: Callable[[str], object], suffix: str) -> None:
    """Starts the day file `path` as a copy of its template."""
    with open(path, "wb") as f:
        f.write(template(key, make, suffix))


class _Sharing:
    """Within the block, templates are shared in the file `path` (None: not shared)."""

    def __init__(self, path: str | None) -> None:
        self.path = path

    def __enter__(self) -> None:
        global _shared
        self.saved, _shared = _shared, self.path

    def __exit__(self, *exc: object) -> Literal[False]:
        global _shared
        _shared = self.saved
        return False


def _day_class(task: Mapping[str, Any]) -> type[DayFile]:
    return getattr(importlib.import_module(task["format"]), task["writer"]).day


def make_template(task: Mapping[str, Any], interrupted: Callable[[], bool] | None = None) -> None:
    """Makes the template of a product's day files and shares it (`task["template"]`): an
    empty day file made and thrown away."""
    day_class = _day_class(task)
    folder, base = os.path.split(task["template"])
    throwaway = output.temporary(folder, base, os.getpid(), "empty", day_class.suffix)
    with _Sharing(task["template"]):
        try:
            day = day_class(
                throwaway,
                day_dtype(task["product"], task["dtype"]),
                task["product"],
                base,
                task["parents"],
                task["version"],
            )
            day.close()
        finally:
            output.discard(throwaway)


def warm(module: str, interrupted: Callable[[], bool] | None = None) -> None:
    """Imports what a worker writing day files of the format of `module` needs, ahead of its
    first file."""
    importlib.import_module(module)
    midnights()


def write_product(task: Mapping[str, Any], interrupted: Callable[[], bool] | None = None) -> dict[str, Any]:
    """Writes the day files of one product from its intermediate records (`task["records"]`):
    its records put in stable time order, each UTC day's under a temporary name that the
    run's own leftovers pattern (`task["days"]`) covers. Returns {"written": [(path, temporary
    path)], "warnings": [...]}, or {"refused": why} when a file may not be written (exists)."""
    day_class = _day_class(task)
    product, folder = task["product"], task["folder"]
    written: list[tuple[str, str]] = []  # (path, temporary path) of each file
    warnings: list[str] = []
    plan: list[tuple[str, str, np.ndarray]] = []  # (date, path, rows) of each file
    with _PartRows(task["records"], task["dtype"]) as records, _Sharing(task.get("template")):
        epoch = records.epoch
        order = time_order(epoch)
        for date, start, stop in utc_days(epoch[order]):
            if date is None:
                warnings.append(f"{stop - start} record(s) without a UTC time are in no day file")
                continue
            path = os.path.join(
                folder, day_class.file_pattern.format(product=product, date=date, version=task["version"])
            )
            try:
                output.check_writable(path, task["overwrite"])
            except OutputError as exc:
                return {"refused": str(exc)}
            plan.append((date, path, order[start:stop]))
        del epoch
        batch = max(1, BATCH_BYTES // max(1, records.dtype.itemsize))
        try:
            for date, path, rows in plan:
                tmp = output.temporary(folder, os.path.basename(task["days"]), os.getpid(), date, day_class.suffix)
                written.append((path, tmp))
                target = output.Target.adopt(path, tmp)

                def batches(rows: np.ndarray = rows) -> Iterator[np.ndarray]:
                    for start in range(0, len(rows), batch):
                        check(interrupted)
                        yield records.take(rows[start : start + batch])

                def write(target: output.Target = target, rows: np.ndarray = rows) -> None:
                    return fill(day_class, target, batches(rows), product, task["parents"], task["version"], len(rows))

                retried(write, path)
        except BaseException:
            for _, tmp in written:
                output.discard(tmp)
            raise
    return {"written": written, "warnings": warnings}


def retried(write: Callable[[], T], path: str, tries: int = 2) -> T | None:
    """`write()` of the file `path`; a file the libraries fail to make (not for want of space)
    is made again from the start, once: a library's rare failure under load costs no day file."""
    for attempt in range(tries):
        try:
            return write()
        except OutputError:
            raise  # no space, or a place that cannot be written
        except Interrupted:
            raise
        except Exception as exc:  # noqa: BLE001 - the libraries fail with errors of their own
            if attempt + 1 < tries:
                continue
            why = (
                output.describe(exc)
                if isinstance(exc, OSError) and exc.errno
                else f"{type(exc).__name__}: {first_line(exc)}"
            )
            raise WriteError(f"{path}: cannot be written ({why})") from None
    return None  # no try (`tries` below 1)


def fill(
    day_class: type[DayFile],
    target: output.Target,
    batches: Iterable[np.ndarray],
    product: str,
    parents: Parents,
    version: str,
    count: int | None = None,
    made: bool = False,
) -> None:
    """Writes the day records made of the decoder records of `batches` (one UTC day of them, in
    stable time order; one batch at least) into the temporary file of `target`; `count`: how
    many decoder records they hold, when known. With `made`, `batches` are the day records
    themselves (`count` of them)."""
    day: DayFile | None = None
    # a day record for each decoder record, unless the product's are regrouped
    records_known = count if made or regrouping(product) is None else None
    try:
        for records in batches if made else day_batches(product, batches):
            target.check_space(int(records.nbytes * getattr(day_class, "disk_share", 0.25)))
            if day is None:
                day = day_class(target.tmp, records.dtype, product, os.path.basename(target.path), parents, version)
                if hasattr(day, "reserve") and records_known is not None:
                    day.reserve(records_known)
            day.append(records)
        assert day is not None  # made of the first batch
        day.close()
        day = None
        target.check_space()
    finally:
        if day is not None:
            output.close_abandoned(day.close, target.path)


def write_batches(
    day_class: type[DayFile],
    path: str,
    batches: Callable[[], Iterable[np.ndarray]],
    product: str,
    parents: Parents,
    version: str,
    count: int | None = None,
    made: bool = False,
) -> None:
    """Writes the day file `path` from `batches()` (record arrays, one at least; `count`
    records in all, when known; with `made`, day records, else decoder records): whole under
    a temporary name, then renamed into place."""

    def once() -> None:
        target = output.Target(path, overwrite=True, suffix=day_class.suffix)
        output.guard(target.tmp)
        try:
            fill(day_class, target, batches(), product, parents, version, count, made)
        except BaseException:
            target.abort()
            raise
        target.commit()

    retried(once, path)


def write_records(
    writer_class: type[DayFilesWriter],
    records: ArrayLike,
    product: str | Product,
    folder: str | os.PathLike[str],
    **options: Any,
) -> list[str]:
    """Writes `records` of `product` (all in memory) as day files; returns their paths."""
    records = np.asarray(records)
    if records.dtype.names is None or EPOCH_FIELD not in records.dtype.names:
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


class _Writing:
    """The jobs writing a run's day files. With more than one worker, they run as they come, in
    a pool of worker processes (every worker but this process, which decodes) started with the
    run (each importing what it needs with `warm` while the run decodes, `format_module` its
    format's module), fed one job per worker at a time by a thread of this process; once the
    run has decoded everything (`finish`), this process takes the jobs left too, so that both
    cores write the last products. With one worker, they all run here, at `finish`."""

    def __init__(
        self, workers: int, interrupted: Callable[[], bool] | None = None, format_module: str | None = None
    ) -> None:
        self.interrupted = interrupted
        self.background = workers > 1
        workers -= 1  # this process, decoding, is one of the workers
        self.size = max(1, workers)  # the jobs the pool is handed at a time
        self.pool: Runner = LocalPool(workers) if self.background else runner(1)
        self.here: Runner = runner(1)  # the jobs this process takes
        # the jobs not begun yet, templates first: the day files of a product wait for its
        # template, not the other way round
        self.pending: collections.deque[Job[str, Any]] = collections.deque()
        self.changed = threading.Condition()
        self.closed = False  # no more jobs are to come
        self.failure: BaseException | None = None  # what stopped the jobs run in the background
        self.values: dict[str, Any] = {}  # key: what its job returned
        self.stopping = False
        if self.background:
            self.pool.start()  # here: a worker dies with the thread that started it
            self.thread = threading.Thread(target=self._feed, name="dravel-day-files", daemon=True)
            self.thread.start()
            if format_module:
                self.submit([(f"worker {i}", warm, (format_module,)) for i in range(workers)])

    def _stopped(self) -> bool:
        return self.stopping or (self.interrupted is not None and self.interrupted())

    def submit(self, jobs: Sequence[Job[str, Any]]) -> None:
        """Hands jobs [(key, function, args)] to be run."""
        if self.failure is not None:
            raise self.failure
        with self.changed:
            for job in jobs:
                if job[1] is make_template:
                    self.pending.appendleft(job)
                else:
                    self.pending.append(job)
            self.changed.notify_all()

    def _take(self, wait: bool) -> list[Job[str, Any]]:
        """The next jobs for the pool (up to one per worker; `wait`: until there are some, or no
        more are to come), or [] when there are none."""
        with self.changed:
            while wait and not self.pending and not self.closed and not self._stopped():
                self.changed.wait(0.2)
            return [self.pending.popleft() for _ in range(min(self.size, len(self.pending)))]

    def _feed(self) -> None:
        """The thread handing the jobs to the pool as they come."""
        try:
            while jobs := self._take(wait=True):
                self._run(self.pool, jobs)
        except BaseException as exc:  # noqa: BLE001 - handed to the run's own thread, which raises it
            self.failure = exc
            with self.changed:
                self.changed.notify_all()

    def _run(self, runner: Runner, jobs: Sequence[Job[str, Any]]) -> None:
        for key, value, error in runner.run(jobs, self._stopped, interruptible=True):
            if error is not None:
                raise WriteError(error)
            self.values[key] = value

    def finish(self) -> dict[str, Any]:
        """Runs the jobs left, and waits for every one to end: {key: what its job returned};
        raises the first failure."""
        try:
            with self.changed:
                self.closed = True
                self.changed.notify_all()
            # this process takes the jobs left one at a time, while the pool runs its own
            while self.failure is None:
                with self.changed:
                    if not self.pending:
                        break
                    job = self.pending.popleft()
                    if self.background and job[1] is warm:
                        continue  # for a worker: this process has what it needs
                self._run(self.here, [job])
            if self.background:
                self._join()
            if self.failure is not None:
                raise self.failure
            return self.values
        finally:
            self._close()

    def stop(self) -> None:
        """Stops the jobs running, drops the others."""
        self.stopping = True
        with self.changed:
            self.closed = True
            self.pending.clear()
            self.changed.notify_all()
        if self.background:
            self._join()
        self._close()

    def _join(self) -> None:
        while self.thread.is_alive():
            self.thread.join(0.2)

    def _close(self) -> None:
        self.pool.close()
        _templates.clear()  # made for this run: its components may change before the next
