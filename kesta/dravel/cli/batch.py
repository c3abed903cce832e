"""`dravel batch`: the L0 files named, planned into L1 files, decoded by kesta.dravel.l1.files
and reported. Paths are made absolute before any job is handed out, so that a worker started
in another folder finds the same files."""

from __future__ import annotations

import argparse
import glob
import os
import time
from collections.abc import Iterable
from typing import Any

from kesta.dravel.l1.errors import OutputError
from kesta.dravel.l1.files import run_dask, run_local
from kesta.dravel.l1.output import check_folder
from kesta.dravel.l1.writers import FORMATS

from . import options
from .commands import Console, check_report, progress_bar, write_report
from .errors import RunFailed, UsageError


def expand_inputs(patterns: Iterable[str | os.PathLike[str]], folders: bool = False) -> list[str]:
    """The L0 files named by `patterns` (glob patterns or paths), each once, sorted, as absolute
    paths. A folder is left out, unless `folders` (the caller refuses it, by name)."""
    files = []
    for pattern in patterns:
        pattern = os.path.expanduser(os.fspath(pattern))
        matches = sorted(glob.glob(pattern)) if glob.has_magic(pattern) else [pattern]
        if not matches:
            raise UsageError(f"no file matches {pattern!r}")
        for path in matches:
            if os.path.isdir(path) and not folders:
                continue
            if not os.path.exists(path):
                raise UsageError(f"{path}: no such file")
            path = os.path.abspath(path)
            if path not in files:
                files.append(path)
    if not files:
        raise UsageError("no input file")
    return files


def plan(files: list[str], out_dir: str) -> list[tuple[str, str]]:
    """[(L0 path, L1 path)], absolute: each output named after its input, inside `out_dir`."""
    out_dir = os.path.abspath(os.path.expanduser(os.fspath(out_dir)))
    check_folder(out_dir, create=True)
    outputs: dict[str, str] = {}
    inputs = {os.path.realpath(p) for p in files}
    pairs = []
    for path in files:
        path = os.path.abspath(path)
        base = os.path.splitext(os.path.basename(path))[0] + ".h5"
        target = os.path.join(out_dir, base)
        if target in outputs:
            raise UsageError(f"{path} and {outputs[target]} would both be written to {target}")
        if os.path.realpath(target) in inputs:
            raise UsageError(f"{target}: the output would overwrite an input file")
        outputs[target] = path
        pairs.append((path, target))
    return pairs


class Progress:
    """Files done, files/s and MB/s of L0 read, on stderr when it is a terminal."""

    def __init__(self, pairs: list[tuple[str, str]]) -> None:
        self.sizes = {l0: _size(l0) for l0, _ in pairs}
        self.total = len(pairs)
        self.done = self.bytes = 0
        self.start = time.monotonic()
        self.bar = progress_bar(self.total, "decoding", "file")

    def update(self, l0: str) -> None:
        self.done += 1
        self.bytes += self.sizes.get(l0, 0)
        self.bar.set_postfix_str(f"{self.bytes / 1e6 / self.elapsed:.1f} MB/s", refresh=False)
        self.bar.update()

    @property
    def elapsed(self) -> float:
        return max(time.monotonic() - self.start, 1e-9)

    def close(self) -> None:
        self.bar.close()

    def summary(self) -> str:
        s = self.elapsed
        return (
            f"{self.done} file(s), {self.bytes / 1e6:.1f} MB of L0 in {s:.1f} s: "
            f"{self.done / s:.2f} files/s, {self.bytes / 1e6 / s:.1f} MB/s"
        )


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def outcome_table(outcomes: list[Any]) -> list[str]:
    head = ("file", "products", "records", "reported+skipped", "warnings", "status")
    rows = []
    for o in outcomes:
        if o.error:
            status = f"FAILED: {o.error}"
        elif o.failed_products:
            status = "product errors: " + "; ".join(o.failed_products)
        elif o.partial_products:
            status = f"partial ({', '.join(o.partial_products)}) -> {o.output}"
        else:
            status = f"ok -> {o.output}"
        rows.append((o.input, str(o.products), str(o.records), str(o.reports), str(o.warnings), status))
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head) - 1)]

    def line(row: tuple[str, ...]) -> str:
        cells = [row[0].ljust(widths[0])] + [row[i].rjust(widths[i]) for i in range(1, len(widths))]
        return "  ".join(cells + [row[-1]])

    return [line(head)] + [line(r) for r in rows]


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    p = options.command(
        subparsers,
        "batch",
        help="decode many L0 files",
        description="Decode many L0 files into a folder, one L1 file per input "
        "(same base name). A file that fails is reported and the others "
        "go on. On a cluster, every worker must see the input and output "
        "folders under the same paths.",
    )
    options.inputs_and_output(p, "DIR", "folder for the L1 files")
    p.add_argument(
        "--format",
        type=batch_format,
        default="hdf5",
        help="hdf5, the only one: day files (cdf, netcdf) come from `dravel archive`",
    )
    p.add_argument(
        "--products",
        type=options.product_list,
        action="extend",
        metavar="NAME[,NAME...]",
        help="decode only these products",
    )
    options.where_options(p, "decode", "one task per file", "the files not yet decoded")
    p.add_argument("--overwrite", action="store_true", help="replace L1 files that exist already (refused otherwise)")
    options.strict_option(p)
    p.add_argument(
        "--report",
        metavar="FILE.json",
        help="write a machine-readable run report (per file and product: packets, "
        "records, status, reports, warnings, seconds)",
    )
    return p


def batch_format(text: str) -> str:
    if text in FORMATS and not FORMATS[text].days:
        return text
    if text in FORMATS:
        raise argparse.ArgumentTypeError(
            f"batch writes one L1 HDF5 file per L0 file; {text} day files, each fed by every L0 "
            f"file with records of its day, are made by: dravel archive PATTERN -o ARCHIVE --format {text}"
        )
    raise argparse.ArgumentTypeError(f"unknown format {text!r} (batch writes hdf5)")


def run(args: argparse.Namespace, console: Console) -> int:
    check_report(args.report)
    pairs = plan(expand_inputs(args.inputs), args.output)
    existing = [l1 for _, l1 in pairs if os.path.lexists(l1)]
    if existing and not args.overwrite:
        more = f" (and {len(existing) - 1} more)" if len(existing) > 1 else ""
        raise OutputError(f"{existing[0]}: exists already{more}; --overwrite replaces")
    progress = Progress(pairs)
    try:
        if args.scheduler:
            outcomes = run_dask(
                pairs,
                args.scheduler,
                args.products,
                progress.update,
                args.stop,
                args.connect_timeout,
                args.worker_timeout,
            )
        else:
            outcomes = run_local(pairs, args.products, args.workers, progress.update, args.stop)
    finally:
        progress.close()
    console.out(*outcome_table(outcomes))
    bad = [o for o in outcomes if not o.ok]
    console.out(
        f"{len(outcomes) - len(bad)} of {len(outcomes)} file(s) decoded without error "
        f"into {os.path.dirname(pairs[0][1])}; {progress.summary()}"
    )
    if args.report:
        write_report(args.report, [o.as_dict() for o in outcomes])
    if bad:
        raise RunFailed(
            f"{len(bad)} of {len(outcomes)} file(s) failed; {os.path.basename(bad[0].input)}: {bad[0].why()}"
        )
    partial = [o for o in outcomes if o.partial_products]
    if args.strict and partial:
        raise RunFailed(
            f"--strict: {len(partial)} file(s) with partial products; "
            f"{os.path.basename(partial[0].input)}: {', '.join(partial[0].partial_products)}"
        )
    return 0
