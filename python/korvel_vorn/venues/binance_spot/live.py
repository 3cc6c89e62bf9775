"""Binance spot's live feeds: every stream at `{ws}/stream?streams=a/b/c` (no route), the book
from `depth@100ms` synchronised from the REST depth snapshot, and every trade (`trade`). Its depth
updates carry no `pu`: each must start where the previous one ended (`U` = previous `u` + 1), and
the first applied after a snapshot holds `lastUpdateId + 1` (`U <= lastUpdateId + 1 <= u`). Spot
has no liquidation, mark price or open interest feed."""

from __future__ import annotations

from ..binance.live import LiveVenue

SPOT = LiveVenue("binance-spot", "KORVEL_VORN_BINANCE_SPOT_WS_URL", "wss://stream.binance.com:9443",
                 "KORVEL_VORN_BINANCE_SPOT_REST_URL", "https://api.binance.com", "/api/v3/depth", None,
                 snapshot_bridge=1, routes=("", ""), derivatives=False, every_trade=True,
                 symbol_check_path="/api/v3/exchangeInfo")
