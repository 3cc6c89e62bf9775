"""Tardis-style CSV recordings (and Bybit's trade dumps, which share their form).

- Bybit trade dumps (timestamp in seconds, symbol, side = the taker's, size, price, ...).
- Tardis-style CSV: ``trades`` and ``liquidations`` (exchange, symbol, timestamp, local_timestamp,
  id, side, price, amount; timestamps in microseconds; a liquidation's side is the forced order's:
  sell liquidated a long), ``incremental_book_L2`` (timestamp, is_snapshot, side bid/ask, price,
  amount; amount 0 removes; consecutive rows of one timestamp form one event),
  ``book_snapshot_N`` (asks[0].price, asks[0].amount, bids[0].price, ...) and
  ``derivative_ticker`` (funding_rate, open_interest: a record whenever the value changes).
"""

from __future__ import annotations

from collections.abc import Iterator

from ...convert.context import Context
from ...convert.csv_table import Row, Table, cell, column_finder
from ...convert.fields import FieldError, flag, liquidated_side, number, trade_side
from ...convert.market import BookEvent

# The layouts whose rows are one trade or liquidation each.
TRADE_DUMP_LAYOUTS = ("tardis_trades", "tardis_liquidations", "bybit_trades")


def tardis_trades_or_liquidations(ctx: Context) -> str:
    """Tardis writes trades and liquidations with the same header: the kind forced, else the file
    name, tells them apart."""
    if ctx.kind in ("trades", "liquidations"):
        return "tardis_" + ctx.kind
    name = ctx.name.replace("\\", "/").rsplit("/", 1)[-1].lower()  # a Windows path or an archive member
    if "liquidation" in name:
        return "tardis_liquidations"
    if "trade" in name:
        return "tardis_trades"
    raise FieldError("the columns (exchange, symbol, timestamp, id, side, price, amount) are those of Tardis "
                     "trades and of Tardis liquidations alike, and the file name tells neither: give the file "
                     "with --trades or --liquidations")


def tardis_book(ctx: Context, table: Table, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
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


def tardis_snapshot(ctx: Context, table: Table, row: Row) -> None:
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


def tardis_ticker(ctx: Context, table: Table, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
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


def trade_dump_rows(ctx: Context, layout: str, table: Table | None, rows: Iterator[tuple[int, Row]]) -> Iterator[int]:
    """The rows of a Tardis trades or liquidations file, or of a Bybit trade dump."""
    market = ctx.market
    col = column_finder(table)

    for line, row in rows:
        yield line
        if not ctx.keep(cell(row, col("symbol"), "symbol")):
            continue
        ts_name = "timestamp"
        qty_name = "size" if layout == "bybit_trades" else "amount"
        ts = ctx.ts(cell(row, col(ts_name), ts_name), ts_name)
        price = number(cell(row, col("price"), "price"), "price")
        qty = number(cell(row, col(qty_name), qty_name), qty_name)
        raw_side = cell(row, col("side"), "side")
        if layout == "tardis_liquidations":
            market.add_liquidation(ts, price, qty, liquidated_side(raw_side, "side"))
        else:
            aggressor = trade_side(raw_side, "side")
            if aggressor is None:
                market.skipped["trades without an aggressor side"] += 1
                continue
            market.add_trade(ts, price, qty, aggressor)
