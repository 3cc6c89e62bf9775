"""The viewer over several venues: the page is told the venues, a venue switched off leaves the
aggregate of the others, and each hover cell carries every venue's part of it."""

import json

import numpy as np
import pytest

import korvel_vorn as kv
from korvel_vorn.composite import CompositeSession
from korvel_vorn.sample import sample_dataset_json, sample_spec
from korvel_vorn.viewer import frames
from korvel_vorn.viewer.replay_model import ReplayModel, ViewSettings, initial_settings
from korvel_vorn.viewer.tab import BadMessage, Tab

NAMES = ["binance-um", "bybit", "binance-spot"]


def venue_session(seed):
    session = kv.Session()
    session.load(sample_dataset_json(seed))
    return session


@pytest.fixture(scope="module")
def tab():
    session = kv.Session()
    session.composite = CompositeSession()
    for seed, name in enumerate(NAMES, start=7):
        session.composite.add_venue(name, "DEMOUSDT", venue_session(seed))
    return Tab(ReplayModel(session, "DEMOUSDT", initial_settings(sample_spec())))


def request(cursor, request_id=1, **settings):
    return json.dumps({"type": "frame", "id": request_id, "cursor": cursor, "settings": settings})


def test_the_page_is_told_the_venues(tab):
    assert tab.hello()["venues"] == NAMES


def test_a_venue_switched_off_leaves_the_aggregate_of_the_others(tab):
    bounds = tab.model.bounds
    cursor = (bounds["from_ts"] + bounds["to_ts"]) // 2
    settings = dict(window_ms=300_000, bucket_ms=1_000, price_bin=1.0, depth_levels=30)
    header, arrays = frames.read_frame(tab.frame(tab.read(request(cursor, 3, venues=["bybit", "binance-spot"],
                                                                   **settings))))
    assert header["venues"] == ["bybit", "binance-spot"]
    # the same frame from a composite of those two venues only
    composite = CompositeSession()
    for seed, name in ((8, "bybit"), (9, "binance-spot")):
        composite.add_venue(name, "DEMOUSDT", venue_session(seed))
    composite.set_spec(ViewSettings(**settings).spec("DEMOUSDT", cursor))
    heatmap = composite.frame_arrays(cursor, detail=True)["panels"][1]
    cells = np.flatnonzero(np.fmax(heatmap["bid_intensity"].ravel(), heatmap["ask_intensity"].ravel()) > 0)
    assert np.array_equal(arrays["hm_cells"], cells)
    parts = [heatmap["venues"][name]["intensity"].ravel()[cells] for name in ("bybit", "binance-spot")]
    assert np.allclose(arrays["hm_v0"], parts[0], rtol=1e-6) and np.allclose(arrays["hm_v1"], parts[1], rtol=1e-6)
    # every coloured cell is the sum of its venues' parts
    total = np.asarray(heatmap["intensity"]).ravel()[cells]
    assert np.allclose(arrays["hm_v0"] + arrays["hm_v1"], total, rtol=1e-5)
    clusters = composite.clusters(cursor, price_bin=1.0, bucket_ms=tab.settings.footprint_bucket_ms, detail=True)
    r, c = np.nonzero(clusters["buy_vol"] + clusters["sell_vol"] > 0)
    assert np.allclose(arrays["fp_v0_buy"] + arrays["fp_v1_buy"], clusters["buy_vol"][r, c], rtol=1e-5)
    liquidations = composite.frame_arrays(cursor, detail=True)["panels"][2]
    assert arrays["lq_venue"].tolist() == liquidations["venue"].tolist()
    tab.read(request(cursor, 4, venues=NAMES))  # all on again, for the other tests


@pytest.mark.parametrize("venues, error", [
    (["okx"], "unknown venue 'okx'"),
    ([], "switch on at least one venue"),
    ("bybit", "venues must be a list"),
])
def test_bad_venue_switches_are_answered_with_their_request_id(tab, venues, error):
    with pytest.raises(BadMessage, match=error) as caught:
        tab.read(request(tab.model.bounds["from_ts"], 9, venues=venues))
    assert caught.value.request_id == 9


def test_a_single_venue_page_has_no_venues():
    single = Tab(ReplayModel(venue_session(7), "DEMOUSDT", initial_settings(sample_spec())))
    assert single.hello()["venues"] == []
    header, arrays = frames.read_frame(single.frame(single.read(request(single.model.bounds["to_ts"]))))
    assert "venues" not in header and "hm_v0" not in arrays
