"""The order book as columns: slicing, joining, and the book replayed to a moment, vectorised.

A book is the ragged columns of `Session.load_columns`: per event ts, kind (0 snapshot, 1 diff),
bid_count and ask_count, and the level columns bid_price, bid_qty, ask_price, ask_qty in event
order. Replaying keeps, from the last snapshot on, the last quantity given to each (side, price):
one stable sort per side, no loop over levels.
"""

from __future__ import annotations

from typing import Any

import numpy as np

Columns = dict[str, np.ndarray[Any, Any]]

EVENT_FIELDS = ("ts", "kind", "bid_count", "ask_count")
SIDES = ("bid", "ask")


def empty_book() -> Columns:
    ints = np.zeros(0, dtype=np.int64)
    floats = np.zeros(0, dtype=np.float64)
    return {"ts": ints, "kind": np.zeros(0, dtype=np.uint8), "bid_count": ints, "ask_count": ints,
            "bid_price": floats, "bid_qty": floats, "ask_price": floats, "ask_qty": floats}


def _offsets(counts: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    offsets = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    return offsets


def slice_rows(list_name: str, columns: Columns, start: int, stop: int) -> Columns:
    """Records start..stop of a list (the book's levels with their events)."""
    if list_name != "book":
        return {name: column[start:stop] for name, column in columns.items()}
    out = {name: columns[name][start:stop] for name in EVENT_FIELDS}
    for side in SIDES:
        offsets = _offsets(columns[f"{side}_count"])
        lo, hi = int(offsets[start]), int(offsets[stop])
        out[f"{side}_price"] = columns[f"{side}_price"][lo:hi]
        out[f"{side}_qty"] = columns[f"{side}_qty"][lo:hi]
    return out


def concat_rows(parts: list[Columns]) -> Columns:
    """Lists of the same kind joined in order."""
    if len(parts) == 1:
        return parts[0]
    return {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}


def _side_at(price: np.ndarray[Any, Any], qty: np.ndarray[Any, Any], descending: bool) -> tuple[Any, Any]:
    """The levels left by updates in order: the last quantity per price, zeros removed."""
    if not len(price):
        return price, qty
    reverse_price = price[::-1]
    unique, first = np.unique(reverse_price, return_index=True)  # first in reverse = last given
    kept_qty = qty[::-1][first]
    alive = kept_qty > 0
    unique, kept_qty = unique[alive], kept_qty[alive]
    if descending:
        unique, kept_qty = unique[::-1], kept_qty[::-1]
    return np.ascontiguousarray(unique), np.ascontiguousarray(kept_qty)


def book_before(book: Columns, moment: int) -> Columns | None:
    """The book built by every event before `moment`, as one snapshot event at `moment`; None
    when no event comes before it."""
    ts = book["ts"]
    count = int(np.searchsorted(ts, moment, side="left"))
    if count == 0:
        return None
    snapshots = np.flatnonzero(book["kind"][:count] == 0)
    first = int(snapshots[-1]) if len(snapshots) else 0
    out: Columns = {"ts": np.array([moment], dtype=np.int64), "kind": np.zeros(1, dtype=np.uint8)}
    for side in SIDES:
        offsets = _offsets(book[f"{side}_count"])
        lo, hi = int(offsets[first]), int(offsets[count])
        price, qty = _side_at(book[f"{side}_price"][lo:hi], book[f"{side}_qty"][lo:hi], side == "bid")
        out[f"{side}_count"] = np.array([len(price)], dtype=np.int64)
        out[f"{side}_price"], out[f"{side}_qty"] = price, qty
    return out


def book_from(book: Columns, moment: int) -> Columns:
    """The book from `moment` on: the events before it replayed into one snapshot at `moment`,
    then the events at or after it."""
    count = int(np.searchsorted(book["ts"], moment, side="left"))
    rest = slice_rows("book", book, count, len(book["ts"]))
    start = book_before(book, moment)
    return rest if start is None else concat_rows([start, rest])
