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
import os
import re
import signal
import sys
from collections.abc import Callable, Sequence
from importlib import metadata

from .process import keep_freed_memory, one_blas_thread

one_blas_thread()  # before NumPy is imported

# The imports below import NumPy.
from kesta.dravel.l1.attributes import software_version  # noqa: E402
from kesta.dravel.l1.decode import select_products  # noqa: E402
from kesta.dravel.l1.errors import ConfigError, DravelError, Interrupted  # noqa: E402
from kesta.dravel.l1.logs import framework_logger  # noqa: E402
from kesta.dravel.l1.output import describe as describe_error  # noqa: E402
from kesta.dravel.run.stop import StopFlag  # noqa: E402

from . import archive, batch, decode, demo, describe, options, quicklook, serve, simulate  # noqa: E402
from .commands import Console  # noqa: E402
from .errors import INTERRUPTED, UNUSABLE, RunFailed, UsageError, exit_code  # noqa: E402

PROG = "dravel"
DISTRIBUTION = "kesta-dravel"
EXTRA = "cli"  # the extra holding the L1 library's and the command line's dependencies


def _version() -> str:
    return software_version()


# The commands, in the order the help lists them.
COMMAND_MODULES = (simulate, decode, quicklook, describe, demo, batch, archive, serve)
COMMANDS = {
    "simulate": simulate.run,
    "decode": decode.run,
    "quicklook": quicklook.run,
    "describe": describe.run,
    "demo": demo.run,
    "batch": batch.run,
    "archive": archive.run_archive,
    "serve": serve.run_serve,
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Decode THR and TDS level-0 telemetry (HDF5 L0 stores) into level-1 records.",
        epilog="Exit codes: 0 success; 1 a product or file failed while the others were done; "
        "2 unusable arguments or input; 130 interrupted. Start with 'dravel demo'.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    options.common(parser, top=True)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=options.Command)
    for module in COMMAND_MODULES:
        module.add_parser(sub)
    return parser


def _reports_left_out() -> Callable[[logging.LogRecord], bool]:
    """A filter leaving out what the framework logs at error level, the units the decoders
    report: -v prints every report once, with its product (the log file keeps both)."""
    framework = framework_logger()
    name = framework.name if framework is not None else None
    return lambda record: not (record.levelno >= logging.ERROR and record.name == name)


def _configure_logging(args: argparse.Namespace) -> list[logging.Handler]:
    """Handlers for the run: stderr as -v/-q say, and the log file when asked for."""
    root = logging.getLogger()
    handlers: list[logging.Handler] = []
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
            raise UsageError(f"{args.log_file}: cannot be written ({describe_error(exc)})") from None
        log.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        log.setLevel(logging.DEBUG)
        handlers.append(log)
    for h in handlers:
        root.addHandler(h)
    return handlers


def missing_requirements(extra: str = EXTRA) -> list[str]:
    """The distributions `extra` lists that are not installed; [] when the package's own
    metadata is not found (run from a source tree that was never installed)."""
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
        # a requirement starts with its distribution's name
        dist = re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", name).group(1)  # type: ignore[union-attr]
        try:
            metadata.version(dist)
        except metadata.PackageNotFoundError:
            missing.append(dist)
    return missing


# The commands that write L1 files: a Ctrl-C asks them to stop between windows and chunks,
# leaving nothing behind.
STOPPABLE = ("decode", "batch", "demo", "archive")


def main(argv: Sequence[str] | None = None, last: bool = False, noted: list[int] | None = None) -> int:
    """Runs the command line; returns the exit code. `last`: nothing of the process follows
    (Ctrl-C once the work is done is then ignored: what the run wrote stays, and exit 0).
    `noted`: a list SIGINT appends to until the command sets its own handling up (imports and
    argument checks are then never cut in the middle); non-empty means the run was interrupted."""
    try:
        return _run(argv, last, noted)
    except KeyboardInterrupt:  # before the command could set its own handling up
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def _held_interrupt(noted: list[int] | None) -> None:
    """Gives SIGINT back its usual effect (KeyboardInterrupt) and raises it if one came while
    it was only noted."""
    if noted is None:
        return
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if noted:
        raise KeyboardInterrupt


def _run(argv: Sequence[str] | None, last: bool, noted: list[int] | None) -> int:
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
    handlers = []
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, --version, or a usage error already printed by argparse
            _held_interrupt(noted)
            return exc.code if isinstance(exc.code, int) else UNUSABLE
        handlers = _configure_logging(args)
        if getattr(args, "products", None):
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
    except ConfigError as exc:  # a settings file the user gave the command: their usage to fix
        usage = UsageError(str(exc))
        print(f"{PROG}: error: {usage}", file=sys.stderr)
        return exit_code(usage)
    except (DravelError, RunFailed) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return exit_code(exc)
    finally:
        for handler in handlers:
            logging.getLogger().removeHandler(handler)
            handler.close()
