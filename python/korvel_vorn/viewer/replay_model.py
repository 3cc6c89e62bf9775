"""What the viewer shows at a cursor, without any page: the frame of the chosen window and settings,
its footprint clusters, the notes on empty panels, and the heatmap's colour scale of a playback
(`running_scale.RunningScale`: taken from the frames shown)."""

from __future__ import annotations

import dataclasses
import threading
from typing import Any

import numpy as np
import numpy.typing as npt

from ..charts import HeatmapScale
from ..commands import book_heatmap, footprint, funding_oi_divergence, liquidation_map, spec_value
from ..session import Session
from . import venues as venue_split
from .running_scale import RunningScale

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
        self._scales: dict[Any, RunningScale] = {}
        self.bounds = self.bounds_now()

    def bounds_now(self) -> dict[str, Any]:
        """The recording's first and last moment (they move while a live recording grows)."""
        if self.load_error is not None:
            return {"from_ts": 0, "to_ts": 0}
        if not self.live and getattr(self, "bounds", None) is not None:
            return dict(self.bounds)  # a loaded recording does not move
        # Called on the server's event loop too: while a long frame holds the session, the last
        # bounds read do (the loop must stay free to serve and to stop).
        if not self._lock.acquire(timeout=0.05):
            return dict(getattr(self, "bounds", None) or {"from_ts": 0, "to_ts": 0})
        try:
            bounds = dict(self.session.bounds())
        except Exception:  # no dataset: nothing to seek in
            return {"from_ts": 0, "to_ts": 0}
        finally:
            self._lock.release()
        self.bounds = bounds
        return bounds

    def clamp(self, cursor: int) -> int:
        return int(min(max(cursor, self.bounds["from_ts"]), self.bounds["to_ts"]))

    def fitted_window(self, settings: ViewSettings) -> int:
        """The window, shortened to the recording (in whole buckets) when the recording is shorter."""
        span = int(self.bounds["to_ts"]) - int(self.bounds["from_ts"])
        whole = -(-max(span, 1) // settings.bucket_ms) * settings.bucket_ms
        return min(settings.window_ms, whole)

    def _frame(self, cursor: int, settings: ViewSettings, window_ms: int, detail: bool) -> dict[str, Any]:
        # Only "from_ts" moves while a tab plays: the engine can carry its work from frame to frame.
        self.session.set_spec(settings.spec(self.symbol, cursor, window_ms))
        return venue_split.frame(self.session, cursor, settings.venues, detail)

    def scale_key(self, settings: ViewSettings, window_ms: int) -> Any:
        """What the colour scale depends on (not the footprint's or divergence's buckets, nor the
        depth, which follows the market, nor which venues are on: one scale whichever are)."""
        return dataclasses.replace(settings, footprint_bucket_ms=0, divergence_bucket_ms=0, window_ms=window_ms,
                                   depth_levels=0, venues=())

    def running_scale(self, settings: ViewSettings, window_ms: int) -> RunningScale:
        """The colour scale of a playback with these settings, moved by the frames it shows."""
        key = self.scale_key(settings, window_ms)
        found = self._scales.get(key)
        if found is None:
            found = self._scales[key] = RunningScale(settings.scale, settings.white_point)
        return found

    def last_prices(self, times: npt.NDArray[np.int64], bucket_ms: int) -> npt.NDArray[np.float64]:
        """The last traded price at the end of each heatmap row (NaN before the first trade of the
        first row): the frame's own needs the bid/ask detail, which costs the engine twice as much."""
        if times.size == 0:
            return np.zeros(0)
        bars = self.session.engine.bars(first_start=int(times[0]), bucket_ms=bucket_ms, count=int(times.size))
        close = np.asarray(bars["close"], dtype=np.float64)
        traded = np.isfinite(close)
        last = np.maximum.accumulate(np.where(traded, np.arange(close.size), 0))
        out = close[last]
        out[:np.argmax(traded) if traded.any() else close.size] = np.nan
        return out

    def compute(self, cursor: int, settings: ViewSettings, detail: bool = False) -> ViewFrame:
        """The frame at `cursor`; with `detail` the heatmap holds each cell's bid and ask part and
        the rows' mid (what hover shows), else its sides are told apart by the last traded price."""
        if self.load_error is not None:
            raise ValueError(f"no market to show: {self.load_error}")
        if self.live:
            self.bounds_now()
            if self.bounds["to_ts"] <= self.bounds["from_ts"]:
                raise ValueError(self.load_error_live or "waiting for the first records of the live market")
        window_ms = self.fitted_window(settings)
        # Several venues: every frame carries the detail, which holds each venue's part for hover.
        detail = detail or self.session.composite is not None
        with self._lock:
            frame = self._frame(cursor, settings, window_ms, detail)
            clusters = venue_split.clusters(self.session, cursor, settings.price_bin, settings.footprint_bucket_ms,
                                            settings.venues)
            heatmap = next(p for p in frame["panels"] if p["kind"] == "book_heatmap")
            if not detail:
                heatmap["last_price"] = self.last_prices(heatmap["time"], settings.bucket_ms)
        intensity = np.asarray(heatmap["intensity"], dtype=np.float64).ravel()
        scale = self.running_scale(settings, window_ms).update(intensity[intensity > 0])
        notes = []
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
