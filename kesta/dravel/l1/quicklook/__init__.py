"""Quick-look plots of L1 products: one PNG per product of an L1 HDF5 file, one per CDF or
netCDF file.

Every plot works from one neutral form of a product, its variables by name as `layout` names
the leaf fields (``Epoch`` the time axis, first axis the records): `Records`. The L1 HDF5 file
gives it lazily (only the fields and rows a plot shows are read, and long products are thinned,
so big files stay cheap); CDF and netCDF files give it through their readers. Fill values (the
fill value of each variable's element type, from the fill-value component) are masked and never
drawn; times are shown in UTC, converted from TT2000 by the CDF library (leap seconds included).

Importing the package loads matplotlib (0.3 s): the library (`kesta.dravel.l1`), the command
line and the archive import it when they make a plot, not before.
"""

from __future__ import annotations

import os
from typing import Any

import h5py
import matplotlib

from ..dayrecords import decoder_columns
from ..errors import InputError
from ..output import check_folder
from ..store import first_line
from ..writers import FORMATS

# the plots and the records they read, found here by the package's callers
from .plots import (  # noqa: F401
    PLOTS,
    plot_hfr_calibration,
    plot_histograms,
    plot_psd,
    plot_snapshots,
    plot_spectral_matrices,
    plot_tnr_calibration,
    plot_tnr_survey,
)
from .records import HDF5Records, Records, _as_layout, day_of, file_kind, masked, records  # noqa: F401


def _sources(path: str, kind: str, notes: list[str]) -> tuple[list[tuple[str, Records, str]], Any]:
    """(product, Records, PNG stem) of every product of one file, and the file to close."""
    if not FORMATS[kind].days:  # an L1 file of the whole run: every product's records
        try:
            f = h5py.File(path, "r")
        except OSError as exc:
            raise InputError(f"{path}: cannot be read as an HDF5 file ({first_line(exc)})") from None
        out: list[tuple[str, Records, str]] = []
        for name, node in f.items():
            if not isinstance(node, h5py.Dataset) or node.dtype.names is None or name not in PLOTS:
                notes.append(f"{name}: not a product record dataset, not plotted")
                continue
            out.append((name, HDF5Records(node, name), name))
        return out, f
    product, columns = FORMATS[kind].read(path)
    stem = os.path.splitext(os.path.basename(path))[0]
    if product not in PLOTS:
        notes.append(f"{os.path.basename(path)}: product {product or '(none)'} has no quick-look plot")
        return [], None
    # a day file holds day records: drawn as the decoder's records they were made of
    columns = decoder_columns(product, columns)
    return [(product, Records(_as_layout(product, columns), product), stem)], None


def _inputs(path: str) -> list[tuple[str, str]]:
    if os.path.isdir(path):
        files = sorted(os.path.join(path, n) for n in os.listdir(path))
        kinds = [(p, file_kind(p) if os.path.isfile(p) else None) for p in files]
        return [(p, kind) for p, kind in kinds if kind]
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file or folder")
    kind = file_kind(path)
    if kind is None:
        raise InputError(f"{path}: cannot be read as an L1 file (HDF5, CDF or netCDF)")
    return [(path, kind)]


def quicklook_file(path: str, out_dir: str) -> tuple[list[str], list[str], list[str]]:
    """Plots every product of an L1 file (HDF5, CDF or netCDF) or of every such file of a folder
    into `out_dir`: <product>.png for the products of an HDF5 file, <file name>.png for a CDF or
    netCDF file. Returns (PNG paths, notes, failures)."""
    path, out_dir = os.fspath(path), os.fspath(out_dir)
    inputs = _inputs(path)
    check_folder(out_dir, create=True)
    written, notes, failures = [], [], []
    if not inputs:
        notes.append(f"{path}: no L1 file (HDF5, CDF or netCDF) in the folder")
    for file, kind in inputs:
        try:
            sources, handle = _sources(file, kind, notes)
        except Exception as exc:
            if len(inputs) == 1:
                raise
            failures.append(f"{os.path.basename(file)}: {exc}")
            continue
        try:
            for product, data, stem in sources:
                written.extend(_plot_one(product, data, os.path.join(out_dir, f"{stem}.png"), notes, failures))
        finally:
            if handle is not None:
                handle.close()
    if not written and not failures:
        notes.append(f"nothing plotted from {path}")
    return written, notes, failures


def _plot_one(product: str, data: Any, png: str, notes: list[str], failures: list[str]) -> list[str]:
    """Draws `data` of `product` into `png`; a PNG named as a day file (..._YYYYMMDD_vNN.png)
    is that day's plot: titled with its day and version, its time axis over that UTC day."""
    if not isinstance(data, Records):
        data = records(data, product)
    data.day, data.version = day_of(png)
    if not len(data):
        notes.append(f"{product}: no records, nothing to plot")
        return []
    matplotlib.use("Agg")  # drawn into files, whatever backend the process had chosen
    try:
        made = PLOTS[product](data, png)
    except Exception as exc:  # noqa: BLE001 - a plot failing is reported, the others are made
        failures.append(f"{product}: {type(exc).__name__}: {exc}")
        return []
    if not made:
        notes.append(f"{product}: no valid record to plot")
    return made
