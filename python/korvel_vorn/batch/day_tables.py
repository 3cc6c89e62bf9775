"""The three tables of one symbol-day, from its records loaded through the array path.

- ``bars``: one row per bucket from the day's first to its last trade bucket (see `bars`);
- ``footprint``: one row per non-empty (bucket, price bin) cell of `Session.clusters` of the day;
- ``book``: the book replayed natively to each bucket's end (`Engine.book_features`).

Times are bucket starts in integer milliseconds here; the writer turns them into timestamps.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import commands, studies
from ..session import Session
from .params import DAY_MS, TableParams

Columns = dict[str, np.ndarray[Any, Any]]
NAN = float("nan")

BAR_COLUMNS: tuple[str, ...] = (
    "ts", "open", "high", "low", "close", "volume", "buy_volume", "sell_volume", "delta", "cum_delta", "trades",
    "vwap", "poc", "value_area_low", "value_area_high", "liquidated_long", "liquidated_short", "funding_rate",
    "open_interest")
FOOTPRINT_COLUMNS: tuple[str, ...] = ("ts", "price_bin", "buy_volume", "sell_volume")


def book_columns(depths: tuple[int, ...]) -> tuple[str, ...]:
    per_depth = tuple(f"{name}_{k}" for k in depths for name in ("bid_depth", "ask_depth", "imbalance"))
    return ("ts", "best_bid", "best_ask", "mid", "spread", *per_depth)


class DayTables:
    """One day's records in an engine session, and the tables computed from them."""

    def __init__(self, lists: dict[str, Columns], day_start: int, params: TableParams) -> None:
        self.day_start = day_start
        self.params = params
        # Records outside the day are not the day's (a catalog day holds only its own).
        self.lists = {name: self._within_day(cols) for name, cols in lists.items()}
        spec = commands.spec_value(symbol="batch", panels=[commands.footprint(price_bin=params.price_bin,
                                                                               bucket_ms=params.bucket_ms)],
                                   from_ts=day_start, to_ts=day_start + DAY_MS - 1)
        self.session = Session(spec)
        self.session.load_columns(**self.lists)
        trades = self.lists.get("trades")
        ts = trades["ts"] if trades is not None else np.zeros(0, dtype=np.int64)
        b = params.bucket_ms
        if ts.size:
            self.first_bucket = int((ts.min() - day_start) // b)  # the engine sorts the records itself
            self.rows = int((ts.max() - day_start) // b) - self.first_bucket + 1
        else:
            self.first_bucket, self.rows = 0, 0
        self.starts = day_start + (self.first_bucket + np.arange(self.rows, dtype=np.int64)) * b

    def _within_day(self, columns: Columns) -> Columns:
        ts = columns["ts"]
        inside = (ts >= self.day_start) & (ts < self.day_start + DAY_MS)
        if bool(np.all(inside)):
            return columns
        if "bid_count" in columns:  # a ragged book keeps its levels with their events
            bid_keep = np.repeat(inside, columns["bid_count"])
            ask_keep = np.repeat(inside, columns["ask_count"])
            return {name: values[bid_keep if name.startswith("bid_") and name != "bid_count" else
                                 ask_keep if name.startswith("ask_") and name != "ask_count" else inside]
                    for name, values in columns.items()}
        return {name: values[inside] for name, values in columns.items()}

    def _row_of(self, ts: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        return np.asarray((ts - self.day_start) // self.params.bucket_ms - self.first_bucket, dtype=np.int64)

    def clusters(self) -> dict[str, Any]:
        return self.session.clusters(self.day_start + DAY_MS - 1, price_bin=self.params.price_bin,
                                     bucket_ms=self.params.bucket_ms)

    def bars(self, clusters: dict[str, Any] | None = None) -> dict[str, np.ndarray[Any, Any]]:
        """The bars natively (one pass over the trades, the lock released), then the point of
        control and the value area of `korvel_vorn.studies` on the day's clusters."""
        native = self.session.engine.bars(first_start=int(self.starts[0]) if self.rows else self.day_start,
                                          bucket_ms=self.params.bucket_ms, count=self.rows)
        out: dict[str, np.ndarray[Any, Any]] = {name: np.asarray(block) for name, block in native.items()}
        out["ts"] = self.starts
        for name in ("poc", "value_area_low", "value_area_high"):
            out[name] = np.full(self.rows, NAN)
        if clusters is None:
            clusters = self.clusters()
        if len(clusters["time"]):
            cluster_rows = self._row_of(np.asarray(clusters["time"]))
            out["poc"][cluster_rows] = studies.point_of_control(clusters)["bucket"]
            area = studies.value_area(clusters)
            out["value_area_low"][cluster_rows] = area["bucket_low"]
            out["value_area_high"][cluster_rows] = area["bucket_high"]
        return {name: out[name] for name in BAR_COLUMNS}

    def footprint(self, clusters: dict[str, Any] | None = None) -> dict[str, np.ndarray[Any, Any]]:
        if clusters is None:
            clusters = self.clusters()
        buy = np.asarray(clusters["buy_vol"], dtype=np.float64).reshape(len(clusters["time"]), len(clusters["price"]))
        sell = np.asarray(clusters["sell_vol"], dtype=np.float64).reshape(buy.shape)
        row, col = np.nonzero((buy != 0) | (sell != 0))  # row-major: time, then price ascending
        return {"ts": np.asarray(clusters["time"], dtype=np.int64)[row],
                "price_bin": np.asarray(clusters["price"], dtype=np.float64)[col],
                "buy_volume": buy[row, col], "sell_volume": sell[row, col]}

    def has_book(self) -> bool:
        book = self.lists.get("book")
        return book is not None and bool(book["ts"].size)

    def book(self) -> dict[str, np.ndarray[Any, Any]]:
        depths = self.params.depths
        native = self.session.engine.book_features(
            first_end=int(self.day_start + (self.first_bucket + 1) * self.params.bucket_ms),
            bucket_ms=self.params.bucket_ms, count=self.rows, price_bin=self.params.price_bin, depths=tuple(depths))
        out: dict[str, np.ndarray[Any, Any]] = {"ts": self.starts}
        for name in ("best_bid", "best_ask", "mid", "spread"):
            out[name] = np.asarray(native[name])
        matrices = {name: np.asarray(native[name]).reshape(self.rows, len(depths))
                    for name in ("bid_depth", "ask_depth", "imbalance")}
        for d, k in enumerate(depths):
            for name, matrix in matrices.items():
                out[f"{name}_{k}"] = matrix[:, d]
        return out
