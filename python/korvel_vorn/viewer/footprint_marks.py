"""The footprint's marks for the page, computed for all candles at once: the diagonal imbalance of
each cell, each candle's point of control and value area.

They are the values of `korvel_vorn.studies` (the same rules, ties included) without its per-candle
Python loops, which cost hundreds of milliseconds a frame on a day of real trades. The value area
grows from the point of control one bin at a time, every candle in step: each step takes, for every
candle not yet covered, the larger of the next bin above and below (above on a tie).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]


def imbalance_flags(buy: FloatArray, sell: FloatArray, prices: FloatArray, price_bin: float,
                    ratio: float = 3.0) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
    """Cells whose buying is at least `ratio` x the selling one bin below, and whose selling is at
    least `ratio` x the buying one bin above (bins that are not columns count as zero)."""
    bins = np.rint(prices / price_bin).astype(np.int64)
    adjacent = np.zeros(bins.size, dtype=np.bool_)
    if bins.size > 1:
        adjacent[1:] = bins[1:] == bins[:-1] + 1  # column c - 1 is the bin just below column c
    sell_below = np.zeros_like(sell)
    sell_below[:, 1:] = np.where(adjacent[None, 1:], sell[:, :-1], 0.0)
    buy_above = np.zeros_like(buy)
    buy_above[:, :-1] = np.where(adjacent[None, 1:], buy[:, 1:], 0.0)
    return (buy > 0) & (buy >= ratio * sell_below), (sell > 0) & (sell >= ratio * buy_above)


def point_of_control(volume: FloatArray, prices: FloatArray) -> FloatArray:
    """Each candle's price of largest volume (the lowest on a tie); NaN without volume."""
    if volume.shape[1] == 0:
        return np.full(volume.shape[0], np.nan)
    best = np.argmax(volume, axis=1)
    return np.where((volume > 0).any(axis=1), prices[best], np.nan)


def value_area(volume: FloatArray, prices: FloatArray, share: float = 0.7) -> tuple[FloatArray, FloatArray]:
    """Each candle's value area (low and high price): from the point of control, the larger
    neighbour added until `share` of the candle's volume is covered; NaN without volume."""
    rows, columns = volume.shape
    low_price = np.full(rows, np.nan)
    high_price = np.full(rows, np.nan)
    if columns == 0:
        return low_price, high_price
    total = volume.sum(axis=1)
    active = np.flatnonzero(total > 0)
    low = np.argmax(volume, axis=1)
    high = low.copy()
    covered = volume[np.arange(rows), low]
    target = share * total
    padded = np.full((rows, columns + 2), -1.0)  # -1 beyond the edges: never taken over a real bin
    padded[:, 1:-1] = volume
    while active.size:
        active = active[(covered[active] < target[active]) & ((low[active] > 0) | (high[active] < columns - 1))]
        if active.size == 0:
            break
        below = padded[active, low[active]]  # column low - 1, shifted by the padding
        above = padded[active, high[active] + 2]
        up = above >= below
        high[active[up]] += 1
        low[active[~up]] -= 1
        covered[active] += np.where(up, above, below)
    has = total > 0
    low_price[has] = prices[low[has]]
    high_price[has] = prices[high[has]]
    return low_price, high_price


def footprint_marks(clusters: Mapping[str, Any]) -> dict[str, Any]:
    """"buy" and "sell" imbalance flags (time by price), "poc", "va_low", "va_high" per candle."""
    buy = np.asarray(clusters["buy_vol"], dtype=np.float64)
    sell = np.asarray(clusters["sell_vol"], dtype=np.float64)
    prices = np.asarray(clusters["price"], dtype=np.float64)
    buy_flags, sell_flags = imbalance_flags(buy, sell, prices, float(clusters["price_bin"]))
    volume = buy + sell
    va_low, va_high = value_area(volume, prices)
    return {"buy": buy_flags, "sell": sell_flags, "poc": point_of_control(volume, prices), "va_low": va_low,
            "va_high": va_high}


__all__ = ["footprint_marks", "imbalance_flags", "point_of_control", "value_area"]
