"""Times of the HAPI server: request times (HAPI's ISO 8601 subset) to TT2000, and TT2000 epochs
to the fixed-length UTC strings of the data stream, to the nanosecond.

Both ways go through cdflib's TT2000 conversion, leap seconds included: an epoch in a leap
second is written 23:59:60.xxxxxxxxxZ, and a request time 23:59:60 of a leap-second day is
that second. cdflib keeps the day of its last conversion and its leap-second table (loaded on
first use) in class attributes that a conversion writes piece by piece: requests served at once
convert one at a time (`_CONVERSION`), or one could take another's day for its own.
"""
from __future__ import annotations

import calendar
import functools
import re
import threading

import numpy as np

# yyyy-mm-ddThh:mm:ss.fffZ or yyyy-dddThh:mm:ss.fffZ, truncated from the right; the Z is optional
# (UTC either way), and so is the T of a date alone. ASCII digits only, nothing around it (no
# space, no trailing newline): the time as sent or none.
_TIME = re.compile(
    r"(?P<year>\d{4})-(?:(?P<month>\d{2})(?:-(?P<day>\d{2}))?|(?P<doy>\d{3}))"
    r"(?:T(?P<hour>\d{2})(?::(?P<minute>\d{2})(?::(?P<second>\d{2})(?:\.(?P<fraction>\d+))?)?)?)?Z?", re.ASCII)

# Years a request may name: what TT2000 holds, with margin
FIRST_YEAR, LAST_YEAR = 1700, 2200

_CONVERSION = threading.Lock()

# The time strings of the data stream: yyyy-mm-ddThh:mm:ss.fffffffffZ
TIME_LENGTH = 30
_FIELDS = ((0, 0, 4), (1, 5, 2), (2, 8, 2), (3, 11, 2), (4, 14, 2), (5, 17, 2),
           (6, 20, 9))  # (column: year, month, day, hour, minute, second, nanosecond; position, digits)
# every digit of a time string: its position, the column it is a digit of, and that digit's power of ten
_POSITION, _COLUMN, _POWER = (np.array(a, dtype=np.int64) for a in zip(*(
    (position + digits - 1 - i, column, 10**i) for column, position, digits in _FIELDS for i in range(digits))))


def parse(text):
    """The TT2000 epoch (int) of a HAPI request time, or None when it is not one."""
    import cdflib

    m = _TIME.fullmatch(text) if isinstance(text, str) else None
    if m is None:
        return None
    year = int(m["year"])
    if not FIRST_YEAR <= year <= LAST_YEAR:
        return None
    if m["doy"] is not None:
        doy = int(m["doy"])
        if not 1 <= doy <= (366 if calendar.isleap(year) else 365):
            return None
        month, day = _month_day(year, doy)
    else:
        month, day = int(m["month"]), int(m["day"] or 1)
        if not 1 <= month <= 12 or not 1 <= day <= calendar.monthrange(year, month)[1]:
            return None
    hour, minute, second = (int(m[k] or 0) for k in ("hour", "minute", "second"))
    fraction = (m["fraction"] or "")[:9].ljust(9, "0")
    nanoseconds = int(fraction)
    if hour == 24 and minute == second == nanoseconds == 0:
        # the end of the day: the next day's midnight, a leap second after 23:59:59 on its day
        import datetime

        after = datetime.date(year, month, day) + datetime.timedelta(days=1)
        return None if after.year > LAST_YEAR else parse(after.isoformat())
    if hour > 23 or minute > 59 or second > 60:
        return None
    parts = [year, month, day, hour, minute, second,
             nanoseconds // 10**6, nanoseconds // 10**3 % 1000, nanoseconds % 1000]
    with _CONVERSION:
        epoch = int(np.asarray(cdflib.cdfepoch.compute_tt2000(parts)).reshape(-1)[0])
    if second == 60 and not (hour == 23 and minute == 59 and leap_second_day(year, month, day)):
        return None         # cdflib would take it as the next minute's first second
    return epoch


@functools.lru_cache(maxsize=256)
def leap_second_day(year, month, day):
    """True when the UTC day ends with a leap second (23:59:60), by cdflib's leap-second table:
    its 23:59:60 is then a second before the next day's midnight, not that midnight."""
    import datetime

    import cdflib

    after = datetime.date(year, month, day) + datetime.timedelta(days=1)
    with _CONVERSION:
        leap, midnight = (int(np.asarray(cdflib.cdfepoch.compute_tt2000(p)).reshape(-1)[0]) for p in (
            [year, month, day, 23, 59, 60, 0, 0, 0], [after.year, after.month, after.day, 0, 0, 0, 0, 0, 0]))
    return midnight - leap == 10**9


def _month_day(year, doy):
    import datetime

    d = datetime.date(year, 1, 1) + datetime.timedelta(days=doy - 1)
    return d.month, d.day


@functools.lru_cache(maxsize=4096)
def day_start(date):
    """The TT2000 epoch of 00:00 UTC of a "YYYYMMDD" day."""
    return parse(f"{date[:4]}-{date[4:6]}-{date[6:8]}")


def day_text(date, after=False):
    """00:00 UTC of a "YYYYMMDD" day (of the day after, `after`) as a HAPI time, to the second
    (no conversion of epochs: no cdflib)."""
    import datetime

    day = datetime.date(int(date[:4]), int(date[4:6]), int(date[6:8])) + datetime.timedelta(days=int(after))
    return f"{day.isoformat()}T00:00:00Z"


def iso(tt2000):
    """The UTC times of TT2000 epochs as HAPI time strings, "yyyy-mm-ddThh:mm:ss.fffffffffZ",
    an array of bytes strings of TIME_LENGTH characters."""
    import cdflib

    tt = np.ascontiguousarray(tt2000, dtype=np.int64).reshape(-1)
    out = np.zeros((len(tt), TIME_LENGTH), dtype=np.uint8)
    if not len(tt):
        return out.view(f"S{TIME_LENGTH}").reshape(-1)
    with _CONVERSION:
        parts = np.asarray(cdflib.cdfepoch.breakdown_tt2000(tt), dtype=np.int64).reshape(len(tt), 9)
    out[:] = np.frombuffer(b"0000-00-00T00:00:00.000000000Z", dtype=np.uint8)
    parts[:, 6] = parts[:, 6] * 10**6 + parts[:, 7] * 10**3 + parts[:, 8]     # nanoseconds
    out[:, _POSITION] = 48 + parts[:, _COLUMN] // _POWER % 10
    return out.view(f"S{TIME_LENGTH}").reshape(-1)


def text(tt2000):
    """One TT2000 epoch as a HAPI time string."""
    return iso(np.array([tt2000]))[0].decode()
