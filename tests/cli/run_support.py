"""Finding every process a run started, wherever it was reparented: each inherits a mark put
in the run's environment."""

import os
import subprocess
import sys
import time
import uuid

import psutil

from cli_support import ROOT

MARK = "DRAVEL_TEST_RUN"


def start(*args, cwd=None):
    """(`dravel args` as a process of its own with its output piped, its mark)."""
    mark = uuid.uuid4().hex
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]), **{MARK: mark})
    proc = subprocess.Popen(
        [sys.executable, "-m", "kesta.dravel", *map(str, args)],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    return proc, mark


def marked(mark):
    """The processes alive (not zombies) that carry `mark`."""
    found = []
    for p in psutil.process_iter(["status"]):
        try:
            if p.info["status"] != psutil.STATUS_ZOMBIE and p.environ().get(MARK) == mark:
                found.append(p)
        except (psutil.NoSuchProcess, psutil.AccessDenied):
            continue
    return found


def wait_for_children(proc, mark, n, timeout=60):
    """Waits until the run `proc` has `n` processes besides itself; False when it ended first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        if len([p for p in marked(mark) if p.pid != proc.pid]) >= n:
            return True
        time.sleep(0.05)
    return False


def survivors(mark, timeout=5.0):
    """The processes of the run still alive `timeout` seconds from now (sooner when none is)."""
    deadline = time.monotonic() + timeout
    while True:
        alive = marked(mark)
        if not alive or time.monotonic() > deadline:
            return alive
        time.sleep(0.1)
