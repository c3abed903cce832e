"""One quick-look plot per product: `PLOTS`, {product: plot(data, path)}."""

from __future__ import annotations

import datetime
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
from matplotlib import colormaps
from matplotlib.colors import SymLogNorm
from matplotlib.ticker import FixedLocator, FuncFormatter
from matplotlib.transforms import blended_transform_factory
from numpy.typing import ArrayLike

from kesta.dravel.products import declared

from ..metadata import TABLES
from ..times import utc, utc_text, valid_epoch
from .figures import _cmap, _edges, _figure, _fill_legend, _frequency_axis, _log_norm, _no_data, _save, _time_columns
from .records import EPOCH, _date_axis, _days, _describe, _off, heading, masked, records

if TYPE_CHECKING:
    from matplotlib.axes import Axes

MAX_COLUMNS = 2000  # spectrogram columns per band
SNAPSHOTS_SHOWN = 3
HISTOGRAMS_SHOWN = 4
SPECTRA_SHOWN = 5
MATRICES_SHOWN = 4
HEAD = 200  # records looked at when choosing the few a plot shows


# --------------------------------------------------------------------------------------------
# TNR survey: spectrogram of the auto spectra, one row of cells per band


BANDS = "ABCD"


def plot_tnr_survey(data: Any, path: str, product: str | None = None) -> list[str]:
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
    fig = _figure((10, 7.5), heading(data, f"auto spectra of bands A-D ({data.count_text})"))
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
                mesh = ax.pcolormesh(
                    x, edges, z.T, norm=norm, shading="flat", cmap=_cmap("viridis", bad=(0, 0, 0, 0))
                )  # gaps stay blank
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
    _day_span(axes[-1], data.day)
    return [_save(fig, path)]


def _day_span(ax: Axes, day: str | None) -> None:
    """The time axis of a day's plot runs over that UTC day, whatever the cells' widths."""
    if day is None:
        return
    first = datetime.datetime.strptime(day, "%Y%m%d")
    start = float(_days(np.array([first], dtype="datetime64[ns]"))[0])
    ax.set_xlim(start, start + 1)
    ax.xaxis.set_major_locator(FixedLocator((start + np.arange(0, 25, 3) / 24).tolist()))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{round((x - start) * 24):02d}:00"))
    ax.set_xlabel(f"time (UTC) on {first:%Y-%m-%d}")


def _band_edges(ax: Axes, spans: Iterable[tuple[int, float, float]]) -> None:
    """Marks the lower and upper edge of each band drawn, and names the band."""
    across = blended_transform_factory(ax.transAxes, ax.transData)
    for b, lo, hi in spans:
        for edge in (lo, hi):
            ax.axhline(edge, color="0.25", lw=0.7, ls="--")
        ax.text(
            1.005,
            float(np.sqrt(lo * hi)),
            BANDS[b],
            transform=across,
            va="center",
            ha="left",
            fontsize=8,
            clip_on=False,
        )


# --------------------------------------------------------------------------------------------
# Calibration levels


def _first_packet(epoch: ArrayLike) -> np.ndarray:
    """The records of the first packet in time (they share its epoch)."""
    tt = valid_epoch(epoch)
    if not tt.count():
        return np.zeros(0, dtype=np.intp)
    return np.flatnonzero(~np.ma.getmaskarray(tt) & (tt.data == tt.compressed().min()))


def _level_colours(n: int = 9) -> list[tuple[float, float, float, float]]:
    cmap = colormaps["plasma"]
    return [cmap(k / max(1, n - 1) * 0.9) for k in range(n)]


def plot_hfr_calibration(data: Any, path: str, product: str | None = None) -> list[str]:
    data = records(data, product)
    names = (EPOCH, "frequency", "calibration_level", "hfr_band", "channel_status", "agc1", "agc2")
    rows = _first_packet(data[EPOCH])
    d = data.take(names, rows)
    units = _describe(data.product, "frequency", "UNITS") or "as recorded"
    fig = _figure(
        (10, 7.5),
        heading(data, f"calibration levels of the first packet, {utc_text(d[EPOCH][:1])} ({data.count_text} in file)"),
    )
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
                ax.plot(
                    freq.data[keep][order],
                    value.data[keep][order],
                    marker=marker,
                    ms=3,
                    lw=1,
                    color=colours[lv],
                    label=None if lv in labelled else f"level {lv}",
                )
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


def plot_tnr_calibration(data: Any, path: str, product: str | None = None) -> list[str]:
    data = records(data, product)
    head = data.take((EPOCH, "tnr_band"))
    band = masked(head["tnr_band"])
    rows: Any = []
    first: dict[int, str] = {}
    for b in range(len(BANDS)):  # each band from the first packet that holds it
        in_band = np.flatnonzero(np.ma.filled(band == b, False))
        r = in_band[_first_packet(head[EPOCH][in_band])]
        if r.size:
            first[b] = utc_text(head[EPOCH][r[0]])
            rows.extend(r)
    rows = np.asarray(rows, dtype=np.int64)
    d = data.take((EPOCH, "calibration_level", "tnr_band", "channel_status", "auto1", "auto2"), rows)
    width = data.shape("auto1")[-1]
    freq = _frequency_axis(data, rows, width)
    fig = _figure(
        (15, 7.5), heading(data, f"calibration levels of the first packet of each band ({data.count_text} in file)")
    )
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
                ax.plot(x[keep], value.data[keep], marker="o", ms=3, lw=1, color=colours[lv], label=f"level {lv}")
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
            ax.set_title(f"band {BANDS[b]}, channel {ch + 1}" + (f"\n{first[b]}" if b in first else ""), fontsize=9)
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# Snapshot waveforms


def plot_snapshots(data: Any, path: str, product: str | None = None) -> list[str]:
    data = records(data, product)
    names = (EPOCH, "samps_per_ch", "sampling_rate", "snapshot_seq_nr", "channel_status_info")
    head = data.take(names, slice(0, HEAD))
    samples, rate = masked(head["samps_per_ch"]), masked(head["sampling_rate"])
    capacity = data.shape("waveform_data")[-1]
    channels = data.shape("waveform_data")[0]
    chosen = [
        i
        for i in range(len(samples))
        if not np.ma.is_masked(samples[i])
        and not np.ma.is_masked(rate[i])
        and 0 < int(samples[i]) <= capacity
        and float(rate[i]) > 0
    ][:SNAPSHOTS_SHOWN]
    if not chosen:
        return []
    waves = data.take(["waveform_data"], chosen)["waveform_data"]
    fig = _figure(
        (4.5 * len(chosen) + 1.2, 2.1 * channels + 1.4),
        heading(data, f"{len(chosen)} of {len(data)} snapshots"),
        left=1.15,
    )
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
        axes[0, col].set_title(
            f"snapshot {int(head['snapshot_seq_nr'][i])}, {utc_text(head[EPOCH][i])}\n"
            f"{n} samples at {float(rate[i]) / 1e3:.1f} kHz",
            fontsize=9,
        )
    return [_save(fig, path)]


# --------------------------------------------------------------------------------------------
# 2-D histograms


def _axis_label(product: str, axis: int, code: Any) -> str:
    """What histogram axis `axis` holds: the quantity when the metadata table names it for
    the code, the code always."""
    quantity = ""
    if not np.ma.is_masked(code):
        entry = TABLES.get(product, {}).get("variables", {}).get(f"hist2d_axis{axis}", {})
        quantity = str(entry.get("CODES", {}).get(int(code), ""))
    code_text = "fill" if np.ma.is_masked(code) else str(int(code))
    what = f"{quantity}, quantity code {code_text}" if quantity else f"quantity code {code_text}"
    return f"bin along axis {axis} ({what})"


def plot_histograms(data: Any, path: str, product: str | None = None) -> list[str]:
    data = records(data, product)
    names = (
        EPOCH,
        "hist2d_bins1",
        "hist2d_bins2",
        "hist2d_id",
        "hist2d_axis1",
        "hist2d_axis2",
        "hist2d_params",
        "hist2d_col_time",
        "hist2d_tot_pts",
        "sampling_rate",
    )
    head = {n: masked(v) for n, v in data.take(names, slice(0, HEAD)).items()}
    shape = data.shape("hist2d_counts")
    nx_all, ny_all = head["hist2d_bins1"], head["hist2d_bins2"]
    chosen = [
        i
        for i in range(len(nx_all))
        if not np.ma.is_masked(nx_all[i])
        and not np.ma.is_masked(ny_all[i])
        and 0 < int(nx_all[i]) <= shape[0]
        and 0 < int(ny_all[i]) <= shape[1]
    ][:HISTOGRAMS_SHOWN]
    if not chosen:
        return []
    counts_all = data.take(["hist2d_counts"], chosen)["hist2d_counts"]
    fig = _figure((5.2 * len(chosen) + 1, 5.4), heading(data, f"{len(chosen)} of {len(data)} histograms"))
    axes = np.asarray(fig.subplots(1, len(chosen), squeeze=False)).ravel()
    for k, (ax, i) in enumerate(zip(axes, chosen)):
        nx, ny = int(nx_all[i]), int(ny_all[i])
        counts = masked(counts_all[k][:nx, :ny])
        if counts.count():
            image = ax.imshow(
                counts.T,
                origin="lower",
                aspect="auto",
                interpolation="nearest",
                norm=SymLogNorm(linthresh=1, vmin=0, vmax=max(1, float(counts.max()))),
                extent=(-0.5, nx - 0.5, -0.5, ny - 0.5),
                cmap=_cmap("magma"),
            )
            fig.colorbar(image, ax=ax, label="counts")
            if np.ma.count_masked(counts):
                _fill_legend(ax)
        else:
            _no_data(ax, "no counts received (all fill)", blank=True)
        ax.set_xlabel(_axis_label(data.product, 1, head["hist2d_axis1"][i]), fontsize=8)
        ax.set_ylabel(_axis_label(data.product, 2, head["hist2d_axis2"][i]), fontsize=8)
        extra = [f"{nx} x {ny} bins"]
        for name, text in (
            ("hist2d_params", "parameter code {}"),
            ("hist2d_tot_pts", "{} points"),
            ("hist2d_col_time", "collection time {}"),
        ):
            if not np.ma.is_masked(head[name][i]):
                extra.append(text.format(int(head[name][i])))
        if not np.ma.is_masked(head["sampling_rate"][i]):
            extra.append(f"{float(head['sampling_rate'][i]) / 1e3:.1f} kHz")
        ax.set_title(
            f"histogram id {_code(head['hist2d_id'][i])}, {utc_text(data.take([EPOCH], [i])[EPOCH])}\n"
            + ", ".join(extra),
            fontsize=8,
        )
    return [_save(fig, path)]


def _code(value: Any) -> str:
    return "fill" if np.ma.is_masked(value) else str(int(value))


# --------------------------------------------------------------------------------------------
# LFM


def plot_psd(data: Any, path: str, product: str | None = None) -> list[str]:
    data = records(data, product)
    names = (EPOCH, "psd_freq_nr", "psd_freq_axis", "channel_status_info", "psd_data")
    rows = np.arange(min(len(data), SPECTRA_SHOWN))
    d = data.take(names, rows)
    channels, width = data.shape("psd_data")
    freq = _frequency_axis(data, rows, width)
    nf_all = masked(d["psd_freq_nr"])
    fig = _figure((13, 7.5), heading(data, f"power spectral densities of the first {len(rows)} of {len(data)} records"))
    axes = np.asarray(fig.subplots(2, -(-channels // 2), sharex=True)).ravel()
    in_hz = False
    for ch, ax in enumerate(axes[:channels]):
        plotted, off = False, _off(d["channel_status_info"][:, ch])
        for i in range(len(rows)):
            nf = nf_all[i]
            if off[i] or np.ma.is_masked(nf) or not 0 < int(nf) <= width:
                continue
            spectrum = np.ma.masked_less_equal(masked(d["psd_data"][i, ch, : int(nf)]).astype(np.float64), 0)
            x = np.arange(int(nf), dtype=np.float64)
            if freq is not None and freq[i, : int(nf)].count():
                x, in_hz = freq[i, : int(nf)].filled(np.nan), True
            if not spectrum.count():
                continue
            ax.plot(x, spectrum, lw=0.8, color=f"C{i % 10}", label=utc_text(d[EPOCH][i]))
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
    for ax in axes[-(-channels // 2) : channels]:
        ax.set_xlabel("frequency (Hz)" if in_hz else f"frequency bin (frequency axis code {', '.join(codes)})")
    return [_save(fig, path)]


def _terms(kind: int | None, available: int) -> int:
    """Cross terms per frequency of a spectral-matrix type (None: fill; 0: the record holds none)."""
    per_type: dict[int | None, int] = {1: 3, 2: 10}
    return min(per_type.get(kind, 0), available)


def plot_spectral_matrices(data: Any, path: str, product: str | None = None) -> list[str]:
    data = records(data, product)
    head = {
        n: masked(v) for n, v in data.take((EPOCH, "sm_type", "sm_freq_nr", "sm_freq_axis"), slice(0, HEAD)).items()
    }
    terms_max, width = data.shape("cross_re")
    nf_all = head["sm_freq_nr"]
    chosen = [i for i in range(len(nf_all)) if not np.ma.is_masked(nf_all[i]) and 0 < int(nf_all[i]) <= width][
        :MATRICES_SHOWN
    ]
    if not chosen:
        return []
    part = data.take(("cross_re", "cross_im"), chosen)
    fig = _figure(
        (12, 2.9 * len(chosen) + 1.6),
        heading(data, f"spectral-matrix amplitudes |re + i im|, {len(chosen)} of {len(data)} records"),
    )
    axes = np.asarray(fig.subplots(len(chosen), 1, squeeze=False)).ravel()
    for k, (ax, i) in enumerate(zip(axes, chosen)):
        nf = int(nf_all[i])
        kind = None if np.ma.is_masked(head["sm_type"][i]) else int(head["sm_type"][i])
        terms = _terms(kind, terms_max)
        title = (
            f"record {i}, {utc_text(data.take([EPOCH], [i])[EPOCH])}: matrix type {_code(head['sm_type'][i])}, "
            f"{nf} frequencies, frequency axis code {_code(head['sm_freq_axis'][i])}"
        )
        ax.set_title(title, fontsize=9)
        if not terms:
            _no_data(ax, f"type {_code(head['sm_type'][i])} holds no cross terms: all fill", blank=True)
            continue
        # The decoder writes every cell of the first `terms` terms and `nf` frequencies (a
        # value there equal to the fill value is a decoded -128); the other terms keep the fill.
        re = part["cross_re"][k, :, :nf].astype(np.float64)
        im = part["cross_im"][k, :, :nf].astype(np.float64)
        amplitude = np.ma.masked_array(np.sqrt(re**2 + im**2), mask=np.zeros(re.shape, bool))
        amplitude[terms:] = np.ma.masked
        image = ax.imshow(
            amplitude,
            origin="lower",
            aspect="auto",
            interpolation="nearest",
            extent=(-0.5, nf - 0.5, -0.5, terms_max - 0.5),
            cmap=_cmap("viridis"),
        )
        fig.colorbar(image, ax=ax, label="|cross term| (raw)")
        if terms < terms_max:
            _fill_legend(ax, f"fill value: type {kind} has {terms} terms")
        ax.set_yticks(range(terms_max))
        ax.set_yticklabels([f"term {c}" for c in range(terms_max)], fontsize=7)
        ax.set_ylabel(f"cross term\n({terms} per frequency)")
        ax.set_xlabel("frequency bin")
    return [_save(fig, path)]


# {product: plot}, each product naming its plot in the product registry
PLOTS = declared("plot", globals())
