"""Replay a market while it is being recorded: `live(source, symbol, spec)` records the live feeds
(into a folder when `out` is given), reads each message with the converter's own readers, appends
the records to a `Session` (`Session.append_columns`) and yields a `frame_arrays` frame at the
newest moment every `every` seconds while data arrives."""

from __future__ import annotations

import asyncio
import os
import queue
import threading
import time
from collections import Counter
from collections.abc import Iterator
from typing import Any

import numpy as np

from .recorder import make_recorder
from .recorder.options import RecordOptions
from .replies import VornError
from .schema import LISTS
from .session import Session


class LiveMarket:
    """The converter's market interface, gathering records in memory for one append."""

    def __init__(self, symbol: str) -> None:
        from .convert.market import Options

        self.options = Options(symbol=symbol, time_unit="ms")
        self.symbols: set[str] = set()
        self.skipped: Counter[str] = Counter()
        self.dropped: Counter[str] = Counter()
        self.trade_id_kinds: set[str] = set()
        self.book_epoch = 0
        self.records: dict[str, list[Any]] = {name: [] for name in LISTS}
        self.last_ts: dict[str, int] = dict.fromkeys(LISTS, -(1 << 62))

    def _ts(self, name: str, ts: int) -> int:
        # Streams of one list can be stamped slightly out of order (a snapshot and the updates
        # buffered before it): a record never goes before the list's last one.
        ts = max(ts, self.last_ts[name])
        self.last_ts[name] = ts
        return ts

    def add_trade(self, ts: int, price: str, qty: str, side: str, trade_id: Any = None) -> None:
        self.records["trades"].append((self._ts("trades", ts), float(price), float(qty), side == "sell"))

    def add_book(self, event: Any) -> None:
        self.records["book"].append((self._ts("book", event.ts), event.kind, event.bids, event.asks))

    def add_funding(self, ts: int, rate: str) -> None:
        self.records["funding"].append((self._ts("funding", ts), float(rate)))

    def add_oi(self, ts: int, oi: str) -> None:
        self.records["oi"].append((self._ts("oi", ts), float(oi)))

    def add_liquidation(self, ts: int, price: str, qty: str, side: str) -> None:
        self.records["liquidations"].append((self._ts("liquidations", ts), float(price), float(qty), side == "short"))

    def add_candle(self, ts: int, o: str, h: str, low: str, c: str, v: str) -> None:
        self.records["candles"].append((self._ts("candles", ts), *map(float, (o, h, low, c, v))))

    def take_columns(self) -> dict[str, dict[str, np.ndarray[Any, Any]]]:
        """The gathered records as `append_columns` takes them, and an empty market again."""
        out: dict[str, dict[str, np.ndarray[Any, Any]]] = {}
        r = self.records
        if r["trades"]:
            ts, price, qty, sell = zip(*r["trades"], strict=True)
            out["trades"] = {"ts": np.array(ts, np.int64), "price": np.array(price), "qty": np.array(qty),
                             "side": np.array(sell, np.uint8)}
        if r["liquidations"]:
            ts, price, qty, short = zip(*r["liquidations"], strict=True)
            out["liquidations"] = {"ts": np.array(ts, np.int64), "price": np.array(price), "qty": np.array(qty),
                                   "side": np.array(short, np.uint8)}
        for name, field in (("funding", "rate"), ("oi", "oi")):
            if r[name]:
                ts, value = zip(*r[name], strict=True)
                out[name] = {"ts": np.array(ts, np.int64), field: np.array(value)}
        if r["candles"]:
            columns = list(zip(*r["candles"], strict=True))
            out["candles"] = {"ts": np.array(columns[0], np.int64),
                              **{f: np.array(c) for f, c in zip(("open", "high", "low", "close", "volume"),
                                                                  columns[1:], strict=True)}}
        if r["book"]:
            events = r["book"]
            bids = [level for e in events for level in e[2]]
            asks = [level for e in events for level in e[3]]
            out["book"] = {
                "ts": np.array([e[0] for e in events], np.int64),
                "kind": np.array([0 if e[1] == "snapshot" else 1 for e in events], np.uint8),
                "bid_count": np.array([len(e[2]) for e in events], np.int64),
                "ask_count": np.array([len(e[3]) for e in events], np.int64),
                "bid_price": np.array([float(p) for p, _ in bids], np.float64),
                "bid_qty": np.array([float(q) for _, q in bids], np.float64),
                "ask_price": np.array([float(p) for p, _ in asks], np.float64),
                "ask_qty": np.array([float(q) for _, q in asks], np.float64),
            }
        for records in r.values():
            records.clear()
        return out


class LiveReader:
    """Reads applied live messages (as a recorder's sink gives them) into a `LiveMarket`."""

    def __init__(self, symbol: str) -> None:
        from .convert.messages import Context

        self.market = LiveMarket(symbol)
        self.context = Context(self.market, None, "live")  # type: ignore[arg-type]

    def add(self, symbol: str, data: dict[str, Any], ns: int, snapshot: bool) -> None:
        from .convert.messages import add_message

        self.context.prefix_ts = ns // 1_000_000
        if snapshot:
            data = dict(data)
            if "lastUpdateId" in data:  # a Binance REST snapshot: its symbol is the stream's
                data.setdefault("symbol", symbol)
            else:  # a Bybit book message that starts the book again (also u = 1)
                data["type"] = "snapshot"
        add_message(self.context, data)


def live(source: str, symbol: str, spec: Any, every: float = 1.0, out: str | os.PathLike[str] | None = None, *,
         options: RecordOptions | None = None, session: Session | None = None,
         idle_timeout: float | None = None) -> Iterator[dict[str, Any]]:
    """Yield `frame_arrays` frames of `symbol` at the newest moment, every `every` seconds while
    new data arrives, recording into `out` when given. Close the generator to stop recording
    (leaving the loop does). `idle_timeout` ends it after that many seconds without any data.
    The session (made from `spec` unless given) is available as the frame's `session` member."""
    engine = session if session is not None else Session(spec)
    messages: queue.SimpleQueue[tuple[str, dict[str, Any], int, bool]] = queue.SimpleQueue()
    recorder = make_recorder(source, [symbol], out, options,
                             sink=lambda s, d, ns, snap: messages.put((s, d, ns, snap)))
    reader = LiveReader(symbol.upper())
    outcome: list[BaseException] = []

    def run() -> None:
        try:
            asyncio.run(recorder.run())
        except BaseException as error:
            outcome.append(error)

    thread = threading.Thread(target=run, name="korvel_vorn-live", daemon=True)
    thread.start()
    last_data = time.monotonic()
    try:
        while thread.is_alive() or not messages.empty():
            time.sleep(every)
            got = 0
            while True:
                try:
                    item = messages.get_nowait()
                except queue.Empty:
                    break
                reader.add(*item)
                got += 1
            if not got:
                if idle_timeout is not None and time.monotonic() - last_data > idle_timeout:
                    return
                continue
            last_data = time.monotonic()
            columns = reader.market.take_columns()
            if not columns:
                continue
            engine.append_columns(**columns)
            try:
                frame = engine.frame_arrays()
            except VornError:
                continue
            frame["session"] = engine
            yield frame
        if outcome:
            raise outcome[0]
    finally:
        recorder.stop()
        thread.join(3.0)
