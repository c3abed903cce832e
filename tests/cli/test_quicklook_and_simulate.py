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
        f.visititems(lambda name, node: out.__setitem__(name, node[()]) if isinstance(node, h5py.Dataset) else None)
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

    monkeypatch.setattr(
        sim, "simulator_modules", lambda: ["kesta.dravel.simulate.snapshots", "kesta.dravel.simulate.no_such"]
    )
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
# simulate --days: one L0 file per UTC day, each running some minutes into the next day

DAYS = ("20240228", "20240229", "20240301")  # across a leap day
SURVEY = ("tnr_normal", "tnr_burst")  # their blocks carry delays of up to 18 h after the packet
PAST_MIDNIGHT = np.timedelta64(30, "m")  # the longest a file runs into the next day


def _packet_rows(group):
    """Each packet of an L0 packet group as the bytes of all its parameters."""
    names = sorted(group)
    n = len(group[names[0]])
    return [b"".join(np.asarray(group[p][i]).tobytes() for p in names) for i in range(n)]


def _packet_times(group):
    from quorel.time import Time

    time = np.asarray(
        group["PA_THR_ACQUISITION_TIME" if "PA_THR_ACQUISITION_TIME" in group else "PA_TDS_ACQUISITION_TIME"]
    )
    return Time().obt_to_utc(np.ascontiguousarray(time[:, :2]), to_tt2000=True)


def _record_keys(product, records):
    """Records as bytes; a survey record without its block number, which counts the blocks
    from the start of the file's packet group."""
    if product in SURVEY:
        records = records.copy()
        records["sweep_num"] = 0
    return [r.tobytes() for r in records]


@pytest.fixture(scope="module")
def day_files(tmp_path_factory):
    """(folder, [packets of file k: {packet name: group}], [records of file k: {product: records}],
    {product: records of the single-file mode's decode}), for seed 5 with anomalies."""
    from kesta.dravel.cli import main
    from kesta.dravel.l1 import decode_file

    root = tmp_path_factory.mktemp("days")
    assert (
        main(
            [
                "-q",
                "simulate",
                "--days",
                "3",
                "--start",
                "2024-02-28",
                "-o",
                str(root / "L0"),
                "--seed",
                "5",
                "--anomalies",
            ]
        )
        == 0
    )
    assert main(["-q", "simulate", "-o", str(root / "one.h5"), "--seed", "5", "--anomalies"]) == 0
    paths = [root / "L0" / f"L0_{day}.h5" for day in DAYS]
    packets = []
    for path in paths:
        with h5py.File(path, "r") as f:
            packets.append({name: {p: v[()] for p, v in f["TM"][name]["source_data"].items()} for name in f["TM"]})
    decoded = [{p.product: p.data for p in decode_file(path).products if p.data is not None} for path in paths]
    one = {p.product: p.data for p in decode_file(root / "one.h5").products if p.data is not None}
    return root / "L0", packets, decoded, one


def test_day_files_are_one_per_day_and_seeded(cli, day_files, tmp_path):
    folder, _, _, _ = day_files
    assert sorted(p.name for p in folder.iterdir()) == [f"L0_{day}.h5" for day in DAYS]
    for name, seed in (("same", 5), ("other", 6)):
        code, out, _ = cli(
            "simulate", "--days", 3, "--start", "2024-02-28", "-o", tmp_path / name, "--seed", seed, "--anomalies"
        )
        assert code == 0 and "wrote 3 day file(s)" in out
    for day in DAYS:
        mine, same, other = (read_all(f / f"L0_{day}.h5") for f in (folder, tmp_path / "same", tmp_path / "other"))
        assert mine.keys() == same.keys() and all(np.array_equal(mine[k], same[k]) for k in mine)
        assert any(not np.array_equal(mine[k], other[k]) for k in mine if k in other)


def test_day_files_hold_their_day_and_the_first_minutes_of_the_next(day_files):
    from kesta.dravel.l1.times import day_of, utc, utc_days

    _, packets, decoded, _ = day_files
    midnights = [np.datetime64(f"{d[:4]}-{d[4:6]}-{d[6:]}") for d in DAYS + ("20240302",)]
    for k, day in enumerate(DAYS):
        following = str(midnights[k + 1].astype("datetime64[D]")).replace("-", "")
        for name, group in packets[k].items():
            times = utc(_packet_times(group))
            assert times.min() >= midnights[k] and times.max() < midnights[k + 1] + PAST_MIDNIGHT, name
            # the day's units spread over the whole day
            own = times[times < midnights[k + 1]]
            assert own.max() - own.min() > np.timedelta64(20, "h"), name
            assert (times >= midnights[k + 1]).any() == (k + 1 < len(DAYS)), name
        for product, records in decoded[k].items():
            if not len(records):
                continue
            epoch = np.sort(records["epoch"])
            assert {d for d, _, _ in utc_days(epoch)} <= {day, following}, product
            assert day_of(epoch[0]) == day, product
            if product not in SURVEY:
                assert utc(epoch[-1:])[0] < midnights[k + 1] + PAST_MIDNIGHT, product


def test_day_files_overlap_in_whole_byte_identical_units(day_files):
    from kesta.dravel.l1.times import utc

    _, packets, decoded, _ = day_files
    for k in range(len(DAYS) - 1):
        midnight = np.datetime64(f"{DAYS[k + 1][:4]}-{DAYS[k + 1][4:6]}-{DAYS[k + 1][6:]}")
        for name, group in packets[k].items():
            rows, later = _packet_rows(group), _packet_rows(packets[k + 1][name])
            in_next_day = utc(_packet_times(group)) >= midnight
            # the shared packets are those of file k in the next day, the same bytes in file k + 1
            shared = set(rows) & set(later)
            assert shared and shared == {r for r, late in zip(rows, in_next_day) if late}, name
            if "PA_TDS_SNAPSHOT_NR" in group:
                numbers, after = group["PA_TDS_SNAPSHOT_NR"], packets[k + 1][name]["PA_TDS_SNAPSHOT_NR"]
                # whole snapshots: every packet of file k + 1 of a shared snapshot is shared
                whole = np.isin(after, numbers[in_next_day])
                assert {r for r, w in zip(later, whole) if w} == shared, name
                # snapshot numbers are distinct from one day to the next
                assert not set(numbers[~in_next_day].tolist()) & set(after.tolist()), name
        for product, records in decoded[k].items():
            later = decoded[k + 1][product]
            next_day = records["epoch"] >= later["epoch"].min()
            if product not in SURVEY:
                # the records of the shared units are the same bytes in both files
                assert set(_record_keys(product, records[next_day])) <= set(_record_keys(product, later))
                assert not set(_record_keys(product, records[~next_day])) & set(_record_keys(product, later))


def test_day_files_together_hold_every_day_once(day_files):
    # each day is the single-file mode's content placed into that day: the files' records,
    # each once, are as many as a decode of that file gives, once a day
    _, _, decoded, one = day_files
    assert set(one) == set(decoded[0])
    for product, records in one.items():
        unique = set()
        for file in decoded:
            unique.update(_record_keys(product, file[product]))
        assert len(unique) == len(DAYS) * len(records), product
        assert sum(len(file[product]) for file in decoded) >= len(unique)


def test_scaled_day_files_hold_scale_times_each_day_and_overlap_the_same_way(cli, day_files, tmp_path):
    # --days with --scale: each day three copies of the default content spread over the day,
    # every record of a day once per copy, the files still sharing whole units past midnight
    from kesta.dravel.l1 import decode_file
    from kesta.dravel.l1.times import utc

    scale, days = 3, ("20240301", "20240302")
    _, _, _, one = day_files
    code, out, _ = cli(
        "simulate", "--days", 2, "--start", "2024-03-01", "--scale", scale, "-o", tmp_path, "--seed", 5, "--anomalies"
    )
    assert code == 0 and "wrote 2 day file(s)" in out
    paths = [tmp_path / f"L0_{day}.h5" for day in days]
    packets = []
    for path in paths:
        with h5py.File(path, "r") as f:
            packets.append({name: {p: v[()] for p, v in f["TM"][name]["source_data"].items()} for name in f["TM"]})
    midnights = [np.datetime64("2024-03-01"), np.datetime64("2024-03-02"), np.datetime64("2024-03-03")]
    for name, group in packets[0].items():
        times, rows = utc(_packet_times(group)), _packet_rows(group)
        own = times[times < midnights[1]]
        assert own.max() - own.min() > np.timedelta64(20, "h"), name
        shared = set(rows) & set(_packet_rows(packets[1][name]))
        assert shared and shared == {r for r, t in zip(rows, times) if t >= midnights[1]}, name
    decoded = [{p.product: p.data for p in decode_file(path).products if p.data is not None} for path in paths]
    assert set(decoded[0]) == set(one) and packets[0].keys() == packets[1].keys()
    for product, records in one.items():
        for k in range(len(days)):
            in_day = set()
            for file in decoded:
                epoch = utc(file[product]["epoch"])
                mine = file[product][(epoch >= midnights[k]) & (epoch < midnights[k + 1])]
                in_day.update(_record_keys(product, mine))
            if product not in SURVEY:  # survey records may lie hours after their packet
                assert len(in_day) == scale * len(records), (product, k)
        unique = set()
        for file in decoded:
            unique.update(_record_keys(product, file[product]))
        assert len(unique) == scale * len(days) * len(records), product


@pytest.mark.parametrize(
    "args, message",
    [
        (("--days", "0", "--start", "2024-01-01"), "--days must be at least 1"),
        (("--days", "two", "--start", "2024-01-01"), "--days must be a whole number"),
        (("--days", "2", "--start", "2024-02-30"), "--start must be a date YYYY-MM-DD"),
        (("--days", "2", "--start", "20240201"), "--start must be a date YYYY-MM-DD"),
        (("--days", "2", "--start", "1999-12-31"), "on-board times cannot express these days"),
        (("--days", "2"), "--days needs --start"),
        (("--start", "2024-01-01"), "--start needs --days"),
        (("--days", "2", "--start", "2024-01-01", "--scale", "10000000000"), "do not fit"),
    ],
)
def test_day_files_usage_errors(cli, tmp_path, args, message):
    code, out, err = cli("simulate", "-o", tmp_path / "L0", *args)
    assert code == 2 and err.startswith("dravel: error:") and err.count("\n") == 1
    assert message in err and not (tmp_path / "L0").exists()


def test_day_files_need_a_folder(cli, tmp_path):
    (tmp_path / "L0.h5").write_text("x")
    code, _, err = cli("simulate", "--days", 1, "--start", "2024-01-01", "-o", tmp_path / "L0.h5")
    assert code == 2 and "not a folder" in err and err.count("\n") == 1
    code, _, _ = cli("simulate", "--days", 1, "--start", "2024-01-01", "-o", tmp_path / "a" / "b")
    assert code == 0 and [p.name for p in (tmp_path / "a" / "b").iterdir()] == ["L0_20240101.h5"]


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
    snaps = [
        Snapshot(length=1024, snapshot_nr=1, time=(10, 0, 1), samples_override={1: 7}),
        Snapshot(length=2048, snapshot_nr=2, time=(20, 0, 1), missing=(2,), channels=(1, 0, 1, 1)),
    ]
    write_hdf5(tmp_path / "L0.h5", {"TM_TDS_SCIENCE_ROUTINE_TRIGSNAP": snapshot_group(snaps, "trig")})
    from kesta.dravel.l1.convert import convert

    convert(tmp_path / "L0.h5", tmp_path / "L1.h5")
    plotted = []
    import matplotlib.axes

    original = matplotlib.axes.Axes.plot
    monkey = pytest.MonkeyPatch()
    monkey.setattr(matplotlib.axes.Axes, "plot", lambda self, *a, **k: plotted.append(a) or original(self, *a, **k))
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
        assert np.ma.count_masked(wave) > 0  # the lost packet's samples are masked, not drawn


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
    done = subprocess.run(
        [sys.executable, "-m", "kesta.dravel", "decode", "--help"], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0
    assert "--products" in done.stdout and "L0.h5" in done.stdout
