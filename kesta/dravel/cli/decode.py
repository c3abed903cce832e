"""What `dravel decode` prints: the summary table of a decode run and its reports."""

from __future__ import annotations

import argparse
import os

from kesta.dravel.l1.convert import convert
from kesta.dravel.l1.layout import DAY_FILE_PREFIX
from kesta.dravel.l1.results import DecodeResult
from kesta.dravel.l1.store import first_line
from kesta.dravel.l1.writers import FORMATS
from kesta.dravel.products import PRODUCTS

from . import options
from .commands import Console, check_report, verdict, write_report


def summary_table(result: DecodeResult) -> list[str]:
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

    def line(row: tuple[str, ...]) -> str:
        cells = [row[i].rjust(widths[i]) if i in numeric else row[i].ljust(widths[i]) for i in range(len(widths))]
        return "  ".join(cells + [row[-1]])

    lines = [line(head), "  ".join("-" * w for w in widths) + "  ------"]
    lines += [line(r) for r in rows]
    lines += ["note: " + n for n in result.notes]
    return lines


def details(result: DecodeResult) -> list[str]:
    """The reports and warnings of every product, as text lines (for --verbose)."""
    lines = []
    for p in result.products:
        for text in p.warnings:
            lines.append(f"{p.product}: warning: {text}")
        for text in p.reports:
            lines.append(f"{p.product}: reported: {first_line(text, last=True)}")
    return lines


def decode_into(
    console: Console, input_path: str, output: str, args: argparse.Namespace, format: str = "hdf5"
) -> DecodeResult:
    result = convert(
        input_path,
        output,
        format=format,
        products=getattr(args, "products", None),
        data_version=getattr(args, "data_version", "01"),
        overwrite=getattr(args, "overwrite", False),
        window_bytes=getattr(args, "window", 64) << 20,
        interrupted=args.stop,
    )
    console.out(*summary_table(result))
    if args.verbose:
        console.out(*details(result))
    form = FORMATS[format]
    if not form.days:
        console.out(f"wrote {output}: {result.records} records")
    else:
        console.out(
            f"wrote {len(result.outputs)} {form.label} file(s) to {output}:",
            *("  " + os.path.basename(p) for p in result.outputs),
        )
    return result


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    names = ", ".join(p.name for p in PRODUCTS)
    p = options.command(
        subparsers,
        "decode",
        help="decode an L0 file into L1 files",
        description="Run every decoder whose packet type is in the L0 file and write the "
        "products: as compound datasets /<product> of one L1 HDF5 file "
        "(default), or as one ISTP CDF or netCDF file per product and UTC day in a "
        "folder; "
        "print a summary table.",
    )
    p.add_argument("input", metavar="L0.h5", help="L0 HDF5 file")
    p.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="L1.h5|DIR",
        help="L1 file to write (hdf5), or folder for the day files (cdf, netcdf)",
    )
    p.add_argument(
        "--format",
        choices=FORMATS,
        default="hdf5",
        help="hdf5: one file of compound datasets (default); cdf: one ISTP CDF per "
        f"product and UTC day, {DAY_FILE_PREFIX}<product>_<YYYYMMDD>_v<NN>.cdf; netcdf: "
        "the same as netCDF files (.nc)",
    )
    p.add_argument(
        "--data-version",
        type=options.data_version,
        default="01",
        metavar="NN",
        help="data version of CDF and netCDF files (default: 01)",
    )
    p.add_argument(
        "--overwrite", action="store_true", help="replace output files that exist already (refused otherwise)"
    )
    p.add_argument(
        "--window",
        type=options.positive,
        default=64,
        metavar="MB",
        help="decode and write about MB megabytes of records at a time, in whole "
        "snapshots, histograms or packets, so memory stays bounded (default: 64)",
    )
    _decode_options(p, names)
    return p


def _decode_options(p: argparse.ArgumentParser, names: str) -> None:
    p.add_argument(
        "--products",
        type=options.product_list,
        action="extend",
        metavar="NAME[,NAME...]",
        help=f"decode only these products (repeatable; known: {names})",
    )
    options.strict_option(p)
    p.add_argument(
        "--report",
        metavar="FILE.json",
        help="write a machine-readable run report (per product: packets, records, status, reports, warnings, seconds)",
    )


def run(args: argparse.Namespace, console: Console) -> int:
    check_report(args.report)
    result = decode_into(console, args.input, args.output, args, args.format)
    if args.report:
        write_report(args.report, [result.as_dict()])
    verdict(result, args.strict)
    return 0
