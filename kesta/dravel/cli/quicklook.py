"""Quick-look plots of an L1 file: one PNG per product.

Fill values (the fill value of each field's element type) are masked and never plotted. Only
the fields a plot needs are read, and long products are thinned, so big files stay cheap.
"""
from __future__ import annotations

import datetime
import os

import numpy as np

from .errors import UsageError

MAX_COLUMNS = 2000       # spectrogram columns per band
SNAPSHOTS_SHOWN = 3
HISTOGRAMS_SHOWN = 4
SPECTRA_SHOWN = 5
MATRICES_SHOWN = 4
TT2000_ORIGIN = datetime.datetime(2000, 1, 1, 12, 0, 0)   # TT2000 0, on the TT scale


def _fill(dtype):
    from tesmo.converters.cdf_fill import CDFToFill

    dtype = np.dtype(dtype).base
    return np.asarray(CDFToFill()(dtype.name), dtype=dtype)


def masked(values, dtype=None):
    """`values` with the fill value of their element type masked."""
    values = np.asarray(values)
    return np.ma.masked_equal(values, _fill(dtype or values.dtype))


def _read(dataset, names, rows=slice(None)):
    missing = [n for n in names if n not in (dataset.dtype.names or ())]
    if missing:
        raise ValueError(f"dataset {dataset.name} has no field(s) {', '.join(missing)}")
    return dataset.fields(list(names))[rows]


def _seconds(epoch):
    """(seconds since the first valid epoch, masked; label of the time origin)."""
    epoch = masked(epoch)
    valid = epoch.compressed()
    if not valid.size:
        return np.ma.masked_all(epoch.shape), "time (s)"
    t0 = int(valid.min())
    seconds = (epoch.astype(np.float64) - float(t0)) / 1e9
    try:
        when = TT2000_ORIGIN + datetime.timedelta(microseconds=t0 // 1000)
    except OverflowError:       # not a calendar date: keep the relative axis only
        return seconds, f"time since epoch {t0} ns (s)"
    return seconds, f"time since {when:%Y-%m-%d %H:%M:%S} TT (s)"


def _time_unit(seconds, label):
    """(divisor, axis label) putting a time axis in s, min, h or days."""
    span = float(seconds.max() - seconds.min()) if seconds.count() else 0.0
    for limit, divisor, unit in ((600, 1, "s"), (36000, 60, "min"), (3 * 86400, 3600, "h")):
        if span <= limit:
            return divisor, label.replace("(s)", f"({unit})")
    return 86400, label.replace("(s)", "(days)")


def _time_columns(t, z):
    """Cell edges of spectrogram columns at ascending times `t`, and the values with a masked
    column put into every gap much longer than the usual cadence (so that a cell never
    stretches over a data gap)."""
    steps = np.diff(t)
    positive = steps[steps > 0]
    cadence = float(np.median(positive)) if positive.size else 1.0
    widths = np.minimum(np.append(steps, cadence), 2 * cadence)
    widths[widths <= 0] = cadence * 1e-3
    edges, columns = [t[0]], []
    for i in range(len(t)):
        if t[i] > edges[-1]:           # a gap before this column
            edges.append(t[i])
            columns.append(np.ma.masked_all(z.shape[1:]))
        edges.append(max(t[i] + widths[i], edges[-1] + cadence * 1e-3))
        columns.append(z[i])
    return np.asarray(edges), np.ma.stack(columns)


def _figure(*args, margins=None, **kwargs):
    # Fixed margins: an automatic layout engine costs more than the drawing itself.
    from matplotlib.figure import Figure

    fig = Figure(*args, **kwargs)
    width, height = fig.get_size_inches()
    fig.subplots_adjust(**{"left": 0.85 / width, "right": 1 - 0.3 / width, "bottom": 0.6 / height,
                           "top": 1 - 0.55 / height, "hspace": 0.4, "wspace": 0.35, **(margins or {})})
    return fig


def _save(fig, path):
    fig.savefig(path, dpi=90)
    return path


def _edges(centres, log=False):
    """Cell edges around ascending cell centres."""
    c = np.log(centres) if log else np.asarray(centres, dtype=np.float64)
    if c.size == 1:
        e = np.array([c[0] - 0.5, c[0] + 0.5]) if not log else np.array([c[0] - 0.01, c[0] + 0.01])
    else:
        mid = (c[1:] + c[:-1]) / 2
        e = np.concatenate([[c[0] - (mid[0] - c[0])], mid, [c[-1] + (c[-1] - mid[-1])]])
    return np.exp(e) if log else e


def _no_data(ax, text="no valid data"):
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes)


def _log_norm(values):
    from matplotlib.colors import LogNorm

    positive = values[values > 0] if not np.ma.isMaskedArray(values) else values.compressed()
    positive = positive[positive > 0]
    if not positive.size:
        return None
    lo, hi = float(positive.min()), float(positive.max())
    return LogNorm(vmin=lo, vmax=hi if hi > lo else lo * 10)


# --------------------------------------------------------------------------------------------
# TNR survey: spectrogram of the auto spectra


def plot_tnr_survey(dataset, path):
    data = _read(dataset, ("epoch", "tnr_band", "frequency", "auto1", "auto2"))
    seconds, xlabel = _seconds(data["epoch"])
    scale, xlabel = _time_unit(seconds, xlabel)
    band = data["tnr_band"]
    fig = _figure(figsize=(10, 7))
    axes = fig.subplots(2, 1, sharex=True)
    for ax, field, channel in zip(axes, ("auto1", "auto2"), (1, 2)):
        values = masked(data[field]).astype(np.float64)
        values = np.ma.masked_less_equal(values, 0)
        rows = [np.flatnonzero((band == b) & ~np.ma.getmaskarray(seconds)) for b in range(4)]
        norm = _log_norm(np.ma.concatenate([values[r] for r in rows if r.size])) if any(
            r.size for r in rows) else None
        mesh = None
        for b, r in enumerate(rows):
            if not r.size:
                continue
            r = r[np.argsort(seconds[r].filled(0), kind="stable")]
            if r.size > MAX_COLUMNS:
                r = r[:: -(-r.size // MAX_COLUMNS)]
            freq = masked(data["frequency"][r[0]]).astype(np.float64)
            good = ~np.ma.getmaskarray(freq) & (freq.filled(0) > 0)
            if not good.any():
                continue
            order = np.argsort(freq.filled(0)[good])
            f = freq.filled(0)[good][order]
            z = values[r][:, good][:, order]
            x, z = _time_columns(seconds[r].filled(0), z)
            mesh = ax.pcolormesh(x / scale, _edges(f, log=True), z.T, norm=norm, cmap="viridis",
                                 shading="flat")
        if mesh is None or norm is None:
            _no_data(ax)
        else:
            fig.colorbar(mesh, ax=ax, label=f"auto spectrum, channel {channel} (counts)")
        ax.set_yscale("log")
        ax.set_ylabel("frequency (Hz)")
        ax.set_title(f"{_name(dataset)}: channel {channel} auto spectra, bands A-D")
    axes[-1].set_xlabel(xlabel)
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# Calibration levels


def _first_packet(data):
    epoch = masked(data["epoch"])
    if not epoch.count():
        return np.zeros(0, dtype=np.intp)
    return np.flatnonzero(epoch.filled(0) == epoch.compressed()[0])


def _level_colours(n=9):
    from matplotlib import colormaps

    cmap = colormaps["plasma"]
    return [cmap(k / max(1, n - 1) * 0.9) for k in range(n)]


def plot_hfr_calibration(dataset, path):
    data = _read(dataset, ("epoch", "frequency", "calibration_level", "hfr_band", "agc1", "agc2"))
    rows = _first_packet(data)
    fig = _figure(figsize=(10, 7))
    axes = fig.subplots(2, 1, sharex=True)
    colours = _level_colours()
    for ax, field, channel in zip(axes, ("agc1", "agc2"), (1, 2)):
        labelled = set()
        for level in range(9):
            for band, marker in ((0, "o"), (1, "s")):
                r = rows[(data["calibration_level"][rows] == level) & (data["hfr_band"][rows] == band)]
                freq = masked(data["frequency"][r])
                value = masked(data[field][r])
                keep = ~(np.ma.getmaskarray(freq) | np.ma.getmaskarray(value))
                if not keep.any():
                    continue
                order = np.argsort(freq.data[keep], kind="stable")
                ax.plot(freq.data[keep][order], value.data[keep][order], marker=marker, ms=3, lw=1,
                        color=colours[level], label=None if level in labelled else f"level {level}")
                labelled.add(level)
        if labelled:
            ax.legend(fontsize=7, ncol=3, title="markers: o HF1, s HF2", title_fontsize=7)
        else:
            _no_data(ax)
        ax.set_ylabel(f"channel {channel} level (counts)")
        ax.set_title(f"{_name(dataset)}: channel {channel}, calibration levels of the first packet "
                     f"({_packets(dataset)} in file)")
    axes[-1].set_xlabel("frequency (kHz)")
    return [_save(fig, path)]


def plot_tnr_calibration(dataset, path):
    data = _read(dataset, ("epoch", "calibration_level", "tnr_band", "auto1"))
    rows = _first_packet(data)
    fig = _figure(figsize=(10, 7))
    axes = fig.subplots(2, 2, sharex=True).ravel()
    colours = _level_colours()
    for band, ax in enumerate(axes):
        plotted = False
        for level in range(9):
            r = rows[(data["calibration_level"][rows] == level) & (data["tnr_band"][rows] == band)]
            if not r.size:
                continue
            value = masked(data["auto1"][r[0]])
            if not value.count():
                continue
            ax.plot(np.arange(value.size), value, marker="o", ms=3, lw=1, color=colours[level],
                    label=f"level {level}")
            plotted = True
        if plotted:
            ax.legend(fontsize=7, ncol=3)
        else:
            _no_data(ax, "band off")
        ax.set_title(f"band {'ABCD'[band]}")
        ax.set_xlabel("frequency bin")
        ax.set_ylabel("channel 1 auto (counts)")
    fig.suptitle(f"{_name(dataset)}: calibration levels of the first packet "
                 f"({_packets(dataset)} in file)")
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# Snapshot waveforms


def plot_snapshots(dataset, path):
    head = _read(dataset, ("samps_per_ch", "sampling_rate", "snapshot_seq_nr", "channel_status_info"),
                 slice(0, 200))
    samples = masked(head["samps_per_ch"])
    rate = masked(head["sampling_rate"])
    chosen = [i for i in range(len(head))
              if not np.ma.is_masked(samples[i]) and not np.ma.is_masked(rate[i])
              and 0 < int(samples[i]) <= dataset.dtype["waveform_data"].shape[-1] and float(rate[i]) > 0]
    chosen = chosen[:SNAPSHOTS_SHOWN]
    if not chosen:
        return []
    fig = _figure(figsize=(4.5 * len(chosen) + 1, 8))
    axes = np.asarray(fig.subplots(4, len(chosen), squeeze=False))
    for col, i in enumerate(chosen):
        n = int(samples[i])
        wave = masked(dataset.fields("waveform_data")[i][:, :n])
        t = np.arange(n) / float(rate[i]) * 1e3
        for ch in range(4):
            ax = axes[ch, col]
            if wave[ch].count():
                ax.plot(t, wave[ch], lw=0.6)
            else:
                _no_data(ax, "channel off")
            if col == 0:
                ax.set_ylabel(f"channel {ch + 1} (ADC counts)")
            if ch == 3:
                ax.set_xlabel("time since first sample (ms)")
        axes[0, col].set_title(f"snapshot {int(head['snapshot_seq_nr'][i])}, "
                               f"{n} samples at {float(rate[i]) / 1e3:.1f} kHz", fontsize=9)
    fig.suptitle(f"{_name(dataset)}: {len(chosen)} of {len(dataset)} snapshots")
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# 2-D histograms


def plot_histograms(dataset, path):
    from matplotlib.colors import SymLogNorm

    names = ("hist2d_bins1", "hist2d_bins2", "hist2d_id", "hist2d_axis1", "hist2d_axis2")
    head = _read(dataset, names, slice(0, 200))
    shape = dataset.dtype["hist2d_counts"].shape
    chosen = [i for i in range(len(head))
              if 0 < int(masked(head["hist2d_bins1"])[i] or 0) <= shape[0]
              and 0 < int(masked(head["hist2d_bins2"])[i] or 0) <= shape[1]][:HISTOGRAMS_SHOWN]
    if not chosen:
        return []
    fig = _figure(figsize=(4.8 * len(chosen) + 1, 4.5))
    axes = np.asarray(fig.subplots(1, len(chosen), squeeze=False)).ravel()
    counts_all = dataset.fields("hist2d_counts")
    for ax, i in zip(axes, chosen):
        nx, ny = int(head["hist2d_bins1"][i]), int(head["hist2d_bins2"][i])
        counts = masked(counts_all[i][:nx, :ny])
        if counts.count():
            image = ax.imshow(counts.T, origin="lower", aspect="auto", interpolation="nearest",
                              norm=SymLogNorm(linthresh=1, vmin=0, vmax=max(1, float(counts.max()))),
                              extent=(-0.5, nx - 0.5, -0.5, ny - 0.5), cmap="magma")
            ax.figure.colorbar(image, ax=ax, label="counts")
        else:
            _no_data(ax)
        ax.set_xlabel(f"axis 1 bin (axis code {int(head['hist2d_axis1'][i])})")
        ax.set_ylabel(f"axis 2 bin (axis code {int(head['hist2d_axis2'][i])})")
        ax.set_title(f"histogram {i} (id {int(head['hist2d_id'][i])}, {nx} x {ny} bins)", fontsize=9)
    fig.suptitle(f"{_name(dataset)}: {len(chosen)} of {len(dataset)} histograms")
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# LFM


def plot_psd(dataset, path):
    names = ("epoch", "psd_freq_nr", "channel_status_info", "psd_data")
    data = _read(dataset, names, slice(0, SPECTRA_SHOWN))
    width = dataset.dtype["psd_data"].shape[-1]
    seconds, _ = _seconds(data["epoch"])
    fig = _figure(figsize=(12, 7))
    axes = np.asarray(fig.subplots(2, 3, sharex=True)).ravel()
    for ch, ax in enumerate(axes):
        plotted = False
        for i in range(len(data)):
            nf = masked(data["psd_freq_nr"])[i]
            if np.ma.is_masked(nf) or not 0 < int(nf) <= width:
                continue
            spectrum = masked(data["psd_data"][i, ch, :int(nf)]).astype(np.float64)
            spectrum = np.ma.masked_less_equal(spectrum, 0)
            if not spectrum.count():
                continue
            when = "" if np.ma.is_masked(seconds[i]) else f" (t = {float(seconds[i]):.1f} s)"
            ax.plot(np.arange(int(nf)), spectrum, lw=0.8, label=f"record {i}{when}")
            plotted = True
        if plotted:
            ax.set_yscale("log")
            ax.legend(fontsize=6)
        else:
            _no_data(ax, "no spectrum")
        ax.set_title(f"channel {ch + 1}", fontsize=9)
        ax.set_xlabel("frequency bin")
        ax.set_ylabel("spectral density (counts)")
    fig.suptitle(f"{_name(dataset)}: first {len(data)} of {len(dataset)} records")
    return [_save(fig, path)]


def plot_spectral_matrices(dataset, path):
    names = ("sm_type", "sm_freq_nr", "cross_re", "cross_im")
    data = _read(dataset, names, slice(0, 200))
    terms_max, width = dataset.dtype["cross_re"].shape
    chosen = []
    for i in range(len(data)):
        nf = masked(data["sm_freq_nr"])[i]
        if not np.ma.is_masked(nf) and 0 < int(nf) <= width:
            chosen.append(i)
    chosen = chosen[:MATRICES_SHOWN]
    if not chosen:
        return []
    fig = _figure(figsize=(12, 2.8 * len(chosen) + 1))
    axes = np.asarray(fig.subplots(len(chosen), 1, squeeze=False)).ravel()
    for ax, i in zip(axes, chosen):
        nf = int(data["sm_freq_nr"][i])
        kind = int(data["sm_type"][i])
        terms = {1: 3, 2: 10}.get(kind, terms_max)
        re = masked(data["cross_re"][i, :terms, :nf]).astype(np.float64)
        im = masked(data["cross_im"][i, :terms, :nf]).astype(np.float64)
        amplitude = np.ma.sqrt(re ** 2 + im ** 2)
        if amplitude.count():
            image = ax.imshow(amplitude, origin="lower", aspect="auto", interpolation="nearest",
                              extent=(-0.5, nf - 0.5, 0.5, terms + 0.5), cmap="viridis")
            ax.figure.colorbar(image, ax=ax, label="|cross term| (counts)")
        else:
            _no_data(ax)
        ax.set_ylabel("matrix term")
        ax.yaxis.get_major_locator().set_params(integer=True)
        ax.set_xlabel("frequency bin")
        ax.set_title(f"record {i}: type {kind}, {terms} terms x {nf} frequencies", fontsize=9)
    fig.suptitle(f"{_name(dataset)}: spectral-matrix amplitudes, {len(chosen)} of {len(dataset)} records")
    return [_save(fig, path)]


PLOTS = {
    "tnr_normal": plot_tnr_survey,
    "tnr_burst": plot_tnr_survey,
    "tnr_calibration": plot_tnr_calibration,
    "hfr_calibration": plot_hfr_calibration,
    "tswf": plot_snapshots,
    "tswf_sbm2": plot_snapshots,
    "rswf": plot_snapshots,
    "rswf_sbm1": plot_snapshots,
    "hist2d": plot_histograms,
    "lfm_sm": plot_spectral_matrices,
    "lfm_psd": plot_psd,
}


def _name(dataset):
    return dataset.name.lstrip("/")


def _packets(dataset):
    """"N packets" of the product, or "N records" when the file does not say."""
    if "packets_in" in dataset.attrs:
        return f"{int(dataset.attrs['packets_in'])} packets"
    return f"{len(dataset)} records"


def quicklook_file(l1_path, out_dir):
    """Plots every product of the L1 file into `out_dir`; returns (PNG paths, notes, failures)."""
    import h5py
    import matplotlib

    matplotlib.use("Agg")
    l1_path = os.fspath(l1_path)
    if not os.path.isfile(l1_path):
        raise UsageError(f"{l1_path}: no such file")
    try:
        f = h5py.File(l1_path, "r")
    except OSError as exc:
        raise UsageError(f"{l1_path}: cannot be read as an HDF5 file ({str(exc).splitlines()[0]})") from None
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as exc:
        f.close()
        raise UsageError(f"{out_dir}: cannot create the plot directory ({exc})") from None
    written, notes, failures = [], [], []
    with f:
        for name, node in f.items():
            plot = PLOTS.get(name)
            if plot is None or not isinstance(node, h5py.Dataset) or node.dtype.names is None:
                notes.append(f"{name}: not a product record dataset, not plotted")
                continue
            if not len(node):
                notes.append(f"{name}: no records, nothing to plot")
                continue
            try:
                made = plot(node, os.path.join(out_dir, f"{name}.png"))
            except Exception as exc:
                failures.append(f"{name}: {type(exc).__name__}: {exc}")
                continue
            if made:
                written.extend(made)
            else:
                notes.append(f"{name}: no valid record to plot")
    if not written and not failures:
        notes.append(f"nothing plotted from {l1_path}")
    return written, notes, failures
