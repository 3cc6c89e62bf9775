"""The manifest of a catalog: per partition, its inputs (names, sizes, SHA-256), its record count,
first and last ts, and the gaps found, as JSON under ROOT/_manifest/ (which readers of the Parquet
tree skip, as every name starting with an underscore)."""

from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path
from typing import Any

from .layout import check_name, day_text

MANIFEST_DIR = "_manifest"


def manifest_path(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str) -> Path:
    return (Path(root) / MANIFEST_DIR / list_name / f"exchange={check_name(exchange, 'exchange')}"
            / f"symbol={check_name(symbol, 'symbol')}" / f"{day_text(day)}.json")


def read_entry(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str,
               day: str) -> dict[str, Any] | None:
    """A partition's manifest entry; None when there is none or it cannot be read."""
    try:
        with open(manifest_path(root, list_name, exchange, symbol, day), encoding="utf-8") as f:
            value = json.load(f)
    except (OSError, ValueError):
        return None
    return value if isinstance(value, dict) else None


def write_entry(root: str | os.PathLike[str], list_name: str, exchange: str, symbol: str, day: str,
                entry: dict[str, Any]) -> None:
    """Write a partition's manifest entry under a temporary name, then rename it."""
    path = manifest_path(root, list_name, exchange, symbol, day)
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.parent / f".{path.name}.{os.getpid()}.tmp"
    try:
        temporary.write_text(json.dumps(entry, indent=1, sort_keys=True) + "\n", encoding="utf-8")
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def file_sha256(path: str | os.PathLike[str]) -> str:
    """The SHA-256 of a file, as the manifest names an input by it."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()
