"""Candles derived from trades: open, high, low, close and volume of fixed time buckets.

A bucket starts at a multiple of its length since the epoch. Prices are the trades' own text
(the first trade's price opens, the first trade at the extreme gives high and low); the volume is
the exact decimal sum of the quantities, written with as many decimals as the most precise
quantity (the float sum of values with few decimals is far closer than half a unit of the last
decimal, so rounding it gives the exact sum).
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np

from .store import Chunk

CandleRecord = tuple[int, str, str, str, str, str]
TRADE_FIELDS = ("price", "qty", "price_decimals", "qty_decimals")


def _text(value: float, places: int) -> str:
    return repr(float(value)) if places == 255 else f"{value:.{places}f}"


@dataclass
class _Bucket:
    start: int
    open: str
    high: float
    high_text: str
    low: float
    low_text: str
    close: str
    volume: float
    volume_places: int


def derive_candles(trades: Iterable[Chunk], bucket_ms: int, first_ms: int, last_ms: int) -> list[CandleRecord]:
    """Candles of `bucket_ms` from trade chunks in time order, keeping only the buckets wholly
    inside [first_ms, last_ms] (the recording's span)."""
    candles: list[CandleRecord] = []
    current: _Bucket | None = None

    def close(bucket: _Bucket) -> None:
        if bucket.start >= first_ms and bucket.start + bucket_ms - 1 <= last_ms:
            candles.append((bucket.start, bucket.open, bucket.high_text, bucket.low_text, bucket.close,
                            _text(bucket.volume, bucket.volume_places)))

    for chunk in trades:
        ts, price, qty = chunk["ts"], chunk["price"], chunk["qty"]
        places_p, places_q = chunk["price_decimals"], chunk["qty_decimals"]
        starts = ts // bucket_ms * bucket_ms
        edges = np.flatnonzero(np.diff(starts)) + 1
        for a, b in zip(np.concatenate([[0], edges]).tolist(), np.concatenate([edges, [len(ts)]]).tolist()):
            start = int(starts[a])
            p = price[a:b]
            hi, lo = int(np.argmax(p)), int(np.argmin(p))
            volume, places = float(qty[a:b].sum()), int(places_q[a:b].max())
            last = _text(p[-1], int(places_p[b - 1]))
            if current is not None and current.start == start:
                if p[hi] > current.high:
                    current.high, current.high_text = float(p[hi]), _text(p[hi], int(places_p[a + hi]))
                if p[lo] < current.low:
                    current.low, current.low_text = float(p[lo]), _text(p[lo], int(places_p[a + lo]))
                current.close = last
                current.volume += volume
                current.volume_places = max(current.volume_places, places)
                continue
            if current is not None:
                close(current)
            current = _Bucket(start, _text(p[0], int(places_p[a])), float(p[hi]), _text(p[hi], int(places_p[a + hi])),
                              float(p[lo]), _text(p[lo], int(places_p[a + lo])), last, volume, places)
    if current is not None:
        close(current)
    return candles
