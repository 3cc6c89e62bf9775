"""The heatmap's running colour scale and the depth that makes its band follow the market."""

import json

import numpy as np
import pytest

import korvel_vorn as kv
from korvel_vorn.sample import sample_dataset_json, sample_spec
from korvel_vorn.viewer import band
from korvel_vorn.viewer.replay_model import ReplayModel, initial_settings
from korvel_vorn.viewer.running_scale import HOLD, RunningScale, frame_white_point
from korvel_vorn.viewer.tab import Tab


@pytest.mark.parametrize("white_point", ["p90", "p97", "p99", "range"])
def test_a_frames_white_point_is_its_quantile(white_point):
    sizes = np.random.default_rng(3).lognormal(size=10_001)
    top, bottom = frame_white_point(sizes, white_point)
    expected = sizes.max() if white_point == "range" else np.percentile(sizes, float(white_point[1:]))
    # A sample of 65,536 cells or more is the whole frame: the quantile is exact up to one rank.
    assert top == pytest.approx(expected, rel=2e-3) and bottom == sizes.min()
    assert frame_white_point(np.zeros(0), white_point) is None


def test_the_scale_holds_within_its_band_and_moves_outside_it():
    scale = RunningScale("linear", "range")
    assert scale.update(np.array([10.0])).vmax == 10.0
    assert scale.update(np.array([10.0 * HOLD * 0.99])).vmax == 10.0  # inside: colours stay comparable
    assert scale.update(np.array([10.0 / HOLD * 1.01])).vmax == 10.0
    assert scale.update(np.array([20.0])).vmax == 20.0  # the market left the band: the scale follows
    assert scale.update(np.array([2.0])).vmax == 2.0
    assert scale.update(np.zeros(0)).vmax == 2.0  # an empty frame leaves it
    assert RunningScale("log", "p97").scale().vmax == 1.0  # nothing shown yet


def test_the_first_frame_costs_one_engine_frame():
    session = kv.Session()
    session.load(sample_dataset_json(7))
    calls = []
    original = session.frame_arrays
    session.frame_arrays = lambda *a, **k: calls.append(k) or original(*a, **k)
    tab = Tab(ReplayModel(session, "DEMOUSDT", initial_settings(sample_spec())))
    cursor = tab.model.bounds["to_ts"]
    tab.frame(tab.read(json.dumps({"type": "frame", "id": 1, "cursor": cursor})))
    assert calls == [{"detail": False}]
    tab.frame(tab.read(json.dumps({"type": "frame", "id": 2, "cursor": cursor, "detail": True})))
    assert calls[-1] == {"detail": True} and len(calls) == 2


@pytest.mark.parametrize(("current", "low", "high", "centre", "rows", "expected"), [
    (40, 95.0, 101.0, 100.0, 100, 48),  # (5 + a margin of 1) x 2 / 0.25 = 48 levels
    (40, 90.0, 101.0, 100.0, 100, 96),  # 89 levels, grown in steps of 16; both sides span the farther one
    (100, 90.0, 101.0, 100.0, 100, 100),  # wider than needed but not by much: kept
    (1000, 99.5, 100.5, 100.0, 100, 40),  # much wider than needed: shrunk, not below the least depth
    (40, 0.0, 1000.0, 500.0, 10_000, band.CELL_BUDGET // 10_000),  # the cell budget binds
    (40, float("nan"), float("nan"), 100.0, 100, 40),  # no trades in the window: kept
    (9000, 99.0, 101.0, 100.0, 1, 40),
])
def test_the_depth_spans_the_traded_prices_within_the_budget(current, low, high, centre, rows, expected):
    depth = band.follow_depth(current, low, high, centre, 0.25, rows, 5_000)
    assert depth == expected
    if expected > 40 and expected < band.CELL_BUDGET // rows:
        half = depth * 0.25 / 2
        assert centre - half <= low and high <= centre + half
    assert depth * rows <= max(band.CELL_BUDGET, 40 * rows)
