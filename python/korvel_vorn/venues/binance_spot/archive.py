"""Binance spot's public archive (data.binance.vision): daily zip files, each with a
`.zip.CHECKSUM`, under ``/data/spot/daily/{type}/{SYMBOL}/[1m/]{SYMBOL}-{type|1m}-{day}.zip``.

The CSVs have no header and the futures' columns plus one (`is_best_match`); their times are in
milliseconds up to 2024-12-31 and in microseconds from 2025-01-01 on. Both are read by magnitude
(`convert.fields.UNIT_LIMITS`), so a span across the change reads right.
"""

from __future__ import annotations

import os
import re

from .. import url_from_env
from ..binance import archive as futures

SOURCE = "binance-spot"
ARCHIVE_URL_ENV = "KORVEL_VORN_BINANCE_SPOT_URL"
# One host serves spot and futures: a mirror set for the futures serves spot too unless told apart.
FALLBACK_URL_ENV = futures.ARCHIVE_URL_ENV
SYMBOL_FORM = re.compile(r"[A-Z0-9]{2,30}")
SYMBOL_EXAMPLE = "BTCUSDT"

TYPE_LISTS = {"trades": "trades", "aggTrades": "trades", "klines": "candles"}
TYPES = ("trades", "aggTrades", "klines")
DEFAULT_TYPES = ("trades", "klines")
NO_DERIVATIVES = ("spot has no funding, open interest or liquidations: those lists stay empty, and rendered "
                  "frames say so under their panels")
MAX_MEMBER_BYTES = {"trades": 16 << 30, "aggTrades": 8 << 30, "klines": 64 << 20}


def archive_url() -> str:
    return url_from_env(ARCHIVE_URL_ENV, os.environ.get(FALLBACK_URL_ENV) or futures.ARCHIVE_URL)


def archive_path(data_type: str, symbol: str, day: str) -> str:
    """The path of a day's zip under the archive's root (spot publishes every type daily)."""
    if data_type == "klines":
        interval = futures.KLINE_INTERVAL
        return f"/data/spot/daily/klines/{symbol}/{interval}/{symbol}-{interval}-{day}.zip"
    return f"/data/spot/daily/{data_type}/{symbol}/{symbol}-{data_type}-{day}.zip"
