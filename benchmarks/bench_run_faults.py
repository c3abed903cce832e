"""Runs under faults, as a user's pipeline sees them (each command a process of its own).

    python benchmarks/bench_run_faults.py kill-run    [--moments 10]
    python benchmarks/bench_run_faults.py kill-worker [--moments 10] [--days 10] [--dask]
    python benchmarks/bench_run_faults.py race        [--runs 300] [--days 3]

kill-run: `kill -9` of `dravel decode` (HDF5, CDF, netCDF), `batch --workers 2` and `archive
--workers 2` at MOMENTS moments from 5% to 95% of a clean run: counts the runs that left a
process alive 5 s later, or kept the caller's pipes open. kill-worker: `kill -9` of one pool
worker of `archive --workers 2` (with --dask: of a local Dask cluster of 2 workers under
nannies) at MOMENTS moments from 5% to 95% of a clean run (both stages: decoding, day files):
the run's time as a ratio to the clean run's (the floor), and whether its day files hold the
clean run's records. race:
RUNS small archive runs in a row, 2 workers: failures and time, per run as a ratio to the
first run. Figures depend on the machine's load: say when it was shared.
"""

import argparse
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import psutil

ROOT = Path(__file__).resolve().parents[1]
# a run's processes found by the mark its environment carries, as the tests find them
sys.path.insert(0, str(ROOT / "tests" / "cli"))
from run_support import marked, start  # noqa: E402

STATE = "dravel-archive.sqlite"


def timed(*args):
    started = time.monotonic()
    proc, _ = start(*args)
    out, err = proc.communicate()
    if proc.returncode:
        raise SystemExit(f"clean run failed ({proc.returncode}): {err.decode()}")
    return time.monotonic() - started


def inputs(folder, days):
    from kesta.dravel.cli.simulate import simulate_days, simulate_file

    simulate_file(folder / "big.h5", seed=1, scale=20)
    for k in range(6):
        simulate_file(folder / f"b{k}.h5", seed=10 + k, scale=4)
    simulate_days(folder / "days", days, "2024-03-01", 7, False)


def kill_run(args, folder):
    commands = {
        "decode hdf5": ["decode", folder / "big.h5", "-o", "{out}/L1.h5"],
        "decode cdf": ["decode", folder / "big.h5", "-o", "{out}/cdf", "--format", "cdf"],
        "decode netcdf": ["decode", folder / "big.h5", "-o", "{out}/nc", "--format", "netcdf"],
        "batch --workers 2": ["batch", *sorted(folder.glob("b*.h5")), "-o", "{out}/batch", "--workers", "2"],
        "archive --workers 2": [
            "archive",
            *sorted((folder / "days").glob("*.h5")),
            "-o",
            "{out}/archive",
            "--workers",
            "2",
        ],
    }
    print(f"kill -9 of a run at {args.moments} moments from 5% to 95% of a clean run")
    total_bad = 0
    for name, command in commands.items():
        with tempfile.TemporaryDirectory() as out:
            clean = timed(*[str(a).format(out=out) for a in command])
        bad, pipes = 0, []
        for k in range(args.moments):
            share = 0.05 + 0.9 * k / max(1, args.moments - 1)
            with tempfile.TemporaryDirectory() as out:
                proc, mark = start(*[str(a).format(out=out) for a in command])
                time.sleep(clean * share)
                os.kill(proc.pid, signal.SIGKILL)
                killed = time.monotonic()
                try:
                    proc.communicate(timeout=60)
                    pipes.append(time.monotonic() - killed)
                except subprocess.TimeoutExpired:
                    pipes.append(float("inf"))
                time.sleep(max(0.0, 5.0 - (time.monotonic() - killed)))
                left = marked(mark)
                for p in left:
                    p.kill()
                bad += bool(left) or pipes[-1] > 5
        total_bad += bad
        print(
            f"  {name}: clean run {clean:.1f} s; {bad} of {args.moments} kills left a process "
            f"or the pipes open; pipes closed within {max(pipes):.2f} s of the kill "
            f"({max(pipes) / clean:.2f}x the clean run)"
        )
    return total_bad


def day_records(archive):
    with sqlite3.connect(os.path.join(archive, STATE)) as db:
        return dict(((p, d), h) for p, d, h in db.execute("SELECT product, day, records_sha256 FROM day_files"))


def workers_of(mark, parent):
    return [p for p in marked(mark) if p.pid != parent and "run.worker" in " ".join(p.cmdline())]


class Cluster:
    """A Dask scheduler and two workers (each under a nanny, which starts it again when it
    dies) on 127.0.0.1, as processes of their own."""

    def __init__(self, folder):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
        file = folder / "scheduler.json"
        self.procs = [
            subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "distributed.cli.dask_scheduler",
                    "--host",
                    "127.0.0.1",
                    "--port",
                    "0",
                    "--no-dashboard",
                    "--scheduler-file",
                    str(file),
                ],
                env=env,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                start_new_session=True,
            )
        ]
        while not file.exists() or not file.read_text().strip():
            time.sleep(0.1)
        time.sleep(0.3)
        import json

        self.address = json.loads(file.read_text())["address"]
        for name in ("w1", "w2"):
            self.procs.append(
                subprocess.Popen(
                    [
                        sys.executable,
                        "-m",
                        "distributed.cli.dask_worker",
                        self.address,
                        "--nthreads",
                        "1",
                        "--no-dashboard",
                        "--name",
                        name,
                    ],
                    env=env,
                    cwd=folder,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                    start_new_session=True,
                )
            )
        import distributed

        with distributed.Client(self.address, timeout="60s", set_as_default=False) as client:
            client.wait_for_workers(2, timeout=120)

    def workers(self):
        return [
            c
            for nanny in self.procs[1:]
            for c in psutil.Process(nanny.pid).children()
            if "resource_tracker" not in " ".join(c.cmdline())
        ]

    def stop(self):
        for proc in self.procs:
            for p in psutil.Process(proc.pid).children(recursive=True) + [psutil.Process(proc.pid)]:
                try:
                    p.kill()
                except psutil.NoSuchProcess:
                    pass
            proc.wait()


def kill_worker(args, folder):
    days = sorted((folder / "days").glob("*.h5"))
    cluster = Cluster(folder) if args.dask else None
    where = ["--scheduler", cluster.address] if cluster else ["--workers", "2"]
    try:
        with tempfile.TemporaryDirectory(dir=folder) as out:
            clean = timed("archive", *days, "-o", f"{out}/a", *where)
            expected = day_records(f"{out}/a")
        print(f"kill -9 of one worker of archive {' '.join(where[:1])} ({len(days)} days): clean run {clean:.1f} s")
        worst, hung, unequal = 0.0, 0, 0
        for k in range(args.moments):
            share = 0.05 + 0.9 * k / max(1, args.moments - 1)
            with tempfile.TemporaryDirectory(dir=folder) as out:
                started = time.monotonic()
                proc, mark = start("archive", *days, "-o", f"{out}/a", *where)
                time.sleep(clean * share)
                victims = cluster.workers() if cluster else workers_of(mark, proc.pid)
                if victims:
                    victims[0].kill()
                try:
                    _, err = proc.communicate(timeout=clean * 10 + 30)
                except subprocess.TimeoutExpired:
                    hung += 1
                    for p in marked(mark):
                        p.kill()
                    proc.communicate()
                    continue
                seconds = time.monotonic() - started
                same = proc.returncode == 0 and day_records(f"{out}/a") == expected
                unequal += not same
                worst = max(worst, seconds / clean)
                print(
                    f"  at {share:.0%}: {'a worker killed' if victims else 'no worker then'}, "
                    f"{seconds:.1f} s = {seconds / clean:.2f}x the clean run, "
                    f"{'equal to' if same else 'DIFFERS from'} the clean run"
                    + ("" if proc.returncode == 0 else f" (exit {proc.returncode}: {err.decode().strip()})"),
                    flush=True,
                )
            if cluster:  # the nanny's new worker joins before the next run
                import distributed

                with distributed.Client(cluster.address, timeout="60s", set_as_default=False) as client:
                    client.wait_for_workers(2, timeout=120)
        print(f"  worst {worst:.2f}x the clean run; {hung} hung; {unequal} differ")
    finally:
        if cluster:
            cluster.stop()
    return hung + unequal


def race(args, folder):
    days = sorted((folder / "days").glob("*.h5"))[: args.days]
    failures, started, first = 0, time.monotonic(), None
    for k in range(args.runs):
        with tempfile.TemporaryDirectory() as out:
            t0 = time.monotonic()
            proc, _ = start("archive", *days, "-o", f"{out}/a", "--workers", "2")
            out_text, err = proc.communicate()
            first = first or time.monotonic() - t0
            if proc.returncode:
                failures += 1
                print(f"  run {k + 1}: exit {proc.returncode}: {err.decode().strip()[-300:]}")
        if (k + 1) % 25 == 0:
            print(f"  {k + 1} runs, {failures} failed, {time.monotonic() - started:.0f} s", flush=True)
    seconds = time.monotonic() - started
    print(
        f"{args.runs} archive runs of {len(days)} days, 2 workers: {failures} failed, in {seconds:.0f} s "
        f"({seconds / args.runs:.1f} s a run = {seconds / args.runs / first:.2f}x the first run)"
    )
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["kill-run", "kill-worker", "race"])
    parser.add_argument("--moments", type=int, default=10)
    parser.add_argument("--days", type=int, default=10)
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--dask", action="store_true", help="kill-worker: on a local Dask cluster")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT))
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        inputs(folder, max(args.days, 3))
        bad = {"kill-run": kill_run, "kill-worker": kill_worker, "race": race}[args.what](args, folder)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
