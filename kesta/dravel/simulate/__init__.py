"""L0 simulator: builds L0 stores of every product from chosen values, with the records the
decoders must give back.

Each product module returns packet groups (dicts of per-packet NumPy arrays) together with the
expected records; `store` puts packet groups into an L0 store (a dict, or an HDF5 file with
groups ``TM/<packet name>/source_data/<parameter>``).
"""
from .store import l0_store, write_hdf5

__all__ = ["l0_store", "write_hdf5"]
