"""Charts as a trader reads them: what a rendered frame holds, and a colour scale fixed for a replay."""

import io

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from korvel_vorn import Session, charts
from korvel_vorn.commands import book_heatmap, footprint, funding_oi_divergence, liquidation_map, spec_value
from korvel_vorn.replay import replay_cursors, replay_scale
from korvel_vorn.sample import DURATION_MS, START_MS, sample_dataset_json, sample_spec


@pytest.fixture(scope="module")
def demo():
    spec = sample_spec()
    session = Session(spec)
    session.load(sample_dataset_json(7))
    return session, spec


def all_axes(fig):
    """The figure's axes and their inset axes (the colour bars)."""
    return [a for ax in fig.axes for a in [ax, *ax.child_axes]]


def texts(fig):
    out = [t.get_text() for t in fig.texts]
    for ax in all_axes(fig):
        out += [ax.get_title(), ax.get_xlabel(), ax.get_ylabel()] + [t.get_text() for t in ax.texts]
    return out


def axes_titled(fig, start):
    return [ax for ax in fig.axes if ax.get_title().startswith(start)]


def test_a_frame_shows_every_panel_with_units_and_studies(demo):
    session, spec = demo
    options = charts.ChartOptions(qty_unit="BTC")
    fig = charts.frame_figure(session, spec, START_MS + 8 * 60_000, options=options)
    labels = texts(fig)
    for title in ("Footprint", "Book heatmap", "Liquidations", "Funding / OI divergence"):
        assert axes_titled(fig, title), title
    assert "price (USDT)" in labels and "time (UTC)" in labels
    assert "bid size (BTC)" in labels and "ask size (BTC)" in labels and "delta, buy − sell (BTC)" in labels
    assert "open interest (BTC)" in labels and "close (USDT)" in labels
    footprint_ax = axes_titled(fig, "Footprint")[0]
    heatmap_ax = axes_titled(fig, "Book heatmap")[0]
    liquidations_ax = axes_titled(fig, "Liquidations")[0]
    # One price axis across the row.
    assert footprint_ax.get_ylim() == heatmap_ax.get_ylim() == liquidations_ax.get_ylim()
    # The footprint's cells are the clusters' non-empty cells; the studies are drawn.
    clusters = session.clusters(START_MS + 8 * 60_000, price_bin=spec["panels"][0]["price_bin"],
                                bucket_ms=spec["panels"][0].get("bucket_ms", 60000))
    cells = [c for c in footprint_ax.collections if c.get_array() is not None and c.get_array().size]
    assert cells[0].get_array().size == int(((clusters["buy_vol"] + clusters["sell_vol"]) > 0).sum())
    legend = [t.get_text() for t in footprint_ax.get_legend().get_texts()]
    assert {"point of control", "value area", "buy imbalance"} <= set(legend)
    # Price over liquidity: the last traded price and the mid are lines on the heatmap.
    lines = {line.get_label() for line in heatmap_ax.get_lines()}
    assert {"last traded price", "book mid"} <= lines
    assert not [t for t in labels if t.startswith("Not shown")]


def test_studies_can_be_switched_off(demo):
    session, spec = demo
    fig = charts.frame_figure(session, spec, START_MS + 5 * 60_000, options=charts.ChartOptions(studies=()))
    footprint_ax = axes_titled(fig, "Footprint")[0]
    assert footprint_ax.get_legend() is None
    assert not any(t.startswith("Δ") for t in texts(fig))


def test_empty_panels_are_left_out_with_a_note():
    session = Session(spec_value(symbol="ETHUSDT", panels=[
        footprint(price_bin=1.0), book_heatmap(price_bin=1.0, bucket_ms=1000, depth_levels=10),
        liquidation_map(price_bin=1.0), funding_oi_divergence(bucket_ms=60_000)]))
    session.load({"trades": [(1_000, 100.0, 1.0, "buy"), (2_000, 101.0, 2.0, "sell")]})
    fig = charts.frame_figure(session, spec_value(symbol="ETHUSDT", panels=[
        footprint(price_bin=1.0), book_heatmap(price_bin=1.0, bucket_ms=1000, depth_levels=10),
        liquidation_map(price_bin=1.0), funding_oi_divergence(bucket_ms=60_000)]))
    assert axes_titled(fig, "Footprint") and not axes_titled(fig, "Book heatmap")
    assert not axes_titled(fig, "Liquidations") and not axes_titled(fig, "Funding")
    note = [t for t in texts(fig) if t.startswith("Not shown")]
    assert len(note) == 1
    assert "book heatmap: no two-sided book" in note[0] and "liquidation map: no liquidations" in note[0]
    assert "funding/OI divergence: no candles, funding or open interest" in note[0]


def test_the_colour_scale_is_fixed_for_a_replay(demo):
    session, spec = demo
    options = charts.ChartOptions()
    cursors = replay_cursors(START_MS + 60_000, START_MS + DURATION_MS - 1, 90_000)
    scale = replay_scale(session, cursors, options)
    norms = []
    for cursor in cursors[:2] + cursors[-1:]:
        fig = charts.frame_figure(session, spec, cursor, options=options, scale=scale)
        heatmap_ax = axes_titled(fig, "Book heatmap")[0]
        bars = [ax for ax in all_axes(fig) if ax.get_ylabel() in ("bid size (qty)", "ask size (qty)")]
        assert len(bars) == 2
        norms.append([(bar.get_ylim()) for bar in bars])
        assert heatmap_ax.images
    assert norms[0] == norms[1] == norms[2]
    assert scale.norm().vmax == charts.HeatmapScale(scale.transform, scale.vmin, scale.vmax).norm().vmax
    # Each frame's own scale would differ: that is what the replay's scale prevents.
    own = {charts.frame_scale([session.frame_arrays(c)], options).vmax for c in cursors}
    assert len(own) > 1 and scale.vmax >= min(own)


@pytest.mark.parametrize("transform, white_point", [("sqrt", "p97"), ("log", "p50"), ("linear", "range")])
def test_scale_options(demo, transform, white_point):
    session, _ = demo
    frame = session.frame_arrays(START_MS + 6 * 60_000)
    scale = charts.frame_scale([frame], charts.ChartOptions(heatmap_scale=transform, white_point=white_point))
    cells = np.concatenate([p["intensity"].ravel() for p in frame["panels"] if p["kind"] == "book_heatmap"])
    cells = cells[cells > 0]
    if white_point == "range":
        assert scale.vmax == cells.max()
    else:
        assert scale.vmax == pytest.approx(np.percentile(cells, float(white_point[1:])), rel=1e-3)
    norm = scale.norm()
    assert norm(scale.vmax * 10) == pytest.approx(1.0)  # clipped walls take the top colour
    assert transform != "log" or type(norm).__name__ == "LogNorm"


@pytest.mark.parametrize("bad", [{"heatmap_scale": "cubic"}, {"white_point": "p0"}, {"white_point": "max"},
                                 {"studies": ("poc", "vwap")}])
def test_bad_chart_options(bad):
    with pytest.raises(ValueError):
        charts.ChartOptions(**bad)


def test_rendered_png_shows_bids_asks_and_the_price_line(demo):
    from PIL import Image

    session, spec = demo
    png = charts.render_png(session, spec, START_MS + 8 * 60_000, size=(1200, 800))
    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(int)
    assert image.shape == (800, 1200, 3)
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    blue = (b > r + 60) & (b > g + 20)        # bid cells
    orange = (r > b + 80) & (r > g + 20)      # ask cells (and sell cells)
    dark = (r < 40) & (g < 40) & (b < 40)     # the price line, text
    assert blue.sum() > 5000 and orange.sum() > 5000 and dark.sum() > 2000
