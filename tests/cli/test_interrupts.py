"""Ctrl-C ends every run, at any moment: exit 130 (or 0 with the whole file when it came after
the end), no partial file, no process left behind, within seconds."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import h5py
import psutil
import pytest

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import aside as aside_module
from kesta.dravel.l1 import convert
from kesta.dravel.l1.errors import Interrupted
from kesta.dravel.run import child

from cli_support import ROOT, dravel

# Enough THR packets for them to be decoded in a second process.
SCALE = 1 + aside_module.ASIDE_PACKETS // 28
END_SECONDS = 20  # an interrupted run that has not ended by then hangs


@pytest.fixture(scope="module")
def thr_l0(tmp_path_factory):
    path = tmp_path_factory.mktemp("interrupts") / "L0.h5"
    simulate_file(path, seed=3, scale=SCALE)
    return path


def helpers_of(pid):
    """The processes started by the run `pid` that still run (its second process lives in a
    session of its own, so it is found by its command line, which names the run's output)."""
    alive = []
    for p in psutil.process_iter(["cmdline", "status"]):
        if p.info["status"] != psutil.STATUS_ZOMBIE and any(f".{pid}.aside" in a for a in p.info["cmdline"] or ()):
            alive.append(p.pid)
    return alive


def gone(pids, timeout=5):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not any(psutil.pid_exists(p) and psutil.Process(p).status() != psutil.STATUS_ZOMBIE for p in pids):
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("moment", ["second-process-stuck", "copying-its-records"])
def test_interrupt_while_the_second_process_hands_back(thr_l0, tmp_path, monkeypatch, moment):
    monkeypatch.setattr(aside_module, "ASIDE_PACKETS", 1)
    stop, seen = [], []
    if moment == "second-process-stuck":
        waited = child.finished

        def finished(process, interrupted, *args):
            # frozen half way: it can neither finish nor answer SIGTERM
            os.kill(process.pid, signal.SIGSTOP)
            seen.append(process.pid)
            stop.append(True)
            return waited(process, interrupted, *args)

        monkeypatch.setattr(child, "finished", finished)
    else:
        from kesta.dravel.l1.hdf5 import HDF5Writer

        copy = HDF5Writer.copy

        def copying(self, source, result):
            stop.append(True)
            return copy(self, source, result)

        monkeypatch.setattr(HDF5Writer, "copy", copying)
    started = time.monotonic()
    with pytest.raises(Interrupted):
        convert(thr_l0, tmp_path / "L1.h5", interrupted=lambda: bool(stop))
    assert time.monotonic() - started < 60
    assert stop and list(tmp_path.iterdir()) == []
    assert gone(seen)


# Sends the process SIGINT when it first looks for module `argv[1]`, then runs the command line
# on the rest of argv: a Ctrl-C landing in the middle of an import.
TRIP = """
import os, signal, sys
name = sys.argv[1]
class Trip:
    def find_spec(self, fullname, path=None, target=None):
        if fullname == name:
            sys.meta_path.remove(self)
            os.kill(os.getpid(), signal.SIGINT)
sys.meta_path.insert(0, Trip())
sys.argv = ["dravel"] + sys.argv[2:]
from kesta.dravel.__main__ import main
sys.exit(main())
"""


# datetime: imported by NumPy's extension module as it starts up (an interrupt there became
# NumPy's ImportError); h5py._conv, an extension module of h5py's; argparse, once NumPy is in.
@pytest.mark.parametrize("module", ["datetime", "h5py._conv", "argparse"])
@pytest.mark.parametrize("command", ["decode", "simulate"])
def test_sigint_during_the_imports(thr_l0, tmp_path, module, command):
    if command == "decode":
        args = ("decode", thr_l0, "-o", tmp_path / "L1.h5")
    else:
        args = ("simulate", "-o", tmp_path / "L0.h5")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run(
        [sys.executable, "-c", TRIP, module, *map(str, args)], env=env, capture_output=True, text=True, timeout=60
    )
    assert (proc.returncode, proc.stderr) == (130, "dravel: interrupted\n")
    assert list(tmp_path.iterdir()) == []


def _run_until(l0, out, seconds, fmt, twice=False):
    proc = dravel("decode", l0, "-o", out, "--format", fmt, "-q")
    time.sleep(seconds)
    os.killpg(proc.pid, signal.SIGINT)  # as a terminal does: the whole process group
    if twice:
        time.sleep(0.02)
        try:
            os.killpg(proc.pid, signal.SIGINT)
        except ProcessLookupError:
            pass
    try:
        _, err = proc.communicate(timeout=END_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail(f"SIGINT after {seconds:.2f} s: the run did not end within {END_SECONDS} s")
    return proc, err


@pytest.mark.parametrize("fmt", ["hdf5", "cdf"])
def test_sigint_at_many_moments(thr_l0, tmp_path, fmt):
    whole = tmp_path / "whole"
    whole.mkdir()
    started = time.monotonic()
    proc = dravel("decode", thr_l0, "-o", whole / "out", "--format", fmt, "-q")
    assert proc.wait(timeout=300) == 0
    seconds = time.monotonic() - started
    moments = (0.05, 0.15, 0.3, 0.45, 0.6, 0.7, 0.8, 0.9, 1.1) if fmt == "hdf5" else (0.2, 0.5, 0.8)
    for k, fraction in enumerate(moments):
        folder = tmp_path / f"run{k}"
        folder.mkdir()
        out = folder / ("L1.h5" if fmt == "hdf5" else "cdf")
        proc, err = _run_until(thr_l0, out, seconds * fraction, fmt, twice=k % 3 == 2)
        assert gone(helpers_of(proc.pid)), f"a process outlived the run interrupted at {fraction:.0%}"
        if proc.returncode == 0:  # the signal came after the end
            if fmt == "hdf5":
                with h5py.File(out, "r") as f:
                    assert f["tswf"].attrs["status"] == "ok"
            continue
        if proc.returncode == -signal.SIGINT:  # before Python had started up
            assert err == "", err
        elif err.startswith("Fatal Python error: init_import_site"):
            pass  # in Python's own start-up, importing what site-packages' .pth files name
        else:
            assert proc.returncode == 130, err
            assert err.splitlines()[-1] == "dravel: interrupted"
        left = [p.name for p in Path(folder).rglob("*")]
        assert left in ([], ["cdf"]), f"interrupted at {fraction:.0%}, left {left}"
