"""How a run's units of work are run and stopped, below the command line and the archive.

`runner(workers, scheduler)` gives the runner a command asked for, one interface (`Runner`):
`check(inputs, folder)`, then `run(jobs, interrupted, interruptible, recover)` yielding (key,
value, error) as units end (as often as there are units to run; `start()` first starts the
workers ahead of them), then `close()`. `stop` holds the stop flag and the registry of what a
run writes and starts; `child` every process a run starts, and what each does first.
"""

from __future__ import annotations

from .dask import CONNECT_TIMEOUT, WORKER_TIMEOUT, DaskRunner
from .local import InProcess, LocalPool
from .protocol import Runner

__all__ = ["DaskRunner", "InProcess", "LocalPool", "Runner", "runner"]


def runner(
    workers: int = 1,
    scheduler: str | None = None,
    connect_timeout: float = CONNECT_TIMEOUT,
    worker_timeout: float = WORKER_TIMEOUT,
    name: str = "dravel",
) -> Runner:
    """The runner of a command: with `scheduler`, the Dask cluster whose scheduler is at that
    address (connected now, UsageError in one line within `connect_timeout` when it cannot be;
    see DaskRunner), else `workers` local processes: this process alone for one."""
    if scheduler:
        return DaskRunner(scheduler, connect_timeout, worker_timeout, name=name)
    return InProcess() if workers <= 1 else LocalPool(workers)
