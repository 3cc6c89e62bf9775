"""`CompositeSession`: one instrument over several venues, each venue its own single-venue session.

A venue's book, trades and funding never mix with another's inside the engine: each venue is a
`Session` of its own, and a frame of the composite is the venues' frames at one cursor, each
computed on its own (the book heatmaps all on the grid of one mid) and then aggregated by
`panels`. The first venue is the reference venue; `frame_arrays(venues=...)` leaves venues out
(the first one left in is then the reference).
"""

from __future__ import annotations

import dataclasses
import json
import math
from collections.abc import Iterable
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from .. import commands
from ..dataset import timestamp_ms
from ..frame_arrays import frame_from_native
from ..replies import error_from_display
from .arithmetic import from_order_keys, minus_zeros, order_keys, round8
from .panels import aggregate_footprint, aggregate_funding_oi, aggregate_heatmap, aggregate_liquidations

DEFAULT_BUCKET_MS = 60_000


class VenueSession(Protocol):
    """What a composite needs of a venue's session (a `korvel_vorn.Session` has it all)."""

    engine: Any

    def bounds(self) -> Any: ...
    def list_bounds(self) -> dict[str, dict[str, Any]]: ...
    def set_spec(self, spec: Any) -> None: ...
    def clusters(self, ts: Any = None, *, price_bin: float, bucket_ms: int) -> dict[str, Any]: ...


@dataclasses.dataclass
class Venue:
    """One venue of a composite: its exchange, symbol, session and funding times (ascending)."""

    exchange: str
    symbol: str
    session: VenueSession
    funding_ts: npt.NDArray[np.int64]
    first_ts: int
    last_ts: int

    def first_funding(self, from_ts: int | None, end: int) -> int | None:
        """The ts of the first funding record in the window [from_ts, end], or None."""
        at = 0 if from_ts is None else int(np.searchsorted(self.funding_ts, from_ts, side="left"))
        if at < len(self.funding_ts) and int(self.funding_ts[at]) <= end:
            return int(self.funding_ts[at])
        return None


class CompositeSession:
    """Several venues of one instrument, answering `frame_arrays`, `clusters`, `bounds` and
    `set_spec` as a `Session` does, with aggregated panels."""

    def __init__(self, spec: Any = None) -> None:
        self._spec_text = commands.spec_text(spec)
        self.venues: list[Venue] = []

    @property
    def exchanges(self) -> list[str]:
        return [venue.exchange for venue in self.venues]

    def add_venue(self, exchange: str, symbol: str, session: VenueSession, funding_ts: Any = None) -> None:
        """Add a loaded single-venue session (its spec is replaced by the composite's)."""
        if exchange in self.exchanges:
            raise ValueError(f"venue {exchange} is already in the composite")
        bounds = session.bounds()
        if self._spec_text:
            session.set_spec(self._spec_text)
        times = np.sort(np.asarray(funding_ts if funding_ts is not None else [], dtype=np.int64))
        self.venues.append(Venue(exchange, symbol, session, times, int(bounds["from_ts"]), int(bounds["to_ts"])))

    def set_spec(self, spec: Any) -> None:
        text = commands.spec_text(spec)
        for venue in self.venues:
            venue.session.set_spec(text)
        self._spec_text = text

    def _spec(self) -> dict[str, Any]:
        return commands.spec_mapping(json.loads(self._spec_text)) if self._spec_text else {}

    def active(self, venues: Iterable[str] | None = None) -> list[Venue]:
        """The venues switched on, in load order (all when `venues` is None)."""
        if not self.venues:
            raise error_from_display("data: no dataset")
        if venues is None:
            return list(self.venues)
        wanted = list(venues)
        unknown = [name for name in wanted if name not in self.exchanges]
        if unknown:
            raise ValueError(f"unknown venue {unknown[0]!r}: the composite holds {', '.join(self.exchanges)}")
        chosen = [venue for venue in self.venues if venue.exchange in wanted]
        if not chosen:
            raise ValueError("no venue switched on")
        return chosen

    def bounds(self) -> dict[str, int]:
        if not self.venues:
            raise error_from_display("data: no dataset")
        return {"from_ts": min(v.first_ts for v in self.venues), "to_ts": max(v.last_ts for v in self.venues),
                "count": sum(int(v.session.bounds()["count"]) for v in self.venues)}

    def list_bounds(self) -> dict[str, dict[str, Any]]:
        """Per list, over the venues: the record count and the first and last ts (None when empty)."""
        merged: dict[str, dict[str, Any]] = {}
        for venue in self.venues:
            for name, bounds in venue.session.list_bounds().items():
                into = merged.setdefault(name, {"count": 0, "from_ts": None, "to_ts": None})
                into["count"] += bounds["count"]
                for key, pick in (("from_ts", min), ("to_ts", max)):
                    if bounds[key] is not None:
                        into[key] = bounds[key] if into[key] is None else pick(into[key], bounds[key])
        return merged

    def cursor(self, ts: Any) -> int:
        """The cursor of a frame: `ts`, or the spec's to_ts, or the latest ts of any venue."""
        if ts is not None:
            return timestamp_ms(ts)
        to_ts = self._spec().get("to_ts")
        return int(to_ts) if isinstance(to_ts, int) else max(v.last_ts for v in self.venues)

    def venue_frames(self, ts: Any = None, detail: bool = False,
                     venues: Iterable[str] | None = None) -> tuple[list[Venue], list[dict[str, Any]]]:
        """Each active venue's own frame at one cursor, every book heatmap centred on the mid of the
        first venue (in order) whose closing book has both sides."""
        active = self.active(venues)
        cursor = self.cursor(ts)
        spec = self._spec()
        has_heatmap = any(p.get("kind") == "book_heatmap" for p in spec.get("panels", []))
        frames: list[dict[str, Any]] = []
        mid = math.nan
        for venue in active:
            frames.append(_frame(venue.session, cursor, detail, mid if has_heatmap else None))
            if has_heatmap and math.isnan(mid):
                mid = _grid_mid(frames[-1])
        # Venues computed before the mid was known had their own (empty) grid: again on the mid,
        # when their book may have events in the window.
        finder = next((i for i, f in enumerate(frames) if not math.isnan(_grid_mid(f))), 0) if has_heatmap else 0
        from_ts = spec.get("from_ts")
        end = int(frames[0]["cursor_ts"]) if frames else cursor
        for i in range(finder):
            bounds = active[i].session.list_bounds()["book"]
            if bounds["count"] and bounds["from_ts"] <= end and (from_ts is None or bounds["to_ts"] >= from_ts):
                frames[i] = _frame(active[i].session, cursor, detail, mid)
        return active, frames

    def frame_arrays(self, ts: Any = None, detail: bool = False, venues: Iterable[str] | None = None) -> dict[str, Any]:
        """The aggregated frame (`korvel_vorn.composite.panels` defines each panel), shaped as
        `Session.frame_arrays`'s, with "venues" (the active exchanges, the reference first). With
        `detail`, each panel also holds "venues": per exchange its part on the common bins, grid
        or buckets, and the liquidation map "venue": each event's position in "venues"."""
        active, frames = self.venue_frames(ts, detail, venues)
        spec = self._spec()
        params = spec.get("panels", [])
        panels = []
        first_funding: list[int | None] | None = None
        for i, reference in enumerate(frames[0]["panels"]):
            kind = reference["kind"]
            parts = [frame["panels"][i] for frame in frames]
            bucket_ms = int(params[i].get("bucket_ms", DEFAULT_BUCKET_MS)) if i < len(params) else DEFAULT_BUCKET_MS
            by_venue: Any
            if kind == "footprint":
                panel, by_venue = aggregate_footprint(parts)
            elif kind == "book_heatmap":
                panel, by_venue = aggregate_heatmap(parts, bucket_ms)
            elif kind == "liquidation_map":
                panel, positions = aggregate_liquidations(parts)
                by_venue = [{"events": part["events"]} for part in parts]
                if detail:
                    panel["venue"] = positions
            else:
                if first_funding is None:
                    end = int(frames[0]["cursor_ts"])
                    from_ts = spec.get("from_ts")
                    first_funding = [v.first_funding(from_ts if isinstance(from_ts, int) else None, end)
                                     for v in active]
                panel, by_venue = aggregate_funding_oi(parts, bucket_ms, first_funding)
            if detail:
                panel["venues"] = {venue.exchange: part for venue, part in zip(active, by_venue)}
            panels.append(panel)
        return {"symbol": frames[0]["symbol"], "cursor_ts": frames[0]["cursor_ts"], "panels": panels,
                "venues": [venue.exchange for venue in active]}

    def clusters(self, ts: Any = None, *, price_bin: float, bucket_ms: int, venues: Iterable[str] | None = None,
                 detail: bool = False) -> dict[str, Any]:
        """The venues' footprint clusters summed: the union of their buckets and bins, each cell
        round8 of the venues' values added in venue order (plus zero where no venue has both the
        bucket and the bin). With `detail`, "by_venue" holds per exchange its clusters on the common
        axes (plus zero where it has no trade), a clusters dict of its own: the studies
        (`korvel_vorn.studies`) take it as they take the aggregate."""
        active = self.active(venues)
        cursor = self.cursor(ts)
        parts = [v.session.clusters(cursor, price_bin=price_bin, bucket_ms=bucket_ms) for v in active]
        times = np.unique(np.concatenate([p["time"] for p in parts]).astype(np.int64))
        keys = np.unique(np.concatenate([order_keys(p["price"]) for p in parts]))
        shape = (len(times), len(keys))
        sums = {"buy_vol": minus_zeros(shape), "sell_vol": minus_zeros(shape)}
        covered = np.zeros(shape, dtype=bool)
        by_venue: dict[str, dict[str, Any]] = {}
        for venue, part in zip(active, parts):
            cells = np.ix_(np.searchsorted(times, part["time"]), np.searchsorted(keys, order_keys(part["price"])))
            covered[cells] = True
            own: dict[str, Any] = {}
            for name, total in sums.items():
                total[cells] += part[name]
                laid = np.zeros(shape)
                laid[cells] = part[name]
                own[name] = laid
            by_venue[venue.exchange] = own
        out: dict[str, Any] = {"time": times, "price": from_order_keys(keys).copy()}
        for own in by_venue.values():
            own.update(time=out["time"], price=out["price"], cursor_ts=parts[0]["cursor_ts"],
                       price_bin=float(price_bin), bucket_ms=int(bucket_ms))
        for name, total in sums.items():
            out[name] = np.where(covered, round8(total), 0.0)
        out.update(cursor_ts=parts[0]["cursor_ts"], price_bin=float(price_bin), bucket_ms=int(bucket_ms),
                   venues=[v.exchange for v in active])
        if detail:
            out["by_venue"] = by_venue
        return out


def _frame(session: VenueSession, cursor: int, detail: bool, grid_mid: float | None) -> dict[str, Any]:
    try:
        native = session.engine.frame(cursor, detail=detail, grid_mid=grid_mid)
    except ValueError as error:
        raise error_from_display(str(error)) from None
    return frame_from_native(native)


def _grid_mid(frame: dict[str, Any]) -> float:
    for panel in frame["panels"]:
        if panel["kind"] == "book_heatmap":
            return float(panel["grid_mid"])
    return math.nan
