"""`dravel archive` on days of real size (`dravel simulate --days N --scale M`), every figure a
ratio to floors measured in the same run: the I/O floor (reading the L0 files, writing the L1
records' bytes raw) and `dravel decode` of each file to HDF5, one after the other. Prints the
archive's first run in CDF and in netCDF, an unchanged rerun, a rerun after one L0 file changed,
`dravel decode --format cdf|netcdf` of one day against its decode to HDF5, the peak memory of
the whole process tree (the command and every worker it starts, summed) and the bytes; then
the same archive on campaigns of small days (time per day).

    python benchmarks/bench_archive_scale.py [--days 4] [--scale 64] [--workers 2]
        [--campaigns 30,365] [--tries 3] [--code DIR] [--keep DIR]

--code DIR runs the measured commands from another checkout (its `kesta` package first on
PYTHONPATH; the L0 files are always made by this one), to compare before and after in the same
conditions.
"""

import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from bench_archive import compare, day_files, l1_raw_bytes
from bench_decode_file import read_every_dataset, write_bytes
from common import best_of

HERE = Path(__file__).resolve().parents[1]
START = "2024-03-01"
SAMPLE_S = 0.02


def environment(code):
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(code), os.environ.get("PYTHONPATH", "")]))


def tree_rss(process):
    """Resident bytes of `process` and all its descendants."""
    import psutil

    total = 0
    try:
        members = [process] + process.children(recursive=True)
    except psutil.NoSuchProcess:
        return 0
    for p in members:
        try:
            total += p.memory_info().rss
        except psutil.NoSuchProcess:
            pass
    return total


CPU = {}  # seconds of CPU (user and system) of the process tree of each command, by args


def cpu_seconds():
    """CPU seconds of the children of this process that ended (and of theirs, waited for)."""
    import resource

    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def run(code, *args):
    """(seconds, peak MB of the process tree, stdout) of one `dravel` command run as a user
    runs it (its CPU seconds, whole tree, in CPU[args]); a failure ends the benchmark with the
    command's messages."""
    import psutil

    command = [sys.executable, "-m", "kesta.dravel", *args]
    cpu = cpu_seconds()
    started = time.perf_counter()
    proc = subprocess.Popen(command, env=environment(code), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    peak = [0]

    def sample():
        watched = psutil.Process(proc.pid)
        while proc.poll() is None:
            peak[0] = max(peak[0], tree_rss(watched))
            time.sleep(SAMPLE_S)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    out, err = proc.communicate()
    seconds = time.perf_counter() - started
    sampler.join()
    CPU[args] = cpu_seconds() - cpu
    if proc.returncode:
        sys.stderr.write(out + err)
        raise SystemExit(f"failed with exit code {proc.returncode}: {' '.join(command)}")
    return seconds, peak[0] / 1e6, out


def simulate(folder, days, scale, seed=0):
    subprocess.run(
        [
            sys.executable,
            "-m",
            "kesta.dravel",
            "-q",
            "simulate",
            "--days",
            str(days),
            "--start",
            START,
            "--scale",
            str(scale),
            "--seed",
            str(seed),
            "-o",
            folder,
        ],
        env=environment(HERE),
        check=True,
    )
    return sorted(glob.glob(os.path.join(folder, "*.h5")))


def folder_bytes(folder, suffix):
    return sum(os.path.getsize(p) for p in glob.glob(os.path.join(folder, f"*{suffix}")))


def io_floor(l0_files, raw_bytes, work):
    for l0, raw in zip(l0_files, raw_bytes):
        read_every_dataset(l0)
        write_bytes(os.path.join(work, "floor.bin"), raw)


def real_days(args, work, out):
    l0_dir = os.path.join(work, "L0")
    l0_files = simulate(l0_dir, args.days, args.scale)
    l0_mb = sum(os.path.getsize(p) for p in l0_files) / 1e6
    out(
        f"L0: {len(l0_files)} daily files of scale {args.scale}, {l0_mb:.0f} MB ({l0_mb / len(l0_files):.1f} MB a file)"
    )

    l1_dir = os.path.join(work, "L1")
    os.makedirs(l1_dir)
    decodes, decode_peak, decodes_cpu = 0.0, 0.0, 0.0
    l1_files = []
    for l0 in l0_files:
        l1 = os.path.join(l1_dir, os.path.basename(l0))
        seconds, peak, _ = run(args.code, "-q", "decode", l0, "-o", l1)
        decodes_cpu += CPU[("-q", "decode", l0, "-o", l1)]
        decodes += seconds
        decode_peak = max(decode_peak, peak)
        l1_files.append(l1)
    raw = [l1_raw_bytes(p) for p in l1_files]
    hdf5_mb = sum(os.path.getsize(p) for p in l1_files) / 1e6
    floor, _ = best_of(lambda: io_floor(l0_files, raw, work), repeat=2)
    rows = [
        ("I/O floor (read L0, write L1 raw)", floor, None, None),
        (f"dravel decode x{len(l0_files)} to HDF5, one at a time", decodes, decode_peak, decodes_cpu),
    ]

    # one day's file to each format, against its decode to HDF5: the formats in turns, the
    # best of `--tries` each (one try can take twice as long when the kernel writes back), and
    # the median over the tries of each try's ratio (its formats run back to back, in the same
    # conditions)
    one = l0_files[len(l0_files) // 2]
    singles = {}
    tries: list[dict[str, float]] = []
    for _ in range(args.tries):
        tries.append({})
        for fmt in ("hdf5", "cdf", "netcdf"):
            target = os.path.join(work, f"one-{fmt}")
            target_arg = target + ".h5" if fmt == "hdf5" else target
            command = ("-q", "decode", one, "-o", target_arg, "--format", fmt)
            seconds, peak, _ = run(args.code, *command)
            tries[-1][fmt] = seconds
            size = (
                os.path.getsize(target_arg)
                if fmt == "hdf5"
                else sum(os.path.getsize(p) for p in glob.glob(os.path.join(target, "*")))
            )
            if fmt not in singles or seconds < singles[fmt][0]:
                singles[fmt] = (seconds, peak, size / 1e6, CPU[command])
            shutil.rmtree(target, ignore_errors=True)
            if fmt == "hdf5":
                os.unlink(target_arg)

    archives = {}
    for fmt in ("cdf", "netcdf"):
        archive = os.path.join(work, f"ARCHIVE-{fmt}")
        command = (
            "archive",
            os.path.join(l0_dir, "*.h5"),
            "-o",
            archive,
            "--format",
            fmt,
            "--workers",
            str(args.workers),
        )
        seconds, peak, text = run(args.code, *command)
        archives[fmt] = archive
        stored = sum(os.path.getsize(p) for p in day_files(archive)) / 1e6
        rows.append((f"dravel archive, {fmt}, first run", seconds, peak, CPU[command]))
        out(
            f"archive {fmt}: {len(day_files(archive))} day files, {stored:.0f} MB "
            f"({stored / hdf5_mb:.2f}x the HDF5 files of the decodes, {hdf5_mb:.0f} MB)"
        )
    archive = archives["cdf"]
    archive_args = ("archive", os.path.join(l0_dir, "*.h5"), "-o", archive, "--workers", str(args.workers))
    before = day_files(archive)
    seconds, peak, _ = run(args.code, *archive_args)
    untouched = compare(before, day_files(archive))
    rows.append(("  cdf rerun, nothing changed", seconds, peak, CPU[archive_args]))
    other = simulate(os.path.join(work, "L0-seed1"), args.days, args.scale, seed=1)
    middle = l0_files[len(l0_files) // 2]
    shutil.copyfile(other[len(other) // 2], middle)
    seconds, peak, _ = run(args.code, *archive_args)
    rewritten = compare(before, day_files(archive))
    rows.append((f"  cdf rerun, {os.path.basename(middle)} replaced", seconds, peak, CPU[archive_args]))

    # CPU seconds of the whole process tree: steadier than wall time on a shared machine
    out(
        f"\n{'':46}{'seconds':>8}{'x floor':>9}{'x decodes':>10}{'peak MB':>9}{'x 1 decode':>11}"
        f"{'CPU s':>8}{'x decodes':>10}"
    )
    for label, seconds, peak, cpu in rows:
        out(
            f"{label:46}{seconds:8.2f}{seconds / floor:9.2f}{seconds / decodes:10.2f}"
            f"{(f'{peak:.0f}' if peak else '-'):>9}{(f'{peak / decode_peak:.2f}' if peak else '-'):>11}"
            f"{(f'{cpu:.1f}' if cpu else '-'):>8}{(f'{cpu / decodes_cpu:.2f}' if cpu else '-'):>10}"
        )
    out(f"\n`dravel decode` of one day ({os.path.basename(one)}):")
    h5s, h5peak, h5mb, h5cpu = singles["hdf5"]
    for fmt, (seconds, peak, mb, cpu) in singles.items():
        paired = statistics.median(t[fmt] / t["hdf5"] for t in tries)
        out(
            f"  {fmt:7}{seconds:7.2f} s  {seconds / h5s:5.2f}x HDF5 (tries: median {paired:.2f}x)   "
            f"peak {peak:5.0f} MB  {mb:6.1f} MB ({mb / h5mb:.2f}x HDF5)   CPU {cpu:5.1f} s ({cpu / h5cpu:.2f}x HDF5)"
        )
    out(
        f"unchanged rerun: day files (rewritten, changed, new, removed) {untouched}; "
        f"after one L0 file replaced: {rewritten}"
    )


def small_days(args, work, out):
    out(f"\nsmall days (scale 1), {args.workers} workers, cdf:")
    for days in args.campaigns:
        l0_dir = os.path.join(work, f"L0-{days}")
        simulate(l0_dir, days, 1)
        archive = os.path.join(work, f"ARCHIVE-{days}")
        pattern = os.path.join(l0_dir, "*.h5")
        command = ("archive", pattern, "-o", archive, "--workers", str(args.workers))
        first, peak, _ = run(args.code, *command)
        cpu = CPU[command]
        rerun, _, _ = run(args.code, *command)
        out(
            f"  {days:4} days: first run {first:7.2f} s ({first / days:.3f} s a day, CPU {cpu / days:.3f} s "
            f"a day), peak {peak:.0f} MB; unchanged rerun {rerun:.2f} s (CPU {CPU[command]:.2f} s)"
        )
        shutil.rmtree(l0_dir)
        shutil.rmtree(archive)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=4, help="days of real size (default 4)")
    parser.add_argument("--scale", type=int, default=64, help="copies of the default content a day (default 64)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the archive (default 2)")
    parser.add_argument(
        "--campaigns",
        default="30,365",
        help="campaigns of small days to time, comma-separated ('' for none; default 30,365)",
    )
    parser.add_argument("--tries", type=int, default=3, help="tries of each one-day decode, the best kept (default 3)")
    parser.add_argument("--code", default=str(HERE), help="checkout whose commands are measured (default this one)")
    parser.add_argument("--keep", metavar="DIR", default=None, help="work in DIR (new) and keep the files")
    args = parser.parse_args()
    args.campaigns = [int(c) for c in args.campaigns.split(",") if c.strip()]
    args.code = os.path.abspath(args.code)
    if args.days < 2:
        parser.error("--days: at least 2 (one file is replaced)")
    subprocess.run([sys.executable, "-m", "compileall", "-q", os.path.join(args.code, "kesta")], check=True)
    print(f"code measured: {args.code}; {os.cpu_count()} cores (shared with other work unless said)")

    def out(*lines):
        print(*lines, flush=True)

    if args.keep:
        os.makedirs(args.keep)
        real_days(args, args.keep, out)
        small_days(args, args.keep, out)
    else:
        with tempfile.TemporaryDirectory(prefix="dravel-bench-scale-", dir=os.environ.get("TMPDIR")) as work:
            real_days(args, work, out)
            small_days(args, work, out)


if __name__ == "__main__":
    main()
