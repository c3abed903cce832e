"""`dravel decode` of a large L0 file against its I/O floor, measured in the same run.

The floor is what any decode of the file pays at least: reading every L0 dataset, and writing
the bytes of its L1 records uncompressed. Prints L0 MB/s, both times and their ratio, the peak
resident memory of the decode and the compression ratio of the L1 file.

    python benchmarks/bench_decode_file.py [--scale 256] [--repeat 3]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import h5py
import numpy as np

ROOT = Path(__file__).resolve().parents[1]


def read_every_dataset(path, packet_types=None):
    with h5py.File(path, "r") as f:
        datasets = []
        for name, group in f["TM"].items():
            if packet_types is None or name in packet_types:
                group.visititems(lambda _, node: datasets.append(node) if isinstance(node, h5py.Dataset) else None)
        return sum(d[()].nbytes for d in datasets)


def write_bytes(path, nbytes, block=1 << 20):
    buffer = np.zeros(block, np.uint8)
    with open(path, "wb") as out:
        for start in range(0, nbytes, block):
            out.write(buffer[: min(block, nbytes - start)])
    os.unlink(path)


def floor_seconds(l0, raw_bytes, folder, packet_types=None):
    t0 = time.perf_counter()
    read_every_dataset(l0, packet_types)
    write_bytes(os.path.join(folder, "floor.bin"), raw_bytes)
    return time.perf_counter() - t0


def decode(l0, l1, products=None):
    """(seconds, peak RSS in MB, CPU seconds) of `dravel decode` in a process of its own (the CPU
    time counts its threads and the processes it waited for)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
    extra = ["--products", ",".join(products)] if products else []
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "kesta.dravel", "-q", "decode", l0, "-o", l1, *extra], env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode:
        raise SystemExit(f"dravel decode failed with exit code {proc.returncode}")
    return seconds, usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=256, help="copies of the demo content (default 256)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each; the best is kept")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT))
    from kesta.dravel.cli.simulate import simulate_file
    from kesta.dravel.l1.hdf5 import product_datasets
    from kesta.dravel.products import PRODUCTS

    selections = {"every product": None, "TDS products": [p.name for p in PRODUCTS if p.receiver == "tds"]}
    with tempfile.TemporaryDirectory(prefix="dravel-bench-", dir=os.environ.get("TMPDIR")) as folder:
        l0, l1 = os.path.join(folder, "L0.h5"), os.path.join(folder, "L1.h5")
        simulate_file(l0, seed=0, scale=args.scale)
        print(f"L0 file: {os.path.getsize(l0) / 1e6:.0f} MB (demo content x{args.scale})")
        for label, products in selections.items():
            types = None if products is None else {n for p in PRODUCTS if p.name in products for n in p.packets}
            decode(l0, l1, products)  # warm: the page cache holds the L0 file for both measurements
            with h5py.File(l1, "r") as f:
                raw = sum(d.shape[0] * d.dtype.itemsize for d in product_datasets(f).values())
            l0_bytes = read_every_dataset(l0, types)
            runs, floors = [], []
            for _ in range(args.repeat):
                floors.append(floor_seconds(l0, raw, folder, types))
                runs.append(decode(l0, l1, products))
            (seconds, _, cpu), floor = min(runs), min(floors)
            stored = os.path.getsize(l1)
            print(f"{label}: L0 datasets {l0_bytes / 1e6:.0f} MB, L1 records {raw / 1e6:.0f} MB raw")
            print(f"  {'':16}{'seconds':>9}{'L0 MB/s':>10}")
            print(
                f"  {'I/O floor':16}{floor:9.2f}{l0_bytes / 1e6 / floor:10.0f}   "
                f"(slowest of {len(floors)}: {max(floors):.2f} s)"
            )
            print(
                f"  {'dravel decode':16}{seconds:9.2f}{l0_bytes / 1e6 / seconds:10.0f}   "
                f"(slowest of {len(runs)}: {max(runs)[0]:.2f} s; CPU {cpu:.2f} s on {os.cpu_count()} cores)"
            )
            print(
                f"  ratio to the floor: {seconds / floor:.2f}x   peak RSS: {max(r for _, r, _ in runs):.0f} MB   "
                f"L1 file: {stored / 1e6:.0f} MB, {stored / raw:.1%} of its raw bytes (x{raw / stored:.1f})"
            )


if __name__ == "__main__":
    main()
