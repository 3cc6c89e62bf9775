"""The batch tables of one symbol-day against independent computations over the same records
(plain NumPy, pandas and Python loops written here), on generated days and on the recordings."""

from __future__ import annotations

import json
import math

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pd = pytest.importorskip("pandas")

from batch_catalog import DAY_MS, day_start, generated_day, split_days, write_day  # noqa: E402

from korvel_vorn import Session  # noqa: E402
from korvel_vorn.batch import run_job  # noqa: E402
from korvel_vorn.batch.day_tables import BAR_COLUMNS, book_columns  # noqa: E402

EXCHANGE = "test-ex"


# ----------------------------------------------------------------------------- independent computations

def round8(x):
    s = np.asarray(x, dtype=np.float64) * 1e8
    r = np.trunc(s)
    r = r + np.where(np.abs(s - r) >= 0.5, np.sign(s), 0.0)
    return r / 1e8


def sorted_list(columns):
    order = np.argsort(columns["ts"], kind="stable")
    return {k: v[order] for k, v in columns.items()}


def expected_cells(trades, start, bucket, w):
    """{(bucket start, bin edge): [buy, sell]} summed trade by trade from 0.0, then rounded to 8 places."""
    cells = {}
    edges = round8(np.floor(trades["price"] / w) * w)
    for t, edge, q, s in zip(trades["ts"], edges, trades["qty"], trades["side"]):
        key = (start + (int(t) - start) // bucket * bucket, float(edge))
        cell = cells.setdefault(key, [0.0, 0.0])
        cell[int(s)] += float(q)
    return {k: [float(round8(v[0])), float(round8(v[1]))] for k, v in cells.items()}


def poc_and_value_area(volumes, share=0.7):
    """Point of control (lowest on a tie) and value area over the day's bins (a list of volumes)."""
    total = sum(volumes)
    if total <= 0:
        return math.nan, None, None
    best = max(range(len(volumes)), key=lambda i: (volumes[i], -i))
    low = high = best
    covered = volumes[best]
    while covered < share * total and (low > 0 or high < len(volumes) - 1):
        below = volumes[low - 1] if low > 0 else -1.0
        above = volumes[high + 1] if high < len(volumes) - 1 else -1.0
        if above >= below:
            high += 1
            covered += above
        else:
            low -= 1
            covered += below
    return best, low, high


def expected_bars(lists, day, bucket, w):
    start = day_start(day)
    trades = sorted_list(lists["trades"])
    frame = pd.DataFrame({"bucket": (trades["ts"] - start) // bucket, "price": trades["price"], "qty": trades["qty"],
                          "buy": np.where(trades["side"] == 0, trades["qty"], 0.0),
                          "sell": np.where(trades["side"] == 1, trades["qty"], 0.0)})
    frame["notional"] = frame.price * frame.qty
    grouped = frame.groupby("bucket").agg(open=("price", "first"), high=("price", "max"), low=("price", "min"),
                                          close=("price", "last"), volume=("qty", "sum"), buy_volume=("buy", "sum"),
                                          sell_volume=("sell", "sum"), trades=("price", "size"),
                                          notional=("notional", "sum"))
    buckets = np.arange(frame.bucket.iloc[0], frame.bucket.iloc[-1] + 1)
    bars = grouped.reindex(buckets)
    out = pd.DataFrame({"ts": start + buckets * bucket})
    for name in ("open", "high", "low", "close"):
        out[name] = bars[name].to_numpy()
    for name in ("volume", "buy_volume", "sell_volume"):
        out[name] = bars[name].fillna(0.0).to_numpy()
    out["delta"] = out.buy_volume - out.sell_volume
    out["cum_delta"] = out.delta.cumsum()
    out["trades"] = bars.trades.fillna(0).astype(np.int64).to_numpy()
    out["vwap"] = (bars.notional / bars.volume).to_numpy()
    # Point of control and value area on the day's bins (the clusters' columns).
    cells = expected_cells(trades, start, bucket, w)
    columns = sorted({edge for _, edge in cells})
    poc, val, vah = [], [], []
    for b in out.ts:
        volumes = [sum(cells.get((int(b), edge), [0.0, 0.0])) for edge in columns]
        best, low, high = poc_and_value_area(volumes)
        poc.append(math.nan if low is None else columns[best])
        val.append(math.nan if low is None else columns[low])
        vah.append(math.nan if high is None else columns[high])
    out["poc"], out["value_area_low"], out["value_area_high"] = poc, val, vah
    ends = out.ts.to_numpy() + bucket
    for name, side in (("liquidated_long", 0), ("liquidated_short", 1)):
        liq = lists.get("liquidations")
        values = []
        for b in out.ts:
            if liq is None:
                values.append(0.0)
                continue
            mask = (liq["ts"] >= b) & (liq["ts"] < b + bucket) & (liq["side"] == side)
            values.append(float(liq["qty"][mask].sum()))
        out[name] = values
    for name, list_name, field in (("funding_rate", "funding", "rate"), ("open_interest", "oi", "oi")):
        records = sorted_list(lists[list_name]) if list_name in lists else {"ts": np.zeros(0, np.int64)}
        values = []
        for end in ends:
            before = np.flatnonzero(records["ts"] < end)
            values.append(float(records[field][before[-1]]) if before.size else math.nan)
        out[name] = values
    return out, cells


def expected_book(lists, day, bucket, w, depths, starts):
    """Replays the book event by event in plain Python dicts."""
    book = lists["book"]
    order = np.argsort(book["ts"], kind="stable")
    bid_at = np.concatenate([[0], np.cumsum(book["bid_count"])])
    ask_at = np.concatenate([[0], np.cumsum(book["ask_count"])])
    bids, asks, started, i = {}, {}, False, 0
    rows = []
    for s in starts:
        end = s + bucket
        while i < order.size and book["ts"][order[i]] < end:
            e = order[i]
            if book["kind"][e] == 0:
                started, bids, asks = True, {}, {}
            if started:
                for side, prices, qtys, a, b in ((bids, book["bid_price"], book["bid_qty"], bid_at[e], bid_at[e + 1]),
                                                 (asks, book["ask_price"], book["ask_qty"], ask_at[e], ask_at[e + 1])):
                    for p, q in zip(prices[a:b], qtys[a:b]):
                        if q == 0:
                            side.pop(float(p), None)
                        else:
                            side[float(p)] = float(q)
            i += 1
        row = {"ts": s, "best_bid": max(bids) if bids else math.nan, "best_ask": min(asks) if asks else math.nan}
        both = bool(bids) and bool(asks)
        row["mid"] = (row["best_bid"] + row["best_ask"]) * 0.5 if both else math.nan
        row["spread"] = row["best_ask"] - row["best_bid"] if both else math.nan
        for k in depths:
            if both:
                bid = sum(q for p, q in bids.items() if p >= row["mid"] - k * w)
                ask = sum(q for p, q in asks.items() if p <= row["mid"] + k * w)
                imbalance = (bid - ask) / (bid + ask) if bid + ask != 0 else math.nan
            else:
                bid = ask = imbalance = math.nan
            row[f"bid_depth_{k}"], row[f"ask_depth_{k}"], row[f"imbalance_{k}"] = bid, ask, imbalance
        rows.append(row)
    return pd.DataFrame(rows)


# ----------------------------------------------------------------------------- the comparison

def assert_column(got, want, name, exact=False):
    got = np.asarray(got, dtype=np.float64)
    want = np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape, name
    assert np.array_equal(np.isnan(got), np.isnan(want)), f"{name}: NaN at different rows"
    if exact:
        assert np.array_equal(got[~np.isnan(got)], want[~np.isnan(want)]), name
    else:
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-9, err_msg=name)


def run_day(tmp_path, lists, day, bucket=60_000, w=1.0, depths=(0, 2, 5), symbol="SYM"):
    catalog, out = tmp_path / "catalog", tmp_path / "out"
    write_day(catalog, EXCHANGE, symbol, day, lists)
    report = run_job(str(catalog), str(out), EXCHANGE, symbol, day, ["bars", "footprint", "book"], bucket, w,
                     list(depths))
    assert report["error"] is None, report["error"]
    tables = {}
    for table in ("bars", "footprint", "book"):
        path = out / table / f"exchange={EXCHANGE}" / f"symbol={symbol}" / f"date={day}" / "part-0.parquet"
        tables[table] = pq.read_table(path) if path.exists() else None
    return report, tables


def check_day(tmp_path, lists, day, bucket=60_000, w=1.0, depths=(0, 2, 5)):
    report, tables = run_day(tmp_path, lists, day, bucket, w, depths)
    bars = tables["bars"]
    assert tuple(bars.schema.names) == BAR_COLUMNS
    assert bars.schema.field("ts").type == pa.timestamp("ms", tz="UTC")
    assert bars.column("open").null_count == 0  # NaN, never null
    want, cells = expected_bars(lists, day, bucket, w)
    got = bars.to_pandas()
    assert np.array_equal(got.ts.astype("int64") // 1_000_000 if got.ts.dtype.kind == "M" else got.ts, want.ts) or \
        np.array_equal(bars.column("ts").cast(pa.int64()).to_numpy(), want.ts.to_numpy())
    for name in BAR_COLUMNS[1:]:
        exact = name in ("open", "high", "low", "close", "trades", "poc", "value_area_low", "value_area_high",
                         "funding_rate", "open_interest")
        assert_column(got[name], want[name], name, exact=exact)
    meta = bars.schema.metadata
    assert json.loads(meta[b"korvel_vorn.params"]) == {"bucket_ms": bucket, "price_bin": w}
    assert meta[b"korvel_vorn.version"]

    footprint = tables["footprint"]
    got_cells = {(int(t), float(p)): [float(b), float(s)] for t, p, b, s in zip(
        footprint.column("ts").cast(pa.int64()).to_pylist(), footprint.column("price_bin").to_pylist(),
        footprint.column("buy_volume").to_pylist(), footprint.column("sell_volume").to_pylist())}
    assert got_cells == {k: v for k, v in cells.items() if v != [0.0, 0.0]}
    keys = list(zip(footprint.column("ts").cast(pa.int64()).to_pylist(), footprint.column("price_bin").to_pylist()))
    assert keys == sorted(keys)

    if "book" in lists:
        book = tables["book"]
        assert tuple(book.schema.names) == book_columns(tuple(depths))
        want_book = expected_book(lists, day, bucket, w, depths, want.ts.to_numpy())
        got_book = book.to_pandas()
        for name in book.schema.names[1:]:
            assert_column(got_book[name], want_book[name], name, exact=name in ("best_bid", "best_ask", "mid", "spread"))
    return report, tables, want


def test_generated_day_every_column(tmp_path):
    day = "2024-03-01"
    lists = generated_day(day, seed=3)
    report, tables, _ = check_day(tmp_path, lists, day)
    bars = tables["bars"].to_pandas()
    assert len(bars) == 1440  # trades at 00:00:00.000 and 23:59:59.999: every bucket of the day
    assert report["rows"] == {"bars": 1440, "footprint": tables["footprint"].num_rows, "book": 1440}
    empty = bars[bars.trades == 0]
    assert len(empty) >= 9  # the ten minutes without trades
    assert (empty.volume == 0).all() and (empty.delta == 0).all() and empty.open.isna().all() and \
        empty.vwap.isna().all() and empty.poc.isna().all() and empty.value_area_low.isna().all()
    tie = bars[bars.ts == pd.Timestamp(day_start(day) + 7 * 60_000, unit="ms", tz="UTC")].iloc[0]
    assert tie.poc == 60010.0  # 60010 and 60011 hold 0.75 each: the lower wins
    assert bars.funding_rate.isna().sum() == 8 * 60  # NaN until the first funding at 08:00
    book = tables["book"].to_pandas()
    assert book.best_bid.iloc[:5].isna().all()  # before the first snapshot at 00:05
    assert not math.isnan(book.best_bid.iloc[5])


@pytest.mark.parametrize(("bucket", "w", "depths"), [(300_000, 0.5, (1, 3)), (15_000, 2.5, (0, 10)),
                                                      (3_600_000, 1.0, (5, 10, 20))])
def test_other_buckets_bins_and_depths(tmp_path, bucket, w, depths):
    day = "2024-03-02"
    lists = generated_day(day, seed=5, trades=1500, hours=(2, 9))
    check_day(tmp_path, lists, day, bucket, w, depths)


def test_footprint_is_session_clusters_of_the_day(tmp_path):
    day = "2024-03-01"
    lists = generated_day(day, seed=9, trades=2000, hours=(0, 6))
    _, tables = run_day(tmp_path, lists, day, 60_000, 1.0)
    start = day_start(day)
    from korvel_vorn import commands
    session = Session(commands.spec_value(symbol="x", panels=[commands.footprint()], from_ts=start,
                                          to_ts=start + DAY_MS - 1))
    session.load_columns(**lists)
    clusters = session.clusters(start + DAY_MS - 1, price_bin=1.0, bucket_ms=60_000)
    buy, sell = clusters["buy_vol"], clusters["sell_vol"]
    row, col = np.nonzero((buy != 0) | (sell != 0))
    footprint = tables["footprint"]
    assert footprint.column("ts").cast(pa.int64()).to_numpy().tolist() == clusters["time"][row].tolist()
    assert footprint.column("price_bin").to_numpy().tolist() == clusters["price"][col].tolist()
    assert footprint.column("buy_volume").to_numpy().tolist() == buy[row, col].tolist()
    assert footprint.column("sell_volume").to_numpy().tolist() == sell[row, col].tolist()


def test_day_without_book_writes_no_book_table(tmp_path):
    day = "2024-03-01"
    lists = generated_day(day, seed=2, trades=500, hours=(1, 2))
    del lists["book"]
    report, tables = run_day(tmp_path, lists, day)
    assert tables["book"] is None
    assert report["rows"]["book"] is None
    assert any("no book" in note for note in report["notes"])


def test_unsorted_records_are_taken_in_ts_order_ties_in_record_order(tmp_path):
    day = "2024-03-01"
    start = day_start(day)
    trades = {"ts": np.array([start + 30_000, start + 10_000, start + 10_000, start + 70_000], np.int64),
              "price": np.array([103.0, 101.0, 102.0, 99.0]), "qty": np.array([1.0, 2.0, 3.0, 4.0]),
              "side": np.array([0, 1, 0, 1], np.uint8)}
    _, tables = run_day(tmp_path, {"trades": trades}, day)
    bars = tables["bars"].to_pydict()
    assert bars["open"] == [101.0, 99.0] and bars["close"] == [103.0, 99.0]
    assert bars["high"] == [103.0, 99.0] and bars["low"] == [101.0, 99.0]
    assert bars["delta"] == [2.0, -4.0] and bars["cum_delta"] == [2.0, -2.0]
    assert math.isnan(bars["funding_rate"][0]) and bars["liquidated_long"] == [0.0, 0.0]


# ----------------------------------------------------------------------------- recordings

def _dataset_columns(path):
    value = json.loads(path.read_text())
    codes = {"buy": 0, "sell": 1, "long": 0, "short": 1, "snapshot": 0, "diff": 1}
    out = {}
    for name in ("trades", "funding", "oi", "liquidations"):
        records = value.get(name) or []
        if not records:
            continue
        fields = [k for k in records[0]]
        out[name] = {k: (np.array([r[k] for r in records], np.int64) if k == "ts" else
                         np.array([codes[r[k]] for r in records], np.uint8) if k == "side" else
                         np.array([float(r[k]) for r in records])) for k in fields}
    events = value.get("book") or []
    if events:
        out["book"] = {"ts": np.array([e["ts"] for e in events], np.int64),
                       "kind": np.array([codes[e["kind"]] for e in events], np.uint8),
                       "bid_count": np.array([len(e["bids"]) for e in events], np.int64),
                       "ask_count": np.array([len(e["asks"]) for e in events], np.int64),
                       "bid_price": np.array([float(p) for e in events for p, _ in e["bids"]]),
                       "bid_qty": np.array([float(q) for e in events for _, q in e["bids"]]),
                       "ask_price": np.array([float(p) for e in events for p, _ in e["asks"]]),
                       "ask_qty": np.array([float(q) for e in events for _, q in e["asks"]])}
    return out


def test_recorded_markets(tmp_path, real_data_dir):
    paths = sorted(real_data_dir.glob("binance-usdm-*.dataset.json"))[:2]
    for n, path in enumerate(paths):
        for day, lists in split_days(_dataset_columns(path)).items():
            if "trades" not in lists or not len(lists["trades"]["ts"]):
                continue
            check_day(tmp_path / f"{n}-{day}", lists, day, bucket=60_000, w=5.0, depths=(2, 10))
            check_day(tmp_path / f"{n}-{day}-10s", lists, day, bucket=10_000, w=0.5, depths=(0, 40))


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda e: e.book_features(first_end=0, bucket_ms=1, count=1, price_bin=0.0, depths=(1,)), ValueError,
     "price_bin must be a positive number"),
    (lambda e: e.book_features(first_end=0, bucket_ms=0, count=1, price_bin=1.0, depths=(1,)), ValueError,
     "bucket_ms must be > 0"),
    (lambda e: e.book_features(first_end=0, bucket_ms=1, count=-1, price_bin=1.0, depths=(1,)), ValueError,
     "count must not be negative"),
    (lambda e: e.book_features(first_end=0, bucket_ms=1, count=1, price_bin=1.0, depths=[1]), TypeError, "tuple"),
    (lambda e: e.book_features(first_end=0, bucket_ms=1, count=1, price_bin=1.0, depths=(-1,)), ValueError,
     "depths must lie in"),
    (lambda e: e.book_features(first_end=2**63 - 2, bucket_ms=2, count=3, price_bin=1.0, depths=()), ValueError,
     "out of range"),
    (lambda e: e.bars(first_start=0, bucket_ms=0, count=1), ValueError, "bucket_ms must be > 0"),
    (lambda e: e.bars(first_start=0, bucket_ms=1, count=-1), ValueError, "count must not be negative"),
    (lambda e: e.bars(first_start=2**63 - 5, bucket_ms=10, count=1), ValueError, "out of range"),
])
def test_native_feature_calls_refuse_bad_arguments(call, error, message):
    session = Session()
    with pytest.raises(error, match=message):
        call(session.engine)


def test_native_features_of_an_empty_grid_and_dataset():
    engine = Session().engine
    bars = engine.bars(first_start=0, bucket_ms=60_000, count=2)
    assert np.asarray(bars["trades"]).tolist() == [0, 0] and np.isnan(np.asarray(bars["open"])).all()
    book = engine.book_features(first_end=60_000, bucket_ms=60_000, count=2, price_bin=1.0, depths=(1, 2))
    assert np.asarray(book["imbalance"]).shape == (2, 2) and np.isnan(np.asarray(book["best_bid"])).all()
