"""Decoding many L0 files: in this process, in a pool of worker processes, or on a Dask cluster.

One job per file; a file that fails is reported and the others go on.
"""
from __future__ import annotations

import glob
import os
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field

from .errors import UsageError

CONNECT_TIMEOUT = "10s"     # to reach a Dask scheduler


@dataclass
class FileOutcome:
    input: str
    output: str
    products: int = 0
    records: int = 0
    reports: int = 0
    warnings: int = 0
    failed_products: list = field(default_factory=list)   # "product: message"
    error: str = ""                                       # the file could not be decoded at all

    @property
    def ok(self):
        return not self.error and not self.failed_products


def expand_inputs(patterns):
    """The L0 files named by `patterns` (glob patterns or paths), each once, sorted."""
    files = []
    for pattern in patterns:
        matches = sorted(glob.glob(os.path.expanduser(pattern))) if glob.has_magic(pattern) else [pattern]
        if not matches:
            raise UsageError(f"no file matches {pattern!r}")
        for path in matches:
            if os.path.isdir(path):
                continue
            if path not in files:
                files.append(path)
    if not files:
        raise UsageError("no input file")
    return files


def plan(files, out_dir):
    """[(L0 path, L1 path)]: each output named after its input, inside `out_dir`."""
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"{out_dir}: cannot create the output directory ({exc})") from None
    outputs = {}
    inputs = {os.path.realpath(p) for p in files}
    pairs = []
    for path in files:
        base = os.path.splitext(os.path.basename(path))[0] + ".h5"
        target = os.path.join(out_dir, base)
        if target in outputs:
            raise UsageError(f"{path} and {outputs[target]} would both be written to {target}")
        if os.path.realpath(target) in inputs:
            raise UsageError(f"{target}: the output would overwrite an input file")
        outputs[target] = path
        pairs.append((path, target))
    return pairs


def decode_job(l0_path, l1_path, products=None):
    """Decodes one file; never raises (the outcome says what went wrong). Runs in workers."""
    from kesta.dravel.l1.convert import convert
    from kesta.dravel.l1.decode import FAILED, SKIPPED

    outcome = FileOutcome(l0_path, l1_path)
    try:
        result = convert(l0_path, l1_path, products=products)
    except Exception as exc:
        outcome.error = f"{type(exc).__name__}: {exc}" if not hasattr(exc, "exit_code") else str(exc)
        return outcome
    done = [p for p in result.products if p.status not in (FAILED, SKIPPED)]
    outcome.products = len(done)
    outcome.records = sum(p.records for p in done)
    outcome.reports = sum(len(p.reports) for p in result.products)
    outcome.warnings = sum(len(p.warnings) for p in result.products)
    outcome.failed_products = [f"{p.product}: {p.message}" for p in result.failed]
    return outcome


def _bar(total):
    from tqdm import tqdm

    return tqdm(total=total, desc="decoding", unit="file", disable=None)


def run_local(pairs, products=None, workers=1):
    """Outcomes of all files, decoded here (workers = 1) or in `workers` processes."""
    outcomes = {}
    with _bar(len(pairs)) as bar:
        if workers <= 1:
            for l0, l1 in pairs:
                outcomes[l0] = decode_job(l0, l1, products)
                bar.update()
        else:
            suspects = _run_pool(pairs, products, workers, outcomes, bar)
            # A worker that dies (a crash in native code) breaks the whole pool: the files that
            # were in flight are decoded again one at a time, each in a fresh process, so that
            # only the file that brings its process down fails.
            for l0, l1 in suspects:
                if _run_pool([(l0, l1)], products, 1, outcomes, bar):
                    outcomes[l0] = FileOutcome(l0, l1, error="the worker process decoding it died")
                    bar.update()
    return [outcomes[l0] for l0, _ in pairs]


def _run_pool(pairs, products, workers, outcomes, bar):
    import multiprocessing

    broken = []
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=min(workers, len(pairs)), mp_context=context) as pool:
        futures = {pool.submit(decode_job, l0, l1, products): (l0, l1) for l0, l1 in pairs}
        for future in as_completed(futures):
            l0, l1 = futures[future]
            try:
                outcomes[l0] = future.result()
            except BrokenProcessPool:
                broken.append((l0, l1))
                continue
            except Exception as exc:
                outcomes[l0] = FileOutcome(l0, l1, error=f"{type(exc).__name__}: {exc}")
            bar.update()
    return broken


def run_dask(pairs, address, products=None):
    """Outcomes of all files, one task per file on the Dask cluster at `address`."""
    try:
        from distributed import Client, as_completed as dask_completed
    except ImportError:
        raise UsageError("--scheduler needs Dask distributed (install the 'dask' extra)") from None
    try:
        client = Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False)
    except Exception as exc:
        raise UsageError(f"cannot reach the Dask scheduler at {address} ({exc})") from None
    outcomes = {}
    try:
        futures = [client.submit(decode_job, l0, l1, products, key=f"dravel-decode-{k}-{os.path.basename(l0)}",
                                 pure=False)
                   for k, (l0, l1) in enumerate(pairs)]
        owner = {f.key: pair for f, pair in zip(futures, pairs)}
        with _bar(len(pairs)) as bar:
            for future in dask_completed(futures, loop=client.loop):
                l0, l1 = owner[future.key]
                try:
                    outcomes[l0] = future.result()
                except Exception as exc:  # the task itself failed, e.g. its worker was lost
                    outcomes[l0] = FileOutcome(l0, l1, error=f"{type(exc).__name__}: {exc}")
                bar.update()
    finally:
        client.close()
    return [outcomes[l0] for l0, _ in pairs]


def outcome_table(outcomes):
    head = ("file", "products", "records", "reported+skipped", "warnings", "status")
    rows = []
    for o in outcomes:
        if o.error:
            status = f"FAILED: {o.error}"
        elif o.failed_products:
            status = "product errors: " + "; ".join(o.failed_products)
        else:
            status = f"ok -> {o.output}"
        rows.append((o.input, str(o.products), str(o.records), str(o.reports), str(o.warnings), status))
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head) - 1)]

    def line(row):
        cells = [row[0].ljust(widths[0])] + [row[i].rjust(widths[i]) for i in range(1, len(widths))]
        return "  ".join(cells + [row[-1]])

    return [line(head)] + [line(r) for r in rows]
