"""Quick-look plots of L1 products: one PNG per product of an L1 HDF5 file, one per CDF or
netCDF file.

Every plot works from one neutral form of a product, its variables by name as `layout` names
the leaf fields (``Epoch`` the time axis, first axis the records): `Records`. The L1 HDF5 file
gives it lazily (only the fields and rows a plot shows are read, and long products are thinned,
so big files stay cheap); CDF and netCDF files give it through their readers. Fill values (the
fill value of each variable's element type, from the fill-value component) are masked and never
drawn; times are shown in UTC, converted from TT2000 by the CDF library (leap seconds included).
"""
from __future__ import annotations

import os

import numpy as np

from . import layout
from .errors import InputError, OutputError

MAX_COLUMNS = 2000       # spectrogram columns per band
SNAPSHOTS_SHOWN = 3
HISTOGRAMS_SHOWN = 4
SPECTRA_SHOWN = 5
MATRICES_SHOWN = 4
HEAD = 200               # records looked at when choosing the few a plot shows
FILL_COLOUR = "#c8c8c8"
EPOCH = layout.EPOCH
# TT2000 values beyond this many nanoseconds from 2000 are past what datetime64[ns] can hold
# (years 1677 to 2262); they are shown as invalid times.
TT2000_SPAN = 8_000_000_000_000_000_000


# --------------------------------------------------------------------------------------------
# The neutral form


class Records:
    """The variables of one product's records: `take(names, rows)` gives {name: values} of the
    chosen rows, `shape(name)` the per-record shape, `len()` the number of records."""

    def __init__(self, columns, product, packets=None):
        self._columns = dict(columns)
        self.product = product
        self.packets = packets            # packets decoded into the product, when known
        lengths = {len(v) for v in self._columns.values()}
        if len(lengths) > 1:
            raise ValueError(f"{product}: variables of different record counts {sorted(lengths)}")
        self._n = lengths.pop() if lengths else 0

    def __len__(self):
        return self._n

    def __contains__(self, name):
        return name in self._columns

    def names(self):
        return list(self._columns)

    def _check(self, names):
        missing = [n for n in names if n not in self]
        if missing:
            raise ValueError(f"{self.product} has no variable(s) {', '.join(missing)}")

    def shape(self, name):
        self._check([name])
        return tuple(self._columns[name].shape[1:])

    def take(self, names, rows=slice(None)):
        self._check(names)
        return {n: np.asarray(self._columns[n][rows]) for n in names}

    def __getitem__(self, name):
        return self.take([name])[name]

    @property
    def count_text(self):
        """"N packets" of the product, or "N records" when the file does not say."""
        return f"{self.packets} packets" if self.packets is not None else f"{len(self)} records"


class HDF5Records(Records):
    """The records of one compound dataset of an L1 HDF5 file, read on demand."""

    def __init__(self, dataset, product=None):
        self._dataset = dataset
        self._leaves = {leaf.name: leaf for leaf in layout.leaves(dataset.dtype)}
        self.product = product or dataset.name.lstrip("/")
        packets = dataset.attrs.get("packets_in")
        self.packets = None if packets is None else int(packets)
        self._n = len(dataset)

    def __contains__(self, name):
        return name in self._leaves

    def names(self):
        return list(self._leaves)

    def shape(self, name):
        self._check([name])
        return self._leaves[name].shape

    def take(self, names, rows=slice(None)):
        self._check(names)
        leaves = [self._leaves[n] for n in names]
        tops = list(dict.fromkeys(leaf.path[0] for leaf in leaves))
        index, back = rows, None
        if not isinstance(rows, slice):
            rows = np.asarray(rows, dtype=np.int64)
            if rows.ndim != 1:
                raise ValueError("rows must be a slice or a one-dimensional list of record indexes")
            if rows.size and (rows.min() < 0 or rows.max() >= self._n):
                raise IndexError(f"{self.product}: record index outside 0..{self._n - 1}")
            index, back = np.unique(rows, return_inverse=True)
            if not index.size:
                part = np.zeros(0, dtype=self._dataset.dtype)[tops]
                return {leaf.name: layout.values(part, leaf) for leaf in leaves}
            index = list(index)
        part = self._dataset.fields(tops)[index]
        if part.dtype.names is None:        # a single field handed back as its plain values
            part = _as_record(part, self._dataset.dtype, tops[0])
        if back is not None:
            part = part[back]
        return {leaf.name: layout.values(part, leaf) for leaf in leaves}


def _as_record(values, dtype, name):
    out = np.empty(len(values), dtype=np.dtype([(name, dtype.fields[name][0])]))
    out[name] = values
    return out


def records(data, product=None):
    """`data` as Records: Records themselves, an open HDF5 compound dataset, a record array, or
    {variable name: values} (as `layout.flatten` gives)."""
    if isinstance(data, Records):
        return data
    if hasattr(data, "id") and hasattr(data, "fields"):        # an h5py dataset
        return HDF5Records(data, product)
    if isinstance(data, np.ndarray) and data.dtype.names is not None:
        return Records(layout.flatten(data), product or "records")
    return Records(_as_layout(product, data), product or "records")


def _as_layout(product, columns):
    """`columns` with every variable of the product's record layout in the layout's element type
    (a reader that widened an integer type gives it back; the fill values then match again)."""
    columns = {name: np.asarray(v) for name, v in columns.items()}
    try:
        from kesta.dravel.products import BY_NAME

        leaves = {leaf.name: leaf for leaf in layout.leaves(BY_NAME[product].record_dtype())}
    except Exception:        # an unknown product, or a layout the installed pipeline lacks
        return columns
    for name, values in columns.items():
        leaf = leaves.get(name)
        if (leaf is not None and values.dtype != leaf.dtype and values.dtype.kind in "iu"
                and leaf.dtype.kind in "iu"):
            columns[name] = values.astype(leaf.dtype)
    return columns


# --------------------------------------------------------------------------------------------
# Values, fill values, times


def _fill(dtype):
    from tesmo.converters.cdf_fill import CDFToFill

    dtype = np.dtype(dtype).base
    return np.asarray(CDFToFill()(dtype.name), dtype=dtype)


def masked(values, dtype=None):
    """`values` with the fill value of their element type masked."""
    values = np.asarray(values)
    return np.ma.masked_equal(values, _fill(dtype or values.dtype))


def valid_epoch(epoch):
    """TT2000 values as int64, fill values (of their own type and of TT2000) and times that
    cannot be shown masked."""
    epoch = np.asarray(epoch)
    bad = epoch == _fill(epoch.dtype)
    tt = epoch.astype(np.int64)      # a uint64 epoch keeps its bits
    bad |= (tt == _fill(np.int64)) | (np.abs(tt) > TT2000_SPAN)
    return np.ma.masked_array(tt, mask=bad)


def utc(epoch):
    """UTC datetime64[ns] of TT2000 epochs, by the CDF library (NaT where masked or fill)."""
    from cdflib import cdfepoch

    tt = valid_epoch(epoch)
    out = np.full(tt.shape, np.datetime64("NaT"), dtype="datetime64[ns]")
    good = ~np.ma.getmaskarray(tt)
    if good.any():
        out[good] = np.asarray(cdfepoch.to_datetime(tt.data[good]), dtype="datetime64[ns]")
    return out


def _utc_text(epoch):
    t = utc(np.atleast_1d(epoch))[0]
    return "time unknown" if np.isnat(t) else f"{str(t.astype('datetime64[ms]')).replace('T', ' ')} UTC"


def _date_axis(ax):
    import matplotlib.dates as mdates

    locator = mdates.AutoDateLocator(minticks=3, maxticks=8)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def _days(times):
    """Matplotlib date numbers (days) of datetime64 values (NaN for NaT)."""
    import matplotlib.dates as mdates

    return np.asarray(mdates.date2num(times), dtype=np.float64)


def _describe(product, name, key="CATDESC"):
    """What the product's metadata table says of a variable ("" when it says nothing)."""
    from .metadata import TABLES

    return str(TABLES.get(product, {}).get("variables", {}).get(name, {}).get(key, ""))


def _off(status):
    """True where a channel status flag says the channel is off (a fill value says nothing)."""
    status = masked(status)
    return np.ma.filled(status == 0, False)


# --------------------------------------------------------------------------------------------
# Figures


def _figure(figsize, title=None, left=0.9):
    # Fixed margins: an automatic layout engine costs more than the drawing itself. The figure
    # title sits in a band of its own above the panels and their titles.
    from matplotlib.figure import Figure

    fig = Figure(figsize=figsize)
    width, height = fig.get_size_inches()
    top = 0.95 if title else 0.55
    fig.subplots_adjust(left=left / width, right=1 - 0.3 / width, bottom=0.65 / height,
                        top=1 - top / height, hspace=0.55, wspace=0.35)
    if title:
        fig.suptitle(title, y=1 - 0.12 / height, va="top")
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


def _no_data(ax, text="no valid data", blank=False):
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, color="0.3")
    if blank:        # nothing is drawn: axes without scales say nothing wrong
        ax.tick_params(left=False, labelleft=False)
        if len(ax.get_shared_x_axes().get_siblings(ax)) == 1:    # a shared axis keeps its scale
            ax.tick_params(bottom=False, labelbottom=False)


def _log_norm(values):
    from matplotlib.colors import LogNorm

    positive = np.ma.masked_less_equal(np.ma.asarray(values, dtype=np.float64), 0).compressed()
    if not positive.size:
        return None
    lo, hi = float(positive.min()), float(positive.max())
    return LogNorm(vmin=lo, vmax=hi if hi > lo else lo * 10)


def _cmap(name, bad=FILL_COLOUR):
    from matplotlib import colormaps

    return colormaps[name].with_extremes(bad=bad)


def _fill_legend(ax, text="fill value (not written)"):
    from matplotlib.patches import Patch

    ax.legend(handles=[Patch(facecolor=FILL_COLOUR, edgecolor="0.5", label=text)], loc="upper right",
              fontsize=7, framealpha=0.9)


def _time_columns(t, z):
    """Cell edges of spectrogram columns at ascending times `t`, and the values with a masked
    column put into every gap much longer than the usual cadence (so that a cell never
    stretches over a data gap)."""
    steps = np.diff(t)
    positive = steps[steps > 0]
    cadence = float(np.median(positive)) if positive.size else 1.0 / 86400
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


def _frequency_axis(data, rows, width):
    """Frequencies (Hz, masked where fill) of the first `width` bins of each of `rows`, when
    the records hold them (a `frequency` variable with as many bins), else None."""
    if "frequency" not in data or data.shape("frequency")[-1:] != (width,):
        return None
    freq = masked(data.take(["frequency"], rows)["frequency"]).astype(np.float64)
    freq = np.ma.masked_less_equal(freq, 0)
    return freq if freq.count() else None


# --------------------------------------------------------------------------------------------
# TNR survey: spectrogram of the auto spectra, one row of cells per band


BANDS = "ABCD"


def plot_tnr_survey(data, path, product=None):
    data = records(data, product)
    head = data.take((EPOCH, "tnr_band", "channel_status"))
    tt = valid_epoch(head[EPOCH])
    band = masked(head["tnr_band"])
    rows = {}
    for b in range(len(BANDS)):
        r = np.flatnonzero(np.ma.filled(band == b, False) & ~np.ma.getmaskarray(tt))
        r = r[np.argsort(tt.data[r], kind="stable")]
        if r.size > MAX_COLUMNS:
            r = r[:: -(-r.size // MAX_COLUMNS)]
        if r.size:
            rows[b] = r
    chosen = np.unique(np.concatenate(list(rows.values()))) if rows else np.zeros(0, np.int64)
    part = data.take(("frequency", "auto1", "auto2"), chosen)
    where = {row: k for k, row in enumerate(chosen)}
    fig = _figure((10, 7.5), f"{data.product}: auto spectra of bands A-D ({data.count_text})")
    axes = fig.subplots(2, 1, sharex=True)
    for ax, channel in zip(axes, (1, 2)):
        values = np.ma.masked_less_equal(masked(part[f"auto{channel}"]).astype(np.float64), 0)
        off = _off(head["channel_status"][:, channel - 1])
        on = {b: r[~off[r]] for b, r in rows.items()}
        shown = [where[row] for r in on.values() for row in r]
        norm = _log_norm(values[shown]) if shown else None
        if rows and not any(r.size for r in on.values()):
            _no_data(ax, f"channel {channel} off", blank=True)
            continue
        mesh, spans = None, []
        for b, r in on.items():
            k = [where[row] for row in r]
            if not k:
                continue
            freq = masked(part["frequency"][k[0]]).astype(np.float64)
            good = ~np.ma.getmaskarray(freq) & (freq.filled(0) > 0)
            if not good.any():
                continue
            order = np.argsort(freq.filled(0)[good])
            f = freq.filled(0)[good][order]
            z = values[k][:, good][:, order]
            x, z = _time_columns(_days(utc(tt.data[r])), z)
            edges = _edges(f, log=True)
            spans.append((b, edges[0], edges[-1]))
            if norm is not None:
                mesh = ax.pcolormesh(x, edges, z.T, norm=norm, shading="flat",
                                     cmap=_cmap("viridis", bad=(0, 0, 0, 0)))   # gaps stay blank
        if mesh is None:
            _no_data(ax, blank=not spans)
        else:
            fig.colorbar(mesh, ax=ax, label=f"auto spectrum, channel {channel} (raw counts)")
        _band_edges(ax, spans)
        ax.set_yscale("log")
        ax.set_ylabel("frequency (Hz)")
        ax.set_title(f"channel {channel}", fontsize=10)
        _date_axis(ax)
    axes[-1].set_xlabel("time (UTC)")
    return [_save(fig, path)]


def _band_edges(ax, spans):
    """Marks the lower and upper edge of each band drawn, and names the band."""
    from matplotlib.transforms import blended_transform_factory

    across = blended_transform_factory(ax.transAxes, ax.transData)
    for b, lo, hi in spans:
        for edge in (lo, hi):
            ax.axhline(edge, color="0.25", lw=0.7, ls="--")
        ax.text(1.005, float(np.sqrt(lo * hi)), BANDS[b], transform=across, va="center",
                ha="left", fontsize=8, clip_on=False)


# --------------------------------------------------------------------------------------------
# Calibration levels


def _first_packet(epoch):
    """The records of the first packet in time (they share its epoch)."""
    tt = valid_epoch(epoch)
    if not tt.count():
        return np.zeros(0, dtype=np.intp)
    return np.flatnonzero(~np.ma.getmaskarray(tt) & (tt.data == tt.compressed().min()))


def _level_colours(n=9):
    from matplotlib import colormaps

    cmap = colormaps["plasma"]
    return [cmap(k / max(1, n - 1) * 0.9) for k in range(n)]


def plot_hfr_calibration(data, path, product=None):
    data = records(data, product)
    names = (EPOCH, "frequency", "calibration_level", "hfr_band", "channel_status", "agc1", "agc2")
    rows = _first_packet(data[EPOCH])
    d = data.take(names, rows)
    units = _describe(data.product, "frequency", "UNITS") or "as recorded"
    fig = _figure((10, 7.5), f"{data.product}: calibration levels of the first packet, "
                             f"{_utc_text(d[EPOCH][:1])} ({data.count_text} in file)")
    axes = fig.subplots(2, 1, sharex=True)
    colours = _level_colours()
    level, band = masked(d["calibration_level"]), masked(d["hfr_band"])
    for ax, channel in zip(axes, (1, 2)):
        on = ~_off(d["channel_status"][:, channel - 1])
        labelled = set()
        for lv in range(9):
            for b, marker in ((0, "o"), (1, "s")):
                r = np.flatnonzero(np.ma.filled((level == lv) & (band == b), False) & on)
                freq = masked(d["frequency"][r])
                value = masked(d[f"agc{channel}"][r])
                keep = ~(np.ma.getmaskarray(freq) | np.ma.getmaskarray(value))
                if not keep.any():
                    continue
                order = np.argsort(freq.data[keep], kind="stable")
                ax.plot(freq.data[keep][order], value.data[keep][order], marker=marker, ms=3, lw=1,
                        color=colours[lv], label=None if lv in labelled else f"level {lv}")
                labelled.add(lv)
        if labelled:
            ax.legend(fontsize=7, ncol=3, title="markers: o HF1, s HF2", title_fontsize=7)
        elif len(rows) and not on.any():
            _no_data(ax, f"channel {channel} off", blank=True)
        else:
            _no_data(ax)
        ax.set_ylabel(f"channel {channel} AGC level (raw counts)")
        ax.set_title(f"channel {channel}", fontsize=10)
    axes[-1].set_xlabel(f"frequency ({units})")
    return [_save(fig, path)]


def plot_tnr_calibration(data, path, product=None):
    data = records(data, product)
    head = data.take((EPOCH, "tnr_band"))
    band = masked(head["tnr_band"])
    rows, first = [], {}
    for b in range(len(BANDS)):        # each band from the first packet that holds it
        in_band = np.flatnonzero(np.ma.filled(band == b, False))
        r = in_band[_first_packet(head[EPOCH][in_band])]
        if r.size:
            first[b] = _utc_text(head[EPOCH][r[0]])
            rows.extend(r)
    rows = np.asarray(rows, dtype=np.int64)
    d = data.take((EPOCH, "calibration_level", "tnr_band", "channel_status", "auto1", "auto2"), rows)
    width = data.shape("auto1")[-1]
    freq = _frequency_axis(data, rows, width)
    fig = _figure((15, 7.5), f"{data.product}: calibration levels of the first packet of each band "
                             f"({data.count_text} in file)")
    axes = np.asarray(fig.subplots(2, len(BANDS), squeeze=False))
    colours = _level_colours()
    level, band = masked(d["calibration_level"]), masked(d["tnr_band"])
    for ch in range(2):
        off = _off(d["channel_status"][:, ch])
        for b, ax in enumerate(axes[ch]):
            in_band = np.flatnonzero(np.ma.filled(band == b, False))
            plotted, in_hz = False, False
            for lv in range(9):
                r = in_band[np.ma.filled(level[in_band] == lv, False) & ~off[in_band]]
                if not r.size:
                    continue
                value = masked(d[f"auto{ch + 1}"][r[0]])
                x = np.arange(value.size, dtype=np.float64)
                keep = ~np.ma.getmaskarray(value)
                if freq is not None and (~np.ma.getmaskarray(freq[r[0]]) & keep).any():
                    x, in_hz = freq[r[0]].filled(np.nan), True
                    keep &= ~np.ma.getmaskarray(freq[r[0]])
                if not keep.any():
                    continue
                ax.plot(x[keep], value.data[keep], marker="o", ms=3, lw=1, color=colours[lv],
                        label=f"level {lv}")
                plotted = True
            if plotted:
                if ch == 0 and b == 0:
                    ax.legend(fontsize=6, ncol=3)
                if in_hz:
                    ax.set_xscale("log")
                ax.set_xlabel("frequency (Hz)" if in_hz else "frequency bin")
                ax.set_ylabel(f"channel {ch + 1} auto (raw counts)")
            elif not in_band.size:
                _no_data(ax, "band off", blank=True)
            elif off[in_band].all():
                _no_data(ax, f"channel {ch + 1} off", blank=True)
            else:
                _no_data(ax, blank=True)
            ax.set_title(f"band {BANDS[b]}, channel {ch + 1}" + (f"\n{first[b]}" if b in first else ""),
                         fontsize=9)
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# Snapshot waveforms


def plot_snapshots(data, path, product=None):
    data = records(data, product)
    names = (EPOCH, "samps_per_ch", "sampling_rate", "snapshot_seq_nr", "channel_status_info")
    head = data.take(names, slice(0, HEAD))
    samples, rate = masked(head["samps_per_ch"]), masked(head["sampling_rate"])
    capacity = data.shape("waveform_data")[-1]
    channels = data.shape("waveform_data")[0]
    chosen = [i for i in range(len(samples))
              if not np.ma.is_masked(samples[i]) and not np.ma.is_masked(rate[i])
              and 0 < int(samples[i]) <= capacity and float(rate[i]) > 0][:SNAPSHOTS_SHOWN]
    if not chosen:
        return []
    waves = data.take(["waveform_data"], chosen)["waveform_data"]
    fig = _figure((4.5 * len(chosen) + 1.2, 2.1 * channels + 1.4),
                  f"{data.product}: {len(chosen)} of {len(data)} snapshots", left=1.15)
    axes = np.asarray(fig.subplots(channels, len(chosen), squeeze=False))
    for col, i in enumerate(chosen):
        n = int(samples[i])
        wave = masked(waves[col][:, :n])
        t = np.arange(n) / float(rate[i]) * 1e3
        off = _off(head["channel_status_info"][i])
        for ch in range(channels):
            ax = axes[ch, col]
            if off[ch]:
                _no_data(ax, "channel off", blank=True)
            elif wave[ch].count():
                ax.plot(t, wave[ch], lw=0.6)
            else:
                _no_data(ax, "no valid samples", blank=True)
            if col == 0:
                ax.set_ylabel(f"channel {ch + 1}\n(ADC counts)")
            if ch == channels - 1:
                ax.set_xlabel("time since first sample (ms)")
        axes[0, col].set_title(f"snapshot {int(head['snapshot_seq_nr'][i])}, {_utc_text(head[EPOCH][i])}\n"
                               f"{n} samples at {float(rate[i]) / 1e3:.1f} kHz", fontsize=9)
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# 2-D histograms


def _axis_label(product, axis, code):
    """What histogram axis `axis` holds: the quantity when the metadata table names it for
    the code, the code always."""
    quantity = ""
    if not np.ma.is_masked(code):
        from .metadata import TABLES

        entry = TABLES.get(product, {}).get("variables", {}).get(f"hist2d_axis{axis}", {})
        quantity = str(entry.get("CODES", {}).get(int(code), ""))
    code_text = "fill" if np.ma.is_masked(code) else str(int(code))
    what = f"{quantity}, quantity code {code_text}" if quantity else f"quantity code {code_text}"
    return f"bin along axis {axis} ({what})"


def plot_histograms(data, path, product=None):
    from matplotlib.colors import SymLogNorm

    data = records(data, product)
    names = (EPOCH, "hist2d_bins1", "hist2d_bins2", "hist2d_id", "hist2d_axis1", "hist2d_axis2",
             "hist2d_params", "hist2d_col_time", "hist2d_tot_pts", "sampling_rate")
    head = {n: masked(v) for n, v in data.take(names, slice(0, HEAD)).items()}
    shape = data.shape("hist2d_counts")
    nx_all, ny_all = head["hist2d_bins1"], head["hist2d_bins2"]
    chosen = [i for i in range(len(nx_all))
              if not np.ma.is_masked(nx_all[i]) and not np.ma.is_masked(ny_all[i])
              and 0 < int(nx_all[i]) <= shape[0] and 0 < int(ny_all[i]) <= shape[1]][:HISTOGRAMS_SHOWN]
    if not chosen:
        return []
    counts_all = data.take(["hist2d_counts"], chosen)["hist2d_counts"]
    fig = _figure((5.2 * len(chosen) + 1, 5.4), f"{data.product}: {len(chosen)} of {len(data)} histograms")
    axes = np.asarray(fig.subplots(1, len(chosen), squeeze=False)).ravel()
    for k, (ax, i) in enumerate(zip(axes, chosen)):
        nx, ny = int(nx_all[i]), int(ny_all[i])
        counts = masked(counts_all[k][:nx, :ny])
        if counts.count():
            image = ax.imshow(counts.T, origin="lower", aspect="auto", interpolation="nearest",
                              norm=SymLogNorm(linthresh=1, vmin=0, vmax=max(1, float(counts.max()))),
                              extent=(-0.5, nx - 0.5, -0.5, ny - 0.5), cmap=_cmap("magma"))
            fig.colorbar(image, ax=ax, label="counts")
            if np.ma.count_masked(counts):
                _fill_legend(ax)
        else:
            _no_data(ax, "no counts received (all fill)", blank=True)
        ax.set_xlabel(_axis_label(data.product, 1, head["hist2d_axis1"][i]), fontsize=8)
        ax.set_ylabel(_axis_label(data.product, 2, head["hist2d_axis2"][i]), fontsize=8)
        extra = [f"{nx} x {ny} bins"]
        for name, text in (("hist2d_params", "parameter code {}"), ("hist2d_tot_pts", "{} points"),
                           ("hist2d_col_time", "collection time {}")):
            if not np.ma.is_masked(head[name][i]):
                extra.append(text.format(int(head[name][i])))
        if not np.ma.is_masked(head["sampling_rate"][i]):
            extra.append(f"{float(head['sampling_rate'][i]) / 1e3:.1f} kHz")
        ax.set_title(f"histogram id {_code(head['hist2d_id'][i])}, {_utc_text(data.take([EPOCH], [i])[EPOCH])}\n"
                     + ", ".join(extra), fontsize=8)
    return [_save(fig, path)]


def _code(value):
    return "fill" if np.ma.is_masked(value) else str(int(value))


# --------------------------------------------------------------------------------------------
# LFM


def plot_psd(data, path, product=None):
    data = records(data, product)
    names = (EPOCH, "psd_freq_nr", "psd_freq_axis", "channel_status_info", "psd_data")
    rows = np.arange(min(len(data), SPECTRA_SHOWN))
    d = data.take(names, rows)
    channels, width = data.shape("psd_data")
    freq = _frequency_axis(data, rows, width)
    nf_all = masked(d["psd_freq_nr"])
    fig = _figure((13, 7.5), f"{data.product}: power spectral densities of the first {len(rows)} "
                             f"of {len(data)} records")
    axes = np.asarray(fig.subplots(2, -(-channels // 2), sharex=True)).ravel()
    in_hz = False
    for ch, ax in enumerate(axes[:channels]):
        plotted, off = False, _off(d["channel_status_info"][:, ch])
        for i in range(len(rows)):
            nf = nf_all[i]
            if off[i] or np.ma.is_masked(nf) or not 0 < int(nf) <= width:
                continue
            spectrum = np.ma.masked_less_equal(masked(d["psd_data"][i, ch, :int(nf)]).astype(np.float64), 0)
            x = np.arange(int(nf), dtype=np.float64)
            if freq is not None and freq[i, :int(nf)].count():
                x, in_hz = freq[i, :int(nf)].filled(np.nan), True
            if not spectrum.count():
                continue
            ax.plot(x, spectrum, lw=0.8, color=f"C{i % 10}", label=_utc_text(d[EPOCH][i]))
            plotted = True
        if plotted:
            ax.set_yscale("log")
            if in_hz:
                ax.set_xscale("log")
            ax.legend(fontsize=6)
        elif off.all():
            _no_data(ax, "channel off", blank=True)
        else:
            _no_data(ax, "no spectrum", blank=True)
        ax.set_title(f"channel {ch + 1}", fontsize=9)
        ax.set_ylabel("spectral density (raw counts)")
    for ax in axes[channels:]:
        ax.set_visible(False)
    codes = sorted({_code(c) for c in masked(d["psd_freq_axis"])})
    for ax in axes[-(-channels // 2):channels]:
        ax.set_xlabel("frequency (Hz)" if in_hz else
                      f"frequency bin (frequency axis code {', '.join(codes)})")
    return [_save(fig, path)]


def _terms(kind, available):
    """Cross terms per frequency of a spectral-matrix type (0: the record holds none)."""
    return min({1: 3, 2: 10}.get(kind, 0), available)


def plot_spectral_matrices(data, path, product=None):
    data = records(data, product)
    head = {n: masked(v) for n, v in data.take((EPOCH, "sm_type", "sm_freq_nr", "sm_freq_axis"),
                                                 slice(0, HEAD)).items()}
    terms_max, width = data.shape("cross_re")
    nf_all = head["sm_freq_nr"]
    chosen = [i for i in range(len(nf_all))
              if not np.ma.is_masked(nf_all[i]) and 0 < int(nf_all[i]) <= width][:MATRICES_SHOWN]
    if not chosen:
        return []
    part = data.take(("cross_re", "cross_im"), chosen)
    fig = _figure((12, 2.9 * len(chosen) + 1.6),
                  f"{data.product}: spectral-matrix amplitudes |re + i im|, {len(chosen)} of {len(data)} records")
    axes = np.asarray(fig.subplots(len(chosen), 1, squeeze=False)).ravel()
    for k, (ax, i) in enumerate(zip(axes, chosen)):
        nf = int(nf_all[i])
        kind = None if np.ma.is_masked(head["sm_type"][i]) else int(head["sm_type"][i])
        terms = _terms(kind, terms_max)
        title = (f"record {i}, {_utc_text(data.take([EPOCH], [i])[EPOCH])}: matrix type {_code(head['sm_type'][i])}, "
                 f"{nf} frequencies, frequency axis code {_code(head['sm_freq_axis'][i])}")
        ax.set_title(title, fontsize=9)
        if not terms:
            _no_data(ax, f"type {_code(head['sm_type'][i])} holds no cross terms: all fill", blank=True)
            continue
        # The decoder writes every cell of the first `terms` terms and `nf` frequencies (a
        # value there equal to the fill value is a decoded -128); the other terms keep the fill.
        re = part["cross_re"][k, :, :nf].astype(np.float64)
        im = part["cross_im"][k, :, :nf].astype(np.float64)
        amplitude = np.ma.masked_array(np.sqrt(re ** 2 + im ** 2), mask=np.zeros(re.shape, bool))
        amplitude[terms:] = np.ma.masked
        image = ax.imshow(amplitude, origin="lower", aspect="auto", interpolation="nearest",
                          extent=(-0.5, nf - 0.5, -0.5, terms_max - 0.5), cmap=_cmap("viridis"))
        fig.colorbar(image, ax=ax, label="|cross term| (raw)")
        if terms < terms_max:
            _fill_legend(ax, f"fill value: type {kind} has {terms} terms")
        ax.set_yticks(range(terms_max))
        ax.set_yticklabels([f"term {c}" for c in range(terms_max)], fontsize=7)
        ax.set_ylabel(f"cross term\n({terms} per frequency)")
        ax.set_xlabel("frequency bin")
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


# --------------------------------------------------------------------------------------------
# Files


HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"
CDF_MAGICS = (b"\xcd\xf3\x00\x01", b"\xcd\xf2\x60\x02", b"\x00\x00\xff\xff")


def read_cdf_file(path):
    """(product, {variable name: values}) of one CDF file."""
    from .cdf import read_cdf

    return read_cdf(path)


def read_netcdf_file(path):
    """(product, {variable name: values}) of one netCDF file."""
    from .netcdf import read_netcdf

    return read_netcdf(path)


def file_kind(path):
    """"hdf5" (an L1 file of compound datasets), "netcdf", "cdf", or None."""
    try:
        with open(path, "rb") as f:
            magic = f.read(8)
    except OSError:
        return None
    if magic[:4] in CDF_MAGICS:
        return "cdf"
    if magic != HDF5_MAGIC:
        return None
    if path.endswith(".nc"):
        return "netcdf"
    import h5py

    try:
        with h5py.File(path, "r") as f:
            netcdf = "_NCProperties" in f.attrs or ("product" in f.attrs and EPOCH in f)
    except OSError:
        return None
    return "netcdf" if netcdf else "hdf5"


def _sources(path, kind, notes):
    """(product, Records, PNG stem) of every product of one file, and the file to close."""
    if kind == "hdf5":
        import h5py

        try:
            f = h5py.File(path, "r")
        except OSError as exc:
            raise InputError(f"{path}: cannot be read as an HDF5 file ({str(exc).splitlines()[0]})") from None
        out = []
        for name, node in f.items():
            if not isinstance(node, h5py.Dataset) or node.dtype.names is None or name not in PLOTS:
                notes.append(f"{name}: not a product record dataset, not plotted")
                continue
            out.append((name, HDF5Records(node, name), name))
        return out, f
    reader = read_cdf_file if kind == "cdf" else read_netcdf_file
    product, columns = reader(path)
    stem = os.path.splitext(os.path.basename(path))[0]
    if product not in PLOTS:
        notes.append(f"{os.path.basename(path)}: product {product or '(none)'} has no quick-look plot")
        return [], None
    return [(product, Records(_as_layout(product, columns), product), stem)], None


def _inputs(path):
    if os.path.isdir(path):
        files = sorted(os.path.join(path, n) for n in os.listdir(path))
        kinds = [(p, file_kind(p) if os.path.isfile(p) else None) for p in files]
        return [(p, kind) for p, kind in kinds if kind]
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file or folder")
    kind = file_kind(path)
    if kind is None:
        raise InputError(f"{path}: cannot be read as an L1 file (HDF5, CDF or netCDF)")
    return [(path, kind)]


def quicklook_file(path, out_dir):
    """Plots every product of an L1 file (HDF5, CDF or netCDF) or of every such file of a folder
    into `out_dir`: <product>.png for the products of an HDF5 file, <file name>.png for a CDF or
    netCDF file. Returns (PNG paths, notes, failures)."""
    import matplotlib

    matplotlib.use("Agg")
    path, out_dir = os.fspath(path), os.fspath(out_dir)
    inputs = _inputs(path)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as exc:
        raise OutputError(f"{out_dir}: cannot create the plot directory ({exc})") from None
    written, notes, failures = [], [], []
    if not inputs:
        notes.append(f"{path}: no L1 file (HDF5, CDF or netCDF) in the folder")
    for file, kind in inputs:
        try:
            sources, handle = _sources(file, kind, notes)
        except Exception as exc:
            if len(inputs) == 1:
                raise
            failures.append(f"{os.path.basename(file)}: {exc}")
            continue
        try:
            for product, data, stem in sources:
                written.extend(_plot_one(product, data, os.path.join(out_dir, f"{stem}.png"),
                                         notes, failures))
        finally:
            if handle is not None:
                handle.close()
    if not written and not failures:
        notes.append(f"nothing plotted from {path}")
    return written, notes, failures


def _plot_one(product, data, png, notes, failures):
    if not len(data):
        notes.append(f"{product}: no records, nothing to plot")
        return []
    try:
        made = PLOTS[product](data, png)
    except Exception as exc:
        failures.append(f"{product}: {type(exc).__name__}: {exc}")
        return []
    if not made:
        notes.append(f"{product}: no valid record to plot")
    return made
