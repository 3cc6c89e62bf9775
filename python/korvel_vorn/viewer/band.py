"""How many depth levels the heatmap needs so its price band follows the market.

The engine centres the heatmap's grid on the book's closing mid with the asked number of levels,
so a fixed depth leaves the price line outside the band whenever the market moved more than half
of it during the window. Each frame tells the page the depth that spans the prices traded in the
window (its footprint's bins) on both sides of the grid's centre, plus a margin, within a budget
of cells (rows x levels) that keeps frames small enough to play. The page asks for that depth.
"""

from __future__ import annotations

import math

CELL_BUDGET = 1_500_000  # heatmap cells (rows x levels) a frame may hold
MIN_DEPTH = 40
MARGIN = 0.1  # of the traded range, on each side
GROW_STEP = 16  # depths grow in steps (fewer changes of spec while the band widens)
SHRINK_BELOW = 0.6  # the depth shrinks only when the need falls below this part of it


def depth_cap(rows: int, max_depth: int) -> int:
    """The most levels a grid of `rows` rows may have within the cell budget."""
    return max(1, min(max_depth, CELL_BUDGET // max(1, rows)))


def needed_depth(traded_low: float, traded_high: float, centre: float, price_bin: float) -> int:
    """Levels that span [traded_low, traded_high] plus the margin on both sides of `centre`."""
    margin = max(MARGIN * (traded_high - traded_low), 4 * price_bin)
    half = max(traded_high - centre, centre - traded_low, 0.0) + margin
    return math.ceil(2 * half / price_bin)


def follow_depth(current: int, traded_low: float, traded_high: float, centre: float, price_bin: float,
                 rows: int, max_depth: int) -> int:
    """The depth the next frame should ask for: grown when the band is too narrow, shrunk when it is
    much wider than needed, else kept; within [MIN_DEPTH, the cell budget's cap]."""
    cap = depth_cap(rows, max_depth)
    if not all(math.isfinite(v) for v in (traded_low, traded_high, centre)) or not price_bin > 0:
        return min(current, cap)
    need = needed_depth(traded_low, traded_high, centre, price_bin)
    if need > current:
        wanted = -(-need // GROW_STEP) * GROW_STEP
    elif need < SHRINK_BELOW * current:
        wanted = need
    else:
        wanted = current
    return max(min(MIN_DEPTH, cap), min(wanted, cap))


__all__ = ["CELL_BUDGET", "depth_cap", "follow_depth", "needed_depth"]
