"""Loopback stand-ins for the exchanges: a WebSocket server speaking Binance's combined streams
(depth under /public, trades, mark price and liquidations under /market) with a small HTTP server
for the REST depth snapshot and open interest, and one speaking Bybit's v5 public stream. Each
replays a generated market tape at a fixed pace and injects the faults a test asks for. They run
on 127.0.0.1 in a thread of their own and stop with `close()`."""

from __future__ import annotations

import asyncio
import contextlib
import json
import random
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlparse

from websockets.asyncio.server import Server, ServerConnection, serve

T0 = 1_780_000_000_000  # a plausible epoch-ms start of the tape
# The exchange pings its clients and drops one that does not answer: here five times a second.
PINGS: dict[str, Any] = {"ping_interval": 0.2, "ping_timeout": 0.5}


def _px(ticks: int) -> str:
    return f"{ticks / 10:.1f}"


@dataclass
class Step:
    """One moment of the tape: what each route sends then."""

    ms: int
    depth: dict[str, Any] | None = None  # depthUpdate data
    market: list[dict[str, Any]] = field(default_factory=list)  # aggTrade, markPriceUpdate, forceOrder


@dataclass
class BinanceTape:
    symbol: str
    steps: list[Step]
    book_after: list[tuple[int, dict[int, str], dict[int, str]]]  # (u, bids, asks) after each depth step

    @classmethod
    def generate(cls, symbol: str = "BTCUSDT", steps: int = 400, seed: int = 7) -> BinanceTape:
        rng = random.Random(seed)
        bids = {600000 - i: f"{rng.randint(1, 50) / 10:.3f}" for i in range(1, 30)}
        asks = {600000 + i: f"{rng.randint(1, 50) / 10:.3f}" for i in range(0, 29)}
        u = 1000
        trade_id = 5000
        out: list[Step] = []
        after: list[tuple[int, dict[int, str], dict[int, str]]] = [(u, dict(bids), dict(asks))]
        for i in range(steps):
            ms = T0 + 100 * i
            first = u + 1
            u += rng.randint(1, 4)
            b = []
            a = []
            for _ in range(rng.randint(1, 4)):
                tick = 600000 - rng.randint(1, 35)
                qty = "0.000" if rng.random() < 0.25 else f"{rng.randint(1, 80) / 10:.3f}"
                b.append([_px(tick), qty])
                bids.pop(tick, None) if qty == "0.000" else bids.__setitem__(tick, qty)
            for _ in range(rng.randint(0, 3)):
                tick = 600000 + rng.randint(0, 34)
                qty = "0.000" if rng.random() < 0.25 else f"{rng.randint(1, 80) / 10:.3f}"
                a.append([_px(tick), qty])
                asks.pop(tick, None) if qty == "0.000" else asks.__setitem__(tick, qty)
            depth = {"e": "depthUpdate", "E": ms + 2, "T": ms, "s": symbol, "U": first, "u": u, "pu": first - 1,
                     "b": b, "a": a}
            step = Step(ms, depth)
            for _ in range(rng.randint(0, 2)):
                trade_id += 1
                step.market.append({"e": "aggTrade", "E": ms + 1, "a": trade_id, "s": symbol,
                                    "p": _px(600000 + rng.randint(-3, 3)), "q": f"{rng.randint(1, 30) / 1000:.3f}",
                                    "f": trade_id * 2, "l": trade_id * 2 + 1, "T": ms, "m": rng.random() < 0.5})
            if i % 10 == 0:
                step.market.append({"e": "markPriceUpdate", "E": ms, "s": symbol, "p": "60000.1", "i": "60000.0",
                                    "P": "60001.0", "r": f"0.000{10 + i % 7}", "T": T0 + 8 * 3600_000})
            if i % 37 == 5:
                step.market.append({"e": "forceOrder", "E": ms + 3, "o": {
                    "s": symbol, "S": "SELL" if i % 2 else "BUY", "o": "LIMIT", "f": "IOC", "q": "0.010",
                    "p": "59990.0", "ap": "59995.5", "X": "FILLED", "l": "0.010", "z": "0.010", "T": ms + 1}})
            out.append(step)
            after.append((u, dict(bids), dict(asks)))
        return cls(symbol, out, after)

    def book_at(self, update_id: int) -> tuple[dict[int, str], dict[int, str]]:
        """The book after the last depth step whose u is at most `update_id`."""
        best = self.book_after[0]
        for entry in self.book_after:
            if entry[0] <= update_id:
                best = entry
        return best[1], best[2]


@dataclass
class Faults:
    """Faults injected by the Binance stand-in, by tape position (step index)."""

    drop_depth_at: set[int] = field(default_factory=set)  # abort the depth connection (no close frame)
    silent_depth: tuple[int, int] | None = None  # steps [a, b) not sent to depth connections
    skip_depth: set[int] = field(default_factory=set)  # depth steps never sent (a pu break)
    stale_snapshots: int = 0  # first snapshots served this many steps old
    restart_at: int | None = None  # the WebSocket server closes and comes back
    restart_pause: float = 0.3
    garbage_at: set[int] = field(default_factory=set)  # a text that is not JSON on the market route
    rest_delay: float = 0.0  # seconds before every REST reply
    # Depth snapshot request n (from 0) served as the book after tape step s (-1: before the tape).
    snapshot_at: dict[int, int] = field(default_factory=dict)
    # Depth snapshot request n answered only once the tape has played step s.
    hold_snapshot: dict[int, int] = field(default_factory=dict)
    # Snapshots served before the tape goes past step 20 (the book synchronised first); None:
    # one more than the stale ones, 0: no wait.
    sync_snapshots: int | None = None
    # Step -> depth connections: the tape waits there until that many have been opened (a recorder
    # started again).
    wait_for_depth_at: dict[int, int] = field(default_factory=dict)


class BinanceServer:
    """Serves a `BinanceTape` at `pace` seconds per step."""

    def __init__(self, tape: BinanceTape, faults: Faults | None = None, pace: float = 0.004,
                 wait_for_clients: bool = True) -> None:
        self.tape = tape
        self.faults = faults or Faults()
        self.pace = pace
        self.position = -1  # last step sent
        self.sent_depth: list[int] = []  # u of each depth event sent to any client
        self.snapshots_served: list[dict[str, Any]] = []
        self.clients: dict[str, set[ServerConnection]] = {"public": set(), "market": set()}
        self.connections = 0
        self.rest_paths: list[str] = []
        self.loop = asyncio.new_event_loop()
        self.server: Server | None = None
        self.port = 0
        self.done = threading.Event()
        self.wait_for_clients = wait_for_clients
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._stale_left = self.faults.stale_snapshots
        self.depth_requests = 0
        self.depth_connections = 0
        self.lock = threading.Lock()
        self.http = ThreadingHTTPServer(("127.0.0.1", 0), self._http_handler())
        self._http_thread = threading.Thread(target=self.http.serve_forever, daemon=True)

    # ---- HTTP ---------------------------------------------------------------------------------
    def _http_handler(self) -> type[BaseHTTPRequestHandler]:
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                url = urlparse(self.path)
                server.rest_paths.append(url.path)
                time.sleep(server.faults.rest_delay)
                query = parse_qs(url.query)
                symbol = query.get("symbol", [""])[0]
                if symbol != server.tape.symbol:
                    self._reply(400, {"code": -1121, "msg": "Invalid symbol."})
                elif url.path.endswith("/depth"):
                    with server.lock:
                        number = server.depth_requests
                        server.depth_requests += 1
                    hold = server.faults.hold_snapshot.get(number)
                    if hold is not None:
                        wait_until(lambda: server.position >= hold, 10.0)
                    self._reply(200, server.snapshot(number))
                elif url.path.endswith("/openInterest"):
                    ms = server.tape.steps[max(server.position, 0)].ms
                    self._reply(200, {"symbol": symbol, "openInterest": f"{1000 + server.position}.500", "time": ms})
                else:
                    self._reply(404, {"code": -1, "msg": "not found"})

            def _reply(self, status: int, body: dict[str, Any]) -> None:
                data = json.dumps(body, separators=(",", ":")).encode()
                with contextlib.suppress(OSError):  # a client that stopped waiting
                    self.send_response(status)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data)

        return Handler

    def snapshot(self, number: int = 0) -> dict[str, Any]:
        position = self.position
        if number in self.faults.snapshot_at:
            position = self.faults.snapshot_at[number]
        elif self._stale_left > 0:
            self._stale_left -= 1
            position = max(position - 25, -1)
        u, bids, asks = self.tape.book_after[position + 1]
        # The book before the tape is stamped before its first step.
        ms = self.tape.steps[position].ms if position >= 0 else self.tape.steps[0].ms - 100
        body = {"lastUpdateId": u, "E": ms + 5, "T": ms,
                "bids": [[_px(t), q] for t, q in sorted(bids.items(), reverse=True)],
                "asks": [[_px(t), q] for t, q in sorted(asks.items())]}
        self.snapshots_served.append(body)
        return body

    # ---- WebSocket ----------------------------------------------------------------------------
    async def _handler(self, ws: ServerConnection) -> None:
        path = urlparse(ws.request.path if ws.request else "")
        route = path.path.strip("/").split("/")[0]
        if route not in self.clients or not path.path.endswith("/stream"):
            await ws.close(1008, "unknown route")
            return
        self.connections += 1
        self.depth_connections += route == "public"
        self.clients[route].add(ws)
        try:
            await ws.wait_closed()
        finally:
            self.clients[route].discard(ws)

    async def _send(self, route: str, data: dict[str, Any], stream: str) -> None:
        text = json.dumps({"stream": stream, "data": data}, separators=(",", ":"))
        for ws in list(self.clients[route]):
            with contextlib.suppress(Exception):
                await ws.send(text)

    async def _play(self) -> None:
        f = self.faults
        sym = self.tape.symbol.lower()
        if self.wait_for_clients:
            for _ in range(2000):
                if self.clients["public"] and self.clients["market"]:
                    break
                await asyncio.sleep(0.005)
        for i, step in enumerate(self.tape.steps):
            wanted = f.stale_snapshots + 1 if f.sync_snapshots is None else f.sync_snapshots
            if i == 20 and wanted:
                # The faults come later: the book is synchronised first, however slow the machine.
                for _ in range(1000):
                    if len(self.snapshots_served) >= wanted:
                        break
                    await asyncio.sleep(0.01)
                await asyncio.sleep(0.1)
            if f.restart_at == i and self.server is not None:
                self.server.close()
                await self.server.wait_closed()
                await asyncio.sleep(f.restart_pause)
                self.server = await serve(self._handler, "127.0.0.1", self.port, reuse_address=True, **PINGS)
            if i in f.drop_depth_at:
                # A cut needs a connection to cut: wait for the client's reconnect after an earlier one.
                for _ in range(1000):
                    if self.clients["public"]:
                        break
                    await asyncio.sleep(0.01)
            if i in f.wait_for_depth_at:
                for _ in range(1000):
                    if self.depth_connections >= f.wait_for_depth_at[i] and self.clients["public"]:
                        break
                    await asyncio.sleep(0.01)
            if i in f.drop_depth_at:
                for ws in list(self.clients["public"]):
                    ws.transport.abort()
            silent = f.silent_depth is not None and f.silent_depth[0] <= i < f.silent_depth[1]
            if step.depth is not None and i not in f.skip_depth and not silent and self.clients["public"]:
                await self._send("public", step.depth, f"{sym}@depth@100ms")
                self.sent_depth.append(step.depth["u"])
            if i in f.garbage_at:
                for ws in list(self.clients["market"]):
                    with contextlib.suppress(Exception):
                        await ws.send("this is not JSON {")
            for data in step.market:
                name = {"aggTrade": "aggTrade", "markPriceUpdate": "markPrice@1s", "forceOrder": "forceOrder"}[data["e"]]
                await self._send("market", data, f"{sym}@{name}")
            self.position = i
            await asyncio.sleep(self.pace)
        self.done.set()

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)

        async def main() -> None:
            self.server = await serve(self._handler, "127.0.0.1", 0, **PINGS)
            self.port = self.server.sockets[0].getsockname()[1] if self.server.sockets else 0
            self._ready.set()
            await self._play()
            await asyncio.sleep(3600)  # connections stay open until close()

        with contextlib.suppress(Exception, asyncio.CancelledError):
            self.loop.run_until_complete(main())

    def start(self) -> BinanceServer:
        self._thread.start()
        self._http_thread.start()
        if not self._ready.wait(5):
            raise RuntimeError("the stand-in server did not start")
        return self

    @property
    def ws_url(self) -> str:
        return f"ws://127.0.0.1:{self.port}"

    @property
    def rest_url(self) -> str:
        return f"http://127.0.0.1:{self.http.server_address[1]}"

    def close(self) -> None:
        with contextlib.suppress(Exception):
            asyncio.run_coroutine_threadsafe(_shutdown(self.server), self.loop).result(5)
        self._thread.join(5)
        self.http.shutdown()
        self.http.server_close()
        self._http_thread.join(5)


async def _shutdown(server: Server | None) -> None:
    """Closes the server and its connections, then ends every other task of the loop."""
    if server is not None:
        server.close()
        await server.wait_closed()
    for task in asyncio.all_tasks():
        if task is not asyncio.current_task():
            task.cancel()


def wait_until(condition: Any, timeout: float) -> bool:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return False


class BybitServer:
    """Bybit's v5 public stream: subscriptions, pings, and a generated market on four topics.

    The book of `orderbook.200.SYMBOL` starts with a snapshot on each subscription, then deltas
    with u one higher each; `restart_at` sends the whole book as a delta with u = 1 (the exchange's
    service restart), `skip_at` leaves one delta out, `drop_at` cuts the connections at those
    steps and `hold_snapshots_until` sends every snapshot after the first only once that step has
    played. `history` is the book after each step: (u, ms, bids, asks)."""

    def __init__(self, symbol: str = "BTCUSDT", steps: int = 300, pace: float = 0.004, seed: int = 5,
                 skip_at: int | None = None, restart_at: int | None = None, drop_at: frozenset[int] = frozenset(),
                 hold_snapshots_until: int | None = None) -> None:
        self.symbol = symbol
        self.steps = steps
        self.pace = pace
        self.rng = random.Random(seed)
        self.skip_at = skip_at
        self.restart_at = restart_at
        self.drop_at = drop_at
        self.hold_snapshots_until = hold_snapshots_until
        self.u = 100
        self.ms = T0 - 100
        self.position = -1
        self.bids = {600000 - i: "1.000" for i in range(1, 20)}
        self.asks = {600000 + i: "1.000" for i in range(0, 19)}
        self.history: list[tuple[int, int, dict[int, str], dict[int, str]]] = [
            (self.u, self.ms, dict(self.bids), dict(self.asks))]
        self.pings = 0
        self.subscribed: dict[ServerConnection, set[str]] = {}
        self.trades_sent: list[dict[str, Any]] = []
        self.snapshots_sent = 0
        self.done = threading.Event()
        self.loop = asyncio.new_event_loop()
        self.server: Server | None = None
        self.port = 0
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _book_message(self, kind: str, u: int, ms: int, bids: list[list[str]], asks: list[list[str]]) -> str:
        return json.dumps({"topic": f"orderbook.200.{self.symbol}", "type": kind, "ts": ms, "cts": ms,
                           "data": {"s": self.symbol, "b": bids, "a": asks, "u": u, "seq": u * 10}})

    def _full(self) -> tuple[list[list[str]], list[list[str]]]:
        return ([[_px(t), q] for t, q in sorted(self.bids.items(), reverse=True)],
                [[_px(t), q] for t, q in sorted(self.asks.items())])

    async def _handler(self, ws: ServerConnection) -> None:
        self.subscribed[ws] = set()
        try:
            async for text in ws:
                request = json.loads(text)
                if request.get("op") == "ping":
                    self.pings += 1
                    await ws.send(json.dumps({"success": True, "ret_msg": "pong", "op": "ping"}))
                elif request.get("op") == "subscribe":
                    for topic in request["args"]:
                        self.subscribed[ws].add(topic)
                        if topic.startswith("orderbook"):
                            hold = self.hold_snapshots_until
                            if self.snapshots_sent and hold is not None:
                                for _ in range(2000):
                                    if self.position >= hold:
                                        break
                                    await asyncio.sleep(0.005)
                            self.snapshots_sent += 1
                            await ws.send(self._book_message("snapshot", self.u, self.ms, *self._full()))
                    await ws.send(json.dumps({"success": True, "ret_msg": "", "op": "subscribe"}))
                elif request.get("op") == "unsubscribe":
                    for topic in request["args"]:
                        self.subscribed[ws].discard(topic)
        except Exception:
            pass
        finally:
            self.subscribed.pop(ws, None)

    async def _send(self, topic: str, text: str) -> None:
        for ws, topics in list(self.subscribed.items()):
            if topic in topics:
                with contextlib.suppress(Exception):
                    await ws.send(text)

    async def _play(self) -> None:
        for _ in range(2000):
            if any(len(t) >= 4 for t in self.subscribed.values()):
                break
            await asyncio.sleep(0.005)
        sym = self.symbol
        for i in range(self.steps):
            ms = T0 + 100 * i
            if i in self.drop_at:
                # A cut needs a connection to cut: wait for the client's reconnect after an earlier one.
                for _ in range(1000):
                    if self.subscribed:
                        break
                    await asyncio.sleep(0.01)
                for ws in list(self.subscribed):
                    ws.transport.abort()
            tick = 600000 - self.rng.randint(1, 25)
            qty = "0" if self.rng.random() < 0.3 else f"{self.rng.randint(1, 90) / 10:.3f}"
            self.bids.pop(tick, None) if qty == "0" else self.bids.__setitem__(tick, qty)
            self.ms = ms
            if i == self.restart_at:
                self.u = 1
                await self._send(f"orderbook.200.{sym}", self._book_message("delta", 1, ms, *self._full()))
            else:
                self.u += 1
                if i != self.skip_at:
                    await self._send(f"orderbook.200.{sym}",
                                     self._book_message("delta", self.u, ms, [[_px(tick), qty]], []))
            self.history.append((self.u, ms, dict(self.bids), dict(self.asks)))
            self.position = i
            trade = {"T": ms, "s": sym, "S": "Buy" if i % 2 else "Sell", "v": "0.010", "p": _px(600000),
                     "L": "PlusTick", "i": f"trade-{i}", "BT": False}
            self.trades_sent.append(trade)
            await self._send(f"publicTrade.{sym}", json.dumps({"topic": f"publicTrade.{sym}", "type": "snapshot",
                                                               "ts": ms, "data": [trade]}))
            if i % 10 == 0:
                ticker: dict[str, Any] = {"symbol": sym, "markPrice": "60000.00"}
                if i % 20 == 0:
                    ticker.update(fundingRate=f"0.000{10 + i % 7}", openInterest=f"{5000 + i}.5")
                await self._send(f"tickers.{sym}", json.dumps({"topic": f"tickers.{sym}", "type": "delta", "ts": ms,
                                                               "cs": i, "data": ticker}))
            if i % 50 == 7:
                await self._send(f"allLiquidation.{sym}", json.dumps({
                    "topic": f"allLiquidation.{sym}", "type": "snapshot", "ts": ms,
                    "data": [{"T": ms, "s": sym, "S": "Buy", "v": "0.500", "p": "59900.0"}]}))
            await asyncio.sleep(self.pace)
        self.done.set()

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)

        async def main() -> None:
            server = self.server = await serve(self._handler, "127.0.0.1", 0)
            self.port = server.sockets[0].getsockname()[1] if server.sockets else 0
            self._ready.set()
            await self._play()
            await asyncio.sleep(3600)

        with contextlib.suppress(Exception, asyncio.CancelledError):
            self.loop.run_until_complete(main())

    def start(self) -> BybitServer:
        self._thread.start()
        if not self._ready.wait(5):
            raise RuntimeError("the stand-in server did not start")
        return self

    @property
    def ws_url(self) -> str:
        return f"ws://127.0.0.1:{self.port}/v5/public/linear"

    def close(self) -> None:
        with contextlib.suppress(Exception):
            asyncio.run_coroutine_threadsafe(_shutdown(self.server), self.loop).result(5)
        self._thread.join(5)


class RecordedBooks:
    """`book_after` of a tape replayed from a real recording: (u, bids, asks) after each step,
    rebuilt on demand from checkpoints (a real book has thousands of levels)."""

    EVERY = 100

    def __init__(self, first: tuple[int, dict[int, str], dict[int, str]], steps: list[Step]) -> None:
        self.steps = steps
        self.checkpoints = [(first[0], dict(first[1]), dict(first[2]))]
        u, bids, asks = self.checkpoints[0]
        bids, asks = dict(bids), dict(asks)
        for i, step in enumerate(steps):
            u = self._apply(step, bids, asks)
            if (i + 1) % self.EVERY == 0:
                self.checkpoints.append((u, dict(bids), dict(asks)))

    @staticmethod
    def _apply(step: Step, bids: dict[int, str], asks: dict[int, str]) -> int:
        assert step.depth is not None
        for side, levels in ((bids, step.depth["b"]), (asks, step.depth["a"])):
            for price, qty in levels:
                tick = round(float(price) * 10)
                if float(qty) == 0:
                    side.pop(tick, None)
                else:
                    side[tick] = qty
        return int(step.depth["u"])

    def __len__(self) -> int:
        return len(self.steps) + 1

    def __getitem__(self, index: int) -> tuple[int, dict[int, str], dict[int, str]]:
        base = index // self.EVERY
        u, bids, asks = self.checkpoints[base]
        bids, asks = dict(bids), dict(asks)
        for step in self.steps[base * self.EVERY:index]:
            u = self._apply(step, bids, asks)
        return u, bids, asks


def recorded_tape(path: str, steps: int) -> BinanceTape:
    """A tape of the depth updates of a real recording (`<ns> <combined-stream JSON>` lines, with
    its REST snapshot in line), from the snapshot on: `steps` updates, the first one bridging it."""
    import gzip

    snapshot: dict[str, Any] | None = None
    depth: list[dict[str, Any]] = []
    with gzip.open(path, "rt") as lines:
        for line in lines:
            message = json.loads(line.partition(" ")[2])
            data = message.get("data", message)
            if "lastUpdateId" in data and snapshot is None:
                snapshot = data
            elif data.get("e") == "depthUpdate" and snapshot is not None:
                if data["u"] >= snapshot["lastUpdateId"]:
                    depth.append(data)
                if len(depth) >= steps:
                    break
    assert snapshot is not None and depth, f"{path} holds no snapshot and depth updates after it"
    ticks = [{round(float(p) * 10): q for p, q in snapshot[side]} for side in ("bids", "asks")]
    tape_steps = [Step(d["T"], d) for d in depth]
    return BinanceTape(depth[0]["s"], tape_steps,
                       RecordedBooks((snapshot["lastUpdateId"], ticks[0], ticks[1]), tape_steps))  # type: ignore[arg-type]
