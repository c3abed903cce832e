"""How a run stops: the stop flag, and the one registry of what a run is writing and which
processes it started.

A first Ctrl-C (or SIGTERM) sets the flag: the work looks at it between windows and chunks and
stops, leaving nothing behind. A second one ends the process at once: the registry says which
temporary files to remove and which processes to kill first. Process-wide, as a signal is.
"""

from __future__ import annotations

import glob
import os
import signal
import threading
from collections.abc import Callable, Sized
from types import FrameType
from typing import Any, Literal, TypeAlias

INTERRUPTED = 130  # the exit code of a run ended by a second interrupt

Handler: TypeAlias = Callable[[int, FrameType | None], Any] | int | None  # what signal.signal takes

_paths: dict[str, bool] = {}  # path: whether the path itself goes too, or only its writers' leftovers
_processes: set[int] = set()


def temporary(folder: str, base: str, pid: int | str, thread: int | str, suffix: str) -> str:
    """Where a writer (process `pid`, thread `thread`) keeps the file `base` of `folder`
    until it is complete; with "*" for the writer and the suffix, the pattern of every
    writer's."""
    return os.path.join(folder, f".{base}.{pid}.{thread}.part{suffix}")


def guard(path: str | os.PathLike[str], itself: bool = True) -> None:
    """Marks `path` as a file being written (`itself`), or as one whose writers' temporaries
    are to be removed, should the run be cut short."""
    _paths[os.fspath(path)] = itself


def unguard(path: str | os.PathLike[str]) -> None:
    _paths.pop(os.fspath(path), None)


def guard_process(pid: int) -> None:
    """Marks process `pid` as started by this run, to be killed should it be cut short."""
    _processes.add(pid)


def unguard_process(pid: int) -> None:
    _processes.discard(pid)


def remove_leftovers(path: str | os.PathLike[str]) -> int:
    """Removes the temporary files a process that died while writing `path` left beside it;
    returns how many there were."""
    folder, base = os.path.split(os.path.abspath(os.fspath(path)))
    removed = 0
    for tmp in glob.glob(temporary(glob.escape(folder), glob.escape(base), "*", "*", "*")):
        try:
            os.remove(tmp)
            removed += 1
        except FileNotFoundError:
            pass  # its writer removed it meanwhile
    return removed


def cut_short() -> None:
    """Kills the processes of the run and removes the files it was writing and their
    leftovers, for a run that exits at once."""
    for pid in list(_processes):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    for path, itself in list(_paths.items()):
        if itself:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        remove_leftovers(path)


class StopFlag:
    """Set by SIGINT (Ctrl-C) and SIGTERM; the work checks it between windows and chunks and
    stops cleanly. No exception is raised from the handler: one raised there could land in a
    library callback that swallows it. Asked again while stopping, the run ends at once
    (`cut_short`, exit 130)."""

    def __init__(self, last: bool = False, noted: Sized | None = None, message: bytes = b"interrupted\n") -> None:
        self.stop = False
        self.saved: dict[int, Handler] = {}
        self.last = last  # nothing of the process follows: signals stay ignored after it
        self.noted = noted  # SIGINTs that came before, while only noted
        self.message = message

    def __enter__(self) -> StopFlag:
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM):
                self.saved[sig] = signal.signal(sig, self._set)
            if self.noted is not None:
                self.saved[signal.SIGINT] = signal.default_int_handler
                # looked at once this flag's handler is in place: none is lost
                self.stop = bool(self.noted)
        return self

    def _set(self, signum: int, frame: FrameType | None) -> None:
        if self.stop:
            cut_short()
            try:
                os.write(2, self.message)
            finally:
                os._exit(INTERRUPTED)
        self.stop = True

    def __call__(self) -> bool:
        return self.stop

    def __exit__(self, *exc: object) -> Literal[False]:
        for sig, handler in self.saved.items():
            # once stopping, or once the work is done and the process only exits, a signal has
            # nothing left to stop: the run ends as it is
            signal.signal(sig, signal.SIG_IGN if self.stop or self.last else handler)
        return False
