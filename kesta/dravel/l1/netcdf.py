"""netCDF files, one per product and UTC day, with CF-style attributes (units, long_name,
_FillValue, valid_min, valid_max), zlib-compressed."""
from __future__ import annotations

import os

import numpy as np

from . import attributes, layout
from .days import DayFilesWriter, MissionDay, from_template
from .errors import InputError
from .writers import FORMATS

FILE_PATTERN = FORMATS["netcdf"].file_pattern
TIME = "time"


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
CHUNK_BYTES = 1 << 20   # records of about a megabyte per chunk,
CHUNK_ROWS = 4096       # and not many more than a day of the smaller products holds
TIME_UNITS = "nanoseconds since 2000-01-01"


class NetCDFDay(MissionDay):
    """One netCDF file being written: the variables of `cf_dataset`, CF-encoded by xarray and
    written through h5netcdf along an unlimited Epoch dimension, records appended in batches."""

    suffix = FORMATS["netcdf"].suffix
    file_pattern = FILE_PATTERN

    def __init__(self, path, dtype, product, filename, parents, data_version):
        import h5py

        mission = self.mission
        key = ("netcdf", product, repr(dtype.descr), data_version, tuple(sorted(mission.items())))
        from_template(path, key, lambda empty: _empty(empty, dtype, product, None, data_version, mission),
                      self.suffix)
        # the template holds the whole netCDF structure: records go straight into its datasets
        # (every one along the unlimited Epoch dimension grows alike, as netCDF wants)
        self.file = h5py.File(path, "r+")
        self.file.attrs["Parents"] = (", ".join(parents) if isinstance(parents, (list, tuple)) else parents) or " "
        self.leaves = {var.name: var.leaf for var in attributes.variables(product, dtype)}
        self.variables = {name: node for name, node in self.file.items()
                          if isinstance(node, h5py.Dataset) and node.maxshape[:1] == (None,)}
        self.written = 0
        self.chunked = {}           # variable name: its chunk writer, or None

    def append(self, records):
        """Appends records: each variable holds its field's values as they are (the records'
        fill values are the variables' _FillValue), `time` the UTC times as xarray encodes them."""
        n = len(records)
        for name, v in self.variables.items():
            values = _encoded_time(records) if name == TIME else layout.values(records, self.leaves[name])
            v.resize(self.written + n, axis=0)
            if name not in self.chunked:
                self.chunked[name] = _Chunks.of(v, np.asarray(values).dtype)
            if self.chunked[name] is None:
                v[self.written:self.written + n] = values
            else:
                self.chunked[name].append(values)
        self.written += n

    def close(self):
        try:
            for chunks in self.chunked.values():
                if chunks is not None:
                    chunks.flush()
        finally:
            self.file.close()


class _Chunks:
    """The values appended to a variable along its first dimension, cut into its chunks and
    written whole, deflated with the fast deflate of the L1 HDF5 writer (the HDF5 library's
    own filter deflates at zlib's speed)."""

    @classmethod
    def of(cls, dataset, dtype):
        """The chunk writer of `dataset` for values of `dtype`, or None where h5py writes them
        (another filter, chunks not spanning the other dimensions, values to convert)."""
        chunks = dataset.chunks
        if not chunks or dataset.compression != "gzip" or dataset.shuffle or dataset.fletcher32 \
                or dataset.scaleoffset is not None or tuple(chunks[1:]) != tuple(dataset.shape[1:]) \
                or dtype != dataset.dtype or dtype.kind not in "biuf":
            return None
        return cls(dataset)

    def __init__(self, dataset):
        self.dataset = dataset
        self.level = int(dataset.compression_opts or GZIP_LEVEL)
        self.buffer = np.zeros(dataset.chunks, dataset.dtype)
        self.filled = 0
        self.offset = 0             # first row of the chunk being filled

    def append(self, values):
        values = np.asarray(values)
        at, n, rows = 0, len(values), len(self.buffer)
        while at < n:
            take = min(rows - self.filled, n - at)
            self.buffer[self.filled:self.filled + take] = values[at:at + take]
            self.filled += take
            at += take
            if self.filled == rows:
                self._write()

    def flush(self):
        if self.filled:
            self.buffer[self.filled:] = 0
            self._write()

    def _write(self):
        from .hdf5 import deflate

        data = deflate(self.buffer.view(np.uint8).reshape(-1), self.level)
        self.dataset.id.write_direct_chunk((self.offset,) + (0,) * (self.buffer.ndim - 1), data, 0)
        self.offset += len(self.buffer)
        self.filled = 0


def _encoded(records, product):
    """The variables and attributes of `records` as xarray writes them to a netCDF file."""
    from xarray.conventions import cf_encoder, encode_dataset_coordinates

    ds = cf_dataset(records, product)
    if TIME in ds.variables:
        ds[TIME].encoding.update(units=TIME_UNITS, dtype="int64")
    return cf_encoder(*encode_dataset_coordinates(ds))


def _encoded_time(records):
    from .times import utc

    import xarray as xr

    variable = xr.Variable((layout.EPOCH,), utc(records[layout.EPOCH_FIELD]),
                           encoding={"units": TIME_UNITS, "dtype": "int64"})
    from xarray.conventions import cf_encoder

    return cf_encoder({TIME: variable}, {})[0][TIME].values


def _empty(path, dtype, product, parents, data_version, mission=None):
    """Writes an empty netCDF file of `product`'s records: dimensions (Epoch unlimited),
    variables with their attributes and compression, the label coordinates."""
    import h5netcdf
    import h5py

    variables, attrs = _encoded(np.zeros(0, dtype), product)
    with h5netcdf.File(path, "w") as f:
        f.attrs.update(attrs)
        f.attrs.update(mission or {})
        f.attrs["Parents"] = parents or " "
        f.attrs["Data_version"] = data_version
        sizes = {dim: size for var in variables.values() for dim, size in zip(var.dims, var.shape)}
        f.dimensions = {dim: (None if dim == layout.EPOCH else size) for dim, size in sizes.items()}
        for name, var in variables.items():
            var_attrs = dict(var.attrs)
            fill = var_attrs.pop("_FillValue", None)
            text = var.dtype.kind in "UO"
            options = {}
            if var.dims[:1] == (layout.EPOCH,):
                row = max(1, var.dtype.itemsize * int(np.prod(var.shape[1:], dtype=np.int64)))
                rows = min(CHUNK_ROWS, max(1, CHUNK_BYTES // row))
                options = {"chunks": (rows,) + tuple(var.shape[1:]),
                           "compression": "gzip", "compression_opts": GZIP_LEVEL}
            v = f.create_variable(name, var.dims, h5py.string_dtype("utf-8") if text else var.dtype,
                                  fillvalue=fill, **options)
            v.attrs.update(var_attrs)
            if var.dims[:1] != (layout.EPOCH,):
                v[...] = var.values.astype(object) if text else var.values


class NetCDFWriter(DayFilesWriter):
    """netCDF files, one per product and UTC day."""

    day = NetCDFDay


def read_netcdf(path):
    """(product name, {variable name: values}) of a netCDF file of ours, values as stored."""
    with open_netcdf(path) as day:
        return day.product, {name: day.read(name) for name in day.names}


class open_netcdf:
    """A netCDF file of ours, open to read its record variables a slice at a time, values as
    stored: `product`, `names`, `records`, `read(name, start, stop)`; a context manager."""

    def __init__(self, path):
        import xarray as xr

        self.path = os.fspath(path)
        try:
            self.ds = xr.open_dataset(self.path, engine="h5netcdf", mask_and_scale=False,
                                      decode_times=False)
        except Exception as exc:
            raise InputError(f"{self.path}: cannot be read as a netCDF file ({exc})") from None
        self.product = str(self.ds.attrs.get("product", ""))
        self.variables = {name: v for name, v in self.ds.variables.items()
                          if v.dims and v.dims[0] == layout.EPOCH and name != "time"}
        self.names = list(self.variables)
        self.records = int(self.ds.sizes.get(layout.EPOCH, 0))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.ds.close()

    def read(self, name, start=None, stop=None):
        var = self.variables[name]
        return np.asarray((var if start is None and stop is None else var[start:stop]).values)
