"""The processes a run starts, and what each does first.

Every child dies with the process that started it, whatever ends that one (SIGKILL included):
the kernel sends it SIGKILL when its parent goes (PR_SET_PDEATHSIG), and it checks its parent
once that is set, in case the parent went before. A child runs in a session of its own (the
terminal's Ctrl-C reaches the run only, which decides when its children stop), holds none of
the caller's standard streams (a pipeline reading the run's output sees its end when the run
ends), and is registered in the run's registry: a run cut short kills it.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import multiprocessing
import os
import signal
import subprocess
import sys
from collections.abc import Collection, Iterable
from typing import IO

from . import stop as registry
from . import worker
from .errors import check
from .protocol import StopCheck

STOP_SECONDS = 2.0  # a stopped process that has not gone by then is killed
PARENT = "DRAVEL_PARENT"  # environment: the process id of the run that started this one
PR_SET_PDEATHSIG = 1


def die_with_parent(parent: int | None = None) -> None:
    """Makes this process get SIGKILL when its parent goes (Linux), and exits at once when the
    parent `parent` (default: the one the environment names) is gone already."""
    if parent is None:
        parent = int(os.environ.get(PARENT) or 0) or None
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if parent is not None and os.getppid() != parent:
        os._exit(1)


def environment() -> dict[str, str]:
    """The environment of a child: this one's, with the modules this process sees and its id."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **{PARENT: str(os.getpid())})


def start(
    module: str, args: Iterable[object], stderr: int | IO[bytes] = subprocess.DEVNULL, pass_fds: Collection[int] = ()
) -> subprocess.Popen[bytes]:
    """Starts `module`.main() with `args` (its sys.argv[1:]) in a child process of the run."""
    code = f"from kesta.dravel.run.child import die_with_parent; die_with_parent(); from {module} import main; main()"
    process = subprocess.Popen(
        [sys.executable, "-c", code, *map(str, args)],
        env=environment(),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=stderr,
        start_new_session=True,
        pass_fds=pass_fds,
    )
    registry.guard_process(process.pid)
    return process


def may_start() -> bool:
    """Whether this process may start a helper process of its own: not in a daemonic process (a
    Dask worker's may start none), on a machine of more than one core, and not in a worker of a
    pool that has a worker per core already (see `worker.cores_spare`)."""
    return (os.cpu_count() or 1) >= 2 and not multiprocessing.current_process().daemon and worker.cores_spare()


def finished(process: subprocess.Popen[bytes], interrupted: StopCheck | None, poll: float = 0.1) -> bool:
    """Waits for `process` to end, looking at `interrupted` every `poll` seconds (Interrupted
    when the run is to stop): True when it ended well (exit status 0)."""
    while True:
        check(interrupted)
        try:
            process.wait(poll)
        except subprocess.TimeoutExpired:
            continue
        return process.returncode == 0


def stop(process: subprocess.Popen[bytes], seconds: float = STOP_SECONDS) -> None:
    """Ends `process`, however far it got: SIGTERM, then SIGKILL if it lingers."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    registry.unguard_process(process.pid)
