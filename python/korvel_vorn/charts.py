"""Charts of a frame as a trader reads them: matplotlib figures drawn from the engine's arrays.

Nothing here computes a panel: every cell, bar and point is a value of the engine (`frame_arrays`
with detail, `clusters`) or of `korvel_vorn.studies` on them, only laid out for the eye. Needs
matplotlib (``pip install 'korvel_vorn[charts]'``); the Agg canvas is used directly, so no display
and no pyplot state are involved.

Layout: the panels with a price axis (footprint, book heatmap, liquidation map) stand side by side
in one row and share that axis; the funding/OI divergence sits below them. A panel without data in
the window is left out, and a one-line note under the figure says which and why.

- footprint: one column of cells per time bucket (the spec panel's ``bucket_ms``), each cell
  coloured by its delta (buy minus sell volume) and, when the cells are large enough to read,
  labelled "sell × buy"; the point of control outlined, the value area shaded and diagonal
  imbalances marked (studies selectable);
- book heatmap: bid and ask size in two colour maps (bids blue, asks orange) on one colour scale
  that stays fixed across a replay (`HeatmapScale`: the maximum of the replay range or a
  percentile white point such as p97, with square-root, log or linear mapping; cells above the
  white point are clipped), with the last traded price and the book mid drawn over it;
- liquidation map: a scatter by time and price, marker area by quantity, longs red, shorts green;
- funding/OI divergence: close price, funding rate and open interest, three aligned series.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import io
import math
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from . import studies as _studies
from .timefmt import format_ts

BUY_COLOUR = "#1a9850"
SELL_COLOUR = "#d73027"
LONG_COLOUR = "#d73027"  # a long liquidation is a forced sell
SHORT_COLOUR = "#1a9850"  # a short liquidation is a forced buy
BID_CMAP = "Blues"
ASK_CMAP = "Oranges"
PRICE_LINE_COLOUR = "#111111"
STUDIES = ("poc", "value-area", "imbalances", "delta")
SCALES = ("sqrt", "log", "linear")
_MS_PER_DAY = 86_400_000.0
_QUOTES = ("FDUSD", "USDT", "USDC", "BUSD", "TUSD", "USD", "BTC", "ETH", "EUR")


class ChartsUnavailable(RuntimeError):
    """matplotlib is not installed."""


def _matplotlib() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg", force=False)
        import matplotlib.collections
        import matplotlib.colors
        import matplotlib.dates
        import matplotlib.figure
        import matplotlib.ticker
        from matplotlib.backends import backend_agg  # noqa: F401
    except ImportError:
        raise ChartsUnavailable("charts need matplotlib: pip install 'korvel_vorn[charts]'") from None
    return matplotlib


@dataclasses.dataclass(frozen=True)
class ChartOptions:
    """How frames are drawn. `qty_unit` names the base asset's quantity (default "qty"),
    `price_unit` the quote currency (default: the symbol's quote suffix, else "quote")."""

    qty_unit: str = "qty"
    price_unit: str | None = None
    heatmap_scale: str = "sqrt"
    white_point: str = "p97"
    studies: tuple[str, ...] = STUDIES

    def __post_init__(self) -> None:
        if self.heatmap_scale not in SCALES:
            raise ValueError(f"heatmap scale must be one of {', '.join(SCALES)}, got {self.heatmap_scale!r}")
        white_point_fraction(self.white_point)
        unknown = [s for s in self.studies if s not in STUDIES]
        if unknown:
            raise ValueError(f"unknown studies {', '.join(unknown)}; choose from {', '.join(STUDIES)}")


def white_point_fraction(white_point: str) -> float | None:
    """None for "range" (the maximum), else the percentile of "pNN" as a number (97.0)."""
    if white_point == "range":
        return None
    try:
        value = float(white_point[1:]) if white_point.startswith("p") else math.nan
    except ValueError:
        value = math.nan
    if not 0.0 < value <= 100.0:
        raise ValueError(f"white point must be 'range' or a percentile such as 'p97', got {white_point!r}")
    return value


def price_unit_of(symbol: str) -> str:
    upper = symbol.upper()
    for quote in _QUOTES:
        if upper.endswith(quote) and len(upper) > len(quote):
            return quote
        if upper.endswith(quote + "_PERP") or upper.endswith(quote + "PERP"):
            return quote
    return "quote"


# ----------------------------------------------------------------------------- the colour scale

@dataclasses.dataclass(frozen=True)
class HeatmapScale:
    """A fixed colour scale: cells map through `transform` from 0 (or `vmin` for log) to `vmax`,
    and sizes above `vmax` are clipped to the top colour. Equal scales give equal norms."""

    transform: str
    vmin: float
    vmax: float
    white_point: str = "range"

    def norm(self) -> Any:
        import matplotlib.colors as mcolors

        if self.transform == "log":
            return mcolors.LogNorm(vmin=self.vmin, vmax=self.vmax, clip=True)
        if self.transform == "sqrt":
            return mcolors.PowerNorm(gamma=0.5, vmin=0.0, vmax=self.vmax, clip=True)
        return mcolors.Normalize(vmin=0.0, vmax=self.vmax, clip=True)


class ScaleBuilder:
    """Gathers heatmap cells from the frames of a replay (a bounded, evenly spaced sample of the
    positive sizes) and fixes the scale from all of them."""

    def __init__(self, options: ChartOptions, budget: int = 1_000_000) -> None:
        self.options = options
        self.budget = budget
        self.samples: list[np.ndarray[Any, Any]] = []
        self.top = 0.0
        self.bottom = math.inf

    def add(self, frame: Mapping[str, Any]) -> None:
        for panel in frame.get("panels", []):
            if panel.get("kind") != "book_heatmap":
                continue
            cells = np.asarray(panel["intensity"], dtype=np.float64).ravel()
            cells = cells[np.isfinite(cells) & (cells > 0)]
            if cells.size == 0:
                continue
            self.top = max(self.top, float(cells.max()))
            self.bottom = min(self.bottom, float(cells.min()))
            step = max(1, cells.size // max(1, self.budget // 64))
            self.samples.append(cells[::step])

    def scale(self) -> HeatmapScale:
        fraction = white_point_fraction(self.options.white_point)
        vmax = self.top
        if fraction is not None and self.samples:
            vmax = float(np.percentile(np.concatenate(self.samples), fraction))
        if not vmax > 0:
            vmax = 1.0
        vmin = self.bottom if math.isfinite(self.bottom) and self.bottom < vmax else vmax / 1000.0
        return HeatmapScale(self.options.heatmap_scale, max(vmin, vmax * 1e-4), vmax, self.options.white_point)


def frame_scale(frames: Iterable[Mapping[str, Any]], options: ChartOptions) -> HeatmapScale:
    """The one colour scale of these frames (a replay's, or a single frame's)."""
    builder = ScaleBuilder(options)
    for frame in frames:
        builder.add(frame)
    return builder.scale()


# ----------------------------------------------------------------------------- axes helpers

def _epoch_offset() -> float:
    import matplotlib.dates as mdates

    value = getattr(_epoch_offset, "value", None)
    if value is None:
        value = float(mdates.date2num(_dt.datetime(1970, 1, 1, tzinfo=_dt.UTC)))
        _epoch_offset.value = value  # type: ignore[attr-defined]
    return float(value)


def date_x(ms: Any) -> Any:
    """Millisecond timestamps in matplotlib's date units (days since its epoch)."""
    return np.asarray(ms, dtype=np.float64) / _MS_PER_DAY + _epoch_offset()


def _time_axis(ax: Any, time_range: tuple[int, int] | None, label: bool = True) -> None:
    import matplotlib.dates as mdates

    locator = mdates.AutoDateLocator(tz=_dt.UTC, minticks=3, maxticks=6)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator, tz=_dt.UTC))
    if time_range is not None and time_range[1] > time_range[0]:
        ax.set_xlim(float(date_x(time_range[0])), float(date_x(time_range[1])))
    if label:
        ax.set_xlabel("time (UTC)")


def _price_formatter(values: Sequence[float]) -> Any:
    import matplotlib.ticker as mticker

    finite = [abs(v) for v in values if math.isfinite(v)]
    big = max(finite, default=0.0) >= 10_000
    return mticker.FuncFormatter(lambda v, _pos: f"{v:,.0f}" if big else f"{v:,.2f}".rstrip("0").rstrip("."))


def _size_text(value: float) -> str:
    if value == 0:
        return "0"
    if abs(value) >= 1000:
        return f"{value / 1000:.1f}k"
    return f"{value:.3g}"


# ----------------------------------------------------------------------------- panels

@dataclasses.dataclass
class PriceChart:
    """What a panel with a price axis drew, for the shared axis: its price range."""

    low: float
    high: float


def draw_footprint(ax: Any, clusters: Mapping[str, Any], params: Mapping[str, Any], options: ChartOptions,
                   units: tuple[str, str]) -> PriceChart:
    import matplotlib.colors as mcolors
    from matplotlib.collections import PolyCollection

    qty, quote = units
    times = np.asarray(clusters["time"], dtype=np.int64)
    prices = np.asarray(clusters["price"], dtype=np.float64)
    buy = np.asarray(clusters["buy_vol"], dtype=np.float64)
    sell = np.asarray(clusters["sell_vol"], dtype=np.float64)
    w = float(clusters["price_bin"])
    b = int(clusters["bucket_ms"])
    ax.set_title(f"Footprint · sell × buy per {w:g} {quote} × {b / 1000:g}s")
    delta = buy - sell
    volume = buy + sell
    # The colour limit is the 95th percentile of the cells' |delta|: one huge cell must not wash
    # every other cell out (larger deltas take the end colours).
    traded = np.abs(delta[volume > 0])
    limit = float(np.percentile(traded, 95)) if traded.size else 1.0
    limit = limit if limit > 0 else float(traded.max(initial=0.0)) or 1.0
    norm = mcolors.TwoSlopeNorm(vmin=-limit, vcenter=0.0, vmax=limit)
    cmap = mcolors.LinearSegmentedColormap.from_list("delta", [SELL_COLOUR, "#f7f7f7", BUY_COLOUR])
    x0 = date_x(times)
    width = b / _MS_PER_DAY
    rows, cols = np.nonzero(volume > 0)
    left = x0[rows] + width * 0.04
    right = x0[rows] + width * 0.96
    bottom = prices[cols]
    top = prices[cols] + w
    polygons = np.stack([np.stack([left, bottom], 1), np.stack([left, top], 1), np.stack([right, top], 1),
                         np.stack([right, bottom], 1)], axis=1)
    cells = PolyCollection(list(polygons), array=np.clip(delta[rows, cols], -limit, limit), cmap=cmap, norm=norm,
                           edgecolors="#ffffff", linewidths=0.3)
    ax.add_collection(cells)

    if "value-area" in options.studies and times.size:
        va = _studies.value_area(clusters)
        for k in range(times.size):
            if math.isfinite(va["bucket_low"][k]):
                ax.fill_between([x0[k], x0[k] + width], va["bucket_low"][k], va["bucket_high"][k] + w,
                                color="#ffd54f", alpha=0.18, linewidth=0, label="value area" if k == 0 else None)
    if "poc" in options.studies and times.size:
        poc = _studies.point_of_control(clusters)["bucket"]
        ok = np.isfinite(poc)
        ax.hlines(poc[ok] + w / 2, x0[ok] + width * 0.04, x0[ok] + width * 0.96, colors="#212121", linewidths=2.2,
                  label="point of control")
    if "imbalances" in options.studies and times.size:
        imb = _studies.imbalances(clusters)
        for flags, colour, side, dx in ((imb["buy"], BUY_COLOUR, "buy imbalance", 0.88),
                                        (imb["sell"], SELL_COLOUR, "sell imbalance", 0.12)):
            r, c = np.nonzero(flags)
            if r.size:
                ax.scatter(x0[r] + width * dx, prices[c] + w / 2, marker="s", s=10, color=colour, zorder=3,
                           label=side)
    # Labels only where a cell is wide and tall enough on the page to hold them.
    if 0 < rows.size <= 160 and times.size <= 12:
        for row, col in zip(rows.tolist(), cols.tolist()):
            ax.text(x0[row] + width / 2, prices[col] + w / 2,
                    f"{_size_text(float(sell[row, col]))}×{_size_text(float(buy[row, col]))}",
                    ha="center", va="center", fontsize=6, color="#222222")
    if times.size:
        ax.set_xlim(float(x0[0]), float(x0[-1] + width))
    _time_axis(ax, None)
    ax.set_ylabel(f"price ({quote})")
    if "delta" in options.studies and times.size:
        net = _studies.cumulative_delta(clusters)
        ax.text(0.01, 0.99, f"Δ {_size_text(float(delta.sum()))} {qty} · cumulative Δ {_size_text(float(net[-1]))}",
                transform=ax.transAxes, ha="left", va="top", fontsize=8,
                bbox={"facecolor": "white", "alpha": 0.75, "linewidth": 0})
    bar = ax.figure.colorbar(cells, cax=ax.inset_axes((1.02, 0.0, 0.035, 1.0)))
    bar.set_label(f"delta, buy − sell ({qty})", fontsize=8)
    bar.ax.tick_params(labelsize=7)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(loc="lower left", fontsize=7, framealpha=0.8)
    return PriceChart(float(prices.min()), float(prices.max() + w))


def _side_rgba(values: np.ndarray[Any, Any], cmap_name: str, norm: Any) -> np.ndarray[Any, Any]:
    import matplotlib

    cmap = matplotlib.colormaps[cmap_name]
    with np.errstate(invalid="ignore", divide="ignore"):
        scaled = np.ma.masked_invalid(norm(np.where(values > 0, values, np.nan)))
    rgba = cmap(0.25 + 0.75 * np.ma.filled(scaled, 0.0))
    rgba[..., 3] = np.where(np.ma.getmaskarray(scaled), 0.0, 1.0)
    return np.asarray(rgba)


def draw_book_heatmap(ax: Any, panel: Mapping[str, Any], params: Mapping[str, Any], scale: HeatmapScale,
                      units: tuple[str, str], time_range: tuple[int, int] | None) -> PriceChart:
    import matplotlib.cm as mcm
    import matplotlib.ticker as mticker

    qty, quote = units
    times = np.asarray(panel["time"], dtype=np.int64)
    prices = np.asarray(panel["price"], dtype=np.float64)
    w = float(params.get("price_bin", 1.0))
    b = int(params.get("bucket_ms", 60000))
    ax.set_title(f"Book heatmap · resting size per {w:g} {quote} × {b / 1000:g}s")
    bids = np.asarray(panel.get("bid_intensity", panel["intensity"]), dtype=np.float64)
    asks = np.asarray(panel.get("ask_intensity", np.zeros_like(bids)), dtype=np.float64)
    norm = scale.norm()
    bid_rgba = _side_rgba(bids, BID_CMAP, norm)
    ask_rgba = _side_rgba(asks, ASK_CMAP, norm)
    # Where both sides rest in one cell (a crossed or coarse grid), the larger decides the colour.
    use_ask = np.nan_to_num(asks) > np.nan_to_num(bids)
    rgba = np.where(use_ask[..., None], ask_rgba, bid_rgba)
    rgba = np.transpose(rgba, (1, 0, 2))  # rows by price -> image rows are prices
    extent = (float(date_x(times[0])), float(date_x(times[-1] + b)), float(prices[0]), float(prices[-1] + w))
    ax.imshow(rgba, origin="lower", aspect="auto", extent=extent, interpolation="nearest")
    ends = date_x(times + b)
    if "last_price" in panel:
        ax.step(ends, np.asarray(panel["last_price"]), where="pre", color=PRICE_LINE_COLOUR, linewidth=1.3,
                label="last traded price")
    if "mid" in panel:
        ax.step(ends, np.asarray(panel["mid"]), where="pre", color="#7b1fa2", linewidth=0.8, linestyle="--",
                label="book mid")
    # Asks above bids, as they rest in the book.
    for cmap_name, side, box in ((ASK_CMAP, "ask", (1.02, 0.52, 0.035, 0.48)), (BID_CMAP, "bid", (1.02, 0.0, 0.035, 0.48))):
        mappable = mcm.ScalarMappable(norm=scale.norm(), cmap=cmap_name)
        bar = ax.figure.colorbar(mappable, cax=ax.inset_axes(box))
        bar.set_label(f"{side} size ({qty})", fontsize=8)
        bar.locator = mticker.MaxNLocator(4)
        bar.update_ticks()
        bar.ax.tick_params(labelsize=7)
    where = "the largest size" if scale.white_point == "range" else f"the {scale.white_point} size"
    ax.text(0.99, 0.01, f"{scale.transform} scale, white point {_size_text(scale.vmax)} {qty} ({where}), larger clipped",
            transform=ax.transAxes, ha="right", va="bottom", fontsize=7,
            bbox={"facecolor": "white", "alpha": 0.7, "linewidth": 0})
    ax.legend(loc="upper left", fontsize=7, framealpha=0.8)
    ax.set_ylabel(f"price ({quote})")
    _time_axis(ax, time_range)
    return PriceChart(float(prices[0]), float(prices[-1] + w))


def draw_liquidation_map(ax: Any, panel: Mapping[str, Any], params: Mapping[str, Any], units: tuple[str, str],
                         time_range: tuple[int, int] | None) -> PriceChart:
    qty, quote = units
    events = panel["events"]
    w = float(params.get("price_bin", 1.0))
    ax.set_title(f"Liquidations · {len(events)} in the window, {w:g} {quote} bins")
    sizes = np.abs(np.nan_to_num(events["qty"].astype(np.float64)))
    top = float(sizes.max()) if sizes.size and sizes.max() > 0 else 1.0
    for code, colour, label in ((0, LONG_COLOUR, "long liquidated (forced sell)"),
                                (1, SHORT_COLOUR, "short liquidated (forced buy)")):
        chosen = events["side"] == code
        if not chosen.any():
            continue
        ax.scatter(date_x(events["ts"][chosen]), events["price_bin"][chosen] + w / 2,
                   s=20 + 280 * np.sqrt(sizes[chosen] / top), color=colour, alpha=0.6, edgecolors="white",
                   linewidths=0.5, label=label)
    ax.set_ylabel(f"price ({quote})")
    ax.text(0.99, 0.01, f"marker area by size ({qty})", transform=ax.transAxes, ha="right", va="bottom", fontsize=7)
    ax.legend(loc="best", fontsize=7, framealpha=0.85, markerscale=0.6)
    ax.grid(alpha=0.3)
    _time_axis(ax, time_range)
    bins = events["price_bin"][np.isfinite(events["price_bin"])]
    return PriceChart(float(bins.min()), float(bins.max() + w)) if bins.size else PriceChart(math.nan, math.nan)


def _leading_zeros_as_gaps(values: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """A series that has no record yet reports 0.0; for prices and open interest a zero is not a
    value, so those leading zeros are left undrawn."""
    out = np.array(values, dtype=np.float64)
    nonzero = np.flatnonzero(out != 0.0)
    out[: nonzero[0] if nonzero.size else out.size] = np.nan
    return out


def draw_divergence(axes: Sequence[Any], panel: Mapping[str, Any], params: Mapping[str, Any], units: tuple[str, str],
                    time_range: tuple[int, int] | None, absent: frozenset[str] = frozenset()) -> list[str]:
    """The three series; returns the names of those without any record (left out of the note).
    `absent` names the lists the market has no record of at all: a funding rate reads 0.0 before
    any record, so only the market's own lists tell "no funding" (spot) from a rate of zero."""
    import matplotlib.ticker as mticker

    qty, quote = units
    times = np.asarray(panel["time"], dtype=np.int64)
    b = int(params.get("bucket_ms", 60000))
    axes[0].set_title(f"Funding / OI divergence · {b / 1000:g}s buckets")
    xs = date_x(np.append(times, times[-1] + b))
    series = ((_leading_zeros_as_gaps(panel["price"]), f"close ({quote})", "#2c7bb6", "candles"),
              (np.full(len(times), np.nan) if "funding" in absent else np.asarray(panel["funding"], dtype=np.float64),
               "funding rate", "#fdae61", "funding"),
              (_leading_zeros_as_gaps(panel["oi"]), f"open interest ({qty})", "#7b3294", "open interest"))
    missing = []
    for ax, (values, label, colour, name) in zip(axes, series):
        if not np.isfinite(values).any():
            missing.append(name)
            ax.text(0.5, 0.5, f"no {name} records", transform=ax.transAxes, ha="center", va="center", color="#666666")
            ax.set_yticks([])
        else:
            ax.step(xs, np.append(values, values[-1]), where="post", color=colour, linewidth=1.6)
        ax.set_ylabel(label, fontsize=8)
        ax.grid(alpha=0.3)
        ax.yaxis.set_major_locator(mticker.MaxNLocator(4))
        _time_axis(ax, time_range, label=ax is axes[-1])
    axes[1].yaxis.set_major_formatter(mticker.FuncFormatter(lambda v, _pos: f"{v * 100:.4g}%"))
    for ax in axes[:-1]:
        ax.tick_params(labelbottom=False)
    return missing


def _absent_lists(session: Any) -> frozenset[str]:
    """The lists the session's market has no record of (a spot market: funding, oi and
    liquidations); none known for a session that cannot tell."""
    list_bounds = getattr(session, "list_bounds", None)
    if list_bounds is None:
        return frozenset()
    try:
        return frozenset(name for name, bounds in list_bounds().items() if not bounds["count"])
    except (TypeError, KeyError, ValueError, AttributeError):
        return frozenset()


# ----------------------------------------------------------------------------- the figure

def _empty_reason(panel: Mapping[str, Any]) -> str | None:
    """Why a panel has nothing to draw, or None when it has."""
    kind = panel.get("kind")
    if kind == "book_heatmap" and (np.asarray(panel["time"]).size == 0 or np.asarray(panel["price"]).size == 0):
        return "book heatmap: no two-sided book in the window"
    if kind == "liquidation_map" and len(panel["events"]) == 0:
        return "liquidation map: no liquidations in the window"
    if kind == "funding_oi_divergence" and np.asarray(panel["time"]).size == 0:
        return "funding/OI divergence: no candles, funding or open interest in the window"
    return None


def frame_figure(session: Any, spec: Mapping[str, Any], ts: int | None = None, *, size: tuple[int, int] = (1600, 1000),
                 dpi: int = 100, time_range: tuple[int, int] | None = None, options: ChartOptions | None = None,
                 scale: HeatmapScale | None = None, frame: Mapping[str, Any] | None = None) -> Any:
    """A matplotlib Figure of the frame at `ts` (None: the "frame" cursor) of `session`.

    `spec` is the session's spec as a dict (its panel parameters label the charts and size the
    footprint's buckets). `time_range` (milliseconds) fixes the time axes and `scale` the heatmap's
    colours, so that replay frames line up; without `scale` the frame's own cells fix it.
    """
    _matplotlib()
    from matplotlib.figure import Figure

    options = options or ChartOptions()
    frame = frame if frame is not None else session.frame_arrays(ts, detail=True)
    scale = scale or frame_scale([frame], options)
    quote = options.price_unit or price_unit_of(str(frame.get("symbol", "")))
    units = (options.qty_unit, quote)
    spec_panels = list(spec.get("panels", [])) if isinstance(spec, Mapping) else []
    params_of = [p if isinstance(p, Mapping) else {} for p in spec_panels]
    panels = list(frame["panels"])

    notes: list[str] = []
    price_row: list[tuple[Mapping[str, Any], Mapping[str, Any]]] = []
    lower_row: list[tuple[Mapping[str, Any], Mapping[str, Any]]] = []
    clusters_of: dict[int, Mapping[str, Any]] = {}
    for index, panel in enumerate(panels):
        params = params_of[index] if index < len(params_of) else {}
        reason = _empty_reason(panel)
        if panel["kind"] == "footprint":
            clusters = session.clusters(frame["cursor_ts"], price_bin=float(params.get("price_bin", 1.0)),
                                        bucket_ms=int(params.get("bucket_ms", 60000)))
            reason = "footprint: no trades in the window" if clusters["time"].size == 0 else None
            clusters_of[index] = clusters
        if reason is not None:
            notes.append(reason)
            continue
        (lower_row if panel["kind"] == "funding_oi_divergence" else price_row).append((panel, params))

    fig = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi)
    fig.suptitle(f"{frame.get('symbol', '')} · frame at {format_ts(int(frame['cursor_ts']))}  "
                 f"(cursor_ts {frame['cursor_ts']})", fontsize=14, fontweight="bold")
    rows = [r for r in (price_row, lower_row) if r]
    if not rows:
        fig.text(0.5, 0.5, "nothing to draw in this window", ha="center", va="center", fontsize=14, color="#666666")
    heights = [3 if r is price_row else 2 for r in rows]
    top = 1.0 - 0.6 / (size[1] / dpi)
    bottom = 0.07 + (0.03 if notes else 0.0)
    grid = fig.add_gridspec(len(rows) or 1, 1, left=0.06, right=0.95, bottom=bottom, top=top, hspace=0.32,
                            height_ratios=heights or [1])
    for row_index, row in enumerate(rows):
        cell = grid[row_index, 0]
        if row is price_row:
            sub = cell.subgridspec(1, len(row), wspace=0.42)
            first = None
            ranges: list[PriceChart] = []
            for k, (panel, params) in enumerate(row):
                ax = fig.add_subplot(sub[0, k], sharey=first)
                first = first or ax
                if panel["kind"] == "footprint":
                    index = panels.index(panel)
                    ranges.append(draw_footprint(ax, clusters_of[index], params, options, units))
                elif panel["kind"] == "book_heatmap":
                    ranges.append(draw_book_heatmap(ax, panel, params, scale, units, time_range))
                else:
                    ranges.append(draw_liquidation_map(ax, panel, params, units, time_range))
            lows = [r.low for r in ranges if math.isfinite(r.low)]
            highs = [r.high for r in ranges if math.isfinite(r.high)]
            if first is not None and lows and highs:
                span = max(highs) - min(lows)
                first.set_ylim(min(lows) - span * 0.02, max(highs) + span * 0.02)
                first.yaxis.set_major_formatter(_price_formatter(lows + highs))
        else:
            sub = cell.subgridspec(1, len(row), wspace=0.2)
            for k, (panel, params) in enumerate(row):
                inner = sub[0, k].subgridspec(3, 1, hspace=0.12)
                head = fig.add_subplot(inner[0])
                axes = [head, fig.add_subplot(inner[1], sharex=head), fig.add_subplot(inner[2], sharex=head)]
                for name in draw_divergence(axes, panel, params, units, time_range, _absent_lists(session)):
                    notes.append(f"funding/OI divergence: no {name} records in the window")
    if notes:
        fig.text(0.01, 0.008, "Not shown: " + "; ".join(notes), fontsize=9, color="#555555", ha="left", va="bottom")
    return fig


def render_png(session: Any, spec: Mapping[str, Any], ts: int | None = None, **kwargs: Any) -> bytes:
    """The PNG bytes of `frame_figure` (same arguments)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig = frame_figure(session, spec, ts, **kwargs)
    canvas = FigureCanvasAgg(fig)
    buffer = io.BytesIO()
    canvas.print_png(buffer)
    return buffer.getvalue()
