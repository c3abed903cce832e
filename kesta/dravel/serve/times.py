"""Times of the HAPI server: request times (HAPI's ISO 8601 subset) to TT2000, and TT2000 epochs
to the fixed-length UTC strings of the data stream, to the nanosecond.

Both ways go through the library's TT2000 conversions (`l1.times`), leap seconds included: an
epoch in a leap second is written 23:59:60.xxxxxxxxxZ, and a request time 23:59:60 of a
leap-second day is that second.
"""

from __future__ import annotations

import calendar
import datetime
import re

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..l1 import times as utc_times

# yyyy-mm-ddThh:mm:ss.fffZ or yyyy-dddThh:mm:ss.fffZ, truncated from the right; the Z is optional
# (UTC either way), and so is the T of a date alone. ASCII digits only, nothing around it (no
# space, no trailing newline): the time as sent or none.
_TIME = re.compile(
    r"(?P<year>\d{4})-(?:(?P<month>\d{2})(?:-(?P<day>\d{2}))?|(?P<doy>\d{3}))"
    r"(?:T(?P<hour>\d{2})(?::(?P<minute>\d{2})(?::(?P<second>\d{2})(?:\.(?P<fraction>\d+))?)?)?)?Z?",
    re.ASCII,
)

# Years a request may name: what TT2000 holds, with margin
FIRST_YEAR, LAST_YEAR = 1710, 2200

# The time strings of the data stream: yyyy-mm-ddThh:mm:ss.fffffffffZ
TIME_LENGTH = 30
_FIELDS = (
    (0, 0, 4),
    (1, 5, 2),
    (2, 8, 2),
    (3, 11, 2),
    (4, 14, 2),
    (5, 17, 2),
    (6, 20, 9),
)  # (column: year, month, day, hour, minute, second, nanosecond; position, digits)
# every digit of a time string: its position, the column it is a digit of, and that digit's power of ten
_POSITION, _COLUMN, _POWER = (
    np.array(a, dtype=np.int64)
    for a in zip(
        *((position + digits - 1 - i, column, 10**i) for column, position, digits in _FIELDS for i in range(digits))
    )
)


def parse(text: object) -> int | None:
    """The TT2000 epoch (int) of a HAPI request time, or None when it is not one."""
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
        date = datetime.date(year, 1, 1) + datetime.timedelta(days=doy - 1)
    else:
        month, day = int(m["month"]), int(m["day"] or 1)
        if not 1 <= month <= 12 or not 1 <= day <= calendar.monthrange(year, month)[1]:
            return None
        date = datetime.date(year, month, day)
    hour, minute, second = (int(m[k] or 0) for k in ("hour", "minute", "second"))
    nanoseconds = int((m["fraction"] or "")[:9].ljust(9, "0"))
    if hour == 24 and minute == second == nanoseconds == 0:
        # the end of the day: the next day's midnight, a leap second after 23:59:59 on its day
        date, hour = date + datetime.timedelta(days=1), 0
        if date.year > LAST_YEAR:
            return None
    if hour > 23 or minute > 59 or second > 60:
        return None
    if second == 60 and not (hour == 23 and minute == 59 and leap_second_day(date)):
        return None
    since = ((hour * 60 + minute) * 60 + second) * 10**9 + nanoseconds
    return int(utc_times.tt2000(np.datetime64(date, "D"), since)[0])


def leap_second_day(date: datetime.date) -> bool | np.bool_:
    """True when the UTC day `date` (a datetime.date) ends with a leap second (23:59:60), by
    the CDF library's leap-second table."""
    days, _, leap = utc_times.midnights()
    index = (np.datetime64(date, "D") - utc_times.FIRST_DAY).astype(np.int64)
    return 0 <= index < len(days) and bool(leap[index])


def day_start(date: str) -> int:
    """The TT2000 epoch of 00:00 UTC of a "YYYYMMDD" day."""
    start: int = utc_times.day_start(date)
    return start


def day_text(date: str, after: bool = False) -> str:
    """00:00 UTC of a "YYYYMMDD" day (of the day after, `after`) as a HAPI time, to the second."""
    day = datetime.date(int(date[:4]), int(date[4:6]), int(date[6:8])) + datetime.timedelta(days=int(after))
    return f"{day.isoformat()}T00:00:00Z"


def iso(tt2000: ArrayLike) -> NDArray[np.bytes_]:
    """The UTC times of TT2000 epochs as HAPI time strings, "yyyy-mm-ddThh:mm:ss.fffffffffZ",
    an array of bytes strings of TIME_LENGTH characters (a leap second as 23:59:60.x)."""
    tt = np.ascontiguousarray(tt2000, dtype=np.int64).reshape(-1)
    out = np.zeros((len(tt), TIME_LENGTH), dtype=np.uint8)
    if not len(tt):
        return out.view(f"S{TIME_LENGTH}").reshape(-1)
    dates, ns = utc_times.utc_parts(tt)
    years = dates.astype("datetime64[Y]")
    months = dates.astype("datetime64[M]")
    parts = np.empty((len(tt), 7), dtype=np.int64)
    parts[:, 0] = years.astype(np.int64) + 1970
    parts[:, 1] = (months - years).astype(np.int64) + 1
    parts[:, 2] = (dates - months).astype(np.int64) + 1
    seconds = np.minimum(ns // 10**9, 86_400)  # 86,400: the leap second, 23:59:60
    parts[:, 3] = np.minimum(seconds // 3600, 23)
    parts[:, 4] = np.where(seconds == 86_400, 59, seconds // 60 % 60)
    parts[:, 5] = np.where(seconds == 86_400, 60, seconds % 60)
    parts[:, 6] = ns % 10**9
    out[:] = np.frombuffer(b"0000-00-00T00:00:00.000000000Z", dtype=np.uint8)
    out[:, _POSITION] = 48 + parts[:, _COLUMN] // _POWER % 10
    return out.view(f"S{TIME_LENGTH}").reshape(-1)


def text(tt2000: int) -> str:
    """One TT2000 epoch as a HAPI time string."""
    stamp: bytes = iso(np.array([tt2000]))[0]
    return stamp.decode()
