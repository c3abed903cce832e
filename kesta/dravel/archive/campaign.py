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

import datetime
import glob
import hashlib
import json
import os
import time
from dataclasses import dataclass, field
from typing import NamedTuple

from kesta.dravel.l1 import output
from kesta.dravel.l1.writers import check_data_version, writer_for

from . import tasks
from .state import FILE as STATE_FILE
from .state import State

CACHE = os.path.join(".dravel", "cache")    # inside the archive: the L0 files' cache files
FORMATS = ("cdf", "netcdf")
COMPONENTS = ("quorel", "tesmo", "vantor")


def software():
    """(versions as text, a short key of them): this package's version, and the contents of
    the components' modules and of the decoders' binaries (a rebuild, or a component
    changed, is a new software)."""
    from kesta.dravel import products as registry
    from kesta.dravel.l1.attributes import software_version

    versions = {"kesta-dravel": software_version()}
    for module in COMPONENTS:
        versions[module] = _files_hash(module, package=True)
    versions["decoders"] = _files_hash(*sorted({p.module for p in registry.PRODUCTS}))
    text = json.dumps(versions, sort_keys=True)
    return text, hashlib.sha256(text.encode()).hexdigest()[:12]


def _files_hash(*modules, package=False):
    """A short hash of the files of `modules` (with `package`, of every source and binary of
    their packages); "missing" for one that is not installed."""
    import importlib.util

    digest = hashlib.sha256()
    for module in modules:
        try:
            found = importlib.util.find_spec(module)
        except ImportError:
            found = None
        if found is None:
            digest.update(f"{module}: missing".encode())
            continue
        files = [found.origin] if found.origin and os.path.isfile(found.origin) else []
        if package and found.submodule_search_locations:
            files = []
            for folder in found.submodule_search_locations:
                for root, dirs, names in os.walk(folder):
                    dirs[:] = sorted(d for d in dirs if d != "__pycache__")
                    files += [os.path.join(root, n) for n in sorted(names) if n.endswith((".py", ".so"))]
        for path in files:
            digest.update(os.path.relpath(path, os.path.dirname(path)).encode())
            with open(path, "rb") as f:
                digest.update(f.read())
    return digest.hexdigest()[:16]


def day_path(archive, fmt, product, day, version):
    pattern = writer_for(fmt).day.file_pattern
    name = pattern.format(product=product, date=day, version=version)
    return os.path.join(archive, product, day[:4], day[4:6], name)


class Source(NamedTuple):
    """An L0 file feeding a day file: the units it reported and its warnings, for the product."""
    name: str
    sha256: str
    cache: str
    reported: int
    warnings: int


@dataclass
class Outcome:
    """What a campaign did."""
    files: int = 0
    decoded: list = field(default_factory=list)       # L0 paths decoded this run
    unchanged_files: int = 0
    failed_files: list = field(default_factory=list)   # (path, message)
    written: list = field(default_factory=list)        # day file paths
    unchanged_days: int = 0
    removed: list = field(default_factory=list)
    failed_days: list = field(default_factory=list)    # (path, message)
    duplicates: int = 0
    l0_bytes: int = 0
    seconds: float = 0.0
    page: str = ""


class Campaign:
    def __init__(self, inputs, archive, fmt=None, data_version="01", quicklook=False,
                 runner=None, progress=None, interrupted=None):
        if fmt is not None and fmt not in FORMATS:
            from kesta.dravel.l1.errors import UsageError

            raise UsageError(f"an archive holds day files: --format {' or '.join(FORMATS)}, not {fmt}")
        check_data_version(data_version)
        self.inputs = list(inputs)
        self.archive = os.path.abspath(archive)
        self.fmt, self.version, self.quicklook = fmt, data_version, quicklook
        self.runner = runner or LocalRunner(1)
        self.progress, self.interrupted = progress, interrupted
        self.cache_dir = os.path.join(self.archive, CACHE)
        self.versions, self.software = software()
        from kesta.dravel.l1.metadata import mission_attributes

        self.attributes = mission_attributes(self.archive)    # ARCHIVE/dravel-archive.toml

    # -----------------------------------------------------------------------------------------

    def run(self):
        started = time.monotonic()
        output.check_folder(self.archive, create=True)
        os.makedirs(self.cache_dir, exist_ok=True)
        done = Outcome(files=len(self.inputs))
        with State(self.archive) as state:
            self.fmt = archive_format(state, self.fmt)
            self.runner.check(self.inputs, self.archive)
            sweep(self.archive)          # what a campaign cut short was writing
            try:
                self._decode(state, done)
                self._write_days(state, done)
                self._remove_cache_files(state)
                done.page = self._page(state)
            finally:
                sweep(self.archive)
        done.seconds = time.monotonic() - started
        return done

    # L0 files --------------------------------------------------------------------------------

    def _decode(self, state, done):
        known = state.files()
        for path, row in known.items():
            if path not in self.inputs and not os.path.exists(path):
                state.drop_file(path)         # gone: it feeds nothing any more
        todo, sizes = [], {}
        for path in self.inputs:
            row = known.get(path)
            try:
                stat = os.stat(path)
            except OSError as exc:
                done.failed_files.append((path, f"cannot be read ({output.describe(exc)})"))
                continue
            if row and row["status"] != "failed" and row["software"] == self.software and \
                    (row["size"], row["mtime_ns"]) == (stat.st_size, stat.st_mtime_ns) and \
                    row["cache"] and os.path.exists(row["cache"]):
                done.unchanged_files += 1
                continue
            todo.append(path)
            sizes[path] = stat.st_size
        self.progress and self.progress.start("decoding", len(todo), "file")
        jobs = [(path, tasks.decode_file, (path, self.cache_dir, self.software)) for path in todo]
        for path, value, error in self.runner.run(jobs, self.interrupted, interruptible=True):
            if error is not None:
                found = tasks.find_decoded(path, self.cache_dir, self.software)
                if found is not None:
                    value, error = found, None
            if error is None and value.get("status") != "failed":
                state.put_file(path, dict(value, software=self.software, decoded_at=_now()))
            else:
                message = error or value.get("message") or "failed"
                previous = known.get(path) or {}
                # the last good decode, if any, goes on feeding the archive until the file
                # decodes again (it is tried again by every run)
                row = dict(previous, status="failed", message=message)
                if error is None and value.get("products"):
                    row = dict(value, software=self.software, decoded_at=_now(), status="failed",
                               message=message)
                state.put_file(path, row)
                done.failed_files.append((path, message))
            done.decoded.append(path)
            done.l0_bytes += sizes.get(path, 0)
            self.progress and self.progress.update(sizes.get(path, 0))
        self.progress and self.progress.close()

    # day files -------------------------------------------------------------------------------

    def _feeds(self, state):
        """{(product, day): [Source]}, sources in the campaign's order of files."""
        feeds = {}
        for path, row in sorted(state.files().items()):
            if not row["cache"] or not os.path.exists(row["cache"]):
                continue
            for product, entry in row["products"].items():
                if entry["status"] in ("failed", "skipped"):
                    continue
                for day in sorted(entry["days"]):
                    feeds.setdefault((product, day), []).append(
                        Source(os.path.basename(path), row["sha256"], row["cache"],
                               entry.get("reported", 0), entry.get("warnings", 0)))
        return feeds

    def _stamp(self):
        """What a day file holds beside its records and sources: the global attributes the
        archive sets, and the rule naming a CDF file's variables."""
        from kesta.dravel.l1.attributes import NAMES

        return json.dumps({"attributes": self.attributes, **({"names": NAMES} if self.fmt == "cdf" else {})},
                          sort_keys=True)

    def _inputs_key(self, sources):
        text = json.dumps([self.software, self.version, self.fmt, self.quicklook,
                           [(s.name, s.sha256) for s in sources], self._stamp()])
        return hashlib.sha256(text.encode()).hexdigest()

    def _write_days(self, state, done):
        feeds = self._feeds(state)
        rows = state.days(self.version)
        # the day files hold other attributes or names than now: every one is written again
        stamp = self._stamp()
        restamp = stamp != state.meta("day_files")
        for (product, day, version), row in rows.items():
            if (product, day) not in feeds:
                _remove(row["path"], row.get("plot"))
                state.drop_day(product, day, version)
                done.removed.append(row["path"])
        jobs, plans = [], {}
        for (product, day), sources in sorted(feeds.items()):
            path = day_path(self.archive, self.fmt, product, day, self.version)
            key = self._inputs_key(sources)
            row = rows.get((product, day, self.version))
            if row and row["inputs"] == key and row["path"] == path and os.path.exists(path) and \
                    not (row["plot"] and not os.path.exists(row["plot"])):
                done.unchanged_days += 1
                done.duplicates += row["duplicates"]
                continue
            if row and row["path"] != path:
                _remove(row["path"], row.get("plot"))
            task = {"product": product, "day": day, "path": path, "version": self.version,
                    "format": self.fmt, "quicklook": self.quicklook, "attributes": self.attributes,
                    "sources": [(s.name, s.cache) for s in sources],
                    "old_hash": row["records_sha256"] if row and row["path"] == path and not restamp
                    else None}
            plans[path] = (product, day, sources, key)
            jobs.append((path, tasks.write_day_file, (task,)))
        self.progress and self.progress.start("day files", len(jobs), "file")
        for path, value, error in self.runner.run(jobs, self.interrupted, interruptible=False):
            product, day, sources, key = plans[path]
            self.progress and self.progress.update(0)
            if error is not None:
                done.failed_days.append((path, error))
                continue
            state.put_day({"product": product, "day": day, "version": self.version, "path": path,
                           "inputs": key, "sources": [s.name for s in sources],
                           "records_sha256": value["hash"], "records": value["records"],
                           "duplicates": value["duplicates"], "gaps": value["gaps"],
                           "largest_gap_s": value["largest_gap_s"],
                           "reported": sum(s.reported for s in sources),
                           "warnings": sum(s.warnings for s in sources),
                           "plot": value["plot"], "written_at": _now()})
            done.duplicates += value["duplicates"]
            if value["written"]:
                done.written.append(path)
            else:
                done.unchanged_days += 1
        self.progress and self.progress.close()
        if restamp and not done.failed_days:
            state.put_meta("day_files", stamp)

    def _remove_cache_files(self, state):
        """Cache files no L0 file of the campaign refers to any more."""
        kept = {row["cache"] for row in state.files().values() if row["cache"]}
        for path in glob.glob(os.path.join(glob.escape(self.cache_dir), "*.h5")):
            if path not in kept:
                _remove(path)

    # the coverage page -----------------------------------------------------------------------

    def _page(self, state):
        from kesta.dravel.l1.metadata import page_names

        from .coverage import write_page

        products = {}
        for (product, day, _), row in sorted(state.days(self.version).items()):
            products.setdefault(product, []).append({
                "day": day, "records": row["records"], "duplicates": row["duplicates"],
                "gaps": row["gaps"], "largest_gap_s": row["largest_gap_s"],
                "reported": row["reported"], "warnings": row["warnings"],
                "file": state.relative(row["path"]) if os.path.exists(row["path"]) else None,
                "plot": state.relative(row["plot"]) if row["plot"] and os.path.exists(row["plot"]) else None,
                "sources": row["sources"]})
        files = []
        for path, row in sorted(state.files().items()):
            entries = row["products"].values()
            day_records = {}
            for e in entries:
                for day, n in (e.get("days") or {}).items():
                    day_records[day] = day_records.get(day, 0) + n
            firsts = [e["first"] for e in entries if e.get("first")]
            lasts = [e["last"] for e in entries if e.get("last")]
            files.append({"name": os.path.basename(path), "status": row["status"],
                          "message": row["message"], "size": row["size"],
                          "first": min(firsts, default=None), "last": max(lasts, default=None),
                          "days": sorted(day_records),
                          "product_days": {name: sorted(e.get("days") or {}) for name, e in
                                           row["products"].items()},
                          "records": sum(e.get("records", 0) for e in entries),
                          "reported": sum(e.get("reported", 0) for e in entries),
                          "warnings": sum(e.get("warnings", 0) for e in entries)})
        summary = {**page_names(self.attributes), "generated": _now(),
                   "software": json.loads(self.versions)["kesta-dravel"], "data_version": self.version,
                   "files": files, "products": products}
        return write_page(self.archive, summary)


def archive_format(state, asked):
    """The format of the archive's day files: one archive holds one format. A new archive takes
    the one asked for (cdf by default) and keeps it; a run asking an archive for another is
    refused before anything is touched, as its day files would otherwise be replaced."""
    from kesta.dravel.l1.errors import UsageError

    held = state.meta("format")
    if held is None:
        # an archive made before the format was kept in its state: its day files say it
        suffixes = {os.path.splitext(row["path"])[1] for row in state.days().values()}
        found = [f for f in FORMATS if writer_for(f).day.file_pattern.endswith(tuple(suffixes))] \
            if suffixes else []
        if len(found) > 1:
            raise UsageError(f"{state.archive}: holds day files of several formats "
                             f"({', '.join(found)}); give each format an archive of its own")
        held = found[0] if found else None
    if held is not None and asked is not None and asked != held:
        raise UsageError(f"{state.archive}: holds {held} day files, not {asked}; an archive holds "
                         f"one format (give another archive folder for {asked} day files)")
    fmt = held or asked or "cdf"
    if state.meta("format") != fmt:
        state.put_meta("format", fmt)
    return fmt


def sweep(archive):
    """Removes the temporary files of writers that did not finish (a campaign, or a worker of
    one, stopped or killed half way): the archive's state being held, none is being written."""
    removed = 0
    for folder, dirs, files in os.walk(archive):
        for name in files:
            if name.startswith(".") and ".part" in name and name != STATE_FILE:
                removed += _remove(os.path.join(folder, name))
    return removed


def _remove(*paths):
    n = 0
    for path in paths:
        if path:
            try:
                os.unlink(path)
                n += 1
            except FileNotFoundError:
                pass
    return n


def _now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


from .runners import LocalRunner  # noqa: E402
