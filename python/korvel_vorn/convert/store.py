"""The records of a conversion, spilled to temporary files as they arrive.

Each dataset list keeps one append-only binary file per column (the exact JSON text of a record
after its ts, its ts, its numeric values as the `.npz` columns hold them, and whatever the
ordering needs: trade ids, book update ids). Records are addressed by their arrival position, so
memory holds only the chunk being written; the order of the output is decided at the end and the
files are read back in windows.

A segment is one input file's run of records of one list; its time bounds and order tell whether
the list can be written by concatenating segments, or has to be merged.
"""

from __future__ import annotations

import io
import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa

NO_ID = np.iinfo(np.int64).min  # an update or trade id the recording did not carry

I8, F8, U1 = np.dtype(np.int64), np.dtype(np.float64), np.dtype(np.uint8)

_seek_lock = threading.Lock()


def read_at(file: io.FileIO, size: int, offset: int) -> bytes:
    """`size` bytes of `file` from `offset` (fewer at its end). Windows has no os.pread: there the
    file is read from a seek under a lock and left at its end, where the next append goes."""
    if hasattr(os, "pread"):
        return os.pread(file.fileno(), size, offset)
    with _seek_lock:
        file.seek(offset)
        parts = []
        while size > 0:
            part = file.read(size)
            if not part:
                break
            parts.append(part)
            size -= len(part)
        file.seek(0, os.SEEK_END)
    return b"".join(parts)


# Per-record columns of each list (beside ts and the record's text).
RECORD_COLUMNS: dict[str, tuple[tuple[str, np.dtype[Any]], ...]] = {
    "candles": (("open", F8), ("high", F8), ("low", F8), ("close", F8), ("volume", F8)),
    "trades": (("price", F8), ("qty", F8), ("side", U1), ("id", I8), ("price_decimals", U1), ("qty_decimals", U1)),
    "book": (("kind", U1), ("bid_count", I8), ("ask_count", I8), ("first_id", I8), ("last_id", I8), ("prev_id", I8)),
    "funding": (("rate", F8),),
    "oi": (("oi", F8),),
    "liquidations": (("price", F8), ("qty", F8), ("side", U1)),
}
# Per-level columns of the book, each counted by an event column.
LEVEL_COLUMNS: dict[str, tuple[tuple[str, str], ...]] = {
    "book": (("bid_price", "bid_count"), ("bid_qty", "bid_count"), ("ask_price", "ask_count"), ("ask_qty", "ask_count")),
}

Chunk = dict[str, Any]  # column name -> numpy array; "rest" -> pyarrow string array


class _Column:
    """One append-only file of fixed-size values."""

    def __init__(self, path: Path, dtype: np.dtype[Any]) -> None:
        self.path, self.dtype, self.count = path, dtype, 0
        self.file = open(path, "w+b", buffering=0)  # noqa: SIM115 - closed by ListStore.close

    def append(self, values: Any) -> None:
        array = np.ascontiguousarray(values, dtype=self.dtype)
        self.file.write(array.data.cast("B"))
        self.count += len(array)

    def read(self, start: int, stop: int) -> npt.NDArray[Any]:
        size = self.dtype.itemsize
        data = read_at(self.file, (stop - start) * size, start * size)
        return np.frombuffer(data, dtype=self.dtype)

    def truncate(self, count: int) -> None:
        self.file.truncate(count * self.dtype.itemsize)
        self.file.seek(0, os.SEEK_END)
        self.count = count


class _Text:
    """Strings appended to one file, with their end offsets in another."""

    def __init__(self, path: Path) -> None:
        self.data = open(path, "w+b", buffering=0)  # noqa: SIM115 - closed by ListStore.close
        self.ends = _Column(path.with_suffix(".ends"), I8)
        self.size = 0

    def append(self, strings: pa.Array) -> None:
        n = len(strings)
        if not n:
            return
        offsets_type = I8 if pa.types.is_large_string(strings.type) else np.dtype(np.int32)
        buffers = strings.buffers()
        offsets = np.frombuffer(buffers[1], dtype=offsets_type)[strings.offset:strings.offset + n + 1].astype(np.int64)
        self.data.write(memoryview(buffers[2])[offsets[0]:offsets[-1]])
        self.ends.append(offsets[1:] - offsets[0] + self.size)
        self.size += int(offsets[-1] - offsets[0])

    def read(self, start: int, stop: int) -> pa.LargeStringArray:
        ends = self.ends.read(max(start - 1, 0), stop)
        first = 0 if start == 0 else int(ends[0])
        if start:
            ends = ends[1:]
        last = int(ends[-1]) if len(ends) else first
        data = read_at(self.data, last - first, first)
        offsets = np.empty(len(ends) + 1, dtype=np.int64)
        offsets[0] = 0
        offsets[1:] = ends - first
        return pa.LargeStringArray.from_buffers(len(ends), pa.py_buffer(offsets), pa.py_buffer(data))

    def truncate(self, count: int) -> None:
        self.size = int(self.ends.read(count - 1, count)[0]) if count else 0
        self.ends.truncate(count)
        self.data.truncate(self.size)
        self.data.seek(0, os.SEEK_END)


@dataclass
class Segment:
    """One input's run of records of one list."""

    source: int  # index of the input file, in the order given
    start: int
    stop: int
    ts_min: int = 0
    ts_max: int = 0
    ordered: bool = True  # ts never decreases within the segment
    last_id: int = NO_ID  # trades: the last trade id seen
    ids_increase: bool = True  # trades: ids strictly increase within the segment
    id_min: int = NO_ID
    id_max: int = NO_ID


class ListStore:
    """The spilled records of one dataset list."""

    def __init__(self, root: Path, name: str) -> None:
        self.name = name
        self.ts = _Column(root / f"{name}.ts", I8)
        self.rest = _Text(root / f"{name}.rest")
        self.columns = {field: _Column(root / f"{name}.{field}", dtype) for field, dtype in RECORD_COLUMNS[name]}
        self.levels = {field: (_Column(root / f"{name}.{field}", F8), count_field)
                       for field, count_field in LEVEL_COLUMNS.get(name, ())}
        self.segments: list[Segment] = []
        self._last_ts = 0  # the last record's ts, for the order of the next chunk

    @property
    def count(self) -> int:
        return self.ts.count

    def begin(self, source: int) -> None:
        """Start the segment of input `source`."""
        self.segments.append(Segment(source, self.count, self.count))

    def append(self, chunk: Chunk) -> None:
        ts = np.ascontiguousarray(chunk["ts"], dtype=np.int64)
        n = len(ts)
        if not n:
            return
        segment = self.segments[-1]
        first = segment.stop == segment.start
        ordered = bool(np.all(ts[1:] >= ts[:-1]))
        lo, hi = int(ts.min()), int(ts.max())
        if first:
            segment.ts_min, segment.ts_max, segment.ordered = lo, hi, ordered
        else:
            segment.ordered = segment.ordered and ordered and int(ts[0]) >= self._last_ts
            segment.ts_min, segment.ts_max = min(segment.ts_min, lo), max(segment.ts_max, hi)
        self._last_ts = int(ts[-1])
        if "id" in self.columns:
            self._track_ids(segment, np.asarray(chunk["id"], dtype=np.int64))
        self.ts.append(ts)
        self.rest.append(chunk["rest"])
        for field, column in self.columns.items():
            column.append(chunk[field])
        for field, (column, _) in self.levels.items():
            column.append(chunk[field])
        segment.stop += n

    @staticmethod
    def _track_ids(segment: Segment, ids: npt.NDArray[np.int64]) -> None:
        present = ids[ids != NO_ID]
        if not len(present):
            return
        increasing = bool(np.all(present[1:] > present[:-1])) and int(present[0]) > segment.last_id
        segment.ids_increase = segment.ids_increase and increasing
        segment.last_id = int(present[-1])
        lo, hi = int(present.min()), int(present.max())
        segment.id_min = lo if segment.id_min == NO_ID else min(segment.id_min, lo)
        segment.id_max = hi if segment.id_max == NO_ID else max(segment.id_max, hi)

    def rollback(self) -> None:
        """Forget the current segment's records (the input is read again another way)."""
        segment = self.segments.pop()
        count = segment.start
        level_counts = {count_field: int(self.columns[count_field].read(0, count).sum()) if count else 0
                        for _, count_field in self.levels.values()}
        self.ts.truncate(count)
        self.rest.truncate(count)
        for column in self.columns.values():
            column.truncate(count)
        for column, count_field in self.levels.values():
            column.truncate(level_counts[count_field])
        if count:
            self._last_ts = int(self.ts.read(count - 1, count)[0])

    def read(self, field: str, start: int, stop: int) -> Any:
        if field == "ts":
            return self.ts.read(start, stop)
        if field == "rest":
            return self.rest.read(start, stop)
        return self.columns[field].read(start, stop)

    def read_levels(self, field: str, start: int, stop: int) -> npt.NDArray[np.float64]:
        return self.levels[field][0].read(start, stop)

    def close(self) -> None:
        for column in [self.ts, self.rest.ends, *self.columns.values(), *(c for c, _ in self.levels.values())]:
            column.file.close()
        self.rest.data.close()

