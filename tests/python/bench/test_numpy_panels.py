"""The NumPy baseline of the benchmarks computes the engine's frames exactly.

Its vectorised panels are checked against small worked examples, against plain sequential
replays of the synthetic tiny market, and against the engine's own frame replies."""

import json
import math
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "bench"))

import generate_market as gm
import numpy_panels as npn


def same(a, b):
    """Equal floats with equal signs of zero (NaN equals NaN)."""
    a, b = float(a), float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


@pytest.mark.parametrize(
    "x, want",
    [
        (0.123456789, 0.12345679),
        (0.000000005, 0.00000001),
        (-0.000000005, -0.00000001),
        (-0.0, -0.0),
        (0.0, 0.0),
        (2.5e-8, 3e-8),
        (-2.5e-8, -3e-8),
        (math.inf, math.inf),
        (-math.inf, -math.inf),
        (math.nan, math.nan),
    ],
)
def test_round8(x, want):
    assert same(npn.round8(x), want)


@pytest.mark.parametrize(
    "p, w, want",
    [(100.49, 0.5, 100.0), (100.5, 0.5, 100.5), (-3.0, 10.0, -10.0), (0.3, 0.1, 0.2), (0.7, 0.1, 0.6), (1.15, 0.05, 1.1)],
)
def test_bin_price(p, w, want):
    assert same(npn.bin_price(p, w), want)


def test_total_order_key_orders_signed_zeros_and_nans_and_separates_bit_patterns():
    values = np.array([math.nan, 1.0, -0.0, 0.0, -math.inf, math.inf, -1.0, -math.nan])
    order = np.argsort(npn.total_order_key(values), kind="stable")
    got = values[order]
    assert np.signbit(got[0]) and math.isnan(got[0])  # NaN with the sign bit set comes first
    assert got[1:7].tolist() == [-math.inf, -1.0, -0.0, 0.0, 1.0, math.inf]
    assert np.signbit(got[3]) and not np.signbit(got[4])
    assert math.isnan(got[7]) and not np.signbit(got[7])
    assert np.unique(npn.total_order_key(np.array([-0.0, 0.0, 0.0]))).size == 2


def trade(ts, price, qty, side):
    return {"ts": ts, "price": price, "qty": qty, "side": side}


def liq(ts, price, qty, side):
    return {"ts": ts, "price": price, "qty": qty, "side": side}


def book(ts, kind, bids, asks):
    return {"ts": ts, "kind": kind, "bids": bids, "asks": asks}


def candle(ts, close):
    return {"ts": ts, "open": close, "high": close, "low": close, "close": close, "volume": 1.0}


# (name, dataset, panel, cursor, expected panel members)
WORKED = [
    (
        "footprint",
        {"trades": [trade(1, 100.2, 1.0, "buy"), trade(2, 100.7, 2.0, "sell"), trade(3, 101.3, 0.5, "buy")]},
        {"kind": "footprint", "price_bin": 1.0},
        1000,
        {"price_bins": [100.0, 101.0], "buy_vol": [1.0, 0.5], "sell_vol": [2.0, 0.0]},
    ),
    (
        "footprint signed zero prices are two bins, minus zero first",
        {"trades": [trade(1, 0.0, 1.0, "sell"), trade(2, -0.0, 2.0, "buy")]},
        {"kind": "footprint", "price_bin": 1.0},
        10,
        {"price_bins": [-0.0, 0.0], "buy_vol": [2.0, 0.0], "sell_vol": [0.0, 1.0]},
    ),
    (
        "footprint trades out of order are sorted first",
        {"trades": [trade(5, 10.0, 0.1, "buy"), trade(1, 10.0, 0.2, "buy"), trade(9, 10.0, 0.3, "buy")]},
        {"kind": "footprint", "price_bin": 1.0},
        5,
        {"price_bins": [10.0], "buy_vol": [0.30000000], "sell_vol": [0.0]},
    ),
    (
        "heatmap closing book",
        {"book": [book(5, "snapshot", [[99.5, 2.0]], [[100.5, 3.0]])]},
        {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 1000, "depth_levels": 3},
        1000,
        {"time": [0], "price": [99.0, 100.0, 101.0], "intensity": [[2.0, 3.0, -0.0]]},
    ),
    (
        "heatmap rows replay up to each bucket end",
        {
            "book": [
                book(1000, "snapshot", [[99.5, 2.0]], [[100.5, 3.0]]),
                book(250000, "diff", [[99.5, 0.0], [99.2, 4.0]], [[100.1, 1.0]]),
            ]
        },
        {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 60000, "depth_levels": 4},
        300000,
        {
            "time": [0, 60000, 120000, 180000, 240000],
            "price": [97.0, 98.0, 99.0, 100.0],  # closing mid 99.65
            "intensity": [[-0.0, -0.0, 2.0, 3.0]] * 4 + [[-0.0, -0.0, 4.0, 4.0]],
        },
    ),
    (
        "heatmap empty when the book ends one-sided",
        {"book": [book(1, "snapshot", [[99.0, 1.0]], [[101.0, 1.0]]), book(2, "diff", [], [[101.0, 0.0]])]},
        {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 1000, "depth_levels": 4},
        10,
        {"time": [], "price": [], "intensity": []},
    ),
    (
        "heatmap snapshot of bids only empties the asks",
        {
            "book": [
                book(1, "snapshot", [[99.0, 1.0]], [[101.0, 1.0]]),
                book(1500, "snapshot", [[99.0, 5.0]], []),
                book(1600, "diff", [], [[100.0, 7.0]]),
            ]
        },
        {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 1000, "depth_levels": 3},
        2000,
        {"time": [0, 1000], "price": [98.0, 99.0, 100.0], "intensity": [[-0.0, 1.0, -0.0], [-0.0, 5.0, 7.0]]},
    ),
    (
        "liquidation map sorted by ts, bin, side",
        {"liquidations": [liq(5, 101.0, 1.5, "short"), liq(5, 99.0, 2.0, "long"), liq(3, 120.0, 1.0, "long")]},
        {"kind": "liquidation_map", "price_bin": 10.0},
        10,
        {"ts": [3, 5, 5], "price_bin": [120.0, 90.0, 100.0], "qty": [1.0, 2.0, 1.5], "side": [False, False, True]},
    ),
    (
        "liquidation map keeps recorded order within equal keys",
        {"liquidations": [liq(5, 104.0, 1.0, "long"), liq(5, 101.0, 2.0, "long"), liq(5, 102.0, 0.123456789, "short")]},
        {"kind": "liquidation_map", "price_bin": 10.0},
        10,
        {"ts": [5, 5, 5], "price_bin": [100.0, 100.0, 100.0], "qty": [1.0, 2.0, 0.12345679], "side": [False, False, True]},
    ),
    (
        "divergence carries values to each bucket end",
        {"funding": [{"ts": 30000, "rate": 0.0001}], "candles": [candle(0, 100.0), candle(120000, 101.0)]},
        {"kind": "funding_oi_divergence", "bucket_ms": 60000},
        200000,
        {"time": [0, 60000, 120000], "funding": [0.0001] * 3, "oi": [0.0] * 3, "price": [100.0, 100.0, 101.0]},
    ),
    (
        "divergence negative span and a record on a bucket end",
        {"funding": [{"ts": -1, "rate": 0.5}, {"ts": 1000, "rate": 0.000123456789}]},
        {"kind": "funding_oi_divergence", "bucket_ms": 1000},
        5000,
        {"time": [-1000, 0, 1000], "funding": [0.5, 0.5, 0.00012346], "oi": [0.0] * 3, "price": [0.0] * 3},
    ),
]


@pytest.mark.parametrize("name, dataset, panel, cursor, want", WORKED, ids=[w[0] for w in WORKED])
def test_worked_examples(name, dataset, panel, cursor, want):
    frame = npn.compute_frame(npn.Market(dataset), {"symbol": "S", "panels": [panel]}, cursor)
    got = frame["panels"][0]
    assert got["kind"] == panel["kind"]
    for key, values in want.items():
        array = np.asarray(got[key])
        assert array.shape[0] == len(values), key
        flat_got = array.reshape(-1).tolist()
        flat_want = np.asarray(values, dtype=array.dtype).reshape(-1).tolist()
        assert all(same(a, b) for a, b in zip(flat_got, flat_want)), (key, flat_got, flat_want)


# --- vectorised panels against plain sequential replays of a generated market ------------------


def r8(x):
    return float(npn.round8(x))


def replay_heatmap(events, w, b, depth):
    """The heatmap by direct replay of dict books, one bucket at a time."""

    def apply(state, e):
        if e["kind"] == "snapshot":
            state[0].clear()
            state[1].clear()
        for side, levels in zip(state, (e["bids"], e["asks"])):
            for price, qty in levels:
                if qty == 0:
                    side.pop(price, None)
                else:
                    side[price] = qty

    if not events:
        return [], [], []
    state = ({}, {})
    for e in events:
        apply(state, e)
    if not state[0] or not state[1]:
        return [], [], []
    centre = r8(math.floor((max(state[0]) + min(state[1])) * 0.5 / w) * w)
    grid = [r8((i - depth // 2) * w + centre) for i in range(depth)]
    first, last = events[0]["ts"] // b, events[-1]["ts"] // b
    state, at, times, rows = ({}, {}), 0, [], []
    for k in range(first, last + 1):
        while at < len(events) and events[at]["ts"] < (k + 1) * b:
            apply(state, events[at])
            at += 1
        row = []
        for p in grid:
            hi = r8(w + p)
            sums = []
            for side in state:
                total = -0.0
                for x in sorted(side):
                    if p <= x < hi:
                        total += side[x]
                sums.append(total)
            row.append(r8(sums[0] + sums[1]))
        times.append(k * b)
        rows.append(row)
    return times, grid, rows


def replay_footprint(trades, w):
    sums = {}
    for t in trades:
        key = r8(math.floor(t["price"] / w) * w)
        buy, sell = sums.get(key, (0.0, 0.0))
        sums[key] = (buy + t["qty"], sell) if t["side"] == "buy" else (buy, sell + t["qty"])
    keys = sorted(sums)
    return keys, [r8(sums[k][0]) for k in keys], [r8(sums[k][1]) for k in keys]


@pytest.fixture(scope="module")
def tiny_market():
    dataset = json.loads(gm.generate("tiny", 3))["dataset"]
    return dataset, npn.Market(dataset)


WINDOWS = [(60_000, 200_000, 1000), (150_000, 480_000, 5000), (0, 599_999, 7000), (300_000, 300_500, 100)]


@pytest.mark.parametrize("start, end, bucket", WINDOWS)
def test_heatmap_matches_a_sequential_replay(tiny_market, start, end, bucket):
    dataset, market = tiny_market
    lo, hi = gm.START_TS + start, gm.START_TS + end
    events = [e for e in dataset["book"] if lo <= e["ts"] <= hi]
    times, grid, rows = replay_heatmap(events, 1.0, bucket, 40)
    got = npn.book_heatmap(market, npn._window(market.book, lo, hi), 1.0, bucket, 40)
    assert got["time"].tolist() == times
    assert got["price"].tolist() == grid
    assert got["intensity"].shape[0] == len(rows)
    for got_row, want_row in zip(got["intensity"].tolist(), rows):
        assert all(same(a, b) for a, b in zip(got_row, want_row))


@pytest.mark.parametrize("start, end, bin_width", [(0, 599_999, 1.0), (100_000, 130_000, 0.3), (0, 599_999, 5.0)])
def test_footprint_matches_sequential_sums(tiny_market, start, end, bin_width):
    dataset, market = tiny_market
    lo, hi = gm.START_TS + start, gm.START_TS + end
    keys, buy, sell = replay_footprint([t for t in dataset["trades"] if lo <= t["ts"] <= hi], bin_width)
    got = npn.footprint(npn._window(market.trades, lo, hi), bin_width)
    assert got["price_bins"].tolist() == keys
    assert got["buy_vol"].tolist() == buy
    assert got["sell_vol"].tolist() == sell


# --- against the engine --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def engine():
    module = pytest.importorskip("_korvel_vorn")
    if not hasattr(module, "Vorn"):
        pytest.skip("the extension module has no Vorn class yet")
    return module


@pytest.mark.parametrize("seed", [1, 4])
def test_numpy_frames_agree_with_engine_replies(engine, seed):
    text = gm.generate("tiny", seed)
    market = npn.Market(json.loads(text)["dataset"])
    vorn = engine.Vorn("")
    assert vorn.command(text) == '{"ok":true,"loaded":%d}' % sum(gm.PRESETS["tiny"].expected_counts().values())
    rng = np.random.default_rng(seed)
    end = gm.START_TS + gm.PRESETS["tiny"].duration_ms
    # Cursors across the recording, plus one before it (an empty window) and one after it.
    cursors = [*rng.integers(gm.START_TS, end, size=6).tolist(), gm.START_TS - 1, end + 60000]
    for cursor in cursors:
        for window_ms, bucket in ((120_000, 1000), (3_600_000, 60_000)):
            spec = {
                "dataset_ref": "tiny",
                "symbol": gm.SYMBOL,
                "from_ts": cursor - window_ms,
                "to_ts": None,
                "panels": [
                    {"kind": "footprint", "price_bin": 1.0, "bucket_ms": 60000},
                    {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": bucket, "depth_levels": 40},
                    {"kind": "liquidation_map", "price_bin": 10.0},
                    {"kind": "funding_oi_divergence", "bucket_ms": bucket},
                ],
            }
            assert vorn.command(json.dumps({"cmd": "set_spec", "spec": spec})) == '{"ok":true}'
            reply = json.loads(vorn.command('{"cmd":"frame_at","ts":%d}' % cursor))
            assert npn.compare_frame(reply, npn.compute_frame(market, spec, cursor)) == []
