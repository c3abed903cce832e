"""What `dravel decode` prints: the summary table of a decode run and its reports."""

from __future__ import annotations

from kesta.dravel.l1.store import first_line


def summary_table(result):
    """The summary table of a decode run, as text lines."""
    head = ("product", "packet type", "packets in", "records out", "reported+skipped", "warnings", "status")
    rows = [
        (
            p.product,
            p.packet_type,
            str(p.packets),
            str(p.records),
            str(len(p.reports)),
            str(len(p.warnings)),
            p.summary(),
        )
        for p in result.products
    ]
    if not rows:
        return ["no product to decode in " + result.input] + ["note: " + n for n in result.notes]
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head) - 1)]
    numeric = {2, 3, 4, 5}

    def line(row):
        cells = [row[i].rjust(widths[i]) if i in numeric else row[i].ljust(widths[i]) for i in range(len(widths))]
        return "  ".join(cells + [row[-1]])

    lines = [line(head), "  ".join("-" * w for w in widths) + "  ------"]
    lines += [line(r) for r in rows]
    lines += ["note: " + n for n in result.notes]
    return lines


def details(result):
    """The reports and warnings of every product, as text lines (for --verbose)."""
    lines = []
    for p in result.products:
        for text in p.warnings:
            lines.append(f"{p.product}: warning: {text}")
        for text in p.reports:
            lines.append(f"{p.product}: reported: {first_line(text, last=True)}")
    return lines
