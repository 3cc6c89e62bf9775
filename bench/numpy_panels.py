"""The four chart panels computed with NumPy: the baseline the engine is measured against.

This is what a quant developer would write instead of using the engine: the dataset is turned
once into sorted column arrays (`Market`), and a frame is cut from them with binary searches and
computed with array operations, vectorised wherever the algorithm allows it. It follows the same
arithmetic as the engine to the bit (8-decimal rounding with halves away from zero, floor
binning, sums in a defined order, totalOrder on price keys), so its results can be compared
with the engine's frame replies value for value.

Frames come back as plain dicts of the reply's shape, holding NumPy arrays instead of lists.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

_HALF_BELOW = 0.49999999999999994  # the largest double below one half
_HALF_MAX = 8.988465674311579e307  # half the largest finite double
_EMPTY_F = np.zeros(0, dtype=np.float64)
_EMPTY_I = np.zeros(0, dtype=np.int64)


def round8(x):
    """Rounds to 8 decimals, halves away from zero; keeps the sign of zero, NaN and infinities."""
    y = np.multiply(x, 1e8)
    return np.trunc(y + np.copysign(_HALF_BELOW, y)) / 1e8


def bin_price(p, w: float):
    """The lower edge of the price bin of width w that holds p."""
    return round8(np.floor(np.divide(p, w)) * w)


def total_order_key(x: np.ndarray) -> np.ndarray:
    """Signed 64-bit keys that order doubles by IEEE 754 totalOrder (-0.0 before 0.0, NaNs at the
    ends by sign) and are equal exactly when the bit patterns are."""
    bits = np.ascontiguousarray(x, dtype=np.float64).view(np.int64)
    return bits ^ ((bits >> 63) & np.int64(0x7FFFFFFFFFFFFFFF))


def _f64(values) -> np.ndarray:
    return np.array(values, dtype=np.float64) if len(values) else _EMPTY_F.copy()


def _i64(values) -> np.ndarray:
    return np.array(values, dtype=np.int64) if len(values) else _EMPTY_I.copy()


class Market:
    """A dataset as column arrays, each list stably sorted by ts like the engine's prepared data.

    `dataset` is the decoded "dataset" value of a load command in the object form of records."""

    def __init__(self, dataset: dict[str, Any]):
        def sorted_columns(records, fields):
            ts = _i64([r["ts"] for r in records])
            order = np.argsort(ts, kind="stable")
            cols = {"ts": ts[order]}
            for name, convert in fields.items():
                cols[name] = convert([r[name] for r in records])[order]
            return cols

        side_is = lambda word: lambda values: np.array([v == word for v in values], dtype=bool)  # noqa: E731
        self.trades = sorted_columns(dataset.get("trades", []), {"price": _f64, "qty": _f64, "side": side_is("sell")})
        self.candles = sorted_columns(dataset.get("candles", []), {"close": _f64})
        self.funding = sorted_columns(dataset.get("funding", []), {"rate": _f64})
        self.oi = sorted_columns(dataset.get("oi", []), {"oi": _f64})
        self.liquidations = sorted_columns(
            dataset.get("liquidations", []), {"price": _f64, "qty": _f64, "side": side_is("short")}
        )

        # Book: one row per event; all levels in one pool, each event's bids then its asks.
        book = dataset.get("book", [])
        ts = _i64([e["ts"] for e in book])
        bid_count = _i64([len(e["bids"]) for e in book])
        ask_count = _i64([len(e["asks"]) for e in book])
        levels = [lv for e in book for lv in e["bids"] + e["asks"]]
        first = np.cumsum(bid_count + ask_count) - (bid_count + ask_count)
        order = np.argsort(ts, kind="stable")
        self.book = {
            "ts": ts[order],
            "snapshot": np.array([e["kind"] == "snapshot" for e in book], dtype=bool)[order],
            "first": first[order],
            "bids": bid_count[order],
            "asks": ask_count[order],
        }
        self.level_price = _f64([lv[0] for lv in levels])
        self.level_qty = _f64([lv[1] for lv in levels])

    def bounds(self) -> tuple[int, int, int] | None:
        lists = [self.trades, self.candles, self.funding, self.oi, self.liquidations, self.book]
        present = [c["ts"] for c in lists if c["ts"].size]
        if not present:
            return None
        return (
            int(min(t[0] for t in present)),
            int(max(t[-1] for t in present)),
            sum(c["ts"].size for c in lists),
        )


def _window(cols: dict[str, np.ndarray], lo_ts: int | None, end: int) -> dict[str, np.ndarray]:
    ts = cols["ts"]
    lo = 0 if lo_ts is None else int(np.searchsorted(ts, lo_ts, "left"))
    hi = int(np.searchsorted(ts, end, "right"))
    return {k: v[lo:hi] for k, v in cols.items()}


def footprint(trades: dict[str, np.ndarray], w: float) -> dict[str, Any]:
    if trades["ts"].size == 0:
        return {"kind": "footprint", "price_bins": _EMPTY_F, "buy_vol": _EMPTY_F, "sell_vol": _EMPTY_F}
    keys = bin_price(trades["price"], w)
    _, first, slot = np.unique(total_order_key(keys), return_index=True, return_inverse=True)
    qty, sell = trades["qty"], trades["side"]
    # bincount adds in array order from +0.0; adding +0.0 for the other side leaves a sum unchanged.
    buy = np.bincount(slot, weights=np.where(sell, 0.0, qty), minlength=first.size)
    sold = np.bincount(slot, weights=np.where(sell, qty, 0.0), minlength=first.size)
    return {"kind": "footprint", "price_bins": round8(keys[first]), "buy_vol": round8(buy), "sell_vol": round8(sold)}


def _last_per_price(price: np.ndarray, qty: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct prices (by bit pattern, ascending by totalOrder) and the last qty written to each."""
    if price.size == 0:
        return _EMPTY_F, _EMPTY_F
    keys = total_order_key(price)[::-1]
    _, first_of_reversed = np.unique(keys, return_index=True)
    last = price.size - 1 - first_of_reversed
    return price[last], qty[last]


def book_heatmap(market: Market, book: dict[str, np.ndarray], w: float, b: int, depth: int) -> dict[str, Any]:
    empty = {"kind": "book_heatmap", "time": _EMPTY_I, "price": _EMPTY_F, "intensity": np.zeros((0, depth))}
    n = book["ts"].size
    if n == 0:
        return empty
    # Flatten the window's levels: event position, side and pool index of every level, in order.
    counts = book["bids"] + book["asks"]
    total = int(counts.sum())
    starts = np.cumsum(counts) - counts
    event = np.repeat(np.arange(n), counts)
    within = np.arange(total) - np.repeat(starts, counts)
    is_ask = within >= np.repeat(book["bids"], counts)
    pool = np.repeat(book["first"], counts) + within
    price = market.level_price[pool]
    qty = market.level_qty[pool]

    snapshots = np.flatnonzero(book["snapshot"])
    last_snapshot = int(snapshots[-1]) if snapshots.size else 0

    # Closing book: after the last snapshot, the last write to each price decides its state.
    sides = []
    for ask in (False, True):
        keep = (event >= last_snapshot) & (is_ask == ask)
        p, q = _last_per_price(price[keep], qty[keep])
        sides.append(p[q != 0])  # a zero (either sign) removes the price; NaN stays
    bid_prices, ask_prices = sides
    if bid_prices.size == 0 or ask_prices.size == 0:
        return empty
    best_bid = bid_prices[-1]  # ascending totalOrder: the highest key is last
    best_ask = ask_prices[0]
    if not (abs(best_bid) > _HALF_MAX or abs(best_ask) > _HALF_MAX):
        mid = (best_bid + best_ask) * 0.5
    else:
        mid = best_bid * 0.5 + best_ask * 0.5

    centre = bin_price(mid, w)
    grid = round8((np.arange(depth, dtype=np.int64) - depth // 2).astype(np.float64) * w + centre)
    grid_hi = round8(w + grid)

    f = int(book["ts"][0]) // b
    g = int(book["ts"][-1]) // b
    starts_k = np.arange(f, g + 1, dtype=np.int64) * b
    rows = starts_k.size
    # Replay in closed form. Every write gets a code that grows in replay order: 2i+1 for the
    # level at flat position i, 2s for the clearing done by a snapshot whose first level is at s.
    # The largest code up to a row tells the state of a price in that row: no write (-1), cleared
    # by a snapshot (even) or the quantity of that level (odd).
    row = np.repeat(book["ts"] // b - f, counts)
    clear = np.full(rows, -1, dtype=np.int64)
    np.maximum.at(clear, book["ts"][snapshots] // b - f, 2 * starts[snapshots])
    state_qty = np.full(2 * total + 2, -0.0)  # indexed by code + 1; absent states add -0.0
    state_qty[2::2] = np.where(qty == 0, -0.0, qty)  # a zero quantity removes the price

    sums = []
    for ask in (False, True):
        acc = np.full((depth, rows), -0.0)  # bins by rows: every row operation below is contiguous
        # Columns: the distinct prices of this side that lie in some bin of the grid.
        in_grid = np.flatnonzero((is_ask == ask) & (price >= grid[0]) & (price < grid_hi[-1]))
        if in_grid.size:
            col_keys, col_first, col = np.unique(total_order_key(price[in_grid]), return_index=True, return_inverse=True)
            col_price = price[in_grid][col_first]
            last = np.broadcast_to(clear, (col_keys.size, rows)).copy()
            np.maximum.at(last, (col, row[in_grid]), 2 * in_grid + 1)
            np.maximum.accumulate(last, axis=1, out=last)
            value = state_qty[last + 1]
            value = np.concatenate([value, np.full((1, rows), -0.0)], axis=0)
            # Members of each bin in ascending price order, padded with the all -0.0 column.
            member = (col_price[None, :] >= grid[:, None]) & (col_price[None, :] < grid_hi[:, None])
            width = int(member.sum(axis=1).max())
            slots = np.full((depth, max(width, 1)), col_keys.size, dtype=np.int64)
            for i in range(depth):
                m = np.flatnonzero(member[i])
                slots[i, : m.size] = m
            for s in range(width):  # one addition per member, in price order: sums as in sequence
                acc += value[slots[:, s]]
        sums.append(acc.T)
    cells = round8(sums[0] + sums[1])
    return {"kind": "book_heatmap", "time": starts_k, "price": grid, "intensity": cells}


def liquidation_map(liq: dict[str, np.ndarray], w: float) -> dict[str, Any]:
    binned = bin_price(liq["price"], w)
    order = np.lexsort((liq["side"], total_order_key(binned), liq["ts"]))  # stable, ts first
    return {
        "kind": "liquidation_map",
        "ts": liq["ts"][order],
        "price_bin": binned[order],
        "qty": round8(liq["qty"][order]),
        "side": liq["side"][order],  # True for short
    }


def funding_oi_divergence(
    funding: dict[str, np.ndarray], oi: dict[str, np.ndarray], candles: dict[str, np.ndarray], b: int
) -> dict[str, Any]:
    series = [(funding["ts"], funding["rate"]), (oi["ts"], oi["oi"]), (candles["ts"], candles["close"])]
    present = [ts for ts, _ in series if ts.size]
    if not present:
        return {"kind": "funding_oi_divergence", "time": _EMPTY_I, "funding": _EMPTY_F, "oi": _EMPTY_F, "price": _EMPTY_F}
    f = min(int(ts[0]) for ts in present) // b
    g = max(int(ts[-1]) for ts in present) // b
    starts = np.arange(f, g + 1, dtype=np.int64) * b
    out = {"kind": "funding_oi_divergence", "time": starts}
    for name, (ts, values) in zip(("funding", "oi", "price"), series):
        known = np.searchsorted(ts, starts + b, "left")  # records with ts below each bucket end
        carried = np.where(known > 0, values[np.maximum(known - 1, 0)] if values.size else 0.0, 0.0)
        out[name] = round8(carried)
    return out


def compute_frame(market: Market, spec: dict[str, Any], cursor: int) -> dict[str, Any]:
    """The frame at `cursor` for `spec` (a spec dict of the reply's JSON form, panels in object form
    with every parameter present)."""
    end = cursor if spec.get("to_ts") is None else min(cursor, spec["to_ts"])
    lo = spec.get("from_ts")
    cut = {}

    def window(name):
        if name not in cut:
            cut[name] = _window(getattr(market, name), lo, end)
        return cut[name]

    panels = []
    for panel in spec["panels"]:
        kind = panel["kind"]
        if kind == "footprint":
            panels.append(footprint(window("trades"), float(panel["price_bin"])))
        elif kind == "book_heatmap":
            panels.append(
                book_heatmap(market, window("book"), float(panel["price_bin"]), int(panel["bucket_ms"]),
                             int(panel["depth_levels"]))
            )
        elif kind == "liquidation_map":
            panels.append(liquidation_map(window("liquidations"), float(panel["price_bin"])))
        elif kind == "funding_oi_divergence":
            panels.append(funding_oi_divergence(window("funding"), window("oi"), window("candles"), int(panel["bucket_ms"])))
        else:
            raise ValueError(f"unknown panel kind {kind!r}")
    return {"symbol": spec["symbol"], "cursor_ts": end, "panels": panels}


# --- comparison with an engine reply ---------------------------------------------------------


def _same_float(a, b: float) -> bool:
    """Equal as the engine writes them: non-finite values are null, and the sign of zero counts."""
    if not math.isfinite(b):
        return a is None
    return isinstance(a, float) and a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def _compare_floats(where: str, got: list, want: np.ndarray, out: list[str]) -> None:
    if len(got) != len(want):
        out.append(f"{where}: {len(got)} values, expected {len(want)}")
        return
    for i, (a, b) in enumerate(zip(got, want.tolist())):
        if not _same_float(a, b):
            out.append(f"{where}[{i}]: {a!r}, expected {b!r}")
            return


def _compare_ints(where: str, got: list, want: np.ndarray, out: list[str]) -> None:
    if got != want.tolist():
        out.append(f"{where}: {got[:5]}..., expected {want.tolist()[:5]}... ({len(got)} vs {len(want)} values)")


def compare_frame(reply: dict[str, Any], frame: dict[str, Any]) -> list[str]:
    """The differences between a decoded engine frame reply and a NumPy frame (empty when equal)."""
    out: list[str] = []
    if list(reply) != ["symbol", "cursor_ts", "panels"]:
        return [f"reply members {list(reply)}"]
    if reply["symbol"] != frame["symbol"] or reply["cursor_ts"] != frame["cursor_ts"]:
        out.append(f"header {reply['symbol']!r} {reply['cursor_ts']}, expected {frame['symbol']!r} {frame['cursor_ts']}")
    if len(reply["panels"]) != len(frame["panels"]):
        return [*out, f"{len(reply['panels'])} panels, expected {len(frame['panels'])}"]
    for n, (got, want) in enumerate(zip(reply["panels"], frame["panels"])):
        kind = want["kind"]
        where = f"panel {n} ({kind})"
        if got.get("kind") != kind:
            out.append(f"{where}: kind {got.get('kind')!r}")
            continue
        if kind == "footprint":
            for key in ("price_bins", "buy_vol", "sell_vol"):
                _compare_floats(f"{where} {key}", got[key], want[key], out)
        elif kind == "book_heatmap":
            _compare_ints(f"{where} time", got["time"], want["time"], out)
            _compare_floats(f"{where} price", got["price"], want["price"], out)
            if len(got["intensity"]) != want["intensity"].shape[0]:
                out.append(f"{where} intensity: {len(got['intensity'])} rows, expected {want['intensity'].shape[0]}")
            else:
                for r, row in enumerate(got["intensity"]):
                    _compare_floats(f"{where} intensity[{r}]", row, want["intensity"][r], out)
                    if out and out[-1].startswith(f"{where} intensity"):
                        break
        elif kind == "liquidation_map":
            events = got["events"]
            if len(events) != want["ts"].size:
                out.append(f"{where}: {len(events)} events, expected {want['ts'].size}")
                continue
            _compare_ints(f"{where} ts", [e["ts"] for e in events], want["ts"], out)
            _compare_floats(f"{where} price_bin", [e["price_bin"] for e in events], want["price_bin"], out)
            _compare_floats(f"{where} qty", [e["qty"] for e in events], want["qty"], out)
            sides = ["short" if s else "long" for s in want["side"].tolist()]
            if [e["side"] for e in events] != sides:
                out.append(f"{where}: sides differ")
            if any(list(e) != ["ts", "price_bin", "qty", "side"] for e in events):
                out.append(f"{where}: event members differ")
        elif kind == "funding_oi_divergence":
            _compare_ints(f"{where} time", got["time"], want["time"], out)
            for key in ("funding", "oi", "price"):
                _compare_floats(f"{where} {key}", got[key], want[key], out)
        members = {
            "footprint": ["kind", "price_bins", "buy_vol", "sell_vol"],
            "book_heatmap": ["kind", "time", "price", "intensity"],
            "liquidation_map": ["kind", "events"],
            "funding_oi_divergence": ["kind", "time", "funding", "oi", "price"],
        }[kind]
        if list(got) != members:
            out.append(f"{where}: members {list(got)}")
    return out
