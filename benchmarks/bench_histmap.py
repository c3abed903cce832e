"""2-D histogram decoder: 1000 histograms of 64 x 64 bins, two packets each.

Prints histograms/s, output MB/s and the ratio of the decode time to NumPy allocating
and filling an output of the same size in the
same run; then the same with the sort and the time service replaced by near-free doubles, which
shows the decoder's own share (the time service is called once per histogram).
"""

import argparse
import logging
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from kesta.dravel.l1.store import ListTask
from kesta.dravel.simulate.histmap import Histogram, histmap_store
from kesta.dravel.tasks.tds import routine_histmap

from common import best_of, numpy_allocate_and_fill, own_share, report


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--histograms", type=int, default=1000)
    parser.add_argument("--bins", type=int, default=64)
    parser.add_argument("--chunk", type=int, default=2048)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    logging.getLogger("vantor").setLevel(logging.WARNING)
    rng = np.random.default_rng(1)
    hists = [
        Histogram(
            nx=args.bins,
            ny=args.bins,
            chunk=args.chunk,
            time=(10_000 + 10 * h, 0, 1),
            hist_id=h % 256,
            counts=rng.integers(0, 60000, size=(args.bins, args.bins), dtype=np.uint16),
        )
        for h in range(args.histograms)
    ]
    store = histmap_store(hists, rng=rng)[0]
    task = ListTask()
    seconds, out = best_of(lambda: routine_histmap.set_hist2d(store, task), args.repeat)
    assert len(out) == args.histograms
    baseline, _ = best_of(numpy_allocate_and_fill(out.dtype, len(out)), args.repeat)
    report("routine_histmap", "histograms", len(out), seconds, out.nbytes, baseline)
    own, _ = own_share(lambda: best_of(lambda: routine_histmap.set_hist2d(store, task), args.repeat))
    report("routine_histmap without sort and time service", "histograms", len(out), own, out.nbytes, baseline)


if __name__ == "__main__":
    main()
