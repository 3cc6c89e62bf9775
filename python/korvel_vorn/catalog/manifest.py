"""The manifest of a catalog: per partition, its inputs (names, sizes, SHA-256), its record count,
first and last ts, and the gaps found, as JSON under ROOT/_manifest/ (which readers of the Parquet
tree skip, as every name starting with an underscore)."""

from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path
from typing import Any

from ..storage import open_store
from ..storage_error import StorageError
from .layout import check_name, day_text

MANIFEST_DIR = "_manifest"


def manifest_key(list_name: str, exchange: str, symbol: str, day: str) -> str:
    return (f"{MANIFEST_DIR}/{list_name}/exchange={check_name(exchange, 'exchange')}"
            f"/symbol={check_name(symbol, 'symbol')}/{day_text(day)}.json")


def manifest_path(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str) -> Path:
    return Path(root) / manifest_key(list_name, exchange, symbol, day)


def read_entry(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str,
               day: str) -> dict[str, Any] | None:
    """A partition's manifest entry; None when there is none or it cannot be read (a store that
    cannot be reached raises StorageError)."""
    try:
        value = json.loads(open_store(root).read_bytes(manifest_key(list_name, exchange, symbol, day)))
    except StorageError:
        raise
    except (OSError, ValueError):
        return None
    return value if isinstance(value, dict) else None


def write_entry(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str,
                entry: dict[str, Any]) -> None:
    """Write a partition's manifest entry whole (renamed into place, or one upload)."""
    data = (json.dumps(entry, indent=1, sort_keys=True) + "\n").encode("utf-8")
    open_store(root).write_bytes(manifest_key(list_name, exchange, symbol, day), data)


def file_sha256(path: str | os.PathLike[str]) -> str:
    """The SHA-256 of a file, as the manifest names an input by it."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()
