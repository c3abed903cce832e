"""What the HAPI server gives back to the system of the memory its requests free.

A request holds at most one day file's records of the parameters it asks for and a block being
sent (`stream`), and `app.Streams` lets a few stream at once; what they free must go back to
the system once they end, or the server keeps the high-water mark of its busiest moment (32
clients at once left it at sixteen times its memory at rest, never given back). Two things kept
it: the command line tells the C library to keep freed blocks up to 1 GB for reuse (which the
server keeps too: a block is as large as the last one, and memory fresh from the system costs a
page fault per page, a third more time under load), and each worker thread got an arena of its
own, holding its freed memory apart. The server shares two arenas among its threads, and
`trim()` hands back what they hold free once no data request is under way. Only the GNU C
library has these; elsewhere its defaults stand.
"""

from __future__ import annotations

import ctypes
import ctypes.util

_M_ARENA_MAX = -8
ARENAS = 2


def _libc() -> ctypes.CDLL | None:
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        libc.mallopt, libc.malloc_trim  # noqa: B018 (the GNU C library's)
        return libc
    except (OSError, AttributeError):
        return None


_LIBC = _libc()


def give_back_freed_memory() -> bool:
    """The C library's settings for a server, set before its threads start (True when they
    could be set)."""
    if _LIBC is None:
        return False
    _LIBC.mallopt(_M_ARENA_MAX, ARENAS)
    return True


def trim() -> None:
    """Hands the arenas' free memory back to the system (a few ms)."""
    if _LIBC is not None:
        _LIBC.malloc_trim(0)
