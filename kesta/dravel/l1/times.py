"""TT2000 epochs in UTC, converted by the NASA CDF library (spacepy's pycdf), leap seconds
included: as datetime64[ns] values, as text, and as the UTC days they fall in.

Fill values (of the epoch's own element type and of TT2000) and epochs beyond what
datetime64[ns] holds have no UTC time: NaT, "time unknown", or no day.
"""
from __future__ import annotations

import datetime
import os

import numpy as np

from .attributes import fill_value

# TT2000 values beyond this many nanoseconds from 2000 are past what datetime64[ns] can hold
# (years 1677 to 2262); they have no UTC time here.
TT2000_SPAN = 8_000_000_000_000_000_000


def pycdf():
    """spacepy's pycdf, with a configuration folder of our own.

    spacepy rewrites its configuration file in place on every import: processes importing it
    at the same moment (a run's workers) read each other's half-written file and fail. The
    first import of each process is made under a lock held in that folder."""
    import sys

    if "spacepy.pycdf" not in sys.modules:
        import fcntl

        folder = os.environ.setdefault("SPACEPY", os.path.join(os.path.expanduser("~"), ".spacepy-dravel"))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, ".import-lock"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            from spacepy import pycdf as module      # the lock goes with the file's closing
        return module
    from spacepy import pycdf as module

    return module


def valid_epoch(epoch):
    """TT2000 values as int64 (a uint64 epoch keeps its bits), with the fill values of their own
    element type and of TT2000, and the times past datetime64[ns], masked."""
    epoch = np.asarray(epoch)
    bad = epoch == fill_value(epoch.dtype)
    tt = epoch.astype(np.int64)
    bad |= (tt == fill_value(np.int64)) | (np.abs(tt) > TT2000_SPAN)
    return np.ma.masked_array(tt, mask=bad)


def utc(epoch):
    """UTC datetime64[ns] of TT2000 epochs (NaT where `valid_epoch` masks them)."""
    tt = valid_epoch(epoch)
    out = np.full(tt.shape, np.datetime64("NaT"), dtype="datetime64[ns]")
    good = ~np.ma.getmaskarray(tt)
    if good.any():
        # the library gives whole microseconds (rounded): convert whole ones, add the rest back
        ns = tt.data[good] % 1000
        micro = pycdf().lib.v_tt2000_to_datetime(tt.data[good] - ns)
        out[good] = np.asarray(micro, dtype="datetime64[ns]") + ns.astype("timedelta64[ns]")
    return out


def utc_text(epoch):
    """The first of `epoch` as "YYYY-MM-DD hh:mm:ss.mmm UTC" ("time unknown" without a UTC time)."""
    t = utc(np.atleast_1d(epoch)[:1])[0]
    return "time unknown" if np.isnat(t) else f"{str(t.astype('datetime64[ms]')).replace('T', ' ')} UTC"


def _day_text(day):
    return None if np.isnat(day) else str(day.astype("datetime64[D]")).replace("-", "")


def day_of(epoch):
    """"YYYYMMDD", the UTC day of one TT2000 epoch (None without a UTC time)."""
    return _day_text(utc(np.atleast_1d(epoch)[:1])[0])


def utc_days(epoch):
    """[(YYYYMMDD, start, stop)]: the runs of `epoch` (TT2000) in one UTC day, as index ranges
    covering every index in order; for increasing epochs, each day once. A run of epochs
    without a UTC time has the day None.

    Only the first and last days and the midnights between them go through the library."""
    tt = valid_epoch(epoch)
    good = ~np.ma.getmaskarray(tt)
    if not len(tt):
        return []
    key = np.full(len(tt), -1, dtype=np.int64)        # day number from the first day; -1: none
    days = []
    if good.any():
        values = tt.data[good]
        first, last = (utc(np.array([values.min(), values.max()]))).astype("datetime64[D]")
        days = np.arange(first, last + np.timedelta64(1, "D"))
        midnights = pycdf().lib.v_datetime_to_tt2000(days[1:].astype("datetime64[us]").astype(datetime.datetime))
        key[good] = np.searchsorted(np.asarray(midnights, dtype=np.int64), values, side="right")
    edges = np.concatenate(([0], np.flatnonzero(key[1:] != key[:-1]) + 1, [len(key)]))
    return [(None if key[a] < 0 else _day_text(days[key[a]]), int(a), int(b))
            for a, b in zip(edges[:-1], edges[1:])]
