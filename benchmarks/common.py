"""Shared timing helpers of the benchmarks."""
import time

import numpy as np


def best_of(fn, repeat=5):
    """Best wall time of `repeat` calls of fn(), and its last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def numpy_allocate_and_fill(dtype, n):
    """What NumPy alone takes to allocate `n` records and set every byte from a fill-valued
    template record: the floor any decoder of that output pays."""
    template = np.zeros(1, dtype=dtype).view(np.uint8)
    template[:] = 0xFF

    def run():
        out = np.empty(n, dtype=dtype)
        out.view(np.uint8).reshape(n, dtype.itemsize)[:] = template
        return out

    return run


def report(name, unit, count, seconds, nbytes, baseline_seconds):
    print(f"{name}: {count} {unit} in {seconds * 1e3:.1f} ms: {count / seconds:,.0f} {unit}/s, "
          f"output {nbytes / seconds / 1e6:,.0f} MB/s; NumPy allocate+fill of the same output "
          f"{baseline_seconds * 1e3:.1f} ms; ratio {seconds / baseline_seconds:.2f}x")
