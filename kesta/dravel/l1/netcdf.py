"""netCDF files, one per product and UTC day, with CF-style attributes (units, long_name,
_FillValue, valid_min, valid_max), zlib-compressed."""
from __future__ import annotations

import os

import numpy as np

from .days import DayFilesWriter
from .errors import InputError

FILE_PATTERN = "zelk_l1_{product}_{date}_v{version}.nc"
EPOCH_DIM = "Epoch"


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
    """Writes `records` of `product` as netCDF files into `directory`, one per UTC day of the
    records; returns their paths ([] when there are no records)."""
    from .days import write_records

    return write_records(NetCDFWriter, records, product, directory, parents=parents,
                         data_version=data_version, overwrite=overwrite)


GZIP_LEVEL = 1          # zlib level of every variable
CHUNK_BYTES = 1 << 20   # records of about a megabyte per chunk
TIME_UNITS = "nanoseconds since 2000-01-01"


class NetCDFDay:
    """One netCDF file being written: the variables of `cf_dataset`, CF-encoded by xarray and
    written through h5netcdf along an unlimited Epoch dimension, records appended in batches."""

    suffix = ".nc"
    file_pattern = FILE_PATTERN

    def __init__(self, path, dtype, product, filename, parents, data_version):
        import h5netcdf

        self.product, self.parents, self.data_version = product, parents, data_version
        self.file = h5netcdf.File(path, "w")
        self.written = 0
        self.variables = None

    def _encoded(self, records):
        from xarray.conventions import cf_encoder, encode_dataset_coordinates

        ds = cf_dataset(records, self.product)
        if "time" in ds.variables:
            ds["time"].encoding.update(units=TIME_UNITS, dtype="int64")
        variables, attributes = encode_dataset_coordinates(ds)
        return cf_encoder(variables, attributes)

    def append(self, records):
        variables, attributes = self._encoded(records)
        if self.variables is None:
            self._create(variables, attributes)
        n = len(records)
        self.file.resize_dimension(EPOCH_DIM, self.written + n)
        for name, var in variables.items():
            if var.dims[:1] == (EPOCH_DIM,):
                self.variables[name][self.written:self.written + n] = var.values
        self.written += n

    def _create(self, variables, attributes):
        import h5py

        f = self.file
        f.attrs.update({k: v for k, v in attributes.items()})
        f.attrs["Parents"] = self.parents or " "
        f.attrs["Data_version"] = self.data_version
        sizes = {dim: size for var in variables.values() for dim, size in zip(var.dims, var.shape)}
        f.dimensions = {dim: (None if dim == EPOCH_DIM else size) for dim, size in sizes.items()}
        self.variables = {}
        for name, var in variables.items():
            attrs = dict(var.attrs)
            fill = attrs.pop("_FillValue", None)
            text = var.dtype.kind in "UO"
            options = {}
            if var.dims[:1] == (EPOCH_DIM,):
                row = max(1, var.dtype.itemsize * int(np.prod(var.shape[1:], dtype=np.int64)))
                options = {"chunks": (max(1, CHUNK_BYTES // row),) + tuple(var.shape[1:]),
                           "compression": "gzip", "compression_opts": GZIP_LEVEL}
            v = f.create_variable(name, var.dims, h5py.string_dtype("utf-8") if text else var.dtype,
                                  fillvalue=fill, **options)
            v.attrs.update(attrs)
            if var.dims[:1] != (EPOCH_DIM,):
                v[...] = var.values.astype(object) if text else var.values
            self.variables[name] = v

    def close(self):
        self.file.close()


class NetCDFWriter(DayFilesWriter):
    """netCDF files, one per product and UTC day."""

    day = NetCDFDay


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
