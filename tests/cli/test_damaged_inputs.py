"""Inputs that are not what they claim: L0 files whose HDF5 structure is damaged by bit flips,
and paths that are not regular files (a FIFO, a device, a folder). Every run ends, in one line
naming the file, never a traceback; nothing is opened that would never end."""

import os
from pathlib import Path

import numpy as np
import pytest

from kesta.dravel.cli.simulate import simulate_days

from cli_support import dravel

FLIPPED = 16  # bit-flipped copies decoded


@pytest.fixture(scope="module")
def day_l0(tmp_path_factory):
    """A folder of two daily L0 files."""
    folder = tmp_path_factory.mktemp("inputs") / "L0"
    simulate_days(folder, 2, "2024-03-01", seed=4)
    return folder


def flipped_copies(source, folder, count, seed=0):
    """`count` copies of `source`, each with 30 to 3,000 random bits flipped (seeded)."""
    clean = np.frombuffer(Path(source).read_bytes(), dtype=np.uint8)
    rng = np.random.default_rng(seed)
    paths = []
    for k in range(count):
        data = clean.copy()
        where = rng.integers(0, data.size * 8, size=int(np.exp(rng.uniform(np.log(30), np.log(3000)))))
        np.bitwise_xor.at(data, where // 8, (1 << (where % 8)).astype(np.uint8))
        path = Path(folder) / f"flip{k:02d}.h5"
        path.write_bytes(data.tobytes())
        paths.append(path)
    return paths


def finished(proc, timeout=120):
    """(exit code, stdout, stderr) of a run that must end within `timeout` seconds."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except Exception:  # noqa: BLE001 - whatever ends the wait, the run is killed
        os.killpg(proc.pid, 9)
        proc.communicate()
        pytest.fail("the run did not end")
    return proc.returncode, out, err


def test_bit_flipped_files_decode_or_fail_in_one_line(day_l0, tmp_path, cli):
    """A damaged structure found before decoding is unusable input (exit 2); found while
    decoding, the products it hits fail (exit 1); either way one line, no traceback."""
    codes = []
    for path in flipped_copies(day_l0 / "L0_20240301.h5", tmp_path, FLIPPED):
        out_dir = tmp_path / path.stem
        out_dir.mkdir()
        code, out, err = cli("decode", path, "-o", out_dir / "L1.h5")
        codes.append(code)
        assert code in (0, 1, 2), (path, err)
        assert "Traceback" not in err
        if code:
            assert err.count("\n") == 1 and err.startswith("dravel: error: "), (path, err)
        if code == 2:
            assert err.startswith(f"dravel: error: {path}: ") and not os.listdir(out_dir)
        assert not [name for name in os.listdir(out_dir) if ".part" in name]
    assert {1, 2} <= set(codes), codes  # the series hits both kinds of damage


def test_non_regular_files_are_refused_before_they_are_opened(day_l0, tmp_path):
    good = day_l0 / "L0_20240301.h5"
    inputs, l1 = tmp_path / "L0", tmp_path / "L1.h5"
    inputs.mkdir()
    fifo, device, link = inputs / "f.h5", inputs / "x.h5", inputs / "link.h5"
    os.mkfifo(fifo)
    device.symlink_to("/dev/urandom")
    link.symlink_to(good)  # a link to a regular file is one
    for path, kind in ((fifo, "a FIFO"), (device, "a character device")):
        code, out, err = finished(dravel("decode", path, "-o", l1))
        assert code == 2 and out == ""
        assert err == f"dravel: error: {path}: is {kind}, not a regular file; refused\n"
    code, _, err = finished(dravel("decode", link, "-o", l1))
    assert code == 0, err

    code, out, err = finished(dravel("batch", inputs / "*.h5", "-o", tmp_path / "B"))
    assert code == 1 and "Traceback" not in err
    assert f"FAILED: {fifo}: is a FIFO, not a regular file; refused" in out
    assert f"FAILED: {device}: is a character device, not a regular file; refused" in out
    assert sorted(os.listdir(tmp_path / "B")) == ["link.h5"]
    assert err.strip().splitlines()[-1].startswith("dravel: error: 2 of 3 file(s) failed; f.h5: ")


def test_the_archive_names_every_input_it_refuses_and_archives_the_rest(day_l0, tmp_path):
    folder = tmp_path / "L0"
    folder.mkdir()
    for path in day_l0.glob("*.h5"):
        os.link(path, folder / path.name)
    os.mkfifo(folder / "f.h5")
    (folder / "x.h5").symlink_to("/dev/urandom")
    (folder / "odd.h5").mkdir()  # a folder the pattern matches
    archive = tmp_path / "A"
    code, out, err = finished(dravel("archive", folder / "*.h5", "-o", archive, "--workers", "2"))
    assert code == 1 and "Traceback" not in err
    failed = sorted(line for line in err.splitlines() if line.startswith("FAILED "))
    assert failed == [
        f"FAILED {folder / 'f.h5'}: refused: a FIFO, not a regular L0 file",
        f"FAILED {folder / 'odd.h5'}: refused: a directory, not a regular L0 file",
        f"FAILED {folder / 'x.h5'}: refused: a character device, not a regular L0 file",
    ]
    assert err.strip().splitlines()[-1] == (
        "dravel: error: 3 of 5 L0 file(s) failed (tried again by the next run): f.h5, odd.h5, x.h5"
    )
    assert "5 L0 file(s): 2 decoded, 0 unchanged, 3 failed" in out
    assert list(archive.glob("tswf/2024/03/*_20240301_v01.cdf"))
