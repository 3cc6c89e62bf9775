"""Binance futures live: combined streams, the book synchronised from REST snapshots, open
interest polled over REST. Stream names, paths and fields come from `korvel_vorn.venues.binance`.

The book follows the exchange's documented procedure: depth events are buffered, a snapshot is
fetched, events with `u` below its `lastUpdateId` (plus the venue's `snapshot_bridge`) are dropped,
the first kept one must have `U <= lastUpdateId + bridge <= u`, and from then on each `pu` must
equal the previous `u`. A snapshot that no buffered event bridges is older than them: it stays in
the file, is marked unused in the manifest, and another is fetched. Any break is a gap in the
manifest, from the last update applied to the first one applied after the snapshot that bridges,
and a new snapshot is fetched (no sooner than `snapshot_interval` after the last one of the symbol).
"""

from __future__ import annotations

import asyncio
import contextlib
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from ...recorder import rest
from ...recorder.core import GAP_KEYS, BookMark, Recorder, SymbolState, loads
from ...recorder.links import Link
from . import live as venue

# Depth events kept while the book waits for a snapshot (they are written as they come; these only
# serve to find the one that bridges it): the newest, about 15 minutes of 100 ms events. An older
# snapshot than all of them is discarded as stale anyway.
BUFFER_LIMIT = 10_000


@dataclass
class _Depth:
    first: int  # U
    last: int  # u
    previous: int | None  # pu (spot has none: there U must be the previous u + 1)
    data: dict[str, Any]
    ns: int

    @property
    def time(self) -> Any:
        return self.data.get("T", self.data.get("E"))


@dataclass
class BinanceBook:
    """The synchronisation of one symbol's book (update ids only; lines are written as received)."""

    symbol: str
    synced_to: int | None = None  # u of the last event applied
    anchor: int | None = None  # lastUpdateId of the snapshot waiting for its first event
    anchor_message: dict[str, Any] | None = None
    anchor_entry: dict[str, Any] | None = None  # its entry in the manifest's snapshots
    buffer: list[_Depth] = field(default_factory=list)
    last_good: _Depth | None = None  # the last update applied in sync
    open_gap: dict[str, Any] | None = None
    wanted: bool = True  # a snapshot is needed
    buffered_from: int | None = None  # U of the session's first depth event, until the book first syncs
    ever_synced: bool = False


class BinanceRecorder(Recorder):
    def __init__(self, source: str, *args: Any, live: venue.LiveVenue | None = None, **kwargs: Any) -> None:
        super().__init__(source, *args, **kwargs)
        self.venue = live or venue.LIVE_VENUES[source]
        self.books = {s: BinanceBook(s) for s in self.symbols}
        self.last_ids: dict[tuple[str, str], int] = {}
        self._snapshot_tasks: dict[str, asyncio.Task[None]] = {}
        self._last_snapshot: dict[str, float] = {}

    # ---- links --------------------------------------------------------------------------------
    def links(self) -> list[Link]:
        ws = self.venue.ws_url()
        depth_route, market_route = self.venue.routes
        every_trade = self.options.every_trade or self.venue.every_trade
        depth = [venue.depth_stream(s) for s in self.symbols]
        market = [name for s in self.symbols for name in (
            venue.trade_stream(s, every_trade),
            *((venue.liquidation_stream(s), venue.mark_price_stream(s)) if self.venue.derivatives else ()))]
        return [
            self.link("depth", venue.combined_url(ws, depth_route, depth)),
            self.link("market", venue.combined_url(ws, market_route, market)),
        ]

    def background(self) -> list[Callable[[], Any]]:
        tasks: list[Callable[[], Any]] = []
        if self.venue.open_interest_path is not None:
            tasks.append(self._poll_open_interest)
        if self.venue.symbol_check_path is not None:
            tasks.append(self._check_symbols)
        return tasks

    def start_manifest(self, state: SymbolState) -> None:
        if state.files is None or not self.venue.derivatives:
            return
        state.files.manifest_for(time.time_ns()).set("liquidations", {
            "stream": venue.liquidation_stream(state.symbol), "sampled": True,
            "note": "the exchange sends at most one liquidation a second per symbol: the latest of each second"})

    # ---- messages -----------------------------------------------------------------------------
    def on_message(self, raw: bytes, ns: int) -> None:
        try:
            envelope = loads(raw)
            data = envelope["data"] if isinstance(envelope, dict) and "data" in envelope else envelope
            event = data.get(venue.EVENT) if isinstance(data, dict) else None
        except (ValueError, TypeError):
            self.unreadable(raw, ns, "not JSON")
            return
        if not isinstance(event, str):
            self.unreadable(raw, ns, "a message without an event type")
            return
        order = data.get(venue.LIQUIDATION_ORDER)
        symbol = data.get(venue.SYMBOL) if event != "forceOrder" or not isinstance(order, dict) else order.get("s")
        state = self.states.get(str(symbol).upper()) if isinstance(symbol, str) else None
        if state is None:
            self.unreadable(raw, ns, f"a message of another symbol ({symbol})")
            return
        key = {"depthUpdate": venue.DEPTH_LAST_ID, "aggTrade": venue.AGG_TRADE_ID, "trade": venue.TRADE_ID,
               "markPriceUpdate": venue.EVENT_TIME, "forceOrder": venue.EVENT_TIME}.get(event)
        if key is not None:
            value = data.get(key)
            if isinstance(value, int):
                last = self.last_ids.get((state.symbol, event))
                if last is not None and value <= last:
                    # Already written: a message of an overlapping connection (or out of order).
                    manifest = self.manifest(state, ns)
                    manifest.data["repeats_skipped"] = manifest.data.get("repeats_skipped", 0) + 1
                    manifest.dirty = True
                    return
                if event in ("aggTrade", "trade") and last is not None and value > last + 1:
                    self.manifest(state, ns).add("trade_id_holes", {"stream": event, "first_missing": last + 1,
                                                                   "last_missing": value - 1, "ns": ns})
                self.last_ids[(state.symbol, event)] = value
        self.write(state, ns, raw)
        if event == "depthUpdate":
            self._depth(state, data, ns)
        else:
            self.deliver(state, data, ns)

    def _depth(self, state: SymbolState, data: dict[str, Any], ns: int) -> None:
        try:
            event = _Depth(int(data[venue.DEPTH_FIRST_ID]), int(data[venue.DEPTH_LAST_ID]),
                           None if data.get(venue.DEPTH_PREVIOUS_ID) is None else int(data[venue.DEPTH_PREVIOUS_ID]),
                           data, ns)
        except (KeyError, TypeError, ValueError):
            self.log(f"{state.symbol}: a depth update without its update ids U and u")
            return
        book = self.books[state.symbol]
        synced_to = book.synced_to
        if synced_to is not None:
            # In sync (almost always): the next update is applied at once.
            if event.previous == synced_to if event.previous is not None else event.first == synced_to + 1:
                book.synced_to = event.last
                book.last_good = event
                self.deliver(state, data, ns)
            else:
                self._break(state, book, event, [])
            return
        book.buffer.append(event)
        if book.buffered_from is None:
            book.buffered_from = event.first
        if len(book.buffer) > 2 * BUFFER_LIMIT:  # trimmed in halves: a constant cost per event
            del book.buffer[:-BUFFER_LIMIT]
        if book.anchor is not None:
            self._apply_buffer(state, book)
        self._want_snapshot(state, book)

    def _apply(self, state: SymbolState, book: BinanceBook, event: _Depth) -> None:
        book.synced_to = event.last
        book.last_good = event
        self.deliver(state, event.data, event.ns)

    def _break(self, state: SymbolState, book: BinanceBook, event: _Depth, rest: list[_Depth]) -> None:
        """An update that does not follow the last one applied: the book waits for a new snapshot,
        with `event` and `rest` buffered."""
        reason = "update id break (pu is not the previous u)"
        last = book.last_good
        if book.open_gap is None and last is not None:
            self._open_gap(state, book, BookMark(last.last, last.time, last.ns), reason)
        book.synced_to = None
        book.anchor = None
        book.buffer = [event, *rest]
        book.wanted = True
        self._want_snapshot(state, book)

    def _open_gap(self, state: SymbolState, book: BinanceBook, start: BookMark, reason: str) -> None:
        """A gap from the last point the book was known at. It is listed at once (still open, in
        the manifest of the day that point was received on) and completed when it closes."""
        book.open_gap = {"reason": reason, "first_update_id": start.update_id + 1, "last_update_id": None,
                         "after_update_id": start.update_id, "first_ns": start.ns, "last_ns": None,
                         "first_time": start.time, "last_time": None}
        self.add_at(state, start.ns, "gaps", book.open_gap, GAP_KEYS)
        self.log(f"{state.symbol}: book gap after update {start.update_id} ({reason}); fetching a new snapshot")

    def _apply_buffer(self, state: SymbolState, book: BinanceBook) -> None:
        """Applies buffered events against the waiting snapshot (anchor)."""
        assert book.anchor is not None
        bridge = book.anchor + self.venue.snapshot_bridge
        events, book.buffer = book.buffer, []
        for i, event in enumerate(events):
            if book.synced_to is None:
                if event.last < bridge:
                    continue  # already in the snapshot
                if event.first > bridge:
                    self._reject(state, book, events[i:])
                    return
                self._synced(state, book, event)
                continue
            if not _continues(book.synced_to, event):
                self._break(state, book, event, events[i + 1:])
                return
            self._apply(state, book, event)

    def _reject(self, state: SymbolState, book: BinanceBook, rest: list[_Depth]) -> None:
        """The waiting snapshot is older than every buffered update: no update bridges it, so it is
        discarded (the file keeps it, and the manifest says it was not used) and another fetched.
        An open gap keeps its start; only the first snapshot of a session starts one."""
        assert book.anchor is not None and book.anchor_entry is not None
        entry = book.anchor_entry
        entry.update(used=False, why="older than the buffered updates")
        self.revise(state, entry["ns"], "snapshots", entry, ("ns", "last_update_id"))
        if book.open_gap is None:
            self._open_gap(state, book, BookMark(book.anchor, entry.get("time"), entry["ns"]),
                           "snapshot older than the buffered updates")
        else:
            self.log(f"{state.symbol}: snapshot {book.anchor} is older than the buffered updates "
                     f"(the first starts at {rest[0].first}); fetching another")
        book.anchor = None
        book.anchor_message = None
        book.anchor_entry = None
        book.buffer = rest
        book.wanted = True

    def _synced(self, state: SymbolState, book: BinanceBook, event: _Depth) -> None:
        entry = book.anchor_entry
        if entry is not None:
            entry["used"] = True
            if not book.ever_synced and book.buffered_from is not None:
                # The session's updates before this snapshot were written out of sync: from this id
                # on (a later session's recording starts where the previous one's book is not).
                entry["session_buffered_from"] = book.buffered_from
            self.revise(state, entry["ns"], "snapshots", entry, ("ns", "last_update_id"))
        book.ever_synced = True
        if book.open_gap is not None:
            gap = book.open_gap
            gap.update(last_update_id=book.anchor, last_ns=event.ns, last_time=event.time)
            self.note_gap_closed(state, gap)
            book.open_gap = None
        if book.anchor_message is not None:
            self.deliver(state, book.anchor_message, event.ns, snapshot=True)
        self._apply(state, book, event)
        book.anchor = None
        book.anchor_message = None
        book.anchor_entry = None

    # ---- snapshots ----------------------------------------------------------------------------
    def _want_snapshot(self, state: SymbolState, book: BinanceBook) -> None:
        task = self._snapshot_tasks.get(state.symbol)
        if book.wanted and not state.invalid and (task is None or task.done()):
            self._snapshot_tasks[state.symbol] = self.spawn(self._snapshot(state, book))

    async def _snapshot(self, state: SymbolState, book: BinanceBook) -> None:
        attempt = 0
        while book.wanted and not self.stopping.is_set():
            wait = self._last_snapshot.get(state.symbol, -1e9) + self.options.snapshot_interval - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            self._last_snapshot[state.symbol] = time.monotonic()
            url = (f"{self.venue.rest_url().rstrip('/')}{self.venue.depth_path}?symbol={state.symbol}"
                   f"&limit={venue.SNAPSHOT_LIMIT}")
            reply = await rest.get(url, self.options.rest_timeout)
            ns = time.time_ns()
            if reply.status == 200:
                try:
                    body = loads(reply.body)
                    last_id = int(body[venue.SNAPSHOT_ID])
                except (ValueError, TypeError, KeyError):
                    self.log(f"{state.symbol}: the depth snapshot is not a snapshot ({reply.body[:80]!r})")
                else:
                    self.write_generated(state, ns, f"{state.symbol.lower()}@rest.depth", reply.body)
                    self._use_snapshot(state, book, body, last_id, ns)
                    attempt = 0
                    continue  # (a snapshot older than the buffered updates wants another)
            elif reply.status == 400 and reply.exchange_code() == -1121:
                self.refuse_symbol(state, "the exchange does not know it")
                return
            else:
                self.log(f"{state.symbol}: depth snapshot failed ({reply.error or reply.status})")
            delay = reply.retry_after if reply.retry_after is not None else self.options.backoff(attempt)
            attempt += 1
            await asyncio.sleep(max(delay, self.options.snapshot_interval))

    def _use_snapshot(self, state: SymbolState, book: BinanceBook, body: dict[str, Any], last_id: int,
                      ns: int) -> None:
        """A snapshot received (and written): the buffered events are tried against it."""
        # "used" is decided by the buffered updates: None while none reaches it.
        entry = {"ns": ns, "last_update_id": last_id, "time": body.get("T", body.get("E")), "used": None}
        self.manifest(state, ns).add("snapshots", entry)
        book.wanted = False
        book.anchor = last_id
        book.anchor_message = body
        book.anchor_entry = entry
        book.synced_to = None
        self._apply_buffer(state, book)

    # ---- open interest ------------------------------------------------------------------------
    async def _poll_open_interest(self) -> None:
        while not self.stopping.is_set():
            for state in list(self.states.values()):
                if state.invalid:
                    continue
                url = f"{self.venue.rest_url().rstrip('/')}{self.venue.open_interest_path}?symbol={state.symbol}"
                reply = await rest.get(url, self.options.rest_timeout)
                ns = time.time_ns()
                if reply.status == 200:
                    try:
                        body = loads(reply.body)
                    except ValueError:
                        self.log(f"{state.symbol}: open interest reply is not JSON")
                        continue
                    self.write_generated(state, ns, f"{state.symbol.lower()}@rest.openInterest", reply.body)
                    self.deliver(state, body, ns)
                elif reply.status == 400 and reply.exchange_code() == -1121:
                    self.refuse_symbol(state, "the exchange does not know it")
                else:
                    self.log(f"{state.symbol}: open interest poll failed ({reply.error or reply.status})")
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(self.stopping.wait(), self.options.oi_every)

    # ---- symbols ------------------------------------------------------------------------------
    async def _check_symbols(self) -> None:
        """Asks the exchange once for each symbol: one it does not list is refused, as the open
        interest poll refuses it on futures. Failures other than that are retried with backoff."""
        pending = list(self.states.values())
        attempt = 0
        while pending and not self.stopping.is_set():
            for state in list(pending):
                url = f"{self.venue.rest_url().rstrip('/')}{self.venue.symbol_check_path}?symbol={state.symbol}"
                reply = await rest.get(url, self.options.rest_timeout)
                if reply.status == 200:
                    pending.remove(state)
                elif reply.status == 400 and reply.exchange_code() == -1121:
                    pending.remove(state)
                    self.refuse_symbol(state, "the exchange does not know it")
                else:
                    self.log(f"{state.symbol}: symbol check failed ({reply.error or reply.status})")
            if pending:
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(self.stopping.wait(), self.options.backoff(attempt))
                attempt += 1


def _continues(synced_to: int, event: _Depth) -> bool:
    """Whether `event` follows the update `synced_to` without a break (by pu where the venue
    sends it, else by U)."""
    return event.previous == synced_to if event.previous is not None else event.first == synced_to + 1
