"""A small synthetic market for the demo, generated deterministically from a seed.

Ten minutes of one made-up perpetual, "DEMOUSDT", from 2024-01-01 00:00 UTC: a drifting price,
a sell-off in minute 5 that liquidates longs, a squeeze in minute 7 that liquidates shorts, an
order book (one snapshot, then a diff every half second, with a bid wall that gets pulled as
the price falls towards it), funding every 5 seconds, open interest every 15 seconds and
one-minute candles built from the trades. Only `random.Random(seed).random()` is used, so the same
seed gives the same market, byte for byte, on every Python version.
"""

from __future__ import annotations

import random
from typing import Any

from .commands import book_heatmap, footprint, funding_oi_divergence, liquidation_map, spec_value
from .dataset import dataset_json

SYMBOL = "DEMOUSDT"
START_MS = 1_704_067_200_000  # 2024-01-01 00:00:00 UTC
DURATION_MS = 600_000
LEVEL_STEP = 0.05  # book levels sit on this price grid
LEVELS_PER_SIDE = 280


def _normal(rng: random.Random) -> float:
    # Irwin-Hall with 4 terms, scaled to unit variance: close enough to normal for a demo.
    return (rng.random() + rng.random() + rng.random() + rng.random() - 2.0) * 1.7320508075688772


def _drift_per_second(t_ms: int) -> float:
    minute = t_ms / 60_000
    if 5.0 <= minute < 5.8:
        return -0.011  # sell-off
    if 7.0 <= minute < 7.6:
        return 0.012  # squeeze
    if minute < 4.0:
        return 0.0015
    return 0.0


def _level(price: float) -> float:
    return round(round(price / LEVEL_STEP) * LEVEL_STEP, 2)


def generate_market(seed: int = 7) -> dict[str, list[Any]]:
    """The six dataset lists of the sample market, records as tuples in declared field order."""
    rng = random.Random(seed)
    trades: list[tuple[int, float, float, str]] = []
    liquidations: list[tuple[int, float, float, str]] = []
    book: list[tuple[int, str, list[tuple[float, float]], list[tuple[float, float]]]] = []
    funding: list[tuple[int, float]] = []
    oi: list[tuple[int, float]] = []

    mid = 250.0
    rate = 0.0001
    open_interest = 48_000.0
    bids: dict[float, float] = {}
    asks: dict[float, float] = {}

    def fill_book(changes_b: dict[float, float], changes_a: dict[float, float]) -> None:
        best_bid = _level(mid - LEVEL_STEP / 2 - 0.0001)
        if best_bid >= mid:
            best_bid = round(best_bid - LEVEL_STEP, 2)
        best_ask = round(best_bid + LEVEL_STEP, 2)
        for _side, book_side, changes, sign, best in (
            ("bid", bids, changes_b, -1, best_bid), ("ask", asks, changes_a, 1, best_ask)
        ):
            wanted = {round(best + sign * i * LEVEL_STEP, 2) for i in range(LEVELS_PER_SIDE)}
            for price in list(book_side):
                if price not in wanted:
                    del book_side[price]
                    changes[price] = 0.0
            for price in sorted(wanted):
                if price not in book_side:
                    distance = abs(price - mid)
                    qty = round(0.5 + rng.random() * 3.0 + distance * 0.6, 3)
                    book_side[price] = qty
                    changes[price] = qty

    # Opening snapshot.
    fill_book({}, {})
    book.append((START_MS, "snapshot", sorted(bids.items(), reverse=True), sorted(asks.items())))

    t = START_MS
    next_book = START_MS + 500
    next_funding = START_MS + 5_000
    next_oi = START_MS
    wall_price = _level(247.0)
    while True:
        t += 20 + int(rng.random() * 400)
        if t >= START_MS + DURATION_MS:
            break
        elapsed = t - START_MS
        seconds = (t - (trades[-1][0] if trades else START_MS)) / 1000
        mid += _drift_per_second(elapsed) * seconds * 10 + _normal(rng) * 0.03
        mid = round(mid, 4)

        while next_book <= t:
            changes_b: dict[float, float] = {}
            changes_a: dict[float, float] = {}
            fill_book(changes_b, changes_a)
            for _ in range(6):  # resting orders come and go near the touch
                on_bid = rng.random() < 0.5
                levels, changes = (bids, changes_b) if on_bid else (asks, changes_a)
                touch = max(bids) if on_bid else min(asks)
                price = round(touch + (-1 if on_bid else 1) * int(rng.random() * 20) * LEVEL_STEP, 2)
                qty = round(0.3 + rng.random() * 4.0, 3)
                levels[price] = qty
                changes[price] = qty
            minute = (next_book - START_MS) / 60_000
            if wall_price in bids:  # a bid wall from minute 2, pulled in minute 5
                want = 60.0 if 2.0 <= minute < 5.2 else bids[wall_price] if minute < 2.0 else 1.0
                if bids[wall_price] != want:
                    bids[wall_price] = want
                    changes_b[wall_price] = want
            book.append((next_book, "diff", sorted(changes_b.items(), reverse=True), sorted(changes_a.items())))
            next_book += 500

        buy_share = 0.5 + max(-0.3, min(0.3, _drift_per_second(elapsed) * 25))
        side = "buy" if rng.random() < buy_share else "sell"
        price = round(mid + (0.02 if side == "buy" else -0.02), 2)
        qty = round(0.001 + rng.random() ** 3 * 6.0, 3)
        trades.append((t, price, qty, side))

        minute = elapsed / 60_000
        wave = "long" if 5.0 <= minute < 5.8 else "short" if 7.0 <= minute < 7.6 else None
        chance = 0.12 if wave else 0.004
        if rng.random() < chance:
            liq_side = wave or ("long" if rng.random() < 0.5 else "short")
            liq_qty = round(0.2 + rng.random() * 4.5, 3)
            liquidations.append((t, price, liq_qty, liq_side))
            open_interest -= liq_qty

        while next_funding <= t:
            rate += _normal(rng) * 0.0000015 + _drift_per_second(next_funding - START_MS) * 0.0004
            funding.append((next_funding, round(rate, 8)))
            next_funding += 5_000
        while next_oi <= t:
            open_interest += _normal(rng) * 6.0 + 2.0
            oi.append((next_oi, round(open_interest, 3)))
            next_oi += 15_000

    candles = []
    for start in range(START_MS, START_MS + DURATION_MS, 60_000):
        in_minute = [tr for tr in trades if start <= tr[0] < start + 60_000]
        if in_minute:
            prices = [tr[1] for tr in in_minute]
            volume = round(sum(tr[2] for tr in in_minute), 3)
            candles.append((start, prices[0], max(prices), min(prices), prices[-1], volume))
    return {"candles": candles, "trades": trades, "book": book, "funding": funding, "oi": oi,
            "liquidations": liquidations}


def sample_dataset_json(seed: int = 7) -> str:
    """The sample market as dataset JSON."""
    return dataset_json(**generate_market(seed))


def sample_spec() -> dict[str, Any]:
    """A spec with the four panels, sized for the sample market."""
    return spec_value(
        symbol=SYMBOL,
        dataset_ref="korvel_vorn sample market",
        panels=[
            footprint(price_bin=0.25),
            book_heatmap(price_bin=0.25, bucket_ms=15_000, depth_levels=48),
            liquidation_map(price_bin=0.25),
            funding_oi_divergence(bucket_ms=15_000),
        ],
    )
