"""Binance CSV recordings.

- Binance public data files (data.binance.vision), with or without header:
  ``trades`` (id, price, qty, quote_qty, time, is_buyer_maker[, is_best_match]): the aggressor
  sold when the buyer was the maker; ``aggTrades`` (agg_trade_id, price, quantity,
  first_trade_id, last_trade_id, transact_time, is_buyer_maker[, ...]); ``klines`` (open_time,
  open, high, low, close, volume, ...; the candle's ts is its open time); ``fundingRate``
  (calc_time, funding_interval_hours, last_funding_rate); ``metrics`` (create_time, symbol,
  sum_open_interest, ...); ``liquidationSnapshot`` (time, side, ..., original_quantity, price,
  average_price, ...: side is the forced order's, so SELL liquidated a long).
"""

from __future__ import annotations

from collections.abc import Iterator

from ...convert.context import Context
from ...convert.csv_table import Row, Table, cell, column_finder, is_boolish
from ...convert.fields import FieldError, flag, is_zero, liquidated_side, number
from . import archive as binance

# layout: (ts, price, qty, is_buyer_maker) column positions without header
_FIXED = {layout: tuple(binance.TRADE_POSITIONS[data_type][key] for key in ("ts", "price", "qty", "maker"))
          for layout, data_type in (("binance_trades", "trades"), ("binance_agg_trades", "aggTrades"))}


def headerless_layout(row: Row) -> str:
    n = len(row)
    flags = [is_boolish(c) for c in row]
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


def binance_rows(ctx: Context, layout: str, table: Table | None, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
    """The rows of a Binance public data file; yields each row's line number before reading it."""
    market = ctx.market
    col = column_finder(table)

    for line, row in rows:
        yield line
        if layout in _FIXED:
            fixed: tuple[int | None, ...] = _FIXED[layout]
            ts_i, p_i, q_i, m_i = fixed
            if table is not None:
                ts_i = col("time") if layout == "binance_trades" else col("transact_time")
                q_i = col("qty") if layout == "binance_trades" else col("quantity")
                p_i, m_i = col("price"), col("is_buyer_maker")
            side = "sell" if flag(cell(row, m_i, "is_buyer_maker"), "is_buyer_maker") else "buy"
            id_i = (col("id") if layout == "binance_trades" else col("agg_trade_id")) if table is not None else 0
            raw_id = cell(row, id_i, "id").strip() if id_i is not None else ""
            trade_id = ("trade" if layout == "binance_trades" else "aggTrade", int(raw_id)) if raw_id.isdigit() else None
            market.add_trade(ctx.ts(cell(row, ts_i, "time"), "time"), number(cell(row, p_i, "price"), "price"),
                             number(cell(row, q_i, "qty"), "qty"), side, trade_id)
        elif layout == "binance_klines":
            names = ("open_time", "open", "high", "low", "close", "volume")
            idx: list[int | None] = [0, 1, 2, 3, 4, 5] if table is None else [col(n) for n in names]
            market.add_candle(ctx.ts(cell(row, idx[0], "open_time"), "open_time"),
                              *(number(cell(row, i, "value"), "value") for i in idx[1:]))
        elif layout == "binance_funding":
            market.add_funding(ctx.ts(cell(row, col("calc_time"), "calc_time"), "calc_time"),
                                   number(cell(row, col("last_funding_rate"), "rate"), "last_funding_rate"))
        elif layout == "binance_metrics":
            symbol_i = col("symbol")
            if symbol_i is not None and not ctx.keep(row[symbol_i]):
                continue
            market.add_oi(ctx.ts(cell(row, col("create_time"), "create_time"), "create_time"),
                              number(cell(row, col("sum_open_interest"), "oi"), "sum_open_interest"))
        elif layout == "binance_liquidations":
            avg = col("average_price")
            price = row[avg] if avg is not None and avg < len(row) and row[avg].strip() and not is_zero(row[avg]) \
                else cell(row, col("price"), "price")
            filled = col("accumulated_fill_quantity")
            qty = row[filled] if filled is not None and filled < len(row) and row[filled].strip() and not is_zero(row[filled]) \
                else cell(row, col("original_quantity"), "original_quantity")
            market.add_liquidation(ctx.ts(cell(row, col("time"), "time"), "time"), number(price, "price"),
                                        number(qty, "qty"), liquidated_side(cell(row, col("side"), "side"), "side"))
