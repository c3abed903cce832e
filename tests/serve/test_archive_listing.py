"""The datasets the HAPI server finds in an archive's folders: only day files where the archive
puts them, one file per day (the newest version, or the version the id names)."""

import os

from kesta.dravel.serve.archive import Archive


def _touch(root, *parts):
    path = root.joinpath(*parts)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"")
    return path


def test_datasets_and_versions(tmp_path):
    for day, version in (("20240301", "01"), ("20240302", "01"), ("20240302", "02"), ("20240401", "02")):
        _touch(tmp_path, "tnr_normal", day[:4], day[4:6], f"zelk_l1_tnr_normal_{day}_v{version}.cdf")
    _touch(tmp_path, "tswf", "2024", "03", "zelk_l1_tswf_20240301_v01.cdf")
    # not day files: wrong folder for the day, another product's name, a temporary name, a file
    # outside the month folders, a folder of no product
    _touch(tmp_path, "tswf", "2024", "04", "zelk_l1_tswf_20240301_v01.cdf")
    _touch(tmp_path, "tswf", "2024", "03", "zelk_l1_tnr_normal_20240303_v01.cdf")
    _touch(tmp_path, "tswf", "2024", "03", ".zelk_l1_tswf_20240302_v01.cdf.tmp")
    _touch(tmp_path, "tswf", "zelk_l1_tswf_20240305_v01.cdf")
    _touch(tmp_path, ".dravel", "2024", "03", "zelk_l1_.dravel_20240301_v01.cdf")
    os.symlink(tmp_path / "tswf", tmp_path / "elsewhere")

    archive = Archive(tmp_path)
    assert sorted(archive.datasets()) == ["tnr_normal", "tnr_normal_v01", "tnr_normal_v02", "tswf"]
    newest = archive.dataset("tnr_normal")
    assert [(f.date, f.version) for f in newest.files] == [("20240301", "01"), ("20240302", "02"), ("20240401", "02")]
    assert (newest.first_day, newest.last_day) == ("20240301", "20240401")
    assert [f.date for f in archive.dataset("tnr_normal_v01").files] == ["20240301", "20240302"]
    assert [f.date for f in archive.dataset("tswf").files] == ["20240301"]
    for unknown in ("tnr_normal_v03", "../tswf", "tswf/2024", "elsewhere", ".dravel", "", None):
        assert archive.dataset(unknown) is None, unknown
