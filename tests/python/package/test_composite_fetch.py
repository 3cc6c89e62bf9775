"""The whole road over two venues: fetch Binance USD-M and Bybit from archive mirrors served on
127.0.0.1 into one catalog, load both with `exchanges`, and the aggregated footprint holds every
fetched trade of both."""

import pytest

pytest.importorskip("pyarrow")

from test_fetch import DAYS, FAST, SYMBOL, build_binance, bybit_book_lines, bybit_trades_csv, gzip_of, mirror, zip_of

from korvel_vorn import Session
from korvel_vorn.archives import fetch
from korvel_vorn.catalog import read_span
from korvel_vorn.catalog.layout import day_start_ms
from korvel_vorn.commands import book_heatmap, footprint, spec_value
from korvel_vorn.composite.arithmetic import round8

__all__ = ["mirror"]  # the mirror fixture, served by the test


def test_fetch_two_venues_into_one_catalog_and_aggregate_them(tmp_path, mirror):
    build_binance(mirror)
    for day in DAYS:
        mirror.files[f"/trading/{SYMBOL}/{SYMBOL}{day}.csv.gz"] = gzip_of(bybit_trades_csv(day))
        mirror.files[f"/book/orderbook/linear/{SYMBOL}/{day}_{SYMBOL}_ob500.data.zip"] = zip_of(
            f"{day}_{SYMBOL}_ob500.data", bybit_book_lines(day, 500))
    root = tmp_path / "catalog"
    for venue in ("binance-um", "bybit"):
        report = fetch(venue, SYMBOL, DAYS[0], DAYS[1], root, cache=tmp_path / "cache", retry=FAST)
        assert report.exit_status == 0, report.summary()
    start = day_start_ms(DAYS[0])
    end = start + 86_400_000
    spec = spec_value(symbol=SYMBOL, panels=[footprint(price_bin=1_000_000.0),
                                             book_heatmap(price_bin=1.0, bucket_ms=60_000, depth_levels=5)])
    session = Session(spec)
    session.load_catalog(root, symbol=SYMBOL, exchanges=["bybit", "binance-um"], start=start, end=end)
    frame = session.frame_arrays(end - 1)
    assert frame["venues"] == ["bybit", "binance-um"]
    fp, hm = frame["panels"]
    # one bin holds every trade: buy is round8 of bybit's buy plus binance's
    parts = []
    for venue in ("bybit", "binance-um"):
        trades = read_span(root, venue, SYMBOL, start, end)["trades"]
        buy = -0.0
        for qty, side in zip(trades["qty"].tolist(), trades["side"].tolist()):
            buy = buy + qty if side == 0 else buy
        parts.append(round8([buy])[0] + 0.0)
    assert fp["buy_vol"].tolist() == round8([parts[0] + parts[1]]).tolist()
    # binance-um has no book in these archives: the heatmap is bybit's own
    bybit = Session(spec)
    bybit.load_catalog(root, exchange="bybit", symbol=SYMBOL, start=start, end=end)
    own = bybit.frame_arrays(end - 1)["panels"][1]
    assert len(hm["time"]) > 1
    for key in ("time", "price", "intensity"):
        assert hm[key].tolist() == own[key].tolist()
