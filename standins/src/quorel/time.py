"""On-board time conversions (stand-in).

On-board time model
-------------------
An on-board time is a pair ``[coarse, fine]`` of unsigned 32-bit words: ``coarse`` counts
seconds since the on-board epoch and ``fine`` counts 1/65536 s.

* ``cuc_to_scet`` gives the spacecraft elapsed time in seconds: ``coarse + fine / 65536``.
* ``obt_to_utc(..., to_tt2000=True)`` gives TT2000 nanoseconds: the on-board epoch is
  ``OBT_EPOCH_TT2000`` ns after J2000, and the elapsed time is added exactly, the fine part
  rounded to the nearest nanosecond. There is no drift or leap-second model.
"""

import numpy as np

#: TT2000 (ns since J2000) of on-board time [0, 0]: 2020-01-01T00:01:09.184 TT.
OBT_EPOCH_TT2000 = 631108869184000000

NANOSECONDS_PER_FINE = 1_000_000_000 / 65536


def _pairs(t):
    arr = np.asarray(t)
    if arr.ndim != 2 or arr.shape[1] < 2:
        raise ValueError(f"on-board times must be an (n, 2) array, got shape {arr.shape}")
    both = arr[:, :2].astype(np.int64)  # one conversion for both words
    return both[:, 0], both[:, 1]


class Time:
    """Time service: converts on-board times to TT2000 and to spacecraft elapsed time."""

    def obt_to_utc(self, t, to_tt2000=False):
        coarse, fine = _pairs(t)
        tt2000 = OBT_EPOCH_TT2000 + coarse * 1_000_000_000 + np.rint(fine * NANOSECONDS_PER_FINE).astype(np.int64)
        if to_tt2000:
            return tt2000
        return tt2000.astype("datetime64[ns]")

    @staticmethod
    def cuc_to_scet(t):
        coarse, fine = _pairs(t)
        return coarse + fine / 65536.0  # both int64 words promoted to float64 as they are
