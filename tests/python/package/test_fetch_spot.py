"""`fetch binance-spot` against a mirror of the archive served by the test on 127.0.0.1: the spot
paths, the CSVs without header (one column more than the futures'), times in milliseconds up to
2024-12-31 and in microseconds from 2025-01-01 on, and the lists spot does not have."""

from __future__ import annotations

import numpy as np
import pytest

pytest.importorskip("pyarrow")

from archive_mirror import Mirror

from korvel_vorn.archives import RetryPolicy, UsageError, fetch
from korvel_vorn.catalog import read_span
from korvel_vorn.catalog.layout import day_start_ms

FAST = RetryPolicy(attempts=3, base_delay=0.001, max_delay=0.01, timeout=5)
SYMBOL = "BTCUSDT"
# The archive writes milliseconds up to the last day of 2024 and microseconds from 2025 on.
DAYS = ("2024-12-31", "2025-01-01")
MICRO_FROM = "2025-01-01"
DAY_MS = 86_400_000


def spot_trade_times(day: str) -> list[tuple[int, int]]:
    """(millisecond, microsecond remainder) of each trade of a day: the first and the last
    microsecond of the day among them, so a floor that rounds would move them to another day."""
    start = day_start_ms(day)
    inner = [(start + 1000 * n * 1700 + n % 5, (n * 137) % 1000) for n in range(1, 30)]
    return [(start, 0), *inner, (start + DAY_MS - 1, 999)]


def in_unit(day: str, ms: int, micro: int) -> int:
    return ms * 1000 + micro if day >= MICRO_FROM else ms


def trades_csv(day: str, first_id: int) -> str:
    rows = []
    for n, (ms, micro) in enumerate(spot_trade_times(day)):
        price, qty = 93000 + (n % 11) * 0.25, 0.0001 * (n + 1)
        rows.append(f"{first_id + n},{price:.2f},{qty:.4f},{price * qty:.6f},{in_unit(day, ms, micro)},"
                    f"{'True' if n % 3 == 0 else 'False'},True")
    return "\n".join(rows) + "\n"


def agg_trades_csv(day: str, first_id: int = 70) -> str:
    rows = []
    for n, (ms, micro) in enumerate(spot_trade_times(day)):
        rows.append(f"{first_id + n},{93000 + n}.5,0.{n + 1:03d},{500 + 2 * n},{501 + 2 * n},{in_unit(day, ms, micro)},"
                    f"{'True' if n % 2 else 'False'},True")
    return "\n".join(rows) + "\n"


def klines_csv(day: str) -> str:
    start = day_start_ms(day)
    return "".join(f"{in_unit(day, start + m * 60_000, 0)},93000.0,93010.5,92990.0,93005.5,{m + 1}.5,"
                   f"{in_unit(day, start + m * 60_000 + 59_999, 999)},1000.0,10,5.0,500.0,0\n"
                   for m in range(0, 1440, 90))


def spot_path(data_type: str, day: str) -> str:
    if data_type == "klines":
        return f"/data/spot/daily/klines/{SYMBOL}/1m/{SYMBOL}-1m-{day}.zip"
    return f"/data/spot/daily/{data_type}/{SYMBOL}/{SYMBOL}-{data_type}-{day}.zip"


@pytest.fixture()
def mirror(monkeypatch):
    with Mirror() as served:
        monkeypatch.setenv("KORVEL_VORN_BINANCE_SPOT_URL", served.url)
        monkeypatch.delenv("KORVEL_VORN_BINANCE_URL", raising=False)
        for n, day in enumerate(DAYS):
            served.add_zip(spot_path("trades", day), trades_csv(day, 5000 + 100 * n))
            served.add_zip(spot_path("aggTrades", day), agg_trades_csv(day, 70 + 100 * n))
            served.add_zip(spot_path("klines", day), klines_csv(day))
        yield served


def expected_trades(days: tuple[str, ...]) -> tuple[list[int], list[int], list[float]]:
    ts, side, qty = [], [], []
    for day in days:
        for n, (ms, _micro) in enumerate(spot_trade_times(day)):
            ts.append(ms)
            side.append(1 if n % 3 == 0 else 0)  # the buyer made the trade: the aggressor sold
            qty.append(float(f"{0.0001 * (n + 1):.4f}"))
    return ts, side, qty


def test_spot_trades_and_candles_across_the_change_of_unit(tmp_path, mirror):
    report = fetch("binance-spot", SYMBOL, DAYS[0], DAYS[-1], tmp_path / "catalog", retry=FAST)
    assert report.exit_status == 0, report.summary()
    asked = {path for path in mirror.download_requests() if not path.endswith(".CHECKSUM")}
    assert asked == {spot_path(t, d) for t in ("trades", "klines") for d in DAYS}
    assert (tmp_path / "catalog" / "trades" / "exchange=binance-spot").is_dir()
    lists = read_span(tmp_path / "catalog", "binance-spot", SYMBOL)
    assert set(lists) == {"trades", "candles"}  # no funding, open interest or liquidations on spot
    ts, side, qty = expected_trades(DAYS)
    trades = lists["trades"]
    assert list(trades["ts"]) == ts
    assert list(trades["side"]) == side
    assert list(trades["qty"]) == qty
    for day in DAYS:  # each trade in its own day's partition, the last microsecond of a day included
        one = read_span(tmp_path / "catalog", "binance-spot", SYMBOL, day_start_ms(day), day_start_ms(day) + DAY_MS)
        assert len(one["trades"]["ts"]) == len(spot_trade_times(day))
    candles = lists["candles"]
    assert list(candles["ts"]) == [day_start_ms(d) + m * 60_000 for d in DAYS for m in range(0, 1440, 90)]
    assert list(candles["volume"]) == [m + 1.5 for _ in DAYS for m in range(0, 1440, 90)]
    assert any("no funding, open interest or liquidations" in line for line in report.summary())


def test_spot_agg_trades_in_microseconds(tmp_path, mirror):
    report = fetch("binance-spot", SYMBOL, DAYS[1], DAYS[1], tmp_path / "catalog", types="aggTrades", retry=FAST)
    assert report.exit_status == 0, report.summary()
    trades = read_span(tmp_path / "catalog", "binance-spot", SYMBOL)["trades"]
    times = spot_trade_times(DAYS[1])
    assert list(trades["ts"]) == [ms for ms, _ in times]
    assert list(trades["side"]) == [n % 2 for n in range(len(times))]
    assert np.array_equal(trades["price"], [93000 + n + 0.5 for n in range(len(times))])


def test_the_same_day_in_either_unit_gives_the_same_catalog(tmp_path, mirror):
    """A day written in microseconds reads as the same day written in milliseconds (floored)."""
    day = DAYS[1]
    fetch("binance-spot", SYMBOL, day, day, tmp_path / "micro", retry=FAST)
    start = day_start_ms(day)
    rows = trades_csv(day, 5100).splitlines()
    in_ms = [",".join([*cells[:4], str(int(cells[4]) // 1000), *cells[5:]]) for cells in (r.split(",") for r in rows)]
    mirror.add_zip(spot_path("trades", day), "\n".join(in_ms) + "\n")
    klines = [",".join([str(int(c[0]) // 1000), *c[1:6], str(int(c[6]) // 1000), *c[7:]])
              for c in (r.split(",") for r in klines_csv(day).splitlines())]
    mirror.add_zip(spot_path("klines", day), "\n".join(klines) + "\n")
    fetch("binance-spot", SYMBOL, day, day, tmp_path / "milli", retry=FAST)
    micro = read_span(tmp_path / "micro", "binance-spot", SYMBOL)
    milli = read_span(tmp_path / "milli", "binance-spot", SYMBOL)
    assert micro["trades"]["ts"][0] == start
    for name in ("trades", "candles"):
        for column in micro[name]:
            assert np.array_equal(micro[name][column], milli[name][column]), (name, column)


@pytest.mark.parametrize("spot_env", [True, False])
def test_the_spot_archive_address_is_its_own_or_the_futures_one(tmp_path, monkeypatch, spot_env):
    with Mirror() as served, Mirror() as other:
        served.add_zip(spot_path("klines", DAYS[0]), klines_csv(DAYS[0]))
        if spot_env:  # the spot variable wins over the futures one
            monkeypatch.setenv("KORVEL_VORN_BINANCE_SPOT_URL", served.url)
            monkeypatch.setenv("KORVEL_VORN_BINANCE_URL", other.url)
        else:
            monkeypatch.delenv("KORVEL_VORN_BINANCE_SPOT_URL", raising=False)
            monkeypatch.setenv("KORVEL_VORN_BINANCE_URL", served.url)
        report = fetch("binance-spot", SYMBOL, DAYS[0], DAYS[0], tmp_path / "catalog", types="klines", retry=FAST)
        assert report.exit_status == 0, report.summary()
        assert other.requests == []


@pytest.mark.parametrize("kwargs, message", [
    ({"types": "fundingRate"}, "unknown type 'fundingRate' for binance-spot: use trades, aggTrades, klines"),
    ({"types": "metrics,klines"}, "unknown type 'metrics' for binance-spot"),
    ({"symbols": "BTCUSD_PERP"}, "bad symbol 'BTCUSD_PERP' for binance-spot"),
])
def test_what_spot_does_not_have_is_refused(tmp_path, kwargs, message):
    args = {"symbols": SYMBOL, **kwargs}
    with pytest.raises(UsageError, match=message.replace("(", r"\(")):
        fetch("binance-spot", args.pop("symbols"), "2024-01-01", "2024-01-01", tmp_path / "c", **args)


def test_an_unknown_source_names_spot_among_the_known(tmp_path):
    with pytest.raises(UsageError, match="binance-spot"):
        fetch("binance-margin", SYMBOL, "2024-01-01", "2024-01-01", tmp_path / "c")



@pytest.mark.parametrize("data_type", ["trades", "aggTrades"])
def test_the_streamed_spot_trades_are_what_convert_makes_of_the_same_files(tmp_path, mirror, data_type):
    """Two readers of one file: fetch streams trades from the zip, convert reads them as CSV."""
    pq = pytest.importorskip("pyarrow.parquet")
    from korvel_vorn.catalog import partition_path
    from korvel_vorn.cli import main

    types = f"{data_type},klines"
    report = fetch("binance-spot", SYMBOL, DAYS[0], DAYS[-1], tmp_path / "catalog", types=types,
                   cache=tmp_path / "cache", retry=FAST)
    assert report.exit_status == 0, report.summary()
    files = sorted(str(p) for p in (tmp_path / "cache").rglob("*.zip"))
    assert len(files) == 4
    status = main(["convert", *files, "--catalog", str(tmp_path / "converted"), "--exchange", "binance-spot",
                   "--symbol", SYMBOL])
    assert status == 0
    for name in ("trades", "candles"):
        for day in DAYS:
            fetched = pq.read_table(partition_path(tmp_path / "catalog", name, "binance-spot", SYMBOL, day))
            converted = pq.read_table(partition_path(tmp_path / "converted", name, "binance-spot", SYMBOL, day))
            assert fetched.select(converted.column_names).cast(converted.schema).equals(converted), (name, day)


def test_a_spot_catalog_loads_and_its_frames_have_no_liquidations(tmp_path, mirror):
    from korvel_vorn import Session
    from korvel_vorn.commands import footprint, funding_oi_divergence, liquidation_map, spec_value

    assert fetch("binance-spot", SYMBOL, DAYS[0], DAYS[-1], tmp_path / "catalog", retry=FAST).exit_status == 0
    spec = spec_value(symbol=SYMBOL, panels=[footprint(price_bin=1.0, bucket_ms=3_600_000),
                                             liquidation_map(price_bin=5.0), funding_oi_divergence(bucket_ms=3_600_000)])
    session = Session(spec)
    session.load_catalog(tmp_path / "catalog", exchange="binance-spot", symbol=SYMBOL)
    counts = {name: bounds["count"] for name, bounds in session.list_bounds().items()}
    assert counts["trades"] == sum(len(spot_trade_times(d)) for d in DAYS)
    assert counts["funding"] == counts["oi"] == counts["liquidations"] == counts["book"] == 0
    frame = session.frame_arrays(day_start_ms(DAYS[1]) + 3_600_000)
    panels = {panel["kind"]: panel for panel in frame["panels"]}
    assert len(panels["liquidation_map"]["events"]) == 0
    assert panels["footprint"]["price_bins"].size > 0
