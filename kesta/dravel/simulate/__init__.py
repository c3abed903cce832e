"""L0 simulator: builds L0 stores of every product from chosen values, with the records the
decoders must give back.

By concern: the THR packets are encoded in `thr_encoding`, their expected records computed in
`thr_expected`, random packets and cases drawn in `thr_random`, demo content made in
`thr_demo`. Each TDS module (`snapshots`, `histmap`, `lfm`) builds
packet groups, the records they decode into, and its demo groups; `cases` gives a small
random store of any product with its expected records (hardening tests, fuzzer); `store`
puts packet groups into an L0 store (a dict, or an HDF5 file with groups
``TM/<packet name>/source_data/<parameter>``); `scale` repeats them for large files. Demo
groups are packets only: no expected record is computed for them.
"""

from .store import l0_store, write_hdf5

__all__ = ["l0_store", "write_hdf5"]
