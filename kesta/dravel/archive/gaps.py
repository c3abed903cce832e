"""What the coverage page measures: the gaps in a day's times, the longest step a product's day
may have without a gap, the days a campaign's L0 files cover and those of its days none covers."""

from __future__ import annotations

import datetime
import statistics
from collections import Counter
from collections.abc import Iterable, Mapping
from typing import Any, TypeAlias

import numpy as np
from numpy.typing import ArrayLike

# A gap: a step between consecutive records of a day longer than GAP_FACTOR times the product's
# usual longest step of a day (the median over the campaign), and than GAP_MINIMUM_S.
GAP_FACTOR = 2.0
GAP_MINIMUM_S = 3600.0

Entry: TypeAlias = Mapping[str, Any]
"""A product's day, or an L0 file, as the coverage page takes them (see kesta.dravel.archive.coverage)."""


def gaps(epoch_ns_sorted: ArrayLike, factor: float = 10.0, minimum_s: float = 60.0) -> tuple[int, float]:
    """(count, largest_s) of the gaps in sorted int64 times in nanoseconds: a gap is a step
    longer than max(`minimum_s`, `factor` x the median step); `largest_s` is the largest step,
    gap or not, in seconds (0.0 with fewer than two times)."""
    times = np.asarray(epoch_ns_sorted, dtype=np.int64).ravel()
    if times.size < 2:
        return 0, 0.0
    steps = np.diff(times)
    threshold_ns = max(minimum_s * 1e9, factor * float(np.median(steps)))
    return int(np.count_nonzero(steps > threshold_ns)), float(steps.max()) / 1e9


def gap_threshold(days: Iterable[Entry]) -> float | None:
    """The longest step (s) between records a day of a product may have without a gap: GAP_FACTOR
    times the median of its days' longest steps, at least GAP_MINIMUM_S. Measured against the
    product itself, so a product recorded in bursts (calibrations every few hours) has no gap
    between its bursts, and a survey product has one where it stopped for longer than usual."""
    longest = [
        float(e["largest_gap_s"]) for e in days if e.get("largest_gap_s") is not None and count(e, "records") > 1
    ]
    if not longest:
        return None
    return max(GAP_MINIMUM_S, GAP_FACTOR * statistics.median(longest))


def own_days(file: Entry) -> set[datetime.date]:
    """The UTC dates an L0 file covers, its own days. A day's share of the file is the share of
    each product's records falling on it, averaged over the file's products; the file covers
    each day whose share is at least half the largest. Records that spill over past midnight
    (the minutes of units a file shares with the next day's file, a TNR survey running on for
    hours) are a small share: they do not make the next day the file's own, and a day whose
    file is missing is not covered by the file before it. Counts of records per day are taken
    from "product_records" ({product: {YYYYMMDD: records}}), else each day of "product_days"
    counts once. Empty for a file that does not say which days its products feed (one that
    never decoded)."""
    counts = file.get("product_records") or {
        name: dict.fromkeys(days, 1) for name, days in (file.get("product_days") or {}).items()
    }
    feeds = {name: days for name, days in counts.items() if days and sum(days.values()) > 0}
    shares: Counter[str] = Counter()
    for days in feeds.values():
        total = sum(days.values())
        for day, n in days.items():
            shares[day] += n / total / len(feeds)
    if not shares:
        return set()
    top = max(shares.values())
    return {day_date(file.get("name"), day) for day, share in shares.items() if 2 * share >= top}


def campaign_days(
    files: Iterable[Entry], products: Mapping[str, Iterable[Entry]]
) -> tuple[datetime.date, datetime.date] | None:
    """(first, last) dates of the campaign: the days its L0 files cover (see `own_days`). A
    file's records on a day it does not cover are shown as days outside the campaign, never as
    holes. Without any file saying which days its products feed, the days holding records. None
    without any day."""
    covered = set().union(*(own_days(f) for f in files))
    if not covered:
        covered = {day_date(name, e.get("day")) for name, days in products.items() for e in days}
    return (min(covered), max(covered)) if covered else None


def missing_days(files: Iterable[Entry]) -> list[datetime.date]:
    """The sorted dates, from the first day the L0 files cover to the last, that no L0 file
    covers: one L0 file is expected a UTC day, so these days' files are missing (any records on
    them spilled over from the files of other days). [] when no file says which days it covers."""
    covered = set().union(*(own_days(f) for f in files))
    if not covered:
        return []
    first, last = min(covered), max(covered)
    every = (first + datetime.timedelta(days=k) for k in range((last - first).days + 1))
    return [day for day in every if day not in covered]


def count(entry: Entry | None, key: str) -> int:
    """The integer `entry[key]`, 0 where it (or the entry) is missing or not an integer."""
    value = entry.get(key) if entry is not None else None
    return int(value) if isinstance(value, (int, np.integer)) else 0


def day_date(product: object, text: object) -> datetime.date:
    """The date of a YYYYMMDD text; ValueError naming `product` for another text."""
    try:
        return datetime.datetime.strptime(str(text), "%Y%m%d").date()
    except ValueError:
        raise ValueError(f"product {product}: day {text!r} is not a date as YYYYMMDD") from None
