"""LFM decoders: 20000 spectral-matrix packets (type 2, 200 frequencies) and 20000
power-spectral-density packets (6 channels of 200 frequencies).

Prints records/s, output MB/s and the ratio of the decode time to NumPy allocating
and filling an output of the same size in the
same run; then the same with the sort (which copies every data block) and the time service
replaced by near-free doubles, which shows the decoders' own share.
"""

import argparse
import logging
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from kesta.dravel.l1.store import ListTask
from kesta.dravel.simulate.lfm import SpecMat, Spectra, density_store, specmat_store
from kesta.dravel.tasks.tds import slowmode_density, slowmode_specmat

from common import best_of, numpy_allocate_and_fill, own_share, report


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--packets", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    logging.getLogger("vantor").setLevel(logging.WARNING)
    rng = np.random.default_rng(1)
    n = args.packets
    sms = [SpecMat(type=2, nf=200, time=(10_000 + i, 0, 1)) for i in range(n)]
    psds = [Spectra(nf=200, time=(10_000 + i, 0, 1)) for i in range(n)]
    for name, entry, store in (
        ("slowmode_specmat", slowmode_specmat.set_sm, specmat_store(sms, rng=rng)[0]),
        ("slowmode_density", slowmode_density.set_psd, density_store(psds, rng=rng)[0]),
    ):
        task = ListTask()
        seconds, out = best_of(lambda: entry(store, task), args.repeat)  # noqa: B023 - called within the iteration
        assert len(out) == n
        baseline, _ = best_of(numpy_allocate_and_fill(out.dtype, len(out)), args.repeat)
        report(name, "records", len(out), seconds, out.nbytes, baseline)
        own, _ = own_share(lambda: best_of(lambda: entry(store, task), args.repeat))  # noqa: B023 - called within the iteration
        report(name + " without sort and time service", "records", len(out), own, out.nbytes, baseline)


if __name__ == "__main__":
    main()
