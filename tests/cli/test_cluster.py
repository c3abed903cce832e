"""`dravel batch` on a real Dask cluster: a scheduler and workers started here as processes of
their own, each in a folder of its own, on 127.0.0.1, and stopped by their process ids."""

import json
import os
import shutil
import signal
import subprocess
import time

import h5py
import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

from kesta.dravel.cli.simulate import simulate_file  # noqa: E402
from kesta.dravel.l1 import convert  # noqa: E402
from kesta.dravel.l1.hdf5 import product_datasets  # noqa: E402

from cli_support import START, dravel  # noqa: E402
from records_support import assert_same_records  # noqa: E402


def batch(*args, cwd):
    """`dravel batch` as its own process."""
    return dravel("batch", *args, cwd=cwd)


def l0_files(folder, n, scale=1):
    """`n` copies of one simulated file in `folder/L0`, and the records each L1 file must hold."""
    l0 = folder / "L0"
    l0.mkdir()
    simulate_file(l0 / "run0.h5", 0, False, scale)
    for k in range(1, n):
        shutil.copy(l0 / "run0.h5", l0 / f"run{k}.h5")
    convert(l0 / "run0.h5", folder / "expected.h5")
    with h5py.File(folder / "expected.h5", "r") as f:
        return {name: d[()] for name, d in product_datasets(f).items()}


def same_records(path, expected):
    with h5py.File(path, "r") as f:
        got = product_datasets(f)
        assert set(got) == set(expected), path
        for name, records in expected.items():
            assert_same_records(got[name][()], records, exact=True, label=f"{path}: {name}")


def test_relative_paths_from_another_folder_with_report(cluster, tmp_path):
    expected = l0_files(tmp_path, 3)
    cluster.worker("w1")
    cluster.worker("w2")
    with cluster.client() as c:
        cluster.wait_for(c, 2)
    # the workers run in folders of their own; the batch names its files relative to its own
    p = batch("L0/*.h5", "-o", "L1", "--scheduler", cluster.address, "--report", "run.json", cwd=tmp_path)
    out, err = p.communicate(timeout=300)
    assert p.returncode == 0, out + err
    assert "3 of 3 file(s) decoded without error" in out and "files/s" in out and "MB/s" in out
    for k in range(3):
        same_records(tmp_path / "L1" / f"run{k}.h5", expected)
    report = json.loads((tmp_path / "run.json").read_text())
    assert [f["input"] for f in report["files"]] == [str(tmp_path / "L0" / f"run{k}.h5") for k in range(3)]
    assert all(p["status"] == "ok" for f in report["files"] for p in f["products"])


def test_a_worker_that_cannot_see_the_files_stops_the_batch_before_any_task(cluster, tmp_path):
    if (
        shutil.which("unshare") is None
        or subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0
    ):
        pytest.skip("no mount namespaces here")
    l0_files(tmp_path, 2)
    # this worker sees an empty folder where the L0 files are
    cluster.worker(
        "blind", wrap=("unshare", "-m", "sh", "-c", f'mount -t tmpfs none {tmp_path / "L0"} && exec "$0" "$@"')
    )
    with cluster.client() as c:
        cluster.wait_for(c, 1)
    p = batch("L0/*.h5", "-o", "L1", "--scheduler", cluster.address, cwd=tmp_path)
    out, err = p.communicate(timeout=120)
    assert p.returncode == 2
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "cannot see " + str(tmp_path / "L0" / "run0.h5") in lines[0], err
    assert "same paths" in lines[0]
    assert not list((tmp_path / "L1").iterdir())


def _wait_running(client, worker_name, timeout=START):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        info = client.scheduler_info()["workers"]
        for address, tasks in client.processing().items():
            if tasks and info.get(address, {}).get("name") == worker_name:
                return
        time.sleep(0.05)
    raise AssertionError(f"{worker_name} never ran a task")


def test_a_worker_killed_mid_batch_costs_no_file(cluster, tmp_path):
    expected = l0_files(tmp_path, 6, scale=24)
    doomed, _ = cluster.worker("doomed"), cluster.worker("survivor")
    with cluster.client() as c:
        cluster.wait_for(c, 2)
        p = batch("L0/*.h5", "-o", "L1", "--scheduler", cluster.address, cwd=tmp_path)
        _wait_running(c, "doomed")
        os.kill(doomed.pid, signal.SIGKILL)
    out, err = p.communicate(timeout=300)
    assert p.returncode == 0, out + err
    assert "6 of 6 file(s) decoded without error" in out
    for k in range(6):
        same_records(tmp_path / "L1" / f"run{k}.h5", expected)
    assert sorted(os.listdir(tmp_path / "L1")) == [f"run{k}.h5" for k in range(6)]


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM], ids=["kill-9", "sigterm"])
def test_the_last_worker_stopped_ends_the_batch_with_the_rest_failed(cluster, tmp_path, sig):
    l0_files(tmp_path, 4, scale=24)
    only = cluster.worker("only")
    with cluster.client() as c:
        cluster.wait_for(c, 1)
        p = batch("L0/*.h5", "-o", "L1", "--scheduler", cluster.address, "--worker-timeout", "2", cwd=tmp_path)
        _wait_running(c, "only")
        os.kill(only.pid, sig)
    out, err = p.communicate(timeout=120)
    failed = [line for line in out.splitlines() if "FAILED: no Dask worker left" in line]
    written = sorted(path.name for path in (tmp_path / "L1").iterdir())
    # no file half written: each output is whole or absent; and one written whole is never
    # reported failed, though its worker went before it could say it was done
    for name in written:
        assert name.endswith(".h5") and h5py.is_hdf5(tmp_path / "L1" / name)
        assert not any(f"/{name} " in line or line.startswith(f"L0/{name}") for line in failed), out
    assert len(failed) == 4 - len(written)
    assert p.returncode == (1 if failed else 0), out + err


def test_unreachable_or_bad_scheduler_is_one_line(tmp_path):
    l0_files(tmp_path, 1)
    for address in ("tcp://127.0.0.1:1", "not-an-address", "tcp://127.0.0.1:80x"):
        started = time.monotonic()
        p = batch("L0/run0.h5", "-o", "L1", "--scheduler", address, "--connect-timeout", "2", cwd=tmp_path)
        out, err = p.communicate(timeout=60)
        assert p.returncode == 2 and time.monotonic() - started < 30
        assert len(err.strip().splitlines()) == 1 and "cannot reach the Dask scheduler" in err, err
        assert np.all([not (tmp_path / "L1").exists() or not list((tmp_path / "L1").iterdir())])
