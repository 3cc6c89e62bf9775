"""The records gathered from recordings, put in replay order and written as dataset JSON.

Numbers are kept as the recordings spelled them (decimal text such as "61807.70" stays byte for
byte), so the engine reads exactly the exchange's values.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from ..schema import LISTS, RECORD_FIELDS


class ConvertError(ValueError):
    """A recording that cannot be converted; the message names the file and, where known, the line."""


@dataclass
class BookEvent:
    ts: int
    kind: str  # "snapshot" or "diff"
    bids: list[tuple[str, str]]
    asks: list[tuple[str, str]]
    first_id: int | None = None  # first update id of a diff (Binance U)
    last_id: int | None = None  # last update id of a diff (u), or a snapshot's lastUpdateId
    prev_id: int | None = None  # the previous diff's last id, when the feed carries it (pu)


@dataclass
class Market:
    """Records by list. Trades, funding, OI and liquidations are tuples of (ts, texts...)."""

    trades: list[tuple[int, str, str, str]] = field(default_factory=list)
    book: list[BookEvent] = field(default_factory=list)
    funding: list[tuple[int, str]] = field(default_factory=list)
    oi: list[tuple[int, str]] = field(default_factory=list)
    liquidations: list[tuple[int, str, str, str]] = field(default_factory=list)
    candles: dict[int, tuple[int, str, str, str, str, str]] = field(default_factory=dict)
    symbols: set[str] = field(default_factory=set)
    skipped: Counter[str] = field(default_factory=Counter)
    trade_ids: dict[tuple[str, int], None] = field(default_factory=dict)
    trade_id_kinds: set[str] = field(default_factory=set)
    duplicates: int = 0

    def add_trade(self, ts: int, price: str, qty: str, side: str, trade_id: tuple[str, int] | None = None) -> None:
        if trade_id is not None:
            self.trade_id_kinds.add(trade_id[0])
            if trade_id in self.trade_ids:
                self.duplicates += 1
                return
            self.trade_ids[trade_id] = None
        self.trades.append((ts, price, qty, side))

    def add_candle(self, ts: int, o: str, h: str, low: str, c: str, v: str) -> None:
        # A kline stream repeats a candle while it forms: the last update of an open time wins.
        self.candles[ts] = (ts, o, h, low, c, v)


@dataclass
class Conversion:
    """The result of a conversion: the six lists in replay order, and what was left out."""

    lists: dict[str, list[Any]]
    symbols: set[str]
    skipped: Counter[str]
    dropped_diffs: int = 0
    raised_ts: int = 0
    sequence_gaps: int = 0
    duplicates: int = 0

    def notes(self) -> list[str]:
        notes = []
        if self.symbols:
            notes.append(f"symbol {', '.join(sorted(self.symbols))}")
        if self.dropped_diffs:
            notes.append(f"dropped {self.dropped_diffs} depth updates already contained in a snapshot")
        if self.raised_ts:
            notes.append(f"moved {self.raised_ts} depth updates to the time of the snapshot they follow")
        if self.sequence_gaps:
            notes.append(f"warning: {self.sequence_gaps} gaps in the depth update sequence (updates were lost)")
        if self.duplicates:
            notes.append(f"dropped {self.duplicates} trades seen twice (same trade id)")
        for what, count in sorted(self.skipped.items()):
            notes.append(f"skipped {count} {what}")
        return notes

    def to_columns(self) -> dict[str, dict[str, Any]]:
        """The six lists as columns (see `korvel_vorn.columns`), numbers parsed from their text."""
        import numpy as np

        def column(values: list[Any], dtype: Any) -> Any:
            return np.array(values, dtype=dtype)

        def fields(records: list[Any], names: tuple[str, ...], codes: dict[str, int] | None = None) -> dict[str, Any]:
            out: dict[str, Any] = {}
            for i, name in enumerate(names):
                values = [r[i] for r in records]
                if i == 0:
                    out[name] = column(values, np.int64)
                elif codes is not None and i == len(names) - 1:
                    out[name] = column([codes[v] for v in values], np.uint8)
                else:
                    out[name] = column(values, np.float64)
            return out

        lists = self.lists
        book = lists["book"]
        bid_levels = [level for event in book for level in event.bids]
        ask_levels = [level for event in book for level in event.asks]
        return {
            "candles": fields(lists["candles"], RECORD_FIELDS["candles"]),
            "trades": fields(lists["trades"], RECORD_FIELDS["trades"], {"buy": 0, "sell": 1}),
            "book": {
                "ts": column([e.ts for e in book], np.int64),
                "kind": column([0 if e.kind == "snapshot" else 1 for e in book], np.uint8),
                "bid_count": column([len(e.bids) for e in book], np.int64),
                "ask_count": column([len(e.asks) for e in book], np.int64),
                "bid_price": column([p for p, _ in bid_levels], np.float64),
                "bid_qty": column([q for _, q in bid_levels], np.float64),
                "ask_price": column([p for p, _ in ask_levels], np.float64),
                "ask_qty": column([q for _, q in ask_levels], np.float64),
            },
            "funding": fields(lists["funding"], RECORD_FIELDS["funding"]),
            "oi": fields(lists["oi"], RECORD_FIELDS["oi"]),
            "liquidations": fields(lists["liquidations"], RECORD_FIELDS["liquidations"], {"long": 0, "short": 1}),
        }

    def to_json(self) -> str:
        """The dataset JSON: the six lists in declared order, one record per line."""
        out = ["{"]
        for n, name in enumerate(LISTS):
            records = self.lists[name]
            out.append(("," if n else "") + '"' + name + '":[')
            lines = [_record_json(name, r) for r in records]
            if lines:
                out.append("\n" + ",\n".join(lines) + "\n")
            out.append("]")
        out.append("}\n")
        return "".join(out)


def _levels(levels: list[tuple[str, str]]) -> str:
    return "[" + ",".join("[" + p + "," + q + "]" for p, q in levels) + "]"


def _record_json(name: str, r: Any) -> str:
    if name == "candles":
        return '{"ts":%d,"open":%s,"high":%s,"low":%s,"close":%s,"volume":%s}' % r
    if name == "trades":
        return '{"ts":%d,"price":%s,"qty":%s,"side":"%s"}' % r
    if name == "book":
        return '{"ts":%d,"kind":"%s","bids":%s,"asks":%s}' % (r.ts, r.kind, _levels(r.bids), _levels(r.asks))
    if name == "funding":
        return '{"ts":%d,"rate":%s}' % r
    if name == "oi":
        return '{"ts":%d,"oi":%s}' % r
    return '{"ts":%d,"price":%s,"qty":%s,"side":"%s"}' % r


def _order_book(events: list[BookEvent]) -> tuple[list[BookEvent], int, int, int]:
    """Book events in replay order.

    Events that carry exchange update ids are ordered by them: a snapshot before the updates
    whose last id is at or after its lastUpdateId, and updates wholly contained in the latest
    snapshot (last id below its lastUpdateId) dropped, as the exchanges prescribe for rebuilding a
    book. An update that must follow a snapshot but is stamped earlier takes the snapshot's time,
    so the engine's ordering by time keeps it after the snapshot. Events without ids go by time.
    """
    with_ids = [e for e in events if e.last_id is not None]
    without = [e for e in events if e.last_id is None]
    with_ids.sort(key=lambda e: (e.last_id, 0 if e.kind == "snapshot" else 1))
    snapshots = [e.last_id for e in with_ids if e.kind == "snapshot"]
    active = snapshots[0] if snapshots else None
    kept: list[BookEvent] = []
    dropped = raised = gaps = 0
    latest_ts: int | None = None
    previous_diff: BookEvent | None = None
    for event in with_ids:
        assert event.last_id is not None
        if event.kind == "snapshot":
            active = event.last_id
            previous_diff = None
        elif active is not None and event.last_id < active:
            dropped += 1
            continue
        else:
            if previous_diff is not None and previous_diff.last_id is not None:
                if event.prev_id is not None:
                    gaps += event.prev_id != previous_diff.last_id
                elif event.first_id is not None:
                    gaps += event.first_id > previous_diff.last_id + 1
            previous_diff = event
        if latest_ts is not None and event.ts < latest_ts:
            event.ts = latest_ts
            raised += 1
        latest_ts = event.ts
        kept.append(event)
    merged = kept + without
    merged.sort(key=lambda e: e.ts)  # stable: id order kept among equal times
    return merged, dropped, raised, gaps


def finish(market: Market) -> Conversion:
    """Put every list in time order (stable) and build the `Conversion`."""
    if len(market.trade_id_kinds) > 1:
        raise ConvertError(
            "the inputs mix individual trades and aggregate trades of one market, which would count "
            "the same volume twice: convert one kind"
        )
    book, dropped, raised, gaps = _order_book(market.book)
    by_ts = lambda r: r[0]  # noqa: E731
    lists: dict[str, list[Any]] = {
        "candles": sorted(market.candles.values(), key=by_ts),
        "trades": sorted(market.trades, key=by_ts),
        "book": book,
        "funding": sorted(market.funding, key=by_ts),
        "oi": sorted(market.oi, key=by_ts),
        "liquidations": sorted(market.liquidations, key=by_ts),
    }
    return Conversion(lists=lists, symbols=set(market.symbols), skipped=market.skipped, dropped_diffs=dropped,
                      raised_ts=raised, sequence_gaps=gaps, duplicates=market.duplicates)
