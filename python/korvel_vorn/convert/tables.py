"""CSV recordings, recognised by their header (or, without one, by their column layout).

Layouts and field meanings:

- Binance public data files (data.binance.vision), with or without header:
  ``trades`` (id, price, qty, quote_qty, time, is_buyer_maker[, is_best_match]): the aggressor
  sold when the buyer was the maker; ``aggTrades`` (agg_trade_id, price, quantity,
  first_trade_id, last_trade_id, transact_time, is_buyer_maker[, ...]); ``klines`` (open_time,
  open, high, low, close, volume, ...; the candle's ts is its open time); ``fundingRate``
  (calc_time, funding_interval_hours, last_funding_rate); ``metrics`` (create_time, symbol,
  sum_open_interest, ...); ``liquidationSnapshot`` (time, side, ..., original_quantity, price,
  average_price, ...: side is the forced order's, so SELL liquidated a long).
- Bybit trade dumps (timestamp in seconds, symbol, side = the taker's, size, price, ...).
- Tardis-style CSV: ``trades`` and ``liquidations`` (exchange, symbol, timestamp, local_timestamp,
  id, side, price, amount; timestamps in microseconds; a liquidation's side is the forced order's:
  sell liquidated a long), ``incremental_book_L2`` (timestamp, is_snapshot, side bid/ask, price,
  amount; amount 0 removes; consecutive rows of one timestamp form one event),
  ``book_snapshot_N`` (asks[0].price, asks[0].amount, bids[0].price, ...) and
  ``derivative_ticker`` (funding_rate, open_interest: a record whenever the value changes).
- Generic tables with a header naming the dataset's fields (ts or timestamp or time, then price,
  qty, side, rate, oi, open, high, low, close, volume, ...): each row becomes one record.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

from .fields import FieldError, flag, is_zero, liquidated_side, number, trade_side
from .market import BookEvent
from .messages import Context, add_record

Row = list[str]

_SYNONYMS = {
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


def _is_boolish(cell: str) -> bool:
    return cell.strip().lower() in ("true", "false")


def has_header(first: Row) -> bool:
    """A first row with a cell that is neither a number, a boolean nor a date is a header."""
    return any(not (_is_numberish(c) or _is_boolish(c) or re.match(r"\s*\d{4}-\d\d-\d\d", c) or not c.strip())
               for c in first)


class Table:
    """Column access by name for the rows of one CSV file."""

    def __init__(self, header: Row) -> None:
        self.names = [h.strip().lower() for h in header]
        self.index = {n: i for i, n in enumerate(self.names)}

    def has(self, *names: str) -> bool:
        return all(n in self.index for n in names)

    def find(self, field: str) -> int | None:
        for name in _SYNONYMS.get(field, (field,)):
            if name in self.index:
                return self.index[name]
        return None


def _cell(row: Row, i: int | None, name: str) -> str:
    if i is None or i >= len(row):
        raise FieldError(f"the row has no {name} column")
    return row[i]


def _tardis_book(ctx: Context, table: Table, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
    ts_i, snap_i, side_i = table.index["timestamp"], table.index["is_snapshot"], table.index["side"]
    price_i, amount_i = table.index["price"], table.index["amount"]
    sym_i = table.index.get("symbol")
    event: BookEvent | None = None
    key: tuple[int, bool] | None = None
    for line, row in rows:
        yield line
        if sym_i is not None and not ctx.keep(row[sym_i]):
            continue
        ts = ctx.ts(row[ts_i], "timestamp")
        snapshot = flag(row[snap_i], "is_snapshot")
        # A snapshot continues over rows of its timestamp; a diff event is one timestamp's rows.
        if event is None or key != (ts, snapshot) or (snapshot and event.kind != "snapshot"):
            if event is not None:
                ctx.market.add_book(event)
            event = BookEvent(ts=ts, kind="snapshot" if snapshot else "diff", bids=[], asks=[])
            key = (ts, snapshot)
        level = (number(row[price_i], "price"), number(row[amount_i], "amount"))
        side = row[side_i].strip().lower()
        if side in ("bid", "buy"):
            event.bids.append(level)
        elif side in ("ask", "sell"):
            event.asks.append(level)
        else:
            raise FieldError(f"side is not bid or ask: {row[side_i]!r}")
    if event is not None:
        ctx.market.add_book(event)


def _tardis_snapshots(ctx: Context, table: Table, row: Row) -> None:
    if "symbol" in table.index and not ctx.keep(row[table.index["symbol"]]):
        return
    sides: dict[str, list[tuple[str, str]]] = {"bids": [], "asks": []}
    for side in sides:
        depth = 0
        while f"{side}[{depth}].price" in table.index:
            p = row[table.index[f"{side}[{depth}].price"]].strip()
            q = row[table.index[f"{side}[{depth}].amount"]].strip()
            if p and q:
                sides[side].append((number(p, "price"), number(q, "amount")))
            depth += 1
    ctx.market.add_book(BookEvent(ts=ctx.ts(row[table.index["timestamp"]], "timestamp"), kind="snapshot",
                                     bids=sides["bids"], asks=sides["asks"]))


def _headerless_layout(row: Row) -> str:
    n = len(row)
    flags = [_is_boolish(c) for c in row]
    if n == 6 and flags[5]:
        return "binance_trades"
    if n == 7 and flags[5] and flags[6]:
        return "binance_trades"
    if n == 7 and flags[6]:
        return "binance_agg_trades"
    if n == 8 and flags[6]:
        return "binance_agg_trades"
    if n == 12 and not any(flags):
        return "binance_klines"
    raise FieldError(f"a CSV without header whose layout ({n} columns) is not a known recording; "
                     "add a header naming the columns (ts, price, qty, side, ...)")


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


def _tardis_trades_or_liquidations(ctx: Context) -> str:
    """Tardis writes trades and liquidations with the same header: the kind forced, else the file
    name, tells them apart."""
    if ctx.kind in ("trades", "liquidations"):
        return "tardis_" + ctx.kind
    name = ctx.name.rsplit("/", 1)[-1].lower()
    if "liquidation" in name:
        return "tardis_liquidations"
    if "trade" in name:
        return "tardis_trades"
    raise FieldError("the columns (exchange, symbol, timestamp, id, side, price, amount) are those of Tardis "
                     "trades and of Tardis liquidations alike, and the file name tells neither: give the file "
                     "with --trades or --liquidations")


def detect_layout(ctx: Context, first: Row) -> tuple[str, Table | None]:
    """The layout of a CSV from its first row (its header, if it has one)."""
    if not has_header(first):
        layout, table = _headerless_layout(first), None
    else:
        table = Table(first)
        if table.has("timestamp", "is_snapshot", "side", "price", "amount"):
            layout = "tardis_book"
        elif table.has("timestamp", "asks[0].price"):
            layout = "tardis_snapshots"
        elif table.has("timestamp", "funding_rate", "open_interest"):
            layout = "tardis_ticker"
        elif table.has("exchange", "symbol", "timestamp", "side", "price", "amount"):
            layout = _tardis_trades_or_liquidations(ctx)
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
        yield from _tardis_book(ctx, table, rows)
    elif layout == "tardis_snapshots":
        for line, row in rows:
            yield line
            _tardis_snapshots(ctx, table, row)
    elif layout == "tardis_ticker":
        yield from _tardis_ticker(ctx, table, rows)
    else:
        yield from _layout_rows(ctx, layout, table, rows)


def _chain(first: tuple[int, Row], rest: Iterator[tuple[int, Row]]) -> Iterator[tuple[int, Row]]:
    yield first
    yield from rest


def _tardis_ticker(ctx: Context, table: Table, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
    last_rate: str | None = None
    last_oi: str | None = None
    ts_i, rate_i, oi_i = table.index["timestamp"], table.index["funding_rate"], table.index["open_interest"]
    sym_i = table.index.get("symbol")
    for line, row in rows:
        yield line
        if sym_i is not None and not ctx.keep(row[sym_i]):
            continue
        ts = ctx.ts(row[ts_i], "timestamp")
        rate, oi = row[rate_i].strip(), row[oi_i].strip()
        if rate and rate != last_rate:
            ctx.market.add_funding(ts, number(rate, "funding_rate"))
            last_rate = rate
        if oi and oi != last_oi:
            ctx.market.add_oi(ts, number(oi, "open_interest"))
            last_oi = oi


_FIXED = {
    # layout: (ts, price, qty, is_buyer_maker) column positions without header
    "binance_trades": (4, 1, 2, 5),
    "binance_agg_trades": (5, 1, 2, 6),
}


def _layout_rows(ctx: Context, layout: str, table: Table | None, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
    market = ctx.market

    def col(name: str) -> int | None:
        return table.index.get(name) if table is not None else None

    for line, row in rows:
        yield line
        if layout in _FIXED:
            fixed: tuple[int | None, ...] = _FIXED[layout]
            ts_i, p_i, q_i, m_i = fixed
            if table is not None:
                ts_i = col("time") if layout == "binance_trades" else col("transact_time")
                q_i = col("qty") if layout == "binance_trades" else col("quantity")
                p_i, m_i = col("price"), col("is_buyer_maker")
            side = "sell" if flag(_cell(row, m_i, "is_buyer_maker"), "is_buyer_maker") else "buy"
            id_i = (col("id") if layout == "binance_trades" else col("agg_trade_id")) if table is not None else 0
            raw_id = _cell(row, id_i, "id").strip() if id_i is not None else ""
            trade_id = ("trade" if layout == "binance_trades" else "aggTrade", int(raw_id)) if raw_id.isdigit() else None
            market.add_trade(ctx.ts(_cell(row, ts_i, "time"), "time"), number(_cell(row, p_i, "price"), "price"),
                             number(_cell(row, q_i, "qty"), "qty"), side, trade_id)
        elif layout == "binance_klines":
            names = ("open_time", "open", "high", "low", "close", "volume")
            idx: list[int | None] = [0, 1, 2, 3, 4, 5] if table is None else [col(n) for n in names]
            market.add_candle(ctx.ts(_cell(row, idx[0], "open_time"), "open_time"),
                              *(number(_cell(row, i, "value"), "value") for i in idx[1:]))
        elif layout == "binance_funding":
            market.add_funding(ctx.ts(_cell(row, col("calc_time"), "calc_time"), "calc_time"),
                                   number(_cell(row, col("last_funding_rate"), "rate"), "last_funding_rate"))
        elif layout == "binance_metrics":
            symbol_i = col("symbol")
            if symbol_i is not None and not ctx.keep(row[symbol_i]):
                continue
            market.add_oi(ctx.ts(_cell(row, col("create_time"), "create_time"), "create_time"),
                              number(_cell(row, col("sum_open_interest"), "oi"), "sum_open_interest"))
        elif layout == "binance_liquidations":
            avg = col("average_price")
            price = row[avg] if avg is not None and avg < len(row) and row[avg].strip() and not is_zero(row[avg]) \
                else _cell(row, col("price"), "price")
            filled = col("accumulated_fill_quantity")
            qty = row[filled] if filled is not None and filled < len(row) and row[filled].strip() and not is_zero(row[filled]) \
                else _cell(row, col("original_quantity"), "original_quantity")
            market.add_liquidation(ctx.ts(_cell(row, col("time"), "time"), "time"), number(price, "price"),
                                        number(qty, "qty"), liquidated_side(_cell(row, col("side"), "side"), "side"))
        elif layout in ("tardis_trades", "tardis_liquidations", "bybit_trades"):
            if not ctx.keep(_cell(row, col("symbol"), "symbol")):
                continue
            ts_name = "timestamp"
            qty_name = "size" if layout == "bybit_trades" else "amount"
            ts = ctx.ts(_cell(row, col(ts_name), ts_name), ts_name)
            price = number(_cell(row, col("price"), "price"), "price")
            qty = number(_cell(row, col(qty_name), qty_name), qty_name)
            raw_side = _cell(row, col("side"), "side")
            if layout == "tardis_liquidations":
                market.add_liquidation(ts, price, qty, liquidated_side(raw_side, "side"))
            else:
                aggressor = trade_side(raw_side, "side")
                if aggressor is None:
                    market.skipped["trades without an aggressor side"] += 1
                    continue
                market.add_trade(ts, price, qty, aggressor)
        else:
            _generic_row(ctx, table, row)


def _generic_row(ctx: Context, table: Table | None, row: Row) -> None:
    assert table is not None
    values: dict[str, Any] = {}
    for field in _SYNONYMS:
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
