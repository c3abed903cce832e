"""Shared helpers of the benchmarks: timing, and the project's command line run from this tree."""

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
FIRST_DAY = "2024-03-01"  # of the archives the benchmarks simulate


def env():
    """The environment of a child process running this tree's package."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))


def dravel(*args):
    """Runs `dravel ARGS` from this tree (its output dropped)."""
    subprocess.run(
        [sys.executable, "-m", "kesta.dravel", *map(str, args)], env=env(), check=True, stdout=subprocess.DEVNULL
    )


def make_archive(folder, days, scale=1):
    """An archive of `days` simulated days of `scale` times the simulator's content, made by
    `dravel archive` with two workers, in `folder`/archive (the L0 files in `folder`/l0)."""
    dravel("simulate", "--days", days, "--scale", scale, "--start", FIRST_DAY, "-o", folder / "l0")
    dravel("archive", str(folder / "l0" / "*.h5"), "-o", folder / "archive", "--workers", 2)
    return folder / "archive"


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
    print(
        f"{name}: {count} {unit} in {seconds * 1e3:.1f} ms: {count / seconds:,.0f} {unit}/s, "
        f"output {nbytes / seconds / 1e6:,.0f} MB/s; NumPy allocate+fill of the same output "
        f"{baseline_seconds * 1e3:.1f} ms; ratio {seconds / baseline_seconds:.2f}x"
    )


class ConstantTime:
    """A time service that costs next to nothing, to see a decoder's own share."""

    def obt_to_utc(self, t, to_tt2000=False):
        return np.zeros(len(t), dtype=np.int64)

    @staticmethod
    def cuc_to_scet(t):
        return np.zeros(len(t))


def own_share(run):
    """Result of `run` with the stand-in sort and time service replaced by near-free doubles
    (the benchmarks' packets are already in time order)."""
    import quorel.time

    import kesta.dravel.tasks.utils as utils

    saved = utils.sort_data, quorel.time.Time
    utils.sort_data, quorel.time.Time = (lambda group, keys: (group, None)), ConstantTime
    try:
        return run()
    finally:
        utils.sort_data, quorel.time.Time = saved
