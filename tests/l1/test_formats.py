"""L1 records through CDF, netCDF and xarray: values back bit for bit, ISTP-clean files, fill
values from the fill-value component, layouts no table knows, and outputs that cannot be made."""

import numpy as np
import pytest
import spacepy.pycdf as pycdf
import spacepy.pycdf.istp as istp

from kesta.dravel import products as registry
from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import OutputError, decode_file
from kesta.dravel.l1.attributes import fill_value
from kesta.dravel.l1.cdf import read_cdf, write_cdf
from kesta.dravel.l1.dataset import to_dataset
from kesta.dravel.l1.dayrecords import daily_records
from kesta.dravel.l1.layout import flatten, leaves
from kesta.dravel.l1.netcdf import read_netcdf, write_netcdf
from kesta.dravel.l1.times import utc_days


@pytest.fixture(scope="module")
def decoded(tmp_path_factory):
    """Every product, decoded from a simulated file with anomalies (shuffled packets too)."""
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    simulate_file(path, seed=5, anomalies=True)
    return {p.product: p.data for p in decode_file(path).products}


def in_time_order(records):
    return records[np.argsort(records["epoch"].astype(np.int64), kind="stable")]


def concatenated(paths):
    parts = [read_cdf(p) for p in sorted(paths)]
    names = {name for name, _ in parts}
    assert len(names) == 1
    return names.pop(), {k: np.concatenate([v[k] for _, v in parts]) for k in parts[0][1]}


@pytest.mark.parametrize("product", [p.name for p in registry.PRODUCTS])
def test_cdf_round_trip_is_exact_and_istp_clean(decoded, tmp_path, product):
    import cdflib.xarray

    records = decoded[product]
    paths = write_cdf(records, product, tmp_path, parents="L0.h5")
    assert paths and all(p.startswith(str(tmp_path / f"zelk_l1_{product}_")) and p.endswith("_v01.cdf") for p in paths)
    for path in paths:
        with pycdf.CDF(path) as f:
            assert istp.FileChecks.all(f, catch=True) == [], path
            assert f["Epoch"].type() == pycdf.const.CDF_TIME_TT2000.value
            assert str(f.attrs["Parents"][0]) == "L0.h5"
        assert "Epoch" in cdflib.xarray.cdf_to_xarray(path).variables
    name, back = concatenated(paths)
    want = flatten(daily_records(product, records))
    assert name == product and set(back) == set(want)
    for key, values in want.items():
        got = back[key].astype(values.dtype)
        assert got.tobytes() == values.tobytes(), key


@pytest.mark.parametrize("product", ["tnr_normal", "tswf", "hist2d", "lfm_sm"])
def test_netcdf_and_dataset_hold_the_records(decoded, tmp_path, product):
    records = decoded[product]
    ds = to_dataset(records, product, raw=True)
    assert ds.sizes["Epoch"] == len(records)
    for leaf in leaves(records.dtype):
        assert ds[leaf.name].dims[0] == "Epoch"
        np.testing.assert_array_equal(ds[leaf.name].values, flatten(records)[leaf.name])
    assert not any(d.endswith(("_dim1", "_dim2")) for d in ds.dims)  # every axis has a name
    if product == "tnr_normal":
        assert ds["auto1"].dims == ("Epoch", "frequency_bin") and "frequency" in ds.coords
    if product == "tswf":
        assert list(ds["channel"].values) == ["CH1", "CH2", "CH3", "CH4"]
    paths = write_netcdf(records, product, tmp_path)  # one file per UTC day, in day order
    assert len(paths) == len(utc_days(in_time_order(records)["epoch"]))
    files = [read_netcdf(path) for path in sorted(paths)]
    back = {key: np.concatenate([values[key] for _, values in files]) for key in files[0][1]}
    want = flatten(daily_records(product, records))
    assert {name for name, _ in files} == {product}
    for key, values in want.items():
        assert back[key].dtype == values.dtype and np.array_equal(back[key], values), key


ODD_FILLS = {
    "uint8": 7,
    "uint16": 7007,
    "uint32": 70007,
    "uint64": 77,
    "int8": -7,
    "int16": -707,
    "int32": -70007,
    "int64": -77,
    "float32": 12.5,
    "float64": -3.25,
}


class OddFills:
    def __call__(self, type_name):
        return np.dtype(type_name).type(ODD_FILLS[type_name])


@pytest.mark.parametrize("product", ["tnr_normal", "tswf"])
def test_day_files_appended_in_small_batches_over_many_chunks_hold_the_records(decoded, tmp_path, monkeypatch, product):
    # batches ending inside chunks, netCDF variables of many chunks (the last one part full),
    # each CDF compressed whole after its records are in
    import kesta.dravel.l1.days as days
    import kesta.dravel.l1.netcdf as netcdf

    monkeypatch.setattr(days, "BATCH_BYTES", 20_000)
    monkeypatch.setattr(netcdf, "CHUNK_BYTES", 5_000)
    records = decoded[product]
    want = flatten(daily_records(product, records))
    for write, read, folder in ((write_cdf, read_cdf, tmp_path / "cdf"), (write_netcdf, read_netcdf, tmp_path / "nc")):
        folder.mkdir()
        paths = sorted(write(records, product, folder))
        parts = [read(path)[1] for path in paths]
        for key, values in want.items():
            got = np.concatenate([part[key] for part in parts]).astype(values.dtype)
            assert got.tobytes() == values.tobytes(), (folder.name, key)
    import h5py

    with h5py.File(paths[0], "r") as f:  # netCDF variables of several chunks
        assert any(d.chunks and d.chunks[0] < len(d) for d in f.values() if isinstance(d, h5py.Dataset))


def test_fill_values_come_from_the_component(decoded, tmp_path, monkeypatch):
    import tesmo.converters.cdf_fill as cdf_fill

    monkeypatch.setattr(cdf_fill, "CDFToFill", OddFills)
    records = decoded["tswf"]
    (path,) = write_cdf(records, "tswf", tmp_path)
    with pycdf.CDF(path) as f:
        assert f["tswf_waveform_data"].attrs["FILLVAL"] == -707
        assert f["tswf_sampling_rate"].attrs["FILLVAL"] == 12.5
        assert f["tswf_samps_per_ch"].attrs["FILLVAL"] == -77  # uint64 kept as CDF_INT8
    ds = to_dataset(records, "tswf")
    assert ds["waveform_data"].attrs["fill_value"] == -707
    assert not (ds["waveform_data"] == -707).any()  # masked with that fill value
    (nc,) = write_netcdf(records, "tswf", tmp_path)
    import xarray as xr

    with xr.open_dataset(nc, mask_and_scale=False) as back:
        assert back["snapshot_seq_nr"].attrs["_FillValue"] == 7007


def test_a_layout_no_table_knows_still_writes(decoded, tmp_path):
    records = decoded["tnr_normal"]
    richer = np.dtype(records.dtype.descr + [("extra", [("gain", "<f4", (3,)), ("mode", "u1")])])
    more = np.zeros(len(records), dtype=richer)
    for name in records.dtype.names:
        more[name] = records[name]
    more["extra"]["gain"] = np.arange(3, dtype=np.float32)
    (path, *_) = write_cdf(more, "tnr_normal", tmp_path)
    with pycdf.CDF(path) as f:
        assert istp.FileChecks.all(f, catch=True) == []
        assert "tnr_normal_extra_gain" in f and "tnr_normal_extra_mode" in f
        assert "extra.gain" in f["tnr_normal_extra_gain"].attrs["CATDESC"]
    assert to_dataset(more, "tnr_normal")["extra_gain"].dims == ("Epoch", "extra_gain_dim1")


def test_outputs_that_cannot_be_made(decoded, tmp_path):
    records = decoded["lfm_psd"]
    (path,) = write_cdf(records, "lfm_psd", tmp_path)
    with pytest.raises(OutputError, match="exists already"):
        write_cdf(records, "lfm_psd", tmp_path)
    assert write_cdf(records, "lfm_psd", tmp_path, overwrite=True) == [path]
    with pytest.raises(OutputError, match="no such folder"):
        write_cdf(records, "lfm_psd", tmp_path / "absent")
    assert write_cdf(records[:0], "lfm_psd", tmp_path) == []
    assert write_netcdf(records[:0], "lfm_psd", tmp_path) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.split("/")[-1]]  # nothing half-written


# What outside readers see: every dimension named, flags and status not drawn as spectrograms,
# no all-fill axis, fill values masked in datasets.

ISTP_DISPLAY = {"time_series", "spectrogram"}


@pytest.mark.parametrize("product", [p.name for p in registry.PRODUCTS])
def test_cdf_variables_fit_outside_readers(decoded, tmp_path, product):
    """cdflib's xarray conversion names every dimension (no `dim0`), every array dimension has a
    DEPEND_i or LABL_PTR_i, only spectra are spectrograms and only science quantities are data,
    and no DEPEND points at an all-fill variable."""
    import cdflib.xarray

    for path in write_cdf(decoded[product], product, tmp_path):
        ds = cdflib.xarray.cdf_to_xarray(path)
        unnamed = {name: v.dims for name, v in ds.variables.items() if any(str(d).startswith("dim") for d in v.dims)}
        assert not unnamed, unnamed
        with pycdf.CDF(path) as f:
            for name in f:
                var, a = f[name], f[name].attrs
                for axis in range(1, len(var.shape) if var.rv() else 0):  # (axes themselves: NRV)
                    assert f"DEPEND_{axis}" in a or f"LABL_PTR_{axis}" in a, (name, axis)
                if a.get("VAR_TYPE") != "data":
                    assert a.get("DISPLAY_TYPE") in (None, "time_series"), name
                else:
                    assert a.get("DISPLAY_TYPE") in (None,) + tuple(ISTP_DISPLAY), name
                if var.rv() and ("flag" in name or "status" in name):
                    assert a["VAR_TYPE"] in ("support_data", "ignore_data"), name
                    assert a.get("DISPLAY_TYPE") != "spectrogram", name
                if a.get("DISPLAY_TYPE") == "spectrogram":
                    assert a["VAR_TYPE"] == "data", name
                for key in [k for k in a if k.startswith("DEPEND_") and k != "DEPEND_0"]:
                    axis = f[a[key]]
                    fill = axis.attrs.get("FILLVAL")
                    values = axis[...]
                    assert fill is None or not np.all(values == fill), (name, key, a[key])


def test_waveforms_have_channel_labels_and_tnr_calibration_no_frequency_axis(decoded, tmp_path):
    (path,) = write_cdf(decoded["tswf"], "tswf", tmp_path)
    with pycdf.CDF(path) as f:
        a = f["tswf_waveform_data"].attrs
        assert a["VAR_TYPE"] == "data" and a.get("DISPLAY_TYPE") != "spectrogram"
        assert [str(x).strip() for x in f[a["LABL_PTR_1"]][...]] == ["CH1", "CH2", "CH3", "CH4"]
        assert a["DEPEND_1"] == "channel_index" and a["DEPEND_2"] == "sample_index"
    (path,) = write_cdf(decoded["tnr_calibration"], "tnr_calibration", tmp_path)
    with pycdf.CDF(path) as f:
        a = f["tnr_calibration_auto1"].attrs  # bands x levels x bins of one packet
        assert (a["DEPEND_1"], a["DEPEND_2"], a["DEPEND_3"]) == ("band_index", "level_index", "calibration_bin_index")
        assert f["tnr_calibration_frequency"].attrs["VAR_TYPE"] == "ignore_data"  # never set: all fill
    (path, *_) = write_cdf(decoded["tnr_normal"], "tnr_normal", tmp_path)
    with pycdf.CDF(path) as f:
        assert f["tnr_normal_auto1"].attrs["DEPEND_1"] == "tnr_normal_frequency"
        assert f["tnr_normal_auto1"].attrs["DISPLAY_TYPE"] == "spectrogram"


def test_cdf_files_load_in_pyspedas_without_warnings(decoded, tmp_path, caplog):
    """pyspedas (not a dependency: skipped where it is not installed) loads the data and the
    support data of every product with no warning."""
    tplot = pytest.importorskip("pyspedas").cdf_to_tplot
    import logging

    for product in decoded:
        for path in write_cdf(decoded[product], product, tmp_path):
            caplog.clear()
            with caplog.at_level(logging.WARNING):
                assert tplot(path, get_support_data=True)
            said = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
            # but where a day measured none of a spectrum (its channel off all day): pyspedas
            # says so, and it is true
            _, back = read_cdf(path)
            true = {
                f"Floating point data values for variable {product}_{name} are all fillval "
                f"({float(fill_value(v.dtype)):e})"
                for name, v in back.items()
                if v.dtype.kind == "f" and np.all(v == fill_value(v.dtype))
            }
            assert [s for s in said if s not in true] == [], path


def test_datasets_mask_fill_values_and_give_them_raw_on_request(decoded):
    records = decoded["tswf"]
    fill = np.iinfo(np.int16).min
    samples = flatten(records)["waveform_data"]
    assert (samples == fill).any() and (samples != fill).any()
    ds = to_dataset(records, "tswf")
    wave = ds["waveform_data"]
    assert wave.dtype.kind == "f" and not (wave == fill).any()
    np.testing.assert_array_equal(np.isnan(wave.values), samples == fill)
    np.testing.assert_array_equal(wave.values[samples != fill], samples[samples != fill])
    assert wave.encoding["dtype"] == np.int16 and wave.encoding["_FillValue"] == fill
    assert (
        np.isnan(ds["samps_per_ch"].values).any() == (flatten(records)["samps_per_ch"] == np.iinfo(np.uint64).max).any()
    )
    raw = to_dataset(records, "tswf", raw=True)
    assert raw["waveform_data"].dtype == np.int16
    np.testing.assert_array_equal(raw["waveform_data"].values, samples)
    tnr = to_dataset(decoded["tnr_normal"], "tnr_normal")
    assert tnr["auto1"].dtype == np.float32 and "frequency" in tnr.coords
    assert to_dataset(decoded["tnr_calibration"], "tnr_calibration")["frequency"].isnull().all()


def test_products_sharing_field_names_load_side_by_side_in_tplot(decoded, tmp_path, caplog):
    """tplot keeps one variable per name: two products with the same fields (snapshots,
    TNR spectra) loaded together each keep their own, and read_cdf gives the field names."""
    pyspedas = pytest.importorskip("pyspedas")
    import logging

    from kesta.dravel.l1.attributes import field_of, stored_name

    pyspedas.del_data("*")
    caplog.clear()
    paths = {}
    for product in ("tswf", "rswf", "tnr_normal", "tnr_burst"):
        (tmp_path / product).mkdir()
        paths[product] = write_cdf(decoded[product], product, tmp_path / product)[0]
    with caplog.at_level(logging.WARNING):
        loaded = pyspedas.cdf_to_tplot(list(paths.values()), get_support_data=True)
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING] == []
    for product, path in paths.items():
        _, back = read_cdf(path)
        for field in ("waveform_data", "scet") if "swf" in product else ("auto1", "scet"):
            name = stored_name(product, field)
            assert name in loaded and field_of(product, name) == field
            got = pyspedas.get_data(name)
            assert got is not None and len(got.times) == len(back[field]), name
    assert stored_name("tswf", "Epoch") == "Epoch" and field_of("tswf", "rswf_scet") == "rswf_scet"


class _Day:
    """A day's records as the archive hands them over: a batch at a time."""

    def __init__(self, records, batch=3, product="tnr_normal"):
        self.records, self.dtype, self.batch, self.product = records, records.dtype, batch, product

    def __len__(self):
        return len(self.records)

    def batches(self):
        for a in range(0, len(self.records), self.batch):
            yield self.records[a : a + self.batch]


@pytest.mark.parametrize("fmt", ["cdf", "netcdf"])
def test_a_day_file_is_compared_with_its_records_a_batch_at_a_time(decoded, tmp_path, fmt):
    from kesta.dravel.archive.tasks import holds

    records = in_time_order(decoded["tnr_normal"])
    records = records[utc_days(records["epoch"])[0][1] : utc_days(records["epoch"])[0][2]]
    write = write_cdf if fmt == "cdf" else write_netcdf
    (path,) = write(records, "tnr_normal", tmp_path, parents="L0.h5")
    assert holds(path, fmt, _Day(records), ["L0.h5"])
    assert not holds(path, fmt, _Day(records), ["L0.h5", "L0b.h5"])
    changed = records.copy()
    changed["scet"][len(records) - 1] += 1  # in the last batch only
    assert not holds(path, fmt, _Day(changed), ["L0.h5"])
    assert not holds(path, fmt, _Day(records[:-1]), ["L0.h5"])


class _Library:
    """Saves like the CDF library, from `made` (the uncompressed file), failing after `upto`
    bytes when told to."""

    def __init__(self, made, upto=None):
        self.made, self.upto = made, upto

    def save(self, cdf, path=None):
        if path is None:
            return self.made
        with open(path, "wb") as f:
            f.write(self.made[: self.upto])
        if self.upto is not None:
            raise OSError("made up: the library failed")
        return True


def test_a_cdf_deflated_as_the_library_writes_it(decoded, tmp_path):
    """Piped or made in memory, the same file; a failure on either side of the pipe is raised
    and ends the other side."""
    import pycdfpp

    from kesta.dravel.l1.cdf import CDFDay, save_deflated

    day = CDFDay(tmp_path / "whole.cdf", decoded["tswf"].dtype, "tswf", "whole.cdf", ["L0.h5"], "01")
    day.append(daily_records("tswf", decoded["tswf"]))
    made = bytes(pycdfpp.save(day.made()))
    for piped in (False, True):
        save_deflated(_Library(made).save, None, tmp_path / f"{piped}.cdf", piped=piped)
    assert (tmp_path / "True.cdf").read_bytes() == (tmp_path / "False.cdf").read_bytes()
    back = pycdfpp.load(str(tmp_path / "True.cdf"))
    want = daily_records("tswf", decoded["tswf"])["waveform_data"]
    assert np.asarray(back["tswf_waveform_data"].values).tobytes() == np.ascontiguousarray(want).tobytes()
    for upto in (0, len(made) // 2):
        with pytest.raises(OSError, match="made up"):
            save_deflated(_Library(made, upto).save, None, tmp_path / "failed.cdf")
    with pytest.raises(FileNotFoundError):
        save_deflated(_Library(made).save, None, tmp_path / "no such folder" / "x.cdf")


SWAPPED_WHILE_READ = """
import os, sys, threading
from kesta.dravel.l1.cdf import open_cdf
day, first, second, reads = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
contents = [open(p, "rb").read() for p in (first, second)]
with open(day, "wb") as f:
    f.write(contents[0])
stop = False
def swap():
    while not stop:
        for data in contents:
            with open(day + ".tmp", "wb") as f:
                f.write(data)
            os.replace(day + ".tmp", day)
swapper = threading.Thread(target=swap)
swapper.start()
try:
    for _ in range(reads):
        with open_cdf(day) as opened:
            print(opened.product, sum(opened.read_stored(n).nbytes for n in opened.stored_names()))
finally:
    stop = True
    swapper.join()
"""


def test_a_cdf_replaced_while_it_is_read_is_read_whole(decoded, tmp_path):
    """Another CDF renamed over one being read, as the archive replaces day files while the
    server reads them: every read gives one of the two files whole, and the reader lives. (The
    files are stored uncompressed, as other writers than ours store them: the library reads
    such a file's values from it as they are asked for.)"""
    import subprocess
    import sys

    import pycdfpp

    paths = []
    for product in ("tnr_normal", "lfm_psd"):
        (tmp_path / product).mkdir()
        cdf = pycdfpp.load(write_cdf(decoded[product], product, tmp_path / product)[0])
        cdf.compression = pycdfpp.CompressionType.no_compression
        paths.append(str(tmp_path / f"{product}.cdf"))
        pycdfpp.save(cdf, paths[-1])
    first, second = paths
    wholes = set()
    for path in (first, second):
        out = subprocess.run([sys.executable, "-c", SWAPPED_WHILE_READ, path, path, path, "1"], capture_output=True)
        wholes.add(out.stdout.decode().strip())
    day = str(tmp_path / "day.cdf")
    done = subprocess.run(
        [sys.executable, "-c", SWAPPED_WHILE_READ, day, first, second, "400"], capture_output=True, timeout=300
    )
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    seen = set(done.stdout.decode().split("\n")) - {""}
    assert seen <= wholes and len(wholes) == 2
