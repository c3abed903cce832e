"""What the commands' parsers share: the options every command takes, the parser class of a
command, and the converters of option values."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable, Sequence
from typing import Any

from kesta.dravel.l1.errors import InputError
from kesta.dravel.l1.writers import check_data_version

VERBOSE = "show what the decoders report and log (-v: warnings and reports, -vv: also debug progress)"


def common(parser: argparse.ArgumentParser, top: bool, verbose: str = VERBOSE) -> None:
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


class Command(argparse.ArgumentParser):
    """The parser of one command: an argument it does not know is its own usage error (its
    usage printed, exit 2), not the top level's."""

    def parse_known_args(  # type: ignore[override]  # one signature for its overloads
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[Any, list[str]]:
        namespace, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        return namespace, extras


def command(
    subparsers: argparse._SubParsersAction, name: str, verbose: str = VERBOSE, **kwargs: Any
) -> argparse.ArgumentParser:
    """The parser of the command `name`, with the options every command takes."""
    p = subparsers.add_parser(name, **kwargs)
    common(p, top=False, verbose=verbose)
    return p


def product_list(text: str) -> list[str]:
    return [name.strip() for name in text.split(",") if name.strip()]


def int_at_least(minimum: int, what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {what}, got {value}")
        return value

    return parse


positive = int_at_least(1, "at least 1")
seed = int_at_least(0, "a non-negative integer")


def days(text: str) -> float:
    """A number of days: finite and more than 0 (nan and inf would lift the limit they set)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a number of days more than 0, got {text!r}")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def data_version(text: str) -> str:
    try:
        return check_data_version(text)
    except InputError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def inputs_and_output(p: argparse.ArgumentParser, metavar: str, output_help: str) -> None:
    """The L0 files to read and the folder to write, of the commands that take many files."""
    p.add_argument("inputs", nargs="+", metavar="PATTERN", help="L0 files or quoted glob patterns, e.g. 'L0/*.h5'")
    p.add_argument("-o", "--output", required=True, metavar=metavar, help=output_help)


def where_options(p: argparse.ArgumentParser, verb: str, tasks: str, left: str) -> None:
    """--workers or --scheduler, and the cluster's time limits."""
    where = p.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=positive,
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
        type=seconds,
        default=10,
        metavar="S",
        help="seconds to reach the scheduler and see a worker (default: 10)",
    )
    p.add_argument(
        "--worker-timeout",
        type=seconds,
        default=60,
        metavar="S",
        help=f"give up {left} when the cluster has had no worker for S seconds (default: 60)",
    )


def strict_option(p: argparse.ArgumentParser) -> None:
    """--strict: a partial product fails the run too (decode and batch)."""
    p.add_argument(
        "--strict",
        action="store_true",
        help="exit 1 when a product is partial (some units reported), not only when one failed",
    )
