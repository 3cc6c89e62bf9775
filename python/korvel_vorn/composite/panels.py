"""Aggregated panels: each one defined from the venues' own panels of the same frame.

Every function takes the venues' panels (dicts of `Session.frame_arrays`, in venue order: the
first is the reference venue) and returns the aggregated panel and, per venue, its part on the
common bins, grid or buckets. Sums run in venue order and are rounded as the engine rounds
(`arithmetic.round8`), so an aggregate is checkable to the bit against its definition:

- footprint: the union of the venues' bins; buy and sell of a bin are round8 of the venues'
  values for it added in venue order (a venue without the bin adds nothing);
- book heatmap: the venues' cells on one grid (the engine centres every venue's grid on the same
  mid), rows from the earliest first to the latest last row of any venue; a venue has no cells
  before its first book event (minus zero, an empty book's) and keeps its last row after its
  last; a cell is round8 of the venues' cells added in venue order;
- liquidation map: every venue's events, stably ordered by ts, binned price (total order) and
  side, ties in venue order;
- funding/OI divergence: on the common buckets, oi is round8 of the venues' oi added in venue
  order, funding round8 of the oi-weighted mean of the venues' rates (while the oi sum is zero,
  the plain mean of the rates of the venues that have had a funding record, or plus zero), price
  the reference venue's.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..frame_arrays import LIQUIDATION_EVENT_DTYPE
from .arithmetic import Floats, from_order_keys, minus_zeros, order_keys, round8

Panel = dict[str, Any]


def _union_keys(arrays: Sequence[Floats]) -> npt.NDArray[np.int64]:
    if not arrays:
        return np.zeros(0, dtype=np.int64)
    return np.unique(np.concatenate([order_keys(a) for a in arrays]))


def aggregate_footprint(parts: Sequence[Panel]) -> tuple[Panel, list[Panel]]:
    """The footprint of the venues' footprints, and each venue's buy and sell on the common bins
    (plus zero where the venue has no trade in a bin)."""
    keys = _union_keys([p["price_bins"] for p in parts])
    buy, sell = minus_zeros(len(keys)), minus_zeros(len(keys))
    venues = []
    for part in parts:
        at = np.searchsorted(keys, order_keys(part["price_bins"]))
        buy[at] += part["buy_vol"]
        sell[at] += part["sell_vol"]
        venue_buy, venue_sell = np.zeros(len(keys)), np.zeros(len(keys))
        venue_buy[at] = part["buy_vol"]
        venue_sell[at] = part["sell_vol"]
        venues.append({"buy_vol": venue_buy, "sell_vol": venue_sell})
    panel = {"kind": "footprint", "price_bins": from_order_keys(keys).copy(), "buy_vol": round8(buy),
             "sell_vol": round8(sell)}
    return panel, venues


def _common_rows(times: Sequence[npt.NDArray[np.int64]], width: int) -> npt.NDArray[np.int64]:
    present = [t for t in times if len(t)]
    if not present:
        return np.zeros(0, dtype=np.int64)
    first = min(int(t[0]) for t in present)
    last = max(int(t[-1]) for t in present)
    return first + width * np.arange((last - first) // width + 1, dtype=np.int64)


def _on_rows(values: Floats, time: npt.NDArray[np.int64], rows: npt.NDArray[np.int64], width: int,
             before: float) -> Floats:
    """A venue's rows (the leading axis of `values`) laid over the common rows: `before` until its
    first row, its last row kept after its last."""
    out = np.full((len(rows), *values.shape[1:]), before, dtype=np.float64)
    if len(time) == 0 or len(rows) == 0:
        return out
    first = (int(time[0]) - int(rows[0])) // width
    out[first:first + len(time)] = values
    out[first + len(time):] = values[-1]
    return out


def aggregate_heatmap(parts: Sequence[Panel], bucket_ms: int) -> tuple[Panel, list[Panel]]:
    """The heatmap of the venues' heatmaps, all computed on one grid; each venue's cells on the
    common rows. With the detail members (bid_intensity, ...), the per-side cells are summed the
    same way and last_price and mid are the reference venue's, kept after its last row."""
    grids = [p["price"] for p in parts if len(p["price"])]
    detail = bool(parts) and "bid_intensity" in parts[0]
    empty: Panel = {"kind": "book_heatmap", "time": np.zeros(0, dtype=np.int64), "price": np.zeros(0),
                    "intensity": np.zeros((0, 0))}
    if detail:
        empty.update(bid_intensity=np.zeros((0, 0)), ask_intensity=np.zeros((0, 0)), last_price=np.zeros(0),
                     mid=np.zeros(0))
    if not grids:
        return empty, [{"intensity": np.zeros((0, 0))} for _ in parts]
    price = grids[0]
    for grid in grids[1:]:
        if grid.shape != price.shape or not np.array_equal(order_keys(grid), order_keys(price)):
            raise ValueError("the venues' heatmaps are not on one grid")
    rows = _common_rows([p["time"] for p in parts], bucket_ms)
    members = ("intensity", "bid_intensity", "ask_intensity") if detail else ("intensity",)
    sums = {name: minus_zeros((len(rows), len(price))) for name in members}
    venues = []
    for part in parts:
        venue: Panel = {}
        for name in members:
            cells = part[name] if len(part["price"]) else np.zeros((0, len(price)))
            laid = _on_rows(cells, part["time"], rows, bucket_ms, -0.0)
            sums[name] += laid
            venue[name] = laid
        venues.append(venue)
    panel: Panel = {"kind": "book_heatmap", "time": rows, "price": np.array(price, dtype=np.float64)}
    for name in members:
        panel[name] = round8(sums[name])
    if detail:
        reference = parts[0]
        for name in ("last_price", "mid"):
            panel[name] = _on_rows(np.asarray(reference[name]), reference["time"], rows, bucket_ms, np.nan)
    return panel, venues


def aggregate_liquidations(parts: Sequence[Panel]) -> tuple[Panel, npt.NDArray[np.int64]]:
    """The venues' liquidation events together, ordered by ts, binned price (total order) and side
    (long first), ties in venue order; and each event's venue position."""
    events = np.concatenate([p["events"] for p in parts]) if parts else np.zeros(0, LIQUIDATION_EVENT_DTYPE)
    venue = np.concatenate([np.full(len(p["events"]), i, dtype=np.int64) for i, p in enumerate(parts)]) \
        if parts else np.zeros(0, dtype=np.int64)
    order = np.lexsort((events["side"], order_keys(events["price_bin"]), events["ts"]))
    return {"kind": "liquidation_map", "events": events[order]}, venue[order]


def aggregate_funding_oi(parts: Sequence[Panel], bucket_ms: int,
                         first_funding: Sequence[int | None]) -> tuple[Panel, list[Panel]]:
    """The divergence panel of the venues' panels on the common buckets. `first_funding` gives,
    per venue, the ts of its first funding record in the window (None: it has none); a venue has
    had a funding record in a bucket once that ts lies below the bucket's end."""
    time = _common_rows([p["time"] for p in parts], bucket_ms)
    oi_sum, weighted = minus_zeros(len(time)), minus_zeros(len(time))
    rate_sum, rated = minus_zeros(len(time)), np.zeros(len(time), dtype=np.int64)
    venues = []
    for part, first in zip(parts, first_funding):
        rate = _on_rows(part["funding"], part["time"], time, bucket_ms, 0.0)
        oi = _on_rows(part["oi"], part["time"], time, bucket_ms, 0.0)
        oi_sum += oi
        weighted += rate * oi
        if first is not None:
            seen = time + bucket_ms > first
            rate_sum = np.where(seen, rate_sum + rate, rate_sum)
            rated += seen
        venues.append({"funding": rate, "oi": oi})
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.where(rated > 0, rate_sum / np.maximum(rated, 1), 0.0)
        funding = np.where(oi_sum == 0.0, mean, weighted / oi_sum)
    price = _on_rows(parts[0]["price"], parts[0]["time"], time, bucket_ms, 0.0) if parts else np.zeros(0)
    panel = {"kind": "funding_oi_divergence", "time": time, "funding": round8(funding), "oi": round8(oi_sum),
             "price": price}
    return panel, venues
