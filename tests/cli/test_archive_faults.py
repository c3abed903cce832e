"""`dravel archive` over damage it did not make: a cache file damaged with its size and time put
back, a folder where a day file goes, a disk full before the run starts. Each is one line at
most, the rest of the archive goes on, and the archive mends once the damage can be mended."""

import os
import shutil
import sqlite3

from kesta.dravel.archive.state import FILE as STATE_FILE
from kesta.dravel.l1 import output

from archive_support import DAYS
from test_archive import assert_same_archive, copy_l0, day_files, file_hashes
from test_archive_promises import overwrite, summary


def cache_of(archive, l0_path):
    with sqlite3.connect(archive / STATE_FILE) as db:
        ((cache,),) = db.execute("SELECT cache FROM l0_files WHERE path=?", (str(l0_path),))
    return archive / cache


def damage_cache(cache):
    """5,000 bytes overwritten in the middle, the modification time put back: size and time
    are as the state recorded them."""
    overwrite(cache, cache.stat().st_size // 2, b"\xa5" * 5000)


def test_a_cache_file_that_does_not_read_is_thrown_away_and_decoded_again(l0, clean, tmp_path, cli):
    folder = copy_l0(l0, tmp_path)
    archive = tmp_path / "A"
    assert cli("archive", folder / "*.h5", "-o", archive)[0] == 0
    first = folder / "L0_20240301.h5"
    for rel in day_files(archive):  # every day is written again: the damage is read
        (archive / rel).unlink()
    damage_cache(cache_of(archive, first))
    code, out, err = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0, err
    assert f"cache file damaged, L0 file decoded again: {first}" in out
    counts = summary(out)
    assert (counts["decoded"], counts["unchanged files"]) == (1, DAYS - 1) and "0 failed (" in out
    assert counts["written"] == len(day_files(clean))
    assert_same_archive(archive, clean)

    # the state damaged too: --repair rebuilds it without the cache file it cannot read whole
    damage_cache(cache_of(archive, first))
    (archive / day_files(archive)[0]).unlink()
    overwrite(archive / STATE_FILE, 0, b"\xa5" * 4096)
    assert cli("archive", folder / "*.h5", "-o", archive)[0] == 2
    code, out, err = cli("archive", folder / "*.h5", "-o", archive, "--repair")
    assert code == 0, err
    assert f"cache file damaged, L0 file decoded again: {first}" in out
    assert summary(out)["decoded"] == 1 and summary(out)["written"] == 1
    assert_same_archive(archive, clean)
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive, "--verify")
    assert code == 0 and summary(out)["decoded"] == 0 and summary(out)["written"] == 0
    assert "every hash as recorded" in out


def test_a_folder_where_a_day_file_goes_fails_that_day_alone(l0, clean, tmp_path, cli):
    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    rel = day_files(archive)[0]
    day = archive / rel
    before = {k: v for k, v in file_hashes(archive).items() if k != rel}
    day.unlink()
    day.mkdir()  # not ours: it stays
    for verify in ((), ("--verify",)):
        code, out, err = cli("archive", l0 / "*.h5", "-o", archive, *verify)
        assert code == 1 and "Traceback" not in err
        assert err.splitlines() == [
            f"FAILED {day}: a directory is where the day file goes, not a day file; left as it "
            "is and the day not written (remove it and run again)",
            f"dravel: error: 1 day file(s) could not be written (tried again by the next run): {day.name}",
        ]
        assert f"{len(before)} unchanged, 0 removed, 1 failed" in out
        assert day.is_dir()
        day.rename(day.with_suffix(".aside"))
        assert file_hashes(archive) == before  # the other day files untouched
        day.with_suffix(".aside").rename(day)
    day.rmdir()
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive)
    assert code == 0 and summary(out)["written"] == 1
    assert_same_archive(archive, clean)


def full_line(archive):
    return f"dravel: error: {archive / STATE_FILE}: the archive's state cannot be written (no space left on device)\n"


def test_a_disk_full_at_the_start_is_the_disk_full_line_and_touches_nothing(
    l0, clean, tmp_path, cli, small_disk, monkeypatch
):
    # a disk with some kilobytes left (a new archive): nothing of a state is left behind
    with open(small_disk / "filler", "wb") as f:
        os.posix_fallocate(f.fileno(), 0, shutil.disk_usage(small_disk).free - (20 << 10))
    archive = small_disk / "A"
    code, out, err = cli("archive", l0 / "*.h5", "-o", archive)
    assert (code, out, err) == (1, "", full_line(archive))
    assert not [p for p in archive.iterdir() if p.name.startswith(STATE_FILE)]

    # an archive in place, its disk full: the state untouched, even with --repair
    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    state = (archive / STATE_FILE).read_bytes()
    listing = sorted(p.name for p in archive.iterdir())
    monkeypatch.setattr(output.shutil, "disk_usage", lambda path: shutil._ntuple_diskusage(1 << 30, 1 << 30, 0))
    for repair in ((), ("--repair",)):
        code, out, err = cli("archive", l0 / "*.h5", "-o", archive, *repair)
        assert (code, out, err) == (1, "", full_line(archive))
        assert (archive / STATE_FILE).read_bytes() == state
        assert sorted(p.name for p in archive.iterdir()) == listing
