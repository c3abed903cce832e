"""The coverage page of a year's archive: 11 products x 365 days, 365 L0 files, from a synthetic
summary (holes, gaps, reports and records past the last midnight included). Prints the page's
size and the time to write it, as a ratio to the floor of the same run: writing the same number
of bytes (the summary serialised as JSON, repeated) to a file in the same folder.

    python benchmarks/bench_coverage_page.py [--days 365]
"""

import argparse
import datetime
import json
import os
import random
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from kesta.dravel.archive.coverage import write_page

from common import best_of

PRODUCTS = [
    "tnr_normal",
    "tnr_burst",
    "tnr_calibration",
    "hfr_calibration",
    "tswf",
    "tswf_sbm2",
    "rswf",
    "rswf_sbm1",
    "hist2d",
    "lfm_sm",
    "lfm_psd",
]


def summary(days, seed=1):
    rng = random.Random(seed)
    first = datetime.date(2024, 1, 1)
    dates = [(first + datetime.timedelta(days=k)).strftime("%Y%m%d") for k in range(days + 1)]
    products = {}
    for name in PRODUCTS:
        entries = []
        for k, d in enumerate(dates):
            if k == days and not name.startswith("tnr"):
                continue  # only the TNR runs past the last midnight
            if rng.random() < 0.02:
                continue  # a hole
            entries.append(
                {
                    "day": d,
                    "records": rng.randint(4, 5000),
                    "duplicates": rng.randint(0, 3),
                    "gaps": 0,
                    "largest_gap_s": rng.choice([600.0, 700.0, 30000.0]),
                    "reported": int(rng.random() < 0.05),
                    "warnings": 0,
                    "file": f"{name}/{d[:4]}/{d[4:6]}/zelk_l1_{name}_{d}_v01.cdf",
                    "plot": f"{name}/{d[:4]}/{d[4:6]}/zelk_l1_{name}_{d}_v01.png",
                    "sources": [f"L0_{d}.h5"] + ([f"L0_{dates[k - 1]}.h5"] if k else []),
                }
            )
        products[name] = entries
    files = [
        {
            "name": f"L0_{d}.h5",
            "status": "ok",
            "message": "",
            "size": 1_500_000,
            "first": f"{d[:4]}-{d[4:6]}-{d[6:]}T00:00:10Z",
            "last": f"{d[:4]}-{d[4:6]}-{d[6:]}T23:59:00Z",
            "days": [d, dates[k + 1]],
            "records": 12345,
            "reported": 0,
            "warnings": 0,
            "product_days": {p: [d] + ([dates[k + 1]] if p.startswith("tnr") else []) for p in PRODUCTS},
        }
        for k, d in enumerate(dates[:-1])
    ]
    return {
        "mission": "Zelk",
        "instrument": "radio and plasma waves",
        "generated": "2026-12-09T00:00:00Z",
        "software": "0.1.0",
        "data_version": "01",
        "files": files,
        "products": products,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=365)
    args = parser.parse_args()
    s = summary(args.days)
    with tempfile.TemporaryDirectory() as folder:
        seconds, path = best_of(lambda: write_page(folder, s), repeat=3)
        size = os.path.getsize(path)
        text = open(path, encoding="utf-8").read()
        blob = (json.dumps(s) * (size // len(json.dumps(s)) + 1))[:size]

        def floor():
            with open(os.path.join(folder, "floor.txt"), "w") as f:
                f.write(blob)
                f.flush()
                os.fsync(f.fileno())

        floor_s, _ = best_of(floor, repeat=3)
    width = int(re.search(r'<svg [^>]*class="overview" width="(\d+)"', text).group(1))
    print(
        f"{args.days} days x {len(PRODUCTS)} products, {len(s['files'])} L0 files (machine shared "
        f"with other work: times vary)"
    )
    print(f"page: {size / 1e6:.2f} MB; overview {width} px wide")
    print(
        f"write: {seconds:.3f} s = {seconds / floor_s:.1f} x the floor (writing as many bytes: {floor_s * 1e3:.1f} ms)"
    )


if __name__ == "__main__":
    main()
