"""Catalogs for the batch tests (written by the catalog's writer) and generated days.

Columns are those of `Session.load_columns` (int64 ts, 0/1 codes, ragged book levels).
"""

from __future__ import annotations

import datetime as dt

import numpy as np

DAY_MS = 86_400_000


def day_start(day: str) -> int:
    d = dt.date.fromisoformat(day)
    return int(dt.datetime(d.year, d.month, d.day, tzinfo=dt.UTC).timestamp() * 1000)


def write_day(root, exchange, symbol, day, lists: dict) -> None:
    """One day's lists written into the catalog by the catalog's own writer."""
    from korvel_vorn.catalog import write

    for name, columns in lists.items():
        write.write_day(root, name, exchange, symbol, day, columns, inputs=[])


def split_days(lists: dict) -> dict[str, dict]:
    """A dataset's columns split at UTC midnight as the catalog splits them (a day's book after the
    first led by the book replayed to its midnight)."""
    from korvel_vorn.catalog import write

    days: dict[str, dict] = {}
    for name, columns in lists.items():
        for day, part in write.split_days(name, columns):
            days.setdefault(day, {})[name] = part
    return dict(sorted(days.items()))


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
