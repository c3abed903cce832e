"""Settings of the processes the command line runs in (not of the library's callers)."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys


def one_blas_thread() -> None:
    """A process the command line starts does its parallel work in its own threads and
    processes, and its NumPy calls are small: idle BLAS threads would only spin on the cores
    that decoding and compression need. Takes effect only before NumPy is loaded; a setting of
    the user's stands."""
    if "numpy" not in sys.modules:
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def keep_freed_memory() -> None:
    """Lets the C library keep the large blocks a run frees, to hand them out again: each
    window's records are as large as the last one's, and memory fresh from the system costs a
    page fault per page on first touch (several times the cost of filling it)."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return  # not the GNU C library: its own defaults stand
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)  # the largest it takes on 64-bit systems
    mallopt(m_trim_threshold, 1 << 30)
