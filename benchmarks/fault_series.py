"""Damaged L0 files through `dravel decode` and `dravel archive`, as a user's pipeline runs them.

    python benchmarks/fault_series.py [--files 60] [--seed 0] [--min-bits 30] [--max-bits 3000]
                                      [--timeout 120] [--jobs 2]

Makes one clean simulated L0 file (one day, as `dravel simulate --days 1` writes it), then FILES
copies of it, each with a seeded number of random bit flips (log-uniform from MIN_BITS to
MAX_BITS), and runs every copy through `dravel decode` (an L1 HDF5 file) and through `dravel
archive` (an archive of its own). Counts, per command: the runs that ended in a traceback, that
did not end within TIMEOUT seconds (killed, counted as hangs), whose last stderr line is not
`dravel: error: ...` while the exit is not 0, and the exit codes. The same seed gives the same
files. Figures depend on the machine's load: say when it was shared.
"""

import argparse
import collections
import concurrent.futures
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]


def flipped(clean, path, rng, bits):
    data = np.frombuffer(clean, dtype=np.uint8).copy()
    where = rng.integers(0, data.size * 8, size=bits)
    np.bitwise_xor.at(data, where // 8, (1 << (where % 8)).astype(np.uint8))
    path.write_bytes(data.tobytes())


def run(args, timeout):
    """(exit code or None when it hung, stderr) of one `dravel` run."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen(
        [sys.executable, "-m", "kesta.dravel", "-q", *map(str, args)],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        _, err = proc.communicate()
        return None, err
    return proc.returncode, err


class Tally:
    def __init__(self, name):
        self.name = name
        self.codes = collections.Counter()
        self.tracebacks, self.hangs, self.unexplained, self.failed_lines = [], [], [], 0
        self.seconds = 0.0

    def add(self, label, code, err, seconds):
        self.seconds += seconds
        if code is None:
            self.hangs.append(label)
            return
        self.codes[code] += 1
        if "Traceback (most recent call last)" in err:
            self.tracebacks.append(label)
        lines = err.strip().splitlines()
        if code and not (lines and lines[-1].startswith("dravel: error: ")):
            self.unexplained.append(label)
        self.failed_lines += sum(line.startswith("FAILED ") for line in lines)

    def lines(self, runs):
        codes = ", ".join(f"exit {k}: {v}" for k, v in sorted(self.codes.items()))
        out = [
            f"{self.name}: {runs} runs in {self.seconds:.0f} s: {len(self.tracebacks)} traceback(s), "
            f"{len(self.hangs)} hang(s), {len(self.unexplained)} exit(s) without an error line; {codes}"
        ]
        if self.name == "archive":
            out[0] += f"; {self.failed_lines} FAILED line(s)"
        for what, labels in (("traceback", self.tracebacks), ("hang", self.hangs), ("no error line", self.unexplained)):
            if labels:
                out.append(f"  {what}: {', '.join(labels[:10])}{' ...' if len(labels) > 10 else ''}")
        return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=60)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--min-bits", type=int, default=30)
    parser.add_argument("--max-bits", type=int, default=3000)
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds a run may take")
    parser.add_argument("--jobs", type=int, default=2, help="runs at a time")
    args = parser.parse_args()

    from kesta.dravel.cli.simulate import simulate_days

    with tempfile.TemporaryDirectory(prefix="dravel-faults-") as tmp:
        folder = Path(tmp)
        simulate_days(folder / "clean", 1, "2024-03-01", args.seed, False)
        (clean_path,) = sorted((folder / "clean").glob("*.h5"))
        clean = clean_path.read_bytes()
        rng = np.random.default_rng(args.seed)
        low, high = np.log(args.min_bits), np.log(args.max_bits)
        cases = []
        for k in range(args.files):
            bits = int(round(np.exp(rng.uniform(low, high))))
            case = folder / f"f{k:03d}"
            case.mkdir()
            flipped(clean, case / clean_path.name, rng, bits)
            cases.append((f"#{k} ({bits} bits)", case))
        print(
            f"{args.files} copies of {clean_path.name} ({len(clean) / 1e6:.2f} MB), "
            f"{args.min_bits} to {args.max_bits} bits flipped (seed {args.seed}); timeout {args.timeout:g} s"
        )

        tallies = {"decode": Tally("decode"), "archive": Tally("archive")}

        def one(command, label, case):
            l0 = case / clean_path.name
            argv = ["decode", l0, "-o", case / "L1.h5"] if command == "decode" else ["archive", l0, "-o", case / "A"]
            started = time.monotonic()
            code, err = run(argv, args.timeout)
            return command, label, code, err, time.monotonic() - started

        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            futures = [pool.submit(one, command, label, case) for command in tallies for label, case in cases]
            for future in futures:
                command, label, code, err, seconds = future.result()
                tallies[command].add(label, code, err, seconds)
        for tally in tallies.values():
            print(*tally.lines(args.files), sep="\n")
        bad = sum(len(t.tracebacks) + len(t.hangs) + len(t.unexplained) for t in tallies.values())
        return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
