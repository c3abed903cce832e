"""The campaign's state: an SQLite file in the archive, written by the campaign process only.

Per L0 file: its size, modification time and content hash, the software that decoded it, its
statuses, its cache file (and that file's size, time and hash) and the days each product's
records fall on. Per day file (product, day, data version): the L0 files it came from, the key
of those inputs, a hash of its records, the size, time and hash of the file itself and what the
coverage page shows of it. And the days of the campaign no L0 file covers (their L0 file is
missing). Every step is committed as soon as it is done, so a campaign cut short keeps what it
finished.

The state is in SQLite's write-ahead-log mode: it can be read (a monitoring query, the coverage
page, a server) while a run writes it, and a reader never holds a run up. One run at a time is
SQLite's own write lock: a run holds it from its start to its end, committing each step and
taking it again at once (`BEGIN IMMEDIATE`, never waiting), so a second run is refused at once.
(Between a commit and the lock taken again there is a moment of microseconds: a second run
starting exactly then gets the lock, and the first one stops with one line rather than write
beside it.) Nothing of the lock outlives the run's process: the kernel drops it with the process, and the
next connection that opens the state takes over its log.
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import os
import sqlite3
from collections.abc import Collection
from dataclasses import dataclass, field
from typing import Any, Literal

from kesta.dravel.l1.errors import UsageError, WriteError

FILE = "dravel-archive.sqlite"
SCHEMA = 3
BUSY = "another dravel archive run is updating this archive; wait for it to end"

TABLES = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS l0_files (
    path TEXT PRIMARY KEY,
    size INTEGER, mtime_ns INTEGER, sha256 TEXT,
    software TEXT,              -- the software and component versions that decoded it
    status TEXT NOT NULL,       -- ok, partial, failed
    message TEXT NOT NULL DEFAULT '',
    cache TEXT,                 -- its cache file (the last good decode), relative to the archive
    products TEXT NOT NULL DEFAULT '{}',  -- JSON: product -> status, counts, days it feeds
    decoded_at TEXT
);
CREATE TABLE IF NOT EXISTS day_files (
    product TEXT NOT NULL, day TEXT NOT NULL, version TEXT NOT NULL,
    path TEXT NOT NULL,         -- relative to the archive
    inputs TEXT NOT NULL,       -- key of the L0 contents and software it was made from
    sources TEXT NOT NULL,      -- JSON: the L0 files it came from
    records_sha256 TEXT NOT NULL,
    records INTEGER NOT NULL, duplicates INTEGER NOT NULL,
    gaps INTEGER NOT NULL, largest_gap_s REAL NOT NULL,
    reported INTEGER NOT NULL, warnings INTEGER NOT NULL,
    plot TEXT,
    written_at TEXT NOT NULL,
    PRIMARY KEY (product, day, version)
);
CREATE TABLE IF NOT EXISTS missing_days (   -- schema 3: campaign days no L0 file covers
    day TEXT PRIMARY KEY        -- YYYYMMDD
);
"""
# columns added by schema 2: (table, column, type); a state of schema 1 is given them, empty
ADDED = (
    ("l0_files", "cache_size", "INTEGER"),
    ("l0_files", "cache_mtime_ns", "INTEGER"),
    ("l0_files", "cache_sha256", "TEXT"),
    ("day_files", "file_size", "INTEGER"),
    ("day_files", "file_mtime_ns", "INTEGER"),
    ("day_files", "file_sha256", "TEXT"),
)


@dataclass(kw_only=True)
class FileRow:
    """The state's row of an L0 file (table l0_files, a field a column, in the columns' order):
    its cache file as an absolute path, its products as plain data (the JSON column, read)."""

    path: str
    size: int | None = None
    mtime_ns: int | None = None
    sha256: str | None = None
    software: str | None = None  # the software and component versions that decoded it
    status: str  # ok, partial, failed
    message: str = ""
    cache: str | None = None  # its cache file (the last good decode)
    products: dict[str, dict[str, Any]] = field(default_factory=dict)  # product -> status, counts, days
    decoded_at: str | None = None
    cache_size: int | None = None
    cache_mtime_ns: int | None = None
    cache_sha256: str | None = None


@dataclass(kw_only=True)
class DayRow:
    """The state's row of a day file (table day_files, a field a column, in the columns' order):
    the file and its plot as absolute paths, its sources (L0 file names) as a list."""

    product: str
    day: str  # YYYYMMDD
    version: str
    path: str
    inputs: str  # key of the L0 contents and software it was made from
    sources: list[str]
    records_sha256: str
    records: int
    duplicates: int
    gaps: int
    largest_gap_s: float
    reported: int
    warnings: int
    plot: str | None = None
    written_at: str
    file_size: int | None = None
    file_mtime_ns: int | None = None
    file_sha256: str | None = None


FILE_COLUMNS = tuple(f.name for f in dataclasses.fields(FileRow))
DAY_COLUMNS = tuple(f.name for f in dataclasses.fields(DayRow))


def damaged(path: str, exc: BaseException) -> UsageError:
    """The one line of a state SQLite cannot use."""
    return UsageError(
        f"{path}: the archive's state is damaged ({exc}); run again with --repair "
        "to rebuild it from the archive's files"
    )


class State:
    """The state of the archive folder `archive`, open and locked for this run (UsageError at
    once when another run holds it)."""

    def __init__(self, archive: str) -> None:
        self.archive = os.path.abspath(archive)
        self.path = os.path.join(self.archive, FILE)
        self.created = not os.path.exists(self.path)
        self.db: sqlite3.Connection | None = None
        try:
            self.db = sqlite3.connect(self.path, timeout=0, isolation_level=None)
            mode = self.db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
            if mode.lower() != "wal":
                raise sqlite3.OperationalError(f"journal mode {mode}, not wal")
            self.db.execute("PRAGMA synchronous=NORMAL")
            self.db.execute("BEGIN IMMEDIATE")  # the run's lock, held until it closes
        except sqlite3.OperationalError as exc:
            self._close()
            if "locked" in str(exc) or "busy" in str(exc):
                raise UsageError(f"{self.archive}: {BUSY}") from None
            if "full" in str(exc):  # the disk filled up since the run looked: not damage
                raise WriteError(f"{self.path}: the archive's state cannot be written ({exc})") from None
            raise damaged(self.path, exc) from None
        except sqlite3.DatabaseError as exc:
            self._close()
            raise damaged(self.path, exc) from None
        try:
            self._migrate()
        except sqlite3.DatabaseError as exc:
            self._close()
            raise damaged(self.path, exc) from None

    def _connection(self) -> sqlite3.Connection:
        """The state's connection, while it is open."""
        assert self.db is not None, f"{self.path}: the state is closed"
        return self.db

    def _migrate(self) -> None:
        db = self._connection()
        for statement in TABLES.split(";"):
            if statement.strip():
                db.execute(statement)
        db.execute("INSERT OR IGNORE INTO meta VALUES ('schema', ?)", (str(SCHEMA),))
        schema = db.execute("SELECT value FROM meta WHERE key='schema'").fetchone()[0]
        if schema not in ("1", "2", str(SCHEMA)):  # older states are given what they lack
            self._close()
            raise UsageError(f"{self.path}: made by another version of dravel (state schema {schema})")
        for table, column, kind in ADDED:
            have = {row[1] for row in db.execute(f"PRAGMA table_info({table})")}
            if column not in have:
                db.execute(f"ALTER TABLE {table} ADD COLUMN {column} {kind}")
        db.execute("UPDATE meta SET value=? WHERE key='schema'", (str(SCHEMA),))
        db.execute("COMMIT")
        db.execute("BEGIN IMMEDIATE")

    def _close(self) -> None:
        db, self.db = self.db, None
        if db is not None:
            try:
                if db.in_transaction:
                    db.execute("ROLLBACK")
            except sqlite3.Error:
                pass
            db.close()

    def close(self) -> None:
        self._close()

    def __enter__(self) -> State:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def _read(self, sql: str, values: tuple[object, ...] = ()) -> list[tuple[Any, ...]]:
        try:
            return self._connection().execute(sql, values).fetchall()
        except sqlite3.DatabaseError as exc:
            raise damaged(self.path, exc) from None

    def _write(self, sql: str, values: tuple[object, ...], *more: tuple[str, tuple[object, ...]]) -> None:
        """One change (an SQL statement and its values, and `more` such pairs, all or none),
        committed, the run's lock taken again at once; a state that cannot be written (a full
        disk) is one line."""
        db = self._connection()
        error: UsageError | WriteError
        try:
            for statement, args in ((sql, values), *more):
                db.execute(statement, args)
            db.execute("COMMIT")
        except sqlite3.OperationalError as exc:
            if "full" in str(exc) or "I/O" in str(exc):
                error = WriteError(f"{self.path}: the archive's state cannot be written ({exc})")
            else:
                error = damaged(self.path, exc)
        except sqlite3.DatabaseError as exc:
            error = damaged(self.path, exc)
        else:
            self._relock()
            return
        try:
            db.execute("ROLLBACK")
        except sqlite3.Error:
            pass
        raise error from None

    def _relock(self) -> None:
        db = self._connection()
        try:
            if not db.in_transaction:
                db.execute("BEGIN IMMEDIATE")
        except sqlite3.OperationalError as exc:
            if "locked" in str(exc) or "busy" in str(exc):
                raise UsageError(
                    f"{self.archive}: another dravel archive run took this archive's "
                    "state while this one was writing it; this run stops"
                ) from None
            raise damaged(self.path, exc) from None

    def meta(self, key: str) -> str | None:
        rows = self._read("SELECT value FROM meta WHERE key=?", (key,))
        value: str | None = rows[0][0] if rows else None
        return value

    def put_meta(self, key: str, value: str) -> None:
        self._write("INSERT OR REPLACE INTO meta VALUES (?, ?)", (key, value))

    def relative(self, path: str | None) -> str | None:
        return os.path.relpath(path, self.archive) if path else None

    def absolute(self, path: str | None) -> str | None:
        return os.path.join(self.archive, path) if path else None

    # L0 files ------------------------------------------------------------------------------

    def files(self) -> dict[str, FileRow]:
        """{path: row} of every L0 file of the campaign."""
        out = {}
        for values in self._read(f"SELECT {', '.join(FILE_COLUMNS)} FROM l0_files"):
            row = dict(zip(FILE_COLUMNS, values))
            row.update(cache=self.absolute(row["cache"]), products=json.loads(row["products"]))
            out[row["path"]] = FileRow(**row)
        return out

    def put_file(self, row: FileRow) -> None:
        values = dict(
            vars(row),
            message=row.message or "",
            cache=self.relative(row.cache),
            products=json.dumps(row.products or {}),
        )
        self._write(
            f"INSERT OR REPLACE INTO l0_files ({', '.join(FILE_COLUMNS)}) "
            f"VALUES ({', '.join('?' * len(FILE_COLUMNS))})",
            tuple(values[c] for c in FILE_COLUMNS),
        )

    def drop_file(self, path: str) -> None:
        self._write("DELETE FROM l0_files WHERE path=?", (path,))

    # day files -----------------------------------------------------------------------------

    def days(self, version: str | None = None) -> dict[tuple[str, str, str], DayRow]:
        """{(product, day, version): row}."""
        query = f"SELECT {', '.join(DAY_COLUMNS)} FROM day_files"
        rows = self._read(query + (" WHERE version=?" if version else ""), (version,) if version else ())
        out = {}
        for values in rows:
            row = dict(zip(DAY_COLUMNS, values))
            row["sources"] = json.loads(row["sources"])
            row["path"], row["plot"] = self.absolute(row["path"]), self.absolute(row["plot"])
            out[(row["product"], row["day"], row["version"])] = DayRow(**row)
        return out

    def versions(self) -> list[str]:
        """The data versions of the archive's day files, oldest first."""
        return [v for (v,) in self._read("SELECT DISTINCT version FROM day_files ORDER BY version")]

    def put_day(self, row: DayRow) -> None:
        values = dict(
            vars(row),
            sources=json.dumps(row.sources),
            path=self.relative(row.path),
            plot=self.relative(row.plot),
        )
        self._write(
            f"INSERT OR REPLACE INTO day_files ({', '.join(DAY_COLUMNS)}) VALUES ({', '.join('?' * len(DAY_COLUMNS))})",
            tuple(values[c] for c in DAY_COLUMNS),
        )

    def missing(self) -> list[str]:
        """The campaign's days (YYYYMMDD) no L0 file covers, oldest first."""
        return [day for (day,) in self._read("SELECT day FROM missing_days ORDER BY day")]

    def put_missing(self, days: Collection[str]) -> None:
        """The campaign's days no L0 file covers, as they are now (those listed before go)."""
        if sorted(days) != self.missing():
            self._write(
                "DELETE FROM missing_days",
                (),
                *(("INSERT INTO missing_days VALUES (?)", (day,)) for day in sorted(days)),
            )

    def drop_day(self, product: str, day: str, version: str) -> None:
        self._write("DELETE FROM day_files WHERE product=? AND day=? AND version=?", (product, day, version))


def move_aside(archive: str) -> str | None:
    """Moves the archive's state (and its log) aside for a rebuild; returns where it went, or
    None when there was none."""
    path = os.path.join(os.path.abspath(archive), FILE)
    if not os.path.exists(path):
        return None
    db = None
    try:  # a run using it is left alone
        db = sqlite3.connect(path, timeout=0, isolation_level=None)
        db.execute("BEGIN IMMEDIATE")
        db.execute("ROLLBACK")
    except sqlite3.OperationalError as exc:
        if "locked" in str(exc) or "busy" in str(exc):
            raise UsageError(f"{os.path.dirname(path)}: {BUSY}") from None
    except sqlite3.DatabaseError:
        pass  # damaged: moved aside below
    finally:
        if db is not None:
            db.close()
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    aside = f"{path}.damaged-{stamp}"
    for suffix in ("-wal", "-shm", "-journal"):
        if os.path.exists(path + suffix):
            os.replace(path + suffix, aside + suffix)
    os.replace(path, aside)
    return aside
