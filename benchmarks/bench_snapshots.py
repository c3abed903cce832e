"""Snapshot decoders: 200 four-channel snapshots of 16384 samples per channel.

Prints snapshots/s, output MB/s and the ratio of the decode time to NumPy allocating and
filling an output of the same size in the same run.
"""

import argparse
import logging
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from kesta.dravel.l1.store import ListTask
from kesta.dravel.simulate.snapshots import Snapshot, snapshot_store
from kesta.dravel.tasks.tds import routine_regsnap, routine_trigsnap

from common import best_of, numpy_allocate_and_fill, report


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--snapshots", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    logging.getLogger("vantor").setLevel(logging.WARNING)
    rng = np.random.default_rng(1)
    for kind, module, entry in (
        ("trig", routine_trigsnap, routine_trigsnap.set_tswf),
        ("reg", routine_regsnap, routine_regsnap.set_rswf),
    ):
        snaps = [
            Snapshot(
                length=16384,
                snapshot_nr=s % 65536,
                time=(10_000 + 10 * s, 0, 1),
                waveform=rng.integers(-3000, 3000, size=(4, 16384), dtype=np.int16),
            )
            for s in range(args.snapshots)
        ]
        store = snapshot_store(snaps, kind, rng=rng)[0]
        task = ListTask()
        seconds, out = best_of(lambda: entry(store, task), args.repeat)  # noqa: B023 - called within the iteration
        assert len(out) == args.snapshots and not task.reports
        baseline, _ = best_of(numpy_allocate_and_fill(out.dtype, len(out)), args.repeat)
        report(f"{module.__name__.rsplit('.', 1)[1]}", "snapshots", len(out), seconds, out.nbytes, baseline)


if __name__ == "__main__":
    main()
