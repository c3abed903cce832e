"""netCDF files, one per product and UTC day, with CF-style attributes (units, long_name,
_FillValue, valid_min, valid_max), zlib-compressed.

A day file holds what xarray writes of `cf_dataset` (the same variables, attributes,
dimensions and values), but is written with h5py alone: its empty structure once per product
and process (`_empty`: HDF5 dimension scales carrying their netCDF ids, as the netCDF library
reads them), then the records, chunk by chunk. Neither xarray nor h5netcdf is loaded to write
one; both read them."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Self

import h5py
import numpy as np
from numpy.typing import ArrayLike, DTypeLike

from kesta.dravel.products import Product

from . import attributes, layout
from .dataset import TIME, Described, described, to_dataset
from .days import DayFilesWriter, MissionDay, Parents, from_template, write_records
from .errors import InputError
from .hdf5 import deflate
from .times import utc, valid_epoch
from .writers import FORMATS, StoredVariable
from .writers import text_of as _text

FILE_PATTERN = FORMATS["netcdf"].file_pattern


def cf_attributes(meta: Mapping[str, Any]) -> dict[str, Any]:
    """A variable's attributes as a CF reader wants them: `description` as `long_name`,
    VALIDMIN/VALIDMAX as valid_min/valid_max, no fill value (the file's _FillValue is it), no
    empty units."""
    a = dict(meta)
    if "description" in a:
        a["long_name"] = a.pop("description")
    if "VALIDMIN" in a:
        a["valid_min"], a["valid_max"] = a.pop("VALIDMIN"), a.pop("VALIDMAX")
    a.pop("fill_value", None)
    if not a.get("units"):
        a.pop("units", None)
    return a


def cf_dataset(records: np.ndarray, product: str | Product) -> Any:
    """The Dataset of `records` with CF-style attributes."""
    ds = to_dataset(records, product, raw=True)
    for var in ds.variables.values():
        var.attrs = cf_attributes(var.attrs)
    ds.attrs["Conventions"] = "CF-1.8"
    return ds


def write_netcdf(
    records: ArrayLike,
    product: str | Product,
    directory: str | os.PathLike[str],
    *,
    parents: Parents = None,
    data_version: str | int = "01",
    overwrite: bool = False,
) -> list[str]:
    """Writes `records` of `product` as netCDF files into `directory`, one per UTC day of the
    records; returns their paths ([] when there are no records)."""
    return write_records(
        NetCDFWriter, records, product, directory, parents=parents, data_version=data_version, overwrite=overwrite
    )


GZIP_LEVEL = 1  # zlib level of every variable
CHUNK_BYTES = 1 << 20  # records of about a megabyte per chunk,
CHUNK_ROWS = 4096  # and not many more than a day of the smaller products holds
TIME_UNITS = "nanoseconds since 2000-01-01"
TIME_ORIGIN = np.datetime64("2000-01-01T00:00:00", "ns")
# the HDF5 dataset standing for a dimension no variable gives values along (its size follows)
NOT_A_VARIABLE = b"This is a netCDF dimension but not a netCDF variable."


class NetCDFDay(MissionDay):
    """One netCDF file being written: the variables of `cf_dataset`, with the attributes and
    encoding xarray gives them, along an unlimited Epoch dimension, records appended in
    batches straight into the HDF5 datasets of a copy of the product's empty file."""

    suffix = FORMATS["netcdf"].suffix
    file_pattern = FILE_PATTERN

    def __init__(
        self, path: str, dtype: np.dtype, product: str, filename: str, parents: Parents, data_version: str
    ) -> None:
        mission = self.mission
        key = (
            "netcdf",
            product,
            repr(dtype.descr),
            data_version,
            tuple(sorted(mission.items())),
            attributes.software_version(),
        )
        from_template(path, key, lambda empty: _empty(empty, dtype, product, None, data_version, mission), self.suffix)
        self.file = h5py.File(path, "r+")
        self.file.attrs["Parents"] = (", ".join(parents) if isinstance(parents, (list, tuple)) else parents) or " "
        leaves = {var.name: var.leaf for var in attributes.variables(product, dtype)}
        # every variable along the unlimited Epoch dimension grows alike, as netCDF wants: its
        # values, the chunk writer that takes them (None: written by h5py)
        self.variables: list[tuple[Any, layout.Leaf | None, _Chunks | None]] = []
        for name, node in self.file.items():
            if isinstance(node, h5py.Dataset) and node.maxshape[:1] == (None,):
                leaf = None if name == TIME else leaves[name]
                dtype = np.dtype(np.int64) if leaf is None else leaf.dtype
                self.variables.append((node, leaf, _Chunks.of(node, dtype)))
        self.written = 0

    def append(self, records: np.ndarray) -> None:
        """Appends records: each variable holds its field's values as they are (the records'
        fill values are the variables' _FillValue), `time` the UTC times as xarray encodes them."""
        n = len(records)
        for node, leaf, chunks in self.variables:
            values = encoded_time(records[layout.EPOCH_FIELD]) if leaf is None else layout.values(records, leaf)
            if chunks is None:
                _cover(node, self.written + n)
                node[self.written : self.written + n] = values
            else:
                chunks.append(values)
        self.written += n

    def close(self) -> None:
        try:
            for node, _, chunks in self.variables:
                if chunks is not None:
                    chunks.flush()
                node.resize(self.written, axis=0)
        finally:
            self.file.close()


def _cover(dataset: Any, rows: int) -> None:
    """Makes `dataset` at least `rows` long, in few steps (its size is set once it is whole)."""
    if len(dataset) < rows:
        dataset.resize(max(rows, 2 * len(dataset)), axis=0)


class _Chunks:
    """The values appended to a variable along its first dimension, cut into its chunks and
    written whole, deflated with the fast deflate of the L1 HDF5 writer (the HDF5 library's
    own filter deflates at zlib's speed)."""

    @classmethod
    def of(cls, dataset: Any, dtype: np.dtype) -> Self | None:
        """The chunk writer of `dataset` for values of `dtype`, or None where h5py writes them
        (another filter, chunks not spanning the other dimensions, values to convert)."""
        chunks = dataset.chunks
        if (
            not chunks
            or dataset.compression != "gzip"
            or dataset.shuffle
            or dataset.fletcher32
            or dataset.scaleoffset is not None
            or tuple(chunks[1:]) != tuple(dataset.shape[1:])
            or dtype != dataset.dtype
            or dtype.kind not in "biuf"
        ):
            return None
        return cls(dataset)

    def __init__(self, dataset: Any) -> None:
        self.dataset = dataset
        self.level = int(dataset.compression_opts or GZIP_LEVEL)
        self.rows: int = dataset.chunks[0]
        self.buffer: np.ndarray | None = None  # the chunk being filled, made when first needed
        self.filled = 0
        self.offset = 0  # first row of the chunk being filled

    def append(self, values: ArrayLike) -> None:
        values = np.asarray(values)
        at, n, rows = 0, len(values), self.rows
        while at < n:
            if not self.filled and n - at >= rows:  # a whole chunk of the values
                self._write(values[at : at + rows])
                at += rows
                continue
            if self.buffer is None:
                self.buffer = np.zeros(self.dataset.chunks, self.dataset.dtype)
            take = min(rows - self.filled, n - at)
            self.buffer[self.filled : self.filled + take] = values[at : at + take]
            self.filled += take
            at += take
            if self.filled == rows:
                self._write(self.buffer)

    def flush(self) -> None:
        if self.filled:
            assert self.buffer is not None  # made by the values filling it
            self.buffer[self.filled :] = 0
            self._write(self.buffer)

    def _write(self, chunk: np.ndarray) -> None:
        data = deflate(np.ascontiguousarray(chunk, self.dataset.dtype).view(np.uint8).reshape(-1), self.level)
        _cover(self.dataset, self.offset + self.rows)
        self.dataset.id.write_direct_chunk((self.offset,) + (0,) * (chunk.ndim - 1), data, 0)
        self.offset += self.rows
        self.filled = 0


def encoded_time(epoch: ArrayLike) -> np.ndarray:
    """The UTC times of TT2000 `epoch` (`times.utc`) as xarray encodes them in TIME_UNITS:
    int64 nanoseconds since TIME_ORIGIN, NaT (no UTC time) as the smallest int64.

    Between leap seconds UTC is TT2000 less a constant: where the conversion of the earliest
    and latest epochs gives the same difference, every epoch takes it (one call of the CDF
    library instead of one per record); else each epoch is converted."""
    tt = valid_epoch(epoch)
    good = ~np.ma.getmaskarray(tt)
    out = np.full(tt.shape, np.iinfo(np.int64).min, np.int64)
    values = tt.data[good]
    if len(values):
        ends = np.array([values.min(), values.max()])
        offsets = utc(ends).astype(np.int64) - ends
        if offsets[0] == offsets[1]:
            ns = values + offsets[0]
        else:
            ns = utc(values).astype(np.int64)
        out[good] = ns - TIME_ORIGIN.astype(np.int64)
    return out


class _Variable:
    """A variable of an empty file: name, dimensions, element type, attributes (in order), fill
    value (None: none), values (of a label coordinate; None for those along Epoch)."""

    def __init__(
        self,
        name: str,
        dims: Iterable[str],
        dtype: DTypeLike,
        attrs: dict[str, Any],
        fill: Any = None,
        values: Sequence[str] | None = None,
    ) -> None:
        self.name, self.dims, self.dtype, self.attrs = name, tuple(dims), np.dtype(dtype), attrs
        self.fill, self.values = fill, values


def _structure(dtype: np.dtype, product: str | Product) -> tuple[dict[str, Any], list[_Variable], dict[str, int]]:
    """(global attributes, [_Variable], {dimension: size}) of an empty file of `product`'s
    records: what `cf_dataset` holds, encoded as xarray encodes it (`coordinates` attributes,
    `time` in TIME_UNITS), in xarray's order, Epoch of size 0."""
    name = product if isinstance(product, str) else product.name
    data_described, coords_described = described(name, dtype)

    def variable(key: str, d: Described) -> _Variable:
        meta = cf_attributes(d.meta)
        if d.labels is not None:
            return _Variable(key, d.dims, object, meta, values=d.labels)
        if d.var is None:  # the UTC times
            meta.update(units=TIME_UNITS, calendar="proleptic_gregorian")
            return _Variable(key, d.dims, np.int64, meta)
        return _Variable(key, d.dims, d.var.leaf.dtype, meta, None if key == layout.EPOCH else d.var.fill)

    data_vars = {k: variable(k, d) for k, d in data_described.items()}
    coords = {k: variable(k, d) for k, d in coords_described.items()}
    ordered = list(data_vars.values()) + list(coords.values())
    shapes = {leaf.name: leaf.shape for leaf in layout.leaves(dtype)}
    sizes: dict[str, int] = {}
    for var in ordered:
        shape = (len(var.values),) if var.values is not None else (0,) + shapes.get(var.name, ())
        for dim, size in zip(var.dims, shape):
            sizes.setdefault(dim, size)
    # a coordinate that is no dimension is named in the `coordinates` attribute of each variable
    # lying along all its dimensions; one named by none, in the file's
    extra = [c for c in coords.values() if c.name not in sizes]
    named: set[str] = set()
    for var in ordered:
        if var.name in coords and var.name not in sizes or var.name in var.dims:
            continue
        own = sorted(c.name for c in extra if set(c.dims) <= set(var.dims))
        if own:
            var.attrs["coordinates"] = " ".join(own)
            named.update(own)
    glob = dict(attributes.global_attributes(name, dtype=dtype))
    glob.update(product=name, Conventions="CF-1.8")
    unnamed = sorted(c.name for c in extra if c.name not in named)
    if unnamed:
        glob["coordinates"] = " ".join(unnamed)
    return glob, ordered, sizes


def _attribute(value: Any) -> Any:
    """An attribute's value as the netCDF library's readers take it: text as it is, a number as
    an array of one."""
    return value if isinstance(value, (str, bytes)) else np.atleast_1d(value)


def _empty(
    path: str,
    dtype: np.dtype,
    product: str | Product,
    parents: str | None,
    data_version: str,
    mission: Mapping[str, str] | None = None,
) -> None:
    """Writes an empty netCDF-4 file of `product`'s records: dimensions (Epoch unlimited) as HDF5
    dimension scales with their netCDF ids, variables with their attributes, chunks and
    compression, the label coordinates' values."""
    glob, variables, sizes = _structure(dtype, product)
    for key, value in [*(mission or {}).items(), ("Parents", parents or " "), ("Data_version", data_version)]:
        glob.pop(key, None)  # set again: last, as a file's attributes set anew are
        glob[key] = value
    properties = (
        f"version=2,dravel={attributes.software_version()},hdf5={h5py.version.hdf5_version},h5py={h5py.__version__}"
    )
    glob["_NCProperties"] = np.array(properties, dtype=h5py.string_dtype("ascii", len(properties)))
    by_name = {var.name: var for var in variables}
    dim_ids = {dim: np.int32(i) for i, dim in enumerate(sizes)}
    with h5py.File(path, "w", track_order=True) as f:
        for key, value in glob.items():
            f.attrs[key] = value
        scales = {
            dim: f.create_dataset(dim, (size,), ">f4", track_order=True)
            for dim, size in sizes.items()
            if dim not in by_name
        }
        nodes: dict[str, Any] = {}
        for var in variables:
            shape = tuple(sizes[d] for d in var.dims)
            options: dict[str, Any] = {}
            if var.dims[:1] == (layout.EPOCH,):
                row = max(1, var.dtype.itemsize * int(np.prod(shape[1:], dtype=np.int64)))
                rows = min(CHUNK_ROWS, max(1, CHUNK_BYTES // row))
                options = {
                    "chunks": (rows,) + shape[1:],
                    "maxshape": (None,) + shape[1:],
                    "compression": "gzip",
                    "compression_opts": GZIP_LEVEL,
                }
            text = var.values is not None
            nodes[var.name] = f.create_dataset(
                var.name,
                shape,
                h5py.string_dtype("utf-8") if text else var.dtype,
                fillvalue=var.fill,
                track_order=True,
                **options,
            )
        scales.update((dim, nodes[dim]) for dim in sizes if dim in nodes)
        for dim, scale in scales.items():
            scale.attrs["_Netcdf4Dimid"] = dim_ids[dim]
            scale.make_scale(dim if dim in nodes else NOT_A_VARIABLE + b"%10d" % sizes[dim])
        for var in variables:
            node = nodes[var.name]
            if var.name not in sizes:
                for axis, dim in enumerate(var.dims):
                    node.dims[axis].attach_scale(scales[dim])
            node.attrs["_Netcdf4Coordinates"] = np.array([dim_ids[d] for d in var.dims], np.int32)
            if var.fill is not None:
                node.attrs["_FillValue"] = _attribute(var.dtype.type(var.fill))
            for key, value in var.attrs.items():
                node.attrs[key] = _attribute(value)
            if var.values is not None:
                node[...] = np.array(var.values, dtype=object)


class NetCDFWriter(DayFilesWriter):
    """netCDF files, one per product and UTC day."""

    day = NetCDFDay


def read_netcdf(path: str | os.PathLike[str]) -> tuple[str, dict[str, np.ndarray]]:
    """(product name, {variable name: values}) of a netCDF file of ours, values as stored: every
    variable along Epoch but `time`."""
    with open_netcdf(path) as day:
        return day.product, {name: day.read(name) for name in day.names}


class open_netcdf:
    """A netCDF file of ours, open to read its record variables (every variable along Epoch
    but `time`) a slice at a time, values as stored: `product`, `names`, `records`,
    `read(name, start, stop)`; a context manager. Read with h5py (the netCDF dimension scales
    name each variable's first dimension), so that a process checking day files loads no
    xarray."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        try:
            self.file = h5py.File(self.path, "r")
        except (OSError, ValueError) as exc:
            raise InputError(f"{self.path}: cannot be read as a netCDF file ({exc})") from None
        try:
            product = self.file.attrs.get("product", "")
            self.product = str(product.decode() if isinstance(product, bytes) else product)
            self.variables: dict[str, Any] = {}  # {name: h5py dataset} of the record variables
            epoch = self.file.get(layout.EPOCH)
            for name, node in self.file.items():
                if not isinstance(node, h5py.Dataset) or name == TIME or epoch is None:
                    continue
                dims = node.attrs.get("DIMENSION_LIST")
                if name == layout.EPOCH or (dims is not None and len(dims) and self.file[dims[0][0]] == epoch):
                    self.variables[name] = node
            self.names = list(self.variables)
            self.records = len(epoch) if epoch is not None else 0
        except (OSError, ValueError, KeyError) as exc:
            self.file.close()
            raise InputError(f"{self.path}: cannot be read as a netCDF file ({exc})") from None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self.file.close()

    def stored_names(self) -> list[str]:
        """The names of every variable of the file, as it stores them."""
        return list(self.file)

    def attribute(self, name: str) -> list[str] | None:
        """The global attribute `name` as text, one entry (None: no such attribute)."""
        if name not in self.file.attrs:
            return None
        value = self.file.attrs[name]
        return [value.decode() if isinstance(value, bytes) else str(value)]

    def global_attributes(self) -> dict[str, str]:
        """{name: text} of the file's own global attributes (not the netCDF library's)."""
        return {k: _text(v) for k, v in self.file.attrs.items() if not k.startswith("_")}

    def stored_records(self, stored: str) -> int:
        return int(self.variables[stored].shape[0])

    def stored_variables(self) -> dict[str, StoredVariable]:
        """{stored name: StoredVariable} of the file's numeric variables along Epoch; Epoch
        among them with `time` true."""
        out: dict[str, StoredVariable] = {}
        for name, node in self.variables.items():
            if node.dtype.kind not in "iuf":
                continue
            a = node.attrs
            fill = a.get("_FillValue")
            others = [c for c in _text(a.get("coordinates", "")).split() if c != TIME]
            is_time = name == layout.EPOCH
            out[name] = StoredVariable(
                name=name,
                dtype=np.dtype(np.int64) if is_time else node.dtype,
                shape=tuple(node.shape[1:]),
                time=is_time,
                var_type=_text(a.get("VAR_TYPE", "")),
                depend_0=None if is_time else layout.EPOCH,
                fill=None if fill is None or is_time else np.asarray(fill).reshape(-1)[0],
                units=_text(a.get("UNITS", a.get("units", ""))),
                description=_text(a.get("CATDESC", a.get("long_name", ""))),
                coordinate=others[0] if others else None,
            )
        return out

    def read_stored(self, stored: str, start: int | None = None, stop: int | None = None) -> np.ndarray:
        """Records start:stop of the variable `stored`, as stored (Epoch as int64 TT2000)."""
        values = self.read(stored, start, stop)
        return values.view(np.int64) if stored == layout.EPOCH and values.dtype == np.uint64 else values

    def read(self, name: str, start: int | None = None, stop: int | None = None) -> np.ndarray:
        node = self.variables[name]
        return node[()] if start is None and stop is None else node[start:stop]
