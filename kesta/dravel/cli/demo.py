"""`dravel demo`: simulate, decode and plot in one go."""

from __future__ import annotations

import argparse
import os
import tempfile

from . import options
from .commands import Console, verdict
from .decode import decode_into
from .errors import RunFailed
from .quicklook import quicklook_into
from .simulate import simulate_file


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    p = options.command(
        subparsers,
        "demo",
        help="simulate, decode and plot in one go",
        description="Simulate an L0 file, decode it into an L1 HDF5 file and ISTP CDF files, "
        "and plot the products; print the summary and where the files are.",
    )
    p.add_argument(
        "-o",
        "--output",
        metavar="DIR",
        help="folder for L0.h5, L1.h5, cdf/ and plots/ (default: a new temporary folder)",
    )
    p.add_argument("--seed", type=options.seed, default=0, help="random seed (default: 0)")
    p.add_argument("--anomalies", action="store_true", help="include missing, duplicated, shuffled and bad packets")
    return p


def run(args: argparse.Namespace, console: Console) -> int:
    kept = args.output is None
    folder = args.output or tempfile.mkdtemp(prefix="dravel-demo-")
    os.makedirs(folder, exist_ok=True)
    l0, l1, cdf, plots = (os.path.join(folder, n) for n in ("L0.h5", "L1.h5", "cdf", "plots"))
    counts, notes, failures = simulate_file(l0, args.seed, args.anomalies)
    console.out(f"simulated {sum(counts.values())} packets of {len(counts)} packet types -> {l0}")
    console.out(*("note: " + n for n in notes))
    console.err(*("error: " + f for f in failures))
    args.overwrite = True  # the demo's own folder: a second demo there replaces the first
    result = decode_into(console, l0, l1, args)
    cdfs = decode_into(
        Console(quiet=True), l0, cdf, argparse.Namespace(verbose=0, overwrite=True, stop=args.stop), "cdf"
    )
    console.out(f"ISTP CDF files ({len(cdfs.outputs)}) in {cdf}:", *("  " + os.path.basename(p) for p in cdfs.outputs))
    written, plot_failures = quicklook_into(console, l1, plots)
    console.out(f"plots ({len(written)}) in {plots}:", *("  " + os.path.basename(p) for p in written))
    if kept:
        console.out(f"the demo's files are kept in {folder} ({_megabytes(folder)} MB): remove it when done")
    if failures or plot_failures:
        raise RunFailed(f"the demo could not simulate or plot everything; {(failures or plot_failures)[0]}")
    verdict(result)
    verdict(cdfs)
    return 0


def _megabytes(folder: str) -> float:
    total = 0
    for root, _, files in os.walk(folder):
        total += sum(os.path.getsize(os.path.join(root, name)) for name in files)
    return round(total / 1e6, 1)
