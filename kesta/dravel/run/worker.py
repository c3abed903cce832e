"""A worker process of a local pool: runs the units of work its run sends it, one at a time,
until the run closes its end of the pipe.

A unit comes as pickled (function, args, interruptible) and goes back as pickled (kind,
value): ("ok", what the function returned), ("error", one line), ("interrupted", None).
SIGTERM asks it to stop: an interruptible unit then stops between windows and chunks, leaving
nothing behind, and the worker exits once the unit is over; an idle worker exits at once.
Ctrl-C is the run's to act on: ignored here.
"""

from __future__ import annotations

import os
import pickle
import signal
import sys
from multiprocessing.connection import Connection
from types import FrameType

from .errors import Interrupted, failure

_stop = False
_busy = False
_pool = 0  # workers of the pool this process is one of (0: not a pool's worker)


def stopped() -> bool:
    """True once this worker was asked to stop: what an interruptible unit looks at."""
    return _stop


def cores_spare() -> bool:
    """False in a worker of a pool that already has a worker per core: a unit run there starts
    no helper process of its own, which would only share the same cores and add its memory."""
    return _pool == 0 or _pool < (os.cpu_count() or 1)


def _on_term(signum: int, frame: FrameType | None) -> None:
    global _stop
    _stop = True
    if not _busy:
        os._exit(0)


def run_unit(message: bytes) -> bytes:
    """The reply, pickled, to one unit of work, pickled."""
    try:
        function, args, interruptible = pickle.loads(message)
        value = function(*args, interrupted=stopped) if interruptible else function(*args)
        return pickle.dumps(("ok", value), protocol=pickle.HIGHEST_PROTOCOL)
    except Interrupted:
        return pickle.dumps(("interrupted", None))
    except Exception as exc:  # noqa: BLE001 - the unit failed: its run reports it and goes on
        return pickle.dumps(("error", failure(exc)))


def main() -> None:
    """The worker: the file descriptors it reads units from and writes replies to."""
    global _busy, _pool
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _on_term)
    units = Connection(int(sys.argv[1]), writable=False)
    replies = Connection(int(sys.argv[2]), readable=False)
    _pool = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    while not _stop:
        try:
            message = units.recv_bytes()
        except EOFError:
            return  # the run is over
        _busy = True
        reply = run_unit(message)
        replies.send_bytes(reply)
        _busy = False
