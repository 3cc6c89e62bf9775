"""A job's input: one UTC day of one symbol in the catalog (`korvel_vorn.catalog`), as the columns
`Session.load_columns` takes, and the identity of the catalog files it reads (for the manifest)."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from .params import DAY_MS, BatchError


def day_start_ms(day: str) -> int:
    from ..catalog.layout import CatalogError, day_start_ms

    try:
        return day_start_ms(day)
    except CatalogError as error:
        raise BatchError(str(error)) from None


def days(root: str | os.PathLike[str], exchange: str, symbol: str) -> list[str]:
    """The days the catalog holds anything of the symbol for, ascending."""
    from ..catalog.layout import CatalogError
    from ..catalog.read import days

    try:
        return days(root, exchange, symbol)
    except CatalogError as error:
        raise BatchError(str(error)) from None


def is_catalog(root: str | os.PathLike[str]) -> bool:
    """Whether root holds a folder of any catalog list."""
    from ..catalog.layout import CATALOG_LISTS
    from ..storage import open_store

    store = open_store(root)
    store.check()
    if store.local_path() is None:  # one listing rather than a lookup per list
        folders = {name for name, is_dir in store.children("") if is_dir}
        return any(name in folders for name in CATALOG_LISTS)
    return any(store.is_dir(name) for name in CATALOG_LISTS)


def input_files(root: str, exchange: str, symbol: str, day: str) -> list[dict[str, Any]]:
    """Each catalog partition of the day that exists: its path under root, size and modification time."""
    from ..catalog.layout import CATALOG_LISTS, partition_key
    from ..storage import open_store

    store = open_store(root)
    keys = [partition_key(name, exchange, symbol, day) for name in CATALOG_LISTS]
    return [{"path": key, "size": found[0], "mtime_ns": found[1]}
            for key, found in zip(keys, store.each(store.stat, keys)) if found is not None]


def read_day(root: str, exchange: str, symbol: str, day: str) -> dict[str, dict[str, np.ndarray[Any, Any]]]:
    """Every list of the day that the catalog holds, as columns (the book from the day's first
    snapshot); a partition that cannot be read raises BatchError naming it."""
    from ..catalog.read import read_span

    start = day_start_ms(day)
    try:
        return read_span(root, exchange, symbol, start, start + DAY_MS)
    except Exception as error:
        # Whatever the reader says of a damaged partition, said in one line.
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise BatchError(reason if "cannot read" in reason else f"cannot read the catalog day: {reason}") from None
