"""Footprint clusters and the heatmap's detail, against independent plain-Python computations."""

import json
import math
import random

import numpy as np
import pytest

import korvel_vorn as kv
from korvel_vorn import Session
from korvel_vorn.commands import book_heatmap, footprint, spec_value


def round8(x):
    """x * 1e8 rounded half away from zero, divided by 1e8, as the engine rounds."""
    scaled = x * 100000000.0
    if not math.isfinite(scaled):
        return scaled / 100000000.0
    whole = math.floor(abs(scaled))
    if abs(scaled) - whole >= 0.5:
        whole += 1
    return math.copysign(whole, scaled) / 100000000.0


def bin_edge(price, w):
    return round8(math.floor(price / w) * w)


def plain_clusters(trades, w, b, lo, hi):
    """Buy and sell volume per (bucket, bin) of the trades with lo <= ts <= hi, in trade order."""
    cells = {}
    for ts, price, qty, side in sorted((t for t in trades if lo <= t[0] <= hi), key=lambda t: t[0]):
        key = (ts // b * b, bin_edge(price, w))
        buy, sell = cells.get(key, (0.0, 0.0))
        cells[key] = (buy + qty, sell) if side == "buy" else (buy, sell + qty)
    times = sorted({k[0] for k in cells})
    prices = sorted({k[1] for k in cells})
    buy = np.zeros((len(times), len(prices)))
    sell = np.zeros((len(times), len(prices)))
    for (t, p), (bv, sv) in cells.items():
        buy[times.index(t), prices.index(p)] = round8(bv)
        sell[times.index(t), prices.index(p)] = round8(sv)
    return times, prices, buy, sell


def session_with(trades, book=(), **window):
    session = Session(spec_value(symbol="S", panels=[footprint(price_bin=0.5),
                                                     book_heatmap(price_bin=0.5, bucket_ms=1000, depth_levels=16)],
                                 **window))
    session.load({"trades": [list(t) for t in trades], "book": [list(e) for e in book]})
    return session


def random_trades(rng, n, t0=1_700_000_000_000):
    return [(t0 + rng.randrange(0, 600_000), round(100 + rng.uniform(-3, 3), 2), round(rng.uniform(0.001, 2), 3),
             rng.choice(("buy", "sell"))) for _ in range(n)]


@pytest.mark.parametrize("seed, w, b", [(1, 0.5, 60_000), (2, 0.1, 1_000), (3, 1.0, 7_000), (4, 0.25, 600_000)])
def test_clusters_equal_a_plain_computation(seed, w, b):
    rng = random.Random(seed)
    trades = random_trades(rng, 3000)
    lo, hi = 1_700_000_100_000, 1_700_000_500_000
    session = session_with(trades, from_ts=lo)
    got = session.clusters(hi, price_bin=w, bucket_ms=b)
    times, prices, buy, sell = plain_clusters(trades, w, b, lo, hi)
    assert got["time"].dtype == np.int64 and got["time"].tolist() == times
    assert got["price"].tolist() == prices
    assert np.array_equal(got["buy_vol"], buy) and np.array_equal(got["sell_vol"], sell)
    assert got["buy_vol"].shape == (len(times), len(prices)) and got["cursor_ts"] == hi


def assert_one_bucket_is_the_footprint(session):
    bounds = session.bounds()
    for ts in (bounds["from_ts"] + 60_000, bounds["to_ts"]):
        fp = session.frame_arrays(ts)["panels"][0]
        got = session.clusters(ts, price_bin=1.0, bucket_ms=2**62)
        assert got["time"].size == 1
        assert got["price"].tobytes() == fp["price_bins"].tobytes()
        assert got["buy_vol"][0].tobytes() == fp["buy_vol"].tobytes()
        assert got["sell_vol"][0].tobytes() == fp["sell_vol"].tobytes()


def test_one_bucket_over_the_window_is_the_footprint_on_generated_data():
    rng = random.Random(9)
    session = session_with([*random_trades(rng, 5000), (1700000000000, -0.0, 1.0, "sell"), (1700000000001, 0.0, 2.0, "buy")])
    session.set_spec(spec_value(symbol="S", panels=[footprint(price_bin=1.0)]))
    assert_one_bucket_is_the_footprint(session)


def test_one_bucket_over_the_window_is_the_footprint_bit_for_bit(real_data_dir):
    for path in sorted(real_data_dir.glob("*.dataset.json"))[:2]:
        session = Session(spec_value(symbol="S", panels=[footprint(price_bin=1.0)]))
        session.load_file(path)
        assert_one_bucket_is_the_footprint(session)


def test_clusters_on_a_recording_equal_a_plain_computation(real_data_dir):
    path = sorted(real_data_dir.glob("*.dataset.json"))[0]
    value = json.loads(path.read_text())
    trades = [(t["ts"], t["price"], t["qty"], t["side"]) for t in value["trades"]]
    session = Session(spec_value(symbol="S", panels=[footprint(price_bin=1.0)]))
    session.load_file(path)
    got = session.clusters(price_bin=5.0, bucket_ms=30_000)
    times, prices, buy, sell = plain_clusters(trades, 5.0, 30_000, -2**63, got["cursor_ts"])
    assert got["time"].tolist() == times and got["price"].tolist() == prices
    assert np.array_equal(got["buy_vol"], buy) and np.array_equal(got["sell_vol"], sell)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"price_bin": 0.0, "bucket_ms": 1}, kv.VornBadSpecError, "clusters price_bin must be a positive number"),
    ({"price_bin": math.nan, "bucket_ms": 1}, kv.VornBadSpecError, "clusters price_bin must be a positive number"),
    ({"price_bin": 1.0, "bucket_ms": 0}, kv.VornBadSpecError, "clusters bucket_ms must be > 0"),
    ({"price_bin": 1e-300, "bucket_ms": 1}, kv.VornDataError, "clusters grid too large"),
])
def test_clusters_errors(kwargs, error, message):
    session = session_with([(t, 100.0 + t * 1e-3, 1.0, "buy") for t in range(0, 200_000, 1)][:70_000])
    with pytest.raises(error, match=message):
        session.clusters(**kwargs)
    with pytest.raises(kv.VornBadSpecError, match="no spec set"):
        Session().clusters(price_bin=1.0, bucket_ms=1)


def test_clusters_of_an_empty_window():
    session = session_with([(5, 100.0, 1.0, "buy")], from_ts=10)
    got = session.clusters(price_bin=1.0, bucket_ms=1000)
    assert got["time"].size == 0 and got["price"].size == 0 and got["buy_vol"].shape == (0, 0)


def test_clusters_bucket_starts_below_the_smallest_timestamp():
    session = session_with([(-2**63, 100.0, 1.0, "buy")])
    with pytest.raises(kv.VornDataError, match="clusters time buckets out of range"):
        session.clusters(-2**63, price_bin=1.0, bucket_ms=3)


# ----------------------------------------------------------------------------- heatmap detail

def random_book(rng, events, t0=0):
    book = [(t0, "snapshot", [(round(99.5 - 0.25 * i, 2), rng.choice((1.0, 2.5, 0.125))) for i in range(12)],
             [(round(100.5 + 0.25 * i, 2), rng.choice((1.0, 3.0))) for i in range(12)])]
    for k in range(events):
        side_bids = [(round(rng.uniform(97, 100.2), 1), rng.choice((0.0, 0.5, 1.5))) for _ in range(rng.randrange(0, 4))]
        side_asks = [(round(rng.uniform(99.8, 103), 1), rng.choice((0.0, 0.75, 2.0))) for _ in range(rng.randrange(0, 4))]
        kind = "snapshot" if rng.random() < 0.03 else "diff"
        book.append((t0 + 37 * (k + 1), kind, side_bids, side_asks))
    return book


def replay_mid(book, end):
    bids, asks = {}, {}
    for ts, kind, b, a in book:
        if ts >= end:
            break
        if kind == "snapshot":
            bids.clear()
            asks.clear()
        for side, levels in ((bids, b), (asks, a)):
            for p, q in levels:
                if q == 0.0:
                    side.pop(p, None)
                else:
                    side[p] = q
    if not bids or not asks:
        return math.nan
    return (max(bids) + min(asks)) * 0.5


@pytest.mark.parametrize("seed", range(6))
def test_heatmap_detail_on_random_books(seed):
    rng = random.Random(seed)
    book = random_book(rng, 400)
    trades = [(37 * k + 5, round(rng.uniform(99, 101), 2), 1.0, "buy") for k in range(0, 400, 7)]
    session = session_with(trades, book)
    plain = session.frame_arrays()["panels"][1]
    hm = session.frame_arrays(detail=True)["panels"][1]
    for key in ("time", "price", "intensity"):
        assert hm[key].tobytes() == plain[key].tobytes()
    bid, ask, total = hm["bid_intensity"], hm["ask_intensity"], hm["intensity"]
    assert bid.shape == ask.shape == total.shape
    only_ask = (bid == 0) & (ask != 0)
    only_bid = (ask == 0) & (bid != 0)
    assert np.array_equal(total[only_ask], ask[only_ask]) and np.array_equal(total[only_bid], bid[only_bid])
    neither = (bid == 0) & (ask == 0)
    assert np.all(total[neither] == 0)
    np.testing.assert_allclose(total, bid + ask, rtol=1e-12, atol=1e-8)
    bucket = 1000
    for k, start in enumerate(hm["time"].tolist()):
        end = start + bucket
        before = [t[1] for t in trades if t[0] < end]
        want = before[-1] if before else math.nan
        assert (hm["last_price"][k] == want) or (math.isnan(want) and math.isnan(hm["last_price"][k]))
        mid = replay_mid(book, end)
        assert (hm["mid"][k] == mid) or (math.isnan(mid) and math.isnan(hm["mid"][k]))


def test_detail_of_an_empty_heatmap():
    session = session_with([(5, 100.0, 1.0, "buy")])
    hm = session.frame_arrays(detail=True)["panels"][1]
    assert hm["bid_intensity"].shape == (0, 0) and hm["last_price"].size == 0 and hm["mid"].size == 0
