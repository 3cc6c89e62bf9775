"""Reading the engine's replies: typed shapes, and error replies as Python exceptions.

Every reply is JSON text. A failure is the error reply ``{"ok":false,"error":"<kind>: <message>"}``
whose text starts with one of the prefixes "parse: ", "bad spec: " or "data: ". `parse_reply`
returns the decoded reply and, unless told otherwise, raises the matching `VornError` subclass
for an error reply. Floats that the engine wrote as null (non-finite values) come back as None.
"""

from __future__ import annotations

import json
from typing import Any, Literal, TypedDict


class VornError(ValueError):
    """An error reply of the engine (or a construction failure): kind, message and the full text."""

    kind: str = ""

    def __init__(self, display: str) -> None:
        super().__init__(display)
        self.display = display
        prefix = self.kind + ": "
        self.message = display[len(prefix):] if self.kind and display.startswith(prefix) else display


class VornParseError(VornError):
    """Unreadable JSON, or a spec or dataset that cannot be read ("parse: ...")."""

    kind = "parse"


class VornBadSpecError(VornError):
    """A bad command, a missing spec or a spec that fails validation ("bad spec: ...")."""

    kind = "bad spec"


class VornDataError(VornError):
    """A request that needs data while none is loaded ("data: ...")."""

    kind = "data"


_BY_PREFIX: tuple[tuple[str, type[VornError]], ...] = (
    ("parse: ", VornParseError),
    ("bad spec: ", VornBadSpecError),
    ("data: ", VornDataError),
)


def error_from_display(display: str) -> VornError:
    """The exception for an error's display text, chosen by its prefix."""
    for prefix, cls in _BY_PREFIX:
        if display.startswith(prefix):
            return cls(display)
    return VornError(display)


class Bounds(TypedDict):
    from_ts: int
    to_ts: int
    count: int


class FootprintData(TypedDict):
    kind: Literal["footprint"]
    price_bins: list[float | None]
    buy_vol: list[float | None]
    sell_vol: list[float | None]


class BookHeatmapData(TypedDict):
    kind: Literal["book_heatmap"]
    time: list[int]
    price: list[float | None]
    intensity: list[list[float | None]]


class LiquidationMapEvent(TypedDict):
    ts: int
    price_bin: float | None
    qty: float | None
    side: Literal["long", "short"]


class LiquidationMapData(TypedDict):
    kind: Literal["liquidation_map"]
    events: list[LiquidationMapEvent]


class FundingOiDivergenceData(TypedDict):
    kind: Literal["funding_oi_divergence"]
    time: list[int]
    funding: list[float | None]
    oi: list[float | None]
    price: list[float | None]


PanelData = FootprintData | BookHeatmapData | LiquidationMapData | FundingOiDivergenceData


class Frame(TypedDict):
    symbol: str
    cursor_ts: int
    panels: list[PanelData]


def reply_error(reply: Any) -> VornError | None:
    """The exception an error reply stands for, or None for a successful reply.

    `reply` is the reply text or its decoded value.
    """
    value = json.loads(reply) if isinstance(reply, str) else reply
    if isinstance(value, dict) and value.get("ok") is False:
        return error_from_display(str(value.get("error", "")))
    return None


def parse_reply(text: str, *, raise_errors: bool = True) -> Any:
    """Decode a reply; an error reply raises its `VornError` unless `raise_errors` is False."""
    value = json.loads(text)
    if raise_errors:
        error = reply_error(value)
        if error is not None:
            raise error
    return value


__all__ = [
    "BookHeatmapData", "Bounds", "FootprintData", "Frame", "FundingOiDivergenceData", "LiquidationMapData",
    "LiquidationMapEvent", "PanelData", "VornBadSpecError", "VornDataError", "VornError", "VornParseError",
    "error_from_display", "parse_reply", "reply_error",
]
