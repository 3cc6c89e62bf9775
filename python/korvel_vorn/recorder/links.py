"""A WebSocket stream kept open: reconnects with backoff, replaces a silent connection, and
replaces an old connection with an overlapping new one before the exchange's 24 h limit."""

from __future__ import annotations

import asyncio
import contextlib
import time
from collections.abc import Awaitable, Callable
from typing import Any

from websockets.asyncio.client import ClientConnection, connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake, InvalidURI

from .options import RecordOptions

OnMessage = Callable[[bytes, int], None]
Log = Callable[[str], None]
MAX_MESSAGE = 1 << 24


class Link:
    """One stream URL, connected again and again until `stop`."""

    def __init__(self, name: str, url: str, on_message: OnMessage, options: RecordOptions, log: Log,
                 on_event: Callable[[str, dict[str, Any]], None],
                 subscribe: Callable[[ClientConnection], Awaitable[None]] | None = None,
                 keepalive: Callable[[ClientConnection], Awaitable[None]] | None = None) -> None:
        self.name = name
        self.url = url
        self.on_message = on_message
        self.options = options
        self.log = log
        self.on_event = on_event  # connection events for the manifests
        self.subscribe = subscribe
        self.keepalive = keepalive
        self.stopping = asyncio.Event()
        self.connections = 0
        self._open: set[ClientConnection] = set()

    async def _connect(self) -> ClientConnection:
        """A new connection, after as many attempts as it takes (backoff between them)."""
        attempt = 0
        while True:
            try:
                ws = await connect(self.url, max_size=MAX_MESSAGE, open_timeout=self.options.rest_timeout,
                                   close_timeout=self.options.close_timeout, ping_interval=20, ping_timeout=20,
                                   compression=None)
                if self.subscribe is not None:
                    await self.subscribe(ws)
                self.connections += 1
                self._open.add(ws)
                self.on_event("connected", {"link": self.name, "url": self.url, "ns": time.time_ns()})
                return ws
            except (OSError, TimeoutError, InvalidHandshake, InvalidURI, ConnectionClosed) as error:
                delay = self.options.backoff(attempt)
                self.log(f"{self.name}: cannot connect to {self.url} ({_reason(error)}); again in {delay:.1f} s")
                attempt += 1
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(self.stopping.wait(), delay)
                if self.stopping.is_set():
                    raise asyncio.CancelledError from None

    async def _read(self, ws: ClientConnection, first: asyncio.Event) -> str:
        """Messages of one connection until it ends; returns why it ended."""
        keep: asyncio.Future[None] | None = (
            asyncio.ensure_future(self.keepalive(ws)) if self.keepalive is not None else None)
        try:
            while True:
                try:
                    message = await asyncio.wait_for(ws.recv(decode=False), self.options.silence)
                except TimeoutError:
                    return f"no message for {self.options.silence:g} s"
                except ConnectionClosed as closed:
                    return f"connection closed ({_reason(closed)})"
                ns = time.time_ns()
                first.set()
                self.on_message(message if isinstance(message, bytes) else message.encode(), ns)
        finally:
            if keep is not None:
                keep.cancel()
            self._open.discard(ws)
            with contextlib.suppress(Exception):
                await asyncio.wait_for(ws.close(), self.options.close_timeout)

    async def run(self) -> None:
        attempt_after_drop = 0
        while not self.stopping.is_set():
            try:
                ws = await self._connect()
            except asyncio.CancelledError:
                return
            first = asyncio.Event()
            reader = asyncio.create_task(self._read(ws, first))
            opened = time.monotonic()
            while True:
                age_left = self.options.max_age - (time.monotonic() - opened)
                stop_wait = asyncio.create_task(self.stopping.wait())
                done, _ = await asyncio.wait({reader, stop_wait}, timeout=max(age_left, 0.0),
                                             return_when=asyncio.FIRST_COMPLETED)
                stop_wait.cancel()
                if self.stopping.is_set():
                    reader.cancel()
                    with contextlib.suppress(asyncio.CancelledError, Exception):
                        await reader
                    return
                if reader in done:
                    reason = reader.result()
                    self.on_event("disconnected", {"link": self.name, "ns": time.time_ns(), "reason": reason})
                    self.log(f"{self.name}: {reason}; reconnecting")
                    if not first.is_set():
                        # A connection that never delivered: wait before the next, growing.
                        delay = self.options.backoff(attempt_after_drop)
                        attempt_after_drop += 1
                        with contextlib.suppress(TimeoutError):
                            await asyncio.wait_for(self.stopping.wait(), delay)
                    else:
                        attempt_after_drop = 0
                    break
                # Planned replacement: the new connection runs beside the old one for a while.
                try:
                    new_ws = await self._connect()
                except asyncio.CancelledError:
                    reader.cancel()
                    return
                new_first = asyncio.Event()
                new_reader = asyncio.create_task(self._read(new_ws, new_first))
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(new_first.wait(), self.options.silence)
                await asyncio.sleep(self.options.overlap)
                reader.cancel()
                with contextlib.suppress(asyncio.CancelledError, Exception):
                    await reader
                self.on_event("replaced", {"link": self.name, "ns": time.time_ns()})
                reader, first, opened = new_reader, new_first, time.monotonic()

    def stop(self) -> None:
        self.stopping.set()


def _reason(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0][:200] if text else type(error).__name__
