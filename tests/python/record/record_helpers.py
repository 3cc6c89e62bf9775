"""Running a recorder against a stand-in server, and reading back what it wrote."""

from __future__ import annotations

import asyncio
import gzip
import json
import threading
import time
import zlib
from pathlib import Path
from typing import Any

from korvel_vorn.recorder import make_recorder
from korvel_vorn.recorder.options import RecordOptions

NS_PER_MS = 1_000_000
DAY_NS = 86_400_000 * NS_PER_MS
FAST = {"silence": 0.6, "backoff_first": 0.05, "backoff_cap": 0.2, "snapshot_interval": 0.05, "flush_every": 0.1,
        "oi_every": 0.2, "close_timeout": 0.2, "rest_timeout": 2.0}


def fast_options(**changes: Any) -> RecordOptions:
    return RecordOptions(**{**FAST, **changes})


def record_while(source: str, symbols: list[str], out: Path | None, options: RecordOptions, until: Any,
                 timeout: float = 30.0, sink: Any = None, logs: list[str] | None = None) -> tuple[Any, list[str]]:
    """Runs a recorder in a thread until `until(timeout)` returns, then stops it."""
    logs = [] if logs is None else logs
    recorder = make_recorder(source, symbols, out, options, log=logs.append, sink=sink)
    status: list[int] = []
    thread = threading.Thread(target=lambda: status.append(asyncio.run(recorder.run())), daemon=True)
    thread.start()
    until(timeout)
    recorder.stop()
    thread.join(5)
    assert not thread.is_alive(), "the recorder did not stop within 5 s"
    return recorder, logs


def hour_files(root: Path) -> list[Path]:
    return sorted(root.rglob("*.jsonl.gz"))


def lines_of(path: Path) -> list[tuple[int, Any]]:
    """(receive ns, message) of every complete line of a recorded file, even a cut one."""
    inflate = zlib.decompressobj(31)
    data = inflate.decompress(path.read_bytes())
    out = []
    for line in data.split(b"\n")[:-1]:
        ns, _, text = line.partition(b" ")
        out.append((int(ns), json.loads(text)))
    return out


def manifests(root: Path) -> list[dict[str, Any]]:
    return [json.loads(p.read_text()) for p in sorted(root.rglob("manifest.json"))]


def converted(root: Path, **options: Any) -> tuple[dict[str, Any], list[str]]:
    from korvel_vorn.convert import convert_files

    with convert_files([root], **options) as result:
        return json.loads(result.to_json()), result.notes()


def replay_book(events: list[dict[str, Any]]) -> tuple[dict[float, float], dict[float, float]]:
    bids: dict[float, float] = {}
    asks: dict[float, float] = {}
    for e in events:
        if e["kind"] == "snapshot":
            bids.clear()
            asks.clear()
        for side, levels in ((bids, e["bids"]), (asks, e["asks"])):
            for price, qty in levels:
                if float(qty) == 0:
                    side.pop(float(price), None)
                else:
                    side[float(price)] = float(qty)
    return bids, asks


def gzip_ok(path: Path) -> bool:
    try:
        with gzip.open(path) as f:
            f.read()
        return True
    except (EOFError, OSError):
        return False


class JumpingClock:
    """The recorder's wall clock: a while before `boundary`, and just after it from the moment the
    recorder reports a connection lost (so the last update before the cut is received
    before the boundary and the resync after it)."""

    def __init__(self, boundary_ns: int) -> None:
        self.real = time.time_ns
        self.boundary = boundary_ns
        self.offset = boundary_ns - 20_000 * NS_PER_MS - self.real()

    def jump(self) -> None:
        self.offset = max(self.offset, self.boundary + NS_PER_MS - self.real())

    def __call__(self) -> int:
        return self.real() + self.offset


class Log(list[str]):
    """The recorder's log lines; the first that starts with `trigger` makes `clock` jump."""

    def __init__(self, clock: JumpingClock | None, trigger: str) -> None:
        super().__init__()
        self.clock = clock
        self.trigger = trigger

    def append(self, line: str) -> None:
        super().append(line)
        if self.clock is not None and line.startswith(self.trigger):
            self.clock.jump()


def midnight_ns() -> int:
    return (time.time_ns() // DAY_NS + 1) * DAY_NS


def hour_ns() -> int:
    return midnight_ns() - DAY_NS + 14 * 3600_000 * NS_PER_MS  # 14:00 UTC
