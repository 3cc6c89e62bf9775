"""CSV recordings, recognised by their header (or, without one, by their column layout).

Each venue has its table module (`venues.binance.tables`, `venues.tardis.tables`); this one tells the layouts apart
and reads the generic form:

- Generic tables with a header naming the dataset's fields (ts or timestamp or time, then price,
  qty, side, rate, oi, open, high, low, close, volume, ...): each row becomes one record.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

# Modules, not names: a venue's parser imports convert's shared helpers, so either side may be
# imported first.
from ..venues.binance import tables as binance_tables
from ..venues.tardis import tables as tardis_tables
from .context import Context
from .csv_table import SYNONYMS, Row, Table, has_header
from .dataset_records import add_record
from .fields import FieldError, flag

__all__ = ["LAYOUT_LISTS", "LAYOUT_NAMES", "Row", "add_table", "detect_layout", "has_header"]

# The list each recognised layout fills (the Tardis ticker fills two, the generic table any).
LAYOUT_LISTS = {
    "binance_trades": "trades", "binance_agg_trades": "trades", "bybit_trades": "trades",
    "tardis_trades": "trades", "tardis_liquidations": "liquidations", "binance_liquidations": "liquidations",
    "binance_klines": "candles", "binance_funding": "funding", "binance_metrics": "oi",
    "tardis_book": "book", "tardis_snapshots": "book",
}


LAYOUT_NAMES = {
    "binance_trades": "Binance trades CSV", "binance_agg_trades": "Binance aggTrades CSV",
    "bybit_trades": "Bybit trades CSV", "tardis_trades": "Tardis trades CSV",
    "tardis_liquidations": "Tardis liquidations CSV", "binance_liquidations": "Binance liquidationSnapshot CSV",
    "binance_klines": "Binance klines CSV", "binance_funding": "Binance fundingRate CSV",
    "binance_metrics": "Binance metrics CSV", "tardis_book": "Tardis incremental_book_L2 CSV",
    "tardis_snapshots": "Tardis book snapshot CSV", "tardis_ticker": "Tardis derivative_ticker CSV",
    "generic": "CSV table",
}


def detect_layout(ctx: Context, first: Row) -> tuple[str, Table | None]:
    """The layout of a CSV from its first row (its header, if it has one)."""
    if not has_header(first):
        layout, table = binance_tables.headerless_layout(first), None
    else:
        table = Table(first)
        if table.has("timestamp", "is_snapshot", "side", "price", "amount"):
            layout = "tardis_book"
        elif table.has("timestamp", "asks[0].price"):
            layout = "tardis_snapshots"
        elif table.has("timestamp", "funding_rate", "open_interest"):
            layout = "tardis_ticker"
        elif table.has("exchange", "symbol", "timestamp", "side", "price", "amount"):
            layout = tardis_tables.tardis_trades_or_liquidations(ctx)
        elif table.has("id", "price", "qty", "time", "is_buyer_maker"):
            layout = "binance_trades"
        elif table.has("agg_trade_id", "price", "quantity", "transact_time", "is_buyer_maker"):
            layout = "binance_agg_trades"
        elif table.has("open_time", "open", "high", "low", "close", "volume"):
            layout = "binance_klines"
        elif table.has("calc_time", "last_funding_rate"):
            layout = "binance_funding"
        elif table.has("create_time", "sum_open_interest"):
            layout = "binance_metrics"
        elif table.has("time", "side", "price", "original_quantity"):
            layout = "binance_liquidations"
        elif table.has("timestamp", "symbol", "side", "size", "price"):
            layout = "bybit_trades"
        else:
            layout = "generic"
    fills = LAYOUT_LISTS.get(layout)
    if ctx.kind is not None and fills is not None and fills != ctx.kind:
        raise FieldError(f"this is a {LAYOUT_NAMES[layout]}, which holds {fills}, not {ctx.kind}")
    return layout, table


def add_table(ctx: Context, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
    """Read a CSV's rows into the market; yields each row's line number before reading it, so the
    caller can name the line of a failure."""
    first = next(rows, None)
    if first is None:
        return
    line, head = first
    yield line
    layout, table = detect_layout(ctx, head)
    ctx.form = LAYOUT_NAMES[layout]
    if table is None:
        yield from _layout_rows(ctx, layout, None, _chain(first, rows))
    elif layout == "tardis_book":
        yield from tardis_tables.tardis_book(ctx, table, rows)
    elif layout == "tardis_snapshots":
        for line, row in rows:
            yield line
            tardis_tables.tardis_snapshot(ctx, table, row)
    elif layout == "tardis_ticker":
        yield from tardis_tables.tardis_ticker(ctx, table, rows)
    else:
        yield from _layout_rows(ctx, layout, table, rows)


def _chain(first: tuple[int, Row], rest: Iterator[tuple[int, Row]]) -> Iterator[tuple[int, Row]]:
    yield first
    yield from rest


def _layout_rows(ctx: Context, layout: str, table: Table | None, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
    if layout.startswith("binance_"):
        yield from binance_tables.binance_rows(ctx, layout, table, rows)
    elif layout in tardis_tables.TRADE_DUMP_LAYOUTS:
        yield from tardis_tables.trade_dump_rows(ctx, layout, table, rows)
    else:
        for line, row in rows:
            yield line
            _generic_row(ctx, table, row)


def _generic_row(ctx: Context, table: Table | None, row: Row) -> None:
    assert table is not None
    values: dict[str, Any] = {}
    for field in SYNONYMS:
        i = table.find(field)
        if i is not None and i < len(row):
            values[field] = row[i]
    if "symbol" in table.index and not ctx.keep(row[table.index["symbol"]]):
        return
    if "ts" not in values:
        raise FieldError(f"no time column among {', '.join(table.names)} (name one ts or timestamp)")
    kind = ctx.kind
    if kind is None:
        if {"open", "high", "low", "close"} <= set(values):
            kind = "candles"
        elif "rate" in values:
            kind = "funding"
        elif "oi" in values:
            kind = "oi"
        elif {"price", "qty"} <= set(values) and ("side" in values or "is_buyer_maker" in values):
            side = str(values.get("side", "")).strip().lower()
            kind = "liquidations" if side in ("long", "short") else "trades"
        else:
            raise FieldError(f"cannot tell what the columns {', '.join(table.names)} hold: "
                             "name them after the dataset fields or force a kind (--trades, --funding, ...)")
    if kind == "trades" and "side" not in values and "is_buyer_maker" in values:
        values["side"] = "sell" if flag(values["is_buyer_maker"], "is_buyer_maker") else "buy"
    if kind == "candles" and "volume" not in values:
        raise FieldError("a candle row needs a volume column")
    try:
        add_record(ctx, kind, values, ts_in_ms=table.names[table.find("ts")] == "ts")  # type: ignore[index]
    except KeyError as missing:
        raise FieldError(f"a {kind} row needs a {missing.args[0]} column") from None
