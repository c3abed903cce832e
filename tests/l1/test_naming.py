"""The data version and day-file names: one rule for every command and library call."""

import h5py
import numpy as np
import pytest

from kesta.dravel.l1.errors import InputError
from kesta.dravel.l1.writers import check_data_version
from kesta.dravel.products import BY_NAME


def test_a_data_version_is_one_or_two_digits_and_named_with_two():
    for given, named in (("1", "01"), ("01", "01"), ("42", "42"), ("00", "00"), (7, "07"), (12, "12")):
        assert check_data_version(given) == named, given
    for refused in ("123", "", "1a", "-1", " 1", "\uff11", "1.0", 100, -1, True, None, 1.0):
        with pytest.raises(InputError):
            check_data_version(refused)


def test_a_library_call_names_and_labels_its_day_files_as_the_command_line_does(tmp_path):
    from kesta.dravel.l1.netcdf import write_netcdf

    _, records, _ = BY_NAME["lfm_psd"].simulated_case(np.random.default_rng(3))
    paths = write_netcdf(records, "lfm_psd", tmp_path, data_version="4")
    assert paths
    for path in paths:
        name = path.rsplit("/", 1)[1]
        assert name.startswith("zelk_l1_lfm_psd_") and name.endswith("_v04.nc")
        with h5py.File(path, "r") as f:
            assert f.attrs["Data_version"] in ("04", b"04")
    with pytest.raises(InputError):
        write_netcdf(records, "lfm_psd", tmp_path / "other", data_version="4a")
    assert not (tmp_path / "other").exists() or not any((tmp_path / "other").iterdir())
