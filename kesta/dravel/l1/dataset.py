"""Records as an xarray Dataset: one variable per leaf field, the record dimension `Epoch`.

Sub-array dimensions are named for what they are (channel, sample, frequency_bin, matrix_term,
bin1, bin2 ...), with their labels as coordinates where they have few named elements, and the
record fields that hold values along a dimension (the TNR frequencies) as coordinates too.
`Epoch` holds the records' TT2000 values; the coordinate `time` gives them in UTC, converted by
the CDF library (leap seconds included). Attributes: units, description, fill value (from the
fill-value component), and the ISTP attributes of the product's table.
"""
from __future__ import annotations

import numpy as np

from . import attributes as attrs
from . import layout
from .times import utc


def to_dataset(records, product):
    """The xarray Dataset of `records` of `product` (a name or a Product)."""
    import xarray as xr

    records = np.asarray(records)
    name = product if isinstance(product, str) else product.name
    variables = attrs.variables(name, records.dtype)
    data_vars, coords = {}, {}
    for var in variables:
        values = layout.values(records, var.leaf)
        dims = (layout.EPOCH,) + tuple(var.dims)
        meta = {"units": var.units.strip(), "description": var.catdesc, "CATDESC": var.catdesc,
                "FIELDNAM": var.name, "VAR_TYPE": var.var_type, "DISPLAY_TYPE": var.display,
                "SCALETYP": var.scaletyp, "field": var.leaf.field}
        if var.name == layout.EPOCH:
            coords[layout.EPOCH] = (layout.EPOCH, values, {**meta, "units": "ns",
                                                           "description": var.catdesc + ", TT2000 nanoseconds"})
            continue
        meta["_FillValue"] = var.fill
        meta["VALIDMIN"], meta["VALIDMAX"] = var.validmin, var.validmax
        target = coords if var.var_type == "support_data" and var.leaf.shape and \
            any(attrs.coordinate(name, d) == var.name for d in var.dims) else data_vars
        target[var.name] = (dims, values, meta)
        for dim, size in zip(var.dims, var.leaf.shape):
            if dim not in coords:
                catdesc, labels = attrs.dimension(dim, size)
                if labels is not None:
                    coords[dim] = (dim, np.array(labels), {"description": catdesc})
    if layout.EPOCH in coords:
        coords["time"] = (layout.EPOCH, utc(coords[layout.EPOCH][1]),
                          {"description": "UTC time of Epoch, from the CDF library's TT2000 conversion"})
    ds = xr.Dataset(data_vars, coords=coords)
    for var in ds.variables.values():   # _FillValue goes into the encoding, as xarray wants it
        fill = var.attrs.pop("_FillValue", None)
        if fill is not None:
            var.attrs["fill_value"] = fill
            var.encoding["_FillValue"] = fill
    ds.attrs.update(attrs.global_attributes(name))
    ds.attrs["product"] = name
    return ds
