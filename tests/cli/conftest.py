import pytest

from cli_support import run, write_snapshot_file


@pytest.fixture
def cli(capsys):
    return lambda *args: run(capsys, *args)


@pytest.fixture
def snapshot_l0(tmp_path):
    """(L0 path, {product: (records, reports, warnings)}) of a small snapshot file."""
    path = tmp_path / "L0.h5"
    return path, write_snapshot_file(path)
