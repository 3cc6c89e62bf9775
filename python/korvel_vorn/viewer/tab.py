"""One page (a browser tab or a notebook widget): its messages read and checked, its frames built.

The page sends small JSON messages; the only one that asks for work is
``{"type": "frame", "id": N, "cursor": MS, "settings": {...}}``. A cursor outside the recording is
clamped to it; a setting that cannot be used is answered with an error frame (the page shows it and
keeps its last picture); an unknown message is logged and ignored. Frames come back as binary
messages (`frames.FrameWriter`), each answering the newest request at the time it was computed.
"""

from __future__ import annotations

import dataclasses
import logging
import math
from typing import Any

from ..timefmt import format_duration
from . import frames
from . import venues as venue_split
from .replay_model import SCALES, WHITE_POINTS, ReplayModel, ViewSettings

log = logging.getLogger("korvel_vorn.viewer")

MAX_WINDOW_MS = 7 * 86_400_000
MAX_DEPTH = 5_000
# Choices offered on the page; other values sent by a page are accepted when valid.
WINDOWS_MS = (300_000, 900_000, 3_600_000, 14_400_000, 86_400_000)
BUCKETS_MS = (250, 1_000, 5_000, 10_000, 15_000, 30_000, 60_000)
FOOTPRINT_BUCKETS_MS = (10_000, 30_000, 60_000, 300_000, 900_000)


class BadMessage(ValueError):
    """A message that names a known request with a value that cannot be used; `request_id` is its
    id (so the page knows which request was answered)."""

    def __init__(self, message: str, request_id: int = -1) -> None:
        super().__init__(message)
        self.request_id = request_id


@dataclasses.dataclass(frozen=True)
class FrameRequest:
    id: int
    cursor: int
    settings: ViewSettings


def _positive_int(settings: dict[str, Any], key: str, default: int, limit: int, what: str) -> int:
    value = settings.get(key, default)
    if isinstance(value, bool) or not isinstance(value, int | float) or not math.isfinite(value) or value != int(value):
        raise BadMessage(f"{what} must be a whole number of milliseconds, got {value!r}")
    if not 0 < value <= limit:
        raise BadMessage(f"{what} must lie in 1 ms to {format_duration(limit)}, got {int(value)} ms")
    return int(value)


def read_settings(raw: Any, current: ViewSettings, names: list[str] | None = None) -> ViewSettings:
    """The settings of a message, each checked; what is missing keeps its current value."""
    names = names or []
    if raw is None:
        return current
    if not isinstance(raw, dict):
        raise BadMessage("settings must be an object")
    price_bin = raw.get("price_bin", current.price_bin)
    if isinstance(price_bin, bool) or not isinstance(price_bin, int | float) or not math.isfinite(price_bin) \
            or price_bin <= 0:
        raise BadMessage(f"the price bin must be a positive number, got {price_bin!r}")
    depth = raw.get("depth_levels", current.depth_levels)
    if isinstance(depth, bool) or not isinstance(depth, int) or not 1 <= depth <= MAX_DEPTH:
        raise BadMessage(f"depth levels must be a whole number from 1 to {MAX_DEPTH}, got {depth!r}")
    scale = raw.get("scale", current.scale)
    if scale not in SCALES:
        raise BadMessage(f"colour scale must be one of {', '.join(SCALES)}, got {scale!r}")
    white = raw.get("white_point", current.white_point)
    if white not in WHITE_POINTS:
        raise BadMessage(f"white point must be one of {', '.join(WHITE_POINTS)}, got {white!r}")
    return dataclasses.replace(
        current,
        window_ms=_positive_int(raw, "window_ms", current.window_ms, MAX_WINDOW_MS, "the window"),
        bucket_ms=_positive_int(raw, "bucket_ms", current.bucket_ms, MAX_WINDOW_MS, "the heatmap bucket"),
        footprint_bucket_ms=_positive_int(raw, "footprint_bucket_ms", current.footprint_bucket_ms, MAX_WINDOW_MS,
                                          "the footprint bucket"),
        price_bin=float(price_bin), depth_levels=depth, scale=scale, white_point=white,
        venues=current.venues if "venues" not in raw else _venues(raw["venues"], names))


def _venues(raw: Any, names: list[str]) -> tuple[str, ...]:
    try:
        return venue_split.read_venues(raw, names)
    except ValueError as error:
        raise BadMessage(str(error)) from None


class Tab:
    """The state of one page: its last settings and the footprint's colour limit (kept while it
    changes little, so finished candles keep their colours and the page keeps their bitmaps)."""

    def __init__(self, model: ReplayModel) -> None:
        self.model = model
        self.settings = model.settings
        self.delta_limit = 0.0

    def hello(self) -> dict[str, Any]:
        """The first message to a page: what it needs to lay out its controls."""
        return {"type": "hello", "symbol": self.model.symbol, "bounds": self.model.bounds_now(),
                "settings": dataclasses.asdict(self.settings), "fitted_window_ms": self.model.fitted_window(self.settings),
                "choices": {"window_ms": WINDOWS_MS, "bucket_ms": BUCKETS_MS, "footprint_bucket_ms": FOOTPRINT_BUCKETS_MS,
                            "scale": SCALES, "white_point": WHITE_POINTS},
                "error": self.model.load_error, "live": self.model.live,
                "venues": venue_split.venue_names(self.model.session) if not self.model.live else []}

    def read(self, message: Any) -> FrameRequest | None:
        """A frame request, or None for a message that asks for nothing (logged). Raises
        `BadMessage` for a frame request with a value that cannot be used."""
        if isinstance(message, bytes | bytearray):
            log.warning("ignored a binary message of %d bytes from a page", len(message))
            return None
        import json

        try:
            value = json.loads(message)
        except (ValueError, RecursionError):
            log.warning("ignored a message from a page that is not JSON: %.80r", message)
            return None
        if not isinstance(value, dict) or value.get("type") != "frame":
            log.warning("ignored an unknown message from a page: %.80r", message)
            return None
        request_id = value.get("id", 0)
        if isinstance(request_id, bool) or not isinstance(request_id, int):
            raise BadMessage(f"a frame request's id must be a whole number, got {request_id!r}")
        cursor = value.get("cursor")
        if isinstance(cursor, bool) or not isinstance(cursor, int | float) or not math.isfinite(cursor):
            raise BadMessage(f"the cursor must be a time in milliseconds, got {cursor!r}", request_id)
        try:
            names = [] if self.model.live else venue_split.venue_names(self.model.session)
            self.settings = read_settings(value.get("settings"), self.settings, names)
        except BadMessage as error:
            raise BadMessage(str(error), request_id) from None
        if self.model.live:
            self.model.bounds_now()  # the recording has grown since the last request
        return FrameRequest(request_id, self.model.clamp(int(cursor)), self.settings)

    def error_frame(self, request_id: int, error: BaseException | str) -> bytes:
        writer = frames.FrameWriter()
        writer.header = {"type": "error", "id": request_id, "error": str(error)}
        return writer.bytes()

    def frame(self, request: FrameRequest) -> bytes:
        """The frame message of a request; an engine error for its settings is an error frame."""
        try:
            return self._frame(request)
        except Exception as error:  # the engine's message, on the page; the page lives on
            return self.error_frame(request.id, error)

    def _frame(self, request: FrameRequest) -> bytes:
        view = self.model.compute(request.cursor, request.settings)
        limit = frames.footprint_delta_limit(view.clusters)
        if not (self.delta_limit and 0.8 <= limit / self.delta_limit <= 1.25):
            self.delta_limit = limit
        writer = frames.FrameWriter()
        settings = request.settings
        writer.header = {"type": "frame", "id": request.id, "cursor": view.frame["cursor_ts"],
                         "start": view.start, "end": view.frame["cursor_ts"], "window_ms": view.window_ms,
                         "bounds": view.bounds, "settings": dataclasses.asdict(settings), "notes": view.notes,
                         "symbol": self.model.symbol}
        frames.add_heatmap(writer, view.panel("book_heatmap"), view.scale)
        frames.add_footprint(writer, view.clusters, self.delta_limit)
        frames.add_liquidations(writer, view.panel("liquidation_map"), settings.price_bin, view.start,
                                view.frame["cursor_ts"])
        frames.add_divergence(writer, view.panel("funding_oi_divergence"))
        venue_split.add_split(writer, view.panel("book_heatmap"), view.clusters, view.panel("liquidation_map"))
        return writer.bytes()


__all__ = ["BUCKETS_MS", "WINDOWS_MS", "BadMessage", "FrameRequest", "Tab", "read_settings"]
