"""The parameters of a batch run: which tables, the time bucket, the price bin of each symbol and
the book depths; checked once, hashed per table so that a changed parameter recomputes only the
tables it changes."""

from __future__ import annotations

import dataclasses
import hashlib
import json
from typing import Any

DAY_MS = 86_400_000

# The tables a job writes, and the parameters each depends on.
TABLE_PARAMS: dict[str, tuple[str, ...]] = {
    "bars": ("bucket_ms", "price_bin"),
    "footprint": ("bucket_ms", "price_bin"),
    "book": ("bucket_ms", "price_bin", "depths"),
}
TABLES: tuple[str, ...] = tuple(TABLE_PARAMS)
DEFAULT_DEPTHS: tuple[int, ...] = (5, 10, 20)


class BatchError(ValueError):
    """A bad batch input: the message is one line naming what and where."""


@dataclasses.dataclass(frozen=True)
class TableParams:
    """The parameters of one symbol's tables (plain values, so a job takes them as they are)."""

    bucket_ms: int
    price_bin: float
    depths: tuple[int, ...] = DEFAULT_DEPTHS

    def __post_init__(self) -> None:
        check_bucket(self.bucket_ms)
        check_price_bin(self.price_bin, "price bin")
        if not self.depths or any(not isinstance(k, int) or isinstance(k, bool) or k < 0 for k in self.depths):
            raise BatchError(f"depths must be non-negative whole numbers of price bins, got {list(self.depths)}")

    def of_table(self, table: str) -> dict[str, Any]:
        values = {"bucket_ms": self.bucket_ms, "price_bin": self.price_bin, "depths": list(self.depths)}
        return {name: values[name] for name in TABLE_PARAMS[table]}

    def table_hash(self, table: str) -> str:
        text = json.dumps({"table": table, **self.of_table(table)}, sort_keys=True)
        return hashlib.sha256(text.encode()).hexdigest()[:16]


def check_bucket(bucket_ms: int) -> None:
    if isinstance(bucket_ms, bool) or not isinstance(bucket_ms, int) or bucket_ms <= 0 or DAY_MS % bucket_ms:
        raise BatchError(f"bucket {bucket_ms!r} ms does not divide a day (86400000 ms) into whole buckets")


def check_price_bin(price_bin: float, where: str) -> None:
    if isinstance(price_bin, bool) or not isinstance(price_bin, (int, float)) or not price_bin > 0 \
            or price_bin == float("inf"):
        raise BatchError(f"{where} must be a positive number, got {price_bin!r}")


def check_tables(tables: Any) -> tuple[str, ...]:
    names = tuple(tables)
    unknown = [t for t in names if t not in TABLE_PARAMS]
    if unknown or not names:
        raise BatchError(f"unknown table {unknown[0]!r} (expected some of {', '.join(TABLES)})" if unknown
                         else "no table asked for")
    return tuple(t for t in TABLES if t in names)
