"""Units of work run as tasks of a Dask cluster.

Dask runs a task again on another worker when its worker dies; one whose workers keep dying,
or that still waits once no worker has been connected for `worker_timeout` seconds, ends with
an error (unless `recover(key)` finds its output complete).
"""

from __future__ import annotations

import gc
import os
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from .errors import UsageError, check, failure
from .local import POLL
from .protocol import Job, K, Recover, Result, StopCheck, V

if TYPE_CHECKING:  # the 'dask' extra: imported where a cluster is used, never before
    from distributed import Client, Future

CONNECT_TIMEOUT = 10.0  # seconds to reach a Dask scheduler
WORKER_TIMEOUT = 60.0  # seconds a run waits with no worker before giving up
SAME_PATHS = "every worker must see the input and output folders under the same paths"


def connect(address: str, timeout: float = CONNECT_TIMEOUT) -> Client:
    """A Dask client of the scheduler at `address`, or UsageError in one line within `timeout`."""
    # lazy: the 'dask' extra (0.2 s to import), imported here only: a run without a cluster
    # never loads it
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
            client = Client(address, timeout=f"{timeout}s", set_as_default=False)  # type: ignore[no-untyped-call]
        except (OSError, ValueError, TypeError) as exc:
            error = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        except Exception as exc:  # noqa: BLE001 - distributed's own errors: the scheduler is not there
            error = f"no Dask scheduler answers there: {type(exc).__name__}"
        gc.collect()
    finally:
        sys.unraisablehook = hook
    if error is not None:
        raise UsageError(f"cannot reach the Dask scheduler at {address} ({error})")
    return client


def can_see(paths: Iterable[str], folder: str) -> str | None:
    """The first of `paths` this process cannot read, or `folder` when it cannot write there;
    None when all is well. Runs on every worker before a run."""
    for path in paths:
        if not os.access(path, os.R_OK):
            return path
    if not os.access(folder, os.W_OK | os.X_OK):
        return folder
    return None


def where() -> str:
    """' on the Dask worker ADDRESS' when running in one, else ''."""
    try:  # lazy: the 'dask' extra; without it, or outside a Dask worker, ''
        from distributed import get_worker

        return f" on the Dask worker {get_worker().address}"
    except (ImportError, ValueError):
        return ""


class DaskRunner:
    """Runs the units as tasks of the Dask cluster whose scheduler is at `address` (connected
    now: UsageError in one line within `connect_timeout` when it cannot be), tasks named after
    `name`."""

    def __init__(
        self,
        address: str,
        connect_timeout: float = CONNECT_TIMEOUT,
        worker_timeout: float = WORKER_TIMEOUT,
        name: str = "dravel",
    ) -> None:
        self.address, self.connect_timeout, self.worker_timeout = address, connect_timeout, worker_timeout
        self.name = name
        self.client = connect(address, connect_timeout)
        self.round = 0

    def close(self) -> None:
        self.client.close()  # type: ignore[no-untyped-call]

    def start(self) -> None:
        pass  # the cluster's workers are up already

    def check(self, inputs: Iterable[str], folder: str) -> None:
        """Waits for a worker, then asks every worker whether it sees the `inputs` and can write
        `folder`: UsageError naming the first that cannot."""
        try:
            self.client.wait_for_workers(1, timeout=self.connect_timeout)
        except (TimeoutError, OSError):
            raise UsageError(
                f"no Dask worker joined the scheduler at {self.address} within {self.connect_timeout:g} s"
            ) from None
        for worker, missing in sorted(self.client.run(can_see, list(inputs), folder).items()):
            if missing:
                raise UsageError(f"the Dask worker {worker} cannot see {missing} ({SAME_PATHS})")

    def workers(self) -> int:
        """How many workers the scheduler has now (0 when it does not answer)."""
        try:
            return len(self.client.scheduler_info().get("workers", {}))
        except OSError:
            return 0

    def run(
        self,
        jobs: Sequence[Job[K, V]],
        interrupted: StopCheck | None = None,
        interruptible: bool = False,
        recover: Recover[K, V] | None = None,
    ) -> Iterator[Result[K, V]]:
        from distributed import as_completed  # lazy: the 'dask' extra, there since connect found it

        if not jobs:
            return
        self.round += 1
        futures: dict[Future[Any], K] = {}
        try:
            for k, (key, function, args) in enumerate(jobs):
                name = f"{self.name}-{self.round}-{k}-{os.path.basename(str(key))}"
                futures[self.client.submit(function, *args, key=name, pure=False)] = key
            pending = set(futures)
            finished = as_completed(list(futures), loop=self.client.loop)  # type: ignore[no-untyped-call]
            alone_since: float | None = None
            while pending:
                done = finished.next_batch(block=False)  # type: ignore[no-untyped-call]
                check(interrupted)
                for future in done:
                    pending.discard(future)
                    yield self._result(futures[future], future, recover)
                if done or not pending:
                    continue
                time.sleep(POLL)
                if self.workers():
                    alone_since = None
                elif alone_since is None:
                    alone_since = time.monotonic()
                elif time.monotonic() - alone_since > self.worker_timeout:
                    for future in list(pending):
                        key = futures[future]
                        found = recover(key) if recover is not None else None
                        yield (
                            key,
                            found,
                            None
                            if found is not None
                            else f"no Dask worker left to run it (none for {self.worker_timeout:g} s)",
                        )
                    pending = set()
        finally:
            if futures:
                self.client.cancel(list(futures), force=True)  # type: ignore[no-untyped-call]

    @staticmethod
    def _result(key: K, future: Future[Any], recover: Recover[K, V] | None) -> Result[K, V]:
        try:
            return key, future.result(), None
        except Exception as exc:  # noqa: BLE001 - the task failed: its workers kept dying, or it raised
            found = recover(key) if recover is not None else None
            if found is not None:
                return key, found, None
            if type(exc).__name__ == "KilledWorker":
                return key, None, "the Dask workers running it died, every time it was tried"
            return key, None, failure(exc)
