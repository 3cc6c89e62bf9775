"""What the viewer shows at a cursor, without any page: the frame of the chosen window and settings,
its footprint clusters, the notes on empty panels, and the heatmap's colour scale fixed for a
whole playback."""

from __future__ import annotations

import dataclasses
import threading
from typing import Any

import numpy as np

from ..charts import ChartOptions, HeatmapScale, ScaleBuilder
from ..commands import book_heatmap, footprint, funding_oi_divergence, liquidation_map, spec_value
from ..session import Session
from . import venues as venue_split

# Cursors sampled across the recording to fix the colour scale of a playback.
SCALE_SAMPLES = 24
SCALES = ("linear", "sqrt", "log")
WHITE_POINTS = ("p90", "p97", "p99", "range")


@dataclasses.dataclass(frozen=True)
class ViewSettings:
    """The page's settings: the window before the cursor, the heatmap's bucket, price bin and
    depth, the footprint's bucket, and the heatmap's colour mapping and white point."""

    window_ms: int = 3_600_000
    bucket_ms: int = 1_000
    price_bin: float = 1.0
    depth_levels: int = 40
    footprint_bucket_ms: int = 60_000
    divergence_bucket_ms: int = 60_000
    scale: str = "linear"
    white_point: str = "p97"
    venues: tuple[str, ...] = ()  # of a market over several venues, those switched on (empty: all)

    def spec(self, symbol: str, cursor: int, window_ms: int | None = None) -> dict[str, Any]:
        return spec_value(symbol=symbol, from_ts=cursor - (window_ms or self.window_ms), panels=[
            footprint(price_bin=self.price_bin, bucket_ms=self.footprint_bucket_ms),
            book_heatmap(price_bin=self.price_bin, bucket_ms=self.bucket_ms, depth_levels=self.depth_levels),
            liquidation_map(price_bin=self.price_bin),
            funding_oi_divergence(bucket_ms=self.divergence_bucket_ms),
        ])


@dataclasses.dataclass
class ViewFrame:
    cursor: int
    start: int
    window_ms: int
    bounds: dict[str, Any]
    settings: ViewSettings
    frame: dict[str, Any]
    clusters: dict[str, Any]
    scale: HeatmapScale
    notes: list[str]

    def panel(self, kind: str) -> dict[str, Any]:
        return next(p for p in self.frame["panels"] if p["kind"] == kind)


def initial_settings(spec: dict[str, Any] | None) -> ViewSettings:
    """Settings taken from a spec's panels where it has them."""
    settings = ViewSettings()
    for panel in (spec or {}).get("panels", []):
        if not isinstance(panel, dict):
            continue
        if panel.get("kind") == "book_heatmap":
            settings = dataclasses.replace(settings, price_bin=float(panel.get("price_bin", settings.price_bin)),
                                           bucket_ms=int(panel.get("bucket_ms", settings.bucket_ms)),
                                           depth_levels=int(panel.get("depth_levels", settings.depth_levels)))
        elif panel.get("kind") == "footprint":
            settings = dataclasses.replace(settings,
                                           footprint_bucket_ms=int(panel.get("bucket_ms", settings.footprint_bucket_ms)))
    return settings


class ReplayModel:
    """One loaded session shared by every page; frames of different pages take turns on it.

    `load_error` holds why the session could not be loaded (the pages show it)."""

    live = False
    load_error_live: str | None = None

    def __init__(self, session: Session, symbol: str, settings: ViewSettings, load_error: str | None = None) -> None:
        self.session = session
        self.symbol = symbol
        self.settings = settings
        self.load_error = load_error
        self._lock: Any = threading.Lock()
        self._scales: dict[Any, HeatmapScale] = {}
        self.bounds = self.bounds_now()

    def bounds_now(self) -> dict[str, Any]:
        """The recording's first and last moment (they move while a live recording grows)."""
        if self.load_error is not None:
            return {"from_ts": 0, "to_ts": 0}
        with self._lock:
            try:
                bounds = dict(self.session.bounds())
            except Exception:  # no dataset: nothing to seek in
                return {"from_ts": 0, "to_ts": 0}
        self.bounds = bounds
        return bounds

    def clamp(self, cursor: int) -> int:
        return int(min(max(cursor, self.bounds["from_ts"]), self.bounds["to_ts"]))

    def fitted_window(self, settings: ViewSettings) -> int:
        """The window, shortened to the recording (in whole buckets) when the recording is shorter."""
        span = int(self.bounds["to_ts"]) - int(self.bounds["from_ts"])
        whole = -(-max(span, 1) // settings.bucket_ms) * settings.bucket_ms
        return min(settings.window_ms, whole)

    def _frame(self, cursor: int, settings: ViewSettings, window_ms: int) -> dict[str, Any]:
        self.session.set_spec(settings.spec(self.symbol, cursor, window_ms))
        return venue_split.frame(self.session, cursor, settings.venues)

    def scale_key(self, settings: ViewSettings, window_ms: int) -> Any:
        """What the colour scale depends on (not the footprint's or divergence's buckets)."""
        return dataclasses.replace(settings, footprint_bucket_ms=0, divergence_bucket_ms=0, window_ms=window_ms,
                                   venues=())

    def scale(self, settings: ViewSettings, window_ms: int) -> HeatmapScale:
        """The colour scale of a playback with these settings, from frames across the recording."""
        key = self.scale_key(settings, window_ms)
        if key not in self._scales:
            builder = ScaleBuilder(ChartOptions(heatmap_scale=settings.scale, white_point=settings.white_point))
            lo, hi = self.bounds["from_ts"], self.bounds["to_ts"]
            every_venue = dataclasses.replace(settings, venues=())  # one scale whichever venues are on
            for cursor in np.linspace(lo, hi, SCALE_SAMPLES).astype(np.int64).tolist():
                builder.add(self._frame(int(cursor), every_venue, window_ms))
            self._scales[key] = builder.scale()
        return self._scales[key]

    def compute(self, cursor: int, settings: ViewSettings) -> ViewFrame:
        if self.load_error is not None:
            raise ValueError(f"no market to show: {self.load_error}")
        if self.live:
            self.bounds_now()
            if self.bounds["to_ts"] <= self.bounds["from_ts"]:
                raise ValueError(self.load_error_live or "waiting for the first records of the live market")
        window_ms = self.fitted_window(settings)
        with self._lock:
            scale = self.scale(settings, window_ms)
            frame = self._frame(cursor, settings, window_ms)
            clusters = venue_split.clusters(self.session, cursor, settings.price_bin, settings.footprint_bucket_ms,
                                            settings.venues)
        notes = []
        heatmap = next(p for p in frame["panels"] if p["kind"] == "book_heatmap")
        if heatmap["time"].size == 0 or heatmap["price"].size == 0:
            notes.append("book heatmap: no two-sided book in the window")
        if clusters["time"].size == 0:
            notes.append("footprint: no trades in the window")
        if len(next(p for p in frame["panels"] if p["kind"] == "liquidation_map")["events"]) == 0:
            notes.append("liquidation map: no liquidations in the window")
        if next(p for p in frame["panels"] if p["kind"] == "funding_oi_divergence")["time"].size == 0:
            notes.append("funding/OI divergence: no candles, funding or open interest in the window")
        if self.load_error_live:
            notes.insert(0, self.load_error_live)
        end = int(frame["cursor_ts"])
        return ViewFrame(cursor, end - window_ms, window_ms, dict(self.bounds), settings, frame, clusters, scale, notes)
