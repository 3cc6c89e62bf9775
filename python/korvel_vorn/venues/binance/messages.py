"""Binance JSON recordings: stream messages and REST responses.

USD-M and COIN-M futures and spot, timestamps in milliseconds. Stream messages come bare or in a
combined-stream envelope ``{"stream": ..., "data": ...}``:

- ``trade`` / ``aggTrade``: ts ``T`` (match time), price ``p``, qty ``q``; ``m`` is "buyer is the
  maker", so ``m`` true means the aggressor sold (side "sell") and false that it bought ("buy").
- ``depthUpdate``: a "diff" at ``T`` (spot: ``E``), levels ``b``/``a`` as sent (qty 0 removes the
  price); update ids ``U``/``u``/``pu`` order the diffs against snapshots.
- REST depth snapshot (``lastUpdateId``, ``bids``, ``asks``): a "snapshot" at ``T``, else ``E``,
  else the local timestamp written before the message on its line.
- ``markPriceUpdate``: funding rate ``r`` at ``E`` (the current estimate for the next settlement).
- ``forceOrder``: a liquidation at ``o.T``; ``o.S`` is the forced order's side, so SELL liquidated
  a long and BUY a short; price is the average fill price ``o.ap`` (else ``o.p``), qty the filled
  quantity ``o.z`` (else ``o.q``).
- ``kline``: a candle at its open time ``k.t`` from ``k.o/h/l/c/v``; the last update of an open
  time wins, so a stream of forming candles ends with each closed candle.
- REST lists: klines (arrays), ``fundingRate`` history (``fundingTime``, ``fundingRate``), open
  interest (``openInterest`` at ``time``; history ``sumOpenInterest`` at ``timestamp``), trades
  (``isBuyerMaker`` as ``m``) and aggregate trades.
"""

from __future__ import annotations

from typing import Any

from ...convert.context import Context, book_levels, int_or_none
from ...convert.fields import FieldError, flag, is_zero, liquidated_side, number
from ...convert.market import BookEvent


def binance_trade(ctx: Context, m: dict[str, Any], id_kind: str, id_key: str) -> None:
    if not ctx.keep(m.get("s")):
        return
    trade_type = m.get("X")
    if trade_type not in (None, "MARKET") and not ctx.market.options.keep_trade_types:
        # The insurance fund's and auto-deleveraging prints are not matched in the book.
        ctx.market.dropped[f"{trade_type} trades (not market trades; --keep-trade-types keeps them)"] += 1
        return
    side = "sell" if flag(m["m"], "m") else "buy"
    trade_id = int_or_none(m.get(id_key))
    ctx.market.add_trade(ctx.ts(m.get("T", m.get("E")), "T"), number(m["p"], "p"), number(m["q"], "q"), side,
                         (id_kind, trade_id) if trade_id is not None else None)


def _depth_update(ctx: Context, m: dict[str, Any]) -> None:
    if ctx.waiting_snapshots and isinstance(m.get("s"), str):
        ctx.settle_snapshots(m["s"])
    if not ctx.keep(m.get("s")):
        return
    ctx.market.add_book(BookEvent(
        ts=ctx.ts(m.get("T", m.get("E")), "T"), kind="diff", bids=book_levels(m.get("b", []), "b"),
        asks=book_levels(m.get("a", []), "a"), first_id=int_or_none(m.get("U")), last_id=int_or_none(m.get("u")),
        prev_id=int_or_none(m.get("pu")),
    ))


def depth_snapshot(ctx: Context, m: dict[str, Any]) -> None:
    symbol = m.get("s", m.get("symbol"))
    if symbol is not None and not ctx.keep(symbol):
        return
    raw_ts = m.get("T", m.get("E", ctx.prefix_ts))
    if raw_ts is None:
        raise FieldError("the depth snapshot has no timestamp (T or E): add one, e.g. as a local "
                         "timestamp before the message on its line")
    event = BookEvent(
        ts=ctx.ts(raw_ts, "T"), kind="snapshot", bids=book_levels(m["bids"], "bids"), asks=book_levels(m["asks"], "asks"),
        last_id=int_or_none(m.get("lastUpdateId")),
    )
    if symbol is None:
        ctx.waiting_snapshots.append(event)
    else:
        ctx.market.add_book(event)


def _force_order(ctx: Context, m: dict[str, Any]) -> None:
    o = m.get("o")
    if not isinstance(o, dict):
        raise FieldError("forceOrder without its order object 'o'")
    if not ctx.keep(o.get("s")):
        return
    price = o.get("ap") if o.get("ap") is not None and not is_zero(str(o.get("ap"))) else o.get("p")
    qty = o.get("z") if o.get("z") is not None and not is_zero(str(o.get("z"))) else o.get("q")
    ctx.market.add_liquidation(ctx.ts(o.get("T", m.get("E")), "o.T"), number(price, "o.ap"),
                                    number(qty, "o.z"), liquidated_side(o["S"], "o.S"))


def binance_event(ctx: Context, m: dict[str, Any]) -> bool:
    event = m.get("e")
    if event == "trade":
        binance_trade(ctx, m, "trade", "t")
    elif event == "aggTrade":
        binance_trade(ctx, m, "aggTrade", "a")
    elif event == "depthUpdate":
        _depth_update(ctx, m)
    elif event == "markPriceUpdate":
        if m.get("r") in (None, ""):
            ctx.market.skipped["markPriceUpdate messages without a funding rate"] += 1
        elif ctx.keep(m.get("s")):
            ctx.market.add_funding(ctx.ts(m["E"], "E"), number(m["r"], "r"))
    elif event == "forceOrder":
        _force_order(ctx, m)
    elif event in ("kline", "continuous_kline"):
        k = m.get("k")
        if not isinstance(k, dict):
            raise FieldError("kline without its candle object 'k'")
        if ctx.keep(m.get("s", m.get("ps"))):
            ctx.market.add_candle(ctx.ts(k["t"], "k.t"), number(k["o"], "k.o"), number(k["h"], "k.h"),
                                  number(k["l"], "k.l"), number(k["c"], "k.c"), number(k["v"], "k.v"))
    else:
        return False
    return True


def binance_rest_item(ctx: Context, m: dict[str, Any]) -> bool:
    if "fundingTime" in m and "fundingRate" in m:
        if ctx.keep(m.get("symbol")):
            ctx.market.add_funding(ctx.ts(m["fundingTime"], "fundingTime"), number(m["fundingRate"], "fundingRate"))
    elif "openInterest" in m and "time" in m:
        if ctx.keep(m.get("symbol")):
            ctx.market.add_oi(ctx.ts(m["time"], "time"), number(m["openInterest"], "openInterest"))
    elif "sumOpenInterest" in m and "timestamp" in m:
        if ctx.keep(m.get("symbol", m.get("pair"))):
            ctx.market.add_oi(ctx.ts(m["timestamp"], "timestamp"), number(m["sumOpenInterest"], "sumOpenInterest"))
    elif {"price", "qty", "time", "isBuyerMaker"} <= set(m):
        side = "sell" if flag(m["isBuyerMaker"], "isBuyerMaker") else "buy"
        trade_id = int_or_none(m.get("id"))
        ctx.market.add_trade(ctx.ts(m["time"], "time"), number(m["price"], "price"), number(m["qty"], "qty"), side,
                             ("trade", trade_id) if trade_id is not None else None)
    elif {"a", "p", "q", "T", "m"} <= set(m):
        binance_trade(ctx, m, "aggTrade", "a")
    else:
        return False
    return True
