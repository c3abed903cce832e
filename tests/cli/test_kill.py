"""`kill -9` of a run, and of one worker of a run. A killed run leaves no process of its own
alive and the caller's pipes closed; a killed worker costs the run only what it was running,
and the run ends equal to a clean one."""

import os
import signal
import time

import h5py
import pytest

from kesta.dravel.cli.simulate import simulate_days, simulate_file
from kesta.dravel.l1 import aside as aside_module
from kesta.dravel.l1.hdf5 import product_datasets

from records_support import assert_same_records
from run_support import marked, start, survivors, wait_for_children

SCALE = 1 + aside_module.ASIDE_PACKETS // 28  # THR products go to a second process


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("kill")
    simulate_file(folder / "thr.h5", seed=5, scale=SCALE)
    for k in range(4):
        simulate_file(folder / f"b{k}.h5", seed=10 + k, scale=6)
    simulate_days(folder / "days", 4, "2024-03-01", 7, False)
    return folder


def kill_and_check(proc, mark, after):
    time.sleep(after)
    os.kill(proc.pid, signal.SIGKILL)
    started = time.monotonic()
    # the caller reads the run's output to its end: it ends once no process holds the pipes
    proc.communicate(timeout=30)
    assert time.monotonic() - started < 10, "the run's children held the caller's pipes"
    left = survivors(mark)
    assert not left, [(p.pid, p.cmdline()) for p in left]


@pytest.mark.parametrize("after", [0.0, 1.0])
def test_kill_9_of_decode_leaves_no_process(inputs, tmp_path, after):
    proc, mark = start("decode", inputs / "thr.h5", "-o", tmp_path / "L1.h5")
    assert wait_for_children(proc, mark, 1), "no second process started"
    kill_and_check(proc, mark, after)


@pytest.mark.parametrize("command", ["batch", "archive"])
@pytest.mark.parametrize("after", [0.0, 1.5])
def test_kill_9_of_a_pool_run_leaves_no_process(inputs, tmp_path, command, after):
    sources = [inputs / f"b{k}.h5" for k in range(4)] if command == "batch" else sorted((inputs / "days").glob("*.h5"))
    # netCDF day files: the sanitized test run cannot write CDF files
    extra = ("--format", "netcdf") if command == "archive" else ()
    proc, mark = start(command, *sources, "-o", tmp_path / "out", "--workers", "2", *extra)
    assert wait_for_children(proc, mark, 2), "the workers did not start"
    kill_and_check(proc, mark, after)


def records_of(folder):
    found = {}
    for path in sorted(folder.glob("*.h5")):
        with h5py.File(path, "r") as f:
            found[path.name] = {name: d[()] for name, d in product_datasets(f).items()}
    return found


def test_a_killed_pool_worker_costs_only_its_file(inputs, tmp_path):
    sources = [inputs / f"b{k}.h5" for k in range(4)]
    proc, mark = start("batch", *sources, "-o", tmp_path / "clean", "--workers", "2")
    proc.communicate(timeout=120)
    assert proc.returncode == 0
    proc, mark = start("batch", *sources, "-o", tmp_path / "killed", "--workers", "2")
    assert wait_for_children(proc, mark, 2)
    # a pool worker, once it has started (its command line is that of the worker module)
    deadline, workers = time.monotonic() + 30, []
    while not workers and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.1)
        workers = [p for p in marked(mark) if p.pid != proc.pid and "run.worker" in " ".join(p.cmdline())]
    assert workers
    os.kill(workers[0].pid, signal.SIGKILL)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err.decode()
    assert b"4 of 4 file(s) decoded without error" in out
    clean, killed = records_of(tmp_path / "clean"), records_of(tmp_path / "killed")
    assert clean.keys() == killed.keys()
    for name in clean:
        assert clean[name].keys() == killed[name].keys()
        for product, records in clean[name].items():
            assert_same_records(killed[name][product], records, exact=True, label=f"{name}: {product}")
    assert not survivors(mark, 1.0)
    assert not [n for n in os.listdir(tmp_path / "killed") if n.startswith(".")]
