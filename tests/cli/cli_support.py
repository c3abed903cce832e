"""Helpers shared by the command-line tests."""

import importlib
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from kesta.dravel.cli import main
from kesta.dravel.simulate.snapshots import PACKETS, Snapshot, expected_records, snapshot_group
from kesta.dravel.simulate.store import write_hdf5

ROOT = Path(__file__).resolve().parents[2]
START = 60  # seconds for a process of a cluster to come up


def dravel(*args, cwd=None):
    """The command line as a process of its own, in a session of its own (a signal to its
    process group reaches it and its workers only); stdout and stderr piped as text."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
    return subprocess.Popen(
        [sys.executable, "-m", "kesta.dravel", *map(str, args)],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )


def run(capsys, *args):
    """Runs the command line; returns (exit code, stdout, stderr)."""
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def decoder_available(module):
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def _wave(length, seed):
    rng = np.random.default_rng(seed)
    return rng.integers(-3000, 3000, size=(4, length), dtype=np.int16)


def snapshot_cases():
    """Snapshots of the four snapshot packet types, with missing, duplicated and bad packets.

    {product name: (packet name, kind, snapshots)}; snapshots in time order.
    """
    cases = {}
    for product, kind, sbm in (
        ("tswf", "trig", False),
        ("tswf_sbm2", "trig", True),
        ("rswf", "reg", False),
        ("rswf_sbm1", "reg", True),
    ):
        snaps = [
            Snapshot(length=1024, snapshot_nr=7, time=(5000, 0, 1), rate_code=1, waveform=_wave(1024, 1)),
            Snapshot(
                length=2048,
                channels=(1, 0, 1, 0),
                snapshot_nr=8,
                time=(5010, 0, 0),
                rate_code=3,
                waveform=_wave(2048, 2),
                missing=(2,),
            ),
            Snapshot(
                length=512, snapshot_nr=9, time=(5020, 0, 1), rate_code=0, waveform=_wave(512, 3), duplicated=(1,)
            ),
            Snapshot(
                length=1024,
                channels=(0, 1, 1, 1),
                snapshot_nr=10,
                time=(5030, 0, 1),
                rate_code=4,
                waveform=_wave(1024, 4),
                samples_override={1: 9},
            ),
        ]
        cases[product] = (PACKETS[(kind, sbm)], kind, snaps)
    return cases


def write_snapshot_file(path, seed=11):
    """Writes the snapshot cases (shuffled) as an L0 file; returns {product: expected}."""
    groups, expected = {}, {}
    rng = np.random.default_rng(seed)
    for product, (packet, kind, snaps) in snapshot_cases().items():
        groups[packet] = snapshot_group(snaps, kind, rng=rng, shuffle=True)
        expected[product] = expected_records(snaps, kind)
    write_hdf5(path, groups)
    return expected


class Cluster:
    """A Dask scheduler and workers started as processes of their own, each in a folder of its own
    under `root`, on 127.0.0.1, and stopped by their process ids."""

    def __init__(self, root):
        self.root, self.procs, self.address = root, [], None

    def _start(self, name, *args, wrap=()):
        folder = self.root / name
        folder.mkdir()
        log = open(folder / "log", "wb")
        # the workers run the code under test, not an installed copy of it
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
        proc = subprocess.Popen(
            [*wrap, sys.executable, "-m", "distributed.cli." + args[0], *args[1:]],
            cwd=folder,
            env=env,
            stdout=log,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )
        log.close()
        self.procs.append(proc)
        return proc

    def scheduler(self):
        file = self.root / "scheduler.json"
        self._start(
            "scheduler",
            "dask_scheduler",
            "--host",
            "127.0.0.1",
            "--port",
            "0",
            "--no-dashboard",
            "--scheduler-file",
            str(file),
        )
        deadline = time.monotonic() + START
        while not file.exists() or not file.read_text().strip():
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        time.sleep(0.2)  # the file is written whole
        self.address = json.loads(file.read_text())["address"]
        return self.address

    def worker(self, name, wrap=()):
        return self._start(
            name,
            "dask_worker",
            self.address,
            "--nthreads",
            "1",
            "--no-nanny",
            "--no-dashboard",
            "--name",
            name,
            wrap=wrap,
        )

    def client(self):
        import distributed

        return distributed.Client(self.address, timeout="30s", set_as_default=False)

    def wait_for(self, client, n):
        client.wait_for_workers(n, timeout=START)

    def stop(self):
        for proc in self.procs:
            if proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
        for proc in self.procs:
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()
