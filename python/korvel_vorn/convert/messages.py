"""JSON recordings: exchange stream messages, REST responses and dataset-shaped records.

Field meanings, by source (timestamps in milliseconds unless noted):

Binance (USD-M and COIN-M futures, spot), stream messages, bare or in a combined-stream
envelope ``{"stream": ..., "data": ...}``:

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

Bybit (v5 public streams): ``publicTrade`` (``S`` is the taker's side, ``v`` qty, ``p`` price,
``T`` time); ``orderbook`` (``type`` snapshot or delta, levels ``b``/``a``, update id ``u``);
``liquidation`` and ``allLiquidation`` (Bybit's ``side`` Buy means a long position was liquidated,
Sell a short); ``tickers`` (``fundingRate`` and ``openInterest`` when present, at the message ``ts``);
``kline`` (``start``, ``open``, ``high``, ``low``, ``close``, ``volume``).

Dataset-shaped records (objects with "ts" and the dataset's field names), and whole dataset
files, are taken as they are, so datasets can be merged.
"""

from __future__ import annotations

import re
from typing import Any

from ..schema import LISTS, RECORD_FIELDS
from .fields import FieldError, flag, is_zero, liquidated_side, number, timestamp, trade_side
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


def _levels(levels: Any, name: str) -> list[tuple[str, str]]:
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


def _int_or_none(value: Any) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


# ----------------------------------------------------------------------------- Binance

def _binance_trade(ctx: Context, m: dict[str, Any], id_kind: str, id_key: str) -> None:
    if not ctx.keep(m.get("s")):
        return
    trade_type = m.get("X")
    if trade_type not in (None, "MARKET") and not ctx.market.options.keep_trade_types:
        # The insurance fund's and auto-deleveraging prints are not matched in the book.
        ctx.market.dropped[f"{trade_type} trades (not market trades; --keep-trade-types keeps them)"] += 1
        return
    side = "sell" if flag(m["m"], "m") else "buy"
    trade_id = _int_or_none(m.get(id_key))
    ctx.market.add_trade(ctx.ts(m.get("T", m.get("E")), "T"), number(m["p"], "p"), number(m["q"], "q"), side,
                         (id_kind, trade_id) if trade_id is not None else None)


def _binance_depth_update(ctx: Context, m: dict[str, Any]) -> None:
    if ctx.waiting_snapshots and isinstance(m.get("s"), str):
        ctx.settle_snapshots(m["s"])
    if not ctx.keep(m.get("s")):
        return
    ctx.market.add_book(BookEvent(
        ts=ctx.ts(m.get("T", m.get("E")), "T"), kind="diff", bids=_levels(m.get("b", []), "b"),
        asks=_levels(m.get("a", []), "a"), first_id=_int_or_none(m.get("U")), last_id=_int_or_none(m.get("u")),
        prev_id=_int_or_none(m.get("pu")),
    ))


def _snapshot(ctx: Context, m: dict[str, Any]) -> None:
    symbol = m.get("s", m.get("symbol"))
    if symbol is not None and not ctx.keep(symbol):
        return
    raw_ts = m.get("T", m.get("E", ctx.prefix_ts))
    if raw_ts is None:
        raise FieldError("the depth snapshot has no timestamp (T or E): add one, e.g. as a local "
                         "timestamp before the message on its line")
    event = BookEvent(
        ts=ctx.ts(raw_ts, "T"), kind="snapshot", bids=_levels(m["bids"], "bids"), asks=_levels(m["asks"], "asks"),
        last_id=_int_or_none(m.get("lastUpdateId")),
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


def _binance_event(ctx: Context, m: dict[str, Any]) -> bool:
    event = m.get("e")
    if event == "trade":
        _binance_trade(ctx, m, "trade", "t")
    elif event == "aggTrade":
        _binance_trade(ctx, m, "aggTrade", "a")
    elif event == "depthUpdate":
        _binance_depth_update(ctx, m)
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


# ----------------------------------------------------------------------------- Bybit

def _bybit(ctx: Context, m: dict[str, Any]) -> bool:
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
            kind = "snapshot" if m.get("type") == "snapshot" else "diff"
            ctx.market.add_book(BookEvent(
                ts=ctx.ts(m.get("cts", m.get("ts")), "ts"), kind=kind, bids=_levels(book.get("b", []), "b"),
                asks=_levels(book.get("a", []), "a"), last_id=_int_or_none(book.get("u")),
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


# ----------------------------------------------------------------------------- dataset-shaped records

_DATASET_LISTS = LISTS
_POSITIONAL = RECORD_FIELDS


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
        market.add_book(BookEvent(ts=ts, kind=name, bids=_levels(r["bids"], "bids"), asks=_levels(r["asks"], "asks")))
    elif kind == "funding":
        market.add_funding(ts, number(r["rate"], "rate"))
    elif kind == "oi":
        market.add_oi(ts, number(r["oi"], "oi"))
    else:
        market.add_liquidation(ts, number(r["price"], "price"), number(r["qty"], "qty"),
                                    liquidated_side(_enum_name(r["side"]), "side"))


def _record_kind(ctx: Context, r: dict[str, Any]) -> str | None:
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


def _dataset(ctx: Context, m: dict[str, Any]) -> None:
    for kind in _DATASET_LISTS:
        for r in m.get(kind) or []:
            if isinstance(r, list):
                r = dict(zip(_POSITIONAL[kind], r))
            add_record(ctx, kind, r)


# ----------------------------------------------------------------------------- dispatch

def _rest_item(ctx: Context, m: dict[str, Any]) -> bool:
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
        trade_id = _int_or_none(m.get("id"))
        ctx.market.add_trade(ctx.ts(m["time"], "time"), number(m["price"], "price"), number(m["qty"], "qty"), side,
                             ("trade", trade_id) if trade_id is not None else None)
    elif {"a", "p", "q", "T", "m"} <= set(m):
        _binance_trade(ctx, m, "aggTrade", "a")
    else:
        return False
    return True


def add_message(ctx: Context, m: Any) -> None:
    """Add the records of one decoded JSON message (or document) to the market."""
    if isinstance(m, list):
        if m and all(isinstance(x, list) for x in m):
            for row in m:  # REST klines: [open time, open, high, low, close, volume, ...]
                if len(row) < 6:
                    raise FieldError(f"a kline row needs 6 values or more, got {len(row)}")
                ctx.market.add_candle(ctx.ts(row[0], "open time"), *(number(v, "kline value") for v in row[1:6]))
            return
        for item in m:
            add_message(ctx, item)
        return
    if not isinstance(m, dict):
        ctx.market.skipped["values that are not messages"] += 1
        return
    if "data" in m and "stream" in m:
        add_message(ctx, m["data"])
        return
    if "result" in m and "id" in m and isinstance(m["result"], (dict, list)):
        add_message(ctx, m["result"])
        return
    if "e" in m:
        if not _binance_event(ctx, m):
            ctx.market.skipped[f"{m['e']} messages"] += 1
        return
    if "topic" in m:
        if not _bybit(ctx, m):
            ctx.market.skipped[f"{str(m['topic']).split('.', 1)[0]} messages"] += 1
        return
    if "lastUpdateId" in m and "bids" in m and "asks" in m:
        _snapshot(ctx, m)
        return
    if any(isinstance(m.get(k), list) for k in _DATASET_LISTS) and "ts" not in m:
        _dataset(ctx, m)
        return
    kind = _record_kind(ctx, m)
    if kind is not None:
        add_record(ctx, kind, m)
        return
    if _rest_item(ctx, m):
        return
    if "code" in m and "msg" in m:
        raise FieldError(f"an error response of the exchange: {m.get('msg')}")
    ctx.market.skipped["messages of unknown form"] += 1
