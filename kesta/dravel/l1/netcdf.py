"""netCDF files, one per product, written through xarray with CF-style attributes (units,
long_name, _FillValue, valid_min, valid_max)."""
from __future__ import annotations

import os

import numpy as np

from .errors import InputError, WriteError
from .cdf import _WholeProductWriter
from .output import Target, check_folder, describe

FILE_PATTERN = "zelk_l1_{product}_{date}_v{version}.nc"


def cf_dataset(records, product):
    """The Dataset of `records` with CF-style attributes."""
    from .dataset import to_dataset

    ds = to_dataset(records, product, raw=True)
    for var in ds.variables.values():
        a = var.attrs
        if "description" in a:
            a["long_name"] = a.pop("description")
        if "VALIDMIN" in a:
            a["valid_min"], a["valid_max"] = a.pop("VALIDMIN"), a.pop("VALIDMAX")
        a.pop("fill_value", None)
        if not a.get("units"):
            a.pop("units", None)
    ds.attrs["Conventions"] = "CF-1.8"
    return ds


def write_netcdf(records, product, directory, *, parents=None, data_version="01", overwrite=False):
    """Writes `records` of `product` as one netCDF file into `directory`, named by the UTC day
    of its first record; returns [its path] ([] when there are no records)."""
    from .cdf import time_order
    from .dataset import utc

    records = np.asarray(records)
    check_folder(directory)
    if not len(records):
        return []
    records = records[time_order(records)]
    first = utc(records["epoch"][:1])[0]
    date = "00000000" if np.isnat(first) else str(first.astype("datetime64[D]")).replace("-", "")
    name = product if isinstance(product, str) else product.name
    path = os.path.join(os.fspath(directory), FILE_PATTERN.format(product=name, date=date, version=data_version))
    target = Target(path, overwrite=overwrite, suffix=".nc")
    ds = cf_dataset(records, name)
    ds.attrs["Parents"] = parents or " "
    ds.attrs["Data_version"] = data_version
    target.check_space(records.nbytes)
    try:
        ds.to_netcdf(target.tmp, engine="h5netcdf")
    except Exception as exc:
        target.abort()
        raise WriteError(f"{path}: cannot be written ({describe(exc)})") from None
    except BaseException:
        target.abort()
        raise
    target.commit()
    return [path]


def read_netcdf(path):
    """(product name, {variable name: values}) of a netCDF file of ours, values as stored."""
    import xarray as xr

    path = os.fspath(path)
    try:
        ds = xr.open_dataset(path, engine="h5netcdf", mask_and_scale=False, decode_times=False)
    except Exception as exc:
        raise InputError(f"{path}: cannot be read as a netCDF file ({exc})") from None
    with ds:
        product = str(ds.attrs.get("product", ""))
        out = {name: np.asarray(v.values) for name, v in ds.variables.items()
               if v.dims and v.dims[0] == "Epoch" and name != "time"}
    return product, out


class NetCDFWriter(_WholeProductWriter):
    write = staticmethod(write_netcdf)
