import subprocess
import sys

import h5py
import numpy as np
import pytest

from kesta.dravel.cli.simulate import simulate_groups
from kesta.dravel.l1 import quicklook
from kesta.dravel.l1.hdf5 import product_datasets
from kesta.dravel.simulate.snapshots import Snapshot, snapshot_group
from kesta.dravel.simulate.store import write_hdf5


PNG = b"\x89PNG\r\n\x1a\n"


def read_all(path):
    with h5py.File(path, "r") as f:
        out = {}
        f.visititems(lambda name, node: out.__setitem__(name, node[()])
                     if isinstance(node, h5py.Dataset) else None)
        return out


# --------------------------------------------------------------------------------------------
# simulate


def test_simulate_is_reproducible_and_seeded(cli, tmp_path):
    for name, seed in (("a", 3), ("b", 3), ("c", 4)):
        code, out, _ = cli("simulate", "-o", tmp_path / f"{name}.h5", "--seed", seed, "--anomalies")
        assert code == 0
    a, b, c = (read_all(tmp_path / f"{n}.h5") for n in "abc")
    assert a.keys() == b.keys() and all(np.array_equal(a[k], b[k]) for k in a)
    assert any(not np.array_equal(a[k], c[k]) for k in a if k in c)
    assert all(k.startswith("TM/") and "/source_data/" in k for k in a)


def test_simulators_do_not_disturb_each_other(monkeypatch):
    # a simulator's packets depend on the seed only, not on which other simulators exist
    from kesta.dravel.cli import simulate as sim

    full, _, _ = simulate_groups(seed=9)
    monkeypatch.setattr(sim, "simulator_modules", lambda: ["kesta.dravel.simulate.snapshots"])
    alone, _, _ = simulate_groups(seed=9)
    assert alone and set(alone) <= set(full)
    for name in alone:
        for param in alone[name]:
            np.testing.assert_array_equal(alone[name][param], full[name][param])


def test_missing_simulator_is_a_note(monkeypatch):
    from kesta.dravel.cli import simulate as sim

    monkeypatch.setattr(sim, "simulator_modules",
                        lambda: ["kesta.dravel.simulate.snapshots", "kesta.dravel.simulate.no_such"])
    groups, notes, failures = simulate_groups(seed=1)
    assert groups and not failures
    assert notes == [n for n in notes if "no_such: not available" in n] and len(notes) == 1


def test_simulated_file_decodes_without_product_errors(cli, tmp_path):
    l0, l1 = tmp_path / "L0.h5", tmp_path / "L1.h5"
    assert cli("simulate", "-o", l0, "--anomalies", "--seed", 2)[0] == 0
    code, out, err = cli("decode", l0, "-o", l1)
    assert code == 0, out + err
    with h5py.File(l0, "r") as f0, h5py.File(l1, "r") as whole:
        f1 = product_datasets(whole)
        # every decoder that is built produced its product from the file
        for name in f1:
            assert f1[name].attrs["packet_type"] in f0["TM"]
            assert len(f1[name]) > 0
        assert {"tswf", "tswf_sbm2", "rswf", "rswf_sbm1"} <= set(f1)
        # the anomalies show: reported snapshots and missing-packet warnings
        assert sum(f1[n].attrs["reports"] for n in f1) > 0
        assert sum(f1[n].attrs["warnings"] for n in f1) > 0


# --------------------------------------------------------------------------------------------
# quicklook


def test_quicklook_writes_one_png_per_product(cli, snapshot_l0, tmp_path):
    l0, expected = snapshot_l0
    l1, plots = tmp_path / "L1.h5", tmp_path / "plots"
    assert cli("decode", l0, "-o", l1)[0] == 0
    code, out, err = cli("quicklook", l1, "-o", plots)
    assert code == 0, err
    made = sorted(p.name for p in plots.iterdir())
    assert made == sorted(f"{name}.png" for name in expected)
    for png in plots.iterdir():
        data = png.read_bytes()
        assert data.startswith(PNG) and len(data) > 10_000


def test_fill_values_are_masked_not_plotted(tmp_path):
    # snapshot 1 is rejected (its waveform is all fill values), snapshot 2 lost a packet
    snaps = [Snapshot(length=1024, snapshot_nr=1, time=(10, 0, 1), samples_override={1: 7}),
             Snapshot(length=2048, snapshot_nr=2, time=(20, 0, 1), missing=(2,), channels=(1, 0, 1, 1))]
    write_hdf5(tmp_path / "L0.h5", {"TM_TDS_SCIENCE_ROUTINE_TRIGSNAP": snapshot_group(snaps, "trig")})
    from kesta.dravel.l1.convert import convert

    convert(tmp_path / "L0.h5", tmp_path / "L1.h5")
    plotted = []
    import matplotlib.axes

    original = matplotlib.axes.Axes.plot
    monkey = pytest.MonkeyPatch()
    monkey.setattr(matplotlib.axes.Axes, "plot",
                   lambda self, *a, **k: plotted.append(a) or original(self, *a, **k))
    try:
        with h5py.File(tmp_path / "L1.h5", "r") as f:
            assert quicklook.plot_snapshots(f["tswf"], tmp_path / "tswf.png")
    finally:
        monkey.undo()
    # only snapshot 2, three active channels; channel 2 is off
    assert len(plotted) == 3
    fill = np.int16(-32768)
    for t, wave in plotted:
        assert len(t) == 2048
        assert not np.any(np.ma.filled(wave, 0) == fill)
        assert np.ma.count_masked(wave) > 0    # the lost packet's samples are masked, not drawn


def test_quicklook_input_errors(cli, tmp_path):
    code, _, err = cli("quicklook", tmp_path / "absent.h5", "-o", tmp_path / "p")
    assert code == 2 and err.startswith("dravel: error:") and err.count("\n") == 1
    (tmp_path / "text.h5").write_text("x")
    assert cli("quicklook", tmp_path / "text.h5", "-o", tmp_path / "p")[0] == 2
    # a dataset that is not a product record array is a note, not an error
    with h5py.File(tmp_path / "odd.h5", "w") as f:
        f["tswf"] = np.arange(4)
    code, out, _ = cli("quicklook", tmp_path / "odd.h5", "-o", tmp_path / "p")
    assert code == 0 and "not a product record dataset" in out
    # a plot folder that is a file is refused before anything is read
    code, _, err = cli("quicklook", tmp_path / "odd.h5", "-o", tmp_path / "text.h5")
    assert code == 2 and "text.h5: is a file, not a folder" in err


def test_module_entry_point_help():
    done = subprocess.run([sys.executable, "-m", "kesta.dravel", "decode", "--help"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert "--products" in done.stdout and "L0.h5" in done.stdout
