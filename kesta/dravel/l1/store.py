"""L0 stores as the decoders see them, read from HDF5 files, and the task the decoders report to.

An L0 store is a mapping ``TM -> packet name -> source_data -> parameter -> array``; an L0 file
holds the same as ``TM/<packet name>/source_data/<parameter>`` datasets.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from kesta.dravel.products import ListTask  # noqa: F401  (the pipeline task of a decode)

from .errors import InputError


def l0_store(groups: dict) -> dict:
    """An L0 store holding `groups` ({packet name: packet group})."""
    return {"TM": {name: {"source_data": dict(group)} for name, group in groups.items()}}


def first_line(value: object, last: bool = False) -> str:
    """One line of an error or report text (the last one of a traceback when `last`)."""
    lines = [line.strip() for line in str(value).strip().splitlines() if line.strip()]
    if not lines:
        return type(value).__name__ if isinstance(value, BaseException) else ""
    return lines[-1] if last else lines[0]


# What a path that is not a regular file is, by the kind of its inode.
KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def not_regular(path: str | os.PathLike[str]) -> str | None:
    """Why `path` (its symbolic links followed) is no file to read an L0 store from: "a FIFO",
    "a directory"...; None for a regular file. Reading a FIFO or a device would block or never
    end, so this is asked before the file is opened. OSError when `path` cannot be looked at."""
    mode = os.stat(path).st_mode
    if stat.S_ISREG(mode):
        return None
    return next((kind for test, kind in KINDS if test(mode)), "not a regular file")


def check_regular(path: str | os.PathLike[str]) -> None:
    """Raises InputError unless `path` is (or links to) a regular file, without opening it."""
    try:
        kind = not_regular(path)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError as exc:
        raise InputError(f"{path}: cannot be read ({os.strerror(exc.errno).lower() if exc.errno else exc})") from None
    if kind == "a directory":
        raise InputError(f"{path}: is a directory, not an L0 file")
    if kind is not None:
        raise InputError(f"{path}: is {kind}, not a regular file; refused")


# What h5py raises where a file's own structure is damaged (bit flips, a file cut short): a
# B-tree, heap or symbol table that does not parse comes up as RuntimeError or OSError, a bad
# link or name as KeyError or ValueError.
DAMAGED = (RuntimeError, OSError, KeyError, ValueError, TypeError)


def damaged_input(path: str | os.PathLike[str], exc: BaseException) -> InputError:
    """The InputError of an L0 file whose HDF5 structure cannot be read."""
    return InputError(f"{path}: damaged HDF5 file, its structure cannot be read ({first_line(exc)})")


def open_l0(path: str | os.PathLike[str]) -> Any:
    """Opens an L0 HDF5 file for reading; a file that cannot be used raises InputError."""
    # lazy: h5py (the HDF5 library, 18 ms) loads with the first file read or written
    import h5py

    path = os.fspath(path)
    check_regular(path)
    try:
        f = h5py.File(path, "r")
    except OSError as exc:
        raise InputError(f"{path}: cannot be read as an HDF5 file ({first_line(exc)})") from None
    try:
        tm = f.get("TM")
    except DAMAGED as exc:
        f.close()
        raise damaged_input(path, exc) from None
    if not isinstance(tm, h5py.Group):
        f.close()
        raise InputError(f"{path}: not an L0 store (no TM group of packet types)")
    return f


def packet_types(f: Any) -> set[str]:
    """The packet names of the TM group of an open L0 file; InputError when its structure
    cannot be read."""
    try:
        return set(f["TM"].keys())
    except DAMAGED as exc:
        raise damaged_input(f.filename, exc) from None


def source_data(f: Any, packet_type: str) -> Any:
    """The `TM/<packet_type>/source_data` group of an open L0 file, checked."""
    # lazy: h5py (the HDF5 library, 18 ms) loads with the first file read or written
    import h5py

    node = f["TM"][packet_type]
    if not isinstance(node, h5py.Group) or not isinstance(node.get("source_data"), h5py.Group):
        raise ValueError(f"TM/{packet_type} has no source_data group of parameters")
    source = node["source_data"]
    for name, dataset in source.items():
        if not isinstance(dataset, h5py.Dataset):
            raise ValueError(f"TM/{packet_type}/source_data/{name} is not a dataset")
    return source


def datasets(f: Any, packet_type: str) -> dict[str, Any]:
    """{parameter: dataset} of `TM/<packet_type>/source_data`, checked."""
    return dict(source_data(f, packet_type).items())


def read_packet_group(source: Mapping[str, Any], rows: slice | ArrayLike | None = None) -> dict[str, Any]:
    """A packet group read into memory (parameter -> array) from its datasets `source` (as
    `datasets` gives them); only the packets at `rows` (increasing indices) when given."""
    if rows is None:
        return {name: dataset[()] for name, dataset in source.items()}
    return {name: _read_rows(dataset, rows) for name, dataset in source.items()}


def _read_rows(dataset: Any, rows: slice | ArrayLike) -> Any:
    if dataset.ndim == 0:
        return dataset[()]
    if isinstance(rows, slice):
        return dataset[rows]
    at = np.asarray(rows, dtype=np.int64)
    if at.size and at[-1] - at[0] + 1 == at.size:  # a contiguous run: one slice
        return dataset[int(at[0]) : int(at[-1]) + 1]
    at = at[at < dataset.shape[0]]
    return dataset[at] if at.size else dataset[0:0]


def packet_count(group: Mapping[str, Any]) -> int:
    """Number of packets of a packet group (length of its longest parameter)."""
    return max((len(v) for v in group.values() if np.ndim(v) > 0), default=0)


def packets_on_file(f: Any, packet_type: str) -> int:
    """Number of packets of a packet type of an open L0 file, without reading them."""
    source = f["TM"][packet_type]["source_data"]
    return max((d.shape[0] for d in source.values() if getattr(d, "ndim", 0) > 0), default=0)


def read_l0(path: str | os.PathLike[str]) -> dict:
    """Reads a whole L0 HDF5 file into a dict store (arrays in memory)."""
    with open_l0(path) as f:
        return l0_store({name: read_packet_group(datasets(f, name)) for name in f["TM"]})
