"""Quicklooks from every L1 format: the same drawing from the HDF5 file, the CDF files and the
netCDF files of the same records; switched-off channels and fill values never drawn."""

import numpy as np
import pytest

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import convert
from kesta.dravel.l1 import quicklook as ql
from kesta.dravel.l1.dayrecords import decoder_columns
from kesta.dravel.l1.quicklook import plots as ql_plots
from kesta.dravel.l1.writers import FORMATS
from kesta.dravel.simulate.histmap import Histogram, histmap_group
from kesta.dravel.simulate.snapshots import Snapshot, snapshot_group
from kesta.dravel.simulate.store import write_hdf5
from kesta.dravel.simulate.thr_encoding import HfrCalibrationPacket
from kesta.dravel.simulate.thr_expected import hfr_calibration_group

# the inputs are written as CDF files too
PNG = b"\x89PNG\r\n\x1a\n"


class Drawn:
    """What the plots hand to matplotlib, per product, and the figures they save."""

    def __init__(self, monkeypatch):
        import matplotlib.axes

        self.calls, self.figures, self.product = {}, {}, None
        for name in ("plot", "imshow", "pcolormesh"):
            original = getattr(matplotlib.axes.Axes, name)
            monkeypatch.setattr(matplotlib.axes.Axes, name, self._spy(name, original))
        for product, plot in list(ql.PLOTS.items()):
            monkeypatch.setitem(ql.PLOTS, product, self._named(product, plot))
        save = ql_plots._save
        monkeypatch.setattr(
            ql_plots, "_save", lambda fig, path: self.figures.setdefault(self.product, fig) and save(fig, path)
        )

    def _spy(self, name, original):
        def spy(ax, *args, **kwargs):
            self.calls.setdefault(self.product, []).append(
                (name, [np.ma.filled(np.ma.asarray(a, dtype=np.float64), np.nan) for a in args if np.ndim(a)])
            )
            return original(ax, *args, **kwargs)

        return spy

    def _named(self, product, plot):
        def named(*args, **kwargs):
            self.product = product
            return plot(*args, **kwargs)

        return named


def panel(fig, title):
    return next(ax for ax in fig.axes if ax.get_title().startswith(title))


def texts(ax):
    return [t.get_text() for t in ax.texts]


@pytest.fixture(scope="module")
def l1_files(tmp_path_factory):
    """A simulated L0 file with anomalies, decoded into HDF5, CDF and netCDF."""
    root = tmp_path_factory.mktemp("quicklook")
    simulate_file(root / "L0.h5", seed=11, anomalies=True)
    convert(root / "L0.h5", root / "L1.h5")
    for fmt in ("cdf", "netcdf"):
        convert(root / "L0.h5", root / fmt, format=fmt)
    return root


def test_every_format_draws_the_same_records(l1_files, tmp_path, monkeypatch):
    drawn = {}
    for source in ("L1.h5", "cdf", "netcdf"):
        with monkeypatch.context() as m:
            spy = Drawn(m)
            written, notes, failures = ql.quicklook_file(l1_files / source, tmp_path / source)
        assert not failures, failures
        assert written and all(open(p, "rb").read(8) == PNG for p in written)
        drawn[source] = spy.calls
    products = set(drawn["L1.h5"])  # (a product whose channels are all off draws nothing)
    assert products == set(drawn["netcdf"]) and len(products) >= len(ql.PLOTS) - 2
    # CDF and netCDF files are one per product and day: the products of a single day draw as
    # the HDF5 file's
    import glob

    def single(fmt, ext):
        return [p for p in products if len(glob.glob(str(l1_files / fmt / f"zelk_l1_{p}_2*.{ext}"))) == 1]

    assert single("cdf", "cdf") and single("netcdf", "nc") == single("cdf", "cdf")
    for other, names in (("netcdf", single("netcdf", "nc")), ("cdf", single("cdf", "cdf"))):
        for product in names:
            a, b = drawn["L1.h5"][product], drawn[other][product]
            assert [n for n, _ in a] == [n for n, _ in b], (other, product)
            for (_, xs), (_, ys) in zip(a, b):
                for x, y in zip(xs, ys):
                    np.testing.assert_array_equal(x, y, err_msg=f"{other} {product}")


def test_switched_off_channels_are_said_not_drawn(tmp_path, monkeypatch):
    # HFR calibration with channel 2 off; a snapshot with channels 2 and 4 off and a lost packet
    levels = [((tuple(range(100 + k, 103 + k)), (7, 8)), (None, None)) for k in range(9)]
    hfr = hfr_calibration_group(
        [
            HfrCalibrationPacket(
                do_analysis=(0, 0, 0, 0, 1, 1), levels=levels, hfr_sweep=(2, 1, 3, 1), acquisition_time=(500, 0, 1)
            )
        ]
    )
    snaps = [Snapshot(length=2048, snapshot_nr=2, time=(20, 0, 1), missing=(2,), channels=(1, 0, 1, 0))]
    write_hdf5(
        tmp_path / "L0.h5",
        {"TM_THR_SCIENCE_CALIBRATION_HFR": hfr.group, "TM_TDS_SCIENCE_ROUTINE_TRIGSNAP": snapshot_group(snaps, "trig")},
    )
    convert(tmp_path / "L0.h5", tmp_path / "L1.h5")
    spy = Drawn(monkeypatch)
    written, _, failures = ql.quicklook_file(tmp_path / "L1.h5", tmp_path / "plots")
    assert not failures and len(written) == 2

    fig = spy.figures["hfr_calibration"]
    on, off = panel(fig, "channel 1"), panel(fig, "channel 2")
    # nine levels, each with an HF1 and an HF2 line
    assert len(on.lines) == 18 and not off.lines and texts(off) == ["channel 2 off"]
    assert {v for line in on.lines for v in line.get_ydata()} == set(range(100, 111)) | {7, 8}

    fig = spy.figures["tswf"]
    waves = [a[1] for name, a in spy.calls["tswf"]]
    assert len(waves) == 2  # channels 1 and 3 only
    fill = float(np.int16(-32768))
    assert all(len(w) == 2048 and not np.any(w == fill) and np.isnan(w).any() for w in waves)
    blank = [ax for ax in fig.axes if texts(ax) == ["channel off"]]
    assert len(blank) == 2 and all(
        not ax.lines and not any(t.get_visible() and t.get_text() for t in ax.get_yticklabels()) for ax in blank
    )


def test_histogram_fill_is_masked_and_axes_name_their_quantity(tmp_path, monkeypatch):
    lost = Histogram(nx=16, ny=8, chunk=50, order=(1, 2), hist_id=1, time=(100, 0, 1))
    whole = Histogram(nx=16, ny=8, hist_id=2, axis1=4, axis2=6, time=(200, 0, 1))
    write_hdf5(tmp_path / "L0.h5", {"TM_TDS_SCIENCE_ROUTINE_HISTMAP": histmap_group([lost, whole])})
    convert(tmp_path / "L0.h5", tmp_path / "cdf", format="cdf")
    spy = Drawn(monkeypatch)
    written, _, failures = ql.quicklook_file(tmp_path / "cdf", tmp_path / "plots")
    assert not failures and len(written) == 1
    # the lost histogram is not drawn (the colour bar draws a mesh of its own)
    ((image,),) = [a for name, a in spy.calls["hist2d"] if name == "imshow"]
    np.testing.assert_array_equal(image, whole.matrix().T)
    fig = spy.figures["hist2d"]
    lost_ax = panel(fig, "histogram id 1")
    assert texts(lost_ax) == ["no counts received (all fill)"]
    whole_ax = panel(fig, "histogram id 2")
    assert "quantity code 4" in whole_ax.get_xlabel() and "quantity code 6" in whole_ax.get_ylabel()


def test_inputs_that_are_no_l1_file(tmp_path):
    from kesta.dravel.l1 import InputError

    (tmp_path / "notes.txt").write_text("x")
    with pytest.raises(InputError, match="cannot be read as an L1 file"):
        ql.quicklook_file(tmp_path / "notes.txt", tmp_path / "p")
    with pytest.raises(InputError, match="no such file"):
        ql.quicklook_file(tmp_path / "absent.cdf", tmp_path / "p")
    written, notes, failures = ql.quicklook_file(tmp_path, tmp_path / "p")
    assert not written and not failures and "no L1 file" in notes[0]


def test_a_day_files_plot_names_its_day_and_spans_it(tmp_path, monkeypatch):
    # an L0 file of one day runs into the next: its TNR day file of the first day ends before
    # midnight, the spectrogram's last cells reach past it
    import datetime

    import matplotlib.dates as mdates

    from kesta.dravel.cli.simulate import simulate_days

    simulate_days(tmp_path / "L0", 1, "2024-03-12", seed=3)
    convert(tmp_path / "L0" / "L0_20240312.h5", tmp_path / "cdf", format="cdf", data_version="02")
    day_file = tmp_path / "cdf" / "zelk_l1_tnr_normal_20240312_v02.cdf"
    assert (tmp_path / "cdf" / "zelk_l1_tnr_normal_20240313_v02.cdf").exists()
    spy = Drawn(monkeypatch)
    written, _, failures = ql.quicklook_file(day_file, tmp_path / "plots")
    assert not failures and len(written) == 1
    fig = spy.figures["tnr_normal"]
    assert fig._suptitle.get_text().startswith("tnr_normal 2024-03-12 v02: ")
    start = mdates.date2num(datetime.datetime(2024, 3, 12))
    for ax in fig.axes[:1]:
        assert ax.get_xlim() == pytest.approx((start, start + 1))
    assert [t.get_text() for t in fig.axes[1].get_xticklabels()][::4] == ["00:00", "12:00", "24:00"]

    # the archive hands the plots a day's record array, under the day file's name
    _, columns = FORMATS["cdf"].read(day_file)
    records = ql.Records(decoder_columns("tnr_normal", columns), "tnr_normal")
    spy = Drawn(monkeypatch)
    notes, failures = [], []
    png = tmp_path / ".zelk_l1_tnr_normal_20240312_v02.png.7.plot.part.png"
    assert ql._plot_one("tnr_normal", records, str(png), notes, failures) and not failures
    assert spy.figures["tnr_normal"]._suptitle.get_text().startswith("tnr_normal 2024-03-12 v02: ")
    # a file of several days (an L1 HDF5 file) is titled by its product alone, its axis its own
    convert(tmp_path / "L0" / "L0_20240312.h5", tmp_path / "L1.h5")
    spy = Drawn(monkeypatch)
    ql.quicklook_file(tmp_path / "L1.h5", tmp_path / "all")
    fig = spy.figures["tnr_normal"]
    assert fig._suptitle.get_text().startswith("tnr_normal: ")
    assert fig.axes[0].get_xlim()[1] > start + 1
