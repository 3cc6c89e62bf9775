"""Frames as NumPy arrays: the engine's own values, handed over without JSON text.

A frame is shaped like the decoded JSON frame, ``{"symbol", "cursor_ts", "panels"}``, each panel a
dict with ``kind`` and the members of the JSON panel, with NumPy arrays in place of number lists:

- footprint: ``price_bins``, ``buy_vol``, ``sell_vol`` (float64);
- book heatmap: ``time`` (int64), ``price`` (float64), ``intensity`` (2-D float64, one row per
  time, one column per price, C-contiguous);
- liquidation map: ``events``, a structured array with fields ``ts`` (int64), ``price_bin``,
  ``qty`` (float64) and ``side`` (uint8: 0 long, 1 short);
- funding/OI divergence: ``time`` (int64), ``funding``, ``oi``, ``price`` (float64).

Where the JSON reply writes null, the arrays hold the non-finite value itself. The arrays are
views of the engine's memory (writable, owned by the frame), not copies.
"""

from __future__ import annotations

from typing import Any

import numpy as np

LIQUIDATION_EVENT_DTYPE = np.dtype({
    "names": ["ts", "price_bin", "qty", "side"],
    "formats": ["<i8", "<f8", "<f8", "u1"],
    "offsets": [0, 8, 16, 24],
    "itemsize": 32,
})


def _panel(native: dict[str, Any]) -> dict[str, Any]:
    panel: dict[str, Any] = {}
    for key, value in native.items():
        if key == "kind":
            panel[key] = value
        elif key == "events":
            panel[key] = np.frombuffer(value, dtype=LIQUIDATION_EVENT_DTYPE)
        else:
            panel[key] = np.asarray(value)
    return panel


def frame_from_native(native: tuple[str, int, list[dict[str, Any]]]) -> dict[str, Any]:
    """The frame dict of `Engine.frame`'s (symbol, cursor_ts, panels)."""
    symbol, cursor_ts, panels = native
    return {"symbol": symbol, "cursor_ts": cursor_ts, "panels": [_panel(p) for p in panels]}
