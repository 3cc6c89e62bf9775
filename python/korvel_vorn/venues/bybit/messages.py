"""Bybit JSON recordings.

Bybit (v5 public streams): ``publicTrade`` (``S`` is the taker's side, ``v`` qty, ``p`` price,
``T`` time); ``orderbook`` (``type`` snapshot or delta, levels ``b``/``a``, update id ``u``; a
message with ``u`` = 1 is the whole book after a restart of the exchange's book service, so it is
a snapshot, and the ids that follow start again: they are ordered after every earlier one);
``liquidation`` and ``allLiquidation`` (Bybit's ``side`` Buy means a long position was liquidated,
Sell a short); ``tickers`` (``fundingRate`` and ``openInterest`` when present, at the message ``ts``);
``kline`` (``start``, ``open``, ``high``, ``low``, ``close``, ``volume``).
"""

from __future__ import annotations

from typing import Any

from ...convert.context import Context, book_levels, int_or_none
from ...convert.fields import FieldError, number, trade_side
from ...convert.market import BookEvent

_EPOCH_SHIFT = 40  # update ids after the n-th restart of the book service are offset by n << 40


def bybit_message(ctx: Context, m: dict[str, Any]) -> bool:
    topic = str(m.get("topic", ""))
    head = topic.split(".", 1)[0]
    data = m.get("data")
    items: list[Any] = data if isinstance(data, list) else [data]
    if head == "publicTrade":
        for d in items:
            if ctx.keep(d.get("s")):
                side = trade_side(d["S"], "S")
                if side is None:
                    ctx.market.skipped["trades without an aggressor side"] += 1
                    continue
                ctx.market.add_trade(ctx.ts(d["T"], "T"), number(d["p"], "p"), number(d["v"], "v"), side)
    elif head == "orderbook":
        book: dict[str, Any] = data if isinstance(data, dict) else {}
        if ctx.keep(book.get("s")):
            update = int_or_none(book.get("u"))
            kind = "snapshot" if m.get("type") == "snapshot" or update == 1 else "diff"
            if update == 1:
                ctx.market.book_epoch += 1
            ctx.market.add_book(BookEvent(
                ts=ctx.ts(m.get("cts", m.get("ts")), "ts"), kind=kind, bids=book_levels(book.get("b", []), "b"),
                asks=book_levels(book.get("a", []), "a"),
                last_id=None if update is None else (ctx.market.book_epoch << _EPOCH_SHIFT) + update,
            ))
    elif head in ("liquidation", "allLiquidation"):
        for d in items:
            if not ctx.keep(d.get("symbol", d.get("s"))):
                continue
            side = str(d.get("side", d.get("S", ""))).strip().lower()
            if side not in ("buy", "sell"):
                raise FieldError(f"side is not Buy or Sell: {side!r}")
            ctx.market.add_liquidation(
                ctx.ts(d.get("updatedTime", d.get("T")), "updatedTime"), number(d.get("price", d.get("p")), "price"),
                number(d.get("size", d.get("v")), "size"), "long" if side == "buy" else "short",
            )
    elif head == "tickers":
        ticker: dict[str, Any] = data if isinstance(data, dict) else {}
        if ctx.keep(ticker.get("symbol")):
            ts = ctx.ts(m.get("ts"), "ts")
            if ticker.get("fundingRate") not in (None, ""):
                ctx.market.add_funding(ts, number(ticker["fundingRate"], "fundingRate"))
            if ticker.get("openInterest") not in (None, ""):
                ctx.market.add_oi(ts, number(ticker["openInterest"], "openInterest"))
    elif head == "kline":
        parts = topic.split(".")
        if ctx.keep(parts[-1] if len(parts) > 2 else None):
            for d in items:
                ctx.market.add_candle(ctx.ts(d["start"], "start"), number(d["open"], "open"),
                                      number(d["high"], "high"), number(d["low"], "low"),
                                      number(d["close"], "close"), number(d["volume"], "volume"))
    else:
        return False
    return True
