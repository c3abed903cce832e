"""`dravel quicklook`: PNG plots of the products of L1 files."""

from __future__ import annotations

import argparse

from . import options
from .commands import Console
from .errors import RunFailed


def quicklook_into(console: Console, input_path: str, out_dir: str) -> tuple[list[str], list[str]]:
    # lazy: the quick-look plots load matplotlib (0.3 s), which only a command making plots needs
    from kesta.dravel.l1.quicklook import quicklook_file

    written, notes, failures = quicklook_file(input_path, out_dir)
    console.out(*("note: " + n for n in notes))
    console.err(*("error: " + f for f in failures))
    return written, failures


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    p = options.command(
        subparsers,
        "quicklook",
        help="plot the products of L1 files",
        description="Write one PNG quick-look plot per product of an L1 file (HDF5, CDF or "
        "netCDF) or of a folder of them: TNR spectrograms, calibration levels, "
        "snapshot waveforms, 2-D histograms, LFM spectral densities and "
        "spectral matrices.",
    )
    p.add_argument("input", metavar="L1", help="L1 file or folder written by 'dravel decode'")
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the PNG files")
    return p


def run(args: argparse.Namespace, console: Console) -> int:
    written, failures = quicklook_into(console, args.input, args.output)
    console.out(f"wrote {len(written)} plot(s) to {args.output}", *("  " + path for path in written))
    if failures:
        raise RunFailed(f"{len(failures)} plot(s) could not be made; {failures[0]}")
    return 0
