"""Decoding many L0 files into L1 HDF5 files, one unit of work per file, by any runner of the
run layer: here, in a local pool of worker processes, or on a Dask cluster. A file that fails is
reported and the others go on."""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from kesta.dravel.l1.convert import convert
from kesta.dravel.l1.errors import failure
from kesta.dravel.l1.hdf5 import product_datasets
from kesta.dravel.l1.results import FAILED, PARTIAL, SKIPPED, shorten
from kesta.dravel.run import dask, runner
from kesta.dravel.run import runner as pick_runner
from kesta.dravel.run.dask import SAME_PATHS, where
from kesta.dravel.run.protocol import Runner
from kesta.dravel.run.stop import guard, remove_leftovers, unguard

from .errors import Interrupted
from .store import not_regular


@dataclass
class FileOutcome:
    input: str
    output: str
    products: int = 0
    records: int = 0
    reports: int = 0
    warnings: int = 0
    failed_products: list = field(default_factory=list)  # "product: message"
    partial_products: list = field(default_factory=list)  # names
    error: str = ""  # the file could not be decoded at all
    report: dict = field(default_factory=dict)  # the file's run report, as plain data

    @property
    def ok(self) -> bool:
        return not self.error and not self.failed_products

    def why(self) -> str:
        """What went wrong, in one line."""
        return shorten(self.error or self.failed_products[0])

    def as_dict(self) -> dict[str, Any]:
        report = dict(self.report) or {"input": self.input, "outputs": [], "notes": [], "products": []}
        if self.error:
            report["error"] = self.error
        return report


def decode_job(
    l0_path: str, l1_path: str, products: list[str] | None = None, interrupted: Callable[[], bool] | None = None
) -> FileOutcome:
    """Decodes one file; never raises but Interrupted (the outcome says what went wrong). Runs
    in workers."""
    outcome = FileOutcome(l0_path, l1_path)
    if os.path.exists(l0_path) and not os.path.isfile(l0_path):
        outcome.error = f"{l0_path}: is {not_regular(l0_path)}, not a regular file; refused"
        return outcome
    if not os.path.isfile(l0_path):
        outcome.error = f"{l0_path}: no such file{where()} ({SAME_PATHS})"
        return outcome
    if not os.path.isdir(os.path.dirname(l1_path)):
        outcome.error = f"{os.path.dirname(l1_path)}: no such folder{where()} ({SAME_PATHS})"
        return outcome
    try:
        # outputs that exist already were refused, or allowed, before the batch began
        result = convert(l0_path, l1_path, products=products, overwrite=True, interrupted=interrupted)
    except Interrupted:
        raise
    except Exception as exc:  # noqa: BLE001 - a file failing is reported, the batch goes on
        outcome.error = failure(exc)
        return outcome
    done = [p for p in result.products if p.status not in (FAILED, SKIPPED)]
    outcome.products = len(done)
    outcome.records = sum(p.records for p in done)
    outcome.reports = sum(len(p.reports) for p in result.products)
    outcome.warnings = sum(len(p.warnings) for p in result.products)
    outcome.failed_products = [f"{p.product}: {p.message}" for p in result.failed]
    outcome.partial_products = [p.product for p in result.partial]
    outcome.report = result.as_dict()
    return outcome


def finished_outcome(l0_path: str, l1_path: str, since: float) -> FileOutcome | None:
    """The outcome of a file whose L1 file this batch wrote (in place since `since`, a time
    from time.time()) though its task was lost afterwards (its worker died, no worker was left
    to say it was done), read from the file; None when there is no such file."""
    # lazy: h5py (the HDF5 library, 18 ms) loads with the first file read or written, not with
    # the command line, which imports this module
    import h5py

    try:
        if os.stat(l1_path).st_mtime < since:
            return None
        outcome = FileOutcome(l0_path, l1_path)
        with h5py.File(l1_path, "r") as f:
            for name, dataset in product_datasets(f).items():
                a = dataset.attrs
                status = str(a.get("status", ""))
                if status not in (FAILED, SKIPPED):
                    outcome.products += 1
                    outcome.records += int(a.get("records", 0))
                outcome.reports += int(a.get("reports", 0))
                outcome.warnings += int(a.get("warnings", 0))
                if status == FAILED:
                    outcome.failed_products.append(f"{name}: {a.get('message', '')}")
                elif status == PARTIAL:
                    outcome.partial_products.append(name)
    except (OSError, ValueError):
        return None
    return outcome


def run_local(
    pairs: list[tuple[str, str]],
    products: list[str] | None = None,
    workers: int = 1,
    progress: Callable[[str], None] | None = None,
    interrupted: Callable[[], bool] | None = None,
) -> list[FileOutcome]:
    """Outcomes of all files, decoded here (workers = 1) or in `workers` processes;
    `progress(L0 path)` is called as each file ends."""
    return _run(runner(workers), pairs, products, progress, interrupted)


def run_dask(
    pairs: list[tuple[str, str]],
    address: str,
    products: list[str] | None = None,
    progress: Callable[[str], None] | None = None,
    interrupted: Callable[[], bool] | None = None,
    connect_timeout: float | None = None,
    worker_timeout: float | None = None,
) -> list[FileOutcome]:
    """Outcomes of all files, one task per file on the Dask cluster at `address`.

    Every worker connected at the start must see every input file and the output folder
    (UsageError otherwise, before any task). A file whose worker dies is decoded again on
    another one (Dask retries it); one whose workers keep dying, or that is still waiting when
    no worker has been connected for `worker_timeout` seconds, is reported failed.
    """
    runner = pick_runner(
        scheduler=address,
        connect_timeout=connect_timeout or dask.CONNECT_TIMEOUT,
        worker_timeout=worker_timeout or dask.WORKER_TIMEOUT,
        name="dravel-decode",
    )
    try:
        runner.check([l0 for l0, _ in pairs], os.path.dirname(pairs[0][1]))
    except BaseException:
        runner.close()
        raise
    return _run(runner, pairs, products, progress, interrupted)


def _run(
    runner: Runner,
    pairs: list[tuple[str, str]],
    products: list[str] | None,
    progress: Callable[[str], None] | None,
    interrupted: Callable[[], bool] | None,
) -> list[FileOutcome]:
    """Outcomes of all files, in their order. A file whose worker went after writing its L1
    file whole is read from that file, never reported failed."""
    started = time.time() - 1.0  # a file's modification time may be a little early
    outputs = dict(pairs)
    outcomes: dict[str, FileOutcome] = {}

    def recover(l0: str) -> FileOutcome | None:
        return finished_outcome(l0, outputs[l0], started)

    jobs = [(l0, decode_job, (l0, l1, products)) for l0, l1 in pairs]
    for _, l1 in pairs:
        guard(l1, itself=False)  # its writers' leftovers go should the run be cut short
    try:
        for l0, outcome, error in runner.run(jobs, interrupted, interruptible=True, recover=recover):
            if error is None:
                assert outcome is not None  # decode_job's, or read from its L1 file (`recover`)
                outcomes[l0] = outcome
            else:
                outcomes[l0] = FileOutcome(l0, outputs[l0], error=error)
            progress and progress(l0)
    finally:
        runner.close()
        for _, l1 in pairs:
            remove_leftovers(l1)  # what a worker that died while writing left
            unguard(l1)
    return [outcomes[l0] for l0, _ in pairs]
