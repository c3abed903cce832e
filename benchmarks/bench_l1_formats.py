"""The three L1 formats side by side: `dravel decode` of the same L0 file to HDF5, CDF and
netCDF, each run as the command a user runs; bytes written, wall time and peak resident memory
(of the whole run: the command and the processes it starts), as ratios to the HDF5 run of the
same run of this script. Then peak memory at two scales for every format (memory depends on
the window, not on the file).

    python benchmarks/bench_l1_formats.py [--scale 64] [--scales 128,1024] [--repeat 2]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
FORMATS = ("hdf5", "cdf", "netcdf")

# This script imports nothing heavy and simulates in a process of its own: a child's peak
# resident memory counts the pages it shared with this process before it started the command.


def simulate_file(path, seed, scale):
    subprocess.run(
        [
            sys.executable,
            "-m",
            "kesta.dravel",
            "simulate",
            "-o",
            path,
            "--seed",
            str(seed),
            "--scale",
            str(scale),
            "-q",
        ],
        env=ENV,
        check=True,
    )


def decode(l0, out, fmt):
    """(seconds, peak resident bytes of the largest process, bytes written) of one decode."""
    target = out if fmt != "hdf5" else os.path.join(out, "L1.h5")
    started = time.perf_counter()
    proc = subprocess.Popen(
        [sys.executable, "-m", "kesta.dravel", "decode", l0, "-o", target, "--format", fmt, "-q"], env=ENV
    )
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode:
        raise SystemExit(f"dravel decode --format {fmt} failed ({proc.returncode})")
    written = sum(f.stat().st_size for f in Path(out).rglob("*") if f.is_file())
    return seconds, usage.ru_maxrss * 1024, written


def run(l0, folder, fmt):
    out = os.path.join(folder, fmt)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    try:
        return decode(l0, out, fmt)
    finally:
        shutil.rmtree(out, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=64, help="copies of the demo content (default 64)")
    parser.add_argument("--scales", default="128,1024", help="scales of the memory comparison")
    parser.add_argument("--repeat", type=int, default=2, help="runs of each format (best kept)")
    parser.add_argument("--folder", default=None, help="where to write (default: a temporary folder)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="dravel-bench-", dir=args.folder) as folder:
        l0 = os.path.join(folder, "L0.h5")
        simulate_file(l0, seed=0, scale=args.scale)
        print(f"L0: demo x{args.scale}, {os.path.getsize(l0) / 1e6:.0f} MB")
        best = {}
        for _ in range(args.repeat):
            for fmt in FORMATS:
                seconds, rss, written = run(l0, folder, fmt)
                old = best.get(fmt)
                best[fmt] = (min(seconds, old[0]) if old else seconds, min(rss, old[1]) if old else rss, written)
        base = best["hdf5"]
        print(
            f"{'format':8} {'MB written':>11} {'x HDF5':>7} {'seconds':>8} {'x HDF5':>7} {'peak MB':>8} {'x HDF5':>7}"
        )
        for fmt in FORMATS:
            s, r, w = best[fmt]
            print(
                f"{fmt:8} {w / 1e6:11.1f} {w / base[2]:7.2f} {s:8.2f} {s / base[0]:7.2f} "
                f"{r / 1e6:8.0f} {r / base[1]:7.2f}"
            )
        os.unlink(l0)
        scales = [int(s) for s in args.scales.split(",") if s]
        if len(scales) >= 2:
            peaks = {}
            for scale in scales:
                simulate_file(l0, seed=0, scale=scale)
                size = os.path.getsize(l0) / 1e6
                for fmt in FORMATS:
                    peaks[(scale, fmt)] = run(l0, folder, fmt)[1]
                print(
                    f"x{scale} ({size:.0f} MB of L0): "
                    + ", ".join(f"{fmt} {peaks[(scale, fmt)] / 1e6:.0f} MB" for fmt in FORMATS)
                )
                os.unlink(l0)
            low, high = scales[0], scales[-1]
            print(
                f"peak memory x{high} / x{low}: "
                + ", ".join(f"{fmt} {peaks[(high, fmt)] / peaks[(low, fmt)]:.2f}" for fmt in FORMATS)
            )


if __name__ == "__main__":
    main()
