"""Reading a batch output back: one table of some symbols and days as a pandas or polars frame or
an Arrow table (Hive partitions; files starting with "." or "_" are not part of it)."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

from .params import TABLES, BatchError


def read(out: str | os.PathLike[str], table: str, *, exchange: str | None = None,
         symbols: Iterable[str] | None = None, start: str | None = None, end: str | None = None,
         form: str = "pandas") -> Any:
    """The rows of `table` (bars, footprint or book) in `out`, optionally of one exchange, some
    symbols and the days from `start` to `end` (YYYY-MM-DD, both included), sorted by symbol and ts,
    with the partition columns exchange, symbol and date. `form`: "pandas", "polars" or "arrow"."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.dataset as ds

    if table not in TABLES:
        raise BatchError(f"unknown table {table!r} (expected one of {', '.join(TABLES)})")
    if form not in ("pandas", "polars", "arrow"):
        raise BatchError(f"unknown form {form!r} (expected pandas, polars or arrow)")
    from ..storage import open_store

    store = open_store(os.fspath(out))
    store.check()
    if not store.is_dir(table):
        raise BatchError(f"{store.url} holds no {table} table")
    filesystem, folder = store.filesystem(table)
    partitioning = ds.partitioning(pa.schema([("exchange", pa.string()), ("symbol", pa.string()),
                                              ("date", pa.string())]), flavor="hive")
    dataset = ds.dataset(folder, filesystem=filesystem, format="parquet", partitioning=partitioning, ignore_prefixes=[".", "_"])
    condition = None
    for clause in (
        None if exchange is None else pc.field("exchange") == exchange,
        None if symbols is None else pc.field("symbol").isin(list(symbols)),
        None if start is None else pc.field("date") >= start,
        None if end is None else pc.field("date") <= end,
    ):
        if clause is not None:
            condition = clause if condition is None else condition & clause
    result = dataset.to_table(filter=condition)
    keys = [("exchange", "ascending"), ("symbol", "ascending"), ("ts", "ascending")]
    if table == "footprint":
        keys.append(("price_bin", "ascending"))
    result = result.sort_by(keys)
    if form == "arrow":
        return result
    if form == "polars":
        import polars

        return polars.from_arrow(result)
    return result.to_pandas()
