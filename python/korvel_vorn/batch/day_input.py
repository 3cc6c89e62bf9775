"""A job's input: one UTC day of one symbol in the catalog, as the columns `Session.load_columns`
takes, and the identity of the catalog files it reads (for the manifest)."""

from __future__ import annotations

import datetime as dt
import os
import pathlib
from typing import Any

import numpy as np

from ..schema import ENUM_VARIANTS, LISTS
from .params import DAY_MS, BatchError

# The catalog's list folders, in the dataset's declared order.
CATALOG_LISTS: tuple[str, ...] = LISTS


def day_start_ms(day: str) -> int:
    try:
        date = dt.date.fromisoformat(day)
    except ValueError:
        raise BatchError(f"{day!r} is not a day (YYYY-MM-DD)") from None
    return int(dt.datetime(date.year, date.month, date.day, tzinfo=dt.UTC).timestamp() * 1000)


def day_of_ms(ts: int) -> str:
    return dt.datetime.fromtimestamp(ts // DAY_MS * DAY_MS / 1000, tz=dt.UTC).date().isoformat()


def partition_path(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str) -> pathlib.Path:
    return pathlib.Path(root) / list_name / f"exchange={exchange}" / f"symbol={symbol}" / f"date={day}" / "part-0.parquet"


def days(root: str | os.PathLike[str], exchange: str, symbol: str) -> list[str]:
    """The days of the symbol's trades in the catalog, ascending."""
    folder = pathlib.Path(root) / "trades" / f"exchange={exchange}" / f"symbol={symbol}"
    if not folder.is_dir():
        return []
    found = [p.name.removeprefix("date=") for p in folder.iterdir() if p.name.startswith("date=")
             and (p / "part-0.parquet").is_file()]
    return sorted(found)


def input_files(root: str, exchange: str, symbol: str, day: str) -> list[dict[str, Any]]:
    """Each catalog partition of the day that exists: its path under root, size and modification time."""
    files = []
    for name in CATALOG_LISTS:
        path = partition_path(root, name, exchange, symbol, day)
        try:
            stat = path.stat()
        except FileNotFoundError:
            continue
        files.append({"path": path.relative_to(root).as_posix(), "size": stat.st_size, "mtime_ns": stat.st_mtime_ns})
    return files


def _codes(column: Any, names: tuple[str, str], where: str) -> np.ndarray[Any, Any]:
    """0/1 codes of a dictionary (or plain string) column holding the two names."""
    import pyarrow as pa

    if pa.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    text = column.to_numpy(zero_copy_only=False).astype(str)
    codes = np.full(text.shape, 2, dtype=np.uint8)
    codes[text == names[0]] = 0
    codes[text == names[1]] = 1
    bad = np.flatnonzero(codes == 2)
    if bad.size:
        raise BatchError(f"{where} row {int(bad[0])}: unknown name {text[bad[0]]!r}")
    return codes


def _levels(column: Any, side: str) -> dict[str, np.ndarray[Any, Any]]:
    import pyarrow as pa

    levels = column.combine_chunks() if isinstance(column, pa.ChunkedArray) else column
    counts = levels.value_lengths().fill_null(0).to_numpy().astype(np.int64)
    flat = levels.flatten()
    return {f"{side}_count": counts,
            f"{side}_price": flat.field("price").to_numpy(zero_copy_only=False).astype(np.float64),
            f"{side}_qty": flat.field("qty").to_numpy(zero_copy_only=False).astype(np.float64)}


def table_columns(list_name: str, table: Any, where: str) -> dict[str, np.ndarray[Any, Any]]:
    """One catalog partition's Arrow table as the columns of `Session.load_columns`."""
    import pyarrow as pa

    columns: dict[str, np.ndarray[Any, Any]] = {}
    for field in table.schema.names:
        column = table.column(field)
        if field == "ts":
            columns["ts"] = column.cast(pa.int64()).to_numpy().astype(np.int64)
        elif (list_name, field) in ENUM_VARIANTS:
            columns[field] = _codes(column, ENUM_VARIANTS[(list_name, field)], f"{where} column {field}")
        elif field in ("bids", "asks"):
            columns.update(_levels(column, field[:-1]))
        else:
            columns[field] = column.to_numpy(zero_copy_only=False).astype(np.float64)
    return columns


def read_day(root: str, exchange: str, symbol: str, day: str) -> dict[str, dict[str, np.ndarray[Any, Any]]]:
    """Every list of the day that the catalog holds, as columns; a partition that cannot be read
    raises BatchError naming it."""
    import pyarrow.parquet as pq

    lists: dict[str, dict[str, np.ndarray[Any, Any]]] = {}
    for name in CATALOG_LISTS:
        path = partition_path(root, name, exchange, symbol, day)
        if not path.is_file():
            continue
        try:
            lists[name] = table_columns(name, pq.read_table(path), str(path))
        except BatchError:
            raise
        except Exception as error:
            # Whatever the reader says of a damaged partition, said in one line.
            reason = str(error).splitlines()[0] if str(error) else type(error).__name__
            raise BatchError(f"cannot read {path}: {reason}") from None
    return lists
