"""L0 stores: a mapping ``TM -> packet name -> source_data -> parameter -> array``."""
from __future__ import annotations

import numpy as np


def l0_store(groups: dict) -> dict:
    """An L0 store holding `groups` ({packet name: packet group})."""
    return {"TM": {name: {"source_data": dict(group)} for name, group in groups.items()}}


def write_hdf5(path, groups: dict) -> None:
    """Writes packet groups as ``TM/<packet name>/source_data/<parameter>`` datasets."""
    import h5py

    with h5py.File(path, "w") as f:
        tm = f.create_group("TM")
        for name, group in groups.items():
            source = tm.create_group(name).create_group("source_data")
            for param, values in group.items():
                source.create_dataset(param, data=np.asarray(values))


def read_hdf5(path) -> dict:
    """Reads a whole L0 HDF5 file back into a dict store (arrays in memory)."""
    import h5py

    groups = {}
    with h5py.File(path, "r") as f:
        for name, packet_type in f["TM"].items():
            source = packet_type["source_data"]
            groups[name] = {param: source[param][()] for param in source}
    return l0_store(groups)


def set_expected_times(records, times):
    """Writes the time fields of TDS `records` (an array or slice) from their on-board times
    `times` ((coarse, fine, synchronisation flag) per record), as the time service gives them."""
    from quorel.time import Time

    times = np.asarray(times, dtype=np.uint32).reshape(-1, 3)
    t = np.ascontiguousarray(times[:, :2])
    records["epoch"] = Time().obt_to_utc(t, to_tt2000=True)
    records["acquisition_time"] = t
    records["synchro_flag"] = times[:, 2]
    records["scet"] = Time.cuc_to_scet(t)


class ListTask:
    """A pipeline task that keeps what the decoders report."""

    def __init__(self):
        self.reports = []

    def exception(self, message):
        self.reports.append(message)
