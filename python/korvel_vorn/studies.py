"""Order-flow studies on footprint clusters (the dict of `Session.clusters`), vectorised with NumPy.

Every study takes the clusters first. A cell's volume is its buy plus its sell volume (the base
asset traded by aggressors on each side); bins are the columns of ``price``, buckets the rows of
``time``. Bins that hold no trade in the window are not columns at all: they count as zero volume.

- `delta`: per bucket, buy volume minus sell volume.
- `cumulative_delta`: the running sum of `delta` over the buckets.
- `point_of_control`: the bin with the most volume, per bucket and for the whole window; on a tie
  the lowest price wins. NaN for a bucket without volume.
- `value_area`: the bins around the point of control that hold at least `share` (70%) of the
  volume, grown one bin at a time toward the side whose next bin holds more volume (the higher
  side on a tie); ``low`` and ``high`` are the lower edges of its lowest and highest bins.
- `imbalances`: diagonal bid/ask imbalances. A buy imbalance at price p: the buy volume at p is at
  least `ratio` (3.0) times the sell volume one bin below (p - price_bin), and at least
  `min_volume` and above zero. A sell imbalance at p: the sell volume at p is at least `ratio`
  times the buy volume one bin above. A neighbour outside the traded range holds zero, so at the
  edge any volume of at least `min_volume` is an imbalance. Stacked imbalances are runs of at least
  `stacked` (3) imbalances of one side on consecutive bins of one bucket.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

Clusters = Mapping[str, Any]
FloatArray = npt.NDArray[np.float64]


def _volumes(clusters: Clusters) -> tuple[FloatArray, FloatArray]:
    buy = np.asarray(clusters["buy_vol"], dtype=np.float64)
    sell = np.asarray(clusters["sell_vol"], dtype=np.float64)
    return buy, sell


def delta(clusters: Clusters) -> FloatArray:
    """Per bucket: its buy volume minus its sell volume."""
    buy, sell = _volumes(clusters)
    return np.asarray(buy.sum(axis=1) - sell.sum(axis=1), dtype=np.float64)


def cumulative_delta(clusters: Clusters) -> FloatArray:
    """The running sum of `delta` over the buckets, in time order."""
    return np.cumsum(delta(clusters))


def _poc(volume: FloatArray, prices: FloatArray) -> float:
    if volume.size == 0 or not np.any(volume > 0):
        return float("nan")
    return float(prices[int(np.argmax(volume))])  # argmax takes the first, lowest-priced, maximum


def point_of_control(clusters: Clusters) -> dict[str, Any]:
    """{"bucket": the POC price of each bucket (NaN without volume), "window": the window's POC}."""
    buy, sell = _volumes(clusters)
    prices = np.asarray(clusters["price"], dtype=np.float64)
    volume = buy + sell
    per_bucket = np.array([_poc(row, prices) for row in volume], dtype=np.float64)
    return {"bucket": per_bucket, "window": _poc(volume.sum(axis=0), prices)}


def _value_area(volume: FloatArray, prices: FloatArray, share: float) -> tuple[float, float, float]:
    total = float(volume.sum())
    if volume.size == 0 or total <= 0:
        return float("nan"), float("nan"), 0.0
    low = high = int(np.argmax(volume))
    covered = float(volume[low])
    target = share * total
    while covered < target and (low > 0 or high < volume.size - 1):
        below = float(volume[low - 1]) if low > 0 else -1.0
        above = float(volume[high + 1]) if high < volume.size - 1 else -1.0
        if above >= below:
            high += 1
            covered += above
        else:
            low -= 1
            covered += below
    return float(prices[low]), float(prices[high]), covered


def value_area(clusters: Clusters, share: float = 0.7) -> dict[str, Any]:
    """The value area of the window ("low", "high", "volume") and of each bucket ("bucket_low",
    "bucket_high"): see the module's definition. NaN where there is no volume."""
    if not 0.0 < share <= 1.0:
        raise ValueError(f"share must lie in (0, 1], got {share!r}")
    buy, sell = _volumes(clusters)
    prices = np.asarray(clusters["price"], dtype=np.float64)
    volume = buy + sell
    low, high, covered = _value_area(volume.sum(axis=0), prices, share)
    rows = [_value_area(row, prices, share) for row in volume]
    return {"low": low, "high": high, "volume": covered,
            "bucket_low": np.array([r[0] for r in rows], dtype=np.float64),
            "bucket_high": np.array([r[1] for r in rows], dtype=np.float64)}


def _bin_numbers(clusters: Clusters) -> npt.NDArray[np.int64]:
    prices = np.asarray(clusters["price"], dtype=np.float64)
    return np.rint(prices / float(clusters["price_bin"])).astype(np.int64)


def _neighbour(values: FloatArray, bins: npt.NDArray[np.int64], offset: int) -> FloatArray:
    """For every column, the values of the column of bin number + offset (zero where that bin is
    not a column)."""
    out = np.zeros_like(values)
    if bins.size == 0:
        return out
    target = bins + offset
    where = np.minimum(np.searchsorted(bins, target), bins.size - 1)
    present = bins[where] == target
    out[:, present] = values[:, where[present]]
    return out


def _runs(flags: npt.NDArray[np.bool_], bins: npt.NDArray[np.int64], times: Any, prices: FloatArray,
          stacked: int) -> list[dict[str, Any]]:
    """Runs of at least `stacked` flags on consecutive bin numbers within one bucket."""
    runs = []
    for row, col in zip(*np.nonzero(flags)):
        if col > 0 and flags[row, col - 1] and bins[col] == bins[col - 1] + 1:
            continue  # inside a run that started further down
        end = col + 1
        while end < flags.shape[1] and flags[row, end] and bins[end] == bins[end - 1] + 1:
            end += 1
        if end - col >= stacked:
            runs.append({"time": int(times[row]), "low": float(prices[col]), "high": float(prices[end - 1]),
                         "count": int(end - col)})
    return runs


def imbalances(clusters: Clusters, ratio: float = 3.0, min_volume: float = 0.0, stacked: int = 3) -> dict[str, Any]:
    """Diagonal imbalances: "buy" and "sell" (bool, time by price) and the stacked runs
    "stacked_buy" and "stacked_sell" (lists of {"time", "low", "high", "count"})."""
    if not ratio > 0:
        raise ValueError(f"ratio must be positive, got {ratio!r}")
    if stacked < 1:
        raise ValueError(f"stacked must be at least 1, got {stacked!r}")
    buy, sell = _volumes(clusters)
    prices = np.asarray(clusters["price"], dtype=np.float64)
    bins = _bin_numbers(clusters)
    sell_below = _neighbour(sell, bins, -1)
    buy_above = _neighbour(buy, bins, +1)
    buy_flags = (buy > 0) & (buy >= min_volume) & (buy >= ratio * sell_below)
    sell_flags = (sell > 0) & (sell >= min_volume) & (sell >= ratio * buy_above)
    times = np.asarray(clusters["time"])
    return {"buy": buy_flags, "sell": sell_flags,
            "stacked_buy": _runs(buy_flags, bins, times, prices, stacked),
            "stacked_sell": _runs(sell_flags, bins, times, prices, stacked)}


__all__ = ["cumulative_delta", "delta", "imbalances", "point_of_control", "value_area"]
