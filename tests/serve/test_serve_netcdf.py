"""`dravel serve` over an archive of netCDF day files: every product's parameters as h5py reads
them from the files."""

import glob

import numpy as np
import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
hapiclient = pytest.importorskip("hapiclient")
h5py = pytest.importorskip("h5py")

from serve_support import assert_info_is_what_day_files_hold, make_archive, running_server  # noqa: E402


def test_every_product_of_a_netcdf_archive(tmp_path):
    archive = make_archive(tmp_path, 1, "--format", "netcdf")
    products = sorted(p.name for p in archive.iterdir() if p.is_dir() and not p.name.startswith("."))
    assert products
    with running_server(archive) as (url, _):
        assert_info_is_what_day_files_hold(url, archive)
        for product in products:
            data, meta = hapiclient.hapi(
                url,
                product,
                "",
                "2024-03-01T00:00:00Z",
                "2024-03-02T00:00:00Z",
                format="binary",
                logging=False,
                usecache=False,
                cache=False,
            )
            (path,) = glob.glob(str(archive / product / "*" / "*" / "*_20240301_v01.nc"))
            with h5py.File(path, "r") as f:
                epoch = f["Epoch"][...]
                assert len(data) == len(epoch), product
                names = [
                    n
                    for n, v in f.items()
                    if v.shape[:1] == epoch.shape
                    and v.maxshape[:1] == (None,)
                    and n not in ("Epoch", "time")
                    and v.attrs.get("VAR_TYPE") in ("data", "support_data")
                ]
                assert [p["name"] for p in meta["parameters"][1:]] == names, product
                for name in names:
                    got, want = data[name].astype(np.float64), f[name][...].astype(np.float64)
                    assert np.array_equal(got, want), (product, name)
