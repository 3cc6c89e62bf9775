"""One viewer frame as one self-contained binary message.

Layout: the 4 bytes ``VRN1``, a little-endian uint32 header length, the header (UTF-8 JSON: cursor,
window, shapes, scales, notes and where each array lies), then the arrays, each starting at a
multiple of 8 bytes from the message's start so the page reads them as typed arrays in place.

The arrays (little-endian; "cells" are row-major time by price):
- heatmap: ``hm_codes`` (uint8 per cell: 0 empty, 1-127 a bid, 129-255 an ask, the colour of its
  size on the playback's scale; with the bid/ask detail the larger side decides, without it the
  row's last traded price splits bids from asks), ``hm_cells`` (uint32 indices of the non-empty
  cells, ascending) with their sizes: ``hm_bid`` and ``hm_ask`` with the detail, else ``hm_size``
  on the side of the code (float32, what hover shows),
  ``hm_times`` (float64 ms), ``hm_prices`` (float64 lower edges), ``hm_last`` and ``hm_mid``
  (float32 per row; the mid only with the detail);
- footprint: ``fp_times``, ``fp_prices`` (float64), the traded cells packed as ``fp_rows``,
  ``fp_cols`` (uint16), ``fp_buy``, ``fp_sell`` (float32) and ``fp_flags`` (uint8: 1 buy
  imbalance, 2 sell imbalance), and per candle ``fp_poc``, ``fp_va_low``, ``fp_va_high`` (float64);
- liquidation map: ``lq_codes`` (uint8 image of ``lq_columns`` x ``lq_rows``: 1-127 longs,
  129-255 shorts by liquidated size) and the events ``lq_ts`` (float64), ``lq_price`` (float64),
  ``lq_qty`` (float32), ``lq_side`` (uint8: 0 long, 1 short);
- divergence: ``dv_times`` (float64), ``dv_price``, ``dv_funding``, ``dv_oi`` (float32, NaN where
  no record exists yet).
"""

from __future__ import annotations

import json
import math
import struct
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from ..charts import HeatmapScale
from .footprint_marks import footprint_marks

MAGIC = b"VRN1"
SIDE_LEVELS = 126  # colour steps per side: codes 1..127 (bids, longs) and 129..255 (asks, shorts)
ASK_BASE = 128
LIQUIDATION_COLUMNS = 120  # the liquidation map's time columns across the window
LIQUIDATION_MAX_ROWS = 400
DTYPES = {"u1": np.uint8, "u2": np.uint16, "u4": np.uint32, "f4": np.float32, "f8": np.float64}


def scale_fraction(values: npt.NDArray[np.float64], scale: HeatmapScale) -> npt.NDArray[np.float64]:
    """Positive sizes as their place in [0, 1] on the colour scale (clipped at the white point)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        if scale.transform == "log":
            span = math.log(scale.vmax / scale.vmin) or 1.0
            t = np.log(np.maximum(values, scale.vmin) / scale.vmin) / span
        elif scale.transform == "sqrt":
            t = np.sqrt(values / scale.vmax)
        else:
            t = values / scale.vmax
    return np.asarray(np.clip(t, 0.0, 1.0), dtype=np.float64)


def side_codes(fraction: npt.NDArray[np.float64], second_side: npt.NDArray[np.bool_]) -> npt.NDArray[np.uint8]:
    """Colour codes: 1 + 126 x fraction, plus 128 for the second side (asks, shorts)."""
    codes = 1 + np.rint(fraction * SIDE_LEVELS)
    return np.asarray(codes + ASK_BASE * second_side, dtype=np.uint8)


class FrameWriter:
    """Collects a header and arrays, then writes the message."""

    def __init__(self) -> None:
        self.header: dict[str, Any] = {}
        self._arrays: list[tuple[str, str, npt.NDArray[Any]]] = []

    def add(self, name: str, dtype: str, values: Any) -> None:
        self._arrays.append((name, dtype, np.ascontiguousarray(values, dtype=DTYPES[dtype]).ravel()))

    def bytes(self) -> bytearray:
        # Offsets depend on the header's length, which depends on the offsets: lay the arrays out
        # after a header padded to a fixed allowance, grown until it fits.
        allowance = 1024
        while True:
            offset = 8 + allowance
            table: dict[str, tuple[str, int, int]] = {}
            for name, dtype, values in self._arrays:
                table[name] = (dtype, offset, int(values.size))
                offset += -(-values.nbytes // 8) * 8
            text = json.dumps({**self.header, "arrays": table}, separators=(",", ":"), allow_nan=False).encode()
            if len(text) <= allowance:
                break
            allowance = -(-len(text) // 1024) * 1024
        out = bytearray(offset)
        out[0:8] = MAGIC + struct.pack("<I", len(text))
        out[8:8 + len(text)] = text
        out[8 + len(text):8 + allowance] = b" " * (allowance - len(text))
        target = np.frombuffer(out, dtype=np.uint8)
        for name, _dtype, values in self._arrays:
            start = table[name][1]
            target[start:start + values.nbytes] = values.view(np.uint8)  # one copy, into place
        return out


def read_frame(message: bytes | bytearray) -> tuple[dict[str, Any], dict[str, npt.NDArray[Any]]]:
    """The header and arrays of a message (what the page reads; for tests and benchmarks)."""
    if message[:4] != MAGIC:
        raise ValueError("not a viewer frame")
    (length,) = struct.unpack("<I", message[4:8])
    header = json.loads(message[8:8 + length])
    arrays = {name: np.frombuffer(message, dtype=DTYPES[dtype], count=count, offset=offset)
              for name, (dtype, offset, count) in header.pop("arrays").items()}
    return header, arrays


def _leading_zeros_as_nan(values: Any) -> npt.NDArray[np.float64]:
    out = np.array(values, dtype=np.float64)
    nonzero = np.flatnonzero(out != 0.0)
    out[: nonzero[0] if nonzero.size else out.size] = np.nan
    return out


def ask_columns(prices: npt.NDArray[np.float64], split: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """Per row, the first column at or above the row's split price (asks rest from there up); the
    grid's middle where a row has no split (before the first trade)."""
    middle = prices.size // 2
    found = np.searchsorted(prices, np.nan_to_num(split, nan=np.inf), side="left")
    return np.where(np.isfinite(split), found, middle).astype(np.int64)


def add_heatmap(writer: FrameWriter, panel: Mapping[str, Any], scale: HeatmapScale) -> None:
    """The heatmap's cells. With the engine's bid/ask detail the larger side of a cell decides its
    colour and hover shows both sizes exactly; without it (every playing frame: the detail costs
    the engine twice as much) a cell at or above its row's last traded price is an ask, below it a
    bid, and its whole size is given (``hm_size``)."""
    times = np.asarray(panel["time"], dtype=np.int64)
    prices = np.asarray(panel["price"], dtype=np.float64)
    rows, columns = times.size, prices.size
    detail = "bid_intensity" in panel
    if detail:
        flat_bids = np.asarray(panel["bid_intensity"], dtype=np.float64).ravel()
        flat_asks = np.asarray(panel["ask_intensity"], dtype=np.float64).ravel()
        # fmax passes over a side without size (NaN).
        larger = np.fmax(flat_bids, flat_asks)
        cells = np.flatnonzero(larger > 0)
        bid_sizes = np.nan_to_num(flat_bids.take(cells), nan=0.0)
        ask_sizes = np.nan_to_num(flat_asks.take(cells), nan=0.0)
        sizes = larger.take(cells)
        second = ask_sizes > bid_sizes
    else:
        grid = np.asarray(panel["intensity"], dtype=np.float64).reshape(rows, columns)
        split = np.asarray(panel.get("last_price", np.full(rows, np.nan)), dtype=np.float64)
        first_ask = ask_columns(prices, split) if columns else np.zeros(rows, dtype=np.int64)
        # On the grid, row by row (no per-cell index arithmetic): asks from each row's split up.
        second_grid = np.arange(columns)[None, :] >= first_ask[:, None]
        flat = grid.ravel()
        cells = np.flatnonzero(flat > 0)
        sizes = flat.take(cells)
        second = second_grid.ravel().take(cells)
    codes = np.zeros(rows * columns, dtype=np.uint8)
    codes[cells] = side_codes(scale_fraction(sizes, scale), second)
    writer.header["heatmap"] = {"rows": int(rows), "columns": int(columns), "transform": scale.transform,
                                "vmin": scale.vmin, "vmax": scale.vmax, "white_point": scale.white_point,
                                "detail": detail}
    writer.add("hm_codes", "u1", codes)
    writer.add("hm_cells", "u4", cells)
    if detail:
        writer.add("hm_bid", "f4", bid_sizes)
        writer.add("hm_ask", "f4", ask_sizes)
    else:  # the side is the code's
        writer.add("hm_size", "f4", sizes)
    writer.add("hm_times", "f8", times)
    writer.add("hm_prices", "f8", prices)
    writer.add("hm_last", "f4", panel.get("last_price", np.full(rows, np.nan)))
    writer.add("hm_mid", "f4", panel.get("mid", np.full(rows, np.nan)))


def add_footprint(writer: FrameWriter, clusters: Mapping[str, Any], delta_limit: float) -> None:
    times = np.asarray(clusters["time"], dtype=np.int64)
    prices = np.asarray(clusters["price"], dtype=np.float64)
    buy = np.asarray(clusters["buy_vol"], dtype=np.float64).reshape(times.size, prices.size)
    sell = np.asarray(clusters["sell_vol"], dtype=np.float64).reshape(times.size, prices.size)
    rows, cols = np.nonzero((buy + sell) > 0)
    flags = np.zeros(rows.size, dtype=np.uint8)
    poc = va_low = va_high = np.full(times.size, np.nan)
    if times.size and prices.size:
        marks = footprint_marks(clusters)
        flags = marks["buy"][rows, cols].astype(np.uint8) | (marks["sell"][rows, cols].astype(np.uint8) << 1)
        poc, va_low, va_high = marks["poc"], marks["va_low"], marks["va_high"]
    writer.header["footprint"] = {"candles": int(times.size), "bins": int(prices.size), "cells": int(rows.size),
                                  "bucket_ms": int(clusters["bucket_ms"]), "price_bin": float(clusters["price_bin"]),
                                  "delta_limit": delta_limit}
    writer.add("fp_times", "f8", times)
    writer.add("fp_prices", "f8", prices)
    writer.add("fp_rows", "u2", rows)
    writer.add("fp_cols", "u2", cols)
    writer.add("fp_buy", "f4", buy[rows, cols])
    writer.add("fp_sell", "f4", sell[rows, cols])
    writer.add("fp_flags", "u1", flags)
    writer.add("fp_poc", "f8", poc)
    writer.add("fp_va_low", "f8", va_low)
    writer.add("fp_va_high", "f8", va_high)


def footprint_delta_limit(clusters: Mapping[str, Any]) -> float:
    """The colour limit of the cells' delta: the 95th percentile of |delta| (one huge cell must not
    wash every other cell out)."""
    buy = np.asarray(clusters["buy_vol"], dtype=np.float64)
    sell = np.asarray(clusters["sell_vol"], dtype=np.float64)
    traded = np.abs((buy - sell)[(buy + sell) > 0])
    limit = float(np.percentile(traded, 95)) if traded.size else 1.0
    return limit if limit > 0 else float(traded.max(initial=0.0)) or 1.0


def add_liquidations(writer: FrameWriter, panel: Mapping[str, Any], price_bin: float, start: int, end: int) -> None:
    events = panel["events"]
    ts = np.asarray(events["ts"], dtype=np.float64)
    price = np.asarray(events["price_bin"], dtype=np.float64)
    qty = np.abs(np.nan_to_num(np.asarray(events["qty"], dtype=np.float64)))
    side = np.asarray(events["side"], dtype=np.uint8)
    keep = np.isfinite(price)
    ts, price, qty, side = ts[keep], price[keep], qty[keep], side[keep]
    columns = LIQUIDATION_COLUMNS
    span = max(1, end - start)
    if price.size:
        low = math.floor(float(price.min()) / price_bin) * price_bin
        bins = round((float(price.max()) - low) / price_bin) + 1
        merge = max(1, -(-bins // LIQUIDATION_MAX_ROWS))
        row_height = price_bin * merge
        rows = -(-bins // merge)
        col = np.clip(((ts - start) * columns / span).astype(np.int64), 0, columns - 1)
        row = np.clip(((price - low) / row_height + 1e-9).astype(np.int64), 0, rows - 1)
        longs = np.zeros(rows * columns)
        shorts = np.zeros(rows * columns)
        np.add.at(longs, row * columns + col, np.where(side == 0, qty, 0.0))
        np.add.at(shorts, row * columns + col, np.where(side == 1, qty, 0.0))
        top = max(float(longs.max()), float(shorts.max())) or 1.0
        use_short = shorts > longs
        size = np.where(use_short, shorts, longs)
        codes = np.where(size > 0, side_codes(np.sqrt(size / top), use_short), 0).astype(np.uint8)
    else:
        low, row_height, rows, top = 0.0, price_bin, 0, 1.0
        codes = np.zeros(0, dtype=np.uint8)
    writer.header["liquidations"] = {"events": int(ts.size), "columns": columns, "rows": int(rows), "low": low,
                                     "row_height": row_height, "start": start, "end": end, "top": top}
    writer.add("lq_codes", "u1", codes)
    writer.add("lq_ts", "f8", ts)
    writer.add("lq_price", "f8", price)
    writer.add("lq_qty", "f4", qty)
    writer.add("lq_side", "u1", side)


def add_divergence(writer: FrameWriter, panel: Mapping[str, Any]) -> None:
    times = np.asarray(panel["time"], dtype=np.int64)
    writer.header["divergence"] = {"rows": int(times.size)}
    writer.add("dv_times", "f8", times)
    writer.add("dv_price", "f4", _leading_zeros_as_nan(panel["price"]))
    writer.add("dv_funding", "f4", panel["funding"])
    writer.add("dv_oi", "f4", _leading_zeros_as_nan(panel["oi"]))


__all__ = ["MAGIC", "FrameWriter", "add_divergence", "add_footprint", "add_heatmap", "add_liquidations",
           "ask_columns", "footprint_delta_limit", "read_frame", "scale_fraction", "side_codes"]
