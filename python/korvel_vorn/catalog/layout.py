"""Where a catalog keeps each day, and the Arrow form of each list.

A catalog is Hive-partitioned Parquet that pandas, polars, DuckDB, pyarrow and Dask read as it is:
``ROOT/{list}/exchange={EXCHANGE}/symbol={SYMBOL}/date={YYYY-MM-DD}/part-0.parquet``, one file per
list, exchange, symbol and UTC day, with the dataset's fields as columns (`LIST_SCHEMAS`). The
conversions between those tables and the columns of `Session.load_columns` are vectorised: no
Python loop over records.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import os
import re
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from ..schema import ENUM_VARIANTS, LISTS
from ..storage import open_store

DAY_MS = 86_400_000
PART_NAME = "part-0.parquet"
_DAY = re.compile(r"\d{4}-\d\d-\d\d")
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._:-]*")

TS = pa.timestamp("ms", tz="UTC")
LEVEL = pa.struct([("price", pa.float64()), ("qty", pa.float64())])
LEVELS = pa.list_(LEVEL)
ENUM = pa.dictionary(pa.int8(), pa.string())

LIST_SCHEMAS: dict[str, pa.Schema] = {
    "trades": pa.schema([("ts", TS), ("price", pa.float64()), ("qty", pa.float64()), ("side", ENUM)]),
    "book": pa.schema([("ts", TS), ("kind", ENUM), ("bids", LEVELS), ("asks", LEVELS)]),
    "candles": pa.schema([("ts", TS), ("open", pa.float64()), ("high", pa.float64()), ("low", pa.float64()),
                          ("close", pa.float64()), ("volume", pa.float64())]),
    "funding": pa.schema([("ts", TS), ("rate", pa.float64())]),
    "oi": pa.schema([("ts", TS), ("oi", pa.float64())]),
    "liquidations": pa.schema([("ts", TS), ("price", pa.float64()), ("qty", pa.float64()), ("side", ENUM)]),
}
CATALOG_LISTS: tuple[str, ...] = tuple(name for name in LISTS if name in LIST_SCHEMAS)

Columns = dict[str, np.ndarray[Any, Any]]


class CatalogError(ValueError):
    """A catalog that cannot be read or written as asked; the message names the place."""


def day_text(day: str | _dt.date) -> str:
    """A UTC day as YYYY-MM-DD, checked."""
    text = day.isoformat()[:10] if isinstance(day, _dt.date) else str(day)
    if not _DAY.fullmatch(text):
        raise CatalogError(f"bad day {text!r}: use YYYY-MM-DD")
    try:
        _dt.date.fromisoformat(text)
    except ValueError:
        raise CatalogError(f"bad day {text!r}: no such date") from None
    return text


def day_start_ms(day: str | _dt.date) -> int:
    """The first millisecond of a UTC day."""
    return (_dt.date.fromisoformat(day_text(day)) - _dt.date(1970, 1, 1)).days * DAY_MS


def day_of_ms(ms: int) -> str:
    """The UTC day that holds a millisecond."""
    return (_dt.date(1970, 1, 1) + _dt.timedelta(days=ms // DAY_MS)).isoformat()


def check_name(value: str, what: str) -> str:
    """An exchange or symbol name, which becomes a folder name: no separators, no dots in front."""
    if not _NAME.fullmatch(value) or ".." in value:
        raise CatalogError(f"bad {what} {value!r}: use letters, digits and . _ : - only")
    return value


def partition_key(list_name: str, exchange: str, symbol: str, day: str | _dt.date) -> str:
    """Where the Parquet file of one list, exchange, symbol and UTC day lies under the root."""
    if list_name not in LIST_SCHEMAS:
        raise CatalogError(f"unknown list {list_name!r}: the lists are {', '.join(CATALOG_LISTS)}")
    return (f"{list_name}/exchange={check_name(exchange, 'exchange')}/symbol={check_name(symbol, 'symbol')}"
            f"/date={day_text(day)}/{PART_NAME}")


def partition_path(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str,
                   day: str | _dt.date) -> Path:
    """The Parquet file of one list, exchange, symbol and UTC day of a local catalog."""
    return Path(root) / partition_key(list_name, exchange, symbol, day)


def parquet_options(schema: pa.Schema) -> dict[str, Any]:
    """zstd, with times delta-encoded (they rise by small steps; this decodes faster and takes less
    room than a dictionary of distinct values) and every other column dictionary-encoded, the book's
    level prices and quantities too: a day repeats few distinct values, so their dictionaries halve
    both the file and the time to read it back."""
    leaves = []
    for field in schema:
        if field.name == "ts":
            continue
        if pa.types.is_list(field.type):
            leaves += [f"{field.name}.list.element.{child.name}" for child in field.type.value_type]
        else:
            leaves.append(field.name)
    return {"compression": "zstd", "use_dictionary": leaves, "column_encoding": {"ts": "DELTA_BINARY_PACKED"}}


def write_partition(table: pa.Table, path: str | os.PathLike[str]) -> None:
    """Write a table to a local `path` under a temporary name in the same folder, then rename it,
    so a reader never sees half a file. The temporary name starts with a dot, which readers skip."""
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    temporary = target.parent / f".{target.name}.{os.getpid()}.{threading.get_ident()}.tmp"
    try:
        pq.write_table(table, temporary, **parquet_options(table.schema))
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def store_partition(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str,
                    table: pa.Table) -> None:
    """Write one partition whole (renamed into place on a disk, one upload on an object store)."""
    store = open_store(root)
    key = partition_key(list_name, exchange, symbol, day)
    local = store.local_path(key)
    if local is not None:
        write_partition(table, local)
    else:
        store.write_table(key, table, **parquet_options(table.schema))


def has_partition(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str) -> bool:
    return open_store(root).is_file(partition_key(list_name, exchange, symbol, day))


def delete_partition(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str) -> None:
    open_store(root).delete(partition_key(list_name, exchange, symbol, day))


@contextlib.contextmanager
def partition_writer(path: str | os.PathLike[str], list_name: str) -> Iterator[pq.ParquetWriter]:
    """A Parquet writer of one local partition, written batch by batch under a temporary name and
    renamed when the block ends without an error (removed when it fails)."""
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    temporary = target.parent / f".{target.name}.{os.getpid()}.{threading.get_ident()}.tmp"
    try:
        with pq.ParquetWriter(temporary, LIST_SCHEMAS[list_name], **parquet_options(LIST_SCHEMAS[list_name])) as writer:
            yield writer
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


@contextlib.contextmanager
def writing_partition(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str,
                      day: str) -> Iterator[pq.ParquetWriter]:
    """A Parquet writer of one partition of a catalog, put in place whole when the block ends
    without an error: on a disk as `partition_writer` does, on an object store written into memory
    and uploaded in one piece at the end (nothing at all when the block fails)."""
    store = open_store(root)
    key = partition_key(list_name, exchange, symbol, day)
    local = store.local_path(key)
    if local is not None:
        with partition_writer(local, list_name) as writer:
            yield writer
        return
    schema = LIST_SCHEMAS[list_name]
    sink = pa.BufferOutputStream()
    with pq.ParquetWriter(sink, schema, **parquet_options(schema)) as writer:
        yield writer
    store.write_bytes(key, sink.getvalue().to_pybytes())


def _enum_array(codes: np.ndarray[Any, Any], names: tuple[str, str]) -> pa.DictionaryArray:
    return pa.DictionaryArray.from_arrays(pa.array(np.asarray(codes, dtype=np.int8)), pa.array(list(names)))


def _levels_array(counts: np.ndarray[Any, Any], price: np.ndarray[Any, Any], qty: np.ndarray[Any, Any]) -> pa.Array:
    offsets = np.zeros(len(counts) + 1, dtype=np.int32)
    np.cumsum(counts, out=offsets[1:])
    values = pa.StructArray.from_arrays([pa.array(price, pa.float64()), pa.array(qty, pa.float64())],
                                        fields=list(LEVEL))
    return pa.ListArray.from_arrays(pa.array(offsets), values, type=LEVELS)


def columns_to_table(list_name: str, columns: dict[str, Any]) -> pa.Table:
    """The catalog table of a list given as the columns of `Session.load_columns` (ts int64 ms,
    floats, 0/1 codes; the book ragged with bid_count, ask_count and level columns)."""
    schema = LIST_SCHEMAS[list_name]
    ts = pa.array(np.asarray(columns["ts"], dtype=np.int64)).cast(TS)
    arrays: list[pa.Array] = [ts]
    for field in schema.names[1:]:
        if (list_name, field) in ENUM_VARIANTS:
            arrays.append(_enum_array(columns[field], ENUM_VARIANTS[(list_name, field)]))
        elif field in ("bids", "asks"):
            side = field[:-1]
            arrays.append(_levels_array(np.asarray(columns[f"{side}_count"]), np.asarray(columns[f"{side}_price"]),
                                        np.asarray(columns[f"{side}_qty"])))
        else:
            arrays.append(pa.array(np.asarray(columns[field], dtype=np.float64)))
    return pa.Table.from_arrays(arrays, schema=schema)


def _numpy(column: pa.ChunkedArray | pa.Array) -> np.ndarray[Any, Any]:
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks() if column.num_chunks != 1 else column.chunk(0)
    return np.asarray(column.to_numpy(zero_copy_only=False))


def _codes(column: pa.ChunkedArray, names: tuple[str, str], where: str) -> np.ndarray[Any, Any]:
    """0/1 codes of a dictionary (or plain string) column, whatever order its dictionary is in."""
    parts = []
    for chunk in column.chunks:
        if not pa.types.is_dictionary(chunk.type):
            chunk = chunk.dictionary_encode()
        dictionary = [str(v).lower() for v in chunk.dictionary.to_pylist()]
        unknown = [v for v in dictionary if v not in names]
        if unknown:
            raise CatalogError(f"{where}: unknown value {unknown[0]!r} (expected {names[0]!r} or {names[1]!r})")
        lookup = np.array([names.index(v) for v in dictionary] or [0], dtype=np.uint8)
        parts.append(lookup[np.asarray(chunk.indices.to_numpy(zero_copy_only=False), dtype=np.int64)])
    return np.concatenate(parts) if parts else np.zeros(0, dtype=np.uint8)


def _chunk_levels(array: pa.Array) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    offsets = np.asarray(array.offsets.to_numpy(), dtype=np.int64)
    values = array.values.slice(int(offsets[0]), int(offsets[-1] - offsets[0]))
    counts = np.diff(offsets)
    children = dict(zip((field.name for field in values.type), values.flatten()))  # the slice applied
    return counts, _numpy(children["price"]), _numpy(children["qty"])


def _levels(column: pa.ChunkedArray) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """Counts, prices and quantities of a list<struct<price, qty>> column, flattened. A column of
    several chunks (row groups) is joined as NumPy arrays of its doubles, not as an Arrow list:
    that copies only the doubles, once."""
    chunks = [chunk for chunk in column.chunks if len(chunk)]
    if not chunks:
        empty = np.zeros(0, dtype=np.float64)
        return np.zeros(0, dtype=np.int64), empty, empty
    parts = [_chunk_levels(chunk) for chunk in chunks]
    if len(parts) == 1:
        return parts[0]
    counts, price, qty = zip(*parts)
    return np.concatenate(counts), np.concatenate(price), np.concatenate(qty)


def table_to_columns(list_name: str, table: pa.Table, where: str = "") -> Columns:
    """The columns of `Session.load_columns` from a catalog table."""
    where = where or list_name
    missing = [name for name in LIST_SCHEMAS[list_name].names if name not in table.column_names]
    if missing:
        raise CatalogError(f"{where}: missing column {missing[0]!r}")
    ts_column = table.column("ts")
    if not pa.types.is_timestamp(ts_column.type) and not pa.types.is_integer(ts_column.type):
        raise CatalogError(f"{where}: ts is {ts_column.type}, not a timestamp")
    if pa.types.is_timestamp(ts_column.type):
        ts_column = ts_column.cast(TS).cast(pa.int64())
    out: Columns = {"ts": np.ascontiguousarray(_numpy(ts_column), dtype=np.int64)}
    for field in LIST_SCHEMAS[list_name].names[1:]:
        if (list_name, field) in ENUM_VARIANTS:
            out[field] = _codes(table.column(field), ENUM_VARIANTS[(list_name, field)], f"{where}.{field}")
        elif field in ("bids", "asks"):
            side = field[:-1]
            counts, price, qty = _levels(table.column(field))
            out[f"{side}_count"], out[f"{side}_price"], out[f"{side}_qty"] = counts, price, qty
        else:
            out[field] = np.ascontiguousarray(_numpy(table.column(field).cast(pa.float64())), dtype=np.float64)
    return out
