"""`dravel archive`: the archive of daily L1 files brought up to date with L0 files."""

from __future__ import annotations

import argparse
import glob
import os
import time
from collections.abc import Iterable
from typing import Any

from kesta.dravel.l1.writers import DAY_FORMATS
from kesta.dravel.run import runner as pick_runner

from . import options
from .batch import expand_inputs
from .commands import Console, progress_bar
from .errors import RunFailed, UsageError


class Progress:
    """Files and days done, and MB/s of L0 decoded, on stderr when it is a terminal."""

    def __init__(self) -> None:
        self.bar: Any = None
        self.bytes = 0
        self.started = time.monotonic()

    def start(self, what: str, total: int, unit: str) -> None:
        self.close()
        self.bytes, self.started = 0, time.monotonic()
        self.bar = progress_bar(total, what, unit)

    def update(self, nbytes: int) -> None:
        self.bytes += nbytes
        if self.bytes:
            seconds = max(time.monotonic() - self.started, 1e-9)
            self.bar.set_postfix_str(f"{self.bytes / 1e6 / seconds:.1f} MB/s of L0", refresh=False)
        self.bar.update()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def archive_inputs(patterns: Iterable[str | os.PathLike[str]]) -> list[str]:
    """The L0 files of `patterns`: a folder means the .h5 files in it. A folder a pattern
    matches is kept, for the campaign to refuse by name (as it refuses any input that is not a
    regular file)."""
    given = []
    for pattern in patterns:
        text = os.path.expanduser(os.fspath(pattern))
        if os.path.isdir(text):
            inside = os.path.join(glob.escape(text), "*.h5")
            if not glob.glob(inside):
                raise UsageError(
                    f"{text}: no .h5 file in this folder; give the L0 files or a quoted pattern, e.g. 'L0/*.h5'"
                )
            text = inside
        given.append(text)
    return expand_inputs(given, folders=True)


def run_archive(args: argparse.Namespace, console: Console) -> int:
    # lazy: the archive (its state database, its day files' writers, h5py: 45 ms) is loaded for
    # this command only
    from kesta.dravel.archive.campaign import Campaign

    inputs = archive_inputs(args.inputs)
    runner = pick_runner(args.workers, args.scheduler, args.connect_timeout, args.worker_timeout, name="dravel-archive")
    progress = Progress()
    try:
        campaign = Campaign(
            inputs,
            args.output,
            args.format,
            args.data_version,
            args.quicklook,
            runner,
            progress,
            args.stop,
            repair=args.repair,
            verify=args.verify,
        )
        done = campaign.run()
    finally:
        progress.close()
        runner.close()
    report(done, console, args.verify)
    if done.failed_files:
        names = ", ".join(os.path.basename(path) for path, _ in done.failed_files[:3])
        more = ", ..." if len(done.failed_files) > 3 else ""
        raise RunFailed(
            f"{len(done.failed_files)} of {done.files} L0 file(s) failed (tried again by the next run): {names}{more}"
        )
    if done.failed_days:
        names = ", ".join(os.path.basename(path) for path, _ in done.failed_days[:3])
        more = ", ..." if len(done.failed_days) > 3 else ""
        raise RunFailed(
            f"{len(done.failed_days)} day file(s) could not be written (tried again by the next run): {names}{more}"
        )
    return 0


def verified(done: Any) -> str:
    """The one line of what --verify read: the files hashed, and the day files compared with
    their records (those whose hash the state did not have)."""

    def counted(kind: str) -> list[int]:
        return done.hashed.get(kind, [0, 0])

    (caches, cache_bytes), (days, day_bytes), (compared, compared_bytes) = (
        counted(kind) for kind in ("cache", "day", "compared")
    )
    differed = len(done.damaged_caches) + len(done.damaged_days)
    line = f"verified: {caches} cache file(s) and {days} day file(s) hashed ({(cache_bytes + day_bytes) / 1e6:.1f} MB)"
    if compared:
        line += f", {compared} day file(s) compared with their records ({compared_bytes / 1e6:.1f} MB)"
    return line + (
        f"; {differed} not as recorded, made again (named above)" if differed else "; every hash as recorded"
    )


def report(done: Any, console: Console, verify: bool = False) -> None:
    """What a campaign did: failures on stderr (each reason whole, once), the rest on stdout."""
    for path, message in done.failed_files + done.failed_days:
        console.err(f"FAILED {path}: {message}")
    lines = []
    if done.aside:
        lines.append(f"damaged state moved aside to {done.aside}")
    if done.rebuilt:
        lines.append("state rebuilt from the archive's cache and day files")
    lines += [f"L0 file gone from disk, its records leave the archive: {path}" for path in done.gone]
    lines += [f"cache file damaged, L0 file decoded again: {path}" for path in done.damaged_caches]
    lines += [f"day file not as written, written again: {path}" for path in done.damaged_days]
    lines += [f"removed {path}" for path in done.removed]
    if done.held_back:
        lines += [f"never decoded, the days it feeds unknown: {path}" for path in done.never_decoded]
    rate = done.l0_bytes / 1e6 / max(done.seconds, 1e-9)
    lines.append(
        f"{done.files} L0 file(s): {len(done.decoded)} decoded, {len(done.unchanged_files)} "
        f"unchanged, {len(done.failed_files)} failed ({done.l0_bytes / 1e6:.1f} MB of L0 "
        f"decoded, {rate:.1f} MB/s)"
    )
    days = (
        f"day files (data version {done.version}): {len(done.written)} written, "
        f"{done.unchanged_days} unchanged, {len(done.removed)} removed, "
        f"{len(done.failed_days)} failed"
    )
    if done.held_back:
        days += f", {len(done.held_back)} held back until the failed L0 file(s) decode"
    if done.written:
        days += f"; {done.duplicates} record(s) delivered twice written once"
    lines.append(days)
    if done.missing:
        n = len(done.missing)
        lines.append(
            f"L0 file missing for {n} day{'' if n == 1 else 's'} of the campaign (one L0 file "
            f"a UTC day): {', '.join(str(day) for day in done.missing)}"
            + ("; an L0 file that never decoded may be one of them" if done.never_decoded else "")
        )
    if verify:
        lines.append(verified(done))
    older = [v for v in done.versions if v != done.version]
    if older:
        lines.append(
            f"data versions in the archive: {', '.join(done.versions)} (this run: "
            f"{done.version}; the others left as they were)"
        )
    lines.append(f"coverage: {done.page} (written in {done.page_seconds:.1f} s; the run took {done.seconds:.1f} s)")
    console.out(*lines)


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    p = options.command(
        subparsers,
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
    options.inputs_and_output(p, "ARCHIVE", "the archive's folder")
    p.add_argument(
        "--format",
        choices=DAY_FORMATS,
        default=None,
        help="day files: ISTP CDF (default) or netCDF, chosen when the archive is made; an archive holds one format",
    )
    p.add_argument(
        "--data-version",
        type=options.data_version,
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
    options.where_options(p, "run", "the tasks", "the tasks not yet run")
    return p
