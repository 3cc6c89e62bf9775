"""What every exchange's recorder shares: the symbols' files and manifests, the links, the
flushing, stopping and the failures that end a recording."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import sys
import time
from collections.abc import Callable, Coroutine
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .files import Manifest, SymbolFiles
from .links import Link
from .options import RecordOptions

try:
    import orjson

    def loads(data: bytes | str) -> Any:
        return orjson.loads(data)
except ImportError:  # pragma: no cover - orjson comes with the convert extra
    def loads(data: bytes | str) -> Any:
        return json.loads(data)


# What a live consumer is given: symbol, the message's data (the exchange's own object), the
# receive time, and whether it is a book snapshot that starts the book again.
Sink = Callable[[str, dict[str, Any], int, bool], None]


# The fields that tell one gap of a manifest from another.
GAP_KEYS = ("reason", "after_update_id", "first_ns")


class RecordError(Exception):
    """A recording that cannot go on (its message is one line)."""


@dataclass
class BookMark:
    """A point a book was known at: an update id with its exchange time and receive time."""

    update_id: int
    time: Any
    ns: int


@dataclass
class SymbolState:
    symbol: str
    files: SymbolFiles | None
    invalid: bool = False


class _NoManifest(Manifest):
    def save(self) -> None:
        pass


class Recorder:
    """Records the live feeds of `symbols` into `out` (nothing is written when out is None) and
    hands every applied message to `sink`."""

    def __init__(self, source: str, symbols: list[str], out: Path | None, options: RecordOptions | None = None,
                 log: Callable[[str], None] | None = None, sink: Sink | None = None) -> None:
        self.source = source
        self.symbols = [s.upper() for s in symbols]
        self.out = out
        self.options = options or RecordOptions()
        self._log = log or (lambda line: print(f"record: {line}", file=sys.stderr, flush=True))
        self.sink = sink
        self.session = {"started_ns": time.time_ns(), "pid": os.getpid()}
        self.states = {s: SymbolState(s, SymbolFiles(out, source, s, self.session) if out is not None else None)
                       for s in self.symbols}
        self.stopping = asyncio.Event()
        self.exit_status = 0
        self.failure = ""
        self.unreadable_count = 0
        self._tasks: set[asyncio.Task[Any]] = set()
        self._links: list[Link] = []
        self._scratch: dict[str, Manifest] = {}
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop_early = False
        self.closed = False  # the files are closed: nothing more is written

    # ---- for the exchange's recorder ----------------------------------------------------------
    def links(self) -> list[Link]:
        raise NotImplementedError

    def background(self) -> list[Callable[[], Coroutine[Any, Any, None]]]:
        return []

    def on_message(self, raw: bytes, ns: int) -> None:
        raise NotImplementedError

    def start_manifest(self, state: SymbolState) -> None:
        pass

    def on_connected(self, link: str) -> None:
        pass

    # ---- shared -------------------------------------------------------------------------------
    def log(self, line: str) -> None:
        self._log(line)

    def link(self, name: str, url: str, **kwargs: Any) -> Link:
        return Link(name, url, self.on_message, self.options, self.log, self._link_event, **kwargs)

    def manifest(self, state: SymbolState, ns: int) -> Manifest:
        if state.files is None:
            return self._scratch.setdefault(state.symbol, _NoManifest(Path(os.devnull), {
                "gaps": [], "snapshots": [], "trade_id_holes": [], "connections": [], "reconnects": 0,
                "files": [], "sessions": [], "liquidations": None}))
        return state.files.manifest_for(ns)

    def revise(self, state: SymbolState, ns: int, key: str, entry: dict[str, Any], same: tuple[str, ...]) -> None:
        """Saves a change to a manifest entry added at `ns` (a gap that closes, a snapshot found
        stale), wherever its day's manifest is now."""
        if state.files is None or self.exit_status or self.closed:
            return
        try:
            state.files.revise(ns, key, entry, same)
        except OSError as error:
            self.fail(f"cannot write under {self.out}: {error.strerror or error}")

    def add_at(self, state: SymbolState, ns: int, key: str, entry: dict[str, Any], same: tuple[str, ...]) -> None:
        """Adds `entry` to the manifest of `ns`'s day, which may be a day already left behind (a
        gap that starts at an update received before midnight): that day's file is written
        without making it the open manifest again."""
        from .files import day_and_hour

        files = state.files
        if files is None or files.manifest is None or day_and_hour(ns)[0] == files.day:
            self.manifest(state, ns).add(key, entry)
        else:
            self.revise(state, ns, key, entry, same)

    def note_gap_closed(self, state: SymbolState, gap: dict[str, Any]) -> None:
        """A gap listed when it opened (at its `first_ns`) has closed: saved in its day's manifest,
        and listed again in the manifest of the day it closed on when that is another day, so each
        day's manifest bounds what its own files hold."""
        from .files import day_and_hour

        self.revise(state, gap["first_ns"], "gaps", gap, GAP_KEYS)
        closed = gap.get("last_ns")
        if isinstance(closed, int) and day_and_hour(closed)[0] != day_and_hour(gap["first_ns"])[0]:
            self.manifest(state, closed).add("gaps", dict(gap))

    def write(self, state: SymbolState, ns: int, raw: bytes) -> None:
        if state.files is None or self.exit_status or self.closed:
            return
        try:
            state.files.write(ns, raw)
        except OSError as error:
            self.fail(f"cannot write under {self.out}: {error.strerror or error}")

    def write_generated(self, state: SymbolState, ns: int, stream: str, body: bytes) -> None:
        """A REST reply in line, in an envelope of its own marked as generated by the recorder."""
        from .rest import one_line

        self.write(state, ns, b'{"stream":"%s","generated":true,"data":%s}' % (stream.encode(), one_line(body)))

    def deliver(self, state: SymbolState, data: dict[str, Any], ns: int, snapshot: bool = False) -> None:
        if self.sink is not None:
            self.sink(state.symbol, data, ns, snapshot)

    def unreadable(self, raw: bytes, ns: int, why: str) -> None:
        self.unreadable_count += 1
        if self.unreadable_count <= 3:
            self.log(f"skipped a message: {why}: {raw[:120]!r}")
        for state in self.states.values():
            manifest = self.manifest(state, ns)
            manifest.data["unreadable_messages"] = manifest.data.get("unreadable_messages", 0) + 1
            manifest.dirty = True

    def refuse_symbol(self, state: SymbolState, why: str) -> None:
        if state.invalid:
            return
        state.invalid = True
        self.log(f"unknown symbol {state.symbol} for {self.source}: {why}")
        if all(s.invalid for s in self.states.values()):
            self.fail("no symbol left to record")

    def fail(self, line: str) -> None:
        if not self.exit_status:
            self.exit_status = 1
            self.failure = line
            self.log(line)
        self.stop()

    def spawn(self, coroutine: Coroutine[Any, Any, Any]) -> asyncio.Task[Any]:
        task = asyncio.get_running_loop().create_task(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return task

    def _link_event(self, kind: str, info: dict[str, Any]) -> None:
        ns = int(info.get("ns", time.time_ns()))
        for state in self.states.values():
            manifest = self.manifest(state, ns)
            manifest.add("connections", {"event": kind, **info})
            if kind == "disconnected":
                manifest.count("reconnects")
        if kind == "connected":
            self.on_connected(str(info.get("link")))

    def stop(self) -> None:
        """Ends the recording (safe from any thread and from a signal handler)."""
        loop = self._loop
        if loop is None:
            self._stop_early = True
            return
        if loop.is_closed():
            return
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is loop:
            self._stop_now()
        else:
            with contextlib.suppress(RuntimeError):
                loop.call_soon_threadsafe(self._stop_now)

    def _stop_now(self) -> None:
        self.stopping.set()
        for link in self._links:
            link.stop()

    async def _flusher(self) -> None:
        while not self.stopping.is_set():
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(self.stopping.wait(), self.options.flush_every)
            self.flush()

    def flush(self) -> None:
        if self.exit_status:
            return
        for state in self.states.values():
            if state.files is None:
                continue
            try:
                state.files.flush()
            except OSError as error:
                self.fail(f"cannot write under {self.out}: {error.strerror or error}")
                return

    async def run(self, duration: float | None = None) -> int:
        """Records until `stop` (or for `duration` seconds); returns the exit status."""
        self._loop = asyncio.get_running_loop()
        if self._stop_early:
            return self.exit_status
        if self.out is not None:
            try:
                self.out.mkdir(parents=True, exist_ok=True)
                for state in self.states.values():
                    self.start_manifest(state)
                    assert state.files is not None
                    if state.files.manifest is not None:
                        state.files.manifest.save()
            except OSError as error:
                raise RecordError(f"cannot write under {self.out}: {error.strerror or error}") from None
        self._links = self.links()
        for link in self._links:
            self.spawn(link.run())
        for job in self.background():
            self.spawn(job())
        flusher = self.spawn(self._flusher())
        if duration is not None:
            asyncio.get_running_loop().call_later(duration, self._stop_now)
        try:
            await self.stopping.wait()
        finally:
            self._stop_now()
            others = [t for t in self._tasks if t is not flusher]
            for task in others:
                task.cancel()
            with contextlib.suppress(Exception):
                await asyncio.wait_for(asyncio.gather(*others, return_exceptions=True), 1.5)
            flusher.cancel()
            self.close()
        return self.exit_status

    def close(self) -> None:
        self.closed = True
        for state in self.states.values():
            if state.files is not None:
                try:
                    state.files.close()
                except OSError as error:
                    if not self.exit_status:
                        self.exit_status = 1
                        self.log(f"cannot write under {self.out}: {error.strerror or error}")
