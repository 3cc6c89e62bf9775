"""Bybit (v5 public, linear) live: `orderbook.200`, `publicTrade`, `allLiquidation` and `tickers` on
one connection, with the client's ping every 20 s. A book snapshot (or a delta with u = 1, sent
when the exchange's book service restarts) replaces the book and is noted in the manifest; a
break in the book's update ids is a gap, and the book topic is subscribed again for a new
snapshot. A snapshot ahead of the last update applied (the first of a new connection after a cut)
ends a gap too: the updates between were never received. Gaps run from the last update applied
to the snapshot that starts the book again. Topic names and fields come from
`korvel_vorn.venues.bybit`."""

from __future__ import annotations

import asyncio
import json
import time
from collections import deque
from dataclasses import dataclass
from typing import Any

from websockets.asyncio.client import ClientConnection

from ...recorder.core import GAP_KEYS, BookMark, Recorder, SymbolState, loads
from ...recorder.links import Link
from .. import bybit as venue

_RECENT = 20000  # trade and liquidation keys remembered to skip repeats of an overlapping connection


@dataclass
class BybitBook:
    """The synchronisation of one symbol's book."""

    seen: int | None = None  # largest u written since the book service (re)started: repeats are skipped
    last_good: BookMark | None = None  # the last update applied in sync
    synced: bool = False
    open_gap: dict[str, Any] | None = None


class BybitRecorder(Recorder):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.books = {s: BybitBook() for s in self.symbols}
        self.ticker_ts: dict[str, int] = {}
        self.recent: deque[tuple[Any, ...]] = deque()
        self.recent_set: set[tuple[Any, ...]] = set()
        self.link_ws: ClientConnection | None = None

    def links(self) -> list[Link]:
        return [self.link("bybit", venue.ws_url(), subscribe=self._subscribe, keepalive=self._ping)]

    async def _subscribe(self, ws: ClientConnection) -> None:
        self.link_ws = ws
        await ws.send(json.dumps(venue.subscribe_message(self.symbols)))

    async def _ping(self, ws: ClientConnection) -> None:
        while True:
            await asyncio.sleep(venue.PING_SECONDS)
            await ws.send(json.dumps(venue.PING_MESSAGE))

    def start_manifest(self, state: SymbolState) -> None:
        if state.files is None:
            return
        state.files.manifest_for(time.time_ns()).set("liquidations", {
            "stream": f"allLiquidation.{state.symbol}", "sampled": False, "note": "every liquidation"})

    def _seen(self, key: tuple[Any, ...]) -> bool:
        if key in self.recent_set:
            return True
        self.recent.append(key)
        self.recent_set.add(key)
        if len(self.recent) > _RECENT:
            self.recent_set.discard(self.recent.popleft())
        return False

    def on_message(self, raw: bytes, ns: int) -> None:
        try:
            message = loads(raw)
        except ValueError:
            self.unreadable(raw, ns, "not JSON")
            return
        if not isinstance(message, dict):
            self.unreadable(raw, ns, "not a JSON object")
            return
        topic = message.get(venue.TOPIC)
        if not isinstance(topic, str):
            if message.get("success") is False:
                self.log(f"the exchange refused a request: {message.get('ret_msg')}")
                for symbol in self.symbols:
                    if symbol in str(message.get("ret_msg", "")):
                        self.refuse_symbol(self.states[symbol], str(message.get("ret_msg")))
            return  # replies to pings and subscriptions are not market data
        head, _, symbol = topic.rpartition(".")
        state = self.states.get(symbol.upper())
        if state is None:
            self.unreadable(raw, ns, f"a topic of another symbol ({topic})")
            return
        data = message.get(venue.DATA)
        if head.startswith("orderbook"):
            self._book(state, message, data if isinstance(data, dict) else {}, raw, ns)
            return
        if head == "publicTrade" and isinstance(data, list):
            if data and all(isinstance(d, dict) and self._seen(("t", d.get(venue.TRADE_ID))) for d in data):
                return
        elif head == "allLiquidation" and isinstance(data, list):
            keys = [("l", json.dumps(d, sort_keys=True)) for d in data]
            if keys and all(self._seen(k) for k in keys):
                return
        elif head == "tickers":
            ts = message.get("ts")
            if isinstance(ts, int):
                if ts <= self.ticker_ts.get(state.symbol, -1):
                    return
                self.ticker_ts[state.symbol] = ts
        self.write(state, ns, raw)
        self.deliver(state, message, ns)

    def _book(self, state: SymbolState, message: dict[str, Any], data: dict[str, Any], raw: bytes, ns: int) -> None:
        update = data.get(venue.BOOK_UPDATE_ID)
        if not isinstance(update, int):
            self.unreadable(raw, ns, "a book message without its update id u")
            return
        book = self.books[state.symbol]
        restart = update == 1 and message.get(venue.TYPE) != "snapshot"
        snapshot = message.get(venue.TYPE) == "snapshot" or restart
        if not snapshot and book.seen is not None and update <= book.seen:
            return  # a repeat from an overlapping connection
        self.write(state, ns, raw)
        here = BookMark(update, message.get("ts"), ns)
        if snapshot:
            self._snapshot(state, book, message, here, restart)
            return
        book.seen = update
        if not book.synced:
            return  # written; the book waits for a snapshot
        assert book.last_good is not None
        if update != book.last_good.update_id + 1:
            book.synced = False
            self._open_gap(state, book, "update id break")
            self.log(f"{state.symbol}: book gap after update {book.last_good.update_id}; subscribing again for a snapshot")
            self.spawn(self._resubscribe(state.symbol))
            return
        book.last_good = here
        self.deliver(state, message, ns)

    def _snapshot(self, state: SymbolState, book: BybitBook, message: dict[str, Any], here: BookMark,
                  restart: bool) -> None:
        entry: dict[str, Any] = {"ns": here.ns, "update_id": here.update_id, "time": here.time,
                                 "reason": "service restart (u = 1)" if restart else "snapshot", "used": True}
        last = book.last_good
        if not restart and book.synced and last is not None and here.update_id < last.update_id:
            # A new connection's snapshot behind the updates the old one already gave: a true
            # picture of the past, kept in the file; the book goes on from the later updates.
            entry.update(used=False, why="older than the updates applied")
            self.manifest(state, here.ns).add("snapshots", entry)
            return
        self.manifest(state, here.ns).add("snapshots", entry)
        if book.open_gap is None and not restart and last is not None and here.update_id > last.update_id:
            # Updates were never received (a cut connection): the new connection's snapshot ends them.
            self._open_gap(state, book, "updates missed before a snapshot (a new connection)")
        if book.open_gap is not None:
            gap = book.open_gap
            gap.update(last_update_id=here.update_id, last_ns=here.ns, last_time=here.time)
            self.note_gap_closed(state, gap)
            book.open_gap = None
        book.seen = here.update_id if restart or book.seen is None else max(book.seen, here.update_id)
        book.last_good = here
        book.synced = True
        self.deliver(state, message, here.ns, snapshot=True)

    def _open_gap(self, state: SymbolState, book: BybitBook, reason: str) -> None:
        """A gap from the last update applied, listed at once in the manifest of the day it was
        received on, and completed when a snapshot ends it."""
        start = book.last_good
        assert start is not None
        book.open_gap = {"reason": reason, "first_update_id": start.update_id + 1, "after_update_id": start.update_id,
                         "last_update_id": None, "first_ns": start.ns, "last_ns": None, "first_time": start.time,
                         "last_time": None}
        self.add_at(state, start.ns, "gaps", book.open_gap, GAP_KEYS)

    async def _resubscribe(self, symbol: str) -> None:
        ws = self.link_ws
        if ws is None:
            return
        topic = venue.topics(symbol)[0]
        try:
            await ws.send(json.dumps({"op": "unsubscribe", "args": [topic]}))
            await ws.send(json.dumps({"op": "subscribe", "args": [topic]}))
        except Exception as error:
            self.log(f"{symbol}: cannot subscribe again ({error})")
