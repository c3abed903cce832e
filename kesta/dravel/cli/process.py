"""Settings of the processes the command line runs in (not of the library's callers)."""
import contextlib
import os
import sys


def one_blas_thread():
    """A process the command line starts does its parallel work in its own threads and
    processes, and its NumPy calls are small: idle BLAS threads would only spin on the cores
    that decoding and compression need. Takes effect only before NumPy is loaded; a setting of
    the user's stands."""
    if "numpy" not in sys.modules:
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def keep_freed_memory():
    """Lets the C library keep the large blocks a run frees, to hand them out again: each
    window's records are as large as the last one's, and memory fresh from the system costs a
    page fault per page on first touch (several times the cost of filling it)."""
    import ctypes
    import ctypes.util

    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return          # not the GNU C library: its own defaults stand
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)     # the largest it takes on 64-bit systems
    mallopt(m_trim_threshold, 1 << 30)


@contextlib.contextmanager
def interrupts_held():
    """Starts processes ignoring Ctrl-C from birth: one that comes while they start up can
    neither stop them half way nor make them print a traceback. This process gets it once they
    are out: it is held back (blocked signals stay pending, even ignored ones) meanwhile."""
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield       # no terminal's Ctrl-C to hold back here
        return
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()    # started on the first process otherwise, it unblocks Ctrl-C
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)     # what children are born with
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def ignore_interrupts():
    """In a process started under `interrupts_held`: Ctrl-C is left to the parent, which
    decides when to stop."""
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)
