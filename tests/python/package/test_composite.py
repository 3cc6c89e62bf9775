"""One instrument over several venues (`korvel_vorn.composite`): every aggregated array equals its
definition, computed independently (`composite_reference`) from single-venue sessions and from the
venues' raw book events, over random markets, windows, venue orders and venues missing lists."""

import math
import random

import composite_reference as ref
import numpy as np
import pytest

from korvel_vorn import Session
from korvel_vorn.commands import book_heatmap, footprint, funding_oi_divergence, liquidation_map, spec_value
from korvel_vorn.composite import CompositeSession
from korvel_vorn.composite.arithmetic import order_keys, round8

W, B, DEPTH = 0.5, 5_000, 9
FUNDING_B = 20_000
PANELS = [footprint(price_bin=W), book_heatmap(price_bin=W, bucket_ms=B, depth_levels=DEPTH),
          liquidation_map(price_bin=W), funding_oi_divergence(bucket_ms=FUNDING_B)]
LISTS = ("candles", "trades", "book", "funding", "oi", "liquidations")


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64).tolist()


def same(actual, expected):
    assert bits(actual) == bits(expected)


def random_venue(rng, offset, span):
    """A market around 100 + offset: lists sorted by ts, ties kept, some lists left empty."""
    base = 100.0 + offset

    def times(n):
        return sorted(rng.randrange(span) for _ in range(n))

    price = lambda: round(base + rng.uniform(-3, 3), 1)  # noqa: E731
    book = []
    for i, ts in enumerate(times(rng.randrange(1, 25))):
        kind = "snapshot" if (i == 0 and rng.random() < 0.8) or rng.random() < 0.15 else "diff"
        bids = [[round(base - rng.uniform(0, 3), 1), rng.choice([0.0, round(rng.uniform(0.1, 5), 3)])]
                for _ in range(rng.randrange(0, 5))]
        asks = [[round(base + rng.uniform(0, 3), 1), rng.choice([0.0, round(rng.uniform(0.1, 5), 3)])]
                for _ in range(rng.randrange(0, 5))]
        book.append({"ts": ts, "kind": kind, "bids": bids, "asks": asks})
    lists = {
        "trades": [{"ts": ts, "price": price(), "qty": round(rng.uniform(0.001, 2), 4), "side": rng.choice(["buy", "sell"])}
                   for ts in times(rng.randrange(1, 40))],
        "book": book,
        "liquidations": [{"ts": ts, "price": price(), "qty": round(rng.uniform(0.01, 3), 9),
                          "side": rng.choice(["long", "short"])} for ts in times(rng.randrange(0, 8))],
        "funding": [{"ts": ts, "rate": rng.uniform(-1e-3, 1e-3)} for ts in times(rng.randrange(0, 4))],
        "oi": [{"ts": ts, "oi": rng.choice([0.0, round(rng.uniform(100, 9000), 3)])} for ts in times(rng.randrange(0, 6))],
        "candles": [{"ts": ts, "open": base, "high": base + 1, "low": base - 1, "close": price(), "volume": 1.0}
                    for ts in times(rng.randrange(0, 6))],
    }
    for name in list(lists):
        if rng.random() < 0.25:
            lists[name] = []  # a venue missing a list
    if not any(lists.values()):
        lists["trades"] = [{"ts": 0, "price": base, "qty": 1.0, "side": "buy"}]
    return lists


def window_of(records, from_ts, end):
    return [r for r in records if (from_ts is None or r["ts"] >= from_ts) and r["ts"] <= end]


def events_list(panel):
    e = panel["events"]
    return list(zip(e["ts"].tolist(), e["price_bin"].tolist(), e["qty"].tolist(), e["side"].tolist()))


def check_frame(markets, names, spec, cursor, detail):
    composite = CompositeSession(spec)
    singles = []
    for name in names:
        single = Session(spec)
        single.load({k: v for k, v in markets[name].items() if v})
        singles.append(single)
        venue = Session()
        venue.load({k: v for k, v in markets[name].items() if v})
        composite.add_venue(name, "BTCUSDT", venue, [r["ts"] for r in markets[name]["funding"]])
    frame = composite.frame_arrays(cursor, detail=detail)
    if cursor is None:  # the spec's to_ts, else the latest record of any venue
        last = max(max((r["ts"] for lst in markets[n].values() for r in lst), default=-10**18) for n in names)
        cursor = spec.get("to_ts") if spec.get("to_ts") is not None else last
    own = [s.frame_arrays(cursor) for s in singles]
    end = own[0]["cursor_ts"]
    assert frame["cursor_ts"] == end and frame["venues"] == list(names)
    fp, hm, lm, fo = frame["panels"]

    prices, buys, sells = ref.footprint([{k: f["panels"][0][k].tolist() for k in ("price_bins", "buy_vol", "sell_vol")}
                                         for f in own])
    same(fp["price_bins"], prices)
    same(fp["buy_vol"], buys)
    same(fp["sell_vol"], sells)

    from_ts = spec.get("from_ts")
    books = [window_of(markets[name]["book"], from_ts, end) for name in names]
    time, grid, rows, venue_rows = ref.heatmap(books, W, B, DEPTH)
    assert hm["time"].tolist() == time
    same(hm["price"], grid)
    same(hm["intensity"].reshape(-1), [c for row in rows for c in row])
    assert hm["intensity"].shape == (len(time), len(grid) if time else 0)

    events, venues = ref.liquidations([events_list(f["panels"][2]) for f in own])
    assert events_list(lm) == events

    first_funding = [min((r["ts"] for r in window_of(markets[n]["funding"], from_ts, end)), default=None) for n in names]
    t, funding, oi, price = ref.funding_oi([{k: f["panels"][3][k].tolist() for k in ("time", "funding", "oi", "price")}
                                            for f in own], FUNDING_B, first_funding)
    assert fo["time"].tolist() == t
    same(fo["funding"], funding)
    same(fo["oi"], oi)
    same(fo["price"], price)

    if detail:
        assert lm["venue"].tolist() == venues
        for i, name in enumerate(names):
            same(hm["venues"][name]["intensity"].reshape(-1), [c for row in venue_rows[i] for c in row])
            assert set(fp["venues"][name]) == {"buy_vol", "sell_vol"}
        # the per-venue parts add up to the aggregate (round8 of their sum in venue order)
        total = sum_in_order([fp["venues"][n]["buy_vol"] for n in names])
        same(fp["buy_vol"], round8(total))
    return frame


def sum_in_order(arrays):
    total = np.full(arrays[0].shape, -0.0)
    for a in arrays:
        total = total + a
    return total


@pytest.mark.parametrize("seed", range(60))
def test_aggregate_equals_its_definition(seed):
    rng = random.Random(seed)
    span = 120_000
    exchanges = ["binance-um", "bybit", "binance-spot"][: rng.randrange(1, 4)]
    markets = {name: random_venue(rng, rng.choice([0.0, 0.7, -2.3, 5.0]), span) for name in exchanges}
    if rng.random() < 0.2:  # the reference venue without a book, or with a one-sided closing book
        first = exchanges[0]
        markets[first]["book"] = [] if rng.random() < 0.5 else [
            {"ts": 10, "kind": "snapshot", "bids": [[99.0, 1.0]], "asks": []}]
    names = exchanges[:]
    rng.shuffle(names)
    from_ts = rng.choice([None, rng.randrange(span // 2)])
    to_ts = rng.choice([None, None, rng.randrange(span // 2, span)])
    spec = spec_value(symbol="BTCUSDT", panels=PANELS, from_ts=from_ts, to_ts=to_ts)
    cursor = rng.choice([None, rng.randrange(span // 4, span + 10_000), rng.randrange(span // 4, span + 10_000)])
    check_frame(markets, names, spec, cursor, detail=rng.random() < 0.5)


def test_one_venue_is_its_own_frame():
    rng = random.Random(7)
    markets = {"bybit": random_venue(rng, 0.0, 60_000)}
    markets["bybit"]["book"] = [{"ts": 5, "kind": "snapshot", "bids": [[99.5, 2.0]], "asks": [[100.5, 3.0]]}]
    spec = spec_value(symbol="BTCUSDT", panels=PANELS)
    frame = check_frame(markets, ["bybit"], spec, 60_000, detail=False)
    single = Session(spec)
    single.load({k: v for k, v in markets["bybit"].items() if v})
    for mine, theirs in zip(frame["panels"], single.frame_arrays(60_000)["panels"]):
        for key, value in theirs.items():
            if key == "kind":
                continue
            if key == "events":
                assert events_list(mine) == events_list(theirs)
            else:
                same(mine[key], value)


def test_heatmap_cells_add_across_venues_on_the_reference_grid():
    # The reference's closing mid is 100.0: the grid is [99, 100, 101]; the second venue's book,
    # far from its own mid, still counts in the reference's bins.
    spec = spec_value(symbol="X", panels=[book_heatmap(price_bin=1.0, bucket_ms=1000, depth_levels=3)])
    composite = CompositeSession(spec)
    for name, book in (("binance-um", [{"ts": 1000, "kind": "snapshot", "bids": [[99.5, 2.0]], "asks": [[100.5, 3.0]]}]),
                       ("bybit", [{"ts": 3500, "kind": "snapshot", "bids": [[99.2, 0.25]], "asks": [[140.0, 1.0]]}])):
        venue = Session()
        venue.load({"book": book})
        composite.add_venue(name, "X", venue)
    hm = composite.frame_arrays(5000)["panels"][0]
    assert hm["time"].tolist() == [1000, 2000, 3000]
    assert hm["price"].tolist() == [99.0, 100.0, 101.0]
    assert bits(hm["intensity"].reshape(-1)) == bits([2.0, 3.0, -0.0, 2.0, 3.0, -0.0, 2.25, 3.0, -0.0])
    off = composite.frame_arrays(5000, venues=["bybit"])["panels"][0]  # the reference switched off
    assert off["time"].tolist() == [3000] and off["price"].tolist() == [118.0, 119.0, 120.0]


def test_funding_is_weighted_by_open_interest_and_falls_back_to_the_plain_mean():
    spec = spec_value(symbol="X", panels=[funding_oi_divergence(bucket_ms=1000)])
    composite = CompositeSession(spec)
    data = {"binance-um": {"funding": [{"ts": 0, "rate": 0.0001}], "oi": [{"ts": 1500, "oi": 300.0}]},
            "bybit": {"funding": [{"ts": 500, "rate": 0.0003}], "oi": [{"ts": 2500, "oi": 100.0}]}}
    for name, lists in data.items():
        venue = Session()
        venue.load(lists)
        composite.add_venue(name, "X", venue, [r["ts"] for r in lists["funding"]])
    fo = composite.frame_arrays(3000)["panels"][0]
    assert fo["time"].tolist() == [0, 1000, 2000]
    assert fo["oi"].tolist() == [0.0, 300.0, 400.0]
    # no oi yet: the plain mean of the rates of both venues; then all weight on the first; then 3:1
    assert fo["funding"].tolist() == [0.0002, 0.0001, round8((0.0001 * 300 + 0.0003 * 100) / 400).item()]


def test_unknown_venue_and_no_venue_switched_on_are_errors():
    composite = CompositeSession(spec_value(symbol="X", panels=PANELS))
    venue = Session()
    venue.load({"trades": [{"ts": 1, "price": 1.0, "qty": 1.0, "side": "buy"}]})
    composite.add_venue("bybit", "X", venue)
    with pytest.raises(ValueError, match="unknown venue 'okx'"):
        composite.frame_arrays(5, venues=["okx"])
    with pytest.raises(ValueError, match="no venue switched on"):
        composite.frame_arrays(5, venues=[])


@pytest.mark.parametrize("x", [0.123456789, 0.000000005, -0.000000005, -0.0, 0.0, 2.5e-8, -2.5e-8, 1e300, -1e-300,
                               math.inf, 123456.123456785, 4.5035996273704955e7])
def test_round8_matches_the_engine_rule(x):
    same(round8([x]), [ref.round8(x)])


def test_order_keys_follow_the_total_order():
    values = [math.inf, -0.0, 0.0, -1.5, 3.0, -math.inf, 1e-300]
    assert np.argsort(order_keys(values), kind="stable").tolist() == sorted(range(len(values)),
                                                                             key=lambda i: ref.total_order(values[i]))


@pytest.mark.parametrize("book, grid_mid, price, last_row", [
    # its own closing mid (100.0), reported as the mid used
    ([[99.5, 2.0]], math.nan, [99.0, 100.0, 101.0], [2.0, 3.0, -0.0]),
    # a given mid moves the grid; the book's cells are computed on it
    ([[99.5, 2.0]], 102.7, [101.0, 102.0, 103.0], [-0.0, -0.0, -0.0]),
    ([[99.5, 2.0]], 99.2, [98.0, 99.0, 100.0], [-0.0, 2.0, 3.0]),
    # a closing book without bids: empty on its own, cells on a given grid
    ([], math.nan, [], None),
    ([], 100.4, [99.0, 100.0, 101.0], [-0.0, 3.0, -0.0]),
])
def test_engine_centres_the_heatmap_on_a_given_mid(book, grid_mid, price, last_row):
    session = Session(spec_value(symbol="X", panels=[book_heatmap(price_bin=1.0, bucket_ms=1000, depth_levels=3)]))
    session.load({"book": [{"ts": 1000, "kind": "snapshot", "bids": book, "asks": [[100.5, 3.0]]}]})
    panel = session.engine.frame(None, grid_mid=grid_mid)[2][0]
    assert np.asarray(panel["price"]).tolist() == price
    if last_row is None:
        assert np.asarray(panel["time"]).size == 0 and math.isnan(panel["grid_mid"])
    else:
        same(np.asarray(panel["intensity"])[-1], last_row)
        expected_mid = 100.0 if math.isnan(grid_mid) else grid_mid
        assert panel["grid_mid"] == expected_mid
    assert "grid_mid" not in session.engine.frame(None)[2][0]  # only when asked


def test_studies_take_the_aggregate_and_each_venue():
    from korvel_vorn import studies

    rng = random.Random(3)
    spec = spec_value(symbol="X", panels=PANELS)
    composite = CompositeSession(spec)
    for name, offset in (("binance-um", 0.0), ("bybit", 0.7)):
        venue = Session()
        venue.load({k: v for k, v in random_venue(rng, offset, 120_000).items() if v})
        composite.add_venue(name, "X", venue)
    clusters = composite.clusters(120_000, price_bin=0.5, bucket_ms=30_000, detail=True)
    total = studies.delta(clusters)
    parts = [studies.delta(own) for own in clusters["by_venue"].values()]
    assert np.allclose(total, parts[0] + parts[1])
    for own in [clusters, *clusters["by_venue"].values()]:
        poc = studies.point_of_control(own)
        assert len(poc["bucket"]) == len(clusters["time"])
