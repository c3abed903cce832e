"""The records of a `data` request, read day file by day file and encoded block by block (CSV,
binary or JSON), so that what a request holds in memory is at most one day file's open handle
(or its records, kept by the server's HeldDays for all requests) and one block, whatever its
time range.

Day files hold the records of their UTC day in time order: going through the dataset's day
files in day order gives every record of the range once, in time order.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Callable, Generator, Iterator, Sequence
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from . import times
from .archive import Dataset
from .dayfile import Description, HeldDays, OpenDay, Parameter, open_day

log = logging.getLogger(__name__)

# The encoded size of a block: records are read and sent this many bytes (of binary) at a time.
BLOCK_BYTES = 4 << 20
DAY_NS = 86_400 * 10**9

# The formats of a data stream
OutputFormat = Literal["csv", "binary", "json"]
# (times as HAPI strings, [values of each parameter]) of a block of records
Block = tuple[NDArray[np.bytes_], list[NDArray[Any]]]
# The bytes of a block of records (memoryview: a binary block's, not copied)
Chunk = bytes | memoryview


def record_bytes(parameters: Sequence[Parameter]) -> int:
    return times.TIME_LENGTH + sum(p.dtype.itemsize * int(np.prod(p.size, dtype=np.int64)) for p in parameters)


def blocks(
    dataset: Dataset,
    description: Description,
    parameters: Sequence[Parameter],
    start: int,
    stop: int,
    days: HeldDays | None = None,
) -> Generator[Block, None, None]:
    """(times as HAPI strings, [values of each parameter]) of the records in [start, stop)
    (TT2000), a block at a time; a variable a day file lacks is given as fill. `days`: the
    HeldDays the day files are read through (each opened for the request without it)."""
    rows = max(1, BLOCK_BYTES // record_bytes(parameters))
    for day in dataset.files:
        first = times.day_start(day.date)
        if first is None or first + DAY_NS <= start or first >= stop:
            continue
        try:
            opened: OpenDay = open_day(day) if days is None else days.open(day, description)
        except FileNotFoundError:  # gone since the folder was listed (a version withdrawn)
            log.warning("%s: gone while being served", day.path)
            continue
        try:
            yield from _day_blocks(opened, description, parameters, start, stop, rows)
        finally:
            opened.close()


def _day_blocks(
    opened: OpenDay, description: Description, parameters: Sequence[Parameter], start: int, stop: int, rows: int
) -> Iterator[Block]:
    if not opened.has(description.time):
        return
    n = opened.records(description.time)
    epoch = np.asarray(opened.read(description.time, 0, n), dtype=np.int64).reshape(-1) if n else np.zeros(0, np.int64)
    inside = np.flatnonzero((epoch >= start) & (epoch < stop))
    if not len(inside):
        return
    # records come in time order: those of the range are one run
    runs = np.split(inside, np.flatnonzero(np.diff(inside) != 1) + 1)
    for run in runs:
        first, end = int(run[0]), int(run[-1]) + 1
        # each variable read once for the run, then sent a block at a time: a CDF variable's
        # records are decoded whole for any range of them, so reading block by block would cost
        # the whole variable again for every block. What a request holds is thus at most one
        # day file's records of the parameters asked for (as the file stores them) and a block.
        columns = [_column(opened, p, first, end) for p in parameters]
        for a in range(first, end, rows):
            b = min(a + rows, end)
            values = [
                np.full((b - a,) + p.size, p.fill, dtype=p.dtype) if c is None else c[a - first : b - first]
                for p, c in zip(parameters, columns)
            ]
            yield opened.iso(description.time, epoch, a, b), values


def _column(opened: OpenDay, p: Parameter, first: int, end: int) -> NDArray[Any] | None:
    """Records [first, end) of a parameter, shaped (records,) + size, or None for fill: a day
    file without the variable, or with another shape of it (another version of the product)."""
    if not opened.has(p.name):
        return None
    v = opened.read(p.name, first, end)
    shape = (end - first,) + p.size
    if v is None or np.size(v) != int(np.prod(shape, dtype=np.int64)):
        return None
    return np.asarray(v).reshape(shape)


def encoded(
    blocks: Generator[Block, None, None], encode: Callable[[Block, int], Chunk]
) -> Generator[Chunk, None, None]:
    """The bytes of the blocks, encode(block, i) for the i-th; closing it closes the blocks (and
    the day file open for them)."""
    try:
        # the block's arrays are views of its day file's records: nothing here keeps them
        # while the next day file is read (enumerate would, in the tuple it keeps for reuse)
        i = 0
        for block in blocks:
            chunk = encode(block, i)
            del block
            i += 1
            yield chunk
    finally:
        blocks.close()


def hashed(head: dict[str, Any]) -> bytes:
    """A header as the lines of a CSV or binary stream: JSON, each line prefixed by '#'."""
    text = json.dumps(head, indent=1)
    return ("".join(f"#{line}\n" for line in text.splitlines())).encode()


def encode_binary(parameters: Sequence[Parameter]) -> Callable[[Block], memoryview]:
    dtype = np.dtype(
        [("time", f"S{times.TIME_LENGTH}")] + [(f"p{i}", p.dtype, p.size) for i, p in enumerate(parameters)]
    )

    def encode(block: Block) -> memoryview:
        t, values = block
        out = np.empty(len(t), dtype=dtype)
        out["time"] = t
        for i, v in enumerate(values):
            out[f"p{i}"] = v
        return out.view(np.uint8).data  # the bytes, not copied again

    return encode


def _non_finite(v: NDArray[np.float64], nan: object, inf: object, minus_inf: object) -> list[Any] | None:
    """The rows of a block of doubles as lists, NaN and infinities given as `nan`, `inf` and
    `minus_inf` (None: the row holds only finite values)."""
    if np.isfinite(v).all():
        return None
    out = v.astype(object)
    out[np.isnan(v)] = nan
    out[np.isposinf(v)] = inf
    out[np.isneginf(v)] = minus_inf
    rows: list[Any] = out.tolist()
    return rows


def encode_csv(parameters: Sequence[Parameter]) -> Callable[[Block], bytes]:
    def column(p: Parameter, v: NDArray[Any]) -> list[Any]:
        v = np.asarray(v).reshape(len(v), -1)
        if p.type == "integer":
            return v.astype(np.int64).tolist()
        v = v.astype(np.float64)
        # Python's text of a float is the shortest that reads back as the same double; NaN is
        # written "NaN", as HAPI has it
        return _non_finite(v, "NaN", "Infinity", "-Infinity") or v.tolist()

    def encode(block: Block) -> bytes:
        t, values = block
        columns = [column(p, v) for p, v in zip(parameters, values)]
        lines = []
        for i, s in enumerate(t.tolist()):
            parts = [s.decode()]
            for c in columns:
                parts.extend(map(str, c[i]))
            lines.append(",".join(parts))
        return ("\n".join(lines) + "\n").encode()

    return encode


def encode_json(parameters: Sequence[Parameter]) -> Callable[[Block, bool], bytes]:
    def value(p: Parameter, v: NDArray[Any]) -> list[Any]:
        if p.type == "integer":
            ints: list[Any] = v.astype(np.int64).tolist()
            return ints
        v = v.astype(np.float64)
        # JSON has no NaN nor infinity: null, its value for no number
        return _non_finite(v, None, None, None) or v.tolist()

    def encode(block: Block, first: bool) -> bytes:
        t, values = block
        columns = [value(p, v) for p, v in zip(parameters, values)]
        rows = (json.dumps([s.decode()] + [c[i] for c in columns], allow_nan=False) for i, s in enumerate(t))
        text = ",\n".join(rows)
        return (text if first else ",\n" + text).encode()

    return encode
