"""The viewer's page: Bokeh figures and widgets for one browser tab, fed by `ReplayModel` frames that
a `FrameScheduler` computes off the page's thread."""

from __future__ import annotations

import dataclasses
import datetime as _dt
import html
import math
import time
from functools import partial
from typing import Any

import numpy as np

from ..charts import BUY_COLOUR, LONG_COLOUR, SELL_COLOUR, SHORT_COLOUR, price_unit_of
from ..timefmt import format_duration
from .replay_model import ReplayModel, ViewFrame, ViewSettings
from .scheduler import FrameScheduler

TICK_MS = 40  # playback ticks: 25 a second, the most frames the page is offered
# While playing, the heatmap is sent with at most this many time columns (each the largest of the
# buckets it merges): a screen shows no more, and a moving picture is read as a whole. A paused or
# seeked frame is sent cell for cell, so hover reads every bucket.
PLAYBACK_COLUMNS = 800
SPEEDS = ("1", "2", "5", "10", "30", "60", "100", "300", "1000")
WINDOWS = {"5m": 300_000, "15m": 900_000, "1h": 3_600_000, "4h": 14_400_000, "24h": 86_400_000}
BUCKETS = {"250ms": 250, "1s": 1_000, "5s": 5_000, "10s": 10_000, "15s": 15_000, "30s": 30_000, "1m": 60_000}
STEPS = {"1s": 1_000, "10s": 10_000, "1m": 60_000, "5m": 300_000}
# Counts the heatmap's redraws in the browser (frames shown, and when), for tests and benchmarks.
FRAME_COUNTER_JS = """
window.vornFrames = (window.vornFrames || 0) + 1;
(window.vornFrameTimes = window.vornFrameTimes || []).push(performance.now());
window.vornClock = clock.text;
"""


def clock_text(ms: int) -> str:
    moment = _dt.datetime.fromtimestamp(ms / 1000, tz=_dt.UTC)
    return moment.strftime("%Y-%m-%d %H:%M:%S.") + f"{ms % 1000:03d} UTC"


def _set(model: Any, **values: Any) -> None:
    """Sets only the properties that change: every change is sent to the browser and redraws."""
    for name, value in values.items():
        if getattr(model, name) != value:
            setattr(model, name, value)


def _replace_data(source: Any, data: dict[str, Any]) -> None:
    """Replaces a source's columns unless they are equal to what it holds: an unchanged source
    (liquidations and divergence change rarely) costs the browser nothing."""
    old = source.data
    if old.keys() == data.keys() and all(np.array_equal(np.asarray(old[k]), np.asarray(data[k]), equal_nan=
                                                         np.asarray(data[k]).dtype.kind == "f") for k in data):
        return
    source.data = data


def _thin_rows(cells: np.ndarray[Any, Any], factor: int) -> np.ndarray[Any, Any]:
    """Every `factor` consecutive rows (time buckets) merged into their largest cell, NaN-aware."""
    if factor <= 1:
        return cells
    whole = cells.shape[0] // factor * factor
    head = cells[:whole].reshape(-1, factor, cells.shape[1])
    with np.errstate(invalid="ignore"):
        merged = np.nanmax(np.where(np.isnan(head), -np.inf, head), axis=1)
        rest = [np.nanmax(np.where(np.isnan(cells[whole:]), -np.inf, cells[whole:]), axis=0, keepdims=True)] \
            if whole < cells.shape[0] else []
    out = np.concatenate([merged, *rest]) if rest else merged
    out[np.isneginf(out)] = np.nan
    return out


def _label(mapping: dict[str, int], value: int) -> str:
    """The option naming `value`, added to the options when none does."""
    for label, ms in mapping.items():
        if ms == value:
            return label
    label = format_duration(value)
    mapping[label] = value
    return label


class ReplayPage:
    def __init__(self, doc: Any, model: ReplayModel) -> None:
        from bokeh.layouts import column, row
        from bokeh.models import (
            Button,
            ColumnDataSource,
            CustomJS,
            CustomJSTickFormatter,
            Div,
            HoverTool,
            LinearAxis,
            LinearColorMapper,
            LogColorMapper,
            Range1d,
            Select,
            Slider,
            Spinner,
            Toggle,
        )
        from bokeh.palettes import Blues256, Oranges256, RdYlGn11
        from bokeh.plotting import figure

        self.doc = doc
        self.model = model
        self.settings = model.settings
        bounds = model.bounds
        self.cursor = min(bounds["to_ts"], bounds["from_ts"] + self.settings.window_ms)
        self.playing_since: float | None = None
        self.frames_drawn = 0  # frames sent to the browser (the browser counts those it showed)
        quote = price_unit_of(model.symbol)

        self.x_range = Range1d(self.cursor - self.settings.window_ms, self.cursor)
        self.y_range = Range1d(0, 1)
        tools = "xpan,xwheel_zoom,box_zoom,reset,save"

        # Book heatmap: bids and asks as two images (a cell of the other side is transparent).
        self.hm_source = ColumnDataSource({"bid": [], "ask": [], "x": [], "y": [], "dw": [], "dh": []},
                                          name="heatmap_cells")
        self.line_source = ColumnDataSource({"x": [], "last": [], "mid": []})
        self.bid_mapper = LinearColorMapper(palette=list(reversed(Blues256))[40:], low=0, high=1,
                                            nan_color=(0, 0, 0, 0))
        self.ask_mapper = LinearColorMapper(palette=list(reversed(Oranges256))[40:], low=0, high=1,
                                            nan_color=(0, 0, 0, 0))
        self.log_mappers = (LogColorMapper(palette=self.bid_mapper.palette, low=1e-3, high=1, nan_color=(0, 0, 0, 0)),
                            LogColorMapper(palette=self.ask_mapper.palette, low=1e-3, high=1, nan_color=(0, 0, 0, 0)))
        self.heatmap = figure(title="Book heatmap", x_axis_type="datetime", x_range=self.x_range, y_range=self.y_range,
                              tools=tools, height=430, width=780, name="heatmap")
        self.bid_image = self.heatmap.image(image="bid", x="x", y="y", dw="dw", dh="dh", source=self.hm_source,
                                            color_mapper=self.bid_mapper)
        self.ask_image = self.heatmap.image(image="ask", x="x", y="y", dw="dw", dh="dh", source=self.hm_source,
                                            color_mapper=self.ask_mapper)
        price_line = self.heatmap.step("x", "last", source=self.line_source, mode="before", color="#111111",
                                       line_width=1.5, legend_label="last traded price")
        self.heatmap.step("x", "mid", source=self.line_source, mode="before", color="#7b1fa2", line_dash="dashed",
                          legend_label="book mid")
        self.heatmap.legend.location = "top_left"
        for renderer, side in ((self.bid_image, "bid"), (self.ask_image, "ask")):
            self.heatmap.add_tools(HoverTool(renderers=[renderer], formatters={"$x": "datetime"}, tooltips=[
                ("time", "$x{%F %T}"), ("price", "$y{0,0.00}"), (f"{side} size", f"@{side}{{0,0.000}}"),
                ("side", side)]))
        self.heatmap.add_tools(HoverTool(renderers=[price_line], formatters={"@x": "datetime"}, mode="vline",
                                         tooltips=[("time", "@x{%F %T}"), ("last price", "@last{0,0.00}"),
                                                   ("mid", "@mid{0,0.00}")]))
        self.heatmap.yaxis.axis_label = f"price ({quote})"
        self.heatmap.xaxis.axis_label = "time (UTC)"

        # Footprint clusters: one column of cells per bucket, coloured by delta.
        self.fp_source = ColumnDataSource({k: [] for k in ("left", "right", "bottom", "top", "buy", "sell", "delta")})
        self.poc_source = ColumnDataSource({"x0": [], "x1": [], "y": []})
        self.delta_mapper = LinearColorMapper(palette=list(RdYlGn11[::-1]), low=-1, high=1)
        self.footprint = figure(title="Footprint clusters · delta = buy − sell", x_axis_type="datetime",
                                x_range=self.x_range, y_range=self.y_range, tools=tools, height=430,
                                width=780, name="footprint")
        cells = self.footprint.quad(left="left", right="right", bottom="bottom", top="top", source=self.fp_source,
                                    fill_color={"field": "delta", "transform": self.delta_mapper}, line_color="white",
                                    line_width=0.3)
        self.footprint.segment(x0="x0", x1="x1", y0="y", y1="y", source=self.poc_source, color="#212121", line_width=2.5,
                               legend_label="point of control")
        self.footprint.legend.location = "top_left"
        self.footprint.add_tools(HoverTool(renderers=[cells], formatters={"@left": "datetime"}, tooltips=[
            ("time", "@left{%F %T}"), ("price", "@bottom{0,0.00}"), ("buy (at ask)", "@buy{0,0.000}"),
            ("sell (at bid)", "@sell{0,0.000}"), ("delta", "@delta{+0,0.000}")]))
        self.footprint.yaxis.axis_label = f"price ({quote})"
        self.footprint.xaxis.axis_label = "time (UTC)"

        # Liquidations, over the book on the same price and time axes.
        self.liq_source = ColumnDataSource({k: [] for k in ("x", "y", "size", "qty", "side", "color")})
        dots = self.heatmap.scatter("x", "y", size="size", color="color", alpha=0.75, line_color="white",
                                    source=self.liq_source, legend_label="liquidation", name="liquidations")
        self.heatmap.add_tools(HoverTool(renderers=[dots], formatters={"@x": "datetime"}, tooltips=[
            ("liquidation", "@side"), ("time", "@x{%F %T}"), ("price", "@y{0,0.00}"), ("size", "@qty{0,0.000}")]))

        # Funding / OI divergence: three series on the shared time axis, each on its own scale.
        self.div_source = ColumnDataSource({"x": [], "price": [], "funding": [], "oi": []})
        self.divergence = figure(title="Funding / OI divergence", x_axis_type="datetime", x_range=self.x_range,
                                 tools=tools, height=230, width=1560, name="divergence")
        self.div_ranges = {}
        for index, (field, label, colour) in enumerate((("price", f"close ({quote})", "#2c7bb6"),
                                                        ("funding", "funding rate", "#fdae61"),
                                                        ("oi", "open interest", "#7b3294"))):
            y_range = Range1d(0, 1)
            self.div_ranges[field] = y_range
            if index == 0:
                self.divergence.y_range = y_range
                axis = self.divergence.yaxis[0]
            else:
                self.divergence.extra_y_ranges[field] = y_range
                axis = LinearAxis(y_range_name=field)
                self.divergence.add_layout(axis, "right")
            axis.axis_label = label
            axis.axis_label_text_color = colour
            line = self.divergence.step("x", field, source=self.div_source, mode="after", color=colour, line_width=1.6,
                                        y_range_name="default" if index == 0 else field, legend_label=label)
            self.divergence.add_tools(HoverTool(renderers=[line], mode="vline", formatters={"@x": "datetime"},
                                                tooltips=[("time", "@x{%F %T}"), (label, f"@{field}")]))
        self.divergence.legend.location = "top_left"

        # Controls.
        formatter = CustomJSTickFormatter(code="return new Date(tick).toISOString().replace('T', ' ').slice(0, 19)")
        # Fixed sizes: text that changes with every frame must not make the browser lay the page out
        # again (that, not drawing, is what a frame would cost).
        self.slider = Slider(start=bounds["from_ts"], end=max(bounds["to_ts"], bounds["from_ts"] + 1), value=self.cursor,
                             step=1000, title="cursor (UTC)", format=formatter, show_value=False,
                             width=1560, height=40, name="cursor")
        self.clock = Div(text=clock_text(self.cursor), name="clock", width=330, height=28,
                         styles={"font-size": "18px", "font-weight": "bold"})
        self.status = Div(text="", name="status", width=1100, height=28, styles={"color": "#b71c1c"})
        self.play = Toggle(label="▶ play", button_type="success", width=90, name="play")
        back = Button(label="◀ step", width=70, name="step_back")
        forward = Button(label="step ▶", width=70, name="step_forward")
        self.speed = Select(title="speed (×)", value="10", options=list(SPEEDS), width=90, name="speed")
        self.step = Select(title="step", value="10s", options=list(STEPS), width=70)
        self.windows, self.buckets = dict(WINDOWS), dict(BUCKETS)
        window_label, bucket_label = _label(self.windows, self.settings.window_ms), _label(self.buckets, self.settings.bucket_ms)
        self.window = Select(title="window", value=window_label, options=list(self.windows), width=80, name="window")
        self.bucket = Select(title="heatmap bucket", value=bucket_label, options=list(self.buckets), width=110,
                             name="bucket")
        self.price_bin = Spinner(title=f"price bin ({quote})", value=self.settings.price_bin, low=1e-8, step=0.5,
                                 width=110, name="price_bin")
        self.depth = Spinner(title="depth levels", value=self.settings.depth_levels, low=2, high=2000, step=10, width=100,
                             name="depth")
        self.scale = Select(title="colour scale", value=self.settings.scale, options=["linear", "log"], width=90)
        self.white = Select(title="white point", value=self.settings.white_point, options=["p90", "p97", "p99", "range"],
                            width=90)

        self.hm_source.js_on_change("data", CustomJS(args={"clock": self.clock}, code=FRAME_COUNTER_JS))
        self.slider.on_change("value", self._on_seek)
        self.play.on_change("active", self._on_play)
        back.on_click(partial(self._on_step, -1))
        forward.on_click(partial(self._on_step, 1))
        for widget in (self.window, self.bucket, self.price_bin, self.depth, self.scale, self.white):
            widget.on_change("value", self._on_settings)

        controls = row(self.play, back, forward, self.speed, self.step, self.window, self.bucket, self.price_bin,
                       self.depth, self.scale, self.white)
        layout = column(row(self.clock, self.status), self.slider, controls, row(self.footprint, self.heatmap),
                        self.divergence)
        for fig in (self.heatmap, self.footprint, self.divergence):
            fig.toolbar.logo = None
        doc.add_root(layout)
        doc.title = f"{model.symbol} · korvel_vorn replay"
        self.scheduler: FrameScheduler[tuple[int, ViewSettings]] = FrameScheduler(model.compute, self._delivered)
        doc.add_periodic_callback(self._tick, TICK_MS)
        doc.on_session_destroyed(lambda _context: self.scheduler.close())
        self._request()

    # --- requests -------------------------------------------------------------------------

    def _request(self) -> None:
        self.scheduler.request((int(self.cursor), self.settings))

    def _on_seek(self, _attr: str, _old: Any, new: Any) -> None:
        self.cursor = int(new)
        self._request()

    def _on_play(self, _attr: str, _old: Any, active: bool) -> None:
        self.playing_since = time.monotonic() if active else None
        self.play.label = "❚❚ pause" if active else "▶ play"

    def _on_step(self, direction: int) -> None:
        self._move_to(self.cursor + direction * STEPS[self.step.value])

    def _move_to(self, cursor: float) -> None:
        bounds = self.model.bounds
        self.slider.value = int(min(max(cursor, bounds["from_ts"]), bounds["to_ts"]))

    def _on_settings(self, _attr: str, _old: Any, _new: Any) -> None:
        try:
            price_bin = float(self.price_bin.value)
            depth = int(self.depth.value)
            if not (math.isfinite(price_bin) and price_bin > 0):
                raise ValueError("the price bin must be a positive number")
        except (TypeError, ValueError) as error:
            self.status.text = html.escape(f"error: {error}")
            return
        self.settings = dataclasses.replace(self.settings, window_ms=self.windows[self.window.value],
                                            bucket_ms=self.buckets[self.bucket.value], price_bin=price_bin,
                                            depth_levels=depth, scale=self.scale.value, white_point=self.white.value)
        self._request()

    def _tick(self) -> None:
        if self.playing_since is not None and not self.scheduler.busy:
            self._advance()

    def _advance(self) -> None:
        """Moves the cursor by the market time that passed at the chosen speed since the last step."""
        assert self.playing_since is not None
        now = time.monotonic()
        advance = (now - self.playing_since) * 1000 * float(self.speed.value)
        self.playing_since = now
        if self.cursor >= self.model.bounds["to_ts"]:
            self.play.active = False
            return
        self._move_to(self.cursor + advance)

    # --- results ---------------------------------------------------------------------------

    def _delivered(self, _generation: int, result: Any) -> None:
        self.doc.add_next_tick_callback(partial(self._show, result))

    def _show(self, result: Any) -> None:
        # While playing, the next frame is computed on the worker while this one is drawn, unless
        # that would offer the browser frames faster than the ticks do.
        if self.playing_since is not None and time.monotonic() - self.playing_since >= TICK_MS / 1000:
            self._advance()
        if isinstance(result, Exception):
            self.status.text = html.escape(f"error: {result}")
            return
        try:
            self._draw(result)
            self.frames_drawn += 1
        except Exception as error:  # a frame the page cannot draw is reported, the page stays alive
            self.status.text = html.escape(f"error: cannot draw the frame: {error}")

    def _draw(self, view: ViewFrame) -> None:
        settings = view.settings
        # The clock first: the browser's frame counter reads it when the heatmap's cells change.
        _set(self.clock, text=clock_text(view.frame["cursor_ts"]))
        _set(self.status, text=html.escape("; ".join(view.notes)))
        heatmap = view.panel("book_heatmap")
        times, prices = heatmap["time"], heatmap["price"]
        w, b = settings.price_bin, settings.bucket_ms
        mappers = self.log_mappers if settings.scale == "log" else (self.bid_mapper, self.ask_mapper)
        for mapper in mappers:
            _set(mapper, high=view.scale.vmax, low=view.scale.vmin if settings.scale == "log" else 0.0,
                 high_color=mapper.palette[-1])
        _set(self.bid_image.glyph, color_mapper=mappers[0])
        _set(self.ask_image.glyph, color_mapper=mappers[1])
        if times.size and prices.size:
            factor = -(-times.size // PLAYBACK_COLUMNS) if self.playing_since is not None else 1
            bids, asks = (np.where(heatmap[key] > 0, heatmap[key], np.nan) for key in ("bid_intensity", "ask_intensity"))
            bids = np.ascontiguousarray(_thin_rows(bids, factor).T, dtype=np.float32)
            asks = np.ascontiguousarray(_thin_rows(asks, factor).T, dtype=np.float32)
            self.hm_source.data = {"bid": [bids], "ask": [asks], "x": [int(times[0])], "y": [float(prices[0])],
                                   "dw": [int(times.size * b)], "dh": [float(prices[-1] + w - prices[0])]}
            ends = (times + b).astype(np.float64)
            keep = slice(factor - 1, None, factor) if factor > 1 else slice(None)
            self.line_source.data = {"x": ends[keep], "last": heatmap["last_price"][keep], "mid": heatmap["mid"][keep]}
        else:
            self.hm_source.data = {"bid": [], "ask": [], "x": [], "y": [], "dw": [], "dh": []}
            self.line_source.data = {"x": [], "last": [], "mid": []}
        _set(self.heatmap.title, text=f"Book heatmap · bids blue, asks orange · {w:g} × {b / 1000:g}s · "
                                      f"{settings.scale} scale, white point {view.scale.vmax:.4g}")

        clusters = view.clusters
        buy, sell = clusters["buy_vol"], clusters["sell_vol"]
        rows, cols = np.nonzero((buy + sell) > 0)
        starts = clusters["time"][rows].astype(np.float64)
        fb = settings.footprint_bucket_ms
        delta = (buy - sell)[rows, cols]
        self.fp_source.data = {"left": starts + fb * 0.04, "right": starts + fb * 0.96,
                               "bottom": clusters["price"][cols], "top": clusters["price"][cols] + w,
                               "buy": buy[rows, cols], "sell": sell[rows, cols], "delta": delta}
        limit = float(np.percentile(np.abs(delta), 95)) if delta.size else 1.0
        limit = limit or 1.0
        if not 0.8 <= limit / self.delta_mapper.high <= 1.25:  # a colour range that does not flicker
            _set(self.delta_mapper, low=-limit, high=limit)
        volume = buy + sell
        poc_rows = np.flatnonzero(volume.sum(axis=1) > 0)
        poc = clusters["price"][np.argmax(volume[poc_rows], axis=1)] if poc_rows.size else np.zeros(0)
        poc_x = clusters["time"][poc_rows].astype(np.float64)
        _replace_data(self.poc_source, {"x0": poc_x + fb * 0.04, "x1": poc_x + fb * 0.96, "y": poc + w / 2})

        events = view.panel("liquidation_map")["events"]
        qty = np.abs(events["qty"])
        top = float(qty.max()) if qty.size and qty.max() > 0 else 1.0
        _replace_data(self.liq_source, {"x": events["ts"].astype(np.float64), "y": events["price_bin"] + w / 2,
                                        "size": 6 + 24 * np.sqrt(qty / top), "qty": events["qty"],
                                        "side": np.where(events["side"] == 0, "long", "short"),
                                        "color": np.where(events["side"] == 0, LONG_COLOUR, SHORT_COLOUR)})

        div = view.panel("funding_oi_divergence")
        gaps = {k: np.where(div[k] == 0.0, np.nan, div[k]) for k in ("price", "oi")}
        _replace_data(self.div_source, {"x": div["time"].astype(np.float64), "price": gaps["price"],
                                        "funding": div["funding"], "oi": gaps["oi"]})
        for field, values in (("price", gaps["price"]), ("funding", div["funding"]), ("oi", gaps["oi"])):
            finite = values[np.isfinite(values)]
            if finite.size:
                lo, hi = float(finite.min()), float(finite.max())
                pad = (hi - lo) * 0.05 or abs(hi) * 0.01 or 1.0
                _set(self.div_ranges[field], start=lo - pad, end=hi + pad)

        low = [float(prices[0])] if prices.size else []
        high = [float(prices[-1] + w)] if prices.size else []
        if clusters["price"].size:
            low.append(float(clusters["price"][0]))
            high.append(float(clusters["price"][-1] + w))
        if low:
            _set(self.y_range, start=min(low), end=max(high))
        _set(self.x_range, start=view.cursor - settings.window_ms, end=view.frame["cursor_ts"])


__all__ = ["BUY_COLOUR", "SELL_COLOUR", "ReplayPage", "clock_text"]
