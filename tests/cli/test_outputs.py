"""What a run leaves and says, in every format: day files that hold exactly the records of a
whole decode however the run was windowed, outputs refused unless --overwrite, a reason on the
last line of every failing exit, each report printed once, the cause of a lost product."""

import h5py
import numpy as np
import pytest

from kesta.dravel import products as registry
from kesta.dravel.cli.simulate import simulate_file, simulate_groups
from kesta.dravel.l1 import convert, decode_file
from kesta.dravel.l1.cdf import read_cdf
from kesta.dravel.l1.dayrecords import daily_records
from kesta.dravel.l1.layout import flatten
from kesta.dravel.l1.netcdf import read_netcdf
from kesta.dravel.simulate.store import write_hdf5
from kesta.dravel.simulate.thr_random import random_tnr_survey


@pytest.fixture(scope="module")
def anomalous_l0(tmp_path_factory):
    path = tmp_path_factory.mktemp("outputs") / "L0.h5"
    simulate_file(path, seed=5, anomalies=True, scale=2)
    return path


def day_files(folder, reader, ext):
    """{product: {variable: values}} of every day file of `folder`, days in order."""
    out = {}
    for path in sorted(folder.glob(f"zelk_l1_*.{ext}")):
        product, values = reader(path)
        parts = out.setdefault(product, {})
        for name, v in values.items():
            parts.setdefault(name, []).append(v)
    return {p: {n: np.concatenate(v) for n, v in parts.items()} for p, parts in out.items()}


@pytest.mark.parametrize("fmt, reader, ext", [("cdf", read_cdf, "cdf"), ("netcdf", read_netcdf, "nc")])
def test_day_files_of_a_windowed_run_hold_the_whole_decode(anomalous_l0, tmp_path, fmt, reader, ext):
    # one unit a window, records handed to the day files out of time order: each product's
    # files still hold its every record, once, in stable time order
    whole = decode_file(anomalous_l0)
    done = convert(anomalous_l0, tmp_path, format=fmt, window_bytes=1)
    assert sorted(done.outputs) == sorted(str(p) for p in tmp_path.glob(f"zelk_l1_*.{ext}"))
    back = day_files(tmp_path, reader, ext)
    for p in whole.products:
        if p.data is None or not len(p.data):
            assert p.product not in back
            continue
        assert done[p.product].outputs and all(f"_{p.product}_" in o for o in done[p.product].outputs)
        want = flatten(daily_records(p.product, p.data))
        got = back[p.product]
        for name, values in want.items():
            assert np.array_equal(
                got[name].view(values.dtype)
                if got[name].dtype != values.dtype and got[name].dtype.itemsize == values.dtype.itemsize
                else got[name],
                values,
            ), (p.product, name)
    assert [n.name for n in tmp_path.iterdir() if n.name.startswith(".")] == []


@pytest.mark.parametrize("fmt", ["hdf5", "cdf", "netcdf"])
def test_existing_outputs_are_refused_unless_overwrite(cli, snapshot_l0, tmp_path, fmt):
    l0, _ = snapshot_l0
    out = tmp_path / ("L1.h5" if fmt == "hdf5" else "L1")
    assert cli("decode", l0, "-o", out, "--format", fmt)[0] == 0
    before = sorted(p.name for p in (out.parent if fmt == "hdf5" else out).iterdir())
    code, stdout, err = cli("decode", l0, "-o", out, "--format", fmt)
    assert code == 2 and err.count("\n") == 1 and "exists already" in err
    assert sorted(p.name for p in (out.parent if fmt == "hdf5" else out).iterdir()) == before
    code, _, err = cli("decode", l0, "-o", out, "--format", fmt, "--overwrite", "--data-version", "02")
    assert code == 0, err
    if fmt != "hdf5":  # a new version is written beside the old one
        names = [p.name for p in out.iterdir()]
        assert any(n.endswith("_v02." + ("cdf" if fmt == "cdf" else "nc")) for n in names)
        assert any("_v01." in n for n in names)


def test_failing_exits_say_why_on_their_last_line(cli, tmp_path):
    case = random_tnr_survey(np.random.default_rng(2), 4, "normal")
    group = dict(case.group)
    del group["PA_THR_TNR_DATA"]
    groups, _, _ = simulate_groups(seed=1, anomalies=False)
    groups = {name: g for name, g in groups.items() if name == "TM_TDS_SCIENCE_ROUTINE_TRIGSNAP"}
    groups[registry.TNR_NORMAL_PACKET] = group
    write_hdf5(tmp_path / "L0.h5", groups)
    code, out, err = cli("decode", tmp_path / "L0.h5", "-o", tmp_path / "a.h5", "-q")
    assert code == 1 and out == ""
    (line,) = err.splitlines()
    assert line.startswith("dravel: error: 1 of 2 product(s) failed; tnr_normal: every packet was lost")
    assert "PA_THR_TNR_DATA" in line  # the cause, not only the count
    # the summary says it too, and the file keeps the product's trace
    code, out, err = cli("decode", tmp_path / "L0.h5", "-o", tmp_path / "b.h5")
    row = next(r for r in out.splitlines() if r.startswith("tnr_normal"))
    assert "PA_THR_TNR_DATA" in row
    with h5py.File(tmp_path / "b.h5") as f:
        assert len(f["tnr_normal"]) == 0 and f["tnr_normal"].attrs["status"] == "failed"
        assert f["tnr_normal"].attrs["packets_in"] == 4 and len(f["log/reports/tnr_normal"]) == 4


def test_strict_and_verbose(cli, anomalous_l0, tmp_path):
    code, out, err = cli("decode", anomalous_l0, "-o", tmp_path / "L1.h5", "--strict")
    assert code == 1 and err.splitlines()[-1].startswith("dravel: error: --strict: ")
    code, out, err = cli("-v", "decode", anomalous_l0, "-o", tmp_path / "L1.h5", "--overwrite")
    reports = [line for line in out.splitlines() if ": reported: " in line]
    result = decode_file(anomalous_l0)
    assert len(reports) == sum(len(p.reports) for p in result.products)
    assert all(line.split(":")[0] in registry.BY_NAME for line in reports)
    assert "ERROR" not in err  # not printed a second time by the framework's logger


def test_outside_readers_read_the_day_files(anomalous_l0, tmp_path):
    # the C++ CDF reader reads the compressed CDF files, the netCDF C library the netCDF ones
    pycdfpp = pytest.importorskip("pycdfpp")
    netCDF4 = pytest.importorskip("netCDF4")
    whole = {p.product: p.data for p in decode_file(anomalous_l0).products if p.data is not None}
    convert(anomalous_l0, tmp_path / "cdf", format="cdf", products=["tswf", "hfr_calibration"])
    convert(anomalous_l0, tmp_path / "nc", format="netcdf", products=["tswf", "hfr_calibration"])
    for product, field in (("tswf", "waveform_data"), ("hfr_calibration", "agc1")):
        records = daily_records(product, whole[product])
        cdfs = sorted((tmp_path / "cdf").glob(f"zelk_l1_{product}_*.cdf"))
        ncs = sorted((tmp_path / "nc").glob(f"zelk_l1_{product}_*.nc"))
        assert len(cdfs) == len(ncs) > 0
        got_cdf = np.concatenate([pycdfpp.load(str(p))[f"{product}_{field}"].values for p in cdfs])
        got_epoch = np.concatenate([pycdfpp.load(str(p))["Epoch"].values.astype("int64") for p in cdfs])
        got_nc = []
        for p in ncs:
            with netCDF4.Dataset(p) as ds:
                ds.set_auto_maskandscale(False)
                got_nc.append(ds[field][...])
        want = flatten(records)[field]
        assert np.array_equal(got_cdf, want) and np.array_equal(np.concatenate(got_nc), want)
        assert np.array_equal(
            got_epoch.view("u8") if records["epoch"].dtype == np.uint64 else got_epoch, records["epoch"]
        )
