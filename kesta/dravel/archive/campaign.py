"""A campaign: the archive brought up to date with its L0 files.

    L0 files -> decode the new or changed ones (one task a file) -> their cache files
             -> write the day files whose inputs changed (one task per product and UTC day,
                from the cache files of every L0 file feeding that day)
             -> remove the day files nothing feeds any more -> the coverage page

Every task's output is a function of its inputs' hashes and of the software: a rerun compares
before it writes, so what did not change is not touched, and a campaign cut short goes on from
where it stopped. Only this process writes the state; workers return their results to it.
"""

from __future__ import annotations

import dataclasses
import datetime
import glob
import hashlib
import json
import os
import shutil
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, NamedTuple, Protocol

from kesta.dravel.l1 import output
from kesta.dravel.l1.errors import UsageError, WriteError
from kesta.dravel.l1.results import FAILED
from kesta.dravel.l1.store import not_regular
from kesta.dravel.l1.writers import DAY_FORMATS, FORMATS, check_data_version
from kesta.dravel.products import BY_NAME
from kesta.dravel.run import InProcess, Runner
from kesta.dravel.run.protocol import Job, StopCheck

from . import coverage, tasks
from .gaps import missing_days
from .mission import mission_attributes, page_names
from .software import software
from .state import FILE as STATE_FILE
from .state import DayRow, FileRow, State, move_aside

CACHE = os.path.join(".dravel", "cache")  # inside the archive: the L0 files' cache files


def day_path(archive: str, fmt: str, product: str, day: str, version: str) -> str:
    name = FORMATS[fmt].file_name(product, day, version)
    return os.path.join(archive, product, day[:4], day[4:6], name)


def _record_bytes(product: str) -> int:
    """The size of one of `product`'s decoder records (1 where its decoder is not here)."""
    known = BY_NAME.get(product)
    try:
        return int(known.record_dtype().itemsize) if known is not None else 1
    except (LookupError, ImportError, AttributeError, TypeError):
        return 1


class Source(NamedTuple):
    """An L0 file feeding a day file: the units it reported and its warnings for the product,
    whether the day is the one most of its records (all products) fall on, and how many of the
    product's records it holds of the day."""

    name: str
    sha256: str | None
    cache: str
    reported: int
    warnings: int
    main: bool
    records: int = 0


@dataclass
class Outcome:
    """What a campaign did: every L0 file given is decoded, unchanged or failed; every day file
    fed is written, unchanged, held back or failed."""

    files: int = 0
    decoded: list[str] = field(default_factory=list)  # L0 paths decoded this run
    unchanged_files: list[str] = field(default_factory=list)  # L0 paths not decoded again
    failed_files: list[tuple[str, str]] = field(default_factory=list)  # (path, message)
    gone: list[str] = field(default_factory=list)  # L0 paths deleted from disk since the last run
    damaged_caches: list[str] = field(default_factory=list)  # L0 paths whose cache file was damaged
    written: list[str] = field(default_factory=list)  # day file paths
    unchanged_days: int = 0
    removed: list[str] = field(default_factory=list)  # day files (and plots) removed
    failed_days: list[tuple[str, str]] = field(default_factory=list)  # (path, message)
    held_back: list[str] = field(default_factory=list)  # day files not written until...
    never_decoded: list[str] = field(default_factory=list)  # ...these L0 files decode (see _write_days)
    damaged_days: list[str] = field(default_factory=list)  # day files found changed, written again
    duplicates: int = 0  # records delivered twice, written once in the day files written
    missing: list[datetime.date] = field(default_factory=list)  # campaign days no L0 file covers
    # what was hashed: {"cache"|"day": [files, bytes]}, and compared ("compared")
    hashed: dict[str, list[int]] = field(default_factory=dict)
    l0_bytes: int = 0
    seconds: float = 0.0
    page: str = ""
    page_seconds: float = 0.0  # writing the coverage page
    version: str = ""
    versions: list[str] = field(default_factory=list)
    aside: str | None = None  # where a damaged state was moved
    rebuilt: bool = False  # the state was rebuilt from the archive's files


class Progress(Protocol):
    """What a campaign tells of its work as it goes: each step's start (what, how many units of
    what unit), each unit done (with the bytes of L0 it read), the step's end."""

    def start(self, what: str, total: int, unit: str) -> None: ...

    def update(self, nbytes: int) -> None: ...

    def close(self) -> None: ...


class Campaign:
    """The campaign bringing the archive folder `archive` up to date with the L0 files `inputs`:
    day files of format `fmt` and data version `data_version` (None: the archive's), with their
    plots (`quicklook`), the units of work run by `runner` (default: here)."""

    def __init__(
        self,
        inputs: Iterable[str],
        archive: str,
        fmt: str | None = None,
        data_version: str | None = None,
        quicklook: bool = False,
        runner: Runner | None = None,
        progress: Progress | None = None,
        interrupted: StopCheck | None = None,
        repair: bool = False,
        verify: bool = False,
    ) -> None:
        if fmt is not None and fmt not in DAY_FORMATS:
            raise UsageError(f"an archive holds day files: --format {' or '.join(DAY_FORMATS)}, not {fmt}")
        if data_version is not None:
            data_version = check_data_version(data_version)
        self.inputs = list(inputs)
        self.archive = os.path.abspath(archive)
        # the format and data version asked for; those of the run once it has the state
        self.asked_format, self.asked_version = fmt, data_version
        self.fmt: str
        self.version: str
        self.quicklook = quicklook
        self.repair, self.verify = repair, verify
        self.runner: Runner = runner or InProcess()
        self.progress, self.interrupted = progress, interrupted
        self.cache_dir = os.path.join(self.archive, CACHE)
        self.versions, self.software = software()
        self.attributes: dict[str, str] = mission_attributes(self.archive)  # ARCHIVE/dravel-archive.toml
        self.done: Outcome  # the run's, once it runs
        self.failed_sources: dict[str, list[Source]] = {}  # see _write_days

    # -----------------------------------------------------------------------------------------

    def run(self) -> Outcome:
        started = time.monotonic()
        output.check_folder(self.archive, create=True)
        self._check_room()
        os.makedirs(self.cache_dir, exist_ok=True)
        done = self.done = Outcome(files=len(self.inputs))
        if self.repair:
            done.aside = move_aside(self.archive)
        with State(self.archive) as state:
            self.fmt = archive_format(state, self.asked_format)
            self.version = archive_version(state, self.asked_version)
            self.runner.check(self.inputs, self.archive)
            sweep(self.archive)  # what a campaign cut short was writing
            try:
                # a state made now in an archive that has cache files: it was lost or moved
                # aside, and is rebuilt from the archive's files
                done.rebuilt = state.created and self._adopt_cache_files(state)
                self._decode(state, done)
                self._write_days(state, done)
                self._mend_caches(state, done)
                self._remove_cache_files(state)
                done.version, done.versions = self.version, sorted(set(state.versions()) | {self.version})
                page_started = time.monotonic()
                done.page, done.missing = self._page(state)
                done.page_seconds = time.monotonic() - page_started
            finally:
                sweep(self.archive)
        done.seconds = time.monotonic() - started
        return done

    def _check_room(self) -> None:
        """A disk with less free than the margin every write keeps is full for this run: it
        stops before it touches anything (the state above all, which SQLite would otherwise
        find it cannot open and call damaged)."""
        try:
            free = shutil.disk_usage(self.archive).free
        except OSError:
            return
        if free < output.SPACE_MARGIN:
            raise WriteError(
                f"{os.path.join(self.archive, STATE_FILE)}: the archive's state cannot be "
                "written (no space left on device)"
            )

    # L0 files --------------------------------------------------------------------------------

    def _adopt_cache_files(self, state: State) -> bool:
        """Puts into the state every complete cache file of this software whose L0 file is in
        place (as its decode returned it); True when there was any cache file."""
        caches = sorted(glob.glob(os.path.join(glob.escape(self.cache_dir), "*.h5")))
        for cache in caches:
            if not cache.endswith(f"-{self.software[:12]}.h5"):
                continue
            found = tasks.read_summary(cache)
            if found is None or not found.path or not os.path.exists(found.path):
                continue
            if not tasks.cache_readable(cache):  # its L0 file is decoded again
                _remove(cache)
                self.done.damaged_caches.append(found.path)
                continue
            found.cache_size, found.cache_mtime_ns, found.cache_sha256 = tasks.file_facts(cache)
            state.put_file(found.row(self.software, _now()))
        return bool(caches)

    def _count(self, kind: str, path: str) -> None:
        """Counts `path` in what the run read whole to check it: "cache" or "day" (hashed),
        "compared" (a day file compared with its day's records)."""
        counted = self.done.hashed.setdefault(kind, [0, 0])
        counted[0] += 1
        try:
            counted[1] += os.path.getsize(path)
        except OSError:
            pass

    def _hash(self, kind: str, path: str) -> str:
        """The content hash of a cache ("cache") or day file ("day"), counted."""
        self._count(kind, path)
        return tasks.content_hash(path)

    def _cache_intact(self, state: State, row: FileRow, cache: str) -> bool:
        """Whether the cache file `cache` of an unchanged L0 file (its row `row`) holds what its
        decode wrote: its size and time as recorded (with --verify, or when they differ, its
        hash)."""
        try:
            stat = os.stat(cache)
        except OSError:
            return False
        same = (stat.st_size, stat.st_mtime_ns) == (row.cache_size, row.cache_mtime_ns)
        if same and not self.verify:
            return True
        if row.cache_sha256 is None:  # recorded before cache files were hashed
            if tasks.read_summary(cache) is None:
                return False
            self._count("cache", cache)
            size, mtime_ns, sha = tasks.file_facts(cache)
            state.put_file(dataclasses.replace(row, cache_size=size, cache_mtime_ns=mtime_ns, cache_sha256=sha))
            return True
        return self._hash("cache", cache) == row.cache_sha256

    def _decode(self, state: State, done: Outcome) -> None:
        known = state.files()
        for path in known:
            if path not in self.inputs and not os.path.exists(path):
                state.drop_file(path)  # gone: it feeds nothing any more
                done.gone.append(path)
        todo: list[str] = []
        sizes: dict[str, int] = {}
        for path in self.inputs:
            row = known.get(path)
            try:
                stat = os.stat(path)
                kind = not_regular(path)
            except OSError as exc:
                done.failed_files.append((path, f"cannot be read ({output.describe(exc)})"))
                continue
            if kind is not None:  # never opened: a FIFO or a device would never end
                done.failed_files.append((path, f"refused: {kind}, not a regular L0 file"))
                continue
            if (
                row
                and row.status != FAILED
                and row.software == self.software
                and (row.size, row.mtime_ns) == (stat.st_size, stat.st_mtime_ns)
                and row.cache
            ):
                if self._cache_intact(state, row, row.cache):
                    done.unchanged_files.append(path)
                    continue
                if os.path.exists(row.cache):
                    done.damaged_caches.append(path)
                    _remove(row.cache)  # decoded again below
            todo.append(path)
            sizes[path] = stat.st_size
        self._run_decodes(state, done, todo, sizes, known)

    def _run_decodes(
        self, state: State, done: Outcome, todo: list[str], sizes: dict[str, int], known: dict[str, FileRow]
    ) -> None:
        """Decodes the L0 files `todo` ({path: size} in `sizes`) into their cache files and
        puts what each gave into the state (`known`: the state's rows before)."""
        if self.progress:
            self.progress.start("decoding", len(todo), "file")
        jobs: list[Job[str, tasks.Decoded]] = [
            (path, tasks.decode_file, (path, self.cache_dir, self.software)) for path in todo
        ]
        for path, value, error in self.runner.run(jobs, self.interrupted, interruptible=True):
            if error is not None:
                found = tasks.find_decoded(path, self.cache_dir, self.software)
                if found is not None:  # decoded, its worker lost before it said so
                    value, error = dataclasses.replace(found, fresh=True), None
            # (value is None only with an error: a unit that could not be run to its end)
            if value is not None and error is None and value.status != FAILED:
                state.put_file(value.row(self.software, _now()))
                if value.fresh:
                    if path not in done.decoded:
                        done.decoded.append(path)
                    done.l0_bytes += sizes[path]
                else:
                    done.unchanged_files.append(path)  # only touched: the same contents
            else:
                message = error or (value.message if value is not None else "") or FAILED
                previous = known.get(path)
                # the last good decode, if any, goes on feeding the archive until the file
                # decodes again (it is tried again by every run)
                if value is not None and error is None and value.products:
                    row = dataclasses.replace(value.row(self.software, _now()), status=FAILED, message=message)
                elif previous and previous.cache:
                    row = dataclasses.replace(previous, status=FAILED, message=message)
                else:
                    row = FileRow(path=path, status=FAILED, message=message)
                state.put_file(row)
                done.failed_files.append((path, message))
            if self.progress:
                self.progress.update(sizes[path])
        if self.progress:
            self.progress.close()

    # day files -------------------------------------------------------------------------------

    def _feeds(self, state: State) -> dict[tuple[str, str], list[Source]]:
        """{(product, day): [Source]}, sources in the campaign's order of files."""
        feeds: dict[tuple[str, str], list[Source]] = {}
        for path, row in sorted(state.files().items()):
            if not row.cache or not os.path.exists(row.cache):
                continue
            totals: dict[str, int] = {}
            for entry in row.products.values():
                for day, count in entry["days"].items():
                    totals[day] = totals.get(day, 0) + count
            main = max(totals, key=lambda d: (totals[d], d)) if totals else None
            for product, entry in row.products.items():
                if entry["status"] in tasks.UNUSED:
                    continue
                for day in sorted(entry["days"]):
                    feeds.setdefault((product, day), []).append(
                        Source(
                            os.path.basename(path),
                            row.sha256,
                            row.cache,
                            entry.get("reported", 0),
                            entry.get("warnings", 0),
                            day == main,
                            entry["days"][day],
                        )
                    )
        return feeds

    def _stamp(self) -> str:
        """What a day file holds beside its records and sources: the global attributes the
        archive sets, and the rule naming a CDF file's variables."""
        naming = FORMATS[self.fmt].naming
        return json.dumps({"attributes": self.attributes, **({"names": naming} if naming else {})}, sort_keys=True)

    def _inputs_key(self, sources: list[Source]) -> str:
        text = json.dumps(
            [
                self.software,
                self.version,
                self.fmt,
                self.quicklook,
                [(s.name, s.sha256) for s in sources],
                self._stamp(),
            ]
        )
        return hashlib.sha256(text.encode()).hexdigest()

    @staticmethod
    def _never_decoded(state: State) -> list[str]:
        """L0 files that failed with no earlier good decode: the days they feed are unknown."""
        return [
            path for path, row in state.files().items() if row.status == FAILED and not (row.cache and row.products)
        ]

    def _file_changed(self, row: DayRow) -> bool:
        """Whether a day file in place is not the one the state recorded: its size or time
        differ and so does its hash (with --verify, its hash differs)."""
        if row.file_sha256 is None:
            return False  # recorded before day files were hashed: see _write_days
        stat = os.stat(row.path)
        if not self.verify and (stat.st_size, stat.st_mtime_ns) == (row.file_size, row.file_mtime_ns):
            return False
        return self._hash("day", row.path) != row.file_sha256

    def _write_days(self, state: State, done: Outcome, only: set[str] | None = None) -> None:
        """Brings the day files up to date (with `only`, a set of day file paths: those only,
        after the removals); a day task that failed is kept in self.failed_sources, with the
        sources it read."""
        self.failed_sources = {}
        feeds = self._feeds(state)
        rows = state.days(self.version)
        row: DayRow | None
        # the day files hold other attributes or names than now: every one is written again
        stamp = self._stamp()
        restamp = stamp != state.meta("day_files")
        for (product, day, version), row in rows.items():
            if (product, day) not in feeds:
                _remove(row.path, row.plot, tasks.plot_path(row.path))
                state.drop_day(product, day, version)
                done.removed.append(row.path)
        # A day that only records spilling over from L0 files of other days feed, while an L0
        # file failed with no earlier good decode, is most likely that file's own day: it is
        # held back (not written, an earlier file of it left as it is) until that file decodes.
        unknown = self._never_decoded(state)
        done.never_decoded = unknown
        jobs: list[Job[str, tasks.DayDone]] = []
        plans: dict[str, tuple[str, str, list[Source], str]] = {}
        for (product, day), sources in sorted(feeds.items()):
            path = day_path(self.archive, self.fmt, product, day, self.version)
            if only is not None and path not in only:
                continue
            if unknown and not any(s.main for s in sources):
                done.held_back.append(path)
                continue
            kind = _in_the_way(path)
            if kind is not None:  # not ours to remove: the day waits until it is gone
                done.failed_days.append(
                    (
                        path,
                        f"{kind} is where the day file goes, not a day file; "
                        "left as it is and the day not written (remove it "
                        "and run again)",
                    )
                )
                continue
            key = self._inputs_key(sources)
            row = rows.get((product, day, self.version))
            same_path = row is not None and row.path == path and os.path.exists(path)
            changed = row is not None and same_path and self._file_changed(row)
            if changed:
                done.damaged_days.append(path)
            elif (
                row is not None
                and same_path
                and row.inputs == key
                and not (self.verify and not row.file_sha256)
                and not (row.plot and not os.path.exists(row.plot))
            ):
                done.unchanged_days += 1
                continue
            if row and row.path != path:
                _remove(row.path, row.plot)
            names = [s.name for s in sources]
            known = row is not None and same_path and not changed and row.sources == names
            compare = row is None or (known and self.verify)
            if compare and os.path.exists(path):
                self._count("compared", path)
            task = tasks.DayTask(
                product,
                day,
                path,
                self.version,
                self.fmt,
                self.quicklook,
                sources=[(s.name, s.cache) for s in sources],
                attributes=self.attributes,
                # day files holding other global attributes or variable names are written again
                old_hash=row.records_sha256 if row is not None and known and not self.verify and not restamp else None,
                # a file in place the state does not know, or (with --verify) has no hash of,
                # is compared with the day's records before it is written again
                # (and its global attributes and variable names with what they are to be now)
                compare=compare,
                plot_known=row is not None and known and bool(row.plot),
            )
            plans[path] = (product, day, sources, key)
            jobs.append((path, tasks.write_day_file, (task,)))

        # the largest days first (the bytes of their decoder records): a worker taking one at
        # the end would leave the others idle
        def size(job: Job[str, tasks.DayDone]) -> int:
            product, _, sources, _ = plans[job[0]]
            return _record_bytes(product) * sum(s.records for s in sources)

        jobs.sort(key=size, reverse=True)
        if self.progress:
            self.progress.start("day files", len(jobs), "file")
        for path, value, error in self.runner.run(jobs, self.interrupted, interruptible=False):
            product, day, sources, key = plans[path]
            if self.progress:
                self.progress.update(0)
            if error is not None:
                done.failed_days.append((path, error))
                self.failed_sources[path] = sources
                continue
            assert value is not None  # a unit that ran to its end: write_day_file's DayDone
            state.put_day(
                DayRow(
                    product=product,
                    day=day,
                    version=self.version,
                    path=path,
                    inputs=key,
                    sources=[s.name for s in sources],
                    records_sha256=value.hash,
                    records=value.records,
                    duplicates=value.duplicates,
                    gaps=value.gaps,
                    largest_gap_s=value.largest_gap_s,
                    reported=sum(s.reported for s in sources),
                    warnings=sum(s.warnings for s in sources),
                    plot=value.plot,
                    written_at=_now(),
                    file_size=value.file_size,
                    file_mtime_ns=value.file_mtime_ns,
                    file_sha256=value.file_sha256,
                )
            )
            if value.written:
                done.written.append(path)
                done.duplicates += value.duplicates
            else:
                done.unchanged_days += 1
        if self.progress:
            self.progress.close()
        if restamp and not done.failed_days:
            state.put_meta("day_files", stamp)

    def _mend_caches(self, state: State, done: Outcome) -> None:
        """A day that could not be written may have read a cache file that no longer reads
        (damaged in place, its size and time put back): each such cache file of the days that
        failed is thrown away, its L0 file decoded again and those days written again."""
        failed = self.failed_sources
        if not failed:
            return
        owners = {row.cache: path for path, row in state.files().items() if row.cache}
        damaged = []
        for cache in sorted({s.cache for sources in failed.values() for s in sources}):
            if cache in owners and not tasks.cache_readable(cache):
                path = owners[cache]
                _remove(cache)
                damaged.append(path)
                done.damaged_caches.append(path)
                if path in done.unchanged_files:
                    done.unchanged_files.remove(path)
        if not damaged:
            return
        sizes: dict[str, int] = {}
        for path in damaged:
            try:
                sizes[path] = os.path.getsize(path)
            except OSError:
                sizes[path] = 0
        self._run_decodes(state, done, [p for p in damaged if os.path.exists(p)], sizes, state.files())
        done.failed_days = [(path, why) for path, why in done.failed_days if path not in failed]
        self._write_days(state, done, only=set(failed))

    def _remove_cache_files(self, state: State) -> None:
        """Cache files no L0 file of the campaign refers to any more."""
        kept = {row.cache for row in state.files().values() if row.cache}
        for path in glob.glob(os.path.join(glob.escape(self.cache_dir), "*.h5")):
            if path not in kept:
                _remove(path)

    # the coverage page -----------------------------------------------------------------------

    def _page(self, state: State) -> tuple[str, list[datetime.date]]:
        """Writes the coverage page; returns its path and the campaign's days no L0 file covers
        (dates), which the state keeps."""
        products: dict[str, list[dict[str, Any]]] = {}
        for (product, day, _), row in sorted(state.days(self.version).items()):
            products.setdefault(product, []).append(
                {
                    "day": day,
                    "records": row.records,
                    "duplicates": row.duplicates,
                    "gaps": row.gaps,
                    "largest_gap_s": row.largest_gap_s,
                    "reported": row.reported,
                    "warnings": row.warnings,
                    "file": state.relative(row.path) if os.path.isfile(row.path) else None,
                    "plot": state.relative(row.plot) if row.plot and os.path.exists(row.plot) else None,
                    "sources": row.sources,
                }
            )
        files = page_files(state)
        missing = missing_days(files)
        state.put_missing([f"{day:%Y%m%d}" for day in missing])
        summary = {
            **page_names(self.attributes),
            "generated": _now(),
            "software": json.loads(self.versions)["kesta-dravel"],
            "data_version": self.version,
            "versions": sorted(set(state.versions()) | {self.version}),
            "files": files,
            "products": products,
        }
        return coverage.write_page(self.archive, summary), missing


def page_files(state: State) -> list[dict[str, Any]]:
    """The L0 files of the state as the coverage page takes them (see `coverage`)."""
    files = []
    for path, row in sorted(state.files().items()):
        entries = row.products.values()
        day_records: dict[str, int] = {}
        for e in entries:
            for day, n in (e.get("days") or {}).items():
                day_records[day] = day_records.get(day, 0) + n
        firsts = [e["first"] for e in entries if e.get("first")]
        lasts = [e["last"] for e in entries if e.get("last")]
        files.append(
            {
                "name": os.path.basename(path),
                "status": row.status,
                "message": row.message,
                "size": row.size,
                "first": min(firsts, default=None),
                "last": max(lasts, default=None),
                "days": sorted(day_records),
                "product_days": {name: sorted(e.get("days") or {}) for name, e in row.products.items()},
                "product_records": {name: dict(e.get("days") or {}) for name, e in row.products.items()},
                "records": sum(e.get("records", 0) for e in entries),
                "reported": sum(e.get("reported", 0) for e in entries),
                "warnings": sum(e.get("warnings", 0) for e in entries),
            }
        )
    return files


def on_disk(archive: str) -> dict[str, set[str]]:
    """{format: {data version}} of the day files in the archive's product folders."""
    found: dict[str, set[str]] = {}
    for fmt in DAY_FORMATS:
        pattern = FORMATS[fmt].file_pattern
        suffix = os.path.splitext(pattern)[1]
        for path in glob.iglob(
            os.path.join(glob.escape(archive), "*", "[0-9]" * 4, "[0-9]" * 2, f"*_v[0-9][0-9]{suffix}")
        ):
            found.setdefault(fmt, set()).add(path[-len(suffix) - 2 : -len(suffix)])
    return found


def archive_format(state: State, asked: str | None) -> str:
    """The format of the archive's day files: one archive holds one format. A new archive takes
    the one asked for (cdf by default) and keeps it; a run asking an archive for another is
    refused before anything is touched, as its day files would otherwise be replaced."""
    held = state.meta("format")
    if held is None:
        # an archive made before the format was kept in its state, or whose state was lost:
        # its day files say it
        suffixes = {os.path.splitext(row.path)[1] for row in state.days().values()}
        found = (
            [f for f in DAY_FORMATS if FORMATS[f].suffix in suffixes] if suffixes else sorted(on_disk(state.archive))
        )
        if len(found) > 1:
            raise UsageError(
                f"{state.archive}: holds day files of several formats "
                f"({', '.join(found)}); give each format an archive of its own"
            )
        held = found[0] if found else None
    if held is not None and asked is not None and asked != held:
        raise UsageError(
            f"{state.archive}: holds {held} day files, not {asked}; an archive holds "
            f"one format (give another archive folder for {asked} day files)"
        )
    fmt = held or asked or "cdf"
    if state.meta("format") != fmt:
        state.put_meta("format", fmt)
    return fmt


def archive_version(state: State, asked: str | None) -> str:
    """The data version a run writes: the one asked for, or else the archive's newest (its
    state's, or its day files' when the state has none), 01 in a new archive. Older versions
    are left as they are."""
    if asked is not None:
        return asked
    fmt = state.meta("format")
    held = state.versions() or sorted(on_disk(state.archive).get(fmt, ()) if fmt is not None else ())
    return held[-1] if held else "01"


def sweep(archive: str) -> int:
    """Removes the temporary files of writers that did not finish (a campaign, or a worker of
    one, stopped or killed half way): the archive's state being held, none is being written."""
    removed = 0
    for folder, _, files in os.walk(archive):
        for name in files:
            if name.startswith(".") and ".part" in name and name != STATE_FILE:
                removed += _remove(os.path.join(folder, name))
    return removed


def _in_the_way(path: str) -> str | None:
    """What stands where a day file is to be that is not a file ("a directory", "a FIFO"...),
    or None (a regular file, or nothing)."""
    try:
        kind: str | None = not_regular(path)
    except OSError:
        return None
    return kind


def _remove(*paths: str | None) -> int:
    """Removes the files `paths` (a folder in their place is not the archive's own, and stays);
    how many there were."""
    n = 0
    for path in paths:
        if path and _in_the_way(path) is None:
            try:
                os.unlink(path)
                n += 1
            except FileNotFoundError:
                pass
    return n


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
