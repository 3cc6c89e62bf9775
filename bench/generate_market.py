#!/usr/bin/env python3
"""Deterministic generator of synthetic perpetual-futures markets for the benchmarks.

A preset fixes the length of the recording and the number of records of each kind; a seed fixes
every random draw, so one (preset, seed) pair always gives the same text byte for byte (with the
same NumPy release). The output is the text of a complete "load" command whose dataset uses the
object form of every record, shaped like an exchange recording:

- a mid price that follows a random walk on a 100 ms grid, with a volatility regime per minute;
- trades in bursts (sweeps of one side, many sharing a millisecond) at the touch of that mid;
- a book of diffs of a few levels each near the touch, which also remove the levels that the
  moving mid has crossed, with a full snapshot every few thousand diffs that shares its
  timestamp with the diff after it;
- one-minute candles and one open-interest print per minute, funding every 8 hours, and
  liquidations in clusters during the steepest minutes.

Prices are whole ticks of 0.1 and quantities whole thousandths, written as fixed decimals the way
an exchange sends them, so every number in the text reads back exactly.

Usage: generate_market.py --preset day --seed 1 --output day.load.json
"""

from __future__ import annotations

import argparse
import bisect
import dataclasses
import math
import pathlib
import sys
import time

import numpy as np

MINUTE_MS = 60_000
HOUR_MS = 3_600_000
FUNDING_INTERVAL_MS = 8 * HOUR_MS
PATH_STEP_MS = 100  # resolution of the simulated mid price

SYMBOL = "BTCUSDT"
START_TS = 1_709_251_200_000  # 2024-03-01 00:00:00 UTC, a funding settlement
START_PRICE_TICKS = 620_000  # 62000.0 in ticks of 0.1
START_OI_MILLI = 80_000_000  # 80000.000 contracts


@dataclasses.dataclass(frozen=True)
class Preset:
    name: str
    duration_ms: int
    trades: int
    diffs: int
    snapshot_every: int  # diffs between two full snapshots
    snapshot_levels: int  # levels per side in a snapshot
    liquidations: int

    @property
    def minutes(self) -> int:
        return self.duration_ms // MINUTE_MS

    @property
    def snapshots(self) -> int:
        return -(-self.diffs // self.snapshot_every)

    @property
    def funding(self) -> int:
        return -(-self.duration_ms // FUNDING_INTERVAL_MS)

    def expected_counts(self) -> dict[str, int]:
        """The number of records of each list that `generate` writes."""
        return {
            "candles": self.minutes,
            "trades": self.trades,
            "book": self.diffs + self.snapshots,
            "funding": self.funding,
            "oi": self.minutes,
            "liquidations": self.liquidations,
        }


PRESETS = {
    p.name: p
    for p in (
        Preset("tiny", 10 * MINUTE_MS, 3_000, 600, 200, 100, 60),
        Preset("hour", HOUR_MS, 83_333, 16_667, 3_000, 100, 833),
        Preset("six_hours", 6 * HOUR_MS, 500_000, 100_000, 3_000, 100, 5_000),
        Preset("day", 24 * HOUR_MS, 2_000_000, 400_000, 3_000, 100, 20_000),
    )
}


def _split_total(rng: np.random.Generator, total: int, mean: float) -> np.ndarray:
    """Geometric group sizes (at least 1) that add up to exactly `total`."""
    if total == 0:
        return np.zeros(0, dtype=np.int64)
    sizes = rng.geometric(1.0 / mean, size=int(total / mean * 1.5) + 16).astype(np.int64)
    while sizes.sum() < total:
        sizes = np.concatenate([sizes, rng.geometric(1.0 / mean, size=sizes.size).astype(np.int64)])
    ends = np.cumsum(sizes)
    n = int(np.searchsorted(ends, total)) + 1
    sizes = sizes[:n].copy()
    sizes[-1] -= int(ends[n - 1]) - total
    return sizes


def _group_offsets(rng: np.random.Generator, sizes: np.ndarray, gap_ms: float, same_ms: float) -> np.ndarray:
    """Millisecond offsets of each member from the start of its group: exponential gaps, a share
    `same_ms` of them zero (members printed in the same millisecond)."""
    n = int(sizes.sum())
    gaps = np.rint(rng.exponential(gap_ms, size=n)).astype(np.int64)
    gaps[rng.random(n) < same_ms] = 0
    starts = np.cumsum(sizes) - sizes
    gaps[starts] = 0  # the first member of a group opens it
    run = np.cumsum(gaps)
    return run - np.repeat(run[starts], sizes)


class _Market:
    """The random path and activity that every list of one recording is drawn from."""

    def __init__(self, preset: Preset, rng: np.random.Generator):
        self.preset = preset
        minutes = max(preset.minutes, 1)
        steps_per_minute = MINUTE_MS // PATH_STEP_MS
        # Volatility regime per minute; trading activity follows it and a daily cycle.
        self.regime = np.exp(rng.normal(0.0, 0.5, size=minutes))
        cycle = 1.0 + 0.5 * np.sin(np.arange(minutes) * (2 * math.pi / 1440) - 1.0)
        self.activity = self.regime * cycle
        step_sigma = np.repeat(self.regime, steps_per_minute) * 3.0  # ticks per 100 ms
        moves = np.rint(rng.normal(0.0, 1.0, size=step_sigma.size) * step_sigma).astype(np.int64)
        self.path = START_PRICE_TICKS + np.cumsum(moves)  # bid touch per 100 ms step
        per_minute = self.path.reshape(minutes, steps_per_minute)
        self.minute_open = per_minute[:, 0]
        self.minute_close = per_minute[:, -1]
        self.minute_high = per_minute.max(axis=1) + 1
        self.minute_low = per_minute.min(axis=1)

    def bid_touch(self, offsets_ms: np.ndarray) -> np.ndarray:
        return self.path[offsets_ms // PATH_STEP_MS]

    def times(self, rng: np.random.Generator, n: int, weights: np.ndarray) -> np.ndarray:
        """n sorted offsets from the start, spread over the minutes in proportion to `weights`."""
        minute = rng.choice(weights.size, size=n, p=weights / weights.sum())
        offsets = minute * MINUTE_MS + rng.integers(0, MINUTE_MS, size=n)
        offsets.sort()
        return offsets


def _decimal_ticks(ticks: np.ndarray) -> tuple[list[int], list[int]]:
    return (ticks // 10).tolist(), (ticks % 10).tolist()


def _decimal_milli(milli: np.ndarray) -> tuple[list[int], list[int]]:
    return (milli // 1000).tolist(), (milli % 1000).tolist()


def _lognormal_milli(rng: np.random.Generator, median: float, sigma: float, n: int, cap: int) -> np.ndarray:
    return np.clip(np.rint(rng.lognormal(math.log(median), sigma, size=n)), 1, cap).astype(np.int64)


def _trades(preset: Preset, market: _Market, rng: np.random.Generator) -> tuple[str, np.ndarray]:
    """The trades text, and the traded quantity per minute in thousandths for the candles."""
    sizes = _split_total(rng, preset.trades, 8.0)
    burst_at = market.times(rng, sizes.size, market.activity)
    burst_sell = rng.random(sizes.size) < 0.5
    member = np.arange(preset.trades) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    offsets = np.repeat(burst_at, sizes) + _group_offsets(rng, sizes, 4.0, 0.5)
    offsets = np.minimum(offsets, preset.duration_ms - 1)
    sell = np.repeat(burst_sell, sizes) ^ (rng.random(preset.trades) < 0.15)
    sweep = member // 3  # a sweep walks the book one tick every few prints
    touch = market.bid_touch(offsets)
    price = np.where(sell, touch - sweep, touch + 1 + sweep)
    qty = _lognormal_milli(rng, 6.0, 1.6, preset.trades, 50_000)
    order = np.argsort(offsets, kind="stable")
    ts = (START_TS + offsets[order]).tolist()
    p_int, p_frac = _decimal_ticks(price[order])
    q_int, q_frac = _decimal_milli(qty[order])
    side = np.array(["buy", "sell"])[sell[order].astype(np.int64)].tolist()
    form = '{"ts":%d,"price":%d.%d,"qty":%d.%03d,"side":"%s"}'
    volume = np.zeros(max(preset.minutes, 1), dtype=np.int64)
    np.add.at(volume, offsets // MINUTE_MS, qty)
    return ",".join(map(form.__mod__, zip(ts, p_int, p_frac, q_int, q_frac, side))), volume


def _book(preset: Preset, market: _Market, rng: np.random.Generator) -> str:
    """Replays a simple order book and writes each snapshot and diff as it happens."""
    n = preset.diffs
    offsets = market.times(rng, n, market.activity)
    touch = market.bid_touch(offsets).tolist()
    ts = (START_TS + offsets).tolist()
    updates = (1 + rng.poisson(1.5, size=n)).tolist()
    pool = int(sum(updates))
    up_ask = (rng.random(pool) < 0.5).tolist()
    up_dist = (rng.geometric(1 / 40.0, size=pool) - 1).tolist()  # ticks from the touch
    up_remove = (rng.random(pool) < 0.3).tolist()
    up_qty = _lognormal_milli(rng, 500.0, 1.2, pool, 200_000).tolist()
    touch_qty = _lognormal_milli(rng, 500.0, 1.2, 2 * n, 200_000).tolist()
    snap_gap = (1 + rng.integers(0, 3, size=preset.snapshots * preset.snapshot_levels * 2)).tolist()
    snap_qty = _lognormal_milli(rng, 800.0, 1.2, len(snap_gap), 200_000).tolist()

    def level(p: int, q: int) -> str:
        return "[%d.%d,%d.%03d]" % (p // 10, p % 10, q // 1000, q % 1000)

    bids: dict[int, int] = {}
    asks: dict[int, int] = {}
    bid_keys: list[int] = []  # ascending bid prices: the best bid is last
    ask_keys: list[int] = []  # ascending negated ask prices: the best ask is last
    out: list[str] = []
    u = 0
    g = 0
    for i in range(n):
        bid_top = touch[i]
        ask_top = bid_top + 1
        if i % preset.snapshot_every == 0:
            bids.clear()
            asks.clear()
            bid_keys.clear()
            ask_keys.clear()
            bid_text = []
            ask_text = []
            p_bid, p_ask = bid_top, ask_top
            for _ in range(preset.snapshot_levels):
                bids[p_bid] = snap_qty[g]
                bid_keys.append(p_bid)
                bid_text.append(level(p_bid, snap_qty[g]))
                asks[p_ask] = snap_qty[g + 1]
                ask_keys.append(-p_ask)
                ask_text.append(level(p_ask, snap_qty[g + 1]))
                p_bid -= snap_gap[g]
                p_ask += snap_gap[g + 1]
                g += 2
            bid_keys.reverse()
            ask_keys.reverse()
            out.append('{"ts":%d,"kind":"snapshot","bids":[%s],"asks":[%s]}' % (ts[i], ",".join(bid_text), ",".join(ask_text)))
        bid_text = []
        ask_text = []
        # Levels that the moving mid has crossed are removed first.
        while bid_keys and bid_keys[-1] >= ask_top:
            p = bid_keys.pop()
            del bids[p]
            bid_text.append(level(p, 0))
        while ask_keys and -ask_keys[-1] <= bid_top:
            p = -ask_keys.pop()
            del asks[p]
            ask_text.append(level(p, 0))
        for _ in range(updates[i]):
            if up_ask[u]:
                side, keys, text, p, key = asks, ask_keys, ask_text, ask_top + up_dist[u], -(ask_top + up_dist[u])
            else:
                side, keys, text, p, key = bids, bid_keys, bid_text, bid_top - up_dist[u], bid_top - up_dist[u]
            if p in side and up_remove[u]:
                del side[p]
                keys.pop(bisect.bisect_left(keys, key))
                text.append(level(p, 0))
            else:
                if p not in side:
                    bisect.insort(keys, key)
                side[p] = up_qty[u]
                text.append(level(p, up_qty[u]))
            u += 1
        # Liquidity returns at the touch when a move has swept the levels near it.
        if not bid_keys or bid_keys[-1] < bid_top - 2:
            bids[bid_top] = touch_qty[2 * i]
            bisect.insort(bid_keys, bid_top)
            bid_text.append(level(bid_top, touch_qty[2 * i]))
        if not ask_keys or -ask_keys[-1] > ask_top + 2:
            asks[ask_top] = touch_qty[2 * i + 1]
            bisect.insort(ask_keys, -ask_top)
            ask_text.append(level(ask_top, touch_qty[2 * i + 1]))
        out.append('{"ts":%d,"kind":"diff","bids":[%s],"asks":[%s]}' % (ts[i], ",".join(bid_text), ",".join(ask_text)))
    return ",".join(out)


def _candles(preset: Preset, market: _Market, trade_volume: np.ndarray) -> str:
    ts = (START_TS + np.arange(preset.minutes, dtype=np.int64) * MINUTE_MS).tolist()
    cols = []
    for ticks in (market.minute_open, market.minute_high, market.minute_low, market.minute_close):
        cols.extend(_decimal_ticks(ticks[: preset.minutes]))
    cols.extend(_decimal_milli(trade_volume[: preset.minutes]))
    form = '{"ts":%d,"open":%d.%d,"high":%d.%d,"low":%d.%d,"close":%d.%d,"volume":%d.%03d}'
    return ",".join(map(form.__mod__, zip(ts, *cols)))


def _funding(preset: Preset, rng: np.random.Generator) -> str:
    ts = START_TS + np.arange(preset.funding, dtype=np.int64) * FUNDING_INTERVAL_MS
    rate = 0.0001 + rng.normal(0.0, 0.00003, size=ts.size)
    return ",".join('{"ts":%d,"rate":%.8f}' % (t, r) for t, r in zip(ts.tolist(), rate.tolist()))


def _open_interest(preset: Preset, rng: np.random.Generator) -> str:
    ts = (START_TS + np.arange(preset.minutes, dtype=np.int64) * MINUTE_MS).tolist()
    oi = START_OI_MILLI + np.cumsum(np.rint(rng.normal(0.0, 20_000.0, size=preset.minutes)).astype(np.int64))
    o_int, o_frac = _decimal_milli(oi)
    return ",".join(map('{"ts":%d,"oi":%d.%03d}'.__mod__, zip(ts, o_int, o_frac)))


def _liquidations(preset: Preset, market: _Market, rng: np.random.Generator) -> str:
    if preset.liquidations == 0:
        return ""
    sizes = _split_total(rng, preset.liquidations, 40.0)
    move = (market.minute_close - market.minute_open).astype(np.float64)
    weights = move * move + 1.0  # clusters gather in the steepest minutes
    minute = rng.choice(weights.size, size=sizes.size, p=weights / weights.sum())
    cluster_at = minute * MINUTE_MS + rng.integers(0, MINUTE_MS, size=sizes.size)
    offsets = np.repeat(cluster_at, sizes) + _group_offsets(rng, sizes, 250.0, 0.1)
    offsets = np.minimum(offsets, preset.duration_ms - 1)
    # A falling minute liquidates longs, a rising one shorts; a few go the other way.
    short = np.repeat(move[minute] > 0, sizes) ^ (rng.random(offsets.size) < 0.1)
    touch = market.bid_touch(offsets)
    depth = rng.geometric(1 / 5.0, size=offsets.size)
    price = np.where(short, touch + depth, touch + 1 - depth)
    qty = _lognormal_milli(rng, 50.0, 1.5, offsets.size, 500_000)
    order = np.argsort(offsets, kind="stable")
    ts = (START_TS + offsets[order]).tolist()
    p_int, p_frac = _decimal_ticks(price[order])
    q_int, q_frac = _decimal_milli(qty[order])
    side = np.array(["long", "short"])[short[order].astype(np.int64)].tolist()
    form = '{"ts":%d,"price":%d.%d,"qty":%d.%03d,"side":"%s"}'
    return ",".join(map(form.__mod__, zip(ts, p_int, p_frac, q_int, q_frac, side)))


def generate(preset: Preset | str, seed: int = 1) -> str:
    """The text of a "load" command holding the synthetic market of `preset` for `seed`."""
    if isinstance(preset, str):
        preset = PRESETS[preset]
    rng = np.random.default_rng([seed, 0x6B76])
    market = _Market(preset, rng)
    # Each list draws from a stream of its own, so changing one list leaves the others as they were.
    streams = rng.spawn(5)
    trades, volume = _trades(preset, market, streams[0])
    parts = [
        '{"cmd":"load","dataset":{"candles":[',
        _candles(preset, market, volume),
        '],"trades":[',
        trades,
        '],"book":[',
        _book(preset, market, streams[1]),
        '],"funding":[',
        _funding(preset, streams[2]),
        '],"oi":[',
        _open_interest(preset, streams[3]),
        '],"liquidations":[',
        _liquidations(preset, market, streams[4]),
        "]}}",
    ]
    return "".join(parts)


def write(preset: Preset | str, seed: int, path: pathlib.Path) -> int:
    """Writes the load command text to `path`; returns its size in bytes."""
    text = generate(preset, seed)
    data = text.encode("ascii")
    path.write_bytes(data)
    return len(data)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--preset", choices=sorted(PRESETS), default="hour")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", "-o", type=pathlib.Path, required=True)
    args = parser.parse_args(argv)
    started = time.perf_counter()
    size = write(args.preset, args.seed, args.output)
    seconds = time.perf_counter() - started
    print(f"{args.output}: preset {args.preset}, seed {args.seed}, {size / 1e6:.1f} MB in {seconds:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
