"""Folders written by `korvel_vorn record`: `{source}/{SYMBOL}/{YYYY-MM-DD}/{HH}[.N].jsonl.gz` with a
`manifest.json` per day. The hour files of a day are read in order (a restart's `HH.1` after
`HH`), and the manifests' gaps tell the book where to start again from the next snapshot."""

from __future__ import annotations

import io
import json
import os
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from ..recorder.files import MANIFEST, hour_file_order


@dataclass
class RecordedGap:
    """Book updates with ids in (after, resume) were lost or cannot be placed: the book starts
    again from the snapshot whose lastUpdateId is `resume`."""

    after: int
    resume: int
    where: str


@dataclass
class RecordFolders:
    """The hour files of every day folder found, in order, and the gaps of their manifests."""

    files: list[str] = field(default_factory=list)
    gaps: list[RecordedGap] = field(default_factory=list)
    open_gaps: int = 0  # gaps still open when the recording stopped
    unused_snapshots: set[int] = field(default_factory=set)  # update ids of snapshots the book did not use
    # (after, resume) of each session's updates written before its book first synced: left out like
    # a gap's (not on the previous session's book), without being one.
    session_starts: list[tuple[int, int]] = field(default_factory=list)
    sampled_liquidations: bool = False


def is_day_folder(path: str) -> bool:
    return any(hour_file_order(name) is not None for name in os.listdir(path))


def is_record_root(path: str) -> bool:
    """A folder of folders (no files but hidden ones and manifests) with hour files below it."""
    entries = list(os.scandir(path))
    if any(e.is_file() and not e.name.startswith(".") for e in entries) or not entries:
        return False
    for root, _dirs, files in os.walk(path):
        if any(hour_file_order(name) is not None for name in files):
            return True
        del root
    return False


def day_folders(path: str, symbol: str | None) -> list[str]:
    found = []
    for root, dirs, files in os.walk(path):
        dirs.sort()
        has_hours = any(hour_file_order(name) is not None for name in files)
        if has_hours and (symbol is None or os.path.basename(os.path.dirname(root)).upper() == symbol.upper()):
            found.append(root)
    return sorted(found)


# An open gap with no snapshot after it covers every later update id.
UNTIL_THE_END = (1 << 63) - 1


def read_folders(folders: list[str]) -> RecordFolders:
    out = RecordFolders()
    manifests = []
    for folder in folders:
        names = sorted((n for n in os.listdir(folder) if hour_file_order(n) is not None),
                       key=lambda n: hour_file_order(n) or (0, 0))
        out.files += [os.path.join(folder, n) for n in names]
        manifest = _manifest(os.path.join(folder, MANIFEST))
        manifests.append((folder, manifest))
        liquidations = manifest.get("liquidations")
        if isinstance(liquidations, dict) and liquidations.get("sampled"):
            out.sampled_liquidations = True
    starts = sorted(_snapshot_ids([m for _, m in manifests], used=True))
    out.unused_snapshots = _snapshot_ids([m for _, m in manifests], used=False)
    out.session_starts = sorted({(s["session_buffered_from"] - 1, s["last_update_id"]) for _, m in manifests
                                 for s in m.get("snapshots", []) if isinstance(s, dict)
                                 and isinstance(s.get("session_buffered_from"), int)
                                 and isinstance(s.get("last_update_id"), int)})
    seen: set[tuple[int, int]] = set()
    for folder, manifest in manifests:
        for gap in manifest.get("gaps", []):
            after, resume = gap.get("after_update_id"), gap.get("last_update_id")
            if not isinstance(after, int):
                continue
            if not isinstance(resume, int):
                # Still open when the recording stopped: the updates after it are out of sync up
                # to the next snapshot that started the book again (a later session's).
                out.open_gaps += 1
                resume = next((s for s in starts if s > after), UNTIL_THE_END)
            if (after, resume) not in seen:  # a gap across midnight is listed by both days
                seen.add((after, resume))
                out.gaps.append(RecordedGap(after, resume, _describe(folder, gap)))
    return out


def _snapshot_ids(manifests: list[dict[str, Any]], used: bool) -> set[int]:
    """The update ids of the snapshots the manifests list as used (those that can start the book
    again: every one not marked unused) or, with `used` False, as unused (older than the updates
    buffered after them)."""
    ids = set()
    for manifest in manifests:
        for snapshot in manifest.get("snapshots", []):
            if not isinstance(snapshot, dict) or (snapshot.get("used") is False) == used:
                continue
            value = snapshot.get("last_update_id", snapshot.get("update_id"))
            if isinstance(value, int):
                ids.add(value)
    return ids


def _describe(folder: str, gap: dict[str, Any]) -> str:
    """One line for the summary: where, why, which update ids and when."""
    from ..timefmt import format_ts

    times = [format_ts(t) if isinstance(t, int) else "?" for t in (gap.get("first_time"), gap.get("last_time"))]
    if gap.get("last_update_id") is None:
        return (f"{folder}: {gap.get('reason', 'gap')}: updates after {gap.get('after_update_id')} "
                f"({times[0]}), still open when the recording stopped")
    return (f"{folder}: {gap.get('reason', 'gap')}: updates after {gap.get('after_update_id')} "
            f"up to {gap.get('last_update_id')} ({times[0]} to {times[1]})")


def _manifest(path: str) -> dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as f:
            value = json.load(f)
    except (OSError, ValueError):
        return {}
    return value if isinstance(value, dict) else {}


class CutGzip(io.RawIOBase):
    """Decompressed gzip data (any number of members) that ends quietly where the compressed data
    ends, even before a member's end: `on_cut(bytes decompressed)` is called once then."""

    def __init__(self, path: str, on_cut: Callable[[int], None]) -> None:
        self._file = open(path, "rb")  # noqa: SIM115 (closed by close())
        self._inflate = zlib.decompressobj(31)
        self._pending = b""
        self._out = 0
        self._on_cut = on_cut
        self._ended = False
        self._started = False

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        while not self._pending and not self._ended:
            self._fill()
        n = min(len(view), len(self._pending))
        view[:n] = self._pending[:n]
        self._pending = self._pending[n:]
        self._out += n
        return n

    def _fill(self) -> None:
        if self._inflate.eof:  # the next member, if any, starts in what the last one left
            data = self._inflate.unused_data
            self._inflate = zlib.decompressobj(31)
            self._started = False
        else:
            data = self._inflate.unconsumed_tail
        if not data:
            data = self._file.read(1 << 16)
        if not data:
            self._ended = True
            if self._started and not self._inflate.eof:
                self._on_cut(self._out)
            return
        self._started = True
        self._pending = self._inflate.decompress(data, 1 << 20)

    def close(self) -> None:
        self._file.close()
        super().close()
