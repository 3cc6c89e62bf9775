"""The demo's sample market: deterministic, sound, and accepted by the engine."""

import pytest

from korvel_vorn import sample
from korvel_vorn.session import Session


@pytest.fixture(scope="module")
def market():
    return sample.generate_market(7)


def test_same_seed_same_bytes_other_seed_other_market():
    assert sample.sample_dataset_json(7) == sample.sample_dataset_json(7)
    assert sample.sample_dataset_json(8) != sample.sample_dataset_json(7)


def test_every_list_is_filled_and_in_time_order(market):
    for name, records in market.items():
        assert records, name
        stamps = [r[0] for r in records]
        assert stamps == sorted(stamps), name
        assert stamps[0] >= sample.START_MS and stamps[-1] < sample.START_MS + sample.DURATION_MS, name


def test_book_replay_never_crosses_or_goes_one_sided(market):
    bids: dict = {}
    asks: dict = {}
    for ts, kind, new_bids, new_asks in market["book"]:
        if kind == "snapshot":
            bids.clear()
            asks.clear()
        for side, levels in ((bids, new_bids), (asks, new_asks)):
            for price, qty in levels:
                if qty == 0:
                    side.pop(price, None)
                else:
                    side[price] = qty
        assert bids and asks, ts
        assert max(bids) < min(asks), ts


def test_candles_agree_with_trades(market):
    for ts, o, h, low, c, v in market["candles"]:
        minute = [t for t in market["trades"] if ts <= t[0] < ts + 60_000]
        prices = [t[1] for t in minute]
        assert (o, h, low, c) == (prices[0], max(prices), min(prices), prices[-1])
        assert v == round(sum(t[2] for t in minute), 3)


def test_liquidation_waves(market):
    sides = {(r[0] - sample.START_MS) // 60_000: set() for r in market["liquidations"]}
    for r in market["liquidations"]:
        sides[(r[0] - sample.START_MS) // 60_000].add(r[3])
    assert sides[5] == {"long"}
    assert sides[7] == {"short"}


def test_engine_loads_the_sample_and_computes_every_panel(market):
    session = Session(sample.sample_spec())
    count = session.load(sample.sample_dataset_json())
    assert count == sum(len(v) for v in market.values())
    frame = session.frame()
    assert [p["kind"] for p in frame["panels"]] == ["footprint", "book_heatmap", "liquidation_map", "funding_oi_divergence"]
    footprint, heatmap, liquidations, divergence = frame["panels"]
    assert footprint["price_bins"] and len(heatmap["price"]) == 48 and len(heatmap["time"]) == 40
    assert len(liquidations["events"]) == len(market["liquidations"])
    assert len(divergence["time"]) == 40 and all(p > 0 for p in divergence["price"])
