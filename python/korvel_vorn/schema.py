"""The dataset's lists and record fields, and the panel kinds with their parameters, declared once
for every module of the package.

====================  ==========================================================
list                  fields
====================  ==========================================================
``candles``           ts, open, high, low, close, volume
``trades``            ts, price, qty, side ("buy" or "sell": the aggressor's side)
``book``              ts, kind ("snapshot" or "diff"), bids, asks (lists of (price, qty))
``funding``           ts, rate
``oi``                ts, oi
``liquidations``      ts, price, qty, side ("long" or "short": the liquidated position)
====================  ==========================================================

``ts`` is integer milliseconds since the Unix epoch (UTC). As columns (`COLUMN_FIELDS`), the book
is ragged: per event ``ts``, ``kind``, ``bid_count`` and ``ask_count``, and the level columns
``bid_price``, ``bid_qty``, ``ask_price``, ``ask_qty`` holding every event's levels in event order.
"""

from __future__ import annotations

from typing import Literal

RECORD_FIELDS: dict[str, tuple[str, ...]] = {
    "candles": ("ts", "open", "high", "low", "close", "volume"),
    "trades": ("ts", "price", "qty", "side"),
    "book": ("ts", "kind", "bids", "asks"),
    "funding": ("ts", "rate"),
    "oi": ("ts", "oi"),
    "liquidations": ("ts", "price", "qty", "side"),
}
LISTS: tuple[str, ...] = tuple(RECORD_FIELDS)

# The two names of each enumeration, by code (0, 1).
ENUM_VARIANTS: dict[tuple[str, str], tuple[str, str]] = {
    ("trades", "side"): ("buy", "sell"),
    ("liquidations", "side"): ("long", "short"),
    ("book", "kind"): ("snapshot", "diff"),
}

ColumnKind = Literal["ts", "float", "code", "count"]

# The columns of each list in declared order, with what each holds: "ts" int64 milliseconds,
# "float" float64, "code" an enumeration as 0/1, "count" a non-negative int64 level count.
COLUMN_FIELDS: dict[str, tuple[tuple[str, ColumnKind], ...]] = {
    "candles": (("ts", "ts"), ("open", "float"), ("high", "float"), ("low", "float"), ("close", "float"),
                ("volume", "float")),
    "trades": (("ts", "ts"), ("price", "float"), ("qty", "float"), ("side", "code")),
    "book": (("ts", "ts"), ("kind", "code"), ("bid_count", "count"), ("ask_count", "count"),
             ("bid_price", "float"), ("bid_qty", "float"), ("ask_price", "float"), ("ask_qty", "float")),
    "funding": (("ts", "ts"), ("rate", "float")),
    "oi": (("ts", "ts"), ("oi", "float")),
    "liquidations": (("ts", "ts"), ("price", "float"), ("qty", "float"), ("side", "code")),
}

# The panel kinds (the value of a panel's "kind") with their parameters in declared order (the
# order of the positional form), in the order the engine declares them.
PANEL_PARAMS: dict[str, tuple[str, ...]] = {
    "footprint": ("price_bin", "bucket_ms"),
    "book_heatmap": ("price_bin", "bucket_ms", "depth_levels"),
    "liquidation_map": ("price_bin",),
    "funding_oi_divergence": ("bucket_ms",),
}
PANEL_KINDS: tuple[str, ...] = tuple(PANEL_PARAMS)
