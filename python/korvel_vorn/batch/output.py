"""The batch output folder: Hive-partitioned Parquet tables and one manifest entry per job.

Every file is written under a hidden temporary name in its final folder and renamed into place,
so a reader (which skips names starting with ``.`` or ``_``) never sees half a file, and a job run
twice leaves one file. A job's manifest entry is written last: a partition without an entry is
not done.
"""

from __future__ import annotations

import json
import os
import pathlib
import uuid
from typing import Any

import numpy as np

from .. import __version__

MANIFEST = "_manifest"
MARKER = "_batch.json"
TEMP_PREFIX = ".tmp-"


def table_path(out: str | os.PathLike[str], table: str, exchange: str, symbol: str, day: str) -> pathlib.Path:
    return pathlib.Path(out) / table / f"exchange={exchange}" / f"symbol={symbol}" / f"date={day}" / "part-0.parquet"


def entry_path(out: str | os.PathLike[str], exchange: str, symbol: str, day: str) -> pathlib.Path:
    return pathlib.Path(out) / MANIFEST / f"exchange={exchange}" / f"symbol={symbol}" / f"date={day}.json"


def temporary_name(path: pathlib.Path) -> pathlib.Path:
    return path.with_name(f"{TEMP_PREFIX}{uuid.uuid4().hex}-{path.name}")


def replace_into(path: pathlib.Path, write: Any) -> None:
    """Calls write(temporary path), then renames the temporary file to `path` (removing it on failure)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = temporary_name(path)
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


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


def stage_table(path: pathlib.Path, table: Any) -> pathlib.Path:
    """Writes table to a temporary file beside path and returns that file (to be renamed to path)."""
    import pyarrow.parquet as pq

    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = temporary_name(path)
    try:
        pq.write_table(table, temporary, compression="zstd")
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return temporary


def write_entry(path: pathlib.Path, entry: dict[str, Any]) -> None:
    def write(temporary: pathlib.Path) -> None:
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump(entry, f, sort_keys=True)
            f.flush()
            os.fsync(f.fileno())

    replace_into(path, write)


def read_entry(path: pathlib.Path) -> dict[str, Any] | None:
    """The manifest entry at path, or None when there is none or it cannot be read (so: not done)."""
    try:
        with open(path, encoding="utf-8") as f:
            entry = json.load(f)
    except (OSError, ValueError):
        return None
    return entry if isinstance(entry, dict) and isinstance(entry.get("tables"), dict) else None


def remove_temporaries(folder: pathlib.Path) -> int:
    """Removes the temporary files a killed writer left under folder; returns how many."""
    removed = 0
    if not folder.is_dir():
        return 0
    for path in folder.rglob(f"{TEMP_PREFIX}*"):
        path.unlink(missing_ok=True)
        removed += 1
    return removed


def marker() -> dict[str, Any]:
    return {"format": "korvel_vorn batch output", "version": __version__}
