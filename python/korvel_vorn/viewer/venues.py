"""The viewer over several venues: which venues are switched on, their aggregate frame, and each
venue's share of the cells under the mouse (the page's hover shows the split).

A session of one venue passes through unchanged; only a session loaded with several exchanges
(`Session.composite`) has venues to switch.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from ..session import Session


def venue_names(session: Session) -> list[str]:
    """The session's venues, the reference first (empty for a single venue)."""
    return [] if session.composite is None else session.composite.exchanges


def read_venues(raw: Any, names: list[str]) -> tuple[str, ...]:
    """The venues a page switched on: a list of the session's names, at least one (empty: all)."""
    if raw is None:
        return ()
    if not isinstance(raw, list) or not all(isinstance(name, str) for name in raw):
        raise ValueError("venues must be a list of exchange names")
    unknown = [name for name in raw if name not in names]
    if unknown:
        raise ValueError(f"unknown venue {unknown[0]!r}: the market holds {', '.join(names) or 'one venue'}")
    if names and not raw:
        raise ValueError("switch on at least one venue")
    return tuple(name for name in names if name in raw)


def frame(session: Session, cursor: int, venues: tuple[str, ...]) -> dict[str, Any]:
    if session.composite is None:
        return session.frame_arrays(cursor, detail=True)
    return session.composite.frame_arrays(cursor, detail=True, venues=venues or None)


def clusters(session: Session, cursor: int, price_bin: float, bucket_ms: int, venues: tuple[str, ...]) -> dict[str, Any]:
    if session.composite is None:
        return session.clusters(cursor, price_bin=price_bin, bucket_ms=bucket_ms)
    return session.composite.clusters(cursor, price_bin=price_bin, bucket_ms=bucket_ms, venues=venues or None,
                                      detail=True)


def add_split(writer: Any, heatmap: Mapping[str, Any], footprint: Mapping[str, Any],
              liquidations: Mapping[str, Any] | None = None) -> None:
    """Each venue's part of the heatmap cells and footprint cells the page holds (in the order of
    hm_cells and of fp_rows/fp_cols), as hm_v<i> and fp_v<i>_buy / fp_v<i>_sell, and each
    liquidation's venue (lq_venue, a position in the header's "venues", which names them).
    Nothing for a single venue."""
    by_venue = heatmap.get("venues")
    split = footprint.get("by_venue")
    if not by_venue or split is None:
        return
    names = list(by_venue)
    writer.header["venues"] = names
    times, prices = np.asarray(heatmap["time"]), np.asarray(heatmap["price"])
    bids = np.asarray(heatmap["bid_intensity"], dtype=np.float64).ravel()
    asks = np.asarray(heatmap["ask_intensity"], dtype=np.float64).ravel()
    cells = np.flatnonzero(np.fmax(bids, asks) > 0)
    fp_buy = np.asarray(footprint["buy_vol"], dtype=np.float64)
    rows, cols = np.nonzero((fp_buy + np.asarray(footprint["sell_vol"], dtype=np.float64)) > 0)
    for i, name in enumerate(names):
        own = np.asarray(by_venue[name]["intensity"], dtype=np.float64).reshape(times.size * prices.size)
        writer.add(f"hm_v{i}", "f4", np.nan_to_num(own.take(cells), nan=0.0))
        part = split[name]
        writer.add(f"fp_v{i}_buy", "f4", part["buy_vol"][rows, cols])
        writer.add(f"fp_v{i}_sell", "f4", part["sell_vol"][rows, cols])
    if liquidations is not None and "venue" in liquidations:
        shown = np.isfinite(np.asarray(liquidations["events"]["price_bin"], dtype=np.float64))  # as the page's
        writer.add("lq_venue", "u1", np.asarray(liquidations["venue"])[shown])
