"""Quantity units per venue: base asset, or contracts of a fixed value in the quote currency.

A composite adds quantities across venues, so they must all be in the base asset: a venue whose
quantities are contracts is converted at load (contracts x contract value / price).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ..venues import units as venue_units
from ..venues.units import QuantityUnit as QuantityUnit


class UnitError(ValueError):
    """A venue whose quantities cannot be brought to the base asset, or an unknown venue."""


# The venues a composite may hold; the coin-margined ones quote contracts in USD.
KNOWN_EXCHANGES = ("binance-um", "binance-cm", "binance-spot", "bybit")


def quantity_unit(exchange: str, symbol: str) -> QuantityUnit:
    """The unit of the quantities the catalog keeps for `symbol` of `exchange` (the venues' own
    table, `venues.units`)."""
    if exchange not in KNOWN_EXCHANGES:
        raise UnitError(f"unknown exchange {exchange!r}: a composite takes {', '.join(KNOWN_EXCHANGES)}")
    try:
        return venue_units.quantity_unit(exchange, symbol)
    except venue_units.UnitError as error:
        raise UnitError(str(error)) from None


def _base(qty: Any, price: Any, value: float) -> np.ndarray[Any, Any]:
    with np.errstate(divide="ignore", invalid="ignore"):
        converted: np.ndarray[Any, Any] = np.asarray(qty, dtype=np.float64) * value / np.asarray(price, dtype=np.float64)
    return converted


def to_base(lists: dict[str, dict[str, Any]], unit: QuantityUnit, where: str) -> dict[str, dict[str, Any]]:
    """The lists with contract quantities turned into base asset: trades and liquidations at their
    own price, book levels at the level's price, open interest at the last trade price before it
    (the first trade's before any; refused without trades). Candles' volume is converted at the close."""
    if unit.base or unit.contract_value is None:
        return lists
    value = unit.contract_value
    out = {name: dict(columns) for name, columns in lists.items()}
    for name in ("trades", "liquidations"):
        if name in out:
            out[name]["qty"] = _base(out[name]["qty"], out[name]["price"], value)
    if "book" in out:
        book = out["book"]
        for side in ("bid", "ask"):
            book[f"{side}_qty"] = _base(book[f"{side}_qty"], book[f"{side}_price"], value)
    if "candles" in out:
        out["candles"]["volume"] = _base(out["candles"]["volume"], out["candles"]["close"], value)
    if "oi" in out and len(out["oi"]["ts"]):
        trades = out.get("trades")
        if trades is None or not len(trades["ts"]):
            raise UnitError(f"{where}: open interest in contracts cannot be converted without trades")
        # The first trade's price stands in before it.
        at = np.maximum(np.searchsorted(trades["ts"], out["oi"]["ts"], side="right") - 1, 0)
        out["oi"]["oi"] = _base(out["oi"]["oi"], trades["price"][at], value)
    return out
