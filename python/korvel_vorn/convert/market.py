"""The market being gathered from recordings: records of each list buffered in small batches and
spilled to a `ListStore`, plus what was skipped or dropped and why.

Numbers are kept as the recordings spelled them (decimal text such as "61807.70" stays byte for
byte), so the engine reads exactly the exchange's values.
"""

from __future__ import annotations

import tempfile
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from .store import NO_ID, Chunk, ListStore

BATCH = 65536  # records buffered per list before they are spilled


class ConvertError(ValueError):
    """A recording that cannot be converted; the message names the file and, where known, the line."""


@dataclass
class Options:
    """What to keep, beyond the recognised records themselves."""

    symbol: str | None = None
    time_unit: str | None = None
    start: int | None = None  # keep records at or after this time (ms)
    end: int | None = None  # keep records before this time (ms)
    keep_all_times: bool = False  # side files are not clipped to the market recording's span
    keep_unsnapshotted_diffs: bool = False
    drop_duplicate_liquidations: bool = False
    keep_trade_types: bool = False  # keep insurance-fund, ADL and other non-market trades
    candles_from_trades: int | None = None  # bucket (ms) of candles derived from the trades
    # Recorded gaps (after, resume): diffs with an update id in between are left out, and the
    # book starts again from the snapshot with lastUpdateId `resume`.
    book_gaps: list[tuple[int, int]] = field(default_factory=list)
    # Update ids of recorded snapshots the recorder found older than the updates after them: the
    # file keeps them, the book is not started from them (they carry no exchange time on spot).
    unused_snapshots: frozenset[int] = frozenset()
    # (after, resume) of each recording session's updates written before its book first synced.
    session_starts: list[tuple[int, int]] = field(default_factory=list)


@dataclass
class BookEvent:
    ts: int
    kind: str  # "snapshot" or "diff"
    bids: list[tuple[str, str]]
    asks: list[tuple[str, str]]
    first_id: int | None = None  # first update id of a diff (Binance U)
    last_id: int | None = None  # last update id of a diff (u), or a snapshot's lastUpdateId
    prev_id: int | None = None  # the previous diff's last id, when the feed carries it (pu)


def decimals(text: str) -> int:
    """Digits after the decimal point of a number's text; 255 for exponent notation."""
    if "e" in text or "E" in text:
        return 255
    dot = text.find(".")
    return 0 if dot < 0 else len(text) - dot - 1


def _id(value: int | None) -> int:
    return NO_ID if value is None else value


def _levels_text(levels: list[tuple[str, str]]) -> str:
    return "[" + ",".join("[" + p + "," + q + "]" for p, q in levels) + "]"


def _floats(texts: list[str]) -> Any:
    return np.array(texts, dtype=np.float64) if texts else np.empty(0, np.float64)


def records_chunk(name: str, records: list[Any]) -> Chunk:
    """The columns of buffered records of list `name`."""
    ts = np.array([r[0] if name != "book" else r.ts for r in records], dtype=np.int64)
    if name in ("trades", "liquidations"):
        rest = [',"price":%s,"qty":%s,"side":"%s"}' % r[1:4] for r in records]
        codes = ("buy", "sell") if name == "trades" else ("long", "short")
        chunk: Chunk = {"price": _floats([r[1] for r in records]), "qty": _floats([r[2] for r in records]),
                        "side": np.array([codes.index(r[3]) for r in records], dtype=np.uint8)}
        if name == "trades":
            chunk["id"] = np.array([r[4] for r in records], dtype=np.int64)
            chunk["price_decimals"] = np.array([decimals(r[1]) for r in records], dtype=np.uint8)
            chunk["qty_decimals"] = np.array([decimals(r[2]) for r in records], dtype=np.uint8)
    elif name == "book":
        rest = [',"kind":"%s","bids":%s,"asks":%s}' % (e.kind, _levels_text(e.bids), _levels_text(e.asks))
                for e in records]
        bids = [level for e in records for level in e.bids]
        asks = [level for e in records for level in e.asks]
        chunk = {
            "kind": np.array([0 if e.kind == "snapshot" else 1 for e in records], dtype=np.uint8),
            "bid_count": np.array([len(e.bids) for e in records], dtype=np.int64),
            "ask_count": np.array([len(e.asks) for e in records], dtype=np.int64),
            "first_id": np.array([_id(e.first_id) for e in records], dtype=np.int64),
            "last_id": np.array([_id(e.last_id) for e in records], dtype=np.int64),
            "prev_id": np.array([_id(e.prev_id) for e in records], dtype=np.int64),
            "bid_price": _floats([p for p, _ in bids]), "bid_qty": _floats([q for _, q in bids]),
            "ask_price": _floats([p for p, _ in asks]), "ask_qty": _floats([q for _, q in asks]),
        }
    elif name == "candles":
        rest = [',"open":%s,"high":%s,"low":%s,"close":%s,"volume":%s}' % r[1:] for r in records]
        chunk = {f: _floats([r[i] for r in records]) for i, f in enumerate(("open", "high", "low", "close", "volume"), 1)}
    else:  # funding, oi
        rest = [',"%s":%s}' % ("rate" if name == "funding" else "oi", r[1]) for r in records]
        chunk = {"rate" if name == "funding" else "oi": _floats([r[1] for r in records])}
    chunk["ts"] = ts
    chunk["rest"] = pa.array(rest, pa.large_string())
    return chunk


@dataclass
class Market:
    """Records by list, spilled to a temporary folder, and the account of what was left out."""

    options: Options = field(default_factory=Options)
    root: Path = field(init=False)
    stores: dict[str, ListStore] = field(init=False)
    pending: dict[str, list[Any]] = field(init=False)
    candles: dict[int, tuple[int, str, str, str, str, str]] = field(default_factory=dict)
    symbols: set[str] = field(default_factory=set)
    skipped: Counter[str] = field(default_factory=Counter)  # input that is not market data
    dropped: Counter[str] = field(default_factory=Counter)  # market data left out, with why
    warnings: list[str] = field(default_factory=list)
    trade_id_kinds: set[str] = field(default_factory=set)
    duplicate_liquidations: int = 0
    book_epoch: int = 0  # restarts of a Bybit book service (u = 1) met so far, across the inputs
    _liquidations_seen: set[tuple[int, str, str, str]] = field(default_factory=set)

    def __post_init__(self) -> None:
        self._folder = tempfile.TemporaryDirectory(prefix="korvel_vorn-convert-")
        self.root = Path(self._folder.name)
        self.stores = {name: ListStore(self.root, name) for name in ("trades", "book", "funding", "oi", "liquidations")}
        self.pending = {name: [] for name in (*self.stores, "candles")}

    def begin(self, source: int) -> None:
        """Records added from now on come from input number `source`."""
        self.flush()
        for store in self.stores.values():
            store.begin(source)

    def rollback(self) -> None:
        """Forget every record of the current input (it is read again another way)."""
        for name, store in self.stores.items():
            self.pending[name].clear()
            store.rollback()

    def mark(self) -> tuple[Any, ...]:
        """The account of what was read so far, to return to with `rollback_to`."""
        return Counter(self.skipped), Counter(self.dropped), set(self.symbols), set(self.trade_id_kinds)

    def rollback_to(self, mark: tuple[Any, ...]) -> None:
        self.skipped, self.dropped, self.symbols, self.trade_id_kinds = (type(x)(x) for x in mark)

    def flush(self) -> None:
        for name in self.stores:
            self._flush(name)

    def _flush(self, name: str) -> None:
        records = self.pending[name]
        if records:
            self.stores[name].append(records_chunk(name, records))
            records.clear()

    def _add(self, name: str, record: Any) -> None:
        records = self.pending[name]
        records.append(record)
        if len(records) >= BATCH:
            self._flush(name)

    def add_chunk(self, name: str, chunk: Chunk) -> None:
        """Columns read in bulk; buffered records of the list go first, to keep arrival order."""
        self._flush(name)
        self.stores[name].append(chunk)

    def add_trade(self, ts: int, price: str, qty: str, side: str, trade_id: tuple[str, int] | None = None) -> None:
        if trade_id is not None:
            self.trade_id_kinds.add(trade_id[0])
        self._add("trades", (ts, price, qty, side, NO_ID if trade_id is None else trade_id[1]))

    def add_book(self, event: BookEvent) -> None:
        self._add("book", event)

    def add_funding(self, ts: int, rate: str) -> None:
        self._add("funding", (ts, rate))

    def add_oi(self, ts: int, oi: str) -> None:
        self._add("oi", (ts, oi))

    def add_liquidation(self, ts: int, price: str, qty: str, side: str) -> None:
        # Two positions can be liquidated alike in one millisecond, so a repeat is kept unless asked.
        key = (ts, side, price, qty)
        if key in self._liquidations_seen:
            self.duplicate_liquidations += 1
            if self.options.drop_duplicate_liquidations:
                return
        else:
            self._liquidations_seen.add(key)
        self._add("liquidations", (ts, price, qty, side))

    def add_candle(self, ts: int, o: str, h: str, low: str, c: str, v: str) -> None:
        # A kline stream repeats a candle while it forms: the last update of an open time wins.
        self.candles[ts] = (ts, o, h, low, c, v)

    def close(self) -> None:
        for store in self.stores.values():
            store.close()
        self._folder.cleanup()

