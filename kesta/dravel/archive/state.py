"""The campaign's state: an SQLite file in the archive, written by the campaign process only.

Per L0 file: its size, modification time and content hash, the software that decoded it, its
statuses, its cache file and the days each product's records fall on. Per day file (product,
day, data version): the L0 files it came from, the key of those inputs, a hash of its records
and what the coverage page shows of it. Every step is committed as soon as it is done, so a
campaign cut short keeps what it finished.

The state is held by one campaign at a time: SQLite's exclusive locking keeps the file locked
for as long as the campaign has it open, and a second one is refused at once.
"""
from __future__ import annotations

import json
import os
import sqlite3

from kesta.dravel.l1.errors import UsageError

FILE = "dravel-archive.sqlite"
SCHEMA = 1

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
"""


class State:
    def __init__(self, archive):
        self.archive = os.path.abspath(archive)
        self.path = os.path.join(self.archive, FILE)
        try:
            self.db = sqlite3.connect(self.path, timeout=0, isolation_level=None)
            self.db.execute("PRAGMA locking_mode=EXCLUSIVE")
            self.db.executescript(TABLES)
            self.db.execute("BEGIN EXCLUSIVE")       # held until the campaign closes the state
            self.db.execute("INSERT OR IGNORE INTO meta VALUES ('schema', ?)", (str(SCHEMA),))
            self.db.execute("COMMIT")
        except sqlite3.OperationalError as exc:
            self._close()
            if "locked" in str(exc):
                raise UsageError(f"{self.archive}: another dravel archive run is updating this "
                                 "archive; wait for it to end") from None
            raise UsageError(f"{self.path}: cannot be used as the archive's state ({exc})") from None
        except sqlite3.DatabaseError as exc:
            self._close()
            raise UsageError(f"{self.path}: cannot be used as the archive's state ({exc})") from None
        schema = self.db.execute("SELECT value FROM meta WHERE key='schema'").fetchone()[0]
        if schema != str(SCHEMA):
            self._close()
            raise UsageError(f"{self.path}: made by another version of dravel (state schema {schema})")

    def _close(self):
        db, self.db = getattr(self, "db", None), None
        if db is not None:
            db.close()

    def close(self):
        self._close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _write(self, sql, values):
        """One change, committed; a state that cannot be written (a full disk) is one line."""
        from kesta.dravel.l1.errors import WriteError

        try:
            with self.db:
                self.db.execute(sql, values)
        except sqlite3.Error as exc:
            raise WriteError(f"{self.path}: the archive's state cannot be written ({exc})") from None

    def meta(self, key):
        row = self.db.execute("SELECT value FROM meta WHERE key=?", (key,)).fetchone()
        return row[0] if row else None

    def put_meta(self, key, value):
        self._write("INSERT OR REPLACE INTO meta VALUES (?, ?)", (key, value))

    def relative(self, path):
        return os.path.relpath(path, self.archive) if path else None

    def absolute(self, path):
        return os.path.join(self.archive, path) if path else None

    # L0 files ------------------------------------------------------------------------------

    def files(self):
        """{path: row as dict} of every L0 file of the campaign."""
        rows = self.db.execute("SELECT path, size, mtime_ns, sha256, software, status, message, "
                               "cache, products, decoded_at FROM l0_files").fetchall()
        out = {}
        for path, size, mtime_ns, sha, software, status, message, cache, products, when in rows:
            out[path] = {"path": path, "size": size, "mtime_ns": mtime_ns, "sha256": sha,
                         "software": software, "status": status, "message": message,
                         "cache": self.absolute(cache), "products": json.loads(products),
                         "decoded_at": when}
        return out

    def put_file(self, path, row):
        self._write("INSERT OR REPLACE INTO l0_files VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (path, row.get("size"), row.get("mtime_ns"), row.get("sha256"), row.get("software"),
                     row["status"], row.get("message", ""), self.relative(row.get("cache")),
                     json.dumps(row.get("products", {})), row.get("decoded_at")))

    def drop_file(self, path):
        self._write("DELETE FROM l0_files WHERE path=?", (path,))

    # day files -----------------------------------------------------------------------------

    COLUMNS = ("product", "day", "version", "path", "inputs", "sources", "records_sha256", "records",
               "duplicates", "gaps", "largest_gap_s", "reported", "warnings", "plot", "written_at")

    def days(self, version=None):
        """{(product, day, version): row as dict}."""
        query = f"SELECT {', '.join(self.COLUMNS)} FROM day_files"
        rows = self.db.execute(query + (" WHERE version=?" if version else ""),
                               (version,) if version else ()).fetchall()
        out = {}
        for values in rows:
            row = dict(zip(self.COLUMNS, values))
            row["sources"] = json.loads(row["sources"])
            row["path"], row["plot"] = self.absolute(row["path"]), self.absolute(row["plot"])
            out[(row["product"], row["day"], row["version"])] = row
        return out

    def put_day(self, row):
        values = dict(row, sources=json.dumps(row["sources"]), path=self.relative(row["path"]),
                      plot=self.relative(row.get("plot")))
        self._write(f"INSERT OR REPLACE INTO day_files VALUES ({', '.join('?' * len(self.COLUMNS))})",
                    tuple(values[c] for c in self.COLUMNS))

    def drop_day(self, product, day, version):
        self._write("DELETE FROM day_files WHERE product=? AND day=? AND version=?",
                    (product, day, version))
