"""Bybit linear contracts.

Public archives: daily trade CSVs (gzip; `timestamp` in float seconds, `side` of the taker) at
``{KORVEL_VORN_BYBIT_URL}/trading/{SYMBOL}/{SYMBOL}{YYYY-MM-DD}.csv.gz``, and daily order-book files
(a zip of JSON lines: snapshot and delta messages at 100 ms) at
``{KORVEL_VORN_BYBIT_BOOK_URL}/orderbook/linear/{SYMBOL}/{YYYY-MM-DD}_{SYMBOL}_{depth}.data.zip``.
"""

from __future__ import annotations

import os
import re

from .. import url_from_env

EXCHANGE = "bybit"
TRADES_URL_ENV = "KORVEL_VORN_BYBIT_URL"
TRADES_URL = "https://public.bybit.com"
BOOK_URL_ENV = "KORVEL_VORN_BYBIT_BOOK_URL"
BOOK_URL = "https://quote-saver.bycsi.com"
BOOK_DEPTHS = ("ob500", "ob200")  # tried in this order: the first that exists is the day's book
SYMBOL_FORM = re.compile(r"[A-Z0-9]{2,30}")
SYMBOL_EXAMPLE = "BTCUSDT"

TYPE_LISTS = {"trades": "trades", "orderbook": "book"}
DEFAULT_TYPES = ("trades", "orderbook")
MAX_MEMBER_BYTES = {"trades": 8 << 30, "orderbook": 32 << 30}


def trades_url() -> str:
    return url_from_env(TRADES_URL_ENV, TRADES_URL)


def book_url() -> str:
    return url_from_env(BOOK_URL_ENV, BOOK_URL)


def trades_path(symbol: str, day: str) -> str:
    return f"/trading/{symbol}/{symbol}{day}.csv.gz"


def book_path(symbol: str, day: str, depth: str) -> str:
    return f"/orderbook/linear/{symbol}/{day}_{symbol}_{depth}.data.zip"


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
