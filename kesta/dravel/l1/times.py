"""TT2000 epochs and UTC, leap seconds included: as datetime64[ns] values, as text, as the UTC
days they fall in, and UTC times given by their parts back to TT2000.

The conversions are the CDF library's (pycdfpp, the library the day files are written with).
datetime64 has no 61st second: an epoch inside a leap second (23:59:60.x) is given as the last
nanosecond of its day, never as the next day's first second, so that it falls in its own day;
`utc_parts` gives it as second 60.

Fill values (of the epoch's own element type and of TT2000) and epochs beyond what
datetime64[ns] holds have no UTC time: NaT, "time unknown", or no day.
"""

from __future__ import annotations

import functools
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from .fill import fill_value

# TT2000 values beyond this many nanoseconds from 2000 are past what datetime64[ns] can hold
# (years 1677 to 2262); they have no UTC time here.
TT2000_SPAN = 8_000_000_000_000_000_000
# The UTC days whose midnights are known: what both TT2000 (int64 nanoseconds from 2000) and
# datetime64[ns] hold.
FIRST_DAY, LAST_DAY = np.datetime64("1708-01-01"), np.datetime64("2262-01-01")
SECOND = 1_000_000_000
DAY = 86_400 * SECOND


def _cdf() -> Any:
    """pycdfpp, the CDF library the conversions are made with."""
    # lazy: loaded with the first time converted, not on the command line's start (5 ms)
    import pycdfpp

    return pycdfpp


@functools.lru_cache(maxsize=1)
def _tt2000_type() -> np.dtype:
    """The dtype pycdfpp takes and gives TT2000 values in: the very object it registered (an
    equal dtype made here is refused), which it exposes only on values it gives back."""
    return _cdf().to_tt2000(np.zeros(1, "datetime64[ns]")).dtype


def as_tt2000(values: ArrayLike) -> np.ndarray:
    """int64 TT2000 nanoseconds viewed as pycdfpp's TT2000 values (no copy of contiguous int64)."""
    return np.ascontiguousarray(values, dtype=np.int64).reshape(-1).view(_tt2000_type())


@functools.lru_cache(maxsize=1)
def midnights() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(days, TT2000 of their midnights, leap): every UTC day FIRST_DAY..LAST_DAY as
    datetime64[D], the TT2000 epoch of its 00:00 UTC, and whether it ends with a leap second
    (the library's leap-second table: such a day lasts 86,401 s)."""
    days = np.arange(FIRST_DAY, LAST_DAY + np.timedelta64(1, "D"))
    tt = np.asarray(_cdf().to_tt2000(days.astype("datetime64[ns]"))).view(np.int64).copy()
    leap = np.zeros(len(days), dtype=bool)
    leap[:-1] = np.diff(tt) == DAY + SECOND
    for a in (days, tt, leap):
        a.setflags(write=False)
    return days, tt, leap


def valid_epoch(epoch: ArrayLike) -> np.ma.MaskedArray:
    """TT2000 values as int64 (a uint64 epoch keeps its bits), with the fill values of their own
    element type and of TT2000, and the times past datetime64[ns], masked."""
    epoch = np.asarray(epoch)
    bad = epoch == fill_value(epoch.dtype)
    tt = epoch.astype(np.int64)
    bad |= (tt == fill_value(np.int64)) | (np.abs(tt) > TT2000_SPAN)
    return np.ma.masked_array(tt, mask=bad)


def _in_leap_second(tt: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The indices of the TT2000 epochs `tt` (int64, valid) inside a leap second, and the
    index of their day in `midnights()`."""
    days, mid, leap = midnights()
    day = np.searchsorted(mid, tt, side="right") - 1
    inside = np.flatnonzero(leap[day] & (tt - mid[day] >= DAY))
    return inside, day[inside]


def utc(epoch: ArrayLike) -> np.ndarray:
    """UTC datetime64[ns] of TT2000 epochs (NaT where `valid_epoch` masks them)."""
    tt = valid_epoch(epoch)
    out = np.full(tt.shape, np.datetime64("NaT"), dtype="datetime64[ns]")
    good = ~np.ma.getmaskarray(tt)
    if good.any():
        values = tt.data[good]
        got = np.asarray(_cdf().to_datetime64(as_tt2000(values)), dtype="datetime64[ns]")
        inside, day = _in_leap_second(values)
        if len(inside):
            got[inside] = midnights()[0][day + 1].astype("datetime64[ns]") - np.timedelta64(1, "ns")
        out[good] = got
    return out


def utc_parts(epoch: ArrayLike) -> tuple[np.ndarray, np.ndarray]:
    """(dates as datetime64[D], nanoseconds since their midnight) of valid TT2000 epochs (int64);
    inside a leap second, the nanoseconds run from 86,400 s to 86,401 s."""
    tt = np.ascontiguousarray(epoch, dtype=np.int64).reshape(-1)
    at = utc(tt)
    dates = at.astype("datetime64[D]")
    ns = (at - dates).astype(np.int64)
    inside, day = _in_leap_second(tt)
    if len(inside):
        ns[inside] = tt[inside] - midnights()[1][day]
    return dates, ns


def tt2000(dates: ArrayLike, ns: ArrayLike = 0) -> np.ndarray:
    """The TT2000 epochs (int64) of UTC dates (datetime64[D], or YYYY-MM-DD text) and the
    nanoseconds since their midnight (below 86,400 s, or below 86,401 s on a day ending with a
    leap second). Dates outside FIRST_DAY..LAST_DAY are refused (ValueError)."""
    days, mid, _ = midnights()
    dates = np.atleast_1d(np.asarray(dates, dtype="datetime64[D]"))
    index = (dates - FIRST_DAY).astype(np.int64)
    if len(index) and (index.min() < 0 or index.max() >= len(days)):
        raise ValueError("a date past what TT2000 holds")
    ns = np.broadcast_to(np.asarray(ns, dtype=np.int64), dates.shape)
    # within a day, the library's own conversion (days before 1972 are not 86,400 SI seconds
    # long); the leap second itself follows the last second before it
    plain = np.minimum(ns, DAY - SECOND)
    at = dates.astype("datetime64[ns]") + plain.astype("timedelta64[ns]")
    return np.asarray(_cdf().to_tt2000(at)).view(np.int64) + (ns - plain)


def day_start(date: str) -> int:
    """The TT2000 epoch of 00:00 UTC of a "YYYYMMDD" day."""
    return int(midnights()[1][(np.datetime64(f"{date[:4]}-{date[4:6]}-{date[6:8]}") - FIRST_DAY).astype(np.int64)])


def utc_text(epoch: ArrayLike) -> str:
    """The first of `epoch` as "YYYY-MM-DD hh:mm:ss.mmm UTC" ("time unknown" without a UTC time)."""
    t = utc(np.atleast_1d(epoch)[:1])[0]
    return "time unknown" if np.isnat(t) else f"{str(t.astype('datetime64[ms]')).replace('T', ' ')} UTC"


def _day_text(day: np.datetime64) -> str | None:
    return None if np.isnat(day) else str(day.astype("datetime64[D]")).replace("-", "")


def day_of(epoch: ArrayLike) -> str | None:
    """ "YYYYMMDD", the UTC day of one TT2000 epoch (None without a UTC time)."""
    return _day_text(utc(np.atleast_1d(epoch)[:1])[0])


def utc_days(epoch: ArrayLike) -> list[tuple[str | None, int, int]]:
    """[(YYYYMMDD, start, stop)]: the runs of `epoch` (TT2000) in one UTC day, as index ranges
    covering every index in order; for increasing epochs, each day once. A run of epochs
    without a UTC time has the day None."""
    tt = valid_epoch(epoch)
    good = ~np.ma.getmaskarray(tt)
    if not len(tt):
        return []
    days, mid, _ = midnights()
    key = np.full(len(tt), -1, dtype=np.int64)  # index of the day in `midnights()`; -1: none
    key[good] = np.searchsorted(mid, tt.data[good], side="right") - 1
    edges = np.concatenate(([0], np.flatnonzero(key[1:] != key[:-1]) + 1, [len(key)]))
    return [(None if key[a] < 0 else _day_text(days[key[a]]), int(a), int(b)) for a, b in zip(edges[:-1], edges[1:])]


def time_order(epoch: ArrayLike) -> np.ndarray:
    """The stable permutation putting TT2000 `epoch` in increasing time, those with no UTC
    time (fill values) last."""
    tt = valid_epoch(epoch)
    key = tt.filled(np.iinfo(np.int64).max)
    if len(key) < 2 or np.all(key[1:] >= key[:-1]):
        return np.arange(len(key))
    return np.argsort(key, kind="stable")
