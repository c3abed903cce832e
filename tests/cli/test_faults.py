"""The command line under faults: a full disk, Ctrl-C, outputs that cannot be written, and the
statuses and exit codes of products that lost units."""

import json
import os
import signal
import time
from pathlib import Path

import h5py
import pytest

from kesta.dravel import products as registry
from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import output

from cli_support import dravel


def left_in(folder):
    return sorted(p.name for p in Path(folder).iterdir())


@pytest.fixture(scope="module")
def large_l0(tmp_path_factory):
    """An L0 file whose decoding takes a few seconds and writes tens of megabytes."""
    path = tmp_path_factory.mktemp("large") / "L0.h5"
    simulate_file(path, seed=1, scale=48)
    return path


# --------------------------------------------------------------------------------------------
# A full disk


def test_full_disk_is_one_line_exit_1_and_leaves_nothing(large_l0, small_disk):
    target = small_disk / "L1.h5"
    proc = dravel("decode", large_l0, "-o", target)
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 1, out + err
    assert err == f"dravel: error: {target}: cannot be written (no space left on device)\n"
    assert left_in(small_disk) == []


def test_full_disk_while_writing_cdf_files(large_l0, small_disk):
    proc = dravel("decode", large_l0, "-o", small_disk / "cdf", "--format", "cdf")
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 1, out + err
    assert err.startswith(f"dravel: error: {small_disk / 'cdf'}/zelk_l1_") and err.count("\n") == 1
    assert "no space left on device" in err
    assert left_in(small_disk / "cdf") == []


def test_space_running_out_stops_the_write(snapshot_l0, tmp_path, cli, monkeypatch):
    l0, _ = snapshot_l0
    monkeypatch.setattr(output.shutil, "disk_usage", lambda path: _Usage(output.SPACE_MARGIN // 2))
    (tmp_path / "out").mkdir()
    code, out, err = cli("decode", l0, "-o", tmp_path / "out" / "L1.h5")
    assert code == 1
    assert err.count("\n") == 1 and "no space left on device" in err and ".part" not in err
    assert left_in(tmp_path / "out") == []


class _Usage:
    def __init__(self, free):
        self.free = free


# --------------------------------------------------------------------------------------------
# Ctrl-C


def _wait_for_part(folder, proc, min_bytes, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        parts = list(Path(folder).glob(".*.part"))
        if parts and parts[0].stat().st_size >= min_bytes:
            return True
        time.sleep(0.005)
    return False


@pytest.mark.parametrize("min_bytes", [0, 4 << 20], ids=["decoding", "writing"])
def test_ctrl_c_exits_130_and_leaves_nothing(large_l0, tmp_path, min_bytes):
    proc = dravel("decode", large_l0, "-o", tmp_path / "L1.h5")
    if not _wait_for_part(tmp_path, proc, min_bytes):
        proc.kill()
        proc.communicate()
        pytest.fail("the decode ended before it could be interrupted")
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, out + err
    assert err == "dravel: interrupted\n"
    assert left_in(tmp_path) == []


@pytest.mark.parametrize("workers", [1, 2])
def test_ctrl_c_stops_a_batch_and_leaves_nothing(large_l0, tmp_path, workers):
    for k in range(3):
        os.link(large_l0, tmp_path / f"run{k}.h5")
    proc = dravel("batch", tmp_path / "*.h5", "-o", tmp_path / "L1", "--workers", workers)
    if not _wait_for_part(tmp_path / "L1", proc, 1 << 20):
        proc.kill()
        proc.communicate()
        pytest.fail("the batch ended before it could be interrupted")
    os.killpg(proc.pid, signal.SIGINT)  # as a terminal does: the whole process group
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, out + err
    assert err.strip().splitlines()[-1] == "dravel: interrupted"
    # files done before the stop stay, whole; the ones being decoded leave nothing
    left = left_in(tmp_path / "L1")
    assert len(left) < 3 and all(name.startswith("run") for name in left)
    for name in left:
        with h5py.File(tmp_path / "L1" / name, "r") as f:
            assert f.attrs and len(f["tswf"])


# --------------------------------------------------------------------------------------------
# Outputs that cannot be written: exit 2 before any decoding


@pytest.mark.parametrize("where", ["folder", "unwritable", "missing-folder"])
def test_unusable_output_is_refused_before_decoding(snapshot_l0, tmp_path, cli, where, monkeypatch):
    l0, _ = snapshot_l0
    decoded = []
    monkeypatch.setattr(registry.Product, "decode", lambda *a: decoded.append(a))
    target = {
        "folder": tmp_path,
        "unwritable": Path("/proc/dravel-L1.h5"),
        "missing-folder": tmp_path / "no" / "L1.h5",
    }[where]
    code, out, err = cli("decode", l0, "-o", target)
    assert code == 2 and not decoded and out == ""
    assert err.startswith(f"dravel: error: {target}: ") and err.count("\n") == 1
    assert ".part" not in err and "errno" not in err.lower()


# --------------------------------------------------------------------------------------------
# Statuses and exit codes


def test_product_that_lost_every_unit_fails(tmp_path, cli):
    import numpy as np

    from kesta.dravel.simulate.store import write_hdf5
    from kesta.dravel.simulate.thr_random import random_tnr_survey

    case = random_tnr_survey(np.random.default_rng(2), 4, "normal")
    group = dict(case.group)
    del group["PA_THR_TNR_DATA"]
    write_hdf5(tmp_path / "L0.h5", {registry.TNR_NORMAL_PACKET: group})
    code, out, _ = cli("decode", tmp_path / "L0.h5", "-o", tmp_path / "L1.h5")
    assert code == 1
    line = next(line for line in out.splitlines() if line.startswith("tnr_normal"))
    assert "failed: every packet was lost (4 reported)" in line


def test_partial_products_strict_and_run_report(snapshot_l0, tmp_path, cli):
    l0, expected = snapshot_l0
    report = tmp_path / "run.json"
    assert cli("decode", l0, "-o", tmp_path / "L1.h5")[0] == 0
    code, out, err = cli("decode", l0, "-o", tmp_path / "L1.h5", "--strict", "--report", report, "--overwrite")
    assert code == 1  # every snapshot product has one reported snapshot
    assert err.startswith("dravel: error: --strict: ") and err.count("\n") == 1
    assert "partial: 1 snapshot(s) kept with fill data" in out
    run = json.loads(report.read_text())
    (entry,) = run["files"]
    by_name = {p["product"]: p for p in entry["products"]}
    assert set(by_name) == set(expected)
    for name, (records, reports, warnings) in expected.items():
        p = by_name[name]
        assert (p["status"], p["records"], len(p["reports"]), p["warnings"]) == (
            "partial",
            len(records),
            len(reports),
            warnings,
        )
        assert p["seconds"] >= 0 and p["packets"] > 0
    with h5py.File(tmp_path / "L1.h5") as f:
        from kesta.dravel.l1.hdf5 import texts

        assert [t.split(": ", 1)[-1] for t in texts(f, "reports", "tswf")] == expected["tswf"][1]


def test_options_before_or_after_the_command(snapshot_l0, tmp_path, cli):
    l0, _ = snapshot_l0
    log = tmp_path / "run.log"
    code, out, err = cli("decode", l0, "-o", tmp_path / "L1.h5", "-q", "--log-file", log)
    assert code == 0 and out == "" and err == ""
    assert "Get data for TM_TDS_SCIENCE_ROUTINE_TRIGSNAP" in log.read_text()
    code, out, _ = cli("-q", "decode", l0, "-o", tmp_path / "L1.h5", "-v", "--overwrite")
    assert code == 0 and out == ""  # -q wins: errors only
    code, out, _ = cli("--version")
    assert code == 0
