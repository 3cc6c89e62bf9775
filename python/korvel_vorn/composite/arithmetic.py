"""The engine's panel arithmetic in NumPy, bit for bit: `round8` and the total order of prices.

Aggregated panels add the venues' reported values and round the sums the way the engine rounds
its own, so an aggregate is as exact and reproducible as a single venue's frame.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]

_SCALE = 100000000.0
_JUST_BELOW_HALF = 0.49999999999999994
_ALL_WHOLE = 4503599627370496.0  # 2**52: from here on every double is a whole number


def round8(values: Any) -> Floats:
    """x * 1e8 rounded half away from zero, divided by 1e8, each a single IEEE operation (as the
    engine rounds: the double below one half added with the sign, then truncated). Keeps the sign
    of zero; NaN and infinities pass through."""
    x = np.asarray(values, dtype=np.float64)
    scaled = x * _SCALE
    with np.errstate(invalid="ignore"):
        whole = ~(np.abs(scaled) < _ALL_WHOLE)
    shifted = scaled + np.copysign(_JUST_BELOW_HALF, scaled)
    rounded = np.copysign(np.trunc(shifted), scaled)
    out: Floats = np.where(whole, scaled, rounded) / _SCALE
    return out


def order_keys(values: Any) -> npt.NDArray[np.int64]:
    """Signed integers that sort as the IEEE 754 totalOrder of the doubles (minus zero before plus
    zero, NaNs at the ends by sign); equal keys mean equal bit patterns."""
    bits = np.ascontiguousarray(values, dtype=np.float64).view(np.int64)
    keys: npt.NDArray[np.int64] = bits ^ ((bits >> 63) & np.int64(0x7FFFFFFFFFFFFFFF))
    return keys


def from_order_keys(keys: npt.NDArray[np.int64]) -> Floats:
    """The doubles of `order_keys` (the transform is its own inverse)."""
    bits = keys ^ ((keys >> 63) & np.int64(0x7FFFFFFFFFFFFFFF))
    floats: Floats = np.ascontiguousarray(bits).view(np.float64)
    return floats


def minus_zeros(shape: Any) -> Floats:
    """An accumulator for sums in venue order: minus zero is the identity of IEEE addition (plus
    zero is not: +0 + -0 gives +0), so adding the venues' values to it gives exactly
    first + second + ..."""
    return np.full(shape, -0.0, dtype=np.float64)
