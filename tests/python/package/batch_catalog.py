"""Catalogs for the batch tests, written with pyarrow in the catalog's layout, and generated days.

Columns are those of `Session.load_columns` (int64 ts, 0/1 codes, ragged book levels).
"""

from __future__ import annotations

import datetime as dt
import pathlib

import numpy as np

DAY_MS = 86_400_000
NAMES = {("trades", "side"): ("buy", "sell"), ("liquidations", "side"): ("long", "short"),
         ("book", "kind"): ("snapshot", "diff")}


def day_start(day: str) -> int:
    d = dt.date.fromisoformat(day)
    return int(dt.datetime(d.year, d.month, d.day, tzinfo=dt.UTC).timestamp() * 1000)


def day_of(ts: int) -> str:
    return dt.datetime.fromtimestamp(ts // DAY_MS * DAY_MS / 1000, tz=dt.UTC).date().isoformat()


def part_path(root, list_name, exchange, symbol, day) -> pathlib.Path:
    return pathlib.Path(root) / list_name / f"exchange={exchange}" / f"symbol={symbol}" / f"date={day}" / "part-0.parquet"


def _levels(pa, counts, prices, qtys):
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int32)
    values = pa.StructArray.from_arrays([pa.array(prices, pa.float64()), pa.array(qtys, pa.float64())],
                                        names=["price", "qty"])
    return pa.ListArray.from_arrays(pa.array(offsets), values)


def arrow_of(list_name: str, columns: dict) -> object:
    import pyarrow as pa

    fields, arrays = [], []
    for name, values in columns.items():
        if name == "ts":
            arrays.append(pa.array(values, pa.int64()).cast(pa.timestamp("ms", tz="UTC")))
        elif (list_name, name) in NAMES:
            arrays.append(pa.DictionaryArray.from_arrays(pa.array(values.astype(np.int8), pa.int8()),
                                                         pa.array(list(NAMES[(list_name, name)]))))
        elif name in ("bid_count", "ask_count"):
            side = name[:3]
            arrays.append(_levels(pa, values, columns[f"{side}_price"], columns[f"{side}_qty"]))
            name = side + "s"
        elif name.startswith(("bid_", "ask_")):
            continue
        else:
            arrays.append(pa.array(values, pa.float64()))
        fields.append(name)
    return pa.Table.from_arrays(arrays, names=fields)


def write_day(root, exchange, symbol, day, lists: dict) -> None:
    import pyarrow.parquet as pq

    for name, columns in lists.items():
        path = part_path(root, name, exchange, symbol, day)
        path.parent.mkdir(parents=True, exist_ok=True)
        pq.write_table(arrow_of(name, columns), path)


def _take_events(book: dict, keep: np.ndarray) -> dict:
    bid_keep = np.repeat(keep, book["bid_count"])
    ask_keep = np.repeat(keep, book["ask_count"])
    out = {k: book[k][keep] for k in ("ts", "kind", "bid_count", "ask_count")}
    out.update(bid_price=book["bid_price"][bid_keep], bid_qty=book["bid_qty"][bid_keep],
               ask_price=book["ask_price"][ask_keep], ask_qty=book["ask_qty"][ask_keep])
    return out


def replay_book(book: dict, until: int) -> tuple[dict, dict, bool]:
    """Bids and asks (price -> qty) after the events with ts < until, from the first snapshot on."""
    bids, asks, started = {}, {}, False
    b = a = 0
    for i in range(len(book["ts"])):
        nb, na = int(book["bid_count"][i]), int(book["ask_count"][i])
        if book["ts"][i] >= until:
            break
        if book["kind"][i] == 0:
            started = True
            bids, asks = {}, {}
        if started:
            for side, prices, qtys, start, n in ((bids, book["bid_price"], book["bid_qty"], b, nb),
                                                 (asks, book["ask_price"], book["ask_qty"], a, na)):
                for p, q in zip(prices[start:start + n], qtys[start:start + n]):
                    if q == 0:
                        side.pop(float(p), None)
                    else:
                        side[float(p)] = float(q)
        b += nb
        a += na
    return bids, asks, started


def split_days(lists: dict) -> dict[str, dict]:
    """A dataset's columns split at UTC midnight; a day's book after the first starts with the book
    replayed to its midnight as a snapshot, as the catalog holds it."""
    days: dict[str, dict] = {}
    all_ts = np.concatenate([c["ts"] for c in lists.values() if len(c["ts"])])
    for day in sorted({day_of(int(t)) for t in all_ts}):
        start = day_start(day)
        out = {}
        for name, columns in lists.items():
            order = np.argsort(columns["ts"], kind="stable")
            if name == "book":
                book = _take_events(columns, order) if not np.all(order == np.arange(order.size)) else columns
                inside = (book["ts"] >= start) & (book["ts"] < start + DAY_MS)
                part = _take_events(book, inside)
                bids, asks, started = replay_book(book, start)
                if started and np.any(book["ts"] < start):
                    bp, bq = zip(*sorted(bids.items(), reverse=True)) if bids else ((), ())
                    ap, aq = zip(*sorted(asks.items())) if asks else ((), ())
                    part = {"ts": np.concatenate([[start], part["ts"]]).astype(np.int64),
                            "kind": np.concatenate([[0], part["kind"]]).astype(np.uint8),
                            "bid_count": np.concatenate([[len(bp)], part["bid_count"]]).astype(np.int64),
                            "ask_count": np.concatenate([[len(ap)], part["ask_count"]]).astype(np.int64),
                            "bid_price": np.concatenate([bp, part["bid_price"]]),
                            "bid_qty": np.concatenate([bq, part["bid_qty"]]),
                            "ask_price": np.concatenate([ap, part["ask_price"]]),
                            "ask_qty": np.concatenate([aq, part["ask_qty"]])}
                out[name] = part
            else:
                ts = columns["ts"][order]
                inside = (ts >= start) & (ts < start + DAY_MS)
                out[name] = {k: v[order][inside] for k, v in columns.items()}
        days[day] = out
    return days


def generated_day(day: str, seed: int = 1, trades: int = 4000, hours: tuple[int, int] = (0, 24)) -> dict:
    """A synthetic day: trades on a 0.5 tick in bursts (ties in ts, hours without trades), a book
    whose first event (a diff) comes before its first snapshot, with a second snapshot, a stretch
    where the asks are empty and events on bucket ends, funding and open interest on bucket ends,
    and liquidations."""
    rng = np.random.default_rng(seed)
    start = day_start(day)
    lo, hi = start + hours[0] * 3_600_000, start + hours[1] * 3_600_000
    ts = np.sort(rng.integers(lo, hi, size=trades))
    ts[0], ts[-1] = lo, hi - 1  # the first and last buckets at the edges of the span
    ts[10:20] = ts[10]  # a run sharing one millisecond
    gap = (ts > lo + 3_600_000) & (ts < lo + 3_600_000 + 600_000)  # ten minutes without trades
    ts = ts[~gap]
    n = ts.size
    walk = np.cumsum(rng.choice([-1, 0, 1], size=n)) * 0.5
    price = 60000.0 + walk
    qty = rng.integers(1, 2000, size=n) / 1000.0
    side = rng.integers(0, 2, size=n).astype(np.uint8)
    # A bucket whose two bins hold the same volume: the point of control is the lower one.
    tie = start + hours[0] * 3_600_000 + 7 * 60_000
    keep = (ts < tie) | (ts >= tie + 60_000)
    ts, price, qty, side = ts[keep], price[keep], qty[keep], side[keep]
    tie_ts = np.array([tie + 5, tie + 6, tie + 7, tie + 8], dtype=np.int64)
    tie_price = np.array([60010.5, 60011.0, 60010.0, 60011.5])
    tie_qty = np.array([0.25, 0.5, 0.5, 0.25])
    ts, price, qty, side = (np.concatenate(p) for p in ((ts, tie_ts), (price, tie_price), (qty, tie_qty),
                                                        (side, np.array([0, 1, 1, 0], np.uint8))))
    order = np.argsort(ts, kind="stable")
    trades_cols = {"ts": ts[order], "price": price[order], "qty": qty[order], "side": side[order]}

    events = []  # (ts, kind, bids, asks)
    events.append((lo + 60_000, 1, [(59990.0, 9.0)], [(60010.0, 9.0)]))  # before any snapshot: ignored
    def snapshot(t, mid):
        return (t, 0, [(mid - 0.5 - i * 0.5, float(rng.integers(1, 50)) / 10) for i in range(40)],
                [(mid + 0.5 + i * 0.5, float(rng.integers(1, 50)) / 10) for i in range(40)])
    events.append(snapshot(lo + 5 * 60_000, 60000.0))
    t = lo + 5 * 60_000
    mid = 60000.0
    while t < hi - 120_000:
        t += int(rng.integers(1, 40_000))
        if rng.random() < 0.2:
            t = (t // 60_000 + 1) * 60_000  # on a bucket end: applied only from the next bucket on
        mid += float(rng.choice([-0.5, 0.0, 0.5]))
        bids = [(mid - 0.5 - float(rng.integers(0, 30)) * 0.5, float(rng.integers(0, 40)) / 10) for _ in range(3)]
        asks = [(mid + 0.5 + float(rng.integers(0, 30)) * 0.5, float(rng.integers(0, 40)) / 10) for _ in range(3)]
        events.append((t, 1, bids, asks))
    half = lo + (hi - lo) // 2
    events.append(snapshot(half, mid))
    empty_from = half + 30 * 60_000
    events.append((empty_from, 0, [(mid - 1.0, 1.0)], []))  # asks empty for a while
    events.append((empty_from + 5 * 60_000, 1, [], [(mid + 1.0, 2.0)]))
    events.sort(key=lambda e: e[0])
    book = {"ts": np.array([e[0] for e in events], np.int64), "kind": np.array([e[1] for e in events], np.uint8),
            "bid_count": np.array([len(e[2]) for e in events], np.int64),
            "ask_count": np.array([len(e[3]) for e in events], np.int64),
            "bid_price": np.array([p for e in events for p, _ in e[2]], np.float64),
            "bid_qty": np.array([q for e in events for _, q in e[2]], np.float64),
            "ask_price": np.array([p for e in events for p, _ in e[3]], np.float64),
            "ask_qty": np.array([q for e in events for _, q in e[3]], np.float64)}
    funding = {"ts": np.array([start + 8 * 3_600_000, start + 16 * 3_600_000], np.int64),
               "rate": np.array([0.0001, -0.00005])}
    oi_ts = np.arange(lo + 3 * 60_000, hi, 5 * 60_000, dtype=np.int64)
    oi = {"ts": oi_ts, "oi": 80000.0 + np.arange(oi_ts.size, dtype=np.float64)}
    liq_ts = np.sort(rng.integers(lo, hi, size=60))
    liquidations = {"ts": liq_ts, "price": 60000.0 + rng.integers(-20, 20, size=60) * 0.5,
                    "qty": rng.integers(1, 500, size=60) / 1000.0, "side": rng.integers(0, 2, size=60).astype(np.uint8)}
    return {"trades": trades_cols, "book": book, "funding": funding, "oi": oi, "liquidations": liquidations}
