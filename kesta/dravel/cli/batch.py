"""Decoding many L0 files: in this process, in a pool of worker processes, or on a Dask cluster.

One job per file; a file that fails is reported and the others go on. Paths are made absolute
before any job is handed out, so that a worker started in another folder finds the same files.
"""
from __future__ import annotations

import glob
import os
import time
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor
from concurrent.futures import wait as wait_local
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field

from kesta.dravel.l1 import output
from kesta.dravel.l1.errors import Interrupted, check
from kesta.dravel.l1.store import first_line

from .errors import UsageError
from .process import ignore_interrupts, interrupts_held

CONNECT_TIMEOUT = 10.0      # seconds to reach a Dask scheduler
WORKER_TIMEOUT = 60.0       # seconds a Dask batch waits with no worker before giving up
POLL = 0.5                  # seconds between looks at a stop request or the cluster's workers
SAME_PATHS = "every worker must see the input and output folders under the same paths"


@dataclass
class FileOutcome:
    input: str
    output: str
    products: int = 0
    records: int = 0
    reports: int = 0
    warnings: int = 0
    failed_products: list = field(default_factory=list)   # "product: message"
    partial_products: list = field(default_factory=list)  # names
    error: str = ""                                       # the file could not be decoded at all
    report: dict = field(default_factory=dict)            # the file's run report, as plain data

    @property
    def ok(self):
        return not self.error and not self.failed_products

    def why(self):
        """What went wrong, in one line."""
        from kesta.dravel.l1.results import shorten

        return shorten(self.error or self.failed_products[0])

    def as_dict(self):
        report = dict(self.report) or {"input": self.input, "outputs": [], "notes": [], "products": []}
        if self.error:
            report["error"] = self.error
        return report


def expand_inputs(patterns):
    """The L0 files named by `patterns` (glob patterns or paths), each once, sorted, as absolute
    paths."""
    files = []
    for pattern in patterns:
        pattern = os.path.expanduser(os.fspath(pattern))
        matches = sorted(glob.glob(pattern)) if glob.has_magic(pattern) else [pattern]
        if not matches:
            raise UsageError(f"no file matches {pattern!r}")
        for path in matches:
            if os.path.isdir(path):
                continue
            if not os.path.exists(path):
                raise UsageError(f"{path}: no such file")
            path = os.path.abspath(path)
            if path not in files:
                files.append(path)
    if not files:
        raise UsageError("no input file")
    return files


def plan(files, out_dir):
    """[(L0 path, L1 path)], absolute: each output named after its input, inside `out_dir`."""
    out_dir = os.path.abspath(os.path.expanduser(os.fspath(out_dir)))
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as exc:
        from kesta.dravel.l1.output import describe

        raise UsageError(f"{out_dir}: cannot create the output folder ({describe(exc)})") from None
    if not os.access(out_dir, os.W_OK | os.X_OK):
        raise UsageError(f"{out_dir}: the output folder is not writable")
    outputs = {}
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


def _where():
    """' on the Dask worker ADDRESS' when running in one, else ''."""
    try:
        from distributed import get_worker

        return f" on the Dask worker {get_worker().address}"
    except (ImportError, ValueError):
        return ""


def decode_job(l0_path, l1_path, products=None, interrupted=None):
    """Decodes one file; never raises but Interrupted (the outcome says what went wrong). Runs
    in workers."""
    from kesta.dravel.l1.convert import convert
    from kesta.dravel.l1.errors import failure
    from kesta.dravel.l1.results import FAILED, SKIPPED

    outcome = FileOutcome(l0_path, l1_path)
    if not os.path.isfile(l0_path):
        outcome.error = f"{l0_path}: no such file{_where()} ({SAME_PATHS})"
        return outcome
    if not os.path.isdir(os.path.dirname(l1_path)):
        outcome.error = f"{os.path.dirname(l1_path)}: no such folder{_where()} ({SAME_PATHS})"
        return outcome
    try:
        # outputs that exist already were refused, or allowed, before the batch began
        result = convert(l0_path, l1_path, products=products, overwrite=True, interrupted=interrupted)
    except Interrupted:
        raise
    except Exception as exc:
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


def finished_outcome(l0_path, l1_path, since):
    """The outcome of a file whose L1 file this batch wrote (in place since `since`, a time
    from time.time()) though its task was lost afterwards (its worker died, no worker was left
    to say it was done), read from the file; None when there is no such file."""
    import h5py

    from kesta.dravel.l1.hdf5 import product_datasets
    from kesta.dravel.l1.results import FAILED, PARTIAL, SKIPPED

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


def can_see(paths, out_dir):
    """The first of `paths` this process cannot read, or `out_dir` when it cannot write there;
    None when all is well. Runs on every worker before a batch."""
    for path in paths:
        if not os.access(path, os.R_OK):
            return path
    if not os.access(out_dir, os.W_OK | os.X_OK):
        return out_dir
    return None


class Progress:
    """Files done, files/s and MB/s of L0 read, on stderr when it is a terminal."""

    def __init__(self, pairs):
        from tqdm import tqdm

        self.sizes = {l0: _size(l0) for l0, _ in pairs}
        self.total = len(pairs)
        self.done = self.bytes = 0
        self.start = time.monotonic()
        self.bar = tqdm(total=self.total, desc="decoding", unit="file", disable=None)

    def update(self, l0):
        self.done += 1
        self.bytes += self.sizes.get(l0, 0)
        self.bar.set_postfix_str(f"{self.bytes / 1e6 / self.elapsed:.1f} MB/s", refresh=False)
        self.bar.update()

    @property
    def elapsed(self):
        return max(time.monotonic() - self.start, 1e-9)

    def close(self):
        self.bar.close()

    def summary(self):
        s = self.elapsed
        return (f"{self.done} file(s), {self.bytes / 1e6:.1f} MB of L0 in {s:.1f} s: "
                f"{self.done / s:.2f} files/s, {self.bytes / 1e6 / s:.1f} MB/s")


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


_stop_asked = False


def _worker_init():
    """A pool worker leaves Ctrl-C to the batch, which asks it to stop with SIGTERM: the file
    being decoded then stops between windows and chunks and leaves nothing behind."""
    import signal

    def stop(signum, frame):
        global _stop_asked
        _stop_asked = True

    ignore_interrupts()
    signal.signal(signal.SIGTERM, stop)


def _stopped():
    return _stop_asked


def _pool_job(l0_path, l1_path, products):
    return decode_job(l0_path, l1_path, products, _stopped)


def run_local(pairs, products=None, workers=1, progress=None, interrupted=None):
    """Outcomes of all files, decoded here (workers = 1) or in `workers` processes."""
    outcomes = {}
    if workers <= 1:
        for l0, l1 in pairs:
            check(interrupted)
            outcomes[l0] = decode_job(l0, l1, products, interrupted)
            progress and progress.update(l0)
    else:
        try:
            _run_pools(pairs, products, workers, outcomes, progress, interrupted)
        finally:
            _remove_leftovers(pairs)
    return [outcomes[l0] for l0, _ in pairs]


def _run_pools(pairs, products, workers, outcomes, progress, interrupted):
    suspects = _run_pool(pairs, products, workers, outcomes, progress, interrupted)
    # A worker that dies (a crash in native code) breaks the whole pool: the files that were in
    # flight are decoded again one at a time, each in a fresh process, so that only the file
    # that brings its process down fails.
    for l0, l1 in suspects:
        if _run_pool([(l0, l1)], products, 1, outcomes, progress, interrupted):
            outcomes[l0] = FileOutcome(l0, l1, error="the worker process decoding it died")
            progress and progress.update(l0)


def _remove_leftovers(pairs):
    """A worker that died while writing left its temporary file: gone once the batch ends."""
    from kesta.dravel.l1.output import remove_leftovers

    for _, l1 in pairs:
        remove_leftovers(l1)


def _run_pool(pairs, products, workers, outcomes, progress, interrupted):
    import multiprocessing

    broken = []
    context = multiprocessing.get_context("spawn")
    pool = ProcessPoolExecutor(max_workers=min(workers, len(pairs)), mp_context=context,
                               initializer=_worker_init)
    _guard(pairs, True)
    pids = []
    try:
        with interrupts_held():     # the workers start on the first jobs
            pending = {pool.submit(_pool_job, l0, l1, products): (l0, l1) for l0, l1 in pairs}
        pids += [process.pid for process in list(getattr(pool, "_processes", {}).values())]
        for pid in pids:
            output.guard_process(pid)
        while pending:
            done, _ = wait_local(pending, timeout=POLL, return_when=FIRST_COMPLETED)
            check(interrupted)
            for future in done:
                l0, l1 = pending.pop(future)
                try:
                    outcomes[l0] = future.result()
                except BrokenProcessPool:
                    broken.append((l0, l1))
                    continue
                except Interrupted:     # a worker stopped by something else than this batch
                    outcomes[l0] = FileOutcome(l0, l1, error="its worker process was stopped")
                except Exception as exc:
                    outcomes[l0] = FileOutcome(l0, l1, error=f"{type(exc).__name__}: {exc}")
                progress and progress.update(l0)
    except Interrupted:
        # the files being decoded stop too (and leave nothing); the ones not started are dropped
        stop_pool(pool)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        _guard(pairs, False)
        for pid in pids:
            output.unguard_process(pid)
    return broken


def stop_pool(pool):
    """Asks the pool's workers to stop (SIGTERM: the job running stops between windows and
    chunks, leaving nothing behind)."""
    for process in list(getattr(pool, "_processes", {}).values()):
        if process.is_alive():
            process.terminate()


def _guard(pairs, on):
    """Marks the outputs of `pairs` as files whose writers' leftovers a run cut short (a second
    Ctrl-C) removes, or no longer."""
    for _, l1 in pairs:
        if on:
            output.guard(l1, itself=False)
        else:
            output.unguard(l1)


def connect(address, timeout=CONNECT_TIMEOUT):
    """A Dask client of the scheduler at `address`, or UsageError in one line within `timeout`."""
    import gc
    import sys

    try:
        from distributed import Client
    except ImportError:
        raise UsageError("--scheduler needs Dask distributed (install the 'dask' extra)") from None
    error = None
    # A client that never connected complains from its destructor: it is collected here, quietly,
    # and the error is raised only once nothing refers to it any more.
    hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    try:
        try:
            client = Client(address, timeout=f"{timeout}s", set_as_default=False)
        except (OSError, ValueError, TypeError) as exc:
            error = first_line(exc)
        except Exception:
            error = "no Dask scheduler answers there"
        gc.collect()
    finally:
        sys.unraisablehook = hook
    if error is not None:
        raise UsageError(f"cannot reach the Dask scheduler at {address} ({error})")
    return client


def run_dask(pairs, address, products=None, progress=None, interrupted=None,
             connect_timeout=CONNECT_TIMEOUT, worker_timeout=WORKER_TIMEOUT):
    """Outcomes of all files, one task per file on the Dask cluster at `address`.

    Every worker connected at the start must see every input file and the output folder
    (UsageError otherwise, before any task). A file whose worker dies is decoded again on
    another one (Dask retries it); one whose workers keep dying, or that is still waiting when
    no worker has been connected for `worker_timeout` seconds, is reported failed.
    """
    client = connect(address, connect_timeout)
    futures = {}
    try:
        _check_workers(client, pairs, connect_timeout, address)
        futures = {client.submit(decode_job, l0, l1, products, key=f"dravel-decode-{k}-{os.path.basename(l0)}",
                                 pure=False): (l0, l1)
                   for k, (l0, l1) in enumerate(pairs)}
        return _collect(client, futures, progress, interrupted, worker_timeout)
    finally:
        if futures:
            try:
                client.cancel(list(futures), force=True)
            except Exception:
                pass
        client.close()
        _remove_leftovers(pairs)


def _check_workers(client, pairs, timeout, address):
    check_workers(client, [l0 for l0, _ in pairs], os.path.dirname(pairs[0][1]), timeout, address)


def check_workers(client, inputs, out_dir, timeout, address):
    """Waits `timeout` seconds at most for a worker, then asks every worker whether it sees
    the `inputs` and can write `out_dir`: UsageError naming the first that cannot."""
    try:
        client.wait_for_workers(1, timeout=timeout)
    except Exception:
        raise UsageError(f"no Dask worker joined the scheduler at {address} within {timeout:g} s") from None
    for worker, missing in sorted(client.run(can_see, list(inputs), out_dir).items()):
        if missing:
            raise UsageError(f"the Dask worker {worker} cannot see {missing} ({SAME_PATHS})")


def _collect(client, futures, progress, interrupted, worker_timeout):
    from distributed import as_completed

    pairs = list(futures.values())
    started = time.time() - 1.0         # a file's modification time may be a little early
    outcomes, pending = {}, set(futures)
    finished = as_completed(list(futures), loop=client.loop)
    alone_since = None
    while pending:
        done = finished.next_batch(block=False)
        check(interrupted)
        for future in done:
            l0, l1 = futures[future]
            pending.discard(future)
            try:
                outcomes[l0] = future.result()
            except Exception as exc:     # the task itself failed: its workers kept dying
                outcomes[l0] = finished_outcome(l0, l1, started) or FileOutcome(l0, l1, error=_lost(exc))
            progress and progress.update(l0)
        if done or not pending:
            continue
        time.sleep(POLL)
        if _workers(client):
            alone_since = None
        elif alone_since is None:
            alone_since = time.monotonic()
        elif time.monotonic() - alone_since > worker_timeout:
            for future in pending:
                l0, l1 = futures[future]
                outcomes[l0] = finished_outcome(l0, l1, started) or \
                    FileOutcome(l0, l1, error=f"no Dask worker left to decode it (none for {worker_timeout:g} s)")
                progress and progress.update(l0)
            pending = set()
    return [outcomes[l0] for l0, _ in pairs]


def _workers(client):
    try:
        return len(client.scheduler_info().get("workers", {}))
    except Exception:
        return 0


def _lost(exc):
    name = type(exc).__name__
    if name == "KilledWorker":
        return "the Dask workers decoding it died, every time it was tried"
    return f"{name}: {exc}"


def outcome_table(outcomes):
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

    def line(row):
        cells = [row[0].ljust(widths[0])] + [row[i].rjust(widths[i]) for i in range(1, len(widths))]
        return "  ".join(cells + [row[-1]])

    return [line(head)] + [line(r) for r in rows]
