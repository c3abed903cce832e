"""Scripted check of what `dravel archive` promises around the records, as a new user meets it:
a damaged state, versions, plots, messages, damaged cache and day files, Parents, readers of the
state, held-back days. Prints one line per check; with --tree, runs the `dravel` of another
source tree (to compare with an older one).

    python benchmarks/archive_promises.py [--days 10] [--tree PATH] [--work DIR]
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--days", type=int, default=10)
    p.add_argument("--tree", default=HERE, help="source tree whose dravel is run")
    p.add_argument("--work", default=None)
    args = p.parse_args()
    work = os.path.abspath(args.work or tempfile.mkdtemp(prefix="promises-"))
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=os.path.abspath(args.tree))

    def dravel(*argv, wait=True):
        cmd = [sys.executable, "-m", "kesta.dravel", *map(str, argv)]
        if not wait:
            return subprocess.Popen(cmd, env=env, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        r = subprocess.run(cmd, env=env, cwd=work, capture_output=True, text=True)
        return r.returncode, r.stdout, r.stderr

    def show(item, text):
        print(f"{item:>4}  {text}", flush=True)

    os.chdir(work)
    days = args.days
    dravel("simulate", "--days", days, "--start", "2024-03-01", "-o", "L0")
    dravel("simulate", "--days", days, "--start", "2024-03-01", "-o", "L0b", "--seed", "9")
    dravel("archive", "L0/*.h5", "-o", "CLEAN", "--workers", 2)

    def fresh(name, folder="L0"):
        shutil.copytree("CLEAN", name)
        shutil.copytree(folder, name + "-L0")
        shutil.rmtree(name)
        code = dravel("archive", f"{name}-L0/*.h5", "-o", name, "--workers", 2)[0]
        assert code == 0
        return name, f"{name}-L0"

    def tail(err):
        return " | ".join(err.strip().splitlines()[-2:])[:300]

    # 2. damaged state
    ar, l0 = fresh("S")
    state = os.path.join(ar, "dravel-archive.sqlite")
    with open(state, "r+b") as f:
        f.seek(os.path.getsize(state) // 2)
        f.write(b"\xa5" * 4096)
    code, out, err = dravel("-q", "archive", f"{l0}/*.h5", "-o", ar)
    show("2", f"damaged state: exit {code}, {len(err.strip().splitlines())} stderr line(s): {tail(err)}")
    mtimes = {p: os.stat(p).st_mtime_ns for p in glob.glob(f"{ar}/*/*/*/*.cdf")}
    code, out, err = dravel("archive", f"{l0}/*.h5", "-o", ar, "--repair")
    rewritten = sum(os.stat(p).st_mtime_ns != t for p, t in mtimes.items() if os.path.exists(p))
    show("2", f"--repair: exit {code}, {rewritten} of {len(mtimes)} day files rewritten; {tail(out or err)}")

    # 3. versions
    ar, l0 = fresh("V")
    dravel("archive", f"{l0}/*.h5", "-o", ar, "--data-version", "02")
    shutil.copy("L0b/L0_20240302.h5", f"{l0}/L0_20240302.h5")
    code, out, err = dravel("archive", f"{l0}/*.h5", "-o", ar)
    counts = {}
    for v in ("01", "02"):
        counts[v] = records(os.path.join(ar, "tswf/2024/03", f"zelk_l1_tswf_20240302_v{v}.cdf"))
    want = records_of_fresh(dravel, l0, "tswf", "20240302")
    show(
        "3",
        f"after a change, run without --data-version: tswf 03-02 holds {counts['01']} records "
        f"in v01, {counts['02']} in v02 (a clean run: {want})",
    )

    # 4. plots
    ar, l0 = fresh("P")
    dravel("archive", f"{l0}/*.h5", "-o", ar, "--quicklook")
    shutil.copy("L0b/L0_20240302.h5", f"{l0}/L0_20240302.h5")
    dravel("archive", f"{l0}/*.h5", "-o", ar)
    stale = [p for p in glob.glob(f"{ar}/*/*/*/*.png") if os.stat(p).st_mtime_ns < os.stat(p[:-4] + ".cdf").st_mtime_ns]
    show("4", f"rewritten without --quicklook: {len(stale)} plot(s) older than their day file left")

    # 5. messages
    ar, l0 = fresh("M")
    with open(f"{l0}/L0_20240303.h5", "r+b") as f:
        f.truncate(500000)
    code, out, err = dravel("archive", f"{l0}/*.h5", "-o", ar, "--workers", 2)
    failed = [line for line in err.splitlines() if line.startswith("FAILED")]
    show("5", f"truncated L0: {failed[0] if failed else err.strip()[:200]}")
    show(
        "5",
        f"  its path {failed[0].count('L0_20240303.h5') if failed else 0} time(s) in it, "
        f"'stored_eof' {'in it' if failed and 'stored_eof' in failed[0] else 'missing'}; "
        f"summary: {out.splitlines()[-3] if out else ''}",
    )
    code, out, err = dravel("archive", f"{l0}/*.h5", "-o", ar)
    show("5", f"rerun that writes nothing: {[ln for ln in out.splitlines() if 'day files' in ln]}")
    os.unlink(f"{l0}/L0_20240305.h5")
    os.unlink(f"{l0}/L0_20240303.h5")
    code, out, err = dravel("archive", f"{l0}/*.h5", "-o", ar)
    show(
        "5",
        f"an L0 file deleted: named {'yes' if 'L0_20240305.h5' in out + err else 'no'}; "
        f"removed day files named: {sum(ln.startswith('removed ') for ln in out.splitlines())}",
    )
    code, out, err = dravel("archive", l0, "-o", "M2")
    show("5", f"folder argument: exit {code}: {tail(out if code == 0 else err)}")

    # 9. damaged cache file, then its neighbour replaced
    ar, l0 = fresh("C")
    with sqlite3.connect(f"file:{ar}/dravel-archive.sqlite?mode=ro", uri=True) as db:
        cache = dict(db.execute("SELECT path, cache FROM l0_files"))[os.path.abspath(f"{l0}/L0_20240301.h5")]
    path = os.path.join(ar, cache)
    with open(path, "r+b") as f:
        f.seek(os.path.getsize(path) // 2)
        f.write(b"\x00" * 64)
    shutil.copy("L0b/L0_20240302.h5", f"{l0}/L0_20240302.h5")
    codes = [dravel("archive", f"{l0}/*.h5", "-o", ar)[0] for _ in range(2)]
    show(
        "9",
        f"damaged cache file, neighbour replaced: exits {codes}; archive equal to a clean "
        f"build: {same_as_clean(dravel, ar, l0)}",
    )

    # 10. damaged day file, time put back
    ar, l0 = fresh("D")
    day = os.path.join(ar, "tswf/2024/03/zelk_l1_tswf_20240302_v01.cdf")
    stat = os.stat(day)
    with open(day, "r+b") as f:
        f.seek(stat.st_size // 2)
        f.write(b"\x00" * 64)
    os.utime(day, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    code, out, err = dravel("archive", f"{l0}/*.h5", "-o", ar, "--verify")
    show(
        "10",
        f"day file damaged, time put back, --verify: exit {code}; "
        f"{[ln for ln in (out + err).splitlines() if 'again' in ln or 'error' in ln][:1]}; "
        f"equal to a clean build: {same_as_clean(dravel, ar, l0)}",
    )

    # 11. Parents
    ar, l0 = fresh("R")
    os.unlink(f"{l0}/L0_20240301.h5")
    dravel("archive", f"{l0}/*.h5", "-o", ar)
    stale = 0
    for p in glob.glob(f"{ar}/*/*/*/*.cdf"):
        if "L0_20240301.h5" in parents(p):
            stale += 1
    show("11", f"first L0 file removed: {stale} day file(s) still name it in Parents")

    # 12. readers
    ar, l0 = fresh("Q")
    reader = sqlite3.connect(f"{ar}/dravel-archive.sqlite", isolation_level=None)
    reader.execute("BEGIN")
    reader.execute("SELECT COUNT(*) FROM l0_files").fetchone()
    shutil.copy("L0b/L0_20240302.h5", f"{l0}/L0_20240302.h5")
    proc = dravel("archive", f"{l0}/*.h5", "-o", ar, wait=False)
    time.sleep(2)
    try:
        other = sqlite3.connect(f"{ar}/dravel-archive.sqlite", timeout=0)
        during = f"{other.execute('SELECT COUNT(*) FROM day_files').fetchone()[0]} rows read"
        other.close()
    except sqlite3.Error as exc:
        during = f"read failed: {exc}"
    out, err = proc.communicate()
    reader.execute("COMMIT")
    reader.close()
    left = sorted(os.path.basename(p) for p in glob.glob(f"{ar}/dravel-archive.sqlite*"))
    show(
        "12",
        f"a reader's open transaction: run exit {proc.returncode} {tail(err) if proc.returncode else ''}; "
        f"read during the run: {during}; state files after: {left}",
    )

    # 14. a first run with one L0 file failing: days held back
    shutil.copytree("L0", "H-L0")
    good = open("H-L0/L0_20240304.h5", "rb").read()
    with open("H-L0/L0_20240304.h5", "wb") as f:
        f.write(b"x" * 1000)
    code, out, err = dravel("archive", "H-L0/*.h5", "-o", "H")
    partial = glob.glob("H/*/*/*/*20240304*.cdf")
    show(
        "14",
        f"first run, the 03-04 L0 file failing: exit {code}, {len(partial)} day file(s) of "
        f"03-04 published; {[ln for ln in out.splitlines() if 'day files' in ln]}",
    )
    with open("H-L0/L0_20240304.h5", "wb") as f:
        f.write(good)
    code, out, err = dravel("archive", "H-L0/*.h5", "-o", "H")
    show("14", f"once it decodes: exit {code}; equal to a clean build: {same_as_clean(dravel, 'H', 'H-L0')}")
    print(f"work folder: {work}")


def records(path):
    from kesta.dravel.l1.cdf import read_cdf

    return len(read_cdf(path)[1]["Epoch"]) if os.path.exists(path) else None


def parents(path):
    from kesta.dravel.l1.writers import CDF

    with CDF.open(path) as day:
        return CDF.parents(day)


_clean = {}


def records_of_fresh(dravel, l0, product, day):
    out = clean_build(dravel, l0)
    return records(os.path.join(out, product, day[:4], day[4:6], f"zelk_l1_{product}_{day}_v01.cdf"))


def clean_build(dravel, l0):
    if l0 not in _clean:
        out = f"{l0}-fresh"
        shutil.rmtree(out, ignore_errors=True)
        dravel("archive", f"{l0}/*.h5", "-o", out, "--workers", 2)
        _clean[l0] = out
    return _clean[l0]


def same_as_clean(dravel, archive, l0):
    """Whether the _v01 day files of `archive` hold what a clean build of `l0` holds."""
    import numpy as np

    from kesta.dravel.l1.cdf import read_cdf
    from kesta.dravel.l1.errors import InputError

    want = clean_build(dravel, l0)
    names = sorted(os.path.relpath(p, want) for p in glob.glob(f"{want}/*/*/*/*.cdf"))
    got = sorted(os.path.relpath(p, archive) for p in glob.glob(f"{archive}/*/*/*/*_v01.cdf"))
    if names != got:
        return f"no ({len(got)} day files, {len(names)} wanted)"
    for rel in names:
        try:
            a = read_cdf(os.path.join(archive, rel))[1]
        except InputError:
            return f"no ({rel} cannot be read)"
        b = read_cdf(os.path.join(want, rel))[1]
        if a.keys() != b.keys() or any(not np.array_equal(a[k], b[k]) for k in a):
            return f"no ({rel} differs)"
    return "yes"


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    main()
