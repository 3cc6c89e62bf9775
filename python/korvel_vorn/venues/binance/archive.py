"""Binance USD-M and COIN-M futures.

Public archive (data.binance.vision): daily and monthly zip files, each with a `.zip.CHECKSUM`
(a `sha256sum` line, often without a final newline), under
``/data/futures/{um|cm}/{daily|monthly}/{type}/{SYMBOL}/[{interval}/]{SYMBOL}-{type|interval}-{period}.zip``.
Each zip holds one CSV named as the zip; its layouts are read by `venues.binance.tables`.
"""

from __future__ import annotations

import re

from .. import url_from_env

ARCHIVE_URL_ENV = "KORVEL_VORN_BINANCE_URL"
ARCHIVE_URL = "https://data.binance.vision"
CHECKSUM_SUFFIX = ".CHECKSUM"

# Source name -> the archive's market folder.
MARKETS = {"binance-um": "um", "binance-cm": "cm"}
# Symbol forms: USD-M "BTCUSDT"; COIN-M "BTCUSD_PERP" or a delivery "BTCUSD_240628".
SYMBOL_FORMS = {"um": re.compile(r"[A-Z0-9]{2,30}"), "cm": re.compile(r"[A-Z0-9]{2,20}_(PERP|\d{6})")}
SYMBOL_EXAMPLES = {"um": "BTCUSDT", "cm": "BTCUSD_PERP"}

# Archive data type -> the catalog list it fills.
TYPE_LISTS = {"trades": "trades", "aggTrades": "trades", "klines": "candles", "metrics": "oi",
              "fundingRate": "funding", "liquidationSnapshot": "liquidations"}
DEFAULT_TYPES = ("trades", "klines", "metrics", "fundingRate", "liquidationSnapshot")
MONTHLY_TYPES = frozenset({"fundingRate"})
KLINE_INTERVAL = "1m"
# The largest CSV a day (a month for monthly types) of each type can be once inflated: a member
# announcing more is refused before it is read.
MAX_MEMBER_BYTES = {"trades": 16 << 30, "aggTrades": 8 << 30, "klines": 64 << 20, "metrics": 16 << 20,
                    "fundingRate": 16 << 20, "liquidationSnapshot": 1 << 30}


# The trade files' columns: names in a file with a header, positions in one without.
# (`id`, `price`, `qty`, `ts`, `maker`: the buyer was the maker, so the aggressor sold.)
TRADE_COLUMNS = {
    "trades": {"id": "id", "price": "price", "qty": "qty", "ts": "time", "maker": "is_buyer_maker"},
    "aggTrades": {"id": "agg_trade_id", "price": "price", "qty": "quantity", "ts": "transact_time",
                  "maker": "is_buyer_maker"},
}
TRADE_POSITIONS = {"trades": {"id": 0, "price": 1, "qty": 2, "ts": 4, "maker": 5},
                   "aggTrades": {"id": 0, "price": 1, "qty": 2, "ts": 5, "maker": 6}}


def archive_url() -> str:
    return url_from_env(ARCHIVE_URL_ENV, ARCHIVE_URL)


def period_of(data_type: str, day: str) -> str:
    """The period a type's file covers for a day: the day, or its month for monthly types."""
    return day[:7] if data_type in MONTHLY_TYPES else day


def archive_path(market: str, data_type: str, symbol: str, period: str) -> str:
    """The path of a zip under the archive's root."""
    frequency = "monthly" if data_type in MONTHLY_TYPES else "daily"
    if data_type == "klines":
        return (f"/data/futures/{market}/{frequency}/klines/{symbol}/{KLINE_INTERVAL}/"
                f"{symbol}-{KLINE_INTERVAL}-{period}.zip")
    return f"/data/futures/{market}/{frequency}/{data_type}/{symbol}/{symbol}-{data_type}-{period}.zip"


def member_name(path: str) -> str:
    """The one CSV member a zip of the archive holds."""
    return path.rsplit("/", 1)[-1].removesuffix(".zip") + ".csv"
