"""`dravel archive` of a month of daily L0 files, each command run as a user runs it (start-up
included): the first run against `dravel decode` of the files one after the other and against
the I/O floor of the same files (reading every L0 dataset, writing the bytes of the L1 records
uncompressed), then a rerun with nothing changed (it should take at most 5% of the first run)
and a rerun after one day's L0 file was replaced (only the day files it feeds are rewritten).

    python benchmarks/bench_archive.py [--days 30] [--workers 2] [--format cdf] [--keep DIR]
"""

import argparse
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_decode_file import read_every_dataset, write_bytes
from common import best_of

ROOT = Path(__file__).resolve().parents[1]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
START = "2024-03-01"
RERUN_TARGET = 0.05
DAY_SUFFIXES = (".cdf", ".nc")


def dravel(*args):
    """(seconds, stdout) of one `dravel` command in a process of its own; a failure ends the
    benchmark with the command's own messages."""
    command = [sys.executable, "-m", "kesta.dravel", *args]
    started = time.perf_counter()
    proc = subprocess.run(command, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - started
    if proc.returncode:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit(f"failed with exit code {proc.returncode}: {' '.join(command)}")
    return seconds, proc.stdout


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(8 << 20):
            digest.update(block)
    return digest.hexdigest()


def day_files(archive):
    """{path: (mtime_ns, sha256)} of the archive's day files (not its state, cache or page)."""
    found = {}
    for folder, dirs, files in os.walk(archive):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        for name in files:
            if name.endswith(DAY_SUFFIXES) and not name.startswith("."):
                path = os.path.join(folder, name)
                found[path] = (os.stat(path).st_mtime_ns, sha256(path))
    if not found:
        raise SystemExit(f"no day file in {archive}")
    return found


def compare(before, after):
    """(rewritten, changed content, new, removed) day files between two listings."""
    kept = before.keys() & after.keys()
    rewritten = sum(before[p][0] != after[p][0] for p in kept)
    changed = sum(before[p][1] != after[p][1] for p in kept)
    return rewritten, changed, len(after.keys() - before.keys()), len(before.keys() - after.keys())


def l1_raw_bytes(path):
    """Bytes of the records of an L1 HDF5 file, uncompressed."""
    import h5py

    from kesta.dravel.l1.hdf5 import product_datasets

    with h5py.File(path, "r") as f:
        return sum(d.shape[0] * d.dtype.itemsize for d in product_datasets(f).values())


def floor(l0_files, raw_bytes, folder):
    """Reading every dataset of each L0 file and writing its L1 records' bytes uncompressed."""
    for l0, raw in zip(l0_files, raw_bytes):
        read_every_dataset(l0)
        write_bytes(os.path.join(folder, "floor.bin"), raw)


def indented(text):
    return "".join(f"    | {line}\n" for line in text.splitlines() if line.strip())


def work_folder(keep):
    if keep is None:
        return tempfile.TemporaryDirectory(prefix="dravel-bench-archive-", dir=os.environ.get("TMPDIR"))
    os.makedirs(keep, exist_ok=True)
    if os.listdir(keep):
        raise SystemExit(f"--keep {keep}: the folder is not empty (a rerun on an old archive measures nothing)")
    return _Kept(os.path.abspath(keep))


class _Kept:
    def __init__(self, path):
        self.path = path

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=30, help="days of L0 files (default 30)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the archive (default 2)")
    parser.add_argument("--format", choices=("cdf", "netcdf"), default="cdf", help="day files (default cdf)")
    parser.add_argument(
        "--keep",
        metavar="DIR",
        default=None,
        help="work in DIR (empty or new) and keep the files there (default: a temporary folder)",
    )
    args = parser.parse_args()
    if args.days < 3:
        parser.error("--days: at least 3 (a middle day's file is replaced)")
    sys.path.insert(0, str(ROOT))

    # the modules the commands import are byte-compiled once here, not by the first run measured
    subprocess.run([sys.executable, "-m", "compileall", "-q", str(ROOT / "kesta")], check=True)

    with work_folder(args.keep) as folder:
        l0_dir, other_dir = os.path.join(folder, "L0"), os.path.join(folder, "L0-seed1")
        l1_dir, archive = os.path.join(folder, "L1"), os.path.join(folder, "ARCHIVE")
        dravel("-q", "simulate", "--days", str(args.days), "--start", START, "-o", l0_dir)
        l0_files = sorted(glob.glob(os.path.join(l0_dir, "*.h5")))
        if len(l0_files) != args.days:
            raise SystemExit(f"dravel simulate wrote {len(l0_files)} L0 file(s), not {args.days}")
        l0_bytes = sum(os.path.getsize(p) for p in l0_files)
        print(
            f"L0: {len(l0_files)} daily files from {START}, {l0_bytes / 1e6:.1f} MB "
            f"({l0_bytes / len(l0_files) / 1e6:.2f} MB a file)"
        )
        startup, _ = best_of(lambda: dravel("--version"), repeat=3)

        # baseline: one decode after the other
        os.makedirs(l1_dir)
        l1_files = [os.path.join(l1_dir, os.path.basename(p)) for p in l0_files]
        started = time.perf_counter()
        for l0, l1 in zip(l0_files, l1_files):
            dravel("-q", "decode", l0, "-o", l1)
        baseline = time.perf_counter() - started
        raw_bytes = [l1_raw_bytes(p) for p in l1_files]
        l1_bytes = sum(os.path.getsize(p) for p in l1_files)
        shutil.rmtree(l1_dir)

        io_floor, _ = best_of(lambda: floor(l0_files, raw_bytes, folder), repeat=3)

        pattern = os.path.join(l0_dir, "*.h5")
        archive_args = ["archive", pattern, "-o", archive, "--format", args.format, "--workers", str(args.workers)]
        first, first_out = dravel(*archive_args)
        first_days = day_files(archive)
        stored = sum(os.path.getsize(p) for p in first_days)

        rerun, rerun_out = dravel(*archive_args)
        rerun_days = day_files(archive)
        untouched = compare(first_days, rerun_days)

        # one middle day's L0 file replaced by the same day simulated with another seed
        dravel("-q", "simulate", "--days", str(args.days), "--start", START, "-o", other_dir, "--seed", "1")
        middle = l0_files[len(l0_files) // 2]
        replacement = os.path.join(other_dir, os.path.basename(middle))
        if sha256(replacement) == sha256(middle):
            raise SystemExit(f"{replacement} is the same as {middle}: the other seed changed nothing")
        shutil.copyfile(replacement, middle)
        changed_bytes = os.path.getsize(middle)
        changed, changed_out = dravel(*archive_args)
        rewritten, content, new, removed = compare(rerun_days, day_files(archive))

    mb = l0_bytes / 1e6
    print(
        f"L1: {sum(raw_bytes) / 1e6:.1f} MB of records (HDF5 files of `dravel decode` {l1_bytes / 1e6:.1f} MB; "
        f"{len(first_days)} {args.format} day files of the archive {stored / 1e6:.1f} MB)"
    )
    print(f"start-up of one command (`dravel --version`, best of 3): {startup:.2f} s")
    print(f"\n`dravel archive` runs ({args.workers} worker(s), {args.format}; {os.cpu_count()} cores):")
    for label, text in (
        ("first run", first_out),
        ("unchanged rerun", rerun_out),
        (f"{os.path.basename(middle)} replaced", changed_out),
    ):
        print(f"  {label}:")
        print(indented(text), end="")

    print(f"\n{'':38}{'seconds':>8}{'L0 MB':>8}{'L0 MB/s':>9}{'x floor':>9}{'x decode':>9}")
    row = "{:38}{:8.2f}{:>8}{:>9}{:>9}{:>9}"
    print(
        row.format(
            "I/O floor (read L0, write L1 raw)",
            io_floor,
            f"{mb:.1f}",
            f"{mb / io_floor:.1f}",
            "1.00",
            f"{io_floor / baseline:.2f}",
        )
    )
    print(
        row.format(
            f"dravel decode x{len(l0_files)}, one at a time",
            baseline,
            f"{mb:.1f}",
            f"{mb / baseline:.1f}",
            f"{baseline / io_floor:.1f}",
            "1.00",
        )
    )
    print(
        row.format(
            "dravel archive, first run",
            first,
            f"{mb:.1f}",
            f"{mb / first:.1f}",
            f"{first / io_floor:.1f}",
            f"{first / baseline:.2f}",
        )
    )
    print(
        row.format("  rerun, nothing changed", rerun, "0.0", "-", f"{rerun / io_floor:.1f}", f"{rerun / baseline:.2f}")
    )
    print(
        row.format(
            "  rerun, one L0 file replaced",
            changed,
            f"{changed_bytes / 1e6:.1f}",
            f"{changed_bytes / 1e6 / changed:.1f}",
            f"{changed / io_floor:.1f}",
            f"{changed / baseline:.2f}",
        )
    )

    share = rerun / first
    verdict = "within" if share <= RERUN_TARGET else "OVER"
    print(
        f"\nunchanged rerun: {share:.1%} of the first run ({verdict} the {RERUN_TARGET:.0%} target); "
        f"day files rewritten {untouched[0]} of {len(first_days)}"
    )
    print(
        f"one L0 file replaced ({os.path.basename(middle)}): day files rewritten {rewritten} of "
        f"{len(rerun_days)}, of which content changed {content}; {new} new, {removed} removed"
    )
    if args.keep:
        print(f"files kept in {os.path.abspath(args.keep)}")
    if untouched != (0, 0, 0, 0):
        raise SystemExit(f"the unchanged rerun touched day files (rewritten, changed, new, removed): {untouched}")


if __name__ == "__main__":
    main()
