"""netCDF day files are written straight with h5py: each must be the file xarray itself writes
(through h5netcdf) for the day's records, as both netCDF readers see it and down to the HDF5
dimension scales and netCDF ids; `time` must hold what xarray's encoding of the UTC times gives."""

import h5py
import numpy as np
import pytest
import xarray as xr

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import decode_file
from kesta.dravel.l1.attributes import fill_value
from kesta.dravel.l1.dayrecords import day_records
from kesta.dravel.l1.netcdf import TIME_UNITS, cf_dataset, encoded_time, write_netcdf
from kesta.dravel.l1.times import utc, utc_days


@pytest.fixture(scope="module")
def decoded(tmp_path_factory):
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    simulate_file(path, seed=11)
    return {p.product: p.data for p in decode_file(path).products if len(p.data)}


def first_day(records, product):
    """The first UTC day of `records` and the day records its file holds."""
    records = records[np.argsort(records["epoch"].astype(np.int64), kind="stable")]
    day, start, stop = utc_days(records["epoch"])[0]
    return day, day_records(product, records[start:stop])


def reference(records, product, ours, path):
    """The file xarray writes for `records`, compressed as the file `ours` (chunks of its own:
    xarray makes none larger than the records)."""
    ds = cf_dataset(records, product)
    ds["time"].encoding.update(units=TIME_UNITS, dtype="int64")
    with h5py.File(ours, "r") as f:
        for name, var in ds.variables.items():
            if var.dims[:1] == ("Epoch",):
                var.encoding.update(zlib=True, complevel=f[name].compression_opts)
        ds.attrs["Generation_date"] = f.attrs["Generation_date"]
    ds.to_netcdf(path, engine="h5netcdf", unlimited_dims=["Epoch"])


def hdf5_view(path):
    """What a netCDF reader finds in the HDF5 file: every dataset's layout but its chunks and its
    attributes (the dimension scales' references by name), the order of the datasets, the file's attributes."""

    def value(f, key, v):
        if key == "DIMENSION_LIST":
            return [[f[ref].name for ref in refs] for refs in v]
        if key == "REFERENCE_LIST":
            return [(f[ref].name, int(axis)) for ref, axis in v]
        return repr(v), str(np.asarray(v).dtype)

    with h5py.File(path, "r") as f:
        view = {"order": list(f), "attributes": sorted(k for k in f.attrs if k != "_NCProperties")}
        for name, d in f.items():
            view[name] = (
                d.shape,
                d.maxshape,
                str(d.dtype),
                bool(d.chunks),
                d.compression,
                d.compression_opts,
                repr(d.fillvalue),
                {k: value(f, k, d.attrs[k]) for k in d.attrs},
            )
    return view


@pytest.mark.parametrize("product", ["tnr_normal", "hist2d", "tswf", "lfm_sm", "hfr_calibration"])
def test_a_day_file_is_the_file_xarray_writes_for_its_records(decoded, tmp_path, product):
    records = decoded[product]
    day, want = first_day(records, product)
    (ours,) = [p for p in write_netcdf(records, product, tmp_path) if f"_{day}_" in p]
    theirs = tmp_path / "xarray.nc"
    reference(want, product, ours, theirs)
    assert hdf5_view(ours) == hdf5_view(theirs)
    for engine in ("h5netcdf", "netcdf4"):
        for options in ({}, {"decode_times": False, "mask_and_scale": False}):
            with (
                xr.open_dataset(ours, engine=engine, **options) as a,
                xr.open_dataset(theirs, engine=engine, **options) as b,
            ):
                assert a.identical(b), (engine, options)
                assert list(a.variables) == list(b.variables) and a.sizes == b.sizes
                assert a.sizes["Epoch"] == len(want)
    with h5py.File(ours, "r") as f:
        assert f.attrs["_NCProperties"].startswith(b"version=2,")


def xarray_encoded(epoch):
    variable = xr.Variable(("Epoch",), utc(epoch), encoding={"units": TIME_UNITS, "dtype": "int64"})
    return xr.conventions.cf_encoder({"time": variable}, {})[0]["time"].values


LEAP = 536_500_868_184_000_000  # TT2000 of 2016-12-31T23:59:60 UTC, the last leap second


@pytest.mark.parametrize(
    "epoch",
    [
        # a day's times, not on whole microseconds, before and after 2000 too
        np.array([LEAP - 86_000_000_000_123, LEAP - 5_000_000_001, LEAP - 1_000_000_999], np.int64),
        np.array([-3_000_000_000_000_007, -2_999_999_000_000_001], np.int64),
        # across the leap second, and inside it
        np.array(
            [LEAP - 1_500_000_000, LEAP, LEAP + 500_000_000, LEAP + 1_000_000_000, LEAP + 7_000_000_003], np.int64
        ),
        # years apart, with the fill values of TT2000 and of the element type, beyond datetime64[ns]
        np.array([0, fill_value(np.int64), 880_000_000_000_000_000, -9_000_000_000_000_000_000, 5], np.int64),
        np.array([LEAP + 3, fill_value(np.uint64), 12_345], np.uint64),
        np.zeros(0, np.int64),
    ],
    ids=["one-day", "before-2000", "leap-second", "fills-and-years", "uint64", "none"],
)
def test_time_is_what_xarray_encodes_of_the_utc_times(epoch):
    got = encoded_time(epoch)
    assert got.dtype == np.int64 and got.tolist() == xarray_encoded(epoch).tolist()
