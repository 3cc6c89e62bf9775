"""Bybit (v5 public, linear) live: `orderbook.200`, `publicTrade`, `allLiquidation` and `tickers` on
one connection, with the client's ping every 20 s. A book snapshot (or a delta with u = 1, sent
when the exchange's book service restarts) replaces the book and is noted in the manifest; a
break in the book's update ids is a gap, and the book topic is subscribed again for a new
snapshot. Topic names and fields come from `korvel_vorn.venues.bybit`."""

from __future__ import annotations

import asyncio
import json
import time
from collections import deque
from typing import Any

from websockets.asyncio.client import ClientConnection

from ...recorder.core import Recorder, SymbolState, loads
from ...recorder.links import Link
from .. import bybit as venue

_RECENT = 20000  # trade and liquidation keys remembered to skip repeats of an overlapping connection


class BybitRecorder(Recorder):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.book_ids: dict[str, int | None] = dict.fromkeys(self.symbols)
        self.book_synced: dict[str, bool] = dict.fromkeys(self.symbols, False)
        self.open_gaps: dict[str, dict[str, Any]] = {}
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
        last = self.book_ids[state.symbol]
        snapshot = message.get(venue.TYPE) == "snapshot" or update == 1
        if not snapshot and last is not None and update <= last:
            return  # a repeat from an overlapping connection
        self.write(state, ns, raw)
        if snapshot:
            self.book_ids[state.symbol] = update
            self.book_synced[state.symbol] = True
            self.manifest(state, ns).add("snapshots", {"ns": ns, "update_id": update, "time": message.get("ts"),
                                                      "reason": "service restart (u = 1)" if update == 1
                                                      and message.get(venue.TYPE) != "snapshot" else "snapshot"})
            gap = self.open_gaps.pop(state.symbol, None)
            if gap is not None:
                gap.update(last_update_id=update, last_ns=ns, last_time=message.get("ts"))
                self.manifest(state, ns).add("gaps", gap)
            self.deliver(state, message, ns, snapshot=True)
            return
        if not self.book_synced[state.symbol]:
            return
        if last is not None and update != last + 1:
            self.book_synced[state.symbol] = False
            self.open_gaps[state.symbol] = {"reason": "update id break", "first_update_id": last + 1,
                                            "after_update_id": last, "last_update_id": None, "first_ns": ns,
                                            "last_ns": None, "first_time": message.get("ts"), "last_time": None}
            self.log(f"{state.symbol}: book gap after update {last}; subscribing again for a snapshot")
            self.spawn(self._resubscribe(state.symbol))
            return
        self.book_ids[state.symbol] = update
        self.deliver(state, message, ns)

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

    def on_connected(self, link: str) -> None:
        # A new connection starts every book again from the snapshot it sends first.
        for symbol in self.symbols:
            self.book_synced[symbol] = False
