"""The rows of one CSV file: whether its first row is a header, and columns by name."""

from __future__ import annotations

import re
from collections.abc import Callable

from .fields import FieldError

Row = list[str]

SYNONYMS = {
    "ts": ("ts", "timestamp", "time", "t", "datetime", "date", "open_time", "event_time", "transact_time"),
    "price": ("price", "p", "px"),
    "qty": ("qty", "quantity", "size", "amount", "q", "volume"),
    "side": ("side", "s", "taker_side", "aggressor_side"),
    "rate": ("rate", "funding_rate", "fundingrate", "last_funding_rate", "funding"),
    "oi": ("oi", "open_interest", "openinterest", "sum_open_interest"),
    "open": ("open", "o"),
    "high": ("high", "h"),
    "low": ("low", "l"),
    "close": ("close", "c"),
    "volume": ("volume", "v", "vol"),
    "is_buyer_maker": ("is_buyer_maker", "isbuyermaker", "m", "buyer_is_maker"),
}


def _is_numberish(cell: str) -> bool:
    return bool(re.fullmatch(r"\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*", cell))


def is_boolish(cell: str) -> bool:
    return cell.strip().lower() in ("true", "false")


def has_header(first: Row) -> bool:
    """A first row with a cell that is neither a number, a boolean nor a date is a header."""
    return any(not (_is_numberish(c) or is_boolish(c) or re.match(r"\s*\d{4}-\d\d-\d\d", c) or not c.strip())
               for c in first)


class Table:
    """Column access by name for the rows of one CSV file."""

    def __init__(self, header: Row) -> None:
        self.names = [h.strip().lower() for h in header]
        self.index = {n: i for i, n in enumerate(self.names)}

    def has(self, *names: str) -> bool:
        return all(n in self.index for n in names)

    def find(self, field: str) -> int | None:
        for name in SYNONYMS.get(field, (field,)):
            if name in self.index:
                return self.index[name]
        return None


def column_finder(table: Table | None) -> Callable[[str], int | None]:
    """The position of a named column of the table; always None for a file without a header."""

    def column(name: str) -> int | None:
        return table.index.get(name) if table is not None else None

    return column


def cell(row: Row, i: int | None, name: str) -> str:
    if i is None or i >= len(row):
        raise FieldError(f"the row has no {name} column")
    return row[i]
