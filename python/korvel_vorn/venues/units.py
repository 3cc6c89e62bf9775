"""The unit of each venue's quantities, so that venues can be added up in one unit: the base
asset (BTC of BTCUSDT) on binance-um, bybit linear contracts and binance-spot; contracts on
binance-cm, each worth a fixed amount of USD (100 for BTCUSD, 10 for every other pair), and on
bybit's inverse contracts (BTCUSD, BTCUSDH25: 1 USD each).

`quantity_unit(exchange, symbol)` names the unit; `quantities_in_base(exchange, symbol, qty, price)` turns a
column of quantities into the base asset, a contract being worth `contract value / price` of it
(trades at their own price, book levels at their level's price).
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

BASE = "base"
CONTRACTS = "contracts"

# Exchange (as the catalog names it) -> the unit of its quantities.
VENUE_UNITS = {"binance-um": BASE, "bybit": BASE, "binance-spot": BASE, "binance-cm": CONTRACTS}
# binance-cm: USD a contract is worth, by pair (the symbol before "_PERP" or a delivery date).
CONTRACT_VALUES_USD = {"BTCUSD": 100.0}
DEFAULT_CONTRACT_VALUE_USD = 10.0
# bybit: inverse perpetuals (BTCUSD) and inverse futures (BTCUSDH25) count USD contracts of 1 USD;
# linear ones (BTCUSDT, BTCPERP, BTC-27DEC24) count the base asset.
BYBIT_INVERSE = re.compile(r"[A-Z0-9]+USD(?:[FGHJKMNQUVXZ][0-9]{2})?")
BYBIT_INVERSE_VALUE_USD = 1.0


class UnitError(ValueError):
    """Quantities that cannot be put in the base asset: an unknown venue, or bad prices."""


@dataclass(frozen=True)
class QuantityUnit:
    """What a quantity of a venue's symbol counts: the base asset, or contracts of
    `contract_value` USD each."""

    kind: str  # BASE or CONTRACTS
    contract_value: float | None = None  # USD a contract is worth (contracts only)

    @property
    def base(self) -> bool:
        return self.kind == BASE


def quantity_unit(exchange: str, symbol: str) -> QuantityUnit:
    """The unit of `symbol`'s quantities on `exchange`; raises `UnitError` for a venue whose unit
    is not known (its quantities could not be added to another venue's)."""
    kind = VENUE_UNITS.get(exchange)
    if kind is None:
        raise UnitError(f"unknown quantity unit of exchange {exchange!r}: known are "
                        f"{', '.join(sorted(VENUE_UNITS))}")
    if exchange == "bybit" and BYBIT_INVERSE.fullmatch(symbol.upper()):
        return QuantityUnit(CONTRACTS, BYBIT_INVERSE_VALUE_USD)
    if kind == BASE:
        return QuantityUnit(BASE)
    pair = symbol.upper().split("_", 1)[0]
    return QuantityUnit(CONTRACTS, CONTRACT_VALUES_USD.get(pair, DEFAULT_CONTRACT_VALUE_USD))


def contracts_to_base(contracts: Any, price: Any, contract_value: float) -> npt.NDArray[np.float64]:
    """`contracts x contract_value / price` element by element: the base asset the contracts are
    worth at `price` (arrays of one shape, or a scalar price). Raises `UnitError` naming the first
    row whose price is not a positive finite number."""
    qty = np.asarray(contracts, dtype=np.float64)
    prices = np.asarray(price, dtype=np.float64)
    if prices.ndim and prices.shape != qty.shape:
        raise UnitError(f"{qty.size} quantities and {prices.size} prices: one price per quantity")
    if not (np.isfinite(contract_value) and contract_value > 0):
        raise UnitError(f"contract value {contract_value!r} is not a positive number")
    bad = ~(np.isfinite(prices) & (prices > 0))
    if bad.any():
        row = int(np.flatnonzero(bad.ravel())[0])
        raise UnitError(f"price {prices.ravel()[row]!r} at row {row} is not a positive number: "
                        "contracts cannot be put in the base asset")
    return np.asarray(qty * contract_value / prices, dtype=np.float64)


def quantities_in_base(exchange: str, symbol: str, qty: Any, price: Any) -> npt.NDArray[np.float64]:
    """Quantities of `symbol` on `exchange` in the base asset: as they are on a venue that counts
    in it, converted at `price` on one that counts contracts."""
    unit = quantity_unit(exchange, symbol)
    if unit.base:
        return np.asarray(qty, dtype=np.float64)
    assert unit.contract_value is not None
    return contracts_to_base(qty, price, unit.contract_value)
