"""`dravel archive` keeps its promises around the records: a damaged or lost state is one line
and a repair that rewrites nothing, damaged cache and day files are found and made again, a
reader never holds a run up, the newest data version is the one updated, a day file's plot and
`Parents` follow it."""

import json
import os
import shutil
import sqlite3
import threading
import time
from pathlib import Path

from kesta.dravel.archive.state import FILE as STATE_FILE
from kesta.dravel.archive.tasks import DayTask, read_parents, write_day_file
from kesta.dravel.cli.simulate import simulate_days

from archive_support import DAYS
from test_archive import assert_same_archive, copy_l0, day_files, file_hashes


def overwrite(path, at, data, keep_time=True):
    """`data` written over `path` at byte `at`, its modification time put back when asked."""
    stat = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(data)
    if keep_time:
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))


def summary(out):
    """{what: count} of the summary lines, e.g. {"decoded": 0, "written": 0, ...}."""
    counts = {}
    for line in out.splitlines():
        kind = "days" if line.startswith("day files") else "files" if " L0 file(s): " in line else None
        if kind:
            for part in line.replace(";", ",").split(":", 1)[1].split(","):
                words = part.split()
                if len(words) >= 2 and words[0].isdigit():
                    name = f"unchanged {kind}" if words[1] == "unchanged" else words[1]
                    counts[name] = int(words[0])
    return counts


def test_a_damaged_or_lost_state_is_one_line_then_rebuilt_rewriting_nothing(l0, clean, tmp_path, cli):
    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    before = file_hashes(archive)
    state = archive / STATE_FILE
    size = state.stat().st_size
    for damage in ("middle", "header"):
        shutil.copy(clean / STATE_FILE, state)
        overwrite(state, size // 2 if damage == "middle" else 0, b"\xa5" * 4096)
        for quiet in ((), ("-q",)) if damage == "middle" else ((),):
            code, out, err = cli(*quiet, "archive", l0 / "*.h5", "-o", archive)
            assert code == 2, (damage, err)
            assert len(err.strip().splitlines()) == 1 and "Traceback" not in err
            assert err.startswith(f"dravel: error: {state}: the archive's state is damaged (")
            assert "--repair" in err
        code, out, err = cli("archive", l0 / "*.h5", "-o", archive, "--repair")
        assert code == 0, err
        counts = summary(out)
        assert (counts["decoded"], counts["unchanged files"], counts["written"]) == (0, DAYS, 0), out
        assert "damaged state moved aside to" in out
        assert file_hashes(archive) == before  # not one day file written again
        assert_same_archive(archive, clean)
        code, out, _ = cli("archive", l0 / "*.h5", "-o", archive)  # the rebuilt state works
        assert code == 0 and summary(out)["written"] == 0
    # a state deleted by hand: the next run rebuilds it from the same files, without --repair
    os.unlink(state)
    code, out, _ = cli("archive", l0 / "*.h5", "-o", archive)
    assert code == 0 and "state rebuilt" in out
    assert (summary(out)["decoded"], summary(out)["written"]) == (0, 0)
    assert file_hashes(archive) == before


def test_damaged_cache_and_day_files_are_found_and_made_again(l0, clean, tmp_path, cli):
    folder = copy_l0(l0, tmp_path)
    archive = tmp_path / "A"
    assert cli("archive", folder / "*.h5", "-o", archive)[0] == 0
    with sqlite3.connect(archive / STATE_FILE) as db:
        caches = dict(db.execute("SELECT path, cache FROM l0_files"))
    first = str(folder / "L0_20240301.h5")
    cache = archive / caches[first]
    day = archive / "tswf" / "2024" / "03" / "zelk_l1_tswf_20240302_v01.cdf"

    # an L0 file only touched is found in its cache file: unchanged, not decoded
    os.utime(folder / "L0_20240302.h5")
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0 and summary(out) == {
        "decoded": 0,
        "unchanged files": DAYS,
        "failed": 0,
        "written": 0,
        "unchanged days": len(day_files(clean)),
        "removed": 0,
    }

    # changed with a new modification time: a plain run sees it
    overwrite(cache, cache.stat().st_size // 2, b"\x00" * 64, keep_time=False)
    overwrite(day, day.stat().st_size // 2, b"\x00" * 64, keep_time=False)
    code, out, err = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0, err
    assert f"cache file damaged, L0 file decoded again: {first}" in out
    assert f"day file not as written, written again: {day}" in out
    assert summary(out)["decoded"] == 1
    assert_same_archive(archive, clean)

    # changed with its time put back: --verify reads every file
    overwrite(cache, cache.stat().st_size // 2, b"\x00" * 64)
    overwrite(day, day.stat().st_size // 2, b"\x00" * 64)
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0 and summary(out)["decoded"] == 0  # a plain run trusts size and time
    assert "verified:" not in out
    code, out, err = cli("archive", folder / "*.h5", "-o", archive, "--verify")
    assert code == 0, err
    assert "cache file damaged" in out and f"written again: {day}" in out
    assert "; 2 not as recorded, made again (named above)" in out
    assert_same_archive(archive, clean)
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive, "--verify")
    assert code == 0 and "cache file damaged" not in out and "not as written" not in out
    assert summary(out)["written"] == 0
    # all is well: one line says what was read
    hashed = [p for p in archive.rglob("*") if p.suffix in (".h5", ".cdf")]
    size = sum(p.stat().st_size for p in hashed) / 1e6
    assert (
        f"verified: {DAYS} cache file(s) and {len(day_files(clean))} day file(s) hashed "
        f"({size:.1f} MB); every hash as recorded" in out.splitlines()
    )


def test_parents_follow_their_day_files_and_removed_days_take_their_plots(l0, tmp_path, cli):
    folder = copy_l0(l0, tmp_path)
    archive = tmp_path / "A"
    assert cli("archive", folder / "*.h5", "-o", archive)[0] == 0
    first_day = sorted(archive.rglob("*_20240301_v01.cdf"))
    for path in first_day:
        path.with_suffix(".png").write_bytes(b"a plot")

    # the first file goes: the next day loses the records it spilled over (each also in the
    # next day's own file) and so a parent, its records staying the same
    os.unlink(folder / "L0_20240301.h5")
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0
    assert f"L0 file gone from disk, its records leave the archive: {folder / 'L0_20240301.h5'}" in out
    removed = sorted(Path(line[len("removed ") :]) for line in out.splitlines() if line.startswith("removed "))
    assert removed == first_day
    assert not list(archive.rglob("*.png"))
    with sqlite3.connect(archive / STATE_FILE) as db:
        rows = db.execute("SELECT path, sources FROM day_files").fetchall()
    assert rows
    for path, sources in rows:
        assert read_parents(archive / path, "cdf") == json.loads(sources), path
        assert "L0_20240301.h5" not in sources


def test_a_plot_follows_its_day_file(clean, tmp_path):
    """A rewritten day file's plot is made again or removed; a plot the state does not know of
    records it holds is not kept."""
    with sqlite3.connect(clean / STATE_FILE) as db:
        (sources,) = db.execute("SELECT sources FROM day_files WHERE product='tswf' AND day='20240302'").fetchone()
        caches = dict(db.execute("SELECT path, cache FROM l0_files"))
    feeding = [
        (name, str(clean / cache))
        for path, cache in sorted(caches.items())
        for name in json.loads(sources)
        if os.path.basename(path) == name
    ]
    path = tmp_path / "zelk_l1_tswf_20240302_v01.cdf"
    png = path.with_suffix(".png")

    def task(**options):
        return DayTask("tswf", "20240302", str(path), "01", "cdf", sources=feeding, **options)

    done = write_day_file(task(quicklook=True))
    assert done.written and done.plot == str(png) and png.exists()
    kept = write_day_file(task(old_hash=done.hash, plot_known=True))
    assert not kept.written and kept.plot == str(png)  # same records: plot kept
    again = write_day_file(task())  # written again, no quick-look
    assert again.written and again.plot is None and not png.exists()
    png.write_bytes(b"a plot of other records")
    unknown = write_day_file(task(old_hash=done.hash))  # not written, plot not known
    assert not unknown.written and unknown.plot is None and not png.exists()


def test_the_newest_version_is_the_one_a_run_updates(l0, clean, tmp_path, cli):
    folder = copy_l0(l0, tmp_path)
    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    assert cli("archive", folder / "*.h5", "-o", archive, "--data-version", "02")[0] == 0
    v1 = {rel: h for rel, h in file_hashes(archive).items() if rel.name.endswith("_v01.cdf")}
    other = tmp_path / "other"
    simulate_days(other, DAYS, "2024-03-01", seed=6)
    shutil.copy(other / "L0_20240302.h5", folder / "L0_20240302.h5")
    code, out, _ = cli("archive", folder / "*.h5", "-o", archive)
    assert code == 0
    assert "day files (data version 02)" in out and summary(out)["written"] > 0
    assert "data versions in the archive: 01, 02 (this run: 02" in out
    after = file_hashes(archive)
    assert {rel: h for rel, h in after.items() if rel.name.endswith("_v01.cdf")} == v1
    fresh = tmp_path / "fresh"
    assert cli("archive", folder / "*.h5", "-o", fresh, "--data-version", "02")[0] == 0
    assert_same_v02 = [rel for rel in day_files(fresh)]
    assert assert_same_v02 == [rel for rel in day_files(archive) if rel.name.endswith("_v02.cdf")]


def test_readers_of_the_state_never_hold_a_run_up(l0, tmp_path, cli):
    archive = tmp_path / "A"
    folder = copy_l0(l0, tmp_path)
    assert cli("archive", folder / "*.h5", "-o", archive)[0] == 0
    os.unlink(folder / "L0_20240302.h5")
    # a monitoring query with its read transaction open through a whole run
    reader = sqlite3.connect(archive / STATE_FILE, isolation_level=None)
    reader.execute("BEGIN")
    seen = reader.execute("SELECT COUNT(*) FROM l0_files").fetchone()[0]
    reads, stop = [], threading.Event()

    def watch():  # another reader polling while the run writes
        db = sqlite3.connect(archive / STATE_FILE, timeout=0)
        while not stop.is_set():
            reads.append(db.execute("SELECT COUNT(*) FROM l0_files").fetchone()[0])
            time.sleep(0.01)
        db.close()

    thread = threading.Thread(target=watch)
    thread.start()
    try:
        code, out, err = cli("archive", folder / "*.h5", "-o", archive)
    finally:
        stop.set()
        thread.join()
    assert code == 0, err
    assert reader.execute("SELECT COUNT(*) FROM l0_files").fetchone()[0] == seen == DAYS  # its snapshot
    reader.execute("COMMIT")
    assert reader.execute("SELECT COUNT(*) FROM l0_files").fetchone()[0] == DAYS - 1
    reader.close()
    assert reads and DAYS - 1 in reads
    assert sorted(p.name for p in archive.iterdir() if p.name.startswith(STATE_FILE)) == [STATE_FILE]


def test_a_folder_means_its_l0_files(l0, clean, tmp_path, cli):
    archive = tmp_path / "A"
    code, out, _ = cli("archive", l0, "-o", archive)
    assert code == 0 and f"{DAYS} decoded" in out
    assert_same_archive(archive, clean)
    empty = tmp_path / "empty"
    empty.mkdir()
    code, _, err = cli("archive", empty, "-o", tmp_path / "B")
    assert code == 2 and err.strip() == (
        f"dravel: error: {empty}: no .h5 file in this folder; give the L0 files or a quoted pattern, e.g. 'L0/*.h5'"
    )


def test_a_state_of_the_first_schema_opens_and_is_verified_without_writing(l0, clean, tmp_path, cli):
    from kesta.dravel.archive.state import ADDED

    archive = tmp_path / "A"
    shutil.copytree(clean, archive)
    before = file_hashes(archive)
    with sqlite3.connect(archive / STATE_FILE) as db:  # as dravel made it before: no file hashes
        db.execute("PRAGMA journal_mode=DELETE")
        for table, column, _ in ADDED:
            db.execute(f"ALTER TABLE {table} DROP COLUMN {column}")
        db.execute("UPDATE meta SET value='1' WHERE key='schema'")
    for verify in ((), ("--verify",)):
        code, out, err = cli("archive", l0 / "*.h5", "-o", archive, *verify)
        assert code == 0, err
        assert (summary(out)["decoded"], summary(out)["written"]) == (0, 0)
    # day files without a recorded hash are compared with their records
    assert f"{len(day_files(clean))} day file(s) compared with their records" in out
    assert file_hashes(archive) == before
    with sqlite3.connect(archive / STATE_FILE) as db:
        assert db.execute("SELECT COUNT(*) FROM day_files WHERE file_sha256 IS NULL").fetchone() == (0,)
        assert db.execute("SELECT COUNT(*) FROM l0_files WHERE cache_sha256 IS NULL").fetchone() == (0,)
