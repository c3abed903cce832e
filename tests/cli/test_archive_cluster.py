"""`dravel archive` on a real Dask cluster (a scheduler and workers started here as processes of
their own on 127.0.0.1, stopped by their process ids): a worker killed mid-campaign costs a
retry, and the archive ends holding every record once."""

import os
import signal
import time

import numpy as np
import pytest

pytest.importorskip("distributed")

from kesta.dravel.cli.simulate import simulate_days
from kesta.dravel.l1.layout import flatten

from archive_support import expected_days
from cli_support import dravel

DAYS = 3


def assert_holds(archive, want):
    """Each (product, day) has its netCDF day file holding exactly the records of `want`."""
    import netCDF4

    files = sorted(archive.rglob("*.nc"))
    assert len(files) == len(want)
    for (product, day), records in want.items():
        path = archive / product / day[:4] / day[4:6] / f"zelk_l1_{product}_{day}_v01.nc"
        with netCDF4.Dataset(path) as ds:
            ds.set_auto_maskandscale(False)
            for name, values in flatten(records).items():
                np.testing.assert_array_equal(ds[name][...], values, err_msg=f"{path.name}: {name}")


def test_a_worker_killed_mid_campaign_costs_a_retry(cluster, tmp_path):
    l0 = tmp_path / "L0"
    simulate_days(l0, DAYS, "2024-03-01", seed=2)
    want = expected_days(sorted(l0.glob("*.h5")))
    workers = [cluster.worker("w1"), cluster.worker("w2")]
    client = cluster.client()
    try:
        cluster.wait_for(client, 2)
    finally:
        client.close()

    started = time.monotonic()
    proc = dravel(
        "archive", l0 / "*.h5", "-o", tmp_path / "timing", "--format", "netcdf", "--scheduler", cluster.address
    )
    _, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err
    whole = time.monotonic() - started

    archive = tmp_path / "A"
    proc = dravel("archive", l0 / "*.h5", "-o", archive, "--format", "netcdf", "--scheduler", cluster.address)
    time.sleep(whole * 0.5)
    os.kill(workers[0].pid, signal.SIGKILL)
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err
    assert "0 failed" in out
    assert_holds(archive, want)

    # the rerun has nothing to do; then with the last worker gone, the campaign is refused
    proc = dravel("archive", l0 / "*.h5", "-o", archive, "--format", "netcdf", "--scheduler", cluster.address)
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err
    assert f"0 decoded, {DAYS} unchanged" in out and " 0 written" in out
    os.kill(workers[1].pid, signal.SIGKILL)
    workers[1].wait()
    proc = dravel(
        "archive",
        l0 / "*.h5",
        "-o",
        archive,
        "--format",
        "netcdf",
        "--scheduler",
        cluster.address,
        "--connect-timeout",
        "2",
    )
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 2
    assert err.strip().splitlines()[-1].startswith("dravel: error: no Dask worker joined the scheduler")
