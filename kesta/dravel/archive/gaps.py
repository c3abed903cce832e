"""What the coverage page measures: the gaps in a day's times, the longest step a product's day
may have without a gap, and the days a campaign's L0 files cover."""
from __future__ import annotations

import datetime
import statistics
from collections import Counter

import numpy as np

# A gap: a step between consecutive records of a day longer than GAP_FACTOR times the product's
# usual longest step of a day (the median over the campaign), and than GAP_MINIMUM_S.
GAP_FACTOR = 2.0
GAP_MINIMUM_S = 3600.0


def gaps(epoch_ns_sorted, factor=10.0, minimum_s=60.0):
    """(count, largest_s) of the gaps in sorted int64 times in nanoseconds: a gap is a step
    longer than max(`minimum_s`, `factor` x the median step); `largest_s` is the largest step,
    gap or not, in seconds (0.0 with fewer than two times)."""
    times = np.asarray(epoch_ns_sorted, dtype=np.int64).ravel()
    if times.size < 2:
        return 0, 0.0
    steps = np.diff(times)
    threshold_ns = max(minimum_s * 1e9, factor * float(np.median(steps)))
    return int(np.count_nonzero(steps > threshold_ns)), float(steps.max()) / 1e9


def gap_threshold(days):
    """The longest step (s) between records a day of a product may have without a gap: GAP_FACTOR
    times the median of its days' longest steps, at least GAP_MINIMUM_S. Measured against the
    product itself, so a product recorded in bursts (calibrations every few hours) has no gap
    between its bursts, and a survey product has one where it stopped for longer than usual."""
    longest = [float(e["largest_gap_s"]) for e in days
               if e.get("largest_gap_s") is not None and count(e, "records") > 1]
    if not longest:
        return None
    return max(GAP_MINIMUM_S, GAP_FACTOR * statistics.median(longest))


def campaign_days(files, products):
    """(first, last) dates of the campaign: the days its L0 files cover. A file covers each UTC
    day on which at least half of its products have records (with none such, the day most of
    them have records on): a file whose survey records run on past midnight (for hours, as the
    TNR's do) does not make the next day part of the campaign; its records there are shown as
    days outside the campaign, never as holes. Without any file saying which days its products
    feed, the days holding records. None without any day."""
    covered = set()
    for f in files:
        feeds = {name: set(days) for name, days in (f.get("product_days") or {}).items() if days}
        if not feeds:
            continue
        on = Counter(day for days in feeds.values() for day in days)
        own = [day for day, n in on.items() if 2 * n >= len(feeds)]
        covered.update(day_date(f.get("name"), day) for day in own or [max(on, key=lambda d: (on[d], d))])
    if not covered:
        covered = {day_date(name, e.get("day")) for name, days in products.items() for e in days}
    return (min(covered), max(covered)) if covered else None


def count(entry, key):
    """The integer `entry[key]`, 0 where it is missing or not an integer."""
    value = entry.get(key)
    return int(value) if isinstance(value, (int, np.integer)) else 0


def day_date(product, text):
    """The date of a YYYYMMDD text; ValueError naming `product` for another text."""
    try:
        return datetime.datetime.strptime(str(text), "%Y%m%d").date()
    except ValueError:
        raise ValueError(f"product {product}: day {text!r} is not a date as YYYYMMDD") from None
