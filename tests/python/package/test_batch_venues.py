"""batch --exchanges: one instrument's tables aggregated over venues under
exchange=aggregate:E1+E2, beside each venue's own with --per-venue, equal to the venues' tables
combined by their definitions; a venue without the day is named and left out."""

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")

from test_array_path import columns_of  # noqa: E402

from korvel_vorn import Session  # noqa: E402
from korvel_vorn.batch import read  # noqa: E402
from korvel_vorn.catalog.write import write_lists  # noqa: E402
from korvel_vorn.commands import footprint, spec_value  # noqa: E402
from korvel_vorn.composite import CompositeSession  # noqa: E402
from korvel_vorn.sample import START_MS, generate_market  # noqa: E402

INPUTS = [{"name": "sample", "size": 1, "sha256": "0" * 64}]
DAY = "2024-01-01"
AGGREGATE = "aggregate:binance-um+bybit"


@pytest.fixture(scope="module")
def catalog(tmp_path_factory):
    root = tmp_path_factory.mktemp("catalog")
    write_lists(root, "binance-um", "BTCUSDT", columns_of(generate_market(7)), INPUTS)
    write_lists(root, "bybit", "BTCUSDT", columns_of(generate_market(8)), INPUTS)
    return root


def run_batch(capsys, *argv):
    from korvel_vorn.cli import main

    status = main(["batch", *argv, "--no-progress", "--workers", "1"])
    return status, capsys.readouterr().err


@pytest.fixture(scope="module")
def output(catalog, tmp_path_factory):
    from korvel_vorn.cli import main

    out = tmp_path_factory.mktemp("out")
    assert main(["batch", "--catalog", str(catalog), "--exchanges", "binance-um,bybit", "--per-venue", "--symbols",
                 "BTCUSDT", "--from", DAY, "--to", DAY, "--out", str(out), "--no-progress", "--workers", "1"]) == 0
    return out


def table(out, name, exchange):
    frame = read(out, name, exchange=exchange)
    return frame.sort_values(["ts", "price_bin"] if name == "footprint" else ["ts"]).reset_index(drop=True)


def test_aggregate_partitions_beside_the_venues(output):
    for name in ("bars", "footprint", "book"):
        assert (output / name / f"exchange={AGGREGATE}" / "symbol=BTCUSDT" / f"date={DAY}" / "part-0.parquet").is_file()
        assert (output / name / "exchange=bybit" / "symbol=BTCUSDT" / f"date={DAY}" / "part-0.parquet").is_file()


def test_aggregate_footprint_is_the_composite_clusters(output, catalog):
    spec = spec_value(symbol="batch", panels=[footprint(price_bin=1.0, bucket_ms=60_000)], from_ts=START_MS,
                      to_ts=START_MS + 86_400_000 - 1)
    composite = CompositeSession(spec)
    for name in ("binance-um", "bybit"):
        session = Session()
        session.load_catalog(catalog, exchange=name, symbol="BTCUSDT")
        composite.add_venue(name, "BTCUSDT", session)
    clusters = composite.clusters(START_MS + 86_400_000 - 1, price_bin=1.0, bucket_ms=60_000)
    rows, cols = np.nonzero((clusters["buy_vol"] != 0) | (clusters["sell_vol"] != 0))
    got = table(output, "footprint", AGGREGATE)
    assert got["buy_volume"].tolist() == clusters["buy_vol"][rows, cols].tolist()
    assert got["price_bin"].tolist() == clusters["price"][cols].tolist()


def test_aggregate_bars_combine_the_venues_bars(output):
    um, bybit, agg = (table(output, "bars", e) for e in ("binance-um", "bybit", AGGREGATE))
    merged = um.merge(bybit, on="ts", how="outer", suffixes=("_um", "_by")).sort_values("ts").reset_index(drop=True)
    assert agg["ts"].tolist() == merged["ts"].tolist()
    assert np.array_equal(agg["volume"], merged["volume_um"].fillna(0) + merged["volume_by"].fillna(0))
    assert np.array_equal(agg["trades"], merged["trades_um"].fillna(0) + merged["trades_by"].fillna(0))
    assert np.array_equal(agg["high"], np.fmax(merged["high_um"], merged["high_by"]), equal_nan=True)
    assert np.array_equal(agg["open"], merged["open_um"].fillna(merged["open_by"]), equal_nan=True)
    turnover = (merged["vwap_um"] * merged["volume_um"]).fillna(0) + (merged["vwap_by"] * merged["volume_by"]).fillna(0)
    assert np.allclose(agg["vwap"], turnover / agg["volume"], rtol=1e-12)


def test_aggregate_book_sums_the_depths(output):
    um, bybit, agg = (table(output, "book", e) for e in ("binance-um", "bybit", AGGREGATE))
    merged = um.merge(bybit, on="ts", how="outer", suffixes=("_um", "_by")).sort_values("ts").reset_index(drop=True)
    for column in ("bid_depth_5", "ask_depth_20"):
        assert np.allclose(agg[column], merged[column + "_um"].fillna(0) + merged[column + "_by"].fillna(0))
    assert np.array_equal(agg["mid"], merged["mid_um"].fillna(merged["mid_by"]), equal_nan=True)


def test_a_venue_without_the_day_is_named_and_left_out(catalog, tmp_path, capsys):
    status, err = run_batch(capsys, "--catalog", str(catalog), "--exchanges", "binance-um,okx", "--symbols", "BTCUSDT",
                            "--from", DAY, "--to", DAY, "--out", str(tmp_path / "o"))
    assert status == 0 and "okx has nothing in the catalog, left out of the aggregate" in err


@pytest.mark.parametrize("argv, message", [
    (["--exchange", "bybit", "--exchanges", "bybit,binance-um"], "give --exchange E or --exchanges"),
    ([], "give --exchange E or --exchanges"),
    (["--exchange", "bybit", "--per-venue"], "--per-venue goes with --exchanges"),
])
def test_bad_venue_options_exit_2(catalog, tmp_path, capsys, argv, message):
    status, err = run_batch(capsys, "--catalog", str(catalog), *argv, "--symbols", "BTCUSDT", "--from", DAY,
                            "--to", DAY, "--out", str(tmp_path / "o"))
    assert status == 2 and message in err
