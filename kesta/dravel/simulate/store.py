"""Simulated L0 files, and what the expected TDS records start from: fill values, time fields."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from kesta.dravel.l1.fill import filled_records  # noqa: F401  (the expected records start from it)
from kesta.dravel.l1.store import l0_store  # noqa: F401  (the simulator builds stores with it)


def write_hdf5(path: str, groups: dict, attrs: Mapping[str, Any] | None = None) -> None:
    """Writes packet groups as ``TM/<packet name>/source_data/<parameter>`` datasets, and
    `attrs` as the file's attributes."""
    # lazy: h5py (the HDF5 library, 18 ms) loads with the first file read or written
    import h5py

    with h5py.File(path, "w") as f:
        f.attrs.update(attrs or {})
        tm = f.create_group("TM")
        for name, group in groups.items():
            source = tm.create_group(name).create_group("source_data")
            for param, values in group.items():
                source.create_dataset(param, data=np.asarray(values))


def set_expected_times(records: np.ndarray, times: ArrayLike) -> None:
    """Writes the time fields of TDS `records` (an array or slice) from their on-board times
    `times` ((coarse, fine, synchronisation flag) per record), as the time service gives them."""
    # lazy: the pipeline's component, bound when first used (the package imports without it)
    from quorel.time import Time

    times = np.asarray(times, dtype=np.uint32).reshape(-1, 3)
    t = np.ascontiguousarray(times[:, :2])
    records["epoch"] = Time().obt_to_utc(t, to_tt2000=True)
    records["acquisition_time"] = t
    records["synchro_flag"] = times[:, 2]
    records["scet"] = Time.cuc_to_scet(t)
