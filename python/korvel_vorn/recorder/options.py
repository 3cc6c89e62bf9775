"""How a recording runs: timings that tests shorten, and the trade stream chosen."""

from __future__ import annotations

import random
from dataclasses import dataclass


@dataclass
class RecordOptions:
    every_trade: bool = False  # Binance: @trade (every fill) instead of @aggTrade
    oi_every: float = 10.0  # seconds between open interest polls (Binance)
    silence: float = 30.0  # a connection without a message this long is replaced
    max_age: float = 23 * 3600.0  # a connection this old is replaced by an overlapping one
    overlap: float = 5.0  # seconds both connections run while one replaces the other
    backoff_first: float = 1.0  # first reconnect delay; doubles up to backoff_cap, with jitter
    backoff_cap: float = 60.0
    snapshot_interval: float = 1.0  # least time between two depth snapshots of one symbol
    flush_every: float = 0.5  # seconds between flushes of every file (at most 1 s is lost)
    rest_timeout: float = 10.0
    close_timeout: float = 0.5  # for the closing handshake when stopping

    def backoff(self, attempt: int) -> float:
        """The delay before reconnect number `attempt` (0 for the first): exponential, capped,
        with jitter that never takes it below half its step."""
        step = min(self.backoff_cap, self.backoff_first * 2.0 ** min(attempt, 30))
        return step * random.uniform(0.5, 1.0)
