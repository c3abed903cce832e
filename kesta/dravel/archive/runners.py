"""Where a campaign's tasks run: here, in a pool of worker processes, or on a Dask cluster.

A runner takes jobs [(key, function, args)] and yields (key, value, error) as each ends; error
is one line when the job could not be run to its end (its worker kept dying, no worker was
left). A job that returns has done its work whatever became of the worker afterwards.
"""
from __future__ import annotations

import os
import time
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor
from concurrent.futures import wait as wait_local
from concurrent.futures.process import BrokenProcessPool

from kesta.dravel.cli import batch
from kesta.dravel.cli.process import interrupts_held
from kesta.dravel.l1 import output
from kesta.dravel.l1.errors import Interrupted, check, failure

DIED = "the worker process running it died"


def _lost(exc):
    if type(exc).__name__ == "KilledWorker":
        return "the Dask workers running it died, every time it was tried"
    return failure(exc)


def _call(function, args, interruptible):
    """A job in a pool worker: stops, leaving nothing, when the campaign asks (SIGTERM)."""
    if interruptible:
        return function(*args, interrupted=batch._stopped)
    return function(*args)


class LocalRunner:
    def __init__(self, workers=1):
        self.workers = workers

    def check(self, inputs, archive):
        pass

    def close(self):
        pass

    def run(self, jobs, interrupted=None, interruptible=False):
        if not jobs:
            return
        if self.workers <= 1 or len(jobs) == 1:
            for key, function, args in jobs:
                check(interrupted)
                try:
                    value = function(*args, interrupted=interrupted) if interruptible else function(*args)
                except Interrupted:
                    raise
                except Exception as exc:
                    yield key, None, failure(exc)
                    continue
                yield key, value, None
            return
        # A worker that dies (a crash in native code) breaks the whole pool: the jobs that were
        # in flight are run again, each in a pool of its own, so that only the job that brings
        # its process down fails.
        broken = []
        yield from self._pool(jobs, self.workers, interrupted, interruptible, broken)
        for job in list(broken):
            again = []
            yield from self._pool([job], 1, interrupted, interruptible, again)
            if again:
                yield job[0], None, DIED

    def _pool(self, jobs, workers, interrupted, interruptible, broken):
        import multiprocessing

        context = multiprocessing.get_context("spawn")
        pool = ProcessPoolExecutor(max_workers=min(workers, len(jobs)), mp_context=context,
                                   initializer=batch._worker_init)
        pids = []
        try:
            with interrupts_held():
                pending = {pool.submit(_call, function, args, interruptible): (key, function, args)
                           for key, function, args in jobs}
            pids = [p.pid for p in list(getattr(pool, "_processes", {}).values())]
            for pid in pids:
                output.guard_process(pid)
            while pending:
                finished, _ = wait_local(pending, timeout=batch.POLL, return_when=FIRST_COMPLETED)
                check(interrupted)
                for future in finished:
                    job = pending.pop(future)
                    try:
                        value = future.result()
                    except BrokenProcessPool:
                        broken.append(job)
                        continue
                    except Interrupted:
                        yield job[0], None, "its worker process was stopped"
                        continue
                    except Exception as exc:
                        yield job[0], None, failure(exc)
                        continue
                    yield job[0], value, None
        except BaseException:
            # Interrupted, or the campaign's own failure: the jobs running stop (and leave
            # nothing), the others are dropped
            batch.stop_pool(pool)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
            for pid in pids:
                output.unguard_process(pid)


class DaskRunner:
    """Jobs as tasks of the Dask cluster at `address`. Dask runs a task again on another worker
    when its worker dies; one whose workers keep dying, or that still waits once no worker has
    been connected for `worker_timeout` seconds, ends with an error."""

    def __init__(self, address, connect_timeout=batch.CONNECT_TIMEOUT, worker_timeout=batch.WORKER_TIMEOUT):
        self.address, self.connect_timeout, self.worker_timeout = address, connect_timeout, worker_timeout
        self.client = batch.connect(address, connect_timeout)
        self.round = 0

    def close(self):
        self.client.close()

    def check(self, inputs, archive):
        """Every worker must see the L0 files and the archive, under the same paths."""
        batch.check_workers(self.client, inputs, archive, self.connect_timeout, self.address)

    def run(self, jobs, interrupted=None, interruptible=False):
        from distributed import as_completed

        if not jobs:
            return
        self.round += 1
        futures = {}
        try:
            for k, (key, function, args) in enumerate(jobs):
                name = f"dravel-archive-{self.round}-{k}-{os.path.basename(str(key))}"
                futures[self.client.submit(function, *args, key=name, pure=False)] = key
            pending = set(futures)
            finished = as_completed(list(futures), loop=self.client.loop)
            alone_since = None
            while pending:
                done = finished.next_batch(block=False)
                check(interrupted)
                for future in done:
                    pending.discard(future)
                    try:
                        value = future.result()
                    except Exception as exc:
                        yield futures[future], None, _lost(exc)
                        continue
                    yield futures[future], value, None
                if done or not pending:
                    continue
                time.sleep(batch.POLL)
                if batch._workers(self.client):
                    alone_since = None
                elif alone_since is None:
                    alone_since = time.monotonic()
                elif time.monotonic() - alone_since > self.worker_timeout:
                    for future in list(pending):
                        yield futures[future], None, (f"no Dask worker left to run it "
                                                      f"(none for {self.worker_timeout:g} s)")
                    pending = set()
        finally:
            if futures:
                try:
                    self.client.cancel(list(futures), force=True)
                except Exception:
                    pass
