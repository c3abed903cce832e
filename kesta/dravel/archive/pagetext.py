"""How the coverage page writes values: escaped text and links, numbers, durations, sizes, and
stretches of consecutive days."""

from __future__ import annotations

import datetime
import html
from collections.abc import Iterable
from urllib.parse import quote

import numpy as np

DASH = "\u2013"


def esc(value: object) -> str:
    return html.escape("" if value is None else str(value), quote=True)


def href(relative: object) -> str:
    """An attribute value linking to `relative`, a path inside the archive."""
    return esc(quote(str(relative)))


def num(value: object) -> str:
    if value is None:
        return DASH
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return f"{int(value):,}"
    return esc(value)


def duration(seconds: float | None) -> str:
    if seconds is None:
        return DASH
    s = float(seconds)
    if s < 60:
        return f"{s:.3g} s"
    if s < 3600:
        return f"{s / 60:.1f} min"
    if s < 2 * 86400:
        return f"{s / 3600:.1f} h"
    return f"{s / 86400:.1f} d"


def size(n: float | None) -> str:
    if n is None:
        return DASH
    n = float(n)
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:,.0f} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1000
    return DASH


def plural(n: int, word: str) -> str:
    return f"{n:,} {word}" + ("" if n == 1 else "s")


def stretches(days: Iterable[datetime.date]) -> str:
    """ "a to b, c" of sorted dates, consecutive days as one stretch."""
    return ", ".join(str(a) if a == b else f"{a} to {b}" for a, b in runs(days))


def runs(days: Iterable[datetime.date]) -> list[tuple[datetime.date, datetime.date]]:
    """[(first, last)] of the stretches of consecutive days in sorted `days`."""
    runs: list[tuple[datetime.date, datetime.date]] = []
    for day in days:
        if runs and (day - runs[-1][1]).days == 1:
            runs[-1] = (runs[-1][0], day)
        else:
            runs.append((day, day))
    return runs
