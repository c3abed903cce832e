import h5py
import numpy as np
import pytest

from kesta.dravel import products as registry
from kesta.dravel.l1.hdf5 import product_datasets
from kesta.dravel.products import Product
from kesta.dravel.simulate.snapshots import Snapshot, expected_records, snapshot_group
from kesta.dravel.simulate.store import write_hdf5
from kesta.dravel.simulate.thr_random import random_hfr_calibration, random_tnr_calibration, random_tnr_survey

from cli_support import decoder_available, snapshot_cases
from records_support import assert_same_records


def summary_rows(out):
    """{product: [columns]} of the summary table."""
    rows = {}
    for line in out.splitlines():
        cells = line.split()
        if cells and cells[0] in registry.BY_NAME:
            rows[cells[0]] = cells[1:]
    return rows


# --------------------------------------------------------------------------------------------
# Round trips


def test_snapshot_products_round_trip(cli, snapshot_l0, tmp_path):
    l0, expected = snapshot_l0
    l1 = tmp_path / "L1.h5"
    code, out, err = cli("decode", l0, "-o", l1)
    assert code == 0, err
    rows = summary_rows(out)
    with h5py.File(l1, "r") as f:
        assert set(product_datasets(f)) == set(expected)
        for product, (records, reports, warnings) in expected.items():
            dataset = f[product]
            assert_same_records(dataset[()], records)
            # nested sub-arrays survive the file: a whole waveform block per record
            assert dataset.dtype["waveform_data"].shape == (4, 65536)
            assert dataset.attrs["reports"] == len(reports) == 1
            assert dataset.attrs["warnings"] == len(warnings)
            assert dataset.attrs["packet_type"] == snapshot_cases()[product][0]
            packets, records_out, reported, warned = rows[product][1:5]
            status = " ".join(rows[product][5:])
            assert (
                int(packets)
                == dataset.attrs["packets_in"]
                == len(snapshot_group(snapshot_cases()[product][2], snapshot_cases()[product][1])["PA_TDS_SNAPSHOT_NR"])
            )
            assert (int(records_out), int(reported), int(warned)) == (4, len(reports), len(warnings))
            # one snapshot of each was reported: its record is kept, waveform at fill values
            assert status == "partial: 1 snapshot(s) kept with fill data"
            assert dataset.attrs["status"] == "partial"
    assert not list(tmp_path.glob(".*.part"))


THR_CASES = (
    ("tnr_normal", registry.TNR_NORMAL_PACKET, lambda rng: random_tnr_survey(rng, 5, "normal", bad=1)),
    ("tnr_burst", registry.TNR_BURST_PACKET, lambda rng: random_tnr_survey(rng, 4, "burst", bad=1)),
    ("tnr_calibration", registry.TNR_CALIBRATION_PACKET, lambda rng: random_tnr_calibration(rng, 3, bad=1)),
    ("hfr_calibration", registry.HFR_CALIBRATION_PACKET, lambda rng: random_hfr_calibration(rng, 3, bad=1)),
)


@pytest.mark.parametrize("product,packet,build", THR_CASES, ids=[c[0] for c in THR_CASES])
def test_thr_products_round_trip(cli, tmp_path, product, packet, build):
    if not decoder_available(registry.BY_NAME[product].module):
        pytest.skip(f"{registry.BY_NAME[product].module} is not built")
    case = build(np.random.default_rng(5))
    assert case.records is not None
    write_hdf5(tmp_path / "L0.h5", {packet: case.group})
    code, out, err = cli("decode", tmp_path / "L0.h5", "-o", tmp_path / "L1.h5", "--products", product)
    assert code == 0, err
    with h5py.File(tmp_path / "L1.h5", "r") as f:
        assert_same_records(f[product][()], case.records)
        assert f[product].attrs["reports"] == case.reports == 1
    assert summary_rows(out)[product][3] == "1"


def test_products_option_selects_and_notes_absent_packet_types(cli, snapshot_l0, tmp_path):
    l0, expected = snapshot_l0
    l1 = tmp_path / "L1.h5"
    code, out, _ = cli("decode", l0, "-o", l1, "--products", "rswf,tswf", "--products", "hist2d")
    assert code == 0
    with h5py.File(l1, "r") as f:
        assert set(product_datasets(f)) == {"tswf", "rswf"}
        assert_same_records(f["rswf"][()], expected["rswf"][0])
    assert set(summary_rows(out)) == {"tswf", "rswf"}
    assert "hist2d: no TM_TDS_SCIENCE_ROUTINE_HISTMAP packets" in out


# --------------------------------------------------------------------------------------------
# One product failing or missing does not stop the others


def test_failing_product_is_reported_and_others_go_on(cli, tmp_path):
    cases = snapshot_cases()
    packet, kind, snaps = cases["tswf"]
    good = snapshot_group(snaps, kind)
    bad_packet, bad_kind, bad_snaps = cases["rswf"]
    bad = snapshot_group(bad_snaps, bad_kind)
    bad["PA_TDS_ACQUISITION_TIME"] = bad["PA_TDS_ACQUISITION_TIME"][:, :2]  # lost its flag column
    write_hdf5(tmp_path / "L0.h5", {packet: good, bad_packet: bad})
    code, out, err = cli("decode", tmp_path / "L0.h5", "-o", tmp_path / "L1.h5")
    assert code == 1
    rows = summary_rows(out)
    assert rows["tswf"][5] == "partial:"  # done, with its one reported snapshot
    failed = next(line for line in out.splitlines() if line.startswith("rswf "))
    assert "failed:" in failed and "PA_TDS_ACQUISITION_TIME" in failed
    assert "Traceback" not in out + err
    with h5py.File(tmp_path / "L1.h5", "r") as f:
        # the failed product leaves its trace: an empty dataset saying what went wrong
        assert set(product_datasets(f)) == {"tswf", "rswf"}
        assert len(f["tswf"]) == len(snaps)
        assert len(f["rswf"]) == 0 and f["rswf"].attrs["status"] == "failed"
        assert "PA_TDS_ACQUISITION_TIME" in f["rswf"].attrs["message"]
        assert f["rswf"].attrs["packets_in"] == len(bad["PA_TDS_ACQUISITION_TIME"])
    assert err.strip().splitlines()[-1].startswith("dravel: error: 1 of 2 product(s) failed; rswf: ")


def test_malformed_packet_type_fails_alone(cli, snapshot_l0, tmp_path):
    l0, expected = snapshot_l0
    with h5py.File(l0, "a") as f:
        del f["TM/TM_TDS_SCIENCE_SBM1_RSWF/source_data"]
        f["TM/TM_TDS_SCIENCE_SBM1_RSWF"].create_dataset("source_data", data=np.arange(3))
    code, out, _ = cli("decode", l0, "-o", tmp_path / "L1.h5")
    assert code == 1
    assert "no source_data group" in next(line for line in out.splitlines() if line.startswith("rswf_sbm1"))
    with h5py.File(tmp_path / "L1.h5", "r") as f:
        assert set(product_datasets(f)) == {"tswf", "tswf_sbm2", "rswf", "rswf_sbm1"}
        assert len(f["rswf_sbm1"]) == 0 and f["rswf_sbm1"].attrs["status"] == "failed"
        assert "no source_data group" in f["rswf_sbm1"].attrs["message"]


def test_product_without_decoder_is_skipped_with_a_note(cli, snapshot_l0, tmp_path, monkeypatch):
    l0, expected = snapshot_l0
    ghost = Product("ghost", "kesta.dravel.tasks.tds.no_such_decoder", "set_ghost", ("TM_TDS_SCIENCE_GHOST",), "tds")
    monkeypatch.setattr(registry, "PRODUCTS", registry.PRODUCTS + (ghost,))
    monkeypatch.setitem(registry.BY_NAME, "ghost", ghost)
    with h5py.File(l0, "a") as f:
        f.create_dataset("TM/TM_TDS_SCIENCE_GHOST/source_data/PA_X", data=np.arange(6))
        f.create_dataset("TM/TM_UNKNOWN/source_data/PA_Y", data=np.arange(2))
    code, out, _ = cli("decode", l0, "-o", tmp_path / "L1.h5")
    assert code == 0
    ghost_line = next(line for line in out.splitlines() if line.startswith("ghost"))
    assert "skipped: decoder not available" in ghost_line and " 6 " in ghost_line
    assert "TM_UNKNOWN is not decoded by any product" in out
    with h5py.File(tmp_path / "L1.h5", "r") as f:
        assert set(product_datasets(f)) == set(expected) | {"ghost"}
        assert len(f["ghost"]) == 0 and f["ghost"].attrs["status"] == "skipped"
        assert f["ghost"].attrs["packets_in"] == 6


def test_warnings_are_counted_per_product(cli, tmp_path):
    # two missing packets in one snapshot: two warnings, and the verbose listing shows them
    snap = Snapshot(length=4096, snapshot_nr=3, time=(900, 0, 1), missing=(2, 3))
    write_hdf5(tmp_path / "L0.h5", {"TM_TDS_SCIENCE_ROUTINE_TRIGSNAP": snapshot_group([snap], "trig")})
    code, out, err = cli("-v", "decode", tmp_path / "L0.h5", "-o", tmp_path / "L1.h5")
    assert code == 0
    _, reports, warnings = expected_records([snap], "trig")
    assert len(warnings) == 2
    assert summary_rows(out)["tswf"][3:5] == [str(len(reports)), "2"]
    assert out.count("tswf: warning: Packet #") == 2
    # the log records themselves went to stderr with -v only
    assert "Packet #2" in err


# --------------------------------------------------------------------------------------------
# Unusable input: one line on stderr, exit code 2, nothing written


def _not_hdf5(tmp_path):
    path = tmp_path / "notes.h5"
    path.write_text("just text\n")
    return path


def _no_tm(tmp_path):
    path = tmp_path / "other.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("TM", data=np.arange(3))
    return path


@pytest.mark.parametrize(
    "make,expect",
    [
        (lambda p: p / "absent.h5", "no such file"),
        (lambda p: p, "is a directory"),
        (_not_hdf5, "cannot be read as an HDF5 file"),
        (_no_tm, "not an L0 store"),
    ],
    ids=["missing", "directory", "not-hdf5", "no-TM-group"],
)
def test_unusable_input_is_a_one_line_error(cli, tmp_path, make, expect):
    code, out, err = cli("decode", make(tmp_path), "-o", tmp_path / "L1.h5")
    assert code == 2
    assert err.count("\n") == 1 and err.startswith("dravel: error:") and expect in err
    assert not (tmp_path / "L1.h5").exists()


def test_bad_arguments_exit_2(cli, snapshot_l0, tmp_path):
    l0, _ = snapshot_l0
    code, _, err = cli("decode", l0, "-o", tmp_path / "L1.h5", "--products", "tswf,nope")
    assert code == 2 and "unknown product(s) nope" in err
    code, _, err = cli("decode", l0, "-o", l0)
    assert code == 2 and "overwrite the input" in err
    with h5py.File(l0, "r") as f:  # the input survived
        assert "TM" in f
    code, _, err = cli("decode", l0, "-o", tmp_path / "no" / "dir" / "L1.h5")
    assert code == 2 and "cannot be written" in err
    code, _, _ = cli("decode", l0)
    assert code == 2
    code, _, _ = cli("simulate", "-o", tmp_path / "x.h5", "--seed", "-1")
    assert code == 2


# --------------------------------------------------------------------------------------------
# ISTP CDF files
def test_decode_to_cdf_from_the_command_line(cli, tmp_path):
    l0 = tmp_path / "L0.h5"
    from kesta.dravel.cli.simulate import simulate_file

    simulate_file(l0, seed=2)
    code, out, err = cli(
        "decode", l0, "-o", tmp_path / "cdf", "--format", "cdf", "--data-version", "2", "--products", "tswf,hist2d"
    )
    assert code == 0, err
    made = sorted(p.name for p in (tmp_path / "cdf").iterdir())
    assert [n.split("_20")[0] for n in made] == ["zelk_l1_hist2d", "zelk_l1_tswf"]
    assert all(n.endswith("_v02.cdf") for n in made)
    code, _, err = cli(
        "decode", l0, "-o", tmp_path / "cdf", "--format", "cdf", "--products", "tswf", "--data-version", "2"
    )
    assert code == 2 and "exists already" in err and err.count("\n") == 1
