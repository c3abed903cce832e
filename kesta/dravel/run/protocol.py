"""What every runner is: the `Runner` protocol, and the types of the jobs it takes and of what it
yields. `InProcess`, `LocalPool` (kesta.dravel.run.local) and `DaskRunner` (kesta.dravel.run.dask)
implement it; `pick_runner` (kesta.dravel.run) gives the one a command asked for."""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterable, Iterator, Sequence
from typing import Any, Protocol, TypeAlias, TypeVar

K = TypeVar("K", bound=Hashable)  # a job's key, which its result carries back
V = TypeVar("V")  # what a job's function returns

StopCheck: TypeAlias = Callable[[], bool]
"""Says whether the run is to stop (a `StopFlag`, a pool worker's `stopped`)."""

Job: TypeAlias = tuple[K, Callable[..., V], tuple[Any, ...]]
"""(key, function, args): one unit of work. With `interruptible`, the function is also given
`interrupted=` a `StopCheck`."""

Result: TypeAlias = tuple[K, V | None, str | None]
"""(key, value, error) of a job that ended: error None and what its function returned, or
value None and one line saying why it could not be run to its end."""

Recover: TypeAlias = Callable[[K], V | None]
"""What a job whose worker was lost gave, read from its complete output; None when there is
none (the job is then run again, or failed)."""


class Runner(Protocol):
    """Runs units of work and yields their results as they end."""

    def check(self, inputs: Iterable[str], folder: str) -> None:
        """UsageError when the runner's workers cannot read `inputs` or write `folder`."""

    def start(self) -> None:
        """Starts the workers ahead of the first units, where the runner has any to start."""

    def run(
        self,
        jobs: Sequence[Job[K, V]],
        interrupted: StopCheck | None = None,
        interruptible: bool = False,
        recover: Recover[K, V] | None = None,
    ) -> Iterator[Result[K, V]]:
        """Runs `jobs`, yielding a result for each as it ends; raises Interrupted when
        `interrupted()` says the run is to stop."""
        ...

    def close(self) -> None:
        """Ends the runner's workers (and its connection)."""
