"""A loopback stand-in for Binance spot: every stream at `/stream?streams=...` (depth updates
without `pu`, every trade), and the REST depth snapshot at `/api/v3/depth` (no `E` or `T`). It
plays a generated tape at a fixed pace on 127.0.0.1, in a thread of its own, injects the faults a
test asks for, and stops with `close()`."""

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

T0 = 1_780_000_000_000


def _px(ticks: int) -> str:
    return f"{ticks / 100:.2f}"


@dataclass
class SpotTape:
    symbol: str
    depth: list[dict[str, Any]]  # one depthUpdate per step
    trades: list[list[dict[str, Any]]]  # the trades of each step
    books: list[tuple[int, dict[int, str], dict[int, str]]]  # (u, bids, asks) before step 0, after each step

    @classmethod
    def generate(cls, symbol: str = "BTCUSDT", steps: int = 300, seed: int = 11) -> SpotTape:
        rng = random.Random(seed)
        bids = {9_300_000 - i: f"{rng.randint(1, 90) / 1000:.5f}" for i in range(1, 25)}
        asks = {9_300_000 + i: f"{rng.randint(1, 90) / 1000:.5f}" for i in range(0, 24)}
        u, trade_id = 70_000, 900
        depth, trades = [], []
        books = [(u, dict(bids), dict(asks))]
        for i in range(steps):
            ms = T0 + 100 * i
            first = u + 1
            u += rng.randint(1, 5)
            levels: dict[str, list[list[str]]] = {"b": [], "a": []}
            for key, side, sign in (("b", bids, -1), ("a", asks, 1)):
                for _ in range(rng.randint(0, 3)):
                    tick = 9_300_000 + sign * rng.randint(1 if sign < 0 else 0, 30)
                    qty = "0.00000000" if rng.random() < 0.3 else f"{rng.randint(1, 900) / 10000:.8f}"
                    levels[key].append([_px(tick), qty])
                    side.pop(tick, None) if float(qty) == 0 else side.__setitem__(tick, qty)
            depth.append({"e": "depthUpdate", "E": ms, "s": symbol, "U": first, "u": u, **levels})
            step_trades = []
            for _ in range(rng.randint(0, 2)):
                trade_id += 1
                step_trades.append({"e": "trade", "E": ms + 1, "s": symbol, "t": trade_id,
                                    "p": _px(9_300_000 + rng.randint(-2, 2)), "q": f"{rng.randint(1, 500) / 100000:.5f}",
                                    "T": ms, "m": rng.random() < 0.5, "M": True})
            trades.append(step_trades)
            books.append((u, dict(bids), dict(asks)))
        return cls(symbol, depth, trades, books)


@dataclass
class SpotFaults:
    skip_depth: set[int] = field(default_factory=set)  # depth steps never sent: U jumps past u + 1
    # Depth snapshot request n (from 0) served as the book after tape step s (-1: before the tape).
    snapshot_at: dict[int, int] = field(default_factory=dict)


class SpotServer:
    """Serves a `SpotTape` at `pace` seconds per step, once both of a recorder's links are open."""

    def __init__(self, tape: SpotTape, faults: SpotFaults | None = None, pace: float = 0.004) -> None:
        self.tape = tape
        self.faults = faults or SpotFaults()
        self.pace = pace
        self.position = -1  # the last step played
        self.clients: dict[ServerConnection, set[str]] = {}
        self.paths: list[str] = []  # WebSocket request paths
        self.streams: set[str] = set()
        self.rest_paths: list[str] = []
        self.snapshots_served: list[dict[str, Any]] = []
        self.sent_trades: list[dict[str, Any]] = []
        self.done = threading.Event()
        self.lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        self.server: Server | None = None
        self.port = 0
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self.http = ThreadingHTTPServer(("127.0.0.1", 0), self._http_handler())
        self._http_thread = threading.Thread(target=self.http.serve_forever, kwargs={"poll_interval": 0.05},
                                             daemon=True)

    def _http_handler(self) -> type[BaseHTTPRequestHandler]:
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                url = urlparse(self.path)
                query = parse_qs(url.query)
                with server.lock:
                    server.rest_paths.append(url.path)
                if url.path not in ("/api/v3/depth", "/api/v3/exchangeInfo"):
                    self._reply(404, {"code": -1, "msg": "not found"})
                elif query.get("symbol") != [server.tape.symbol]:
                    self._reply(400, {"code": -1121, "msg": "Invalid symbol."})
                elif url.path == "/api/v3/exchangeInfo":
                    self._reply(200, {"symbols": [{"symbol": server.tape.symbol, "status": "TRADING"}]})
                else:
                    self._reply(200, server.snapshot())

            def _reply(self, status: int, body: dict[str, Any]) -> None:
                data = json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        return Handler

    def snapshot(self) -> dict[str, Any]:
        with self.lock:
            number = len(self.snapshots_served)
            step = self.faults.snapshot_at.get(number, self.position)
            u, bids, asks = self.tape.books[step + 1]
            body = {"lastUpdateId": u,
                    "bids": [[_px(t), q] for t, q in sorted(bids.items(), reverse=True)],
                    "asks": [[_px(t), q] for t, q in sorted(asks.items())]}
            self.snapshots_served.append(body)
        return body

    async def _handler(self, ws: ServerConnection) -> None:
        url = urlparse(ws.request.path if ws.request else "")
        self.paths.append(url.path)
        if url.path != "/stream":
            await ws.close(1008, "unknown path")
            return
        names = set(parse_qs(url.query).get("streams", [""])[0].split("/"))
        self.streams |= names
        self.clients[ws] = names
        try:
            await ws.wait_closed()
        finally:
            self.clients.pop(ws, None)

    async def _send(self, stream: str, data: dict[str, Any]) -> None:
        text = json.dumps({"stream": stream, "data": data}, separators=(",", ":"))
        for ws, names in list(self.clients.items()):
            if stream in names:
                with contextlib.suppress(Exception):  # a client gone while sending: it reconnects
                    await ws.send(text)

    async def _play(self) -> None:
        deadline = time.monotonic() + 10
        while len(self.clients) < 2 and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        low = self.tape.symbol.lower()
        for i, depth in enumerate(self.tape.depth):
            if i == 20:  # the book synchronised before most of the tape is played
                while not self.snapshots_served and time.monotonic() < deadline:
                    await asyncio.sleep(0.01)
            with self.lock:
                self.position = i
            if i not in self.faults.skip_depth:
                await self._send(f"{low}@depth@100ms", depth)
            for trade in self.tape.trades[i]:
                self.sent_trades.append(trade)
                await self._send(f"{low}@trade", trade)
            await asyncio.sleep(self.pace)
        self.done.set()

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)

        async def main() -> None:
            self.server = await serve(self._handler, "127.0.0.1", 0, ping_interval=0.2, ping_timeout=0.5)
            self.port = self.server.sockets[0].getsockname()[1] if self.server.sockets else 0
            self._ready.set()
            await self._play()
            await asyncio.sleep(3600)  # served until closed

        with contextlib.suppress(RuntimeError, asyncio.CancelledError):
            self.loop.run_until_complete(main())

    def start(self) -> SpotServer:
        self._http_thread.start()
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("the spot stand-in did not start")
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
