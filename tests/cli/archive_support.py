"""What the archive's day files must hold, computed from the L0 files by plain decodes."""

import numpy as np

from kesta.dravel.l1.decode import decode_file
from kesta.dravel.l1.times import utc_days

# days of L0 files in the archive tests' L0 folder (the `l0` fixture)
DAYS = 3


def expected_days(files):
    """{(product, day): day records}: every record of every file in the day of its time, a record
    another file holds byte for byte before it taken once, in stable time order, and the day
    records they make (as the day file holds them)."""
    from kesta.dravel.l1.dayrecords import day_records
    from kesta.dravel.l1.days import time_order

    parts = {}
    for path in sorted(files):
        for p in decode_file(path).products:
            if p.data is None or not len(p.data):
                continue
            data = p.data[time_order(p.data["epoch"])]
            for day, a, b in utc_days(data["epoch"]):
                if day is not None:
                    parts.setdefault((p.product, day), []).append(data[a:b])
    out = {}
    for key, arrays in parts.items():
        taken, rows = set(), []
        for records in arrays:
            own = {r.tobytes() for r in records}
            rows += [r for r in records if r.tobytes() not in taken]
            taken |= own
        records = np.array(rows, dtype=arrays[0].dtype)
        out[key] = day_records(key[0], records[np.argsort(records["epoch"], kind="stable")])
    return out
