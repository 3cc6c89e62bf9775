"""Order-flow studies against hand-worked examples."""

import math

import numpy as np
import pytest

from korvel_vorn import studies


def clusters(prices, buy, sell, times=None, price_bin=1.0):
    buy = np.array(buy, dtype=float)
    sell = np.array(sell, dtype=float)
    return {"time": np.array(times if times is not None else range(0, 60_000 * len(buy), 60_000), dtype=np.int64),
            "price": np.array(prices, dtype=float), "buy_vol": buy, "sell_vol": sell, "price_bin": price_bin,
            "bucket_ms": 60_000}


# Two buckets over bins 100..104; bin 103 has no trade in either (not a column).
TWO = clusters([100.0, 101.0, 102.0, 104.0],
               buy=[[1, 4, 0, 2], [0, 0, 0, 0]],
               sell=[[3, 0, 2, 0], [0, 0, 0, 0]])


def test_delta_and_cumulative_delta():
    c = clusters([1.0, 2.0], buy=[[1, 2], [0, 0], [5, 0]], sell=[[0.5, 0], [1, 1], [0, 0]])
    assert studies.delta(c).tolist() == [2.5, -2.0, 5.0]
    assert studies.cumulative_delta(c).tolist() == [2.5, 0.5, 5.5]


def test_point_of_control_tie_takes_the_lowest_price_and_an_empty_bucket_has_none():
    poc = studies.point_of_control(TWO)
    # Bucket 0 volumes: 100 -> 4, 101 -> 4, 102 -> 2, 104 -> 2: a tie between 100 and 101.
    assert poc["bucket"][0] == 100.0
    assert math.isnan(poc["bucket"][1])
    assert poc["window"] == 100.0


def test_value_area_grows_toward_the_larger_neighbour():
    # Volumes by bin: 10:1, 11:2, 12:10, 13:3, 14:4 -> total 20, 70% = 14.
    c = clusters([10.0, 11.0, 12.0, 13.0, 14.0], buy=[[1, 2, 10, 3, 4]], sell=[[0, 0, 0, 0, 0]])
    va = studies.value_area(c)
    # From 12 (10): above 3 vs below 2 -> 13 (13); above 4 vs below 2 -> 14 (17 >= 14).
    assert (va["low"], va["high"], va["volume"]) == (12.0, 14.0, 17.0)
    assert va["bucket_low"].tolist() == [12.0] and va["bucket_high"].tolist() == [14.0]
    tie = clusters([1.0, 2.0, 3.0], buy=[[2, 5, 2]], sell=[[0, 0, 0]])
    assert studies.value_area(tie, share=0.7)[("low")] == 2.0 and studies.value_area(tie)["high"] == 3.0
    assert studies.value_area(tie, share=1.0)["low"] == 1.0
    with pytest.raises(ValueError, match="share"):
        studies.value_area(tie, share=0.0)
    empty = studies.value_area(TWO)
    assert math.isnan(empty["bucket_low"][1])


def test_imbalances_on_the_diagonal_and_at_the_edge():
    #            bin:  100  101  102  104
    # buy            :   1    4    0    2
    # sell           :   3    0    2    0
    got = studies.imbalances(TWO)
    # Buy at 100: nothing sold below (edge) -> imbalance. Buy 101 vs sell 100 (3): 4 < 9 -> none.
    # Buy 104 vs sell 103 (no column: zero) -> imbalance.
    assert got["buy"][0].tolist() == [True, False, False, True]
    # Sell 100 vs buy 101 (4): 3 < 12 -> none. Sell 102 vs buy 103 (zero) -> imbalance.
    assert got["sell"][0].tolist() == [False, False, True, False]
    assert not got["buy"][1].any() and not got["sell"][1].any()
    assert studies.imbalances(TWO, min_volume=2.5)["buy"][0].tolist() == [False, False, False, False]
    assert studies.imbalances(TWO, ratio=0.25)["buy"][0].tolist() == [True, True, False, True]


def test_stacked_imbalances_need_consecutive_bins():
    c = clusters([1.0, 2.0, 3.0, 5.0, 6.0, 7.0, 8.0],
                 buy=[[5, 5, 5, 5, 5, 5, 0]], sell=[[0, 0, 0, 0, 0, 0, 1]])
    runs = studies.imbalances(c)["stacked_buy"]
    # 1-2-3 is a run of three; 5-6-7 another (bin 4 is missing, so 3 and 5 are not neighbours).
    assert runs == [{"time": 0, "low": 1.0, "high": 3.0, "count": 3}, {"time": 0, "low": 5.0, "high": 7.0, "count": 3}]
    assert studies.imbalances(c, stacked=4)["stacked_buy"] == []
    assert studies.imbalances(c)["stacked_sell"] == []


def test_studies_on_engine_clusters():
    from korvel_vorn import Session
    from korvel_vorn.commands import footprint, spec_value
    from korvel_vorn.sample import sample_dataset_json

    session = Session(spec_value(symbol="S", panels=[footprint(price_bin=0.5)]))
    session.load(sample_dataset_json(7))
    c = session.clusters(price_bin=0.5, bucket_ms=60_000)
    d = studies.delta(c)
    assert d.shape == c["time"].shape
    np.testing.assert_allclose(studies.cumulative_delta(c)[-1], c["buy_vol"].sum() - c["sell_vol"].sum())
    poc = studies.point_of_control(c)
    assert poc["window"] in c["price"]
    va = studies.value_area(c)
    assert va["low"] <= poc["window"] <= va["high"]
    assert va["volume"] >= 0.7 * (c["buy_vol"].sum() + c["sell_vol"].sum()) - 1e-9
    imb = studies.imbalances(c)
    assert imb["buy"].shape == c["buy_vol"].shape
