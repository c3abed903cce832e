import json

import h5py
import pytest

from kesta.dravel.l1.hdf5 import product_datasets

from cli_support import write_snapshot_file
from records_support import assert_same_records


def make_inputs(folder, good=2, bad=True):
    """`good` snapshot files (different seeds) and, with `bad`, one file that is not HDF5."""
    folder.mkdir()
    expected = {}
    for k in range(good):
        expected[f"run{k}"] = write_snapshot_file(folder / f"run{k}.h5", seed=k)
    if bad:
        (folder / "broken.h5").write_bytes(b"\x00" * 64)
    return expected


def check_outputs(out_dir, expected):
    for stem, products in expected.items():
        with h5py.File(out_dir / f"{stem}.h5", "r") as f:
            assert set(product_datasets(f)) == set(products)
            for name, (records, reports, _) in products.items():
                assert_same_records(f[name][()], records, label=f"{stem}/{name}")
                assert f[name].attrs["reports"] == len(reports)


def test_batch_with_two_workers_goes_on_past_a_bad_file(cli, tmp_path):
    expected = make_inputs(tmp_path / "L0")
    code, out, err = cli("batch", str(tmp_path / "L0" / "*.h5"), "-o", tmp_path / "L1", "--workers", 2)
    assert code == 1
    broken = next(line for line in out.splitlines() if "broken.h5" in line)
    assert "FAILED" in broken and "cannot be read as an HDF5 file" in broken
    assert "2 of 3 file(s) decoded without error" in out
    check_outputs(tmp_path / "L1", expected)
    assert not (tmp_path / "L1" / "broken.h5").exists()


def test_batch_in_process_matches_selected_products(cli, tmp_path):
    expected = make_inputs(tmp_path / "L0", good=1, bad=False)
    code, out, _ = cli("batch", tmp_path / "L0" / "run0.h5", "-o", tmp_path / "L1", "--products", "tswf")
    assert code == 0
    check_outputs(tmp_path / "L1", {"run0": {"tswf": expected["run0"]["tswf"]}})
    # its snapshots are partly reported: --strict fails the batch, and the report says why
    code, out, _ = cli(
        "batch",
        tmp_path / "L0" / "run0.h5",
        "-o",
        tmp_path / "L1",
        "--products",
        "tswf",
        "--strict",
        "--report",
        tmp_path / "run.json",
        "--overwrite",
    )
    assert code == 1 and "partial (tswf)" in out
    (file,) = json.loads((tmp_path / "run.json").read_text())["files"]
    assert [(p["product"], p["status"]) for p in file["products"]] == [("tswf", "partial")]


def test_batch_on_a_dask_cluster(cli, tmp_path):
    distributed = pytest.importorskip("distributed")
    expected = make_inputs(tmp_path / "L0")
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None
    ) as cluster:
        code, out, _ = cli(
            "batch", str(tmp_path / "L0" / "*.h5"), "-o", tmp_path / "L1", "--scheduler", cluster.scheduler_address
        )
    assert code == 1
    assert "FAILED" in next(line for line in out.splitlines() if "broken.h5" in line)
    check_outputs(tmp_path / "L1", expected)


def test_batch_argument_errors(cli, tmp_path):
    make_inputs(tmp_path / "L0", good=1, bad=False)
    code, _, err = cli("batch", str(tmp_path / "none" / "*.h5"), "-o", tmp_path / "L1")
    assert code == 2 and "no file matches" in err
    # two inputs with one base name would overwrite each other's output
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "run0.h5").write_bytes((tmp_path / "L0" / "run0.h5").read_bytes())
    code, _, err = cli("batch", tmp_path / "L0" / "run0.h5", tmp_path / "other" / "run0.h5", "-o", tmp_path / "L1")
    assert code == 2 and "would both be written" in err
    # writing into the input folder would replace the inputs
    code, _, err = cli("batch", tmp_path / "L0" / "run0.h5", "-o", tmp_path / "L0")
    assert code == 2 and "overwrite an input" in err
    assert cli("batch", tmp_path / "L0" / "run0.h5", "-o", tmp_path / "L1", "--workers", 0)[0] == 2
    code, _, err = cli(
        "batch",
        tmp_path / "L0" / "run0.h5",
        "-o",
        tmp_path / "L1",
        "--scheduler",
        "tcp://127.0.0.1:1",
        "--connect-timeout",
        1,
    )
    assert code == 2 and "cannot reach the Dask scheduler" in err


def test_demo_into_a_folder(cli, tmp_path):
    code, out, err = cli("demo", "-o", tmp_path / "demo")
    assert code == 0, err
    assert (tmp_path / "demo" / "L0.h5").is_file() and (tmp_path / "demo" / "L1.h5").is_file()
    pngs = list((tmp_path / "demo" / "plots").glob("*.png"))
    assert pngs and f"plots ({len(pngs)}) in {tmp_path / 'demo' / 'plots'}" in out
    assert "records out" in out
    # one plot for every product of the simulated file that has records
    with h5py.File(tmp_path / "demo" / "L1.h5", "r") as f:
        products = {n for n, d in product_datasets(f).items() if len(d)}
    assert {p.stem for p in pngs} == products
    assert all(p.stat().st_size > 10_000 for p in pngs)
    # and the ISTP CDF files of every product, said where
    import spacepy.pycdf as pycdf
    import spacepy.pycdf.istp as istp

    cdfs = sorted((tmp_path / "demo" / "cdf").glob("zelk_l1_*_v01.cdf"))
    assert f"ISTP CDF files ({len(cdfs)}) in {tmp_path / 'demo' / 'cdf'}" in out
    assert {p.name.split("_20")[0][len("zelk_l1_") :] for p in cdfs} == products
    for path in cdfs:
        with pycdf.CDF(str(path)) as f:
            assert istp.FileChecks.all(f, catch=True) == [], path.name
