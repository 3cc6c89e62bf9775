"""A market without funding, open interest or liquidations (Binance spot) is charted with a note
saying so, while a funding rate of exactly zero is still drawn."""

import pytest

pytest.importorskip("matplotlib")

from korvel_vorn import Session, charts
from korvel_vorn.commands import footprint, funding_oi_divergence, liquidation_map, spec_value

SPEC = spec_value(symbol="BTCUSDT", panels=[footprint(price_bin=1.0, bucket_ms=60_000),
                                            liquidation_map(price_bin=1.0), funding_oi_divergence(bucket_ms=60_000)])
TRADES = [(60_000 * n + 5, 93_000.0 + n % 3, 0.01, "buy" if n % 2 else "sell") for n in range(30)]
CANDLES = [(60_000 * n, 93_000.0, 93_003.0, 92_999.0, 93_001.0, 1.5) for n in range(30)]


def note_of(session):
    fig = charts.frame_figure(session, SPEC, 60_000 * 29)
    notes = [t.get_text() for t in fig.texts if t.get_text().startswith("Not shown")]
    return notes[0] if notes else ""


def test_a_spot_market_says_it_has_no_funding_open_interest_or_liquidations():
    session = Session(SPEC)
    session.load({"trades": TRADES, "candles": CANDLES})
    note = note_of(session)
    assert "liquidation map: no liquidations" in note
    assert "no funding records" in note and "no open interest records" in note
    assert "no candles records" not in note


def test_a_funding_rate_of_zero_is_a_record_not_an_absence():
    session = Session(SPEC)
    session.load({"trades": TRADES, "candles": CANDLES, "funding": [(0, 0.0), (60_000 * 20, 0.0)],
                  "oi": [(0, 1000.0)]})
    note = note_of(session)
    assert "no funding records" not in note and "no open interest records" not in note
