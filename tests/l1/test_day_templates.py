"""Day files start as copies of a template made once: a process that lives across runs (a Dask
worker) must not stamp a later run's files with the Generation_date of an earlier one."""

import time

import h5py
import pytest

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import days
from kesta.dravel.l1.convert import convert
from kesta.dravel.l1.hdf5 import product_datasets
from kesta.dravel.l1.netcdf import NetCDFWriter


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    folder = tmp_path_factory.mktemp("templates")
    simulate_file(folder / "L0.h5", seed=4)
    convert(folder / "L0.h5", folder / "L1.h5")
    with h5py.File(folder / "L1.h5", "r") as f:
        name, dataset = next((n, d) for n, d in product_datasets(f).items() if len(d))
        return name, dataset[()]


def generation_dates(folder):
    found = set()
    for path in folder.glob("*.nc"):
        with h5py.File(path, "r") as f:
            found.add(f.attrs["Generation_date"])
    return found


def write(data, name, folder):
    """One day file as an archive's day task writes it (no run around it to clear caches)."""
    folder.mkdir()
    days.write_batches(NetCDFWriter.day, folder / "day.nc", lambda: iter([data]), name, "L0.h5", "01")


def test_a_later_run_makes_its_templates_again(records, tmp_path, monkeypatch):
    name, data = records
    days._templates.clear()
    write(data, name, tmp_path / "first")
    time.sleep(1.1)  # Generation_date counts seconds
    write(data, name, tmp_path / "soon")
    assert generation_dates(tmp_path / "soon") == generation_dates(tmp_path / "first")
    later = time.monotonic() + days.TEMPLATE_SECONDS + 1
    monkeypatch.setattr(days.time, "monotonic", lambda: later)
    write(data, name, tmp_path / "later")
    first, later = generation_dates(tmp_path / "first"), generation_dates(tmp_path / "later")
    assert len(first) == len(later) == 1 and first != later
