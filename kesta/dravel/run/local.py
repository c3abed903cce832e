"""Units of work run in this process, or in a local pool of worker processes.

A runner's `run(jobs)` takes jobs [(key, function, args)] and yields (key, value, error) as
each ends; error is one line when the job could not be run to its end. With `interruptible`,
the function is called with `interrupted=` a callable saying when the run is to stop.
"""

from __future__ import annotations

import os
import pickle
import signal
import socket
import tempfile
import time
from collections import Counter, deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from multiprocessing.connection import Connection, wait
from typing import IO, Any

from . import child
from .errors import Interrupted, check, failure
from .protocol import Job, K, Recover, Result, StopCheck, V

POLL = 0.5  # seconds between looks at a stop request
TRIES = 3  # a unit whose worker died this many times is reported failed
STOP_SECONDS = 5.0  # a worker asked to stop that has not gone by then is killed
DIED = "the worker process running it died"


class InProcess:
    """Runs the units one after the other, here."""

    def check(self, inputs: Iterable[str], folder: str) -> None:
        pass

    def start(self) -> None:
        pass

    def close(self) -> None:
        pass

    def run(
        self,
        jobs: Sequence[Job[K, V]],
        interrupted: StopCheck | None = None,
        interruptible: bool = False,
        recover: Recover[K, V] | None = None,
    ) -> Iterator[Result[K, V]]:
        for key, function, args in jobs:
            check(interrupted)
            try:
                value = function(*args, interrupted=interrupted) if interruptible else function(*args)
            except Interrupted:
                raise
            except Exception as exc:  # noqa: BLE001 - the unit failed: reported, the others go on
                yield key, None, failure(exc)
                continue
            yield key, value, None


class _Worker:
    """One worker process and its two pipes; `pool`: the workers of its pool, which it is told."""

    def __init__(self, pool: int) -> None:
        units_in, units_out = os.pipe()
        replies_in, replies_out = os.pipe()
        self.errors: IO[bytes] = tempfile.TemporaryFile()
        try:
            self.process = child.start(
                "kesta.dravel.run.worker",
                [units_in, replies_out, pool],
                stderr=self.errors,
                pass_fds=(units_in, replies_out),
            )
        except OSError:
            for fd in (units_out, replies_in):
                os.close(fd)
            self.errors.close()
            raise
        finally:
            os.close(units_in)
            os.close(replies_out)
        self.units = Connection(units_out, readable=False)
        self.replies = Connection(replies_in, writable=False)

    def send(self, function: Callable[..., object], args: tuple[Any, ...], interruptible: bool) -> None:
        self.units.send_bytes(pickle.dumps((function, args, interruptible), protocol=pickle.HIGHEST_PROTOCOL))

    def receive(self) -> tuple[str, Any]:
        """The worker's reply to its unit: (kind, value), see kesta.dravel.run.worker."""
        reply: tuple[str, Any] = pickle.loads(self.replies.recv_bytes())
        return reply

    def why_gone(self) -> str:
        """Why the worker died, in a few words."""
        code = self.process.wait()
        self.errors.seek(0)
        lines = self.errors.read().decode(errors="replace").strip().splitlines()
        if code < 0:
            try:
                how = f"killed by {signal.Signals(-code).name}"
            except ValueError:
                how = f"killed by signal {-code}"
        else:
            how = f"exit status {code}"
        return f"{DIED} ({how}{'; ' + lines[-1] if lines else ''})"

    def close(self, seconds: float = STOP_SECONDS) -> None:
        """Ends the worker: the idle one at once, a busy one once its unit has stopped, or
        killed after `seconds`."""
        self.units.close()
        child.stop(self.process, seconds)
        self.replies.close()
        self.errors.close()


class LocalPool:
    """Runs the units in `workers` processes of this run.

    A worker that dies (killed, or a crash in native code) costs only the unit it was running:
    a new worker takes its place and the unit is run again (`recover(key)` first says whether
    its output is complete already: that value is taken instead); a unit whose workers died
    TRIES times is reported failed. The workers live until `close()`.
    """

    def __init__(self, workers: int = 2) -> None:
        self.workers = max(1, workers)
        self.idle: list[_Worker] = []

    def check(self, inputs: Iterable[str], folder: str) -> None:
        pass

    def start(self) -> None:
        """Starts the workers now rather than with the first units: their start-up then
        overlaps what this process does meanwhile. (A worker gets SIGKILL when the thread that
        started it ends: start them from a thread that outlives the run's units.)"""
        while len(self.idle) < self.workers:
            self.idle.append(_Worker(self.workers))

    def run(
        self,
        jobs: Sequence[Job[K, V]],
        interrupted: StopCheck | None = None,
        interruptible: bool = False,
        recover: Recover[K, V] | None = None,
    ) -> Iterator[Result[K, V]]:
        queue: deque[Job[K, V]] = deque(jobs)
        deaths: Counter[K] = Counter()
        busy: dict[_Worker, Job[K, V]] = {}
        try:
            while queue or busy:
                while queue and (self.idle or len(busy) < self.workers):
                    worker = self.idle.pop() if self.idle else _Worker(self.workers)
                    key, function, args = queue.popleft()
                    try:
                        worker.send(function, args, interruptible)
                    except (pickle.PicklingError, TypeError, AttributeError) as exc:
                        self.idle.append(worker)
                        yield key, None, f"cannot be handed to a worker process ({failure(exc)})"
                        continue
                    except OSError:  # the worker went before taking it
                        yield from self._lost(worker, (key, function, args), queue, deaths, None)
                        continue
                    busy[worker] = (key, function, args)
                yield from self._collect(busy, queue, deaths, recover, interrupted)
        except BaseException:
            # stopped, or the caller's own failure: the units running stop (and leave nothing)
            self.close(list(busy))
            raise

    def _collect(
        self,
        busy: dict[_Worker, Job[K, V]],
        queue: deque[Job[K, V]],
        deaths: Counter[K],
        recover: Recover[K, V] | None,
        interrupted: StopCheck | None,
    ) -> Iterator[Result[K, V]]:
        # keyed as `wait` gives them back
        by_pipe: dict[Connection[Any, Any] | socket.socket | int, _Worker] = {worker.replies: worker for worker in busy}
        ready = wait(list(by_pipe), timeout=POLL)
        check(interrupted)
        for pipe in ready:
            worker = by_pipe[pipe]
            key, function, args = busy.pop(worker)
            try:
                kind, value = worker.receive()
            except (EOFError, OSError):
                yield from self._lost(worker, (key, function, args), queue, deaths, recover)
                continue
            self.idle.append(worker)
            if kind == "ok":
                yield key, value, None
            elif kind == "interrupted":  # stopped by something else than this run
                yield key, None, "its worker process was stopped"
            else:
                yield key, None, value

    @staticmethod
    def _lost(
        worker: _Worker,
        job: Job[K, V],
        queue: deque[Job[K, V]],
        deaths: Counter[K],
        recover: Recover[K, V] | None,
    ) -> Iterator[Result[K, V]]:
        """The unit `job` whose worker died: taken from its output when `recover` finds it
        complete, else run again, or failed once its workers died TRIES times."""
        why = worker.why_gone()
        worker.close(0)
        key = job[0]
        found = recover(key) if recover is not None else None
        if found is not None:
            yield key, found, None
            return
        deaths[key] += 1
        if deaths[key] >= TRIES:
            yield key, None, why
        else:
            queue.appendleft(job)

    def close(self, busy: Iterable[_Worker] = ()) -> None:
        """Ends every worker: the idle ones at once, the busy ones once their units stop."""
        workers, self.idle = list(busy) + self.idle, []
        for worker in workers:
            if worker.process.poll() is None:
                worker.process.terminate()
        deadline = time.monotonic() + STOP_SECONDS
        for worker in workers:
            worker.close(max(0.0, deadline - time.monotonic()))
