"""Dataset-shaped records (objects with "ts" and the dataset's field names, or positional
arrays) and whole dataset documents, taken as they are so that datasets can be merged."""

from __future__ import annotations

from typing import Any

from ..schema import LISTS, RECORD_FIELDS
from .context import Context, book_levels
from .fields import FieldError, liquidated_side, number, timestamp, trade_side
from .market import BookEvent


def _enum_name(value: Any) -> str:
    if isinstance(value, dict) and len(value) == 1:
        return str(next(iter(value)))
    return str(value)


def add_record(ctx: Context, kind: str, r: dict[str, Any], ts_in_ms: bool = True) -> None:
    """One record in the dataset's own field names, of list `kind`. Its "ts" is milliseconds, as
    in a dataset, unless the caller says the time came from a column of unknown unit."""
    market = ctx.market
    ts = timestamp(r["ts"], "ts", ctx.unit or "ms") if ts_in_ms else ctx.ts(r["ts"], "ts")
    if kind == "candles":
        market.add_candle(ts, *(number(r[f], f) for f in ("open", "high", "low", "close", "volume")))
    elif kind == "trades":
        side = trade_side(_enum_name(r["side"]), "side")
        if side is None:
            market.skipped["trades without an aggressor side"] += 1
            return
        market.add_trade(ts, number(r["price"], "price"), number(r["qty"], "qty"), side)
    elif kind == "book":
        name = _enum_name(r["kind"]).lower()
        if name not in ("snapshot", "diff"):
            raise FieldError(f"kind is not snapshot or diff: {name!r}")
        market.add_book(BookEvent(ts=ts, kind=name, bids=book_levels(r["bids"], "bids"), asks=book_levels(r["asks"], "asks")))
    elif kind == "funding":
        market.add_funding(ts, number(r["rate"], "rate"))
    elif kind == "oi":
        market.add_oi(ts, number(r["oi"], "oi"))
    else:
        market.add_liquidation(ts, number(r["price"], "price"), number(r["qty"], "qty"),
                                    liquidated_side(_enum_name(r["side"]), "side"))


def record_kind(ctx: Context, r: dict[str, Any]) -> str | None:
    keys = set(r)
    if "ts" not in keys:
        return None
    if ctx.kind is not None:
        return ctx.kind
    if {"open", "high", "low", "close", "volume"} <= keys:
        return "candles"
    if {"kind", "bids", "asks"} <= keys:
        return "book"
    if "rate" in keys:
        return "funding"
    if "oi" in keys:
        return "oi"
    if {"price", "qty", "side"} <= keys:
        side = _enum_name(r["side"]).strip().lower()
        return "liquidations" if side in ("long", "short") else "trades"
    return None


def add_dataset(ctx: Context, m: dict[str, Any]) -> None:
    for kind in LISTS:
        for r in m.get(kind) or []:
            if isinstance(r, list):
                r = dict(zip(RECORD_FIELDS[kind], r))
            add_record(ctx, kind, r)
