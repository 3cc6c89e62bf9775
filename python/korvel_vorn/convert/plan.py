"""The order in which each list's spilled records are written, and which of them are kept.

A list whose inputs are each in time order and do not overlap is written by concatenating its
segments; otherwise its records are merged by a stable sort of their times (so records of equal
time keep the order in which the inputs were given). Either way the records are read back in
windows of `WINDOW` records.
"""

from __future__ import annotations

import itertools
import json
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.compute as pc

from .market import BookEvent, records_chunk
from .store import LEVEL_COLUMNS, NO_ID, Chunk, ListStore, Segment

WINDOW = 1 << 16
Positions = npt.NDArray[np.int64]


@dataclass
class ListPlan:
    """How one list is written: its records by position, the ts bounds kept, and a leading record."""

    store: ListStore
    ranges: list[tuple[int, int]] | None = None  # segments in output order, when they concatenate
    perm: Positions | None = None  # otherwise every position in output order
    ts: npt.NDArray[np.int64] | None = None  # replacement times, parallel to `perm`
    keep: npt.NDArray[np.bool_] | None = None  # by position: False for records left out
    lo: int | None = None  # inclusive bounds of the kept times
    hi: int | None = None
    prefix: Chunk | None = None  # a record written first (the book's snapshot at the start time)
    cumulative: dict[str, npt.NDArray[np.int64]] = field(default_factory=dict)  # level offsets by event
    count: int = 0
    level_counts: dict[str, int] = field(default_factory=dict)
    ts_min: int | None = None
    ts_max: int | None = None

    def _pieces(self) -> Iterator[tuple[Positions, npt.NDArray[np.int64] | None]]:
        if self.perm is not None:
            for i in range(0, len(self.perm), WINDOW):
                yield self.perm[i:i + WINDOW], None if self.ts is None else self.ts[i:i + WINDOW]
            return
        for start, stop in self.ranges or ():
            for i in range(start, stop, WINDOW):
                yield np.arange(i, min(stop, i + WINDOW), dtype=np.int64), None

    def chunks(self, fields: Sequence[str]) -> Iterator[Chunk]:
        """The kept records in output order, a window at a time, with `fields` (ts always)."""
        if self.prefix is not None:
            yield {f: self.prefix[f] for f in ("ts", *fields)}
        store = self.store
        levels = dict(LEVEL_COLUMNS.get(store.name, ()))
        for positions, replaced_ts in self._pieces():
            if not len(positions):
                continue
            first, stop = int(positions.min()), int(positions.max()) + 1
            local = positions - first
            ts = replaced_ts if replaced_ts is not None else store.read("ts", first, stop)[local]
            mask = np.ones(len(positions), dtype=bool)
            if self.keep is not None:
                mask &= self.keep[positions]
            if self.lo is not None:
                mask &= ts >= self.lo
            if self.hi is not None:
                mask &= ts <= self.hi
            if not mask.any():
                continue
            selected = local[mask]
            chunk: Chunk = {"ts": ts[mask]}
            for name in fields:
                if name == "ts":
                    continue
                if name == "rest":
                    chunk[name] = pc.take(store.read("rest", first, stop), pa.array(selected))
                elif name in levels:
                    chunk[name] = self._levels(name, levels[name], first, stop, positions[mask])
                else:
                    chunk[name] = store.read(name, first, stop)[selected]
            yield chunk

    def _levels(self, name: str, count_field: str, first: int, stop: int, positions: Positions) -> Any:
        cumulative = self.cumulative[count_field]
        base = int(cumulative[first])
        window = self.store.read_levels(name, base, int(cumulative[stop]))
        counts = cumulative[positions + 1] - cumulative[positions]
        total = int(counts.sum())
        out_starts = np.cumsum(counts) - counts
        index = np.repeat(cumulative[positions] - base - out_starts, counts) + np.arange(total)
        return window[index]

    def measure(self) -> None:
        """Count the kept records (and book levels) and their time span."""
        count_fields = [f for _, f in LEVEL_COLUMNS.get(self.store.name, ())]
        count_fields = list(dict.fromkeys(count_fields))
        self.count, self.ts_min, self.ts_max = 0, None, None
        self.level_counts = {f: 0 for f in count_fields}
        for chunk in self.chunks(count_fields):
            ts = chunk["ts"]
            self.count += len(ts)
            lo, hi = int(ts.min()), int(ts.max())
            self.ts_min = lo if self.ts_min is None else min(self.ts_min, lo)
            self.ts_max = hi if self.ts_max is None else max(self.ts_max, hi)
            for f in count_fields:
                self.level_counts[f] += int(chunk[f].sum())


def _concatenation(segments: list[Segment]) -> list[tuple[int, int]] | None:
    """The segments in time order when writing them one after the other is the same as a stable
    sort of all their records by time; None when they must be merged."""
    runs = sorted((s for s in segments if s.stop > s.start), key=lambda s: (s.ts_min, s.source, s.start))
    for a, b in itertools.pairwise(runs):
        if a.ts_max > b.ts_min or (a.ts_max == b.ts_min and (a.source, a.start) > (b.source, b.start)):
            return None
    if not all(s.ordered for s in runs):
        return None
    return [(s.start, s.stop) for s in runs]


def plan_list(store: ListStore) -> ListPlan:
    """Records in time order, stable across inputs."""
    ranges = _concatenation(store.segments)
    if ranges is not None:
        return ListPlan(store, ranges=ranges)
    ts = store.read("ts", 0, store.count)
    return ListPlan(store, perm=np.argsort(ts, kind="stable").astype(np.int64))


def repeated_trades(store: ListStore) -> tuple[npt.NDArray[np.bool_] | None, int]:
    """Trades whose id was seen before (the same trade in two inputs) are left out: the keep mask
    and the count, or None when the inputs' ids never meet."""
    with_ids = sorted((s for s in store.segments if s.id_min != NO_ID), key=lambda s: s.id_min)
    if all(s.ids_increase for s in with_ids) and all(a.id_max < b.id_min for a, b in itertools.pairwise(with_ids)):
        return None, 0
    ids = store.read("id", 0, store.count)
    present = np.flatnonzero(ids != NO_ID)
    _, first = np.unique(ids[present], return_index=True)
    keep = ids == NO_ID
    keep[present[first]] = True
    return keep, int(len(present) - len(first))


@dataclass
class BookOrder:
    """What ordering the book did: counts for the summary."""

    contained: int = 0  # diffs already contained in a snapshot
    raised: int = 0  # diffs stamped before the snapshot they follow, moved to its time
    gaps: int = 0  # breaks in the update-id sequence
    unsnapshotted: int = 0  # diffs before the first snapshot of the book
    in_gaps: int = 0  # diffs inside a recorded gap, before the snapshot that ends it
    unused: int = 0  # snapshots the recorder did not start the book from
    before_sync: int = 0  # diffs a recording session wrote before its book first synced


def plan_book(store: ListStore, keep_unsnapshotted: bool, gaps: list[tuple[int, int]] | None = None,
              unused: Collection[int] = (), session_starts: list[tuple[int, int]] | None = None,
              ) -> tuple[ListPlan, BookOrder]:
    """Book events in replay order.

    Events that carry exchange update ids are ordered by them: a snapshot before the updates
    whose last id is at or after its lastUpdateId, and updates wholly contained in the latest
    snapshot (last id below its lastUpdateId) dropped, as the exchanges prescribe for rebuilding a
    book. An update that must follow a snapshot but is stamped earlier takes the snapshot's time,
    so the engine's ordering by time keeps it after the snapshot. Events without ids go by time.
    Diffs before the book's first snapshot describe changes to a book nobody saw: without the
    levels they change, the book they build shows too little resting size, so they are left out
    unless `keep_unsnapshotted`. Diffs inside a recorded gap (update ids strictly between the
    gap's last good id and the lastUpdateId of the snapshot that ends it) are left out, so the
    book starts again from that snapshot. Snapshots whose lastUpdateId is in `unused` (the recorder
    found them older than the updates after them) are left out, and so are the diffs of
    `session_starts` ((after, resume) like a gap's: what a recording session wrote before its book
    first synced), which would otherwise land on the previous session's book.
    """
    n = store.count
    report = BookOrder()
    ts = store.read("ts", 0, n).copy()
    kind = store.read("kind", 0, n)
    first_id, last_id, prev_id = (store.read(f, 0, n) for f in ("first_id", "last_id", "prev_id"))
    positions = np.arange(n, dtype=np.int64)
    has_ids = last_id != NO_ID
    for after, resume in gaps or []:
        inside = has_ids & (kind == 1) & (last_id > after) & (last_id < resume)
        report.in_gaps += int(inside.sum())
        has_ids &= ~inside
    for after, resume in session_starts or []:
        inside = has_ids & (kind == 1) & (last_id > after) & (last_id < resume)
        report.before_sync += int(inside.sum())
        has_ids &= ~inside
    if unused:
        stale = has_ids & (kind == 0) & np.isin(last_id, np.fromiter(unused, dtype=np.int64, count=len(unused)))
        report.unused = int(stale.sum())
        has_ids &= ~stale
    dropped_in_gaps = (last_id != NO_ID) & ~has_ids
    with_ids = positions[has_ids]
    with_ids = with_ids[np.lexsort((with_ids, kind[with_ids], last_id[with_ids]))]
    snapshots = with_ids[kind[with_ids] == 0]
    active = int(last_id[snapshots[0]]) if len(snapshots) else None
    kept: list[int] = []
    latest_ts: int | None = None
    previous: int | None = None
    for p in with_ids.tolist():
        if kind[p] == 0:
            active, previous = int(last_id[p]), None
        elif active is not None and last_id[p] < active:
            report.contained += 1
            continue
        else:
            if previous is not None:
                if prev_id[p] != NO_ID:
                    report.gaps += int(prev_id[p] != last_id[previous])
                elif first_id[p] != NO_ID:
                    report.gaps += int(first_id[p] > last_id[previous] + 1)
            previous = p
        if latest_ts is not None and ts[p] < latest_ts:
            ts[p] = latest_ts
            report.raised += 1
        latest_ts = int(ts[p])
        kept.append(p)
    merged = np.concatenate([np.array(kept, dtype=np.int64), positions[~has_ids & ~dropped_in_gaps]])
    merged = merged[np.argsort(ts[merged], kind="stable")]  # stable: id order kept among equal times
    if not keep_unsnapshotted:
        is_snapshot = kind[merged] == 0
        first_snapshot = int(np.argmax(is_snapshot)) if is_snapshot.any() else len(merged)
        report.unsnapshotted = first_snapshot
        merged = merged[first_snapshot:]
    counts = {f: np.concatenate([[0], np.cumsum(store.read(f, 0, n))]).astype(np.int64)
              for f in ("bid_count", "ask_count")}
    return ListPlan(store, perm=merged, ts=ts[merged], cumulative=counts), report


def start_book_at(plan: ListPlan, start: int) -> int:
    """Replace the book events before `start` by one snapshot at `start` holding the book they
    built, so the book stays whole when the recording is cut. Returns the events replaced."""
    assert plan.perm is not None and plan.ts is not None
    cut = int(np.searchsorted(plan.ts, start, side="left"))
    if not cut:
        return 0
    before = plan.perm[:cut]
    kinds = plan.store.read("kind", 0, plan.store.count)[before]
    snapshots = np.flatnonzero(kinds == 0)
    replay_from = int(snapshots[-1]) if len(snapshots) else 0
    book: dict[str, dict[float, tuple[str, str]]] = {"bids": {}, "asks": {}}
    for i in range(replay_from, cut, WINDOW):
        positions = before[i:min(cut, i + WINDOW)]
        first, stop = int(positions.min()), int(positions.max()) + 1
        texts = plan.store.read("rest", first, stop).to_pylist()
        for p in (positions - first).tolist():
            event = json.loads('{"ts":0' + texts[p], parse_float=str, parse_int=str)
            for side in ("bids", "asks"):
                levels = book[side]
                if event["kind"] == "snapshot":
                    levels.clear()
                for price, qty in event[side]:
                    if float(qty) == 0:
                        levels.pop(float(price), None)
                    else:
                        levels[float(price)] = (price, qty)
    bids = [book["bids"][p] for p in sorted(book["bids"], reverse=True)]
    asks = [book["asks"][p] for p in sorted(book["asks"])]
    plan.prefix = records_chunk("book", [BookEvent(ts=start, kind="snapshot", bids=bids, asks=asks)])
    plan.perm, plan.ts = plan.perm[cut:], plan.ts[cut:]
    return cut
