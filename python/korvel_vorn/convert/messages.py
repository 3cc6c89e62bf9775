"""JSON recordings: exchange stream messages, REST responses and dataset-shaped records.

Each source has its module: `venues.binance.messages`, `venues.bybit.messages` and `dataset_records`; this one
tells them apart.
"""

from __future__ import annotations

from typing import Any

from ..schema import LISTS

# Modules, not names: a venue's parser imports convert's shared helpers, so either side may be
# imported first.
from ..venues.binance import messages as binance_messages
from ..venues.bybit import messages as bybit_messages
from .context import Context
from .dataset_records import add_dataset, add_record, record_kind
from .fields import FieldError, number

__all__ = ["Context", "add_message", "add_record"]


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
        if not binance_messages.binance_event(ctx, m):
            ctx.market.skipped[f"{m['e']} messages"] += 1
        return
    if "topic" in m:
        if not bybit_messages.bybit_message(ctx, m):
            ctx.market.skipped[f"{str(m['topic']).split('.', 1)[0]} messages"] += 1
        return
    if "lastUpdateId" in m and "bids" in m and "asks" in m:
        binance_messages.depth_snapshot(ctx, m)
        return
    if any(isinstance(m.get(k), list) for k in LISTS) and "ts" not in m:
        add_dataset(ctx, m)
        return
    kind = record_kind(ctx, m)
    if kind is not None:
        add_record(ctx, kind, m)
        return
    if binance_messages.binance_rest_item(ctx, m):
        return
    if "code" in m and "msg" in m:
        raise FieldError(f"an error response of the exchange: {m.get('msg')}")
    ctx.market.skipped["messages of unknown form"] += 1
