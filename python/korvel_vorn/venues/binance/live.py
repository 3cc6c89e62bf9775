"""Binance live feeds (record): where each market is served, its stream names and the fields of
its messages (futures here; spot's address in `venues.binance_spot.live`). The book is
synchronised from the REST depth snapshot as the exchange documents it (see
`korvel_vorn.venues.binance.recorder`).

Futures' combined streams on the current routing: depth is served under /public, trades, mark
price and liquidations under /market (`{ws}/{route}/stream?streams=a/b/c`); spot serves every
stream at `{ws}/stream?streams=a/b/c`.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

DEPTH_ROUTE = "public"
MARKET_ROUTE = "market"


@dataclass(frozen=True)
class LiveVenue:
    """Where one Binance market is served live, its REST paths, and how its feeds differ."""

    source: str
    ws_env: str
    ws_default: str
    rest_env: str
    rest_default: str
    depth_path: str  # REST depth snapshot (lastUpdateId, bids, asks; futures add E and T)
    open_interest_path: str | None  # REST open interest (openInterest, symbol, time); spot has none
    # Where the first depth update applied after a snapshot must start: it holds the update
    # lastUpdateId + bridge (U <= lastUpdateId + bridge <= u) and updates with u below that are
    # already in the snapshot. Futures: 0; spot: 1.
    snapshot_bridge: int = 0
    routes: tuple[str, str] = (DEPTH_ROUTE, MARKET_ROUTE)  # of the depth and the market streams ("": none)
    derivatives: bool = True  # liquidations and mark price (funding) streams, open interest polls
    every_trade: bool = False  # always @trade (spot), whatever the recording's options say
    # REST path answering 400 (code -1121) for a symbol the exchange does not list, asked once at
    # the start where no open interest poll would tell (a stream of such a symbol stays silent).
    symbol_check_path: str | None = None

    def ws_url(self) -> str:
        return os.environ.get(self.ws_env) or self.ws_default

    def rest_url(self) -> str:
        return os.environ.get(self.rest_env) or self.rest_default


LIVE_VENUES = {
    "binance-um": LiveVenue("binance-um", "KORVEL_VORN_BINANCE_WS_URL", "wss://fstream.binance.com",
                            "KORVEL_VORN_BINANCE_REST_URL", "https://fapi.binance.com",
                            "/fapi/v1/depth", "/fapi/v1/openInterest"),
    "binance-cm": LiveVenue("binance-cm", "KORVEL_VORN_BINANCE_CM_WS_URL", "wss://dstream.binance.com",
                            "KORVEL_VORN_BINANCE_CM_REST_URL", "https://dapi.binance.com",
                            "/dapi/v1/depth", "/dapi/v1/openInterest"),
}

SNAPSHOT_LIMIT = 1000  # levels per side of the REST depth snapshot (weight 20 of 2400 a minute)


def depth_stream(symbol: str) -> str:
    return f"{symbol.lower()}@depth@100ms"


def trade_stream(symbol: str, every_trade: bool = False) -> str:
    return f"{symbol.lower()}@{'trade' if every_trade else 'aggTrade'}"


def liquidation_stream(symbol: str) -> str:
    return f"{symbol.lower()}@forceOrder"


def mark_price_stream(symbol: str) -> str:
    return f"{symbol.lower()}@markPrice@1s"


def combined_url(ws_url: str, route: str, streams: list[str]) -> str:
    prefix = f"/{route}" if route else ""
    return f"{ws_url.rstrip('/')}{prefix}/stream?streams={'/'.join(streams)}"


# Message fields of the live streams (inside the combined envelope {"stream", "data"}).
EVENT = "e"  # event type: depthUpdate, aggTrade, trade, markPriceUpdate, forceOrder
SYMBOL = "s"  # symbol (forceOrder: inside the order object "o")
EVENT_TIME = "E"
DEPTH_FIRST_ID = "U"  # first update id of a depth event
DEPTH_LAST_ID = "u"  # last update id
DEPTH_PREVIOUS_ID = "pu"  # the previous event's last update id (futures only)
SNAPSHOT_ID = "lastUpdateId"
AGG_TRADE_ID = "a"
TRADE_ID = "t"
LIQUIDATION_ORDER = "o"
