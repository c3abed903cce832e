"""Records as an xarray Dataset: one variable per leaf field, the record dimension `Epoch`.

Sub-array dimensions are named for what they are (channel, sample, frequency_bin, matrix_term,
bin1, bin2 ...), with their labels as coordinates where they have few named elements, and the
record fields that hold values along a dimension (the TNR frequencies) as coordinates too.
`Epoch` holds the records' TT2000 values; the coordinate `time` gives them in UTC, converted by
the CDF library (leap seconds included). Attributes: units, description, fill value (from the
fill-value component), and the ISTP attributes of the product's table.

Fill values are masked by default, as xarray masks a CF file it opens: a float variable has NaN
where the records hold its fill value, an integer one becomes floating point (float32 up to 16
bits, float64 above) with NaN there, so that plots and statistics leave fills out. The encoding
keeps the field's own type and fill value, so writing the dataset to netCDF stores the records'
values (exactly for every type whose fill value a float holds exactly; 64-bit integers beyond
2**53 are rounded). `raw=True` gives the records' values as they are, fill values included,
with `_FillValue` in the encoding: what a writer wants.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import DTypeLike

from kesta.dravel.products import Product

from . import attributes as attrs
from . import layout
from .times import utc


def _masked(values: np.ndarray, fill: Any) -> tuple[np.ndarray, dict[str, Any]]:
    """`values` with NaN where they hold `fill`, as floats, and the encoding that writes them
    back in their own type."""
    dtype = values.dtype
    is_fill = np.isnan(values) if dtype.kind == "f" and np.isnan(fill) else values == fill
    out = values.astype(dtype if dtype.kind == "f" else np.float32 if dtype.itemsize <= 2 else np.float64)
    out[is_fill] = np.nan
    encoding: dict[str, Any] = {"_FillValue": fill}
    if dtype.kind == "f" or int(float(fill)) == int(fill):  # NaN writes back as the fill
        encoding["dtype"] = dtype
    else:  # a 64-bit fill a float cannot hold: written as floats with NaN
        encoding = {"_FillValue": out.dtype.type(np.nan)}
    return out, encoding


TIME = "time"
TIME_DESCRIPTION = "UTC time of Epoch, from the CDF library's TT2000 conversion"


@dataclass
class Described:
    """A variable of a product's Dataset, values aside: its dimensions and attributes, and where
    its values come from: a record field (`var`, its `attributes` entry), labels, or (neither)
    the UTC times of Epoch."""

    dims: tuple
    meta: dict
    var: attrs.Variable | None = None
    labels: list | None = None


def described(name: str, dtype: DTypeLike) -> tuple[dict[str, Described], dict[str, Described]]:
    """(data variables, coordinates), each {name: Described} in the Dataset's order, of the
    Dataset of records of layout `dtype` of the product `name`."""
    variables = attrs.variables(name, dtype)
    coordinates = set(attrs.coordinates(name, variables).values())
    data_vars: dict[str, Described] = {}
    coords: dict[str, Described] = {}
    for var in variables:
        meta: dict[str, Any] = {
            "units": var.units.strip(),
            "description": var.catdesc,
            "CATDESC": var.catdesc,
            "FIELDNAM": var.name,
            "VAR_TYPE": var.var_type,
            "SCALETYP": var.scaletyp,
            "field": var.leaf.field,
        }
        if var.display:
            meta["DISPLAY_TYPE"] = var.display
        if var.notes:
            meta["VAR_NOTES"] = var.notes
        if var.name == layout.EPOCH:
            coords[layout.EPOCH] = Described(
                (layout.EPOCH,), {**meta, "units": "ns", "description": var.catdesc + ", TT2000 nanoseconds"}, var
            )
            continue
        meta["fill_value"] = var.fill
        meta["VALIDMIN"], meta["VALIDMAX"] = var.validmin, var.validmax
        target = coords if var.name in coordinates else data_vars
        target[var.name] = Described((layout.EPOCH,) + tuple(var.dims), meta, var)
        for dim, size in zip(var.dims, var.leaf.shape):
            if dim not in coords:
                catdesc, labels = attrs.dimension(dim, size)
                if labels is not None:
                    coords[dim] = Described((dim,), {"description": catdesc}, labels=list(labels))
    if layout.EPOCH in coords:
        coords[TIME] = Described((layout.EPOCH,), {"description": TIME_DESCRIPTION})
    return data_vars, coords


def to_dataset(records: np.ndarray, product: str | Product, *, raw: bool = False) -> Any:
    """The xarray Dataset of `records` of `product` (a name or a Product): fill values masked
    (NaN, integer variables as floats) unless `raw`, which gives the values as the records hold
    them (for writers: netCDF, anything that must give the records back bit for bit)."""
    # lazy: xarray takes 0.2 s to import; loaded with the first dataset made
    import xarray as xr

    records = np.asarray(records)
    name = product if isinstance(product, str) else product.name
    data_vars, coords = described(name, records.dtype)
    encodings: dict[str, dict[str, Any]] = {}

    def variable(key: str, d: Described) -> tuple[tuple, np.ndarray, dict]:
        if d.labels is not None:
            values = np.array(d.labels)
        elif d.var is None:  # the UTC times of Epoch, a record field
            epoch = coords[layout.EPOCH].var
            assert epoch is not None
            values = utc(layout.values(records, epoch.leaf))
        else:
            values = layout.values(records, d.var.leaf)
            if key != layout.EPOCH:
                if raw:
                    encodings[key] = {"_FillValue": d.var.fill}
                else:
                    values, encodings[key] = _masked(values, d.var.fill)
        return d.dims, values, d.meta

    ds = xr.Dataset(
        {k: variable(k, d) for k, d in data_vars.items()}, coords={k: variable(k, d) for k, d in coords.items()}
    )
    for key, encoding in encodings.items():  # _FillValue goes into the encoding, as xarray wants it
        ds[key].encoding.update(encoding)
    ds.attrs.update(attrs.global_attributes(name, dtype=records.dtype))
    ds.attrs["product"] = name
    return ds
