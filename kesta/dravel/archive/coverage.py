"""The archive's coverage page, ARCHIVE/index.html: per product, which days of the campaign have
records (a strip of day cells, holes included) and a table of its days; then the L0 files and how
their decoding went.

The page is one self-contained file: inline CSS and SVG, no script, nothing fetched. Its links
(day files, plots) are relative to the archive folder, so the archive can be moved or served as
it is. Every text that comes from the data is escaped.

    from kesta.dravel.archive.coverage import gaps, write_page
    count, largest_s = gaps(epoch_ns)            # sorted int64 times of one day
    write_page("archive/", summary)              # -> "archive/index.html"
"""
from __future__ import annotations

import calendar
import datetime
import html
import os
import threading
from collections import Counter
from urllib.parse import quote

import numpy as np

PAGE = "index.html"

# The strip: one row per calendar month, one column per day of the month.
CELL = 16
PITCH = 19
LABEL_WIDTH = 64
HEADER_HEIGHT = 14
LIGHT = (208, 226, 242)      # the fewest records
DARK = (24, 66, 122)         # the product's busiest day
MISSING_LISTED = 20          # stretches of holes named in a product's summary line
DASH = "\u2013"

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
body { font: 14px/1.45 system-ui, sans-serif; color: #222; margin: 1.5em auto; max-width: 84em; padding: 0 1em; }
h1 { margin-bottom: 0.2em; }
h2 { margin-top: 2em; border-bottom: 1px solid #ccc; }
.meta { color: #555; margin-top: 0; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; margin: 0.8em 0; }
th, td { border: 1px solid #ddd; padding: 0.2em 0.6em; vertical-align: top; text-align: left; }
th { background: #f2f2f2; }
td.day { white-space: nowrap; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.failed td { background: #fbe0e0; }
tr.partial td { background: #fff3cd; }
td.flag { background: #fff3cd; }
.count-failed { color: #b00020; font-weight: bold; }
.legend { color: #555; font-size: 12px; }
.swatch { display: inline-block; width: 11px; height: 11px; border: 1px solid #999; vertical-align: -1px; }
.swatch.hole { border-style: dashed; }
svg text { font: 10px system-ui, sans-serif; fill: #555; }
svg a:hover rect { stroke: #000; stroke-width: 2; }
</style>
</head>
<body>
"""


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


def write_page(archive, summary):
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


def _esc(value):
    return html.escape("" if value is None else str(value), quote=True)


def _href(relative):
    """An attribute value linking to `relative`, a path inside the archive."""
    return _esc(quote(str(relative)))


def _num(value):
    if value is None:
        return DASH
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return f"{int(value):,}"
    return _esc(value)


def _count(entry, key):
    value = entry.get(key)
    return int(value) if isinstance(value, (int, np.integer)) else 0


def _duration(seconds):
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


def _plural(n, word):
    return f"{n:,} {word}" + ("" if n == 1 else "s")


def _date(product, text):
    try:
        return datetime.datetime.strptime(str(text), "%Y%m%d").date()
    except ValueError:
        raise ValueError(f"product {product}: day {text!r} is not a date as YYYYMMDD") from None


def _page(summary):
    title = summary.get("title") or "L1 archive"
    products = {name: sorted(days, key=lambda d: str(d.get("day")))
                for name, days in (summary.get("products") or {}).items()}
    dated = {name: [(_date(name, d.get("day")), d) for d in days] for name, days in products.items()}
    all_days = [day for days in dated.values() for day, _ in days]
    span = (min(all_days), max(all_days)) if all_days else None
    files = summary.get("files") or []

    parts = [HEAD.replace("<title></title>", f"<title>{_esc(title)}</title>", 1),
             _header(summary, title, span, dated, files)]
    if span is None:
        parts.append("<p>No product has any day in the archive yet.</p>\n")
    else:
        for index, (name, days) in enumerate(dated.items()):
            parts.append(_product(index, name, days, span))
    parts.append(_files(files))
    parts.append("</body>\n</html>\n")
    return "".join(parts)


def _header(summary, title, span, dated, files):
    statuses = Counter(str(f.get("status")) for f in files)
    counts = [f"{statuses.pop('ok', 0):,} ok"]
    for status in ("partial", "failed"):
        n = statuses.pop(status, 0)
        counts.append(f'<span class="count-{status}">{n:,} {status}</span>' if n else f"0 {status}")
    counts += [f"{n:,} {_esc(status)}" for status, n in sorted(statuses.items())]
    lines = [f"<h1>{_esc(title)}</h1>",
             f'<p class="meta">Generated {_esc(summary.get("generated"))} &middot; '
             f'software {_esc(summary.get("software"))} &middot; '
             f'data version {_esc(summary.get("data_version"))}</p>',
             f'<p><a href="#files">L0 files</a>: {len(files):,} &mdash; {", ".join(counts)}</p>']
    if span:
        n_days = (span[1] - span[0]).days + 1
        lines.append(f"<p>Campaign: {span[0]} to {span[1]} ({_plural(n_days, 'day')})</p>")
    if dated:
        items = [f'<li><a href="#product-{i}">{_esc(name)}</a>: '
                 f'{_plural(sum(_count(d, "records") for _, d in days), "record")}</li>'
                 for i, (name, days) in enumerate(dated.items())]
        lines.append("<ul>\n" + "\n".join(items) + "\n</ul>")
    return "\n".join(lines) + "\n"


def _day_text(day, entry):
    """The one-line account of a product's day, as the strip's tooltip."""
    if entry is None:
        return f"{day}: no records"
    text = f"{day}: {_plural(_count(entry, 'records'), 'record')}"
    if _count(entry, "duplicates"):
        text += f", {_count(entry, 'duplicates'):,} duplicates dropped"
    if _count(entry, "gaps"):
        largest = entry.get("largest_gap_s")
        text += f", {_plural(_count(entry, 'gaps'), 'gap')}"
        if largest is not None:
            text += f" (largest step {_duration(largest)})"
    for key, word in (("reported", "reported unit"), ("warnings", "warning")):
        if _count(entry, key):
            text += f", {_plural(_count(entry, key), word)}"
    if not entry.get("file"):
        text += ", no day file"
    return text


def _shade(records, busiest):
    f = records / busiest if busiest else 1.0
    return "#" + "".join(f"{round(lo + (hi - lo) * f):02x}" for lo, hi in zip(LIGHT, DARK))


def _strip(name, days, span):
    """The SVG of one product over the campaign: a row per month, a cell per day of the campaign;
    a day without records is an empty cell."""
    by_day = {day: entry for day, entry in days}
    busiest = max((_count(e, "records") for e in by_day.values()), default=0)
    months = []
    month = span[0].replace(day=1)
    while month <= span[1]:
        months.append(month)
        month = (month + datetime.timedelta(days=31)).replace(day=1)
    width = LABEL_WIDTH + 31 * PITCH
    height = HEADER_HEIGHT + len(months) * PITCH
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" aria-label="{_esc(name)}: records per day">']
    for d in (1, 5, 10, 15, 20, 25, 30):
        out.append(f'<text x="{LABEL_WIDTH + (d - 1) * PITCH + CELL / 2}" y="10" '
                   f'text-anchor="middle">{d}</text>')
    for row, month in enumerate(months):
        y = HEADER_HEIGHT + row * PITCH
        out.append(f'<text x="0" y="{y + CELL - 4}">{month:%Y-%m}</text>')
        for d in range(1, calendar.monthrange(month.year, month.month)[1] + 1):
            day = month.replace(day=d)
            if not span[0] <= day <= span[1]:
                continue
            out.append(_cell(day, by_day.get(day), busiest, LABEL_WIDTH + (d - 1) * PITCH, y))
    out.append("</svg>")
    return "\n".join(out)


def _cell(day, entry, busiest, x, y):
    records = _count(entry, "records") if entry is not None else 0
    title = f"<title>{_esc(_day_text(day, entry))}</title>"
    if records:
        body = f'<rect x="{x}" y="{y}" width="{CELL}" height="{CELL}" fill="{_shade(records, busiest)}"/>'
    else:
        body = (f'<rect class="hole" x="{x + 0.5}" y="{y + 0.5}" width="{CELL - 1}" height="{CELL - 1}" '
                f'fill="#fff" stroke="#999" stroke-dasharray="2 2"/>')
    if entry is not None and _count(entry, "gaps"):
        body += (f'<path class="gap-mark" d="M{x + CELL - 7} {y}h7v7z" fill="#f08c00" '
                 f'stroke="#fff" stroke-width="0.5"/>')
    if entry is not None and (_count(entry, "reported") or _count(entry, "warnings")):
        body += (f'<circle class="report-mark" cx="{x + CELL / 2}" cy="{y + CELL / 2}" r="2.8" '
                 f'fill="#d6336c" stroke="#fff" stroke-width="1"/>')
    if entry is not None and entry.get("file"):
        return f'<a href="{_href(entry["file"])}">{title}{body}</a>'
    return f"<g>{title}{body}</g>"


def _product(index, name, days, span):
    first, last = span
    with_records = {day for day, entry in days if _count(entry, "records")}
    holes = [first + datetime.timedelta(days=i) for i in range((last - first).days + 1)]
    holes = [day for day in holes if day not in with_records]
    records = sum(_count(e, "records") for _, e in days)
    with_gaps = sum(1 for _, e in days if _count(e, "gaps"))
    with_reports = sum(1 for _, e in days if _count(e, "reported") or _count(e, "warnings"))
    total = (last - first).days + 1
    line = (f"{_plural(len(with_records), 'day')} with records of {total:,} in the campaign; "
            f"{_plural(records, 'record')}; {_plural(with_gaps, 'day')} with gaps; "
            f"{_plural(with_reports, 'day')} with reported units or warnings.")
    if holes:
        runs = _runs(holes)
        named = ", ".join(str(a) if a == b else f"{a} to {b}" for a, b in runs[:MISSING_LISTED])
        more = f" and {len(runs) - MISSING_LISTED:,} more stretches" if len(runs) > MISSING_LISTED else ""
        line += f" No records on {named}{more}."
    busiest = max((_count(e, "records") for _, e in days), default=0)
    legend = (f'<p class="legend">Each cell a day; darker for more records (darkest: {busiest:,}); '
              f'<span class="swatch hole"></span> no records; '
              f'orange corner: gaps; pink dot: reported units or warnings. '
              f'A cell links to its day file.</p>')
    rows = "\n".join(_day_row(day, entry) for day, entry in days)
    return (f'<section id="product-{index}">\n<h2>{_esc(name)}</h2>\n<p>{line}</p>\n'
            f'<div class="scroll">\n{_strip(name, days, span)}\n</div>\n{legend}\n'
            f'<div class="scroll">\n<table>\n<thead><tr><th>Day</th><th>Records</th>'
            f'<th>Duplicates dropped</th><th>Gaps</th><th>Largest step</th><th>Reported</th>'
            f'<th>Warnings</th><th>Sources</th><th>Day file</th><th>Plot</th></tr></thead>\n'
            f'<tbody>\n{rows}\n</tbody>\n</table>\n</div>\n</section>\n')


def _runs(days):
    """[(first, last)] of the stretches of consecutive days in sorted `days`."""
    runs = []
    for day in days:
        if runs and (day - runs[-1][1]).days == 1:
            runs[-1] = (runs[-1][0], day)
        else:
            runs.append((day, day))
    return runs


def _link(relative, text):
    if not relative:
        return DASH
    return f'<a href="{_href(relative)}">{_esc(text)}</a>'


def _day_row(day, entry):
    def number(key):
        flag = ' flag' if key in ("gaps", "reported", "warnings") and _count(entry, key) else ""
        return f'<td class="n{flag}">{_num(entry.get(key))}</td>'

    largest = entry.get("largest_gap_s")
    exact = f' title="{float(largest):g} s"' if largest is not None else ""
    sources = ", ".join(_esc(s) for s in entry.get("sources") or []) or DASH
    file = entry.get("file")
    return (f'<tr><td class="day">{day}</td>'
            f"{number('records')}{number('duplicates')}{number('gaps')}"
            f'<td class="n"{exact}>{_duration(largest)}</td>{number("reported")}{number("warnings")}'
            f"<td>{sources}</td><td>{_link(file, os.path.basename(str(file or '')))}</td>"
            f"<td>{_link(entry.get('plot'), 'plot')}</td></tr>")


def _files(files):
    if not files:
        return '<h2 id="files">L0 files</h2>\n<p>No L0 file.</p>\n'
    rows = []
    for f in files:
        status = str(f.get("status"))
        row_class = f' class="{status}"' if status in ("failed", "partial") else ""
        numbers = "".join(f'<td class="n">{_num(f.get(key))}</td>' for key in ("records", "reported", "warnings"))
        rows.append(f"<tr{row_class}><td>{_esc(f.get('name'))}</td><td>{_esc(status)}</td>{numbers}"
                    f"<td>{_esc(f.get('message'))}</td></tr>")
    return ('<h2 id="files">L0 files</h2>\n<div class="scroll">\n<table>\n<thead><tr><th>File</th>'
            '<th>Status</th><th>Records</th><th>Reported</th><th>Warnings</th><th>Message</th></tr>'
            '</thead>\n<tbody>\n' + "\n".join(rows) + "\n</tbody>\n</table>\n</div>\n")
