"""Reading a span of a catalog into the columns of `Session.load_columns`.

Only the days the span touches are read; pyarrow reads the Parquet and the columns go to NumPy
without a loop over records. The book of a span starts with the book replayed to its start (a
day's book begins with a snapshot at midnight whenever it continues from the day before, so the
first day read is enough).
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from .book import Columns, book_from, concat_rows, slice_rows
from .layout import CATALOG_LISTS, DAY_MS, CatalogError, check_name, day_of_ms, partition_path, table_to_columns

_DATE = "date="


def list_days(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str) -> list[str]:
    """The days a list holds for an exchange and symbol, in order."""
    folder = Path(root) / list_name / f"exchange={check_name(exchange, 'exchange')}" / f"symbol={check_name(symbol, 'symbol')}"
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return []
    return sorted(entry.name[len(_DATE):] for entry in entries
                  if entry.name.startswith(_DATE) and (Path(entry.path) / "part-0.parquet").is_file())


def days(root: str | os.PathLike[str], exchange: str, symbol: str) -> list[str]:
    """Every day any list holds for an exchange and symbol, in order."""
    found: set[str] = set()
    for name in CATALOG_LISTS:
        found.update(list_days(root, name, exchange, symbol))
    return sorted(found)


def exchanges_and_symbols(root: str | os.PathLike[str]) -> list[tuple[str, str]]:
    """The (exchange, symbol) pairs a catalog holds, in order."""
    pairs: set[tuple[str, str]] = set()
    for name in CATALOG_LISTS:
        base = Path(root) / name
        if not base.is_dir():
            continue
        for exchange in base.glob("exchange=*"):
            for symbol in exchange.glob("symbol=*"):
                pairs.add((exchange.name.partition("=")[2], symbol.name.partition("=")[2]))
    return sorted(pairs)


def read_day(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str) -> Columns:
    """One partition as columns."""
    path = partition_path(root, list_name, exchange, symbol, day)
    try:
        table = pq.read_table(path, memory_map=True)
    except (OSError, pa.ArrowException) as error:
        raise CatalogError(f"cannot read {path}: {error}") from None
    return table_to_columns(list_name, table, str(path))


def _in_span(list_name: str, columns: Columns, start: int | None, end: int | None) -> Columns:
    ts = columns["ts"]
    if list_name == "book":
        if start is not None:
            columns = book_from(columns, start)
            ts = columns["ts"]
        stop = len(ts) if end is None else int(np.searchsorted(ts, end, side="left"))
        return slice_rows("book", columns, 0, stop)
    if len(ts) and bool(np.all(ts[1:] >= ts[:-1])):
        lo = 0 if start is None else int(np.searchsorted(ts, start, side="left"))
        hi = len(ts) if end is None else int(np.searchsorted(ts, end, side="left"))
        return slice_rows(list_name, columns, lo, hi)
    keep = np.ones(len(ts), dtype=bool)
    if start is not None:
        keep &= ts >= start
    if end is not None:
        keep &= ts < end
    return {name: column[keep] for name, column in columns.items()}


def read_span(root: str | os.PathLike[str], exchange: str, symbol: str, start_ms: int | None = None,
              end_ms: int | None = None) -> dict[str, dict[str, np.ndarray[Any, Any]]]:
    """The lists of a span, from `start_ms` (inclusive) to `end_ms` (exclusive; None: to the end),
    as `Session.load_columns` takes them; lists without records in the span are left out."""
    if start_ms is not None and end_ms is not None and end_ms <= start_ms:
        raise CatalogError("the end of the span must be after its start")
    first_day = None if start_ms is None else day_of_ms(start_ms)
    last_day = None if end_ms is None else day_of_ms(end_ms - 1)
    out: dict[str, dict[str, np.ndarray[Any, Any]]] = {}
    for name in CATALOG_LISTS:
        chosen = [day for day in list_days(root, name, exchange, symbol)
                  if (first_day is None or day >= first_day) and (last_day is None or day <= last_day)]
        if not chosen:
            continue
        columns = concat_rows([read_day(root, name, exchange, symbol, day) for day in chosen])
        columns = _in_span(name, columns, start_ms, end_ms)
        if len(columns["ts"]):
            out[name] = columns
    return out


__all__ = ["DAY_MS", "days", "exchanges_and_symbols", "list_days", "read_day", "read_span"]
