"""Reading a span of a catalog into the columns of `Session.load_columns`.

Only the days the span touches are read; pyarrow reads the Parquet and the columns go to NumPy
without a loop over records. The book of a span starts with the book replayed to its start (a
day's book begins with a snapshot at midnight whenever it continues from the day before, so the
first day read is enough).
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import pyarrow as pa

from ..storage import open_store
from ..storage_error import StorageError
from .book import Columns, book_from, concat_rows, slice_rows
from .layout import CATALOG_LISTS, DAY_MS, PART_NAME, CatalogError, check_name, day_of_ms, partition_key, table_to_columns

_DATE = "date="


def list_days(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str) -> list[str]:
    """The days a list holds for an exchange and symbol, in order."""
    store = open_store(root)
    folder = f"{list_name}/exchange={check_name(exchange, 'exchange')}/symbol={check_name(symbol, 'symbol')}"
    if store.local_path() is None:  # one listing of the whole symbol rather than a request per day
        return sorted(name[len(_DATE):-len(PART_NAME) - 1] for name, is_dir in store.children_deep(folder)
                      if not is_dir and name.startswith(_DATE) and name.count("/") == 1
                      and name.endswith(f"/{PART_NAME}"))
    named = [name for name, is_dir in store.children(folder) if is_dir and name.startswith(_DATE)]
    return sorted(name[len(_DATE):] for name in named if store.is_file(f"{folder}/{name}/{PART_NAME}"))


def days(root: str | os.PathLike[str], exchange: str, symbol: str) -> list[str]:
    """Every day any list holds for an exchange and symbol, in order."""
    found: set[str] = set()
    for held in open_store(root).each(lambda name: list_days(root, name, exchange, symbol), CATALOG_LISTS):
        found.update(held)
    return sorted(found)


def exchanges_and_symbols(root: str | os.PathLike[str]) -> list[tuple[str, str]]:
    """The (exchange, symbol) pairs a catalog holds, in order."""
    store = open_store(root)
    store.check()
    pairs: set[tuple[str, str]] = set()
    for name in CATALOG_LISTS:
        for exchange, is_dir in store.children(name):
            if not is_dir or not exchange.startswith("exchange="):
                continue
            for symbol, is_symbol_dir in store.children(f"{name}/{exchange}"):
                if is_symbol_dir and symbol.startswith("symbol="):
                    pairs.add((exchange.partition("=")[2], symbol.partition("=")[2]))
    return sorted(pairs)


def read_day(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str) -> Columns:
    """One partition as columns."""
    store = open_store(root)
    key = partition_key(list_name, exchange, symbol, day)
    try:
        table = store.read_table(key)
    except StorageError:
        raise  # the store's own error, which names the object
    except (OSError, pa.ArrowException) as error:
        raise CatalogError(f"cannot read {store.where(key)}: {error}") from None
    return table_to_columns(list_name, table, store.where(key))


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
    store = open_store(root)
    store.check()
    held = store.each(lambda name: list_days(root, name, exchange, symbol), CATALOG_LISTS)
    wanted = [(name, day) for name, found in zip(CATALOG_LISTS, held) for day in found
              if (first_day is None or day >= first_day) and (last_day is None or day <= last_day)]
    parts = store.each(lambda item: read_day(root, item[0], exchange, symbol, item[1]), wanted)
    out: dict[str, dict[str, np.ndarray[Any, Any]]] = {}
    for name in CATALOG_LISTS:
        chosen = [part for (list_name, _), part in zip(wanted, parts) if list_name == name]
        if not chosen:
            continue
        columns = _in_span(name, concat_rows(chosen), start_ms, end_ms)
        if len(columns["ts"]):
            out[name] = columns
    return out


__all__ = ["DAY_MS", "days", "exchanges_and_symbols", "list_days", "read_day", "read_span"]
