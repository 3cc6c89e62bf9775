"""Tables of one instrument over several venues, written under ``exchange=aggregate:E1+E2+...``.

Each venue's day is loaded on its own (`DayTables`); the tables combine them bucket by bucket,
sums in venue order (the first venue is the reference venue):

- ``footprint``: the venues' footprint clusters summed (`CompositeSession.clusters`);
- ``bars``: volumes, deltas, liquidations and trade counts summed; high the highest and low the
  lowest of the venues'; open and close those of the first venue (in order) that traded in the
  bucket; vwap over all the venues' volume; open interest summed and funding weighted by it (the
  plain mean of the venues' rates while it is zero); point of control and value area of the summed
  footprint;
- ``book``: each venue's book replayed on its own; depths summed, imbalance of the sums; best bid,
  best ask, mid and spread of the first venue (in order) with a two-sided book.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import studies
from ..composite import CompositeSession
from .day_input import days, input_files, read_day
from .day_tables import BAR_COLUMNS, NAN, DayTables
from .params import DAY_MS, BatchError, TableParams

PREFIX = "aggregate:"
Columns = dict[str, np.ndarray[Any, Any]]


def aggregate_name(exchanges: list[str]) -> str:
    return PREFIX + "+".join(exchanges)


def venues_of(exchange: str) -> list[str] | None:
    """The venues of an aggregate's name, or None for a single exchange."""
    if not exchange.startswith(PREFIX):
        return None
    names = exchange[len(PREFIX):].split("+")
    if not all(names) or len(set(names)) != len(names):
        raise BatchError(f"bad aggregate {exchange!r}: name each exchange once, joined by '+'")
    return names


def held_days(root: str, exchange: str, symbol: str) -> list[str]:
    """The days the catalog holds of a symbol on an exchange, or on any venue of an aggregate."""
    venues = venues_of(exchange)
    if venues is None:
        return days(root, exchange, symbol)
    return sorted({day for venue in venues for day in days(root, venue, symbol)})


def day_inputs(root: str, exchange: str, symbol: str, day: str) -> list[dict[str, Any]]:
    """The catalog files of a day of an exchange, or of every venue of an aggregate."""
    venues = venues_of(exchange)
    if venues is None:
        return input_files(root, exchange, symbol, day)
    return [f for venue in venues for f in input_files(root, venue, symbol, day)]


def _first(values: list[np.ndarray[Any, Any]]) -> np.ndarray[Any, Any]:
    """Per row, the first venue's value that is not NaN."""
    out = np.full(values[0].shape, NAN)
    for value in values:
        out = np.where(np.isnan(out), value, out)
    return out


def _sum(values: list[np.ndarray[Any, Any]]) -> np.ndarray[Any, Any]:
    """Per row, the venues' values added in venue order, NaN ones left out (NaN when all are)."""
    total = np.full(values[0].shape, -0.0)
    seen = np.zeros(values[0].shape, dtype=bool)
    for value in values:
        present = ~np.isnan(value)
        total = np.where(present, total + value, total)
        seen |= present
    return np.where(seen, total, NAN)


class AggregateDayTables:
    """One day of several venues, each in its own session, and the combined tables."""

    def __init__(self, venues: list[tuple[str, dict[str, Columns]]], day_start: int, params: TableParams) -> None:
        self.day_start = day_start
        self.params = params
        self.venues = [(name, DayTables(lists, day_start, params)) for name, lists in venues]
        traded = [t for _, t in self.venues if t.rows]
        b = params.bucket_ms
        if traded:
            self.first_bucket = min(t.first_bucket for t in traded)
            self.rows = max(t.first_bucket + t.rows for t in traded) - self.first_bucket
        else:
            self.first_bucket, self.rows = 0, 0
        self.starts = day_start + (self.first_bucket + np.arange(self.rows, dtype=np.int64)) * b

    def clusters(self) -> dict[str, Any]:
        composite = CompositeSession()
        for name, tables in self.venues:
            composite.add_venue(name, "batch", tables.session)
        return composite.clusters(self.day_start + DAY_MS - 1, price_bin=self.params.price_bin,
                                  bucket_ms=self.params.bucket_ms)

    def bars(self, clusters: dict[str, Any] | None = None) -> Columns:
        first_start = int(self.starts[0]) if self.rows else self.day_start
        parts = [{k: np.asarray(v) for k, v in t.session.engine.bars(first_start=first_start,
                                                                     bucket_ms=self.params.bucket_ms,
                                                                     count=self.rows).items()}
                 for _, t in self.venues]
        out: Columns = {"ts": self.starts}
        for name in ("volume", "buy_volume", "sell_volume", "delta", "cum_delta", "liquidated_long",
                     "liquidated_short"):
            out[name] = _sum([p[name] for p in parts])
        out["trades"] = np.sum([p["trades"] for p in parts], axis=0).astype(np.int64)
        out["open"] = _first([p["open"] for p in parts])
        out["close"] = _first([p["close"] for p in parts])
        with np.errstate(invalid="ignore", all="ignore"):
            out["high"] = np.fmax.reduce([p["high"] for p in parts])
            out["low"] = np.fmin.reduce([p["low"] for p in parts])
            turnover = _sum([p["vwap"] * p["volume"] for p in parts])
            out["vwap"] = np.where(out["volume"] > 0, turnover / out["volume"], NAN)
            oi = _sum([p["open_interest"] for p in parts])
            weighted = _sum([p["funding_rate"] * p["open_interest"] for p in parts])
            rated = np.sum([~np.isnan(p["funding_rate"]) for p in parts], axis=0)
            mean = _sum([p["funding_rate"] for p in parts]) / np.maximum(rated, 1)
            out["open_interest"] = oi
            out["funding_rate"] = np.where(np.isnan(oi) | (oi == 0), mean, weighted / oi)
        for name in ("poc", "value_area_low", "value_area_high"):
            out[name] = np.full(self.rows, NAN)
        if clusters is None:
            clusters = self.clusters()
        if len(clusters["time"]):
            rows = np.asarray((np.asarray(clusters["time"]) - self.day_start) // self.params.bucket_ms
                              - self.first_bucket, dtype=np.int64)
            out["poc"][rows] = studies.point_of_control(clusters)["bucket"]
            area = studies.value_area(clusters)
            out["value_area_low"][rows] = area["bucket_low"]
            out["value_area_high"][rows] = area["bucket_high"]
        return {name: out[name] for name in BAR_COLUMNS}

    def footprint(self, clusters: dict[str, Any] | None = None) -> Columns:
        return self.venues[0][1].footprint(self.clusters() if clusters is None else clusters)

    def has_book(self) -> bool:
        return any(t.has_book() for _, t in self.venues)

    def book(self) -> Columns:
        depths = self.params.depths
        parts = []
        for _, t in self.venues:
            native = t.session.engine.book_features(
                first_end=int(self.day_start + (self.first_bucket + 1) * self.params.bucket_ms),
                bucket_ms=self.params.bucket_ms, count=self.rows, price_bin=self.params.price_bin,
                depths=tuple(depths))
            parts.append({k: np.asarray(v).reshape(self.rows, -1) if k in ("bid_depth", "ask_depth", "imbalance")
                          else np.asarray(v) for k, v in native.items()})
        out: Columns = {"ts": self.starts}
        two_sided = [~np.isnan(p["mid"]) for p in parts]
        for name in ("best_bid", "best_ask", "mid", "spread"):
            out[name] = _first([np.where(sided, p[name], NAN) for p, sided in zip(parts, two_sided)])
        for d, k in enumerate(depths):
            bids = _sum([p["bid_depth"][:, d] for p in parts])
            asks = _sum([p["ask_depth"][:, d] for p in parts])
            total = bids + asks
            with np.errstate(invalid="ignore", divide="ignore"):
                out[f"bid_depth_{k}"] = bids
                out[f"ask_depth_{k}"] = asks
                out[f"imbalance_{k}"] = np.where(total != 0, (bids - asks) / total, NAN)
        return out


def aggregate_day(catalog: str, venues: list[str], symbol: str, day: str, day_start: int, params: TableParams,
                  notes: list[str]) -> tuple[list[dict[str, Any]], AggregateDayTables]:
    """The manifest inputs of the venues' day and their combined tables; a venue without records
    that day is named in `notes` and left out."""
    inputs: list[dict[str, Any]] = []
    loaded = []
    for venue in venues:
        files = input_files(catalog, venue, symbol, day)
        if not files:
            notes.append(f"{symbol} {day}: {venue} has nothing in the catalog, left out of the aggregate")
            continue
        inputs += files
        loaded.append((venue, read_day(catalog, venue, symbol, day)))
    if not loaded:
        raise BatchError(f"the catalog {catalog} holds nothing of {symbol} on {', '.join(venues)} for {day}")
    if not any(f["path"].startswith("trades/") for f in inputs):
        notes.append(f"{symbol} {day}: no trades in the catalog, the tables have no rows")
    try:
        return inputs, AggregateDayTables(loaded, day_start, params)
    except ValueError as error:
        raise BatchError(f"bad records: {error}") from None
