"""Archives in the Tardis CSV layout: one gzip CSV per exchange, data type, day and symbol at
``{KORVEL_VORN_TARDIS_URL}/v1/{exchange}/{data_type}/{YYYY}/{MM}/{DD}/{SYMBOL}.csv.gz``; every day but
the first of each month needs an API key (``--api-key`` or the ``TARDIS_API_KEY`` variable), sent
as a bearer token. The CSV layouts are read by `venues.tardis.tables`.
"""

from __future__ import annotations

import re

from .. import url_from_env

ARCHIVE_URL_ENV = "KORVEL_VORN_TARDIS_URL"
ARCHIVE_URL = "https://datasets.tardis.dev"
API_KEY_ENV = "TARDIS_API_KEY"
SOURCE_PREFIX = "tardis:"
EXCHANGE_FORM = re.compile(r"[a-z0-9][a-z0-9-]{1,40}")
SYMBOL_FORM = re.compile(r"[A-Z0-9][A-Z0-9_.-]{1,40}")
SYMBOL_EXAMPLE = "BTCUSDT"

TYPE_LISTS = {"trades": "trades", "incremental_book_L2": "book", "liquidations": "liquidations",
              "derivative_ticker": "funding"}
# Lists a type fills besides its own: the ticker carries open interest with the funding rate.
EXTRA_LISTS = {"derivative_ticker": ("oi",)}
DEFAULT_TYPES = ("trades", "incremental_book_L2", "liquidations", "derivative_ticker")
MAX_MEMBER_BYTES = {"trades": 16 << 30, "incremental_book_L2": 64 << 30, "liquidations": 1 << 30,
                    "derivative_ticker": 8 << 30}


def archive_url() -> str:
    return url_from_env(ARCHIVE_URL_ENV, ARCHIVE_URL)


def archive_path(exchange: str, data_type: str, symbol: str, day: str) -> str:
    year, month, date = day.split("-")
    return f"/v1/{exchange}/{data_type}/{year}/{month}/{date}/{symbol}.csv.gz"


def needs_key(day: str) -> bool:
    """Only the first day of each month is free."""
    return not day.endswith("-01")
