"""Figure pieces shared by the quick-look plots: axes, colour maps, edges, legends."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from matplotlib import colormaps
from matplotlib.colors import Colormap, LogNorm
from matplotlib.figure import Figure
from matplotlib.patches import Patch
from numpy.typing import ArrayLike

from .records import Records, masked

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.typing import ColorType

FILL_COLOUR = "#c8c8c8"


# --------------------------------------------------------------------------------------------
# Figures


def _figure(figsize: tuple[float, float], title: str | None = None, left: float = 0.9) -> Figure:
    # Fixed margins: an automatic layout engine costs more than the drawing itself. The figure
    # title sits in a band of its own above the panels and their titles.
    fig = Figure(figsize=figsize)
    width, height = fig.get_size_inches()
    top = 0.95 if title else 0.55
    fig.subplots_adjust(
        left=left / width, right=1 - 0.3 / width, bottom=0.65 / height, top=1 - top / height, hspace=0.55, wspace=0.35
    )
    if title:
        fig.suptitle(title, y=1 - 0.12 / height, va="top")
    return fig


def _save(fig: Figure, path: str) -> str:
    fig.savefig(path, dpi=90)
    return path


def _edges(centres: ArrayLike, log: bool = False) -> np.ndarray:
    """Cell edges around ascending cell centres."""
    c = np.log(centres) if log else np.asarray(centres, dtype=np.float64)
    if c.size == 1:
        e = np.array([c[0] - 0.5, c[0] + 0.5]) if not log else np.array([c[0] - 0.01, c[0] + 0.01])
    else:
        mid = (c[1:] + c[:-1]) / 2
        e = np.concatenate([[c[0] - (mid[0] - c[0])], mid, [c[-1] + (c[-1] - mid[-1])]])
    return np.exp(e) if log else e


def _no_data(ax: Axes, text: str = "no valid data", blank: bool = False) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, color="0.3")
    if blank:  # nothing is drawn: axes without scales say nothing wrong
        ax.tick_params(left=False, labelleft=False)
        if len(ax.get_shared_x_axes().get_siblings(ax)) == 1:  # a shared axis keeps its scale
            ax.tick_params(bottom=False, labelbottom=False)


def _log_norm(values: ArrayLike) -> LogNorm | None:
    positive = np.ma.masked_less_equal(np.ma.asarray(values, dtype=np.float64), 0).compressed()
    if not positive.size:
        return None
    lo, hi = float(positive.min()), float(positive.max())
    return LogNorm(vmin=lo, vmax=hi if hi > lo else lo * 10)


def _cmap(name: str, bad: ColorType = FILL_COLOUR) -> Colormap:
    return colormaps[name].with_extremes(bad=bad)


def _fill_legend(ax: Axes, text: str = "fill value (not written)") -> None:
    ax.legend(
        handles=[Patch(facecolor=FILL_COLOUR, edgecolor="0.5", label=text)],
        loc="upper right",
        fontsize=7,
        framealpha=0.9,
    )


def _time_columns(t: np.ndarray, z: np.ndarray) -> tuple[np.ndarray, np.ma.MaskedArray]:
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
        if t[i] > edges[-1]:  # a gap before this column
            edges.append(t[i])
            columns.append(np.ma.masked_all(z.shape[1:]))
        edges.append(max(t[i] + widths[i], edges[-1] + cadence * 1e-3))
        columns.append(z[i])
    return np.asarray(edges), np.ma.stack(columns)


def _frequency_axis(data: Records, rows: Any, width: int) -> np.ma.MaskedArray | None:
    """Frequencies (Hz, masked where fill) of the first `width` bins of each of `rows`, when
    the records hold them (a `frequency` variable with as many bins), else None."""
    if "frequency" not in data or data.shape("frequency")[-1:] != (width,):
        return None
    freq = masked(data.take(["frequency"], rows)["frequency"]).astype(np.float64)
    freq = np.ma.masked_less_equal(freq, 0)
    return freq if freq.count() else None
