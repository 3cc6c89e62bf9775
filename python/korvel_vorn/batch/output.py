"""The batch output folder: Hive-partitioned Parquet tables and one manifest entry per job.

Every file is written whole: in a folder under a hidden temporary name renamed into place (a
reader skips names starting with ``.`` or ``_``), on an object store in one upload of the complete
object; a reader never sees half a file, and a job run twice leaves one file. A job's manifest
entry is written last: a partition without an entry is not done.
"""

from __future__ import annotations

import json
import os
import pathlib
from typing import Any

import numpy as np

from .. import __version__
from ..storage_error import StorageError


def open_store(root: str) -> Any:
    """The output's store (pyarrow imported only when a job writes or reads)."""
    from ..storage import open_store as opened

    return opened(root)

MANIFEST = "_manifest"
MARKER = "_batch.json"


def table_key(table: str, exchange: str, symbol: str, day: str) -> str:
    return f"{table}/exchange={exchange}/symbol={symbol}/date={day}/part-0.parquet"


def entry_key(exchange: str, symbol: str, day: str) -> str:
    return f"{MANIFEST}/exchange={exchange}/symbol={symbol}/date={day}.json"


def table_path(out: str | os.PathLike[str], table: str, exchange: str, symbol: str, day: str) -> pathlib.Path:
    """A table's file in a local output folder."""
    return pathlib.Path(out) / table_key(table, exchange, symbol, day)


def entry_path(out: str | os.PathLike[str], exchange: str, symbol: str, day: str) -> pathlib.Path:
    """A job's manifest entry in a local output folder."""
    return pathlib.Path(out) / entry_key(exchange, symbol, day)


def arrow_table(columns: dict[str, np.ndarray[Any, Any]], metadata: dict[str, str]) -> Any:
    import pyarrow as pa

    arrays = []
    for name, values in columns.items():
        if name == "ts":
            arrays.append(pa.array(np.asarray(values, dtype=np.int64), pa.int64()).cast(pa.timestamp("ms", tz="UTC")))
        elif np.asarray(values).dtype.kind in "iu":
            arrays.append(pa.array(np.asarray(values, dtype=np.int64), pa.int64()))
        else:  # NaN stays NaN, never null
            arrays.append(pa.array(np.asarray(values, dtype=np.float64), pa.float64(), from_pandas=False))
    schema = pa.schema([pa.field(n, a.type) for n, a in zip(columns, arrays)],
                       metadata={k.encode(): v.encode() for k, v in metadata.items()})
    return pa.Table.from_arrays(arrays, schema=schema)


def write_entry(out: str, key: str, entry: dict[str, Any]) -> None:
    open_store(out).write_bytes(key, json.dumps(entry, sort_keys=True).encode("utf-8"))


def read_entry(out: str, key: str) -> dict[str, Any] | None:
    """The manifest entry at key, or None when there is none or it cannot be read (so: not done);
    a store that cannot be reached raises StorageError."""
    try:
        entry = json.loads(open_store(out).read_bytes(key))
    except StorageError:
        raise
    except (OSError, ValueError):
        return None
    return entry if isinstance(entry, dict) and isinstance(entry.get("tables"), dict) else None


def marker() -> dict[str, Any]:
    return {"format": "korvel_vorn batch output", "version": __version__}
