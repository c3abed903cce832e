"""The archive's two kinds of work, run by workers (processes of a pool, or Dask workers): the
decoding of one L0 file into its cache file, and the writing of one day file from the cache
files of the L0 files that feed its day. Each takes and returns one of the small dataclasses
below; neither touches the campaign's state, which only the campaign process writes.

A cache file is an L1 HDF5 file named by the L0 file's content hash and the software that
decoded it, complete once it carries what its decode returned (attribute `SUMMARY`, a `Decoded`
as JSON): a rerun, a campaign resumed after it was stopped, or a state rebuilt from the
archive's files finds it there and does not decode the file again.
"""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import json
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

import h5py
import numpy as np

from kesta.dravel.l1 import output
from kesta.dravel.l1.attributes import global_attributes
from kesta.dravel.l1.convert import convert
from kesta.dravel.l1.dayrecords import day_batches, day_dtype, day_hash, regrouping
from kesta.dravel.l1.days import time_order, write_batches
from kesta.dravel.l1.errors import InputError, Interrupted, failure
from kesta.dravel.l1.layout import EPOCH_FIELD as EPOCH
from kesta.dravel.l1.layout import leaves, values
from kesta.dravel.l1.merge import SpanRecords
from kesta.dravel.l1.results import FAILED, OK, PARTIAL, SKIPPED, DecodeResult
from kesta.dravel.l1.runs import ChunkRows, read_epochs, write_epochs
from kesta.dravel.l1.store import check_regular
from kesta.dravel.l1.times import day_start, utc, utc_days, valid_epoch
from kesta.dravel.l1.writers import FORMATS, writer_for
from kesta.dravel.run.protocol import StopCheck

from .gaps import gaps
from .mission import MISSION_ATTRIBUTES
from .state import FileRow

SUMMARY = "dravel_archive_summary"
HASH_BLOCK = 8 << 20
UNUSED = (FAILED, SKIPPED)  # statuses of a product whose records feed no day


@dataclass
class ProductDecode:
    """One product of a decoded L0 file: its status, counts and the days its records fall on
    ({YYYYMMDD: records})."""

    status: str = OK
    message: str = ""
    records: int = 0
    reported: int = 0
    warnings: int = 0
    days: dict[str, int] = field(default_factory=dict)
    no_time: int = 0
    first: str | None = None  # UTC of its first and last record with a time
    last: str | None = None


@dataclass
class Decoded:
    """What the decode of one L0 file gave: the file (size, modification time, content hash),
    its cache file (and that file's size, time and hash), statuses and products."""

    path: str
    size: int | None = None
    mtime_ns: int | None = None
    sha256: str | None = None
    cache: str | None = None
    status: str = FAILED
    message: str = ""
    products: dict[str, ProductDecode] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    cache_size: int | None = None
    cache_mtime_ns: int | None = None
    cache_sha256: str | None = None
    fresh: bool = False  # decoded by this task, not found complete in its cache file

    def row(self, software: str, decoded_at: str) -> FileRow:
        """The state's row of the file, decoded by `software` at `decoded_at` (products as plain
        data)."""
        out = dataclasses.asdict(self)
        del out["fresh"], out["notes"]
        return FileRow(**out, software=software, decoded_at=decoded_at)

    def summary(self) -> str:
        """What its cache file carries (JSON)."""
        keep = {
            k: v
            for k, v in dataclasses.asdict(self).items()
            if k not in ("fresh", "cache", "cache_size", "cache_mtime_ns", "cache_sha256")
        }
        return json.dumps(keep)

    @classmethod
    def from_summary(cls, text: str | bytes, cache: str) -> Decoded:
        """The `Decoded` a cache file carries (one made before the summary named its L0 file
        gives its statuses and products only)."""
        data = json.loads(text if isinstance(text, str) else text.decode())
        known = {f.name for f in dataclasses.fields(cls)}
        products = {
            name: ProductDecode(
                **{k: v for k, v in entry.items() if k in {f.name for f in dataclasses.fields(ProductDecode)}}
            )
            for name, entry in data.get("products", {}).items()
        }
        values = {k: v for k, v in data.items() if k in known and k != "products"}
        values.setdefault("path", "")
        return cls(**values, products=products, cache=cache)


def content_hash(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(HASH_BLOCK):
            digest.update(block)
    return digest.hexdigest()


def file_facts(path: str) -> tuple[int, int, str]:
    """(size, modification time, content hash) of `path`."""
    stat = os.stat(path)
    return stat.st_size, stat.st_mtime_ns, content_hash(path)


def cache_path(cache_dir: str, sha256: str, software: str) -> str:
    return os.path.join(cache_dir, f"{sha256[:24]}-{software[:12]}.h5")


def _days_of(f: h5py.File, product: str) -> tuple[dict[str, int], int, np.ndarray]:
    """{YYYYMMDD: records} of `product` in the cache file open for writing, how many records
    have no UTC time, and their epochs; keeps the product's epoch column in the file (a day's
    rows are then found without inflating the records)."""
    epoch = read_epochs(f, product)  # kept by the writer
    if epoch is None:
        epoch = ChunkRows(f[product]).field(EPOCH)
        write_epochs(f, product, epoch)
    days: dict[str, int] = {}
    no_time = 0
    ordered = epoch[time_order(epoch)]
    for day, start, stop in utc_days(ordered):
        if day is None:
            no_time += stop - start
        else:
            days[day] = days.get(day, 0) + stop - start
    return days, no_time, epoch


def _time_range(epoch: np.ndarray) -> tuple[str, str] | tuple[None, None]:
    """UTC "YYYY-MM-DDThh:mm:ssZ" of the first and last of the records' `epoch` with a time
    (None, None without), for the coverage page."""
    tt = valid_epoch(epoch)
    if not tt.count():
        return None, None
    first, last = utc(np.array([tt.min(), tt.max()], dtype=np.int64)).astype("datetime64[s]")
    return f"{first}Z", f"{last}Z"


def read_summary(cache: str) -> Decoded | None:
    """The `Decoded` a complete, readable cache file carries, or None."""
    try:
        with h5py.File(cache, "r") as f:
            text = f.attrs.get(SUMMARY)
    except (OSError, ValueError):
        return None
    if text is None:
        return None
    try:
        return Decoded.from_summary(text, cache)
    except (ValueError, TypeError):
        return None


def cache_readable(cache: str) -> bool:
    """Whether a cache file reads whole: its summary and every record of every dataset (a
    damaged chunk shows only once decompressed), read a slice at a time."""

    def read(name: str, node: h5py.Group | h5py.Dataset) -> None:
        if not isinstance(node, h5py.Dataset):
            return
        if not node.shape:
            node[()]
            return
        row = node.dtype.itemsize * int(np.prod(node.shape[1:], dtype=np.int64))
        step = max(1, HASH_BLOCK // max(row, 1))
        for start in range(0, node.shape[0], step):
            node[start : start + step]

    try:
        with h5py.File(cache, "r") as f:
            if f.attrs.get(SUMMARY) is None:
                return False
            f.visititems(read)
    except Exception:  # noqa: BLE001 - whatever the reason, it does not read
        return False
    return True


def _summarise(cache: str, result: DecodeResult) -> tuple[dict[str, ProductDecode], str, str]:
    """{product: ProductDecode} of the decode `result` written to `cache`, the file's status
    and message."""
    products = {}
    with h5py.File(cache, "r+") as f:
        for p in result.products:
            entry = ProductDecode(p.status, p.message, p.records, len(p.reports), len(p.warnings))
            if (
                p.product in f
                and isinstance(f[p.product], h5py.Dataset)
                and f[p.product].dtype.names
                and EPOCH in f[p.product].dtype.names
            ):
                entry.days, entry.no_time, epoch = _days_of(f, p.product)
                entry.first, entry.last = _time_range(epoch)
            products[p.product] = entry
    failed = [f"{name}: {e.message}" for name, e in products.items() if e.status == FAILED]
    status = FAILED if failed else (PARTIAL if any(e.status == PARTIAL for e in products.values()) else OK)
    return products, status, failed[0] if failed else ""


def decode_file(l0_path: str, cache_dir: str, software: str, interrupted: StopCheck | None = None) -> Decoded:
    """Decodes the L0 file `l0_path` into its cache file in `cache_dir` (or finds it there,
    complete); returns a `Decoded`. Never raises but Interrupted: a file that cannot be decoded
    comes back `failed`."""
    try:
        found = _identify(l0_path, cache_dir, software)
    except OSError as exc:
        return Decoded(l0_path, status=FAILED, message=f"cannot be read ({output.describe(exc)})")
    except InputError as exc:
        return Decoded(l0_path, status=FAILED, message=_without(str(exc), l0_path))
    if found.cache_sha256 is not None:  # complete in its cache file
        return found
    cache = found.cache
    assert cache is not None  # _identify names it
    tmp = output.temporary(cache_dir, os.path.basename(cache), os.getpid(), "decode", ".h5")
    output.guard(tmp)
    try:
        result = convert(l0_path, tmp, overwrite=True, interrupted=interrupted, writer_options={"epochs": True})
        done = dataclasses.replace(found, notes=list(result.notes), fresh=True)
        done.products, done.status, done.message = _summarise(tmp, result)
        with h5py.File(tmp, "r+") as f:
            f.attrs[SUMMARY] = done.summary()
        os.replace(tmp, cache)
        done.cache_size, done.cache_mtime_ns, done.cache_sha256 = file_facts(cache)
    except Interrupted:
        raise
    except Exception as exc:  # noqa: BLE001 - any failure of the decode is the file's status
        return dataclasses.replace(
            found, status=FAILED, message=_without(failure(exc), l0_path), products={}, fresh=True
        )
    finally:
        output.discard(tmp)
    return done


def _without(message: str, path: str) -> str:
    """`message` without a leading "path: " (the failure is reported beside its path)."""
    for name in (path, os.path.basename(path)):
        if message.startswith(f"{name}: "):
            return message[len(name) + 2 :]
    return message


def _identify(l0_path: str, cache_dir: str, software: str) -> Decoded:
    """The L0 file's `Decoded` as its complete cache file carries it, or only its size, time
    and hash (status failed, no products) when there is none; OSError when the L0 file cannot
    be read."""
    check_regular(l0_path)  # a FIFO or a device is never opened: its hash would never end
    stat = os.stat(l0_path)
    sha = content_hash(l0_path)
    cache = cache_path(cache_dir, sha, software)
    found = read_summary(cache)
    facts: dict[str, Any] = {"path": l0_path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns, "sha256": sha}
    if found is None:
        return Decoded(**facts, cache=cache)
    try:
        found.cache_size, found.cache_mtime_ns, found.cache_sha256 = file_facts(cache)
    except OSError:
        return Decoded(**facts, cache=cache)
    return dataclasses.replace(found, **facts)


def find_decoded(l0_path: str, cache_dir: str, software: str) -> Decoded | None:
    """What `decode_file` returned for `l0_path`, when its complete cache file is in place (the
    task ended, though its worker was lost before it could say so); None otherwise."""
    try:
        found = _identify(l0_path, cache_dir, software)
    except (OSError, InputError):
        return None
    return found if found.cache_sha256 is not None else None


# --------------------------------------------------------------------------------------------
# Day files


def day_bounds(day: str) -> tuple[int, int]:
    """The TT2000 span [start, stop) of the UTC day YYYYMMDD."""
    after = (datetime.datetime.strptime(day, "%Y%m%d") + datetime.timedelta(days=1)).strftime("%Y%m%d")
    return day_start(day), day_start(after)


def day_records(product: str, day: str, caches: Sequence[str]) -> SpanRecords:
    """The records of one product's UTC day in the cache files of the L0 files feeding it, in
    the campaign's order of files: each record that an earlier file holds byte for byte left
    out (repeats within one file are that file's own, and kept), the others in stable time
    order, read a batch at a time."""
    start, stop = day_bounds(day)
    return SpanRecords(product, start, stop, caches)


@dataclass
class DayTask:
    """One day file to bring up to date: `sources` [(L0 name, cache path)] feed it. It is not
    written again when its records are those it already holds: `old_hash` (the hash the state
    recorded, file in place), or with `compare`, when the file in place holds them and names
    the same parents (a state being rebuilt, or a file found changed). Its plot is kept only
    when `plot_known` (the state knows it was made from these records)."""

    product: str
    day: str
    path: str
    version: str
    format: str
    quicklook: bool = False
    sources: list[tuple[str, str]] = field(default_factory=list)
    old_hash: str | None = None
    compare: bool = False
    plot_known: bool = False
    attributes: dict[str, str] = field(default_factory=dict)  # the global attributes the archive sets


@dataclass
class DayDone:
    """What a day task gave: the day's counts and records hash, whether the file was written,
    its plot, and the size, time and hash of the file in place."""

    records: int
    duplicates: int
    hash: str
    gaps: int
    largest_gap_s: float
    written: bool = False
    plot: str | None = None
    file_size: int | None = None
    file_mtime_ns: int | None = None
    file_sha256: str | None = None


def write_day_file(task: DayTask) -> DayDone:
    """Writes one day file from the cache files feeding its day, unless it holds those records
    already (see DayTask); its plot follows it. Returns a `DayDone`."""
    day = day_records(task.product, task.day, [cache for _, cache in task.sources])
    try:
        if not len(day):
            raise ValueError(f"{task.product}: no record of {task.day} in its L0 files' cache files")
        count, largest = gaps(day.epochs)
        made = _regrouped(task.product, day)
        records = len(day) if made is None else sum(len(part) for part in made)
        done = DayDone(records, day.duplicates, day_hash(task.product, day.hash), count, largest)
        path, plot = task.path, plot_path(task.path)
        parents = [name for name, _ in task.sources]
        kept = os.path.exists(path) and (
            done.hash == task.old_hash
            or (task.compare and holds(path, task.format, day, parents, task.product, task.attributes))
        )
        if kept:
            if not (task.plot_known and os.path.exists(plot)):
                _remove(plot)  # a plot of unknown records
                if task.quicklook:
                    _plot(task.product, day.records(), plot)
        else:
            _remove(plot)  # the records it showed go
            os.makedirs(os.path.dirname(path), exist_ok=True)
            _write(task, day, parents, made)
            done.written = True
            if task.quicklook:
                _plot(task.product, day.records(), plot)
        done.plot = plot if os.path.exists(plot) else None
        done.file_size, done.file_mtime_ns, done.file_sha256 = file_facts(path)
        return done
    finally:
        day.close()


def _regrouped(product: str, day: SpanRecords) -> list[np.ndarray] | None:
    """The day records of `day` (those its day file holds), for a product whose decoder records
    are regrouped (a day of them is small): made once, for the count and the file alike. None
    for the other products, whose day records are their decoder records, one for one."""
    if regrouping(product) is None:
        return None
    return list(day_batches(product, day.batches()))


def plot_path(path: str) -> str:
    return os.path.splitext(path)[0] + ".png"


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def holds(
    path: str,
    fmt: str,
    day: SpanRecords,
    parents: Iterable[str],
    product: str | None = None,
    attributes: dict[str, str] | None = None,
) -> bool:
    """Whether the day file `path` holds the records of `day`, names `parents` and carries the
    global attributes and variable names a file written now would (`product`, `attributes`).
    The file is opened once, and the two compared a batch of records at a time: neither is
    ever held whole."""
    kind = product or day.product
    try:
        with _opened(path, fmt) as stored:
            if _parents(stored, fmt) != list(parents):
                return False
            if product is not None and not _stamped(stored, fmt, product, attributes or {}):
                return False
            fields = leaves(day_dtype(kind, day.dtype))
            if sorted(stored.names) != sorted(leaf.name for leaf in fields):
                return False
            at = 0
            for records in day_batches(kind, day.batches()):
                n = len(records)
                for leaf in fields:
                    want = values(records, leaf)
                    got = stored.read(leaf.name, at, at + n)
                    if (
                        got.shape != want.shape
                        or got.tobytes() != np.ascontiguousarray(want.astype(got.dtype, copy=False)).tobytes()
                    ):
                        return False
                at += n
            if at != stored.records:
                return False
    except (InputError, OSError, KeyError, ValueError):
        return False
    return True


def _stamped(stored: Any, fmt: str, product: str, attributes: dict[str, str]) -> bool:
    """Whether the open day file `stored` carries the global attributes a mission sets as
    `attributes` says (the defaults for those it leaves out) and, in a CDF, variables named by
    today's rule."""
    # the software that made it too: a file of another version is made again
    compared = MISSION_ATTRIBUTES + ("Software_version",)
    made = global_attributes(product, mission=attributes)
    want = {k: made[k] for k in compared if k in made}
    got = {k: "".join(stored.attribute(k)) for k in compared if stored.attribute(k) is not None}
    return got == want and FORMATS[fmt].named_today(stored, product)


def _opened(path: str, fmt: str) -> Any:
    """The day file `path` of format `fmt`, open to read."""
    return FORMATS[fmt].open(path)


def read_parents(path: str, fmt: str) -> list[str]:
    """The L0 file names a day file's `Parents` attribute gives."""
    with _opened(path, fmt) as stored:
        return _parents(stored, fmt)


def _parents(stored: Any, fmt: str) -> list[str]:
    """The L0 file names the `Parents` attribute of the open day file `stored` gives."""
    names: list[str] = FORMATS[fmt].parents(stored)
    return names


def _write(task: DayTask, day: SpanRecords, parents: list[str], made: list[np.ndarray] | None = None) -> None:
    """Writes the day file of `day`, from its day records `made` when they are made already."""
    day_class = writer_for(task.format).day.configured(task.attributes)
    if made is None:
        write_batches(day_class, task.path, day.batches, task.product, parents, task.version, len(day))
    else:
        count = sum(len(part) for part in made)
        write_batches(day_class, task.path, lambda: made, task.product, parents, task.version, count, made=True)


def _plot(product: str, records: np.ndarray, png: str) -> str | None:
    """The day's quick-look plot beside its file (written whole, then renamed), or None."""
    # lazy: the plots load matplotlib (0.3 s in every worker), which only a campaign making
    # plots (--quicklook) needs
    from kesta.dravel.l1.quicklook import _plot_one

    tmp = output.temporary(os.path.dirname(png), os.path.basename(png), os.getpid(), "plot", ".png")
    notes: list[str] = []
    failures: list[str] = []
    made = _plot_one(product, records, tmp, notes, failures)
    if not made or not os.path.exists(tmp):
        output.discard(tmp)
        return None
    os.replace(tmp, png)
    return png
