"""Charts of a frame: one matplotlib chart per panel of the spec, drawn from the frame reply.

Nothing here computes a panel: every bar, cell and point is a value of the engine's reply, only
laid out for the eye. Needs matplotlib (``pip install 'korvel_vorn[charts]'``); the Agg canvas
is used directly, so no display and no pyplot state are involved.

- footprint: horizontal bars by price, buy volume to the right (green), sell volume to the left (red);
- book heatmap: resting quantity as an image over time (x) and price (y), square-root colour scale;
- liquidation map: a scatter by time and price, marker area by quantity, longs red, shorts green;
- funding/OI divergence: close price, funding rate and open interest, three aligned series.
"""

from __future__ import annotations

import datetime as _dt
import io
import math
from collections.abc import Mapping, Sequence
from typing import Any

from .timefmt import format_ts

BUY_COLOUR = "#1a9850"
SELL_COLOUR = "#d73027"
LONG_COLOUR = "#d73027"  # a long liquidation is a forced sell
SHORT_COLOUR = "#1a9850"  # a short liquidation is a forced buy
_MS_PER_DAY = 86_400_000.0


class ChartsUnavailable(RuntimeError):
    """matplotlib is not installed."""


def _matplotlib() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg", force=False)
        import matplotlib.dates  # noqa: F401
        import matplotlib.figure  # noqa: F401
        import matplotlib.ticker  # noqa: F401
        from matplotlib.backends import backend_agg  # noqa: F401
    except ImportError:
        raise ChartsUnavailable(
            "charts need matplotlib: pip install 'korvel_vorn[charts]'"
        ) from None
    return matplotlib


def _nums(values: Sequence[Any]) -> list[float]:
    """Reply floats as plain floats: null (a non-finite value) becomes NaN."""
    return [math.nan if v is None else float(v) for v in values]


def _date_x(ms: float) -> float:
    """A millisecond timestamp in matplotlib's date units (days since its epoch)."""
    import matplotlib.dates as mdates

    return ms / _MS_PER_DAY + _EPOCH_OFFSET(mdates)


def _EPOCH_OFFSET(mdates: Any) -> float:  # noqa: N802 - cached constant
    offset = getattr(_EPOCH_OFFSET, "value", None)
    if offset is None:
        offset = float(mdates.date2num(_dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)))
        _EPOCH_OFFSET.value = offset  # type: ignore[attr-defined]
    return offset


def _time_axis(ax: Any, time_range: tuple[int, int] | None) -> None:
    import matplotlib.dates as mdates

    locator = mdates.AutoDateLocator(tz=_dt.timezone.utc, minticks=3, maxticks=7)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator, tz=_dt.timezone.utc))
    if time_range is not None and time_range[1] > time_range[0]:
        ax.set_xlim(_date_x(time_range[0]), _date_x(time_range[1]))


def _empty(ax: Any, text: str) -> None:
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="#666666", fontsize=11)
    ax.set_xticks([])
    ax.set_yticks([])


def _price_formatter(values: Sequence[float]) -> Any:
    import matplotlib.ticker as mticker

    finite = [abs(v) for v in values if math.isfinite(v)]
    big = max(finite, default=0.0) >= 10_000
    return mticker.FuncFormatter(lambda v, _pos: f"{v:,.0f}" if big else f"{v:,.2f}".rstrip("0").rstrip("."))


def draw_footprint(ax: Any, data: Mapping[str, Any], params: Mapping[str, Any]) -> None:
    import matplotlib.ticker as mticker

    prices = _nums(data.get("price_bins", []))
    buy = _nums(data.get("buy_vol", []))
    sell = _nums(data.get("sell_vol", []))
    width = float(params.get("price_bin", 1.0))
    ax.set_title(f"Footprint · volume per {width:g} price bin")
    if not prices:
        _empty(ax, "no trades in the window")
        return
    height = width * 0.9
    centres = [p + width / 2 for p in prices]
    ax.barh(centres, buy, height=height, color=BUY_COLOUR)
    ax.barh(centres, [-s for s in sell], height=height, color=SELL_COLOUR)
    ax.axvline(0.0, color="#333333", linewidth=0.8)
    ax.xaxis.set_major_formatter(mticker.FuncFormatter(lambda v, _pos: f"{abs(v):g}"))
    ax.yaxis.set_major_formatter(_price_formatter(prices))
    ax.set_xlabel("◀ sell volume (aggressor sold)  │  buy volume (aggressor bought) ▶")
    ax.set_ylabel("price")
    ax.margins(y=0.02)
    limit = max([abs(v) for v in buy + sell if math.isfinite(v)], default=1.0) or 1.0
    ax.set_xlim(-limit * 1.1, limit * 1.1)
    ax.grid(axis="x", alpha=0.3)


def draw_book_heatmap(ax: Any, data: Mapping[str, Any], params: Mapping[str, Any], fig: Any,
                      time_range: tuple[int, int] | None = None) -> None:
    import matplotlib.colors as mcolors
    import matplotlib.ticker as mticker

    times = [int(t) for t in data.get("time", [])]
    prices = _nums(data.get("price", []))
    rows = [_nums(r) for r in data.get("intensity", [])]
    width = float(params.get("price_bin", 1.0))
    bucket = int(params.get("bucket_ms", 60000))
    ax.set_title(f"Book heatmap · resting qty per {width:g} × {bucket / 1000:g}s")
    if not times or not prices:
        _empty(ax, "no two-sided book in the window")
        return
    # One image column per time bucket, one image row per price bin (transposed rows).
    grid = [[rows[k][i] if k < len(rows) and i < len(rows[k]) else math.nan for k in range(len(times))]
            for i in range(len(prices))]
    finite = [v for row in grid for v in row if math.isfinite(v)]
    top = max(finite, default=1.0)
    norm = mcolors.PowerNorm(gamma=0.5, vmin=0.0, vmax=top if top > 0 else 1.0, clip=True)
    extent = (_date_x(times[0]), _date_x(times[-1] + bucket), prices[0], prices[-1] + width)
    image = ax.imshow(grid, origin="lower", aspect="auto", extent=extent, cmap="inferno", norm=norm,
                      interpolation="nearest")
    bar = fig.colorbar(image, ax=ax, pad=0.01, fraction=0.05)
    bar.set_label("resting qty (bid + ask)")
    vmax = norm.vmax
    bar.set_ticks([vmax * f * f for f in (0.0, 0.25, 0.5, 0.75, 1.0)])  # even spacing on the sqrt scale
    bar.ax.yaxis.set_major_formatter(mticker.FuncFormatter(lambda v, _pos: f"{v:.3g}"))
    ax.yaxis.set_major_formatter(_price_formatter(prices))
    ax.set_ylabel("price")
    _time_axis(ax, time_range)


def draw_liquidation_map(ax: Any, data: Mapping[str, Any], params: Mapping[str, Any],
                         time_range: tuple[int, int] | None = None) -> None:
    events = list(data.get("events", []))
    width = float(params.get("price_bin", 1.0))
    ax.set_title(f"Liquidations · {len(events)} in the window, {width:g} price bins")
    if not events:
        _empty(ax, "no liquidations in the window")
        if time_range is not None:
            ax.set_xticks([])
        return
    qtys = [abs(float(e["qty"])) if e.get("qty") is not None else 0.0 for e in events]
    top = max(qtys, default=1.0) or 1.0
    for side, colour, label in (("long", LONG_COLOUR, "long liquidated (forced sell)"),
                                ("short", SHORT_COLOUR, "short liquidated (forced buy)")):
        chosen = [(e, q) for e, q in zip(events, qtys) if e.get("side") == side]
        if not chosen:
            continue
        xs = [_date_x(int(e["ts"])) for e, _ in chosen]
        ys = [math.nan if e["price_bin"] is None else float(e["price_bin"]) + width / 2 for e, _ in chosen]
        sizes = [20 + 280 * math.sqrt(q / top) for _, q in chosen]
        ax.scatter(xs, ys, s=sizes, color=colour, alpha=0.6, edgecolors="white", linewidths=0.5, label=label)
    ax.yaxis.set_major_formatter(_price_formatter([float(e["price_bin"] or 0.0) for e in events]))
    ax.set_ylabel("price")
    ax.legend(loc="best", fontsize=8, framealpha=0.85, markerscale=0.6)
    ax.grid(alpha=0.3)
    _time_axis(ax, time_range)


def _leading_zeros_as_gaps(values: list[float]) -> list[float]:
    """A series that has no record yet reports 0.0; for prices and open interest a zero is
    not a value, so those leading zeros are left undrawn."""
    out = list(values)
    for i, v in enumerate(out):
        if v != 0.0:
            break
        out[i] = math.nan
    return out


def draw_divergence(axes: Sequence[Any], data: Mapping[str, Any], params: Mapping[str, Any],
                    time_range: tuple[int, int] | None = None) -> None:
    import matplotlib.ticker as mticker

    times = [int(t) for t in data.get("time", [])]
    bucket = int(params.get("bucket_ms", 60000))
    price_ax, funding_ax, oi_ax = axes
    price_ax.set_title(f"Funding / OI divergence · {bucket / 1000:g}s buckets")
    if not times:
        for ax in axes:
            _empty(ax, "")
        _empty(price_ax, "no funding, open-interest or candle records in the window")
        return
    # Each value holds from its bucket start to the next one: draw steps that end at the last bucket's end.
    xs = [_date_x(t) for t in times] + [_date_x(times[-1] + bucket)]
    series = (
        (price_ax, _leading_zeros_as_gaps(_nums(data.get("price", []))), "close", "#2c7bb6"),
        (funding_ax, _nums(data.get("funding", [])), "funding rate", "#fdae61"),
        (oi_ax, _leading_zeros_as_gaps(_nums(data.get("oi", []))), "open interest", "#7b3294"),
    )
    for ax, values, label, colour in series:
        values = values + values[-1:]
        if not any(math.isfinite(v) for v in values):
            ax.text(0.5, 0.5, f"no {label} records", transform=ax.transAxes, ha="center", va="center",
                    color="#666666")
            ax.set_yticks([])
        else:
            ax.step(xs, values, where="post", color=colour, linewidth=1.6)
        ax.set_ylabel(label, fontsize=9)
        ax.grid(alpha=0.3)
        ax.yaxis.set_major_locator(mticker.MaxNLocator(4))
    rates = [v for v in _nums(data.get("funding", [])) if math.isfinite(v)]
    if rates and min(rates) < 0.0 < max(rates):
        funding_ax.axhline(0.0, color="#999999", linewidth=0.6)
    funding_ax.yaxis.set_major_formatter(mticker.FuncFormatter(lambda v, _pos: f"{v * 100:.4g}%"))
    price_ax.yaxis.set_major_formatter(_price_formatter(_nums(data.get("price", []))))
    oi_ax.yaxis.set_major_formatter(mticker.FuncFormatter(lambda v, _pos: f"{v:,.0f}" if abs(v) >= 100 else f"{v:g}"))
    for ax in axes:
        _time_axis(ax, time_range)
    for ax in axes[:-1]:
        ax.tick_params(labelbottom=False)


def frame_figure(frame: Mapping[str, Any], spec: Mapping[str, Any], *, size: tuple[int, int] = (1600, 1000),
                 dpi: int = 100, time_range: tuple[int, int] | None = None) -> Any:
    """A matplotlib Figure with one chart per panel of `frame`, in spec order.

    `spec` is the spec the frame was computed with (as a dict); its panel parameters label the
    charts. `time_range` (milliseconds) fixes the time axes, so that replay frames line up.
    """
    _matplotlib()
    from matplotlib.figure import Figure

    panels = list(frame.get("panels", []))
    spec_panels = list(spec.get("panels", [])) if isinstance(spec, Mapping) else []
    fig = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi)
    count = max(len(panels), 1)
    ncols = 1 if count == 1 else 2
    nrows = (count + ncols - 1) // ncols
    # Fixed margins rather than a layout engine: a replay draws many frames, and the solver
    # would cost more than the drawing.
    top = 1.0 - 0.6 / (size[1] / dpi)
    grid = fig.add_gridspec(nrows, ncols, left=0.065, right=0.94, bottom=0.07, top=top,
                            wspace=0.2, hspace=0.28 + 0.04 * (nrows - 1))
    fig.suptitle(f"{frame.get('symbol', '')} · frame at {format_ts(int(frame.get('cursor_ts', 0)))}"
                 f"  (cursor_ts {frame.get('cursor_ts')})", fontsize=14, fontweight="bold")
    for index, panel in enumerate(panels):
        params = spec_panels[index] if index < len(spec_panels) and isinstance(spec_panels[index], Mapping) else {}
        cell = grid[index // ncols, index % ncols]
        kind = panel.get("kind")
        if kind == "funding_oi_divergence":
            sub = cell.subgridspec(3, 1, hspace=0.12)
            first = fig.add_subplot(sub[0])
            axes = [first, fig.add_subplot(sub[1], sharex=first), fig.add_subplot(sub[2], sharex=first)]
            draw_divergence(axes, panel, params, time_range)
            continue
        ax = fig.add_subplot(cell)
        if kind == "footprint":
            draw_footprint(ax, panel, params)
        elif kind == "book_heatmap":
            draw_book_heatmap(ax, panel, params, fig, time_range)
        elif kind == "liquidation_map":
            draw_liquidation_map(ax, panel, params, time_range)
        else:
            _empty(ax, f"unknown panel kind {kind!r}")
    return fig


def render_png(frame: Mapping[str, Any], spec: Mapping[str, Any], *, size: tuple[int, int] = (1600, 1000),
               dpi: int = 100, time_range: tuple[int, int] | None = None) -> bytes:
    """The PNG bytes of `frame_figure`."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig = frame_figure(frame, spec, size=size, dpi=dpi, time_range=time_range)
    canvas = FigureCanvasAgg(fig)
    buffer = io.BytesIO()
    canvas.print_png(buffer)
    return buffer.getvalue()
