import subprocess

import pytest

from kesta.dravel.cli.simulate import simulate_days

from archive_support import DAYS
from cli_support import Cluster, run, write_snapshot_file


@pytest.fixture
def cli(capsys):
    return lambda *args: run(capsys, *args)


@pytest.fixture
def snapshot_l0(tmp_path):
    """(L0 path, {product: (records, reports, warnings)}) of a small snapshot file."""
    path = tmp_path / "L0.h5"
    return path, write_snapshot_file(path)


@pytest.fixture(scope="module")
def l0(tmp_path_factory):
    """A folder of L0 files, one per day, each running past midnight into the next day."""
    folder = tmp_path_factory.mktemp("archive") / "L0"
    simulate_days(folder, DAYS, "2024-03-01", seed=5)
    return folder


@pytest.fixture(scope="module")
def clean(l0, tmp_path_factory):
    """The archive of one uninterrupted run (of `l0`), to compare others with."""
    from kesta.dravel.cli import main

    archive = tmp_path_factory.mktemp("clean") / "A"
    assert main(["-q", "archive", str(l0 / "*.h5"), "-o", str(archive)]) == 0
    return archive


@pytest.fixture
def small_disk(tmp_path):
    """A 6 MB tmpfs mounted for the test (skips where none can be mounted)."""
    mount = tmp_path / "disk"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6m", "tmpfs", str(mount)], capture_output=True)
    if done.returncode:
        pytest.skip("no tmpfs can be mounted here")
    yield mount
    subprocess.run(["umount", "-l", str(mount)], capture_output=True)


@pytest.fixture
def cluster(tmp_path):
    """A Dask scheduler of its own (`Cluster`), the test starting the workers it needs."""
    c = Cluster(tmp_path / "cluster")
    (tmp_path / "cluster").mkdir()
    c.scheduler()
    yield c
    c.stop()
