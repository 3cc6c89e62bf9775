"""Bybit derivatives (v5 public streams, linear contracts)."""

from __future__ import annotations

import os

# ---- Live feeds (record) --------------------------------------------------------------------
# One connection carries every topic; the client sends {"op": "ping"} every 20 s. A book message
# of type "snapshot" (or a delta with u = 1, after a restart of the exchange's book service)
# replaces the book; tickers deltas omit the fields that did not change.

WS_ENV = "KORVEL_VORN_BYBIT_WS_URL"
WS_DEFAULT = "wss://stream.bybit.com/v5/public/linear"
PING_SECONDS = 20.0


def ws_url() -> str:
    return os.environ.get(WS_ENV) or WS_DEFAULT


def topics(symbol: str) -> list[str]:
    return [f"orderbook.200.{symbol}", f"publicTrade.{symbol}", f"allLiquidation.{symbol}", f"tickers.{symbol}"]


def subscribe_message(symbols: list[str]) -> dict[str, object]:
    return {"op": "subscribe", "args": [t for s in symbols for t in topics(s)]}


PING_MESSAGE = {"op": "ping"}

# Message fields.
TOPIC = "topic"
TYPE = "type"  # "snapshot" or "delta"
DATA = "data"
BOOK_UPDATE_ID = "u"
BOOK_SEQUENCE = "seq"
TRADE_ID = "i"
