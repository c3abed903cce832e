"""The `dravel` command line: simulate, decode, quicklook, demo, batch.

    dravel demo                         simulate -> decode -> quicklook, in a temporary folder
    dravel simulate -o L0.h5            a synthetic L0 file with the packets of every product
    dravel decode L0.h5 -o L1.h5        every product whose packets are in the file
    dravel quicklook L1.h5 -o plots/    PNG plots of every product
    dravel batch 'L0/*.h5' -o L1/       many files, in parallel or on a Dask cluster

Exit codes: 0 success, 1 some product or file failed (the others were done), 2 unusable
arguments or input (missing file, not an HDF5 file, not an L0 store).
"""
from __future__ import annotations

import argparse
import logging
import os
import sys
import tempfile

from .errors import UsageError

PROG = "dravel"


def _product_list(text):
    return [name.strip() for name in text.split(",") if name.strip()]


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seed(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a non-negative integer, got {value}")
    return value


def build_parser():
    from kesta.dravel.products import PRODUCTS

    names = ", ".join(p.name for p in PRODUCTS)
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Decode THR and TDS level-0 telemetry (HDF5 L0 stores) into level-1 records.",
        epilog="Exit codes: 0 success; 1 a product or file failed while the others were done; "
               "2 unusable arguments or input. Start with 'dravel demo'.",
    )
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="show what the decoders report and log (-v: warnings and reports, "
                             "-vv: also debug progress)")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("simulate", help="write a synthetic L0 HDF5 file",
                       description="Write a synthetic L0 HDF5 file (groups TM/<packet name>/source_data/"
                                   "<parameter>) with the packets of every product a simulator is "
                                   "available for. The same seed gives the same packets.")
    p.add_argument("-o", "--output", required=True, metavar="L0.h5", help="L0 file to write")
    p.add_argument("--seed", type=_seed, default=0, help="random seed (default: 0)")
    p.add_argument("--anomalies", action="store_true",
                   help="include missing, duplicated, shuffled and bad packets")

    p = sub.add_parser("decode", help="decode an L0 file into an L1 file",
                       description="Run every decoder whose packet type is in the L0 file and write "
                                   "each product as a compound dataset /<product> of the L1 file; "
                                   "print a summary table.")
    p.add_argument("input", metavar="L0.h5", help="L0 HDF5 file")
    p.add_argument("-o", "--output", required=True, metavar="L1.h5", help="L1 file to write")
    p.add_argument("--products", type=_product_list, action="extend", metavar="NAME[,NAME...]",
                   help=f"decode only these products (repeatable; known: {names})")

    p = sub.add_parser("quicklook", help="plot the products of an L1 file",
                       description="Write one PNG quick-look plot per product of an L1 file: TNR "
                                   "spectrograms, calibration levels, snapshot waveforms, 2-D "
                                   "histograms, LFM spectral densities and spectral matrices.")
    p.add_argument("input", metavar="L1.h5", help="L1 HDF5 file written by 'dravel decode'")
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the PNG files")

    p = sub.add_parser("demo", help="simulate, decode and plot in one go",
                       description="Simulate an L0 file, decode it and plot the products; print the "
                                   "summary and where the files are.")
    p.add_argument("-o", "--output", metavar="DIR",
                   help="folder for L0.h5, L1.h5 and plots/ (default: a new temporary folder)")
    p.add_argument("--seed", type=_seed, default=0, help="random seed (default: 0)")
    p.add_argument("--anomalies", action="store_true",
                   help="include missing, duplicated, shuffled and bad packets")

    p = sub.add_parser("batch", help="decode many L0 files",
                       description="Decode many L0 files into a folder, one L1 file per input "
                                   "(same base name). A file that fails is reported and the others "
                                   "go on.")
    p.add_argument("inputs", nargs="+", metavar="PATTERN",
                   help="L0 files or quoted glob patterns, e.g. 'L0/*.h5'")
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the L1 files")
    p.add_argument("--products", type=_product_list, action="extend", metavar="NAME[,NAME...]",
                   help="decode only these products")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive, default=1, metavar="N",
                       help="decode in N parallel processes (default: 1, in this process)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run one task per file on the Dask distributed cluster at ADDRESS "
                            "(e.g. tcp://host:8786; needs the 'dask' extra)")
    return parser


def _configure_logging(verbose):
    root = logging.getLogger()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    # Without -v nothing the decoders log is printed: the summary counts it.
    handler.setLevel({0: logging.CRITICAL + 1, 1: logging.WARNING}.get(verbose, logging.DEBUG))
    root.addHandler(handler)
    return handler


def _print(lines, stream=None):
    stream = stream or sys.stdout
    for line in lines:
        print(line, file=stream)


def cmd_simulate(args):
    from .simulate import simulate_file

    counts, notes, failures = simulate_file(args.output, args.seed, args.anomalies)
    print(f"wrote {args.output}: {sum(counts.values())} packets of {len(counts)} packet types "
          f"(seed {args.seed}{', with anomalies' if args.anomalies else ''})")
    for name, n in counts.items():
        print(f"  {name}: {n} packets")
    _print(["note: " + n for n in notes])
    _print(["error: " + f for f in failures], sys.stderr)
    return 1 if failures else 0


def _decode(input_path, output_path, products, verbose):
    from .decode import decode_file, details, summary_table

    result = decode_file(input_path, output_path, products, progress=True)
    _print(summary_table(result))
    if verbose:
        _print(details(result))
    print(f"wrote {output_path}: {result.records} records")
    return result


def cmd_decode(args):
    result = _decode(args.input, args.output, args.products, args.verbose)
    return 1 if result.failed else 0


def _quicklook(input_path, out_dir):
    from .quicklook import quicklook_file

    written, notes, failures = quicklook_file(input_path, out_dir)
    _print(["note: " + n for n in notes])
    _print(["error: " + f for f in failures], sys.stderr)
    return written, failures


def cmd_quicklook(args):
    written, failures = _quicklook(args.input, args.output)
    print(f"wrote {len(written)} plot(s) to {args.output}")
    _print("  " + path for path in written)
    return 1 if failures else 0


def cmd_demo(args):
    from .simulate import simulate_file

    folder = args.output or tempfile.mkdtemp(prefix="dravel-demo-")
    os.makedirs(folder, exist_ok=True)
    l0, l1, plots = (os.path.join(folder, n) for n in ("L0.h5", "L1.h5", "plots"))
    counts, notes, failures = simulate_file(l0, args.seed, args.anomalies)
    print(f"simulated {sum(counts.values())} packets of {len(counts)} packet types -> {l0}")
    _print(["note: " + n for n in notes])
    _print(["error: " + f for f in failures], sys.stderr)
    result = _decode(l0, l1, None, args.verbose)
    written, plot_failures = _quicklook(l1, plots)
    print(f"plots ({len(written)}) in {plots}:")
    _print("  " + os.path.basename(path) for path in written)
    return 1 if failures or result.failed or plot_failures else 0


def cmd_batch(args):
    from .batch import expand_inputs, outcome_table, plan, run_dask, run_local

    pairs = plan(expand_inputs(args.inputs), args.output)
    if args.scheduler:
        outcomes = run_dask(pairs, args.scheduler, args.products)
    else:
        outcomes = run_local(pairs, args.products, args.workers)
    _print(outcome_table(outcomes))
    bad = [o for o in outcomes if not o.ok]
    print(f"{len(outcomes) - len(bad)} of {len(outcomes)} file(s) decoded without error into {args.output}")
    return 1 if bad else 0


COMMANDS = {"simulate": cmd_simulate, "decode": cmd_decode, "quicklook": cmd_quicklook,
            "demo": cmd_demo, "batch": cmd_batch}


def main(argv=None):
    """Runs the command line; returns the exit code."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, or a usage error already printed by argparse
        return exc.code if isinstance(exc.code, int) else 2
    handler = _configure_logging(args.verbose)
    try:
        if getattr(args, "products", None):
            from .decode import select_products

            select_products(args.products)   # unknown names fail before any work
        return COMMANDS[args.command](args)
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return exc.exit_code
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    finally:
        logging.getLogger().removeHandler(handler)
