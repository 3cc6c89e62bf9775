"""Quantity units per venue, and contracts put in the base asset, against an exact decimal
computation of `contracts x contract value / price`."""

from __future__ import annotations

from decimal import Decimal

import numpy as np
import pytest

from korvel_vorn.venues.units import UnitError, contracts_to_base, quantities_in_base, quantity_unit


@pytest.mark.parametrize("exchange, symbol, kind, value", [
    ("binance-um", "BTCUSDT", "base", None),
    ("bybit", "BTCUSDT", "base", None),
    ("bybit", "BTCPERP", "base", None),
    ("bybit", "BTC-27DEC24", "base", None),
    ("bybit", "BTCUSD", "contracts", 1.0),
    ("bybit", "ETHUSDH25", "contracts", 1.0),
    ("binance-spot", "BTCUSDT", "base", None),
    ("binance-spot", "ETHBTC", "base", None),
    ("binance-cm", "BTCUSD_PERP", "contracts", 100.0),
    ("binance-cm", "BTCUSD_250926", "contracts", 100.0),
    ("binance-cm", "ETHUSD_PERP", "contracts", 10.0),
    ("binance-cm", "SOLUSD_PERP", "contracts", 10.0),
    ("binance-cm", "btcusd_perp", "contracts", 100.0),
])
def test_each_venue_names_its_unit(exchange, symbol, kind, value):
    unit = quantity_unit(exchange, symbol)
    assert (unit.kind, unit.contract_value, unit.base) == (kind, value, kind == "base")


@pytest.mark.parametrize("exchange", ["binance-margin", "tardis:deribit", "", "Binance-UM"])
def test_an_unknown_venue_is_named(exchange):
    with pytest.raises(UnitError, match=f"unknown quantity unit of exchange {exchange!r}: known are binance-cm"):
        quantity_unit(exchange, "BTCUSDT")


def exact(contracts, prices, value):
    return [float(Decimal(repr(float(c))) * Decimal(repr(value)) / Decimal(repr(float(p))))
            for c, p in zip(contracts, prices, strict=True)]


@pytest.mark.parametrize("seed", range(5))
def test_contracts_to_base_is_the_exact_ratio_to_the_last_bit_or_one(seed):
    rng = np.random.default_rng(seed)
    contracts = rng.integers(1, 50_000, 2000).astype(float)
    prices = np.round(rng.uniform(10, 150_000, 2000), 1)
    got = contracts_to_base(contracts, prices, 100.0)
    want = np.array(exact(contracts, prices, 100.0))
    # One multiplication and one division: at most two roundings away from the exact value.
    assert np.all(np.abs(got - want) <= 2 * np.spacing(want))
    assert got.dtype == np.float64 and got.shape == contracts.shape


def test_a_scalar_price_and_empty_columns():
    assert contracts_to_base([1, 2, 5], 50_000.0, 100.0).tolist() == [0.002, 0.004, 0.01]
    assert contracts_to_base(np.array([]), np.array([]), 10.0).size == 0


def test_quantities_in_base_leaves_base_quantities_as_they_are_and_converts_contracts():
    qty, price = np.array([0.5, 1.25]), np.array([40_000.0, 80_000.0])
    assert quantities_in_base("binance-um", "BTCUSDT", qty, price).tolist() == [0.5, 1.25]
    assert quantities_in_base("binance-cm", "BTCUSD_PERP", [4, 8], price).tolist() == [0.01, 0.01]
    assert quantities_in_base("binance-cm", "ETHUSD_PERP", [3], [2000.0]).tolist() == [0.015]


@pytest.mark.parametrize("prices, row", [([100.0, 0.0, 5.0], 1), ([-1.0, 2.0, 3.0], 0), ([1.0, 2.0, np.nan], 2),
                                         ([np.inf, 1.0, 1.0], 0)])
def test_a_price_that_cannot_divide_is_named_with_its_row(prices, row):
    with pytest.raises(UnitError, match=f"at row {row} is not a positive number"):
        contracts_to_base([1, 1, 1], prices, 100.0)


def test_columns_of_different_lengths_are_refused():
    with pytest.raises(UnitError, match="3 quantities and 2 prices"):
        contracts_to_base([1, 2, 3], [1.0, 2.0], 10.0)
    with pytest.raises(UnitError, match="contract value 0.0"):
        contracts_to_base([1], [1.0], 0.0)


@pytest.mark.parametrize("exchange, symbol", [
    ("binance-um", "BTCUSDT"), ("binance-spot", "BTCUSDT"), ("bybit", "BTCUSDT"), ("bybit", "BTCUSD"),
    ("bybit", "ETHUSD"), ("binance-cm", "BTCUSD_PERP"), ("binance-cm", "BTCUSD_250926"), ("binance-cm", "ETHUSD_PERP"),
])
def test_the_composite_session_converts_with_the_same_contract_values(exchange, symbol):
    """The composite session converts with the venues' own table."""
    composite = pytest.importorskip("korvel_vorn.composite.units")
    theirs, ours = composite.quantity_unit(exchange, symbol), quantity_unit(exchange, symbol)
    assert (theirs.base, theirs.contract_value) == (ours.base, ours.contract_value)
