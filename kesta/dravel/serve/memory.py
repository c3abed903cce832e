"""What the HAPI server gives back to the system of the memory its requests free.

A request holds at most one day file's records of the parameters it asks for and a block being
sent (`stream`); what it frees must go back to the system, or the server keeps the high-water
mark of its busiest moment (32 clients at once left it at four times its memory at rest, never
given back). The command line tells the C library to keep large freed blocks for reuse (a batch
run's windows are all alike); the server undoes that: blocks of 1 MB and more (records, blocks
of the stream) are mapped on their own and unmapped when freed, the heap is trimmed past
128 kB free at its top, two arenas are shared by the worker threads (one per thread kept each
one's freed memory apart), and `trim()` hands back what the arenas hold free once no data
request is under way. Only the GNU C library has these; elsewhere its defaults stand.
"""
from __future__ import annotations

import ctypes
import ctypes.util

_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD, _M_ARENA_MAX = -1, -3, -8
MMAP_THRESHOLD = 1 << 20
TRIM_THRESHOLD = 128 << 10
ARENAS = 2


def _libc():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        libc.mallopt, libc.malloc_trim         # noqa: B018 (the GNU C library's)
        return libc
    except (OSError, AttributeError):
        return None


_LIBC = _libc()


def give_back_freed_memory():
    """The C library's settings for a server (True when they could be set)."""
    if _LIBC is None:
        return False
    _LIBC.mallopt(_M_ARENA_MAX, ARENAS)
    _LIBC.mallopt(_M_MMAP_THRESHOLD, MMAP_THRESHOLD)
    _LIBC.mallopt(_M_TRIM_THRESHOLD, TRIM_THRESHOLD)
    return True


def trim():
    """Hands the arenas' free memory back to the system (a few ms)."""
    if _LIBC is not None:
        _LIBC.malloc_trim(0)
