"""What the JSON and CSV readers share: where a message came from and how to read it, and the
levels and ids of book messages."""

from __future__ import annotations

import re
from typing import Any

from .fields import FieldError, number, timestamp
from .market import BookEvent, Market


class Context:
    """Where a message came from (one input file) and how to read it."""

    def __init__(self, market: Market, kind: str | None, name: str = "") -> None:
        options = market.options
        self.market = market
        self.kind = kind
        self.name = name
        self.form = ""  # the recognised format, for the summary
        self.source = 0  # index of the input
        self.unit = options.time_unit
        self.symbol = options.symbol.upper() if options.symbol else None
        self.prefix_ts: Any = None
        self.file_symbols: set[str] = set()  # every symbol met in this file, wanted or not
        self.waiting_snapshots: list[BookEvent] = []  # snapshots without a symbol, until one is known

    def keep(self, symbol: Any, count: int = 1) -> bool:
        """Record the symbol of `count` messages and tell whether they are wanted."""
        if not isinstance(symbol, str) or not symbol:
            return True
        upper = symbol.upper()
        self.file_symbols.add(upper)
        if self.symbol is not None and upper != self.symbol:
            self.market.skipped[f"messages of other symbols ({upper})"] += count
            return False
        self.market.symbols.add(upper)
        return True

    def settle_snapshots(self, symbol: str | None) -> None:
        """A REST depth snapshot carries no symbol: it belongs to the book of the recording it sits
        in, told by the next depth update of the file, else by the file's only symbol."""
        waiting, self.waiting_snapshots = self.waiting_snapshots, []
        for event in waiting:
            if symbol is None:
                self.market.dropped["depth snapshots of a file with several symbols, none of whose depth "
                                    "updates follow them"] += 1
            elif self.symbol is not None and symbol.upper() != self.symbol:
                self.market.skipped[f"depth snapshots of other symbols ({symbol.upper()})"] += 1
            else:
                self.market.symbols.add(symbol.upper())
                self.market.add_book(event)

    def end_of_file(self) -> None:
        if self.waiting_snapshots:
            if not self.file_symbols:
                waiting, self.waiting_snapshots = self.waiting_snapshots, []
                for event in waiting:  # a snapshot file of its own: the caller chose it
                    self.market.add_book(event)
            else:
                only = next(iter(self.file_symbols)) if len(self.file_symbols) == 1 else None
                self.settle_snapshots(only)

    def ts(self, value: Any, name: str) -> int:
        return timestamp(value, name, self.unit)


_NUMBER = r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?"


_PLAIN_LEVELS = re.compile(rf"(?:\[{_NUMBER},{_NUMBER}\],?)*")


def book_levels(levels: Any, name: str) -> list[tuple[str, str]]:
    if not isinstance(levels, list):
        raise FieldError(f"{name} is not a list of levels")
    try:
        # The usual form, [[price text, qty text], ...], checked with one pattern for the event.
        text = ",".join(["[" + p + "," + q + "]" for p, q in levels])
        if _PLAIN_LEVELS.fullmatch(text) and text.count("[") == len(levels):
            return levels
    except (TypeError, ValueError):
        pass
    out = []
    for level in levels:
        if not isinstance(level, (list, tuple)) or len(level) < 2:
            raise FieldError(f"{name} holds a level that is not [price, qty]: {level!r}")
        out.append((number(level[0], name + " price"), number(level[1], name + " qty")))
    return out


def int_or_none(value: Any) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None
