"""`dravel archive`: day files from every L0 file that feeds a day, kept up to date by reruns
that do only what changed, and that end equal to a clean run however the last one ended."""

import hashlib
import os
import shutil
import signal
import sqlite3
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest
from packaging.version import Version

from kesta.dravel.archive.state import FILE as STATE_FILE
from kesta.dravel.archive.state import State
from kesta.dravel.cli.simulate import simulate_days
from kesta.dravel.l1 import attributes

from archive_support import DAYS, expected_days
from cli_support import dravel


def copy_l0(l0, tmp_path):
    folder = tmp_path / "L0"
    shutil.copytree(l0, folder)
    return folder


def day_files(archive):
    return sorted(p.relative_to(archive) for p in Path(archive).rglob("*.cdf"))


def file_hashes(archive):
    """{day file: (sha256, mtime_ns)}."""
    out = {}
    for rel in day_files(archive):
        p = Path(archive) / rel
        out[rel] = (hashlib.sha256(p.read_bytes()).hexdigest(), p.stat().st_mtime_ns)
    return out


def read_day(path):
    from kesta.dravel.l1.cdf import read_cdf

    return read_cdf(path)[1]


def assert_same_archive(got, want):
    """The same day files, holding the same records."""
    assert day_files(got) == day_files(want)
    for rel in day_files(want):
        a, b = read_day(Path(got) / rel), read_day(Path(want) / rel)
        assert a.keys() == b.keys(), rel
        for name in b:
            np.testing.assert_array_equal(a[name], b[name], err_msg=f"{rel}: {name}")


def test_overlapping_files_give_every_record_once_in_its_day(l0, clean):
    from kesta.dravel.l1.layout import flatten

    pycdfpp = pytest.importorskip("pycdfpp")
    import cdflib
    import spacepy.pycdf as pycdf

    want = expected_days(sorted(l0.glob("*.h5")))
    names = {(str(rel).split(os.sep)[0], rel.name.split("_")[-2]) for rel in day_files(clean)}
    assert names == set(want)
    twice = 0
    for (product, day), records in want.items():
        path = clean / product / day[:4] / day[4:6] / f"zelk_l1_{product}_{day}_v01.cdf"
        got = read_day(path)
        for name, values in flatten(records).items():
            np.testing.assert_array_equal(got[name], values, err_msg=f"{path.name}: {name}")
        # read by outside readers too, each finding one time a record
        epoch = pycdfpp.load(str(path))["Epoch"].values.astype("int64")
        assert np.array_equal(epoch.view(records["epoch"].dtype), records["epoch"])
        with pycdf.CDF(str(path)) as f:
            by_spacepy = f.raw_var("Epoch")[...].astype(np.int64)
        by_cdflib = np.asarray(cdflib.CDF(str(path)).varget("Epoch"), dtype=np.int64)
        for epoch in (by_spacepy, by_cdflib):
            assert np.all(np.diff(epoch) > 0) and np.array_equal(epoch, records["epoch"].astype(np.int64))
    with sqlite3.connect(clean / STATE_FILE) as db:
        twice = db.execute("SELECT SUM(duplicates) FROM day_files").fetchone()[0]
        sources = dict(db.execute("SELECT path, sources FROM day_files WHERE product='tswf' AND day='20240302'"))
    assert twice > 0  # the files overlap: some records came twice
    assert len(next(iter(sources.values())).split(",")) == 2  # fed by two files
    assert (clean / "index.html").exists()


def test_rerun_touches_nothing_and_a_changed_file_rewrites_only_its_days(l0, clean, tmp_path, cli):
    folder = copy_l0(l0, tmp_path)
    archive = tmp_path / "A"
    assert cli("archive", folder / "*.h5", "-o", archive)[0] == 0
    before = file_hashes(archive)

    code, out, _ = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0 and f"0 decoded, {DAYS} unchanged" in out and " 0 written" in out
    assert file_hashes(archive) == before

    # the second day's file delivered again with other contents (another seed)
    other = tmp_path / "other"
    simulate_days(other, DAYS, "2024-03-01", seed=6)
    shutil.copy(other / "L0_20240302.h5", folder / "L0_20240302.h5")
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0 and f"1 decoded, {DAYS - 1} unchanged" in out
    after = file_hashes(archive)
    changed = {rel for rel in before if after.get(rel) != before[rel]}
    assert changed and {rel.name.split("_")[-2] for rel in changed} <= {"20240302", "20240303"}
    assert any(rel.name.split("_")[-2] == "20240301" for rel in after)
    for rel in set(before) - changed:
        assert after[rel] == before[rel]  # same bytes, same modification time
    want = expected_days(sorted(folder.glob("*.h5")))
    for (product, day), records in want.items():
        got = read_day(archive / product / day[:4] / day[4:6] / f"zelk_l1_{product}_{day}_v01.cdf")
        np.testing.assert_array_equal(got["Epoch"].view(records["epoch"].dtype), records["epoch"])

    # a file gone from the L0 folder feeds nothing any more: the days only it fed go
    os.unlink(folder / f"L0_2024030{DAYS}.h5")
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0 and " removed" in out and " 0 removed" not in out
    assert not any(rel.name.split("_")[-2] == f"2024030{DAYS + 1}" for rel in day_files(archive))


def test_a_file_that_cannot_be_decoded_fails_alone_and_is_tried_again(l0, clean, tmp_path, cli):
    folder = copy_l0(l0, tmp_path)
    (folder / "L0_20240309.h5").write_bytes(b"not an HDF5 file")
    archive = tmp_path / "A"
    code, out, err = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 1
    assert err.splitlines()[-1].startswith("dravel: error: 1 of 4 L0 file(s) failed")
    assert "L0_20240309.h5" in err.splitlines()[-1]
    assert err.count("L0_20240309.h5") == 2  # its FAILED line, and the last line
    failed = [line for line in err.splitlines() if line.startswith("FAILED")]
    assert failed == [
        f"FAILED {folder / 'L0_20240309.h5'}: cannot be read as an HDF5 file "
        "(Unable to synchronously open file (file signature not found))"
    ]
    assert f"{DAYS + 1} L0 file(s): {DAYS} decoded, 0 unchanged, 1 failed" in out
    # the days of a file that never decoded are unknown: a day only other days' files spill
    # into (the day after the last) is held back until it decodes, the rest is archived
    held = [rel for rel in day_files(clean) if rel.name.split("_")[-2] == f"2024030{DAYS + 1}"]
    assert held and f"{len(held)} held back" in out
    assert f"never decoded, the days it feeds unknown: {folder / 'L0_20240309.h5'}" in out
    assert day_files(archive) == sorted(set(day_files(clean)) - set(held))
    os.unlink(folder / "L0_20240309.h5")  # gone: nothing left to fail
    code, out, err = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0, err
    assert_same_archive(archive, clean)


def test_a_new_data_version_is_written_beside_the_old_one(l0, clean, tmp_path, cli):
    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive, "--data-version", "02")
    assert code == 0 and f"0 decoded, {DAYS} unchanged" in out
    v1 = [p for p in day_files(archive) if p.name.endswith("_v01.cdf")]
    v2 = [p for p in day_files(archive) if p.name.endswith("_v02.cdf")]
    assert len(v1) == len(v2) == len(day_files(clean))
    with State(archive) as state:
        assert {v for _, _, v in state.days()} == {"01", "02"}
    # "2" is version 02, as for `dravel decode`: nothing new to write
    code, out, err = cli("archive", l0 / "*.h5", "-o", archive, "--data-version", "2")
    assert code == 0 and f"0 decoded, {DAYS} unchanged" in out, err
    assert len(day_files(archive)) == 2 * len(day_files(clean))
    code, _, err = cli("archive", l0 / "*.h5", "-o", archive, "--data-version", "123")
    assert code == 2 and "one or two digits" in err


def test_an_archive_keeps_its_format_and_never_loses_its_day_files_to_another(l0, clean, tmp_path, cli):
    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    before = file_hashes(archive)
    code, out, err = cli("archive", l0 / "*.h5", "-o", archive, "--format", "netcdf")
    assert code == 2
    assert err.strip().splitlines() == [
        f"dravel: error: {archive}: holds cdf day files, not netcdf; "
        "an archive holds one format (give another archive folder "
        "for netcdf day files)"
    ]
    assert file_hashes(archive) == before and not list(archive.rglob("*.nc"))
    # a state from before the format was kept: its day files tell the format
    db = sqlite3.connect(archive / STATE_FILE)
    with db:
        db.execute("DELETE FROM meta WHERE key='format'")
    db.close()
    assert cli("archive", l0 / "*.h5", "-o", archive, "--format", "netcdf")[0] == 2
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive)  # the archive's own format
    assert code == 0 and " 0 written" in out and " 0 removed" in out
    assert file_hashes(archive) == before

    # a netCDF archive is run on without --format, and refuses CDF
    other = tmp_path / "N"
    assert cli("archive", l0 / "*.h5", "-o", other, "--format", "netcdf")[0] == 0
    netcdf = sorted(other.rglob("*.nc"))
    assert netcdf and not list(other.rglob("*.cdf"))
    code, out, _ = cli("archive", l0 / "*.h5", "-o", other)
    assert code == 0 and " 0 written" in out and sorted(other.rglob("*.nc")) == netcdf
    assert cli("archive", l0 / "*.h5", "-o", other, "--format", "cdf")[0] == 2
    assert sorted(other.rglob("*.nc")) == netcdf


def test_one_campaign_at_a_time(l0, tmp_path):
    archive = tmp_path / "A"
    archive.mkdir()
    with State(archive):
        for repair in ((), ("--repair",)):  # nor is its state moved aside under it
            proc = dravel("archive", l0 / "*.h5", "-o", archive, *repair)
            _, err = proc.communicate(timeout=120)
            assert proc.returncode == 2
            assert err.strip().splitlines() == [
                f"dravel: error: {archive}: another dravel archive run is updating this archive; wait for it to end"
            ]
    assert sorted(p.name for p in archive.iterdir() if p.name.startswith(STATE_FILE)) == [STATE_FILE]


def test_a_state_that_cannot_be_written_is_one_line(l0, tmp_path, cli, monkeypatch):
    class Full:  # the state's connection, on a disk that filled up
        def __init__(self, db):
            self.db = db

        def execute(self, sql, *args):
            if sql.startswith("INSERT OR REPLACE"):
                raise sqlite3.OperationalError("database or disk is full")
            return self.db.execute(sql, *args)

        def __getattr__(self, name):
            return getattr(self.db, name)

    opened = State.__init__

    def full(self, archive):
        opened(self, archive)
        self.db = Full(self.db)

    monkeypatch.setattr(State, "__init__", full)
    archive = tmp_path / "A"
    code, out, err = cli("archive", l0 / "*.h5", "-o", archive)
    assert code == 1
    assert err.splitlines() == [
        f"dravel: error: {archive / STATE_FILE}: the archive's state cannot be written (database or disk is full)"
    ]
    assert [p for p in archive.rglob(".*") if ".part" in p.name] == []


def _interrupted_run(folder, archive, seconds, sig, workers):
    proc = dravel("archive", folder / "*.h5", "-o", archive, "--workers", workers)
    time.sleep(seconds)
    os.killpg(proc.pid, sig)
    try:
        _, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail(f"{sig!r} after {seconds:.2f} s: the campaign did not end")
    return proc.returncode, err


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGKILL], ids=["ctrl-c", "kill-9"])
def test_a_campaign_cut_short_goes_on_and_ends_equal_to_a_clean_run(l0, clean, tmp_path, sig):
    started = time.monotonic()
    proc = dravel("archive", l0 / "*.h5", "-o", tmp_path / "timing", "--workers", "2")
    assert proc.wait(timeout=300) == 0
    whole = time.monotonic() - started
    for k, fraction in enumerate((0.3, 0.6, 0.85)):
        archive = tmp_path / f"A{k}"
        code, err = _interrupted_run(l0, archive, whole * fraction, sig, "2")
        if sig == signal.SIGINT:
            assert code in (0, 130), err
            if code == 130:
                assert err.splitlines()[-1] == "dravel: interrupted"
        leftovers = [p for p in archive.rglob(".*") if ".part" in p.name]
        if sig == signal.SIGINT:
            assert leftovers == []
        proc = dravel("archive", l0 / "*.h5", "-o", archive)
        _, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, err
        assert_same_archive(archive, clean)
        assert [p for p in archive.rglob(".*") if ".part" in p.name] == []


def test_day_files_of_an_earlier_version_are_written_again(l0, tmp_path, cli, monkeypatch):
    # an archive made by an earlier release (another software version, other day records) is
    # brought up to date by the next run, its state kept or lost, and nothing is lost
    import kesta.dravel.l1.attributes as attributes
    import kesta.dravel.l1.dayrecords as dayrecords

    archive = tmp_path / "A"
    with monkeypatch.context() as m:
        m.setattr(attributes, "software_version", lambda: "0.0.1")
        m.setattr(dayrecords, "RULES", "an earlier rule")
        assert cli("archive", l0 / "*.h5", "-o", archive, "--workers", "1")[0] == 0
    old = file_hashes(archive)
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive, "--workers", "1")
    assert code == 0 and f" {len(old)} written" in out
    assert set(file_hashes(archive)) == set(old)
    assert all(file_hashes(archive)[rel] != old[rel] for rel in old)
    import spacepy.pycdf as pycdf

    for rel in old:
        with pycdf.CDF(str(archive / rel)) as f:
            assert str(f.attrs["Software_version"][0]) == attributes.software_version()
    # a state lost with the files still of the earlier version: the rebuilt state writes them too
    with monkeypatch.context() as m:
        m.setattr(attributes, "software_version", lambda: "0.0.1")
        assert cli("archive", l0 / "*.h5", "-o", archive, "--workers", "1", "--data-version", "02")[0] == 0
    os.unlink(archive / STATE_FILE)
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive, "--workers", "1", "--data-version", "02")
    assert code == 0 and f" {len(old)} written" in out, out
    assert_same_archive_version(archive, "02", "01")


def test_a_build_between_releases_writes_its_release_and_rewrites_nothing(l0, tmp_path, cli, monkeypatch):
    # a build from commits after a release's tag has a version made from that tag
    # (0.2.0.post1.dev3): its files say, and hash, the release, so an archive it brings up to
    # date is left as it was
    release = attributes.software_version()
    archive = tmp_path / "A"
    assert cli("archive", l0 / "*.h5", "-o", archive, "--workers", "1")[0] == 0
    before = file_hashes(archive)
    for built in ("0.2.0", "0.2.0.post1.dev3", "0.3.0rc1.post1.dev2", "1!2.0.1.dev4", "10.20"):
        monkeypatch.setattr(attributes, "version", lambda name, built=built: built)
        assert attributes.software_version() == Version(built).base_version, built
    monkeypatch.setattr(attributes, "version", lambda name: f"{release}.post1.dev3")
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive, "--workers", "1")
    assert code == 0 and f"0 decoded, {DAYS} unchanged" in out and " 0 written" in out, out
    assert file_hashes(archive) == before


def assert_same_archive_version(archive, a, b):
    """The day files of data version `a` hold the records of those of version `b`."""
    for rel in day_files(archive):
        if rel.name.endswith(f"_v{b}.cdf"):
            other = rel.with_name(rel.name.replace(f"_v{b}.cdf", f"_v{a}.cdf"))
            x, y = read_day(archive / rel), read_day(archive / other)
            assert x.keys() == y.keys()
            for name in x:
                np.testing.assert_array_equal(x[name], y[name], err_msg=f"{other}: {name}")


def test_the_summary_gives_the_pages_own_time(l0, clean, tmp_path, cli, monkeypatch):
    import re

    from kesta.dravel.archive import campaign, coverage

    page, decode = coverage.write_page, campaign.Campaign._decode
    monkeypatch.setattr(coverage, "write_page", lambda *args: time.sleep(0.4) or page(*args))
    monkeypatch.setattr(campaign.Campaign, "_decode", lambda *args: time.sleep(1.5) or decode(*args))
    shutil.copytree(clean, tmp_path / "A")
    code, out, _ = cli("archive", l0 / "*.h5", "-o", tmp_path / "A")
    written, took = re.search(
        r"^coverage: .*index\.html \(written in ([\d.]+) s; the run took ([\d.]+) s\)$", out, re.M
    ).groups()
    assert code == 0 and 0.4 <= float(written) < 1.0 and float(took) >= 1.9
