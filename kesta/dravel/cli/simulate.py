"""A synthetic L0 HDF5 file holding the packets of every product that can be simulated."""

from __future__ import annotations

import argparse
import datetime
import importlib
import itertools
import os
import zlib

import numpy as np

from kesta.dravel.products import PRODUCTS
from kesta.dravel.simulate.days import day_files, days_rng, midnight_coarse
from kesta.dravel.simulate.scale import repeat
from kesta.dravel.simulate.store import write_hdf5

from . import options
from .commands import Console
from .errors import RunFailed, UsageError


def simulator_modules() -> list[str]:
    """The simulator modules of the product registry, each once, in registry order."""
    seen: list[str] = []
    for product in PRODUCTS:
        if product.simulator and product.simulator_module not in seen:
            seen.append(product.simulator_module)
    return seen


def _rng(seed: int, module: str) -> np.random.Generator:
    # One generator per simulator module, derived from the seed and the module name, so that a
    # module's packets do not change when another simulator is added or missing.
    return np.random.default_rng([int(seed), zlib.crc32(module.encode())])


def simulate_groups(
    seed: int = 0, anomalies: bool = False
) -> tuple[dict[str, dict[str, np.ndarray]], list[str], list[str]]:
    """({packet name: packet group}, notes, failures) from every available simulator."""
    groups: dict[str, dict[str, np.ndarray]] = {}
    notes: list[str] = []
    failures: list[str] = []
    for module_name in simulator_modules():
        try:
            module = importlib.import_module(module_name)
            demo = module.demo_groups
        except (ImportError, AttributeError) as exc:
            notes.append(f"{module_name}: not available, skipped ({exc})")
            continue
        try:
            made = demo(_rng(seed, module_name), anomalies=anomalies)
        except Exception as exc:  # noqa: BLE001 - a simulator failing is reported, the others go on
            failures.append(f"{module_name}: {type(exc).__name__}: {exc}")
            continue
        for name, group in made.items():
            groups[name] = {param: np.asarray(values) for param, values in group.items()}
    return groups, notes, failures


def _check_seed(seed):
    if seed < 0:
        raise UsageError(f"--seed must be a non-negative integer, got {seed}")


def _write(path, groups, **attrs):
    try:
        write_hdf5(path, groups, {"creator": "dravel simulate", **attrs})
    except OSError as exc:
        raise UsageError(f"{path}: cannot be written ({exc})") from None


def _counts(groups):
    return {name: max((len(v) for v in g.values() if np.ndim(v) > 0), default=0) for name, g in groups.items()}


def simulate_file(
    path: str, seed: int = 0, anomalies: bool = False, scale: int = 1
) -> tuple[dict[str, int], list[str], list[str]]:
    """Writes the simulated L0 file; returns ({packet name: packets}, notes, failures)."""
    _check_seed(seed)
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise UsageError(f"{path}: directory {directory} does not exist")
    groups, notes, failures = simulate_groups(seed, anomalies)
    if not groups:
        raise UsageError("no simulator is available: nothing to write")
    try:
        groups = repeat(groups, scale)
    except ValueError as exc:
        raise UsageError(f"--scale {scale}: {exc}") from None
    _write(path, groups, seed=int(seed), anomalies=bool(anomalies), scale=int(scale))
    return _counts(groups), notes, failures


def day_count(text: str | int) -> int:
    """The number of days of --days (UsageError unless a whole number of at least 1)."""
    try:
        days = int(text)
    except (TypeError, ValueError):
        raise UsageError(f"--days must be a whole number of days, got {text!r}") from None
    if days < 1:
        raise UsageError(f"--days must be at least 1, got {days}")
    return days


def start_day(text: str) -> datetime.date:
    """The date of --start, YYYY-MM-DD (UsageError unless a real date)."""
    try:
        if len(text) != 10:
            raise ValueError
        return datetime.date.fromisoformat(text)
    except (TypeError, ValueError):
        raise UsageError(f"--start must be a date YYYY-MM-DD, got {text!r}") from None


def day_file_name(day: datetime.date) -> str:
    return f"L0_{day:%Y%m%d}.h5"


def simulate_days(
    folder: str,
    days: str | int,
    start: str,
    seed: int = 0,
    anomalies: bool = False,
    scale: int = 1,
) -> tuple[list[tuple[str, dict[str, int]]], list[str], list[str]]:
    """Writes one simulated L0 file per UTC day into `folder` (created), as a downlink delivers
    them: each file holds its day's packets (`scale` times the default content) and runs some
    minutes into the next day, so the first units of a day are in two files. Returns
    ([(path, {packet name: packets})], notes, failures)."""
    _check_seed(seed)
    count, first = day_count(days), start_day(start)
    folder = os.fspath(folder)
    dates = [first + datetime.timedelta(days=k) for k in range(count + 1)]
    try:
        midnights = [midnight_coarse(d) for d in dates]
    except (ValueError, OverflowError):
        raise UsageError(f"--start {first} --days {count}: on-board times cannot express these days") from None
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise UsageError(f"{folder}: not a folder (with --days the output is a folder of day files)")
    groups, notes, failures = simulate_groups(seed, anomalies)
    if not groups:
        raise UsageError("no simulator is available: nothing to write")
    try:
        contents = day_files(groups, midnights, days_rng(seed), copies=scale)
        first = next(contents)
    except ValueError as exc:
        raise UsageError(f"--scale {scale}: {exc}") from None
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"{folder}: cannot be created ({exc})") from None
    written = []
    for day, content in zip(dates, itertools.chain([first], contents)):
        path = os.path.join(folder, day_file_name(day))
        _write(path, content, seed=int(seed), anomalies=bool(anomalies), scale=int(scale), day=f"{day:%Y-%m-%d}")
        written.append((path, _counts(content)))
    return written, notes, failures


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    p = options.command(
        subparsers,
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
    p.add_argument("--seed", type=options.seed, default=0, help="random seed (default: 0)")
    p.add_argument("--anomalies", action="store_true", help="include missing, duplicated, shuffled and bad packets")
    p.add_argument(
        "--scale",
        type=options.positive,
        default=1,
        metavar="N",
        help="N times the packets (each copy later in time, with its own snapshot "
        "numbers), for large test files; with --days, N times each day's content spread "
        "over its day",
    )
    return p


def run(args: argparse.Namespace, console: Console) -> int:
    if args.days is None and args.start is not None:
        raise UsageError("--start needs --days")
    if args.days is not None:
        if args.start is None:
            raise UsageError("--days needs --start YYYY-MM-DD")
        written, notes, failures = simulate_days(
            args.output, args.days, args.start, args.seed, args.anomalies, args.scale
        )
        console.out(
            f"wrote {len(written)} day file(s) to {args.output} "
            f"(seed {args.seed}{', with anomalies' if args.anomalies else ''}):"
        )
        console.out(*(f"  {os.path.basename(path)}: {sum(counts.values())} packets" for path, counts in written))
        console.out(*("note: " + n for n in notes))
        console.err(*("error: " + f for f in failures))
        if failures:
            raise RunFailed(f"{len(failures)} packet type(s) could not be simulated")
        return 0
    counts, notes, failures = simulate_file(args.output, args.seed, args.anomalies, args.scale)
    console.out(
        f"wrote {args.output}: {sum(counts.values())} packets of {len(counts)} packet types "
        f"(seed {args.seed}{', with anomalies' if args.anomalies else ''})"
    )
    console.out(*(f"  {name}: {n} packets" for name, n in counts.items()))
    console.out(*("note: " + n for n in notes))
    console.err(*("error: " + f for f in failures))
    if failures:
        raise RunFailed(f"{len(failures)} packet type(s) could not be simulated")
    return 0
