"""Processes a run starts for its own work (the second decoding process, the day-file writers).

Each runs `main()` of one of our modules, sees the same modules as this process, and runs in a
session of its own: the terminal's Ctrl-C reaches this process only, which decides when they
stop. They are guarded: a run cut short kills them.
"""
from __future__ import annotations

import os
import subprocess
import sys

from . import output

STOP_SECONDS = 2.0      # a stopped process that has not gone by then is killed


def start(module, args, stderr=subprocess.DEVNULL):
    """Starts `module`.main() with `args` (its sys.argv[1:]) in a process of its own."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    process = subprocess.Popen([sys.executable, "-c", f"from {module} import main; main()", *map(str, args)],
                               env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                               start_new_session=True)
    output.guard_process(process.pid)
    return process


def stop(process):
    """Ends `process`, however far it got: SIGTERM, then SIGKILL if it lingers."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    output.unguard_process(process.pid)
