"""Writing lists of columns into a catalog, one partition per UTC day, each with its manifest entry.

Lists are split at UTC midnight. A day's book starts with the book replayed to 00:00 (one
snapshot) whenever earlier events continue into it, so every day loads on its own. A partition
whose manifest already names the same inputs is left as it is.
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa

from .book import Columns, book_before, concat_rows, slice_rows
from .layout import CATALOG_LISTS, DAY_MS, columns_to_table, day_of_ms, has_partition, store_partition
from .manifest import read_entry, write_entry


@dataclass
class Written:
    """What a write did: partitions written and left alone, by (list, day), with record counts."""

    written: dict[tuple[str, str], int] = field(default_factory=dict)
    unchanged: dict[tuple[str, str], int] = field(default_factory=dict)


def is_current(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str,
               inputs: Sequence[Mapping[str, Any]]) -> bool:
    """Whether the partition exists and was built from exactly these inputs."""
    entry = read_entry(root, list_name, exchange, symbol, day)
    return (entry is not None and entry.get("inputs") == [dict(item) for item in inputs]
            and has_partition(root, list_name, exchange, symbol, day))


def _day_rows(ts: np.ndarray[Any, Any]) -> list[tuple[str, int, int]]:
    """Each UTC day of sorted times with its row range."""
    if not len(ts):
        return []
    numbers = ts // DAY_MS
    starts = np.flatnonzero(np.diff(numbers)) + 1
    bounds = [0, *starts.tolist(), len(ts)]
    return [(day_of_ms(int(numbers[lo]) * DAY_MS), lo, hi) for lo, hi in itertools.pairwise(bounds)]


def _sorted(list_name: str, columns: Columns) -> Columns:
    ts = columns["ts"]
    if len(ts) < 2 or bool(np.all(ts[1:] >= ts[:-1])) or list_name == "book":
        return columns
    order = np.argsort(ts, kind="stable")
    return {name: column[order] for name, column in columns.items()}


def day_pieces(list_name: str, columns: Columns, before: Columns | None = None) -> Iterator[tuple[str, list[Columns]]]:
    """A list's records per UTC day, as views of `columns`: each day's book led by the book replayed
    to its midnight (a piece of its own, so the day's events are never copied) when earlier events
    (or `before`, the book of the day before) continue into it."""
    columns = _sorted(list_name, columns)
    for day, lo, hi in _day_rows(columns["ts"]):
        part = slice_rows(list_name, columns, lo, hi)
        pieces = [part]
        if list_name == "book":
            midnight = int(part["ts"][0]) // DAY_MS * DAY_MS
            starts_whole = int(part["ts"][0]) == midnight and int(part["kind"][0]) == 0
            earlier = slice_rows("book", columns, 0, lo) if lo else before
            if not starts_whole and earlier is not None:
                start = book_before(earlier, midnight)
                if start is not None:
                    pieces.insert(0, start)
        yield day, pieces


def split_days(list_name: str, columns: Columns, before: Columns | None = None) -> list[tuple[str, Columns]]:
    """A list's records per UTC day; each day's book led by the book replayed to its midnight when
    earlier events (or `before`, the book of the day before) continue into it."""
    return [(day, concat_rows(pieces)) for day, pieces in day_pieces(list_name, columns, before)]


def write_day(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str,
              columns: Columns, inputs: Sequence[Mapping[str, Any]], gaps: Sequence[Any] = (),
              notes: Mapping[str, Any] | None = None) -> None:
    """Write one partition and its manifest entry."""
    write_day_pieces(root, list_name, exchange, symbol, day, [columns], inputs, gaps, notes)


def write_day_pieces(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str,
                     pieces: Sequence[Columns], inputs: Sequence[Mapping[str, Any]], gaps: Sequence[Any] = (),
                     notes: Mapping[str, Any] | None = None) -> None:
    """Write one partition of consecutive pieces of records (not joined first) and its manifest entry."""
    tables = [columns_to_table(list_name, piece) for piece in pieces]
    table = tables[0] if len(tables) == 1 else pa.concat_tables(tables)
    store_partition(root, list_name, exchange, symbol, day, table)
    filled = [piece["ts"] for piece in pieces if len(piece["ts"])]
    entry = {"list": list_name, "exchange": exchange, "symbol": symbol, "date": day,
             "inputs": [dict(item) for item in inputs], "records": sum(len(ts) for ts in filled),
             "first_ts": int(filled[0][0]) if filled else None, "last_ts": int(filled[-1][-1]) if filled else None,
             "gaps": list(gaps), **(dict(notes) if notes else {})}
    write_entry(root, list_name, exchange, symbol, day, entry)


def write_lists(root: str | os.PathLike[str], exchange: str, symbol: str, lists: Mapping[str, Columns],
                inputs: Sequence[Mapping[str, Any]], gaps: Mapping[str, Sequence[Any]] | None = None) -> Written:
    """Write lists of columns into the catalog split at UTC midnight; a day whose manifest names
    the same inputs is not written again. Holds the catalog's write lock meanwhile."""
    from ..write_lock import holding

    with holding(root, f"a write of {exchange} {symbol}"):
        return _write_lists(root, exchange, symbol, lists, inputs, gaps)


def _write_lists(root: str | os.PathLike[str], exchange: str, symbol: str, lists: Mapping[str, Columns],
                 inputs: Sequence[Mapping[str, Any]], gaps: Mapping[str, Sequence[Any]] | None) -> Written:
    result = Written()
    for name in CATALOG_LISTS:
        if name not in lists:
            continue
        for day, pieces in day_pieces(name, lists[name]):
            count = sum(len(piece["ts"]) for piece in pieces)
            if is_current(root, name, exchange, symbol, day, inputs):
                result.unchanged[(name, day)] = count
                continue
            day_gaps = [gap for gap in (gaps or {}).get(name, ()) if day_of_ms(int(gap[0])) == day]
            write_day_pieces(root, name, exchange, symbol, day, pieces, inputs, day_gaps)
            result.written[(name, day)] = count
    return result
