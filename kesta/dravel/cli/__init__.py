"""The `dravel` command line: simulate, decode, quicklook, demo, batch.

    dravel demo                         simulate -> decode -> quicklook, in a temporary folder
    dravel simulate -o L0.h5            a synthetic L0 file with the packets of every product
    dravel simulate --days 3 --start 2024-03-01 -o L0/   one L0 file per day, overlapping
    dravel decode L0.h5 -o L1.h5        every product whose packets are in the file
    dravel quicklook L1.h5 -o plots/    PNG plots of every product
    dravel batch 'L0/*.h5' -o L1/       many files, in parallel or on a Dask cluster
    dravel archive 'L0/*.h5' -o ARCHIVE daily L1 files from every L0 file, kept up to date
    dravel serve ARCHIVE                the archive as a HAPI server (http://127.0.0.1:8787/hapi)

Exit codes: 0 success, 1 some product or file failed (the others were done), 2 unusable
arguments or input (missing file, not an HDF5 file, not an L0 store).
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import sys

from .process import keep_freed_memory, one_blas_thread

one_blas_thread()  # before NumPy is imported

from kesta.dravel.l1.errors import DravelError, Interrupted  # noqa: E402  (imports NumPy)

from .errors import RunFailed, UsageError  # noqa: E402

PROG = "dravel"
DISTRIBUTION = "kesta-dravel"
EXTRA = "cli"  # the extra holding the L1 library's and the command line's dependencies


def _product_list(text):
    return [name.strip() for name in text.split(",") if name.strip()]


def _int_at_least(minimum, what):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {what}, got {value}")
        return value

    return parse


_positive = _int_at_least(1, "at least 1")


def _days(text):
    """A number of days: finite and more than 0 (nan and inf would lift the limit they set)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a number of days more than 0, got {text!r}")
    return value


_seed = _int_at_least(0, "a non-negative integer")


def _version():
    from kesta.dravel.l1.attributes import software_version

    return software_version()


VERBOSE = "show what the decoders report and log (-v: warnings and reports, -vv: also debug progress)"


def _common(parser, top, verbose=VERBOSE):
    """The options every command takes, before or after its name (given after it, they win);
    `verbose`: what -v does for the command."""
    default = (lambda value: value) if top else (lambda value: argparse.SUPPRESS)
    parser.add_argument("-v", "--verbose", action="count", default=default(0), help=verbose)
    parser.add_argument("-q", "--quiet", action="store_true", default=default(False), help="print errors only")
    parser.add_argument(
        "--log-file",
        metavar="FILE",
        default=default(None),
        help="also write everything logged (debug level and up) to FILE",
    )


class _Command(argparse.ArgumentParser):
    """The parser of one command: an argument it does not know is its own usage error (its
    usage printed, exit 2), not the top level's."""

    def parse_known_args(self, args=None, namespace=None):
        namespace, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        return namespace, extras


def build_parser():
    from kesta.dravel.l1.layout import DAY_FILE_PREFIX
    from kesta.dravel.l1.writers import DAY_FORMATS, FORMATS
    from kesta.dravel.products import PRODUCTS

    names = ", ".join(p.name for p in PRODUCTS)
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Decode THR and TDS level-0 telemetry (HDF5 L0 stores) into level-1 records.",
        epilog="Exit codes: 0 success; 1 a product or file failed while the others were done; "
        "2 unusable arguments or input; 130 interrupted. Start with 'dravel demo'.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    _common(parser, top=True)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Command)

    def command(name, verbose=VERBOSE, **kwargs):
        p = sub.add_parser(name, **kwargs)
        _common(p, top=False, verbose=verbose)
        return p

    p = command(
        "simulate",
        help="write a synthetic L0 HDF5 file",
        description="Write a synthetic L0 HDF5 file (groups TM/<packet name>/source_data/"
        "<parameter>) with the packets of every product a simulator is "
        "available for, or with --days one L0 file per UTC day as a downlink "
        "delivers them. The same seed gives the same packets.",
    )
    p.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="L0.h5|DIR",
        help="L0 file to write, or with --days the folder for the day files (created)",
    )
    p.add_argument(
        "--days",
        metavar="N",
        help="write N files L0_<YYYYMMDD>.h5, one per day from --start: each day's "
        "snapshots, histograms and packets spread over the day, each file running "
        "10 to 30 minutes into the next day (the units starting then are in both)",
    )
    p.add_argument("--start", metavar="YYYY-MM-DD", help="the first day of --days")
    p.add_argument("--seed", type=_seed, default=0, help="random seed (default: 0)")
    p.add_argument("--anomalies", action="store_true", help="include missing, duplicated, shuffled and bad packets")
    p.add_argument(
        "--scale",
        type=_positive,
        default=1,
        metavar="N",
        help="N times the packets (each copy later in time, with its own snapshot "
        "numbers), for large test files; with --days, N times each day's content spread "
        "over its day",
    )

    p = command(
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
        type=_data_version,
        default="01",
        metavar="NN",
        help="data version of CDF and netCDF files (default: 01)",
    )
    p.add_argument(
        "--overwrite", action="store_true", help="replace output files that exist already (refused otherwise)"
    )
    p.add_argument(
        "--window",
        type=_positive,
        default=64,
        metavar="MB",
        help="decode and write about MB megabytes of records at a time, in whole "
        "snapshots, histograms or packets, so memory stays bounded (default: 64)",
    )
    _decode_options(p, names)

    p = command(
        "quicklook",
        help="plot the products of L1 files",
        description="Write one PNG quick-look plot per product of an L1 file (HDF5, CDF or "
        "netCDF) or of a folder of them: TNR spectrograms, calibration levels, "
        "snapshot waveforms, 2-D histograms, LFM spectral densities and "
        "spectral matrices.",
    )
    p.add_argument("input", metavar="L1", help="L1 file or folder written by 'dravel decode'")
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the PNG files")

    p = command(
        "describe",
        help="list the L1 variables of a product",
        description="List each L1 variable of a product's day files with its type, "
        "dimensions, units and fill value, named as the CDF files and the HAPI "
        "server hold them (<product>_<field>, and Epoch; netCDF files name them "
        "by the field alone).",
    )
    p.add_argument("products", nargs="*", metavar="PRODUCT", help=f"products (default: all; known: {names})")
    p.add_argument("--markdown", action="store_true", help="as Markdown, the sections of the docs' product reference")

    p = command(
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
    p.add_argument("--seed", type=_seed, default=0, help="random seed (default: 0)")
    p.add_argument("--anomalies", action="store_true", help="include missing, duplicated, shuffled and bad packets")

    p = command(
        "batch",
        help="decode many L0 files",
        description="Decode many L0 files into a folder, one L1 file per input "
        "(same base name). A file that fails is reported and the others "
        "go on. On a cluster, every worker must see the input and output "
        "folders under the same paths.",
    )
    _inputs_and_output(p, "DIR", "folder for the L1 files")
    p.add_argument(
        "--format",
        type=_batch_format,
        default="hdf5",
        help="hdf5, the only one: day files (cdf, netcdf) come from `dravel archive`",
    )
    p.add_argument(
        "--products", type=_product_list, action="extend", metavar="NAME[,NAME...]", help="decode only these products"
    )
    _where_options(p, "decode", "one task per file", "the files not yet decoded")
    p.add_argument("--overwrite", action="store_true", help="replace L1 files that exist already (refused otherwise)")
    p.add_argument(
        "--strict",
        action="store_true",
        help="exit 1 when a product is partial (some units reported), not only when one failed",
    )
    p.add_argument(
        "--report",
        metavar="FILE.json",
        help="write a machine-readable run report (per file and product: packets, "
        "records, status, reports, warnings, seconds)",
    )

    p = command(
        "archive",
        help="keep an archive of daily L1 files up to date",
        description="Bring the archive up to date with L0 files: one file per product "
        "and UTC day (ARCHIVE/<product>/<YYYY>/<MM>/), holding that day's "
        "records from every L0 file that has any, each record delivered "
        "twice written once. Only new or changed L0 files are decoded, only "
        "the day files whose records changed are written; a run cut short "
        "goes on from where it stopped. ARCHIVE/index.html shows the "
        "coverage. On a cluster, every worker must see the L0 files and the "
        "archive under the same paths.",
    )
    _inputs_and_output(p, "ARCHIVE", "the archive's folder")
    p.add_argument(
        "--format",
        choices=DAY_FORMATS,
        default=None,
        help="day files: ISTP CDF (default) or netCDF, chosen when the archive is made; an archive holds one format",
    )
    p.add_argument(
        "--data-version",
        type=_data_version,
        default=None,
        metavar="NN",
        help="two-digit version of the day files (default: the archive's newest, 01 "
        "in a new archive); a new one is written beside the older ones, which "
        "are then left as they are",
    )
    p.add_argument(
        "--quicklook",
        action="store_true",
        help="a quick-look plot (PNG) beside each day file written, linked from the "
        "coverage page (about a second of work each)",
    )
    p.add_argument(
        "--repair",
        action="store_true",
        help="move a damaged state aside and rebuild it from the cache and day files "
        "(unchanged L0 files are not decoded, unchanged day files not written)",
    )
    p.add_argument(
        "--verify",
        action="store_true",
        help="read every cache file and day file and check it against the state's hashes: what differs is made again",
    )
    _where_options(p, "run", "the tasks", "the tasks not yet run")

    p = command(
        "serve",
        help="serve an archive to HAPI clients",
        verbose="print one line per request (common log format) and the server's "
        "warnings on stderr (-vv: also its debug messages)",
        description="Serve an archive made by `dravel archive` as a HAPI server "
        "(http://HOST:PORT/hapi): one dataset per product, read by "
        "hapiclient, pyspedas.hapi and other HAPI clients. Runs until "
        "interrupted.",
    )
    p.add_argument("archive", metavar="ARCHIVE", help="the archive's folder")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1, this machine only)")
    p.add_argument(
        "--port",
        type=_int_at_least(0, "a port number, 0 or more"),
        default=8787,
        help="port to listen on (default: 8787; 0: any free port)",
    )
    p.add_argument(
        "--max-days",
        type=_days,
        default=366.0,
        metavar="DAYS",
        help="the longest time range a data request may ask for (default: 366)",
    )
    p.add_argument("--access-log", metavar="FILE", help="append one line per request (common log format) to FILE")
    return parser


def _inputs_and_output(p, metavar, output_help):
    """The L0 files to read and the folder to write, of the commands that take many files."""
    p.add_argument("inputs", nargs="+", metavar="PATTERN", help="L0 files or quoted glob patterns, e.g. 'L0/*.h5'")
    p.add_argument("-o", "--output", required=True, metavar=metavar, help=output_help)


def _where_options(p, verb, tasks, left):
    """--workers or --scheduler, and the cluster's time limits."""
    where = p.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=_positive,
        default=1,
        metavar="N",
        help=f"{verb} in N parallel processes (default: 1, in this process)",
    )
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help=f"run {tasks} on the Dask distributed cluster at ADDRESS (e.g. tcp://host:8786; needs the 'dask' extra)",
    )
    p.add_argument(
        "--connect-timeout",
        type=_seconds,
        default=10,
        metavar="S",
        help="seconds to reach the scheduler and see a worker (default: 10)",
    )
    p.add_argument(
        "--worker-timeout",
        type=_seconds,
        default=60,
        metavar="S",
        help=f"give up {left} when the cluster has had no worker for S seconds (default: 60)",
    )


def _batch_format(text):
    from kesta.dravel.l1.writers import FORMATS

    if text in FORMATS and not FORMATS[text].days:
        return text
    if text in FORMATS:
        raise argparse.ArgumentTypeError(
            f"batch writes one L1 HDF5 file per L0 file; {text} day files, each fed by every L0 "
            f"file with records of its day, are made by: dravel archive PATTERN -o ARCHIVE --format {text}"
        )
    raise argparse.ArgumentTypeError(f"unknown format {text!r} (batch writes hdf5)")


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = 0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def _decode_options(p, names):
    p.add_argument(
        "--products",
        type=_product_list,
        action="extend",
        metavar="NAME[,NAME...]",
        help=f"decode only these products (repeatable; known: {names})",
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="exit 1 when a product is partial (some units reported), not only when one failed",
    )
    p.add_argument(
        "--report",
        metavar="FILE.json",
        help="write a machine-readable run report (per product: packets, records, status, reports, warnings, seconds)",
    )


def _data_version(text):
    from kesta.dravel.l1.errors import InputError
    from kesta.dravel.l1.writers import check_data_version

    try:
        return check_data_version(text)
    except InputError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _reports_left_out():
    """A filter leaving out what the framework logs at error level, the units the decoders
    report: -v prints every report once, with its product (the log file keeps both)."""
    from kesta.dravel.l1.logs import framework_logger

    framework = framework_logger()
    name = framework.name if framework is not None else None
    return lambda record: not (record.levelno >= logging.ERROR and record.name == name)


def _configure_logging(args):
    """Handlers for the run: stderr as -v/-q say, and the log file when asked for."""
    root = logging.getLogger()
    handlers = []
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    # Without -v nothing the decoders log is printed: the summary counts it.
    level = {0: logging.CRITICAL + 1, 1: logging.WARNING}.get(args.verbose, logging.DEBUG)
    handler.setLevel(logging.CRITICAL + 1 if args.quiet else level)
    handler.addFilter(_reports_left_out())
    handlers.append(handler)
    if args.log_file:
        try:
            log = logging.FileHandler(args.log_file, encoding="utf-8")
        except OSError as exc:
            from kesta.dravel.l1.output import describe

            raise UsageError(f"{args.log_file}: cannot be written ({describe(exc)})") from None
        log.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        log.setLevel(logging.DEBUG)
        handlers.append(log)
    for h in handlers:
        root.addHandler(h)
    return handlers


def missing_requirements(extra=EXTRA):
    """The distributions `extra` lists that are not installed; [] when the package's own
    metadata is not found (run from a source tree that was never installed)."""
    import re
    from importlib import metadata

    try:
        requires = metadata.requires(DISTRIBUTION) or []
    except metadata.PackageNotFoundError:
        return []
    wanted = re.compile(r"""extra\s*==\s*["']%s["']""" % re.escape(extra))
    missing = []
    for requirement in requires:
        name, _, marker = requirement.partition(";")
        if not wanted.search(marker):
            continue
        dist = re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", name).group(1)
        try:
            metadata.version(dist)
        except metadata.PackageNotFoundError:
            missing.append(dist)
    return missing


# The commands that write L1 files: a Ctrl-C asks them to stop between windows and chunks,
# leaving nothing behind.
STOPPABLE = ("decode", "batch", "demo", "archive")


def main(argv=None, last=False, noted=None):
    """Runs the command line; returns the exit code. `last`: nothing of the process follows
    (Ctrl-C once the work is done is then ignored: what the run wrote stays, and exit 0).
    `noted`: a list SIGINT appends to until the command sets its own handling up (imports and
    argument checks are then never cut in the middle); non-empty means the run was interrupted."""
    try:
        return _run(argv, last, noted)
    except KeyboardInterrupt:  # before the command could set its own handling up
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def _held_interrupt(noted):
    """Gives SIGINT back its usual effect (KeyboardInterrupt) and raises it if one came while
    it was only noted."""
    import signal

    if noted is None:
        return
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if noted:
        raise KeyboardInterrupt


def _run(argv, last, noted):
    keep_freed_memory()
    missing = missing_requirements()
    if missing:
        print(
            f"{PROG}: error: the command line needs the '{EXTRA}' extra "
            f"(missing: {', '.join(missing)}); install it with: "
            f"pip install '{DISTRIBUTION}[{EXTRA}]'",
            file=sys.stderr,
        )
        return 2
    from .errors import INTERRUPTED, UNUSABLE, exit_code

    handlers = []
    try:
        from kesta.dravel.run.stop import StopFlag

        from .commands import COMMANDS, Console

        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, --version, or a usage error already printed by argparse
            _held_interrupt(noted)
            return exc.code if isinstance(exc.code, int) else UNUSABLE
        handlers = _configure_logging(args)
        if getattr(args, "products", None):
            from kesta.dravel.l1.decode import select_products

            select_products(args.products)  # unknown names fail before any work
        if args.command not in STOPPABLE:  # a Ctrl-C stops them where they are
            _held_interrupt(noted)
            return COMMANDS[args.command](args, Console(args.quiet))
        # Ctrl-C and SIGTERM set a flag the work checks between windows and chunks
        with StopFlag(last, noted, f"{PROG}: interrupted\n".encode()) as args.stop:
            return COMMANDS[args.command](args, Console(args.quiet))
    except BrokenPipeError:  # the reader of our output went away (| head)
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return exit_code(RunFailed())
    except (KeyboardInterrupt, Interrupted):
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
    except (DravelError, RunFailed) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return exit_code(exc)
    finally:
        for handler in handlers:
            logging.getLogger().removeHandler(handler)
            handler.close()
