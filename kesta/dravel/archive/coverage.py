"""The archive's coverage page, ARCHIVE/index.html, as the person in charge of the mission's data
reads it: a title naming the mission, instrument, data version and software; the campaign (the
days its L0 files cover); one overview of every product over every day; what each mark means;
then per product a strip of its days and a table of them; then the L0 files, each with its size,
time range, the days it feeds and how its decoding went.

The page is one self-contained file: inline CSS and SVG, no script, nothing fetched. Its links
(day files, plots) are relative to the archive folder, so the archive can be moved or served as
it is. Every text that comes from the data is escaped.

    from kesta.dravel.archive.coverage import gaps, write_page
    count, largest_s = gaps(epoch_ns)            # sorted int64 times of one day
    write_page("archive/", summary)              # -> "archive/index.html"

summary: {"mission", "instrument", "generated", "software", "data_version",
          "products": {name: [{"day": YYYYMMDD, "records", "duplicates", "gaps", "largest_gap_s",
                               "reported", "warnings", "file", "plot", "sources"}]},
          "files": [{"name", "status", "message", "records", "reported", "warnings", "size",
                     "first", "last" (UTC ISO text), "days": [YYYYMMDD fed],
                     "product_days": {product: [YYYYMMDD]},
                     "product_records": {product: {YYYYMMDD: records}} (optional)}]}
"""

from __future__ import annotations

import calendar
import datetime
import os
import threading
from collections import Counter
from collections.abc import Collection, Mapping, Sequence
from typing import Any

from .gaps import (
    GAP_FACTOR,
    GAP_MINIMUM_S,
    Entry,
    campaign_days,
    count,
    day_date,
    gap_threshold,
    gaps,  # noqa: F401  (callers find it here, beside write_page)
    missing_days,
)
from .pagetext import DASH, duration, esc, href, num, plural, runs, size, stretches

PAGE = "index.html"

Span = tuple[datetime.date, datetime.date]  # the campaign's first and last day

# The strip of a product: one row per calendar month, one column per day of the month.
CELL = 16
PITCH = 19
LABEL_WIDTH = 64
HEADER_HEIGHT = 14
LIGHT = (208, 226, 242)  # the fewest records
DARK = (24, 66, 122)  # the product's busiest day
MISSING_LISTED = 20  # stretches of holes named in a product's summary line

# The overview: a row per product, a column per day, the whole campaign in OVERVIEW_WIDTH pixels
# (a year: 3-pixel columns), a column never wider than MAX_COLUMN.
OVERVIEW_WIDTH = 1000
MIN_COLUMN, MAX_COLUMN = 2, 18
ROW = 16
NAME_WIDTH = 120
MONTH_LABEL = 48  # room for a month's label (YYYY-MM) right of its first day
HOLE = "#e03131"  # a campaign day without records
GAP = "#f08c00"  # a day with a gap
REPORT = "#d6336c"  # a day with reported units or warnings
OUTSIDE = "#ced4da"  # records on a day outside the campaign
MISSING = "#343a40"  # a campaign day no L0 file covers: its L0 file is missing,
MISSING_FILL = "url(#missing-hatch)"  # hatched in the overview, unlike any day with records


# No request leaves the page: the browser refuses any resource but inline styles and data: images
# (the empty data: icon stops the request for /favicon.ico when the archive is served).
HEAD = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; img-src data:">
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="icon" href="data:,">
<title></title>
<style>
body { font: 14px/1.45 system-ui, sans-serif; color: #222; margin: 1.5em auto; max-width: 96em; padding: 0 1em; }
h1 { margin-bottom: 0.2em; }
h2 { margin-top: 2em; border-bottom: 1px solid #ccc; }
.meta { color: #555; margin-top: 0; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; margin: 0.8em 0; }
th, td { border: 1px solid #ddd; padding: 0.2em 0.6em; vertical-align: top; text-align: left; }
th { background: #f2f2f2; }
td.day { white-space: nowrap; }
td.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
tr.failed td { background: #fbe0e0; }
tr.partial td { background: #fff3cd; }
td.flag { background: #fff3cd; }
.count-failed { color: #b00020; font-weight: bold; }
.legend { color: #555; font-size: 12px; }
.swatch { display: inline-block; width: 11px; height: 11px; border: 1px solid #999; vertical-align: -1px; }
.swatch.hole { border-style: dashed; }
.swatch.missing { background: repeating-linear-gradient(45deg, #343a40 0 1.5px, #dee2e6 1.5px 3px); border-color: #343a40; }
.count-missing { color: #343a40; font-weight: bold; }
dl.marks dt { font-weight: bold; margin-top: 0.4em; }
dl.marks dd { margin-left: 1.5em; }
details summary { cursor: pointer; color: #1c4f8a; }
svg text { font: 10px system-ui, sans-serif; fill: #555; }
svg a:hover rect { stroke: #000; stroke-width: 2; }
</style>
</head>
<body>
"""  # noqa: E501 - the page's style sheet, one rule a line


def write_page(archive: str | os.PathLike[str], summary: Mapping[str, Any]) -> str:
    """Writes the coverage page of `summary` (see the module) as ARCHIVE/index.html; returns its
    path. The page is made whole under a temporary name in the same folder and renamed into
    place: a failure leaves the previous page as it was, and no temporary file."""
    folder = os.fspath(archive)
    path = os.path.join(folder, PAGE)
    text = _page(summary)
    tmp = os.path.join(folder, f".{PAGE}.{os.getpid()}.{threading.get_ident()}.part")
    try:
        with open(tmp, "w", encoding="utf-8", newline="\n") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return path


class _Product:
    """One product's days, as the page shows them."""

    def __init__(
        self,
        index: int,
        name: str,
        days: Sequence[Entry],
        span: Span,
        missing: Collection[datetime.date] = frozenset(),
    ) -> None:
        self.index, self.name = index, name
        self.days = [(day_date(name, d.get("day")), d) for d in days]
        self.by_day = dict(self.days)
        self.threshold = gap_threshold(days)
        self.busiest = max((count(e, "records") for _, e in self.days), default=0)
        self.span = span
        self.missing = missing  # the campaign's days without an L0 file of their own

    def gap(self, entry: Entry | None) -> bool:
        """Whether a day of the campaign has a gap (see `gap_threshold`): a day outside it holds
        the few records a file had past its midnight, its steps say nothing."""
        if not entry:
            return False
        largest = entry.get("largest_gap_s")
        return (
            self.threshold is not None
            and largest is not None
            and float(largest) > self.threshold
            and self.span[0] <= day_date(self.name, entry.get("day")) <= self.span[1]
        )

    def hole(self, day: datetime.date) -> bool:
        """A day whose L0 file is there without records of the product (a missing file's day is
        no hole: it is missing in every product)."""
        entry = self.by_day.get(day)
        return (
            self.span[0] <= day <= self.span[1] and day not in self.missing and not (entry and count(entry, "records"))
        )


def _page(summary: Mapping[str, Any]) -> str:
    raw = {
        name: sorted(days, key=lambda d: str(d.get("day"))) for name, days in (summary.get("products") or {}).items()
    }
    files = summary.get("files") or []
    span = campaign_days(files, raw)
    missing = frozenset(missing_days(files))
    # without a campaign day, no product has any day either
    products = [_Product(i, name, days, span, missing) for i, (name, days) in enumerate(raw.items())] if span else []
    title = _title(summary)
    parts = [
        HEAD.replace("<title></title>", f"<title>{esc(title)}</title>", 1),
        _header(summary, title, span, products, files, missing),
    ]
    if span is None:
        parts.append("<p>No product has any day in the archive yet.</p>\n")
    else:
        parts.append(_overview(products, span))
        parts.append(_marks())
        for product in products:
            parts.append(_product(product))
    parts.append(_files(files))
    parts.append("</body>\n</html>\n")
    return "".join(parts)


def _title(summary: Mapping[str, Any]) -> str:
    if summary.get("title"):
        return str(summary["title"])
    mission, instrument = (str(summary.get(k) or "") for k in ("mission", "instrument"))
    # "Zelk" and "Zelk radio and plasma waves": the instrument's name says the mission already
    who = instrument if mission and instrument.startswith(mission) else f"{mission} {instrument}".strip()
    text = f"{who} L1 archive" if who else "L1 archive"
    if summary.get("data_version"):
        text += f", data version {summary['data_version']}"
    if summary.get("software"):
        text += f", software {summary['software']}"
    return text


def _header(
    summary: Mapping[str, Any],
    title: str,
    span: Span | None,
    products: Sequence[_Product],
    files: Sequence[Entry],
    missing: Collection[datetime.date],
) -> str:
    statuses = Counter(str(f.get("status")) for f in files)
    counts = [f"{statuses.pop('ok', 0):,} ok"]
    for status in ("partial", "failed"):
        n = statuses.pop(status, 0)
        counts.append(f'<span class="count-{status}">{n:,} {status}</span>' if n else f"0 {status}")
    counts += [f"{n:,} {esc(status)}" for status, n in sorted(statuses.items())]
    lines = [
        f"<h1>{esc(title)}</h1>",
        f'<p class="meta">Generated {esc(summary.get("generated"))} &middot; '
        f"software {esc(summary.get('software'))} &middot; "
        f"data version {esc(summary.get('data_version'))}</p>",
        f'<p><a href="#files">L0 files</a>: {len(files):,} &mdash; {", ".join(counts)}</p>',
    ]
    if span:
        n_days = (span[1] - span[0]).days + 1
        line = f"<p>Campaign: {span[0]} to {span[1]} ({plural(n_days, 'day')}, the days the L0 files cover)"
        outside = sorted(
            {day for p in products for day, e in p.days if count(e, "records") and not span[0] <= day <= span[1]}
        )
        if outside:
            line += f"; records also on {stretches(outside)}, outside it (records of L0 files that run past midnight)"
        if missing:
            line += (
                f'; <span class="count-missing">L0 file missing for {plural(len(missing), "day")}: '
                f"{stretches(sorted(missing))}</span> (no L0 file of its own)"
            )
        lines.append(line + '. <a href="#marks">What the marks mean</a>.</p>')
    return "\n".join(lines) + "\n"


# The overview ------------------------------------------------------------------------------


def _overview(products: Sequence[_Product], span: Span) -> str:
    """Every product over every day: the campaign's days and the days outside it that have
    records, a column each."""
    first = min([span[0]] + [day for p in products for day, e in p.days if count(e, "records")])
    last = max([span[1]] + [day for p in products for day, e in p.days if count(e, "records")])
    n = (last - first).days + 1
    pitch = max(MIN_COLUMN, min(MAX_COLUMN, OVERVIEW_WIDTH // n))
    gap = 1 if pitch >= 6 else 0
    top = 26
    # the last month's label fits, however few of its days are shown
    last_month = max(k for k in range(n) if k == 0 or (first + datetime.timedelta(days=k)).day == 1)
    width = max(NAME_WIDTH + n * pitch + 4, NAME_WIDTH + last_month * pitch + MONTH_LABEL)
    height = top + len(products) * ROW + 2
    out = [
        f'<h2 id="overview">Overview</h2>\n<div class="scroll">\n'
        f'<svg xmlns="http://www.w3.org/2000/svg" class="overview" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" aria-label="products by day">'
    ]
    if any(p.missing for p in products):
        out.append(
            f'<defs><pattern id="missing-hatch" width="4" height="4" patternUnits="userSpaceOnUse" '
            f'patternTransform="rotate(45)"><rect width="4" height="4" fill="#dee2e6"/>'
            f'<rect width="2" height="4" fill="{MISSING}"/></pattern></defs>'
        )
    # months along the top, and the campaign's bounds
    for k in range(n):
        day = first + datetime.timedelta(days=k)
        x = NAME_WIDTH + k * pitch
        if day.day == 1 or k == 0:
            out.append(f'<text x="{x}" y="10">{day:%Y-%m}</text>')
            out.append(f'<path d="M{x} 13v{height - 13}" stroke="#bbb" stroke-width="0.5"/>')
        if pitch >= 12 and (day.day % 5 == 0 or day.day == 1):
            out.append(f'<text x="{x + pitch / 2}" y="22" text-anchor="middle">{day.day}</text>')
    for row, product in enumerate(products):
        y = top + row * ROW
        out.append(f'<a href="#product-{product.index}"><text x="0" y="{y + ROW - 5}">{esc(product.name)}</text></a>')
        for k in range(n):
            day = first + datetime.timedelta(days=k)
            entry = product.by_day.get(day)
            state = _state(product, day, entry)
            if state is None:
                continue
            colour = {"hole": HOLE, "gap": GAP, "report": REPORT, "outside": OUTSIDE, "missing": MISSING_FILL}.get(
                state
            ) or _shade(count(entry, "records"), product.busiest)
            body = (
                f'<rect class="{state}" x="{NAME_WIDTH + k * pitch}" y="{y + 1}" '
                f'width="{pitch - gap}" height="{ROW - 3}" fill="{colour}"/>'
            )
            title = f"<title>{esc(product.name)} {esc(_day_text(product, day, entry))}</title>"
            if entry is not None and entry.get("file"):
                out.append(f'<a href="{href(entry["file"])}">{title}{body}</a>')
            else:
                out.append(f"<g>{title}{body}</g>")
    out.append("</svg>\n</div>")
    legend = (
        f'<p class="legend">A row per product, a column per day ({first} to {last}). '
        f'<span class="swatch" style="background:{_shade(1, 1)}"></span> records (darker: more, '
        f"relative to the product's busiest day); "
        f'<span class="swatch missing"></span> missing L0 file (every row); '
        f'<span class="swatch" style="background:{HOLE}"></span> hole; '
        f'<span class="swatch" style="background:{GAP}"></span> gap; '
        f'<span class="swatch" style="background:{REPORT}"></span> reported units or warnings; '
        f'<span class="swatch" style="background:{OUTSIDE}"></span> records outside the campaign. '
        f"A cell links to its day file, a name to the product's days.</p>\n"
    )
    return "\n".join(out) + "\n" + legend


def _state(product: _Product, day: datetime.date, entry: Entry | None) -> str | None:
    """What the overview shows of a product's day: missing, hole, outside, gap, report, records,
    or None (nothing: a day outside the campaign without records)."""
    if day in product.missing:
        return "missing"
    if product.hole(day):
        return "hole"
    if not (entry and count(entry, "records")):
        return None
    if not product.span[0] <= day <= product.span[1]:
        return "outside"
    if product.gap(entry):
        return "gap"
    if count(entry, "reported") or count(entry, "warnings"):
        return "report"
    return "records"


def _marks() -> str:
    return (
        f'<h2 id="marks">What the page shows</h2>\n<dl class="marks">\n'
        f"<dt>Campaign</dt><dd>The UTC days from the first to the last the L0 files cover: a "
        f"file covers each day holding at least half the share of its records (each "
        f"product's share, averaged over its products) of its busiest day. Records of a file "
        f"that runs past midnight after the campaign's last day (the TNR's survey runs on for "
        f"hours) are shown as outside the campaign, never as holes.</dd>\n"
        f"<dt>Missing</dt><dd>A day of the campaign that no L0 file covers: one L0 file is "
        f"expected a UTC day, and this day's is missing. Marked in every product's row, "
        f"whatever records of the day the files of other days hold (records running past "
        f"midnight).</dd>\n"
        f"<dt>Hole</dt><dd>A day of the campaign whose L0 file is there but holds no record of "
        f"a product (no day file). A product that is not recorded every day by design (a "
        f"calibration) has holes on the days it was not run.</dd>\n"
        f"<dt>Gap</dt><dd>A step between two consecutive records of a day longer than "
        f"{GAP_FACTOR:g} times the product's usual longest step of a day (the median over the "
        f"campaign of each day's longest step), and than {duration(GAP_MINIMUM_S)}: the product "
        f"stopped for longer than it usually does. Measured against the product itself, so "
        f"records that come in bursts (calibrations) have no gap between their bursts. "
        f"Steps before a day's first record and after its last are not counted.</dd>\n"
        f"<dt>Largest step</dt><dd>The longest time between two consecutive records of the "
        f"day, gap or not.</dd>\n"
        f"<dt>Duplicates dropped</dt><dd>Records that another L0 file holds byte for byte "
        f"(files overlapping at midnight, a downlink delivered twice): written once.</dd>\n"
        f"<dt>Reported, warnings</dt><dd>Units the decoders reported (rejected or damaged "
        f"packets) and warnings, of the L0 files feeding the day, for the product.</dd>\n"
        f"<dt>L0 file status</dt><dd><b>ok</b>: every product decoded; <b>partial</b>: a "
        f"product decoded with units left out (see its reports); <b>failed</b>: the file or a "
        f"product could not be decoded: its last good decode, if any, goes on feeding its days, "
        f"and every run tries it again.</dd>\n</dl>\n"
    )


# A product's days --------------------------------------------------------------------------


def _day_text(product: _Product, day: datetime.date, entry: Entry | None) -> str:
    """The one-line account of a product's day, as a cell's tooltip."""
    if day in product.missing:
        text = f"{day}: no L0 file of its own (missing)"
        if entry is not None and count(entry, "records"):
            text += f"; {plural(count(entry, 'records'), 'record')} from the L0 files of other days"
        return text
    if entry is None or not count(entry, "records"):
        text = f"{day}: {'no records' if entry is None else '0 records'}"
        if not product.span[0] <= day <= product.span[1]:
            return text + " (outside the campaign)"
        return text + (", no day file" if entry is not None and not entry.get("file") else "") + " (hole)"
    text = f"{day}: {plural(count(entry, 'records'), 'record')}"
    if not product.span[0] <= day <= product.span[1]:
        text += " (outside the campaign)"
    if count(entry, "duplicates"):
        text += f", {count(entry, 'duplicates'):,} duplicates dropped"
    largest = entry.get("largest_gap_s")
    if product.gap(entry):
        text += f", gap (largest step {duration(largest)})"
    elif largest is not None and count(entry, "records") > 1:
        text += f", largest step {duration(largest)}"
    for key, word in (("reported", "reported unit"), ("warnings", "warning")):
        if count(entry, key):
            text += f", {plural(count(entry, key), word)}"
    if not entry.get("file"):
        text += ", no day file"
    return text


def _shade(records: int, busiest: int) -> str:
    f = records / busiest if busiest else 1.0
    return "#" + "".join(f"{round(lo + (hi - lo) * f):02x}" for lo, hi in zip(LIGHT, DARK))


def _strip(product: _Product) -> str:
    """The SVG of one product over the campaign: a row per month, a cell per day of the campaign
    (and per day outside it with records); a day without records is an empty cell."""
    span = product.span
    first = min([span[0]] + [d for d, e in product.days if count(e, "records")])
    last = max([span[1]] + [d for d, e in product.days if count(e, "records")])
    months = []
    month = first.replace(day=1)
    while month <= last:
        months.append(month)
        month = (month + datetime.timedelta(days=31)).replace(day=1)
    width = LABEL_WIDTH + 31 * PITCH
    height = HEADER_HEIGHT + len(months) * PITCH
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" aria-label="{esc(product.name)}: records per day">'
    ]
    for d in (1, 5, 10, 15, 20, 25, 30):
        out.append(f'<text x="{LABEL_WIDTH + (d - 1) * PITCH + CELL / 2}" y="10" text-anchor="middle">{d}</text>')
    for row, month in enumerate(months):
        y = HEADER_HEIGHT + row * PITCH
        out.append(f'<text x="0" y="{y + CELL - 4}">{month:%Y-%m}</text>')
        for d in range(1, calendar.monthrange(month.year, month.month)[1] + 1):
            day = month.replace(day=d)
            entry = product.by_day.get(day)
            if not (span[0] <= day <= span[1] or (entry and count(entry, "records"))):
                continue
            out.append(_cell(product, day, entry, LABEL_WIDTH + (d - 1) * PITCH, y))
    out.append("</svg>")
    return "\n".join(out)


def _cell(product: _Product, day: datetime.date, entry: Entry | None, x: float, y: float) -> str:
    records = count(entry, "records") if entry is not None else 0
    title = f"<title>{esc(_day_text(product, day, entry))}</title>"
    if day in product.missing:  # a crossed grey box, with or without records
        body = (
            f'<rect class="missing" x="{x + 0.5}" y="{y + 0.5}" width="{CELL - 1}" '
            f'height="{CELL - 1}" fill="#e9ecef" stroke="{MISSING}"/>'
            f'<path d="M{x + 0.5} {y + 0.5}l{CELL - 1} {CELL - 1}m0 {1 - CELL}l{1 - CELL} {CELL - 1}" '
            f'stroke="{MISSING}"/>'
        )
    elif records:
        fill = OUTSIDE if not product.span[0] <= day <= product.span[1] else _shade(records, product.busiest)
        body = f'<rect x="{x}" y="{y}" width="{CELL}" height="{CELL}" fill="{fill}"/>'
    else:
        body = (
            f'<rect class="hole" x="{x + 0.5}" y="{y + 0.5}" width="{CELL - 1}" height="{CELL - 1}" '
            f'fill="#fff" stroke="{HOLE}" stroke-dasharray="2 2"/>'
        )
    if product.gap(entry):
        body += f'<path class="gap-mark" d="M{x + CELL - 7} {y}h7v7z" fill="{GAP}" stroke="#fff" stroke-width="0.5"/>'
    if entry is not None and (count(entry, "reported") or count(entry, "warnings")):
        body += (
            f'<circle class="report-mark" cx="{x + CELL / 2}" cy="{y + CELL / 2}" r="2.8" '
            f'fill="{REPORT}" stroke="#fff" stroke-width="1"/>'
        )
    if entry is not None and entry.get("file"):
        return f'<a href="{href(entry["file"])}">{title}{body}</a>'
    return f"<g>{title}{body}</g>"


def _product(product: _Product) -> str:
    first, last = product.span
    total = (last - first).days + 1
    holes = [first + datetime.timedelta(days=i) for i in range(total)]
    holes = [day for day in holes if product.hole(day)]
    days = product.days
    records = sum(count(e, "records") for _, e in days)
    with_records = sum(1 for d, e in days if count(e, "records") and first <= d <= last and d not in product.missing)
    with_gaps = sum(1 for _, e in days if product.gap(e))
    with_reports = sum(1 for _, e in days if count(e, "reported") or count(e, "warnings"))
    line = (
        f"{plural(with_records, 'day')} with records of {total:,} in the campaign; "
        f"{plural(records, 'record')}; {plural(with_gaps, 'day')} with a gap"
        + (f" (a step longer than {duration(product.threshold)})" if product.threshold else "")
        + f"; {plural(with_reports, 'day')} with reported units or warnings."
    )
    if product.missing:
        line += f" L0 file missing for {plural(len(product.missing), 'day')}: {stretches(sorted(product.missing))}."
    if holes:
        stretch = runs(holes)
        named = ", ".join(str(a) if a == b else f"{a} to {b}" for a, b in stretch[:MISSING_LISTED])
        more = f" and {len(stretch) - MISSING_LISTED:,} more stretches" if len(stretch) > MISSING_LISTED else ""
        line += f" No records on {named}{more}."
    legend = (
        f'<p class="legend">Each cell a day; darker for more records (darkest: {product.busiest:,}); '
        f"crossed box: missing L0 file; "
        f'<span class="swatch hole"></span> hole; orange corner: gap; pink dot: reported units '
        f"or warnings; grey: records outside the campaign. A cell links to its day file.</p>"
    )
    rows = "\n".join(_day_row(product, day, entry) for day, entry in days)
    return (
        f'<section id="product-{product.index}">\n<h2>{esc(product.name)}</h2>\n<p>{line}</p>\n'
        f'<div class="scroll">\n{_strip(product)}\n</div>\n{legend}\n'
        f"<details>\n<summary>The {plural(len(days), 'day')} of {esc(product.name)}</summary>\n"
        f'<div class="scroll">\n<table>\n<thead><tr><th>Day</th><th>Records</th>'
        f"<th>Duplicates dropped</th><th>Gap</th><th>Largest step</th><th>Reported</th>"
        f"<th>Warnings</th><th>Sources</th><th>Day file</th><th>Plot</th></tr></thead>\n"
        f"<tbody>\n{rows}\n</tbody>\n</table>\n</div>\n</details>\n</section>\n"
    )


def _link(relative: str | None, text: str) -> str:
    if not relative:
        return DASH
    return f'<a href="{href(relative)}">{esc(text)}</a>'


def _day_row(product: _Product, day: datetime.date, entry: Entry) -> str:
    def number(key: str) -> str:
        flag = " flag" if key in ("reported", "warnings") and count(entry, key) else ""
        return f'<td class="n{flag}">{num(entry.get(key))}</td>'

    largest = entry.get("largest_gap_s")
    exact = f' title="{float(largest):g} s"' if largest is not None else ""
    gap = '<td class="flag">gap</td>' if product.gap(entry) else "<td></td>"
    sources = ", ".join(esc(s) for s in entry.get("sources") or []) or DASH
    file = entry.get("file")
    outside = "" if product.span[0] <= day <= product.span[1] else " (outside the campaign)"
    if day in product.missing:
        outside = " (missing L0 file)"
    return (
        f'<tr><td class="day">{day}{outside}</td>'
        f"{number('records')}{number('duplicates')}{gap}"
        f'<td class="n"{exact}>{duration(largest)}</td>{number("reported")}{number("warnings")}'
        f"<td>{sources}</td><td>{_link(file, os.path.basename(str(file or '')))}</td>"
        f"<td>{_link(entry.get('plot'), 'plot')}</td></tr>"
    )


# The L0 files -------------------------------------------------------------------------------


def _files(files: Sequence[Entry]) -> str:
    if not files:
        return '<h2 id="files">L0 files</h2>\n<p>No L0 file.</p>\n'
    rows = []
    for f in files:
        status = str(f.get("status"))
        row_class = f' class="{status}"' if status in ("failed", "partial") else ""
        numbers = "".join(f'<td class="n">{num(f.get(key))}</td>' for key in ("records", "reported", "warnings"))
        first, last = f.get("first"), f.get("last")
        when = f"{esc(first)} to {esc(last)}".replace("T", " ") if first and last else DASH
        days = sorted({day_date(f.get("name"), d) for d in f.get("days") or []})
        fed = f"{stretches(days)} ({len(days)})" if days else DASH
        rows.append(
            f"<tr{row_class}><td>{esc(f.get('name'))}</td><td>{esc(status)}</td>"
            f'<td class="n">{size(f.get("size"))}</td><td class="day">{when}</td>'
            f'<td class="day">{fed}</td>{numbers}<td>{esc(f.get("message"))}</td></tr>'
        )
    return (
        '<h2 id="files">L0 files</h2>\n<div class="scroll">\n<table>\n<thead><tr><th>File</th>'
        "<th>Status</th><th>Size</th><th>Time range (UTC)</th><th>Days fed</th><th>Records</th>"
        "<th>Reported</th><th>Warnings</th><th>Message</th></tr>"
        "</thead>\n<tbody>\n" + "\n".join(rows) + "\n</tbody>\n</table>\n</div>\n"
    )
