"""Writing the ISTP CDF files of a large decoded file against writing its L1 HDF5 file, in the
same run, from the same records in memory.

    python benchmarks/bench_l1_formats.py [--scale 64]
"""
import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from kesta.dravel.cli.simulate import simulate_file  # noqa: E402
from kesta.dravel.l1 import decode_file  # noqa: E402
from kesta.dravel.l1 import hdf5  # noqa: E402
from kesta.dravel.l1.cdf import write_cdf  # noqa: E402
from kesta.dravel.l1.netcdf import write_netcdf  # noqa: E402


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=64, help="copies of the demo content (default 64)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="dravel-bench-") as folder:
        l0 = os.path.join(folder, "L0.h5")
        simulate_file(l0, seed=0, scale=args.scale)
        result = decode_file(l0)
        raw = sum(p.data.nbytes for p in result.products)

        def to_hdf5():
            hdf5.write(result, os.path.join(folder, "L1.h5"))

        def to(writer, sub):
            def run():
                out = os.path.join(folder, sub)
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                for p in result.products:
                    writer(p.data, p.product, out, parents="L0.h5")
            return run

        best = {}
        for _ in range(args.repeat):
            for name, fn in (("HDF5 file", to_hdf5), ("CDF files", to(write_cdf, "cdf")),
                             ("netCDF files", to(write_netcdf, "nc"))):
                best[name] = min(best.get(name, float("inf")), timed(fn))
        sizes = {"HDF5 file": os.path.getsize(os.path.join(folder, "L1.h5")),
                 "CDF files": sum(f.stat().st_size for f in Path(folder, "cdf").iterdir()),
                 "netCDF files": sum(f.stat().st_size for f in Path(folder, "nc").iterdir())}
    print(f"{len(result.products)} products, {result.records} records, {raw / 1e6:.0f} MB of records "
          f"(demo content x{args.scale})")
    print(f"{'':14}{'seconds':>9}{'MB/s':>8}{'file MB':>9}{'vs HDF5':>9}")
    for name, seconds in best.items():
        print(f"{name:14}{seconds:9.2f}{raw / 1e6 / seconds:8.0f}{sizes[name] / 1e6:9.0f}"
              f"{seconds / best['HDF5 file']:8.2f}x")


if __name__ == "__main__":
    main()
