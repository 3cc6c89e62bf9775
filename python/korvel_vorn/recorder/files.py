"""Recorded files: one gzip JSON Lines file per source, symbol and UTC hour, and a manifest per day.

`DIR/{source}/{SYMBOL}/{YYYY-MM-DD}/{HH}.jsonl.gz`, one line per message:
`<local receive time in ns> <message JSON exactly as received>`. The gzip stream is flushed with
Z_SYNC_FLUSH at least once a second, so a file cut by a crash decompresses up to its last flush.
A restart never writes over a file: the next free name of the hour is taken (`HH.1.jsonl.gz`...).
"""

from __future__ import annotations

import json
import os
import re
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

NS_PER_HOUR = 3_600_000_000_000
MANIFEST = "manifest.json"
_HOUR_FILE = re.compile(r"(\d\d)(?:\.(\d+))?\.jsonl\.gz")


def hour_file_order(name: str) -> tuple[int, int] | None:
    """(hour, restart number) of an hour file's name, None for any other name."""
    match = _HOUR_FILE.fullmatch(name)
    return None if match is None else (int(match[1]), int(match[2] or 0))


def day_and_hour(ns: int) -> tuple[str, int]:
    t = time.gmtime(ns // 1_000_000_000)
    return time.strftime("%Y-%m-%d", t), t.tm_hour


class HourFile:
    """One gzip member written through a sync-flushed deflate stream."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._file: IO[bytes] = open(path, "xb")  # noqa: SIM115 (closed by close())
        self._deflate = zlib.compressobj(6, zlib.DEFLATED, 31)
        self._pending = False

    def write(self, data: bytes) -> None:
        out = self._deflate.compress(data)
        if out:
            self._file.write(out)
        self._pending = True

    def flush(self) -> None:
        if self._pending:
            self._file.write(self._deflate.flush(zlib.Z_SYNC_FLUSH))
            self._pending = False
        self._file.flush()

    def close(self) -> None:
        try:
            self._file.write(self._deflate.flush(zlib.Z_FINISH))
            self._file.flush()
        finally:
            self._file.close()


def free_hour_path(folder: Path, hour: int) -> Path:
    """The first name of `hour` not taken in `folder`: HH.jsonl.gz, then HH.1.jsonl.gz, ..."""
    path = folder / f"{hour:02d}.jsonl.gz"
    n = 0
    while path.exists():
        n += 1
        path = folder / f"{hour:02d}.{n}.jsonl.gz"
    return path


@dataclass
class Manifest:
    """What happened while one symbol of one source was recorded on one UTC day."""

    path: Path
    data: dict[str, Any] = field(default_factory=dict)
    dirty: bool = False

    @classmethod
    def open(cls, path: Path, source: str, symbol: str, day: str) -> Manifest:
        data: dict[str, Any] = {}
        if path.exists():
            try:
                data = json.loads(path.read_text())
            except (OSError, ValueError):
                # A manifest that cannot be read is kept beside the new one, never overwritten.
                path.replace(free_name(path.with_suffix(".unreadable.json")))
        base: dict[str, Any] = {"source": source, "symbol": symbol, "day": day, "sessions": [], "files": [],
                                "connections": [], "reconnects": 0, "gaps": [], "snapshots": [],
                                "trade_id_holes": [], "liquidations": None}
        for key, value in base.items():
            data.setdefault(key, value)
        return cls(path, data, True)

    def add(self, key: str, entry: Any) -> None:
        self.data[key].append(entry)
        self.dirty = True

    def set(self, key: str, value: Any) -> None:
        self.data[key] = value
        self.dirty = True

    def count(self, key: str) -> None:
        self.data[key] += 1
        self.dirty = True

    def save(self) -> None:
        if not self.dirty:
            return
        temporary = self.path.with_name(f".{self.path.name}.{os.getpid()}.tmp")
        temporary.write_text(json.dumps(self.data, indent=1) + "\n")
        os.replace(temporary, self.path)
        self.dirty = False


def free_name(path: Path) -> Path:
    n = 0
    candidate = path
    while candidate.exists():
        n += 1
        candidate = path.with_name(f"{path.stem}.{n}{path.suffix}")
    return candidate


class SymbolFiles:
    """The hour files and day manifests of one source's symbol, rotated at each UTC hour."""

    def __init__(self, root: Path, source: str, symbol: str, session: dict[str, Any]) -> None:
        self.folder = root / source / symbol
        self.source = source
        self.symbol = symbol
        self.session = session
        self.current: HourFile | None = None
        self.hour_end = 0
        self.day = ""
        self.manifest: Manifest | None = None
        self.lines = 0

    def manifest_for(self, ns: int) -> Manifest:
        day, _ = day_and_hour(ns)
        if self.manifest is None or day != self.day:
            if self.manifest is not None:
                self.manifest.save()
            folder = self.folder / day
            folder.mkdir(parents=True, exist_ok=True)
            self.manifest = Manifest.open(folder / MANIFEST, self.source, self.symbol, day)
            self.manifest.add("sessions", self.session)
            self.day = day
        return self.manifest

    def write(self, ns: int, text: bytes) -> None:
        if self.current is None or ns >= self.hour_end:
            self._rotate(ns)
        assert self.current is not None
        self.current.write(b"%d %s\n" % (ns, text))
        self.lines += 1

    def _rotate(self, ns: int) -> None:
        if self.current is not None:
            self.current.close()
        manifest = self.manifest_for(ns)
        _, hour = day_and_hour(ns)
        path = free_hour_path(self.folder / self.day, hour)
        self.current = HourFile(path)
        self.hour_end = (ns // NS_PER_HOUR + 1) * NS_PER_HOUR
        manifest.add("files", {"name": path.name, "opened_ns": ns})

    def revise(self, ns: int, key: str, entry: dict[str, Any], same: tuple[str, ...]) -> None:
        """Saves a change to `entry`, added under `key` to the manifest of `ns`'s day: in place when
        that day's manifest is the open one, else in that day's file, where the entry whose `same`
        fields match is replaced (a gap that opened before midnight and closed after it)."""
        day, _ = day_and_hour(ns)
        if self.manifest is not None and day == self.day:
            self.manifest.dirty = True
            return
        path = self.folder / day / MANIFEST
        if not path.exists():
            return
        manifest = Manifest.open(path, self.source, self.symbol, day)
        entries = manifest.data[key]
        for i, old in enumerate(entries):
            if isinstance(old, dict) and all(old.get(k) == entry.get(k) for k in same):
                entries[i] = entry
                break
        else:
            entries.append(entry)
        manifest.save()

    def flush(self) -> None:
        if self.current is not None:
            self.current.flush()
        if self.manifest is not None:
            self.manifest.save()

    def close(self) -> None:
        try:
            if self.current is not None:
                self.current.close()
                self.current = None
        finally:
            if self.manifest is not None:
                self.manifest.save()
