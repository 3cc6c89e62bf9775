"""The footprint's marks computed for all candles at once against the per-candle studies."""

import numpy as np
import pytest

from korvel_vorn import studies
from korvel_vorn.viewer.footprint_marks import footprint_marks


def clusters_of(buy, sell, bins, price_bin=0.5):
    return {"buy_vol": np.asarray(buy, dtype=np.float64), "sell_vol": np.asarray(sell, dtype=np.float64),
            "price": np.asarray(bins, dtype=np.float64) * price_bin, "price_bin": price_bin,
            "time": np.arange(len(buy), dtype=np.int64) * 1000}


def random_clusters(seed):
    rng = np.random.default_rng(seed)
    rows, columns = int(rng.integers(1, 40)), int(rng.integers(1, 60))
    # Gaps in the bins, empty candles, ties (small integers) and zero cells.
    bins = np.sort(rng.choice(np.arange(1000, 1000 + 2 * columns), size=columns, replace=False))
    buy = rng.integers(0, 4, size=(rows, columns)) * (rng.random((rows, columns)) < 0.5)
    sell = rng.integers(0, 4, size=(rows, columns)) * (rng.random((rows, columns)) < 0.5)
    buy[rng.random(rows) < 0.2] = 0
    sell[rng.random(rows) < 0.2] = 0
    if seed % 3 == 0:
        buy = buy * rng.random((rows, columns)) * 7.3  # floats: no ties
    return clusters_of(buy, sell, bins)


@pytest.mark.parametrize("seed", range(60))
def test_marks_are_the_studies_of_each_candle(seed):
    clusters = random_clusters(seed)
    marks = footprint_marks(clusters)
    imbalance = studies.imbalances(clusters)
    area = studies.value_area(clusters)
    assert np.array_equal(marks["buy"], imbalance["buy"]) and np.array_equal(marks["sell"], imbalance["sell"])
    assert np.array_equal(marks["poc"], studies.point_of_control(clusters)["bucket"], equal_nan=True)
    assert np.array_equal(marks["va_low"], area["bucket_low"], equal_nan=True)
    assert np.array_equal(marks["va_high"], area["bucket_high"], equal_nan=True)


@pytest.mark.parametrize(("buy", "sell", "low", "high"), [
    ([[0, 0, 0]], [[0, 0, 0]], np.nan, np.nan),  # no volume
    ([[1, 1, 1]], [[0, 0, 0]], 0.0, 2.0),  # ties: the lowest POC, then above (2 of 3 is below 70%)
    ([[5, 0, 0]], [[0, 0, 1]], 0.0, 0.0),  # the POC at the bottom edge covers 5/6 alone
    ([[0, 3, 5]], [[0, 0, 0]], 1.0, 2.0),  # at the top edge only below can be added
])
def test_value_area_edges_and_ties(buy, sell, low, high):
    marks = footprint_marks(clusters_of(buy, sell, [0, 1, 2], price_bin=1.0))
    assert np.array_equal(marks["va_low"], [low], equal_nan=True) and np.array_equal(marks["va_high"], [high], equal_nan=True)
