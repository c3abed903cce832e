"""The availability datasets: for each product, `<product>_availability`, one record per day file
of the product's dataset (the newest data version of each day): the start and stop of its UTC
day, its number of records, its data version and the URL at which the server sends the file
itself (`/hapi/files/<product>/<file name>`, the name looked up among the day files found).

A record's time is the start of its day: a range holds the day files whose day starts in it.
The number of records comes from the archive's state (read only; a run may be writing it) when
the state describes the file as it is on disk (its size and modification time), else from the
file itself.
"""

from __future__ import annotations

import json
import logging
import os
import sqlite3
from collections.abc import Mapping, Sequence
from typing import Any
from urllib.parse import quote

import numpy as np

from kesta.dravel.archive.state import FILE as STATE_FILE

from . import dayfile, times
from .archive import Dataset, DayFile
from .stream import OutputFormat

log = logging.getLogger(__name__)

SUFFIX = "_availability"
TIME_LENGTH = 20  # yyyy-mm-ddThh:mm:ssZ
VERSION_LENGTH = 3  # v<NN>, as in the file name (a bare 01 reads back as a number in CSV)

# what the state says of a day file, (records, file size, file modification time ns), by
# (product, day, version)
StateKey = tuple[str, str, str]
StateEntry = tuple[int, int | None, int | None]
# (start, stop, records, data version, url) of a day file
Row = tuple[str, str, int, str, str]


def product_of(did: object) -> str | None:
    """The product of an availability dataset id, or None for another id."""
    if isinstance(did, str) and did.endswith(SUFFIX) and len(did) > len(SUFFIX):
        return did[: -len(SUFFIX)]
    return None


def state_path(root: str) -> str:
    return os.path.join(root, STATE_FILE)


def chosen(names: str | None) -> list[int]:
    """The column indices (the time, 0, first) a request's `parameters` names; HapiError-style
    (code, detail) raised as ValueError for an unknown name (1407) or a wrong order (1411)."""
    order = ["start", "stop", "records", "data_version", "url"]
    if names is None or not names.strip():
        return list(range(len(order)))
    wanted = [n.strip() for n in names.split(",")]
    unknown = [n for n in wanted if n not in order]
    if unknown:
        raise ValueError(1407, ", ".join(unknown))
    positions = [order.index(n) for n in wanted]
    if positions != sorted(positions) or len(set(positions)) != len(positions):
        raise ValueError(1411, ",".join(wanted))
    return [0] + [i for i in positions if i > 0]


def state_days(root: str) -> dict[StateKey, StateEntry]:
    """{(product, day, version): (records, file size, file modification time ns)} of the day
    files the archive's state describes ({} without a readable state; sizes and times None in a
    state that has none)."""
    path = state_path(root)
    if not os.path.isfile(path):
        return {}
    try:
        db = sqlite3.connect(f"file:{quote(path)}?mode=ro", uri=True, timeout=2)
    except sqlite3.Error as exc:
        log.warning("%s: %s", path, exc)
        return {}
    try:
        try:
            rows = db.execute(
                "SELECT product, day, version, records, file_size, file_mtime_ns FROM day_files"
            ).fetchall()
        except sqlite3.OperationalError:  # a state of the first schema: no file columns
            rows = [r + (None, None) for r in db.execute("SELECT product, day, version, records FROM day_files")]
    except sqlite3.Error as exc:
        log.warning("%s: %s", path, exc)
        return {}
    finally:
        db.close()
    return {(p, d, v): (int(n), size, mtime) for p, d, v, n, size, mtime in rows}


def records_of(day: DayFile, known: Mapping[StateKey, StateEntry]) -> int | None:
    """The number of records of a DayFile: the state's (`known`, from state_days) when it
    describes the file as it is, else counted in the file (None when it cannot be read)."""
    try:
        st = os.stat(day.path)
    except OSError:
        return None
    found = known.get((day.product, day.date, day.version))
    if found is not None and found[1] == st.st_size and found[2] == st.st_mtime_ns:
        return found[0]
    try:
        opened = dayfile.open_day(day)
    except (OSError, ValueError):
        return None
    try:
        return opened.records("Epoch") if opened.has("Epoch") else 0
    except (OSError, ValueError, KeyError):
        return None
    finally:
        opened.close()


def file_url(base: str, day: DayFile) -> str:
    return f"{base}hapi/files/{quote(day.product)}/{quote(os.path.basename(day.path))}"


def parameters(dataset: Dataset, base: str) -> list[dict[str, Any]]:
    """The HAPI parameters of a product's availability dataset; `base`: the server's URL
    ("http://host:port/")."""
    width = max(len(file_url(base, f)) for f in dataset.files)
    return [
        {
            "name": "start",
            "type": "isotime",
            "units": "UTC",
            "fill": None,
            "length": TIME_LENGTH,
            "description": "Start of the day file's UTC day",
        },
        {
            "name": "stop",
            "type": "isotime",
            "units": "UTC",
            "fill": None,
            "length": TIME_LENGTH,
            "description": "End of the day file's UTC day (the start of the next)",
        },
        {
            "name": "records",
            "type": "integer",
            "units": None,
            "fill": "-1",
            "description": "Records in the day file (-1: it cannot be read)",
        },
        {
            "name": "data_version",
            "type": "string",
            "units": None,
            "fill": None,
            "length": VERSION_LENGTH,
            "description": "Data version of the day file (v<NN>, as in its name)",
        },
        {
            "name": "url",
            "type": "string",
            "units": None,
            "fill": None,
            "length": width,
            "description": "Where the server sends the day file",
        },
    ]


def rows(dataset: Dataset, root: str, base: str, start: int, stop: int) -> list[Row]:
    """(start, stop, records, data version, url) of the day files whose day starts in
    [start, stop) (TT2000), in day order."""
    known = state_days(root)
    out: list[Row] = []
    for day in dataset.files:
        first = times.day_start(day.date)
        if first is None or not start <= first < stop:
            continue
        n = records_of(day, known)
        out.append(
            (
                times.day_text(day.date),
                times.day_text(day.date, after=True),
                -1 if n is None else n,
                f"v{day.version}",
                file_url(base, day),
            )
        )
    return out


def encode(rows_: Sequence[Row], chosen: Sequence[int], fmt: OutputFormat, width: int) -> bytes:
    """The bytes of the rows' `chosen` columns (indices, the time 0 first) in a format."""
    if fmt == "csv":
        return "".join(",".join(str(r[i]) for i in chosen) + "\n" for r in rows_).encode()
    if fmt == "json":
        return ",\n".join(json.dumps([r[i] for i in chosen]) for r in rows_).encode()
    kinds = [
        ("start", f"S{TIME_LENGTH}"),
        ("stop", f"S{TIME_LENGTH}"),
        ("records", "<i4"),
        ("data_version", f"S{VERSION_LENGTH}"),
        ("url", f"S{width}"),
    ]
    dtype = np.dtype([kinds[i] for i in chosen])
    out = np.zeros(len(rows_), dtype=dtype)
    for i in chosen:
        out[kinds[i][0]] = [r[i] for r in rows_]
    return out.tobytes()
