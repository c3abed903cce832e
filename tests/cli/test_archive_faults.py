"""`dravel archive` over damage it did not make: a folder where a day file goes. It is one line,
the
rest of the archive goes on, and the archive mends once the damage can be mended."""
import shutil

import pytest


from test_archive import assert_same_archive, clean, day_files, file_hashes, l0  # noqa: F401 (fixtures)
from test_archive_promises import summary

pytestmark = pytest.mark.nasa_cdf


def test_a_folder_where_a_day_file_goes_fails_that_day_alone(l0, clean, tmp_path, cli):
    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    rel = day_files(archive)[0]
    day = archive / rel
    before = {k: v for k, v in file_hashes(archive).items() if k != rel}
    day.unlink()
    day.mkdir()                          # not ours: it stays
    for verify in ((), ("--verify",)):
        code, out, err = cli("archive", l0 / "*.h5", "-o", archive, *verify)
        assert code == 1 and "Traceback" not in err
        assert err.splitlines() == [
            f"FAILED {day}: a directory is where the day file goes, not a day file; left as it "
            "is and the day not written (remove it and run again)",
            f"dravel: error: 1 day file(s) could not be written (tried again by the next run): {day.name}"]
        assert f"{len(before)} unchanged, 0 removed, 1 failed" in out
        assert day.is_dir()
        day.rename(day.with_suffix(".aside"))
        assert file_hashes(archive) == before       # the other day files untouched
        day.with_suffix(".aside").rename(day)
    day.rmdir()
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive)
    assert code == 0 and summary(out)["written"] == 1
    assert_same_archive(archive, clean)
