"""The catalog of days: partitions by list and UTC day that other tools read as they are, the
book replayed to midnight and to a span's start (against a plain-Python replay), and spans loaded
natively giving the frames of the same records loaded as JSON."""

import json
import os

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pads = pytest.importorskip("pyarrow.dataset")

from test_array_path import columns_of  # noqa: E402

from korvel_vorn import Session  # noqa: E402
from korvel_vorn.catalog import LIST_SCHEMAS, CatalogError, days, partition_path, read_span  # noqa: E402
from korvel_vorn.catalog.layout import DAY_MS, columns_to_table, table_to_columns  # noqa: E402
from korvel_vorn.catalog.write import write_lists  # noqa: E402
from korvel_vorn.sample import generate_market, sample_spec  # noqa: E402

SHIFT = -300_000  # the sample market moved to start at 23:55, so it crosses midnight
MIDNIGHT = 1_704_067_200_000
INPUTS = [{"name": "sample", "size": 1, "sha256": "0" * 64}]


def shifted_market():
    market = generate_market(7)
    out = {}
    for name, records in market.items():
        out[name] = [dict(r, ts=r["ts"] + SHIFT) if isinstance(r, dict) else [r[0] + SHIFT, *r[1:]] for r in records]
    return out


@pytest.fixture(scope="module")
def market():
    return shifted_market()


@pytest.fixture()
def catalog(tmp_path, market):
    write_lists(tmp_path, "binance-um", "BTCUSDT", columns_of(market), INPUTS)
    return tmp_path


def plain_book_at(book_records, moment):
    """The book every event before `moment` builds, replayed level by level in plain Python."""
    bids, asks = {}, {}
    for record in book_records:
        ts, kind, rec_bids, rec_asks = (record["ts"], record["kind"], record["bids"], record["asks"]) \
            if isinstance(record, dict) else record
        if ts >= moment:
            break
        if kind == "snapshot":
            bids, asks = {}, {}
        for side, levels in ((bids, rec_bids), (asks, rec_asks)):
            for price, qty in levels:
                if float(qty) == 0:
                    side.pop(float(price), None)
                else:
                    side[float(price)] = float(qty)
    return sorted(bids.items(), reverse=True), sorted(asks.items())


def test_partitions_by_day_with_the_declared_schemas(catalog):
    assert days(catalog, "binance-um", "BTCUSDT") == ["2023-12-31", "2024-01-01"]
    for name, schema in LIST_SCHEMAS.items():
        for day in ("2023-12-31", "2024-01-01"):
            path = partition_path(catalog, name, "binance-um", "BTCUSDT", day)
            if path.exists():
                assert pq.read_schema(path).remove_metadata().equals(schema)
    leftovers = [name for _, _, files in os.walk(catalog) for name in files if name.endswith(".tmp")]
    assert leftovers == []


def test_other_readers_see_the_hive_columns(catalog, market):
    table = pads.dataset(catalog / "trades", partitioning="hive").to_table()
    assert table.num_rows == len(market["trades"])
    assert set(table.column("exchange").to_pylist()) == {"binance-um"}
    assert sorted(set(table.column("date").to_pylist())) == ["2023-12-31", "2024-01-01"]
    assert set(table.column("side").to_pylist()) <= {"buy", "sell"}


def test_each_day_book_starts_with_the_book_at_midnight(catalog, market):
    day = read_span(catalog, "binance-um", "BTCUSDT", MIDNIGHT, MIDNIGHT + DAY_MS)["book"]
    assert day["ts"][0] == MIDNIGHT and day["kind"][0] == 0
    bids, asks = plain_book_at(market["book"], MIDNIGHT)
    n_bid, n_ask = int(day["bid_count"][0]), int(day["ask_count"][0])
    assert list(zip(day["bid_price"][:n_bid], day["bid_qty"][:n_bid])) == bids
    assert list(zip(day["ask_price"][:n_ask], day["ask_qty"][:n_ask])) == asks


@pytest.mark.parametrize("offset", [1, 61_234, 299_999, 300_000, 300_001, 420_000])
def test_span_book_starts_with_the_book_replayed_to_start(catalog, market, offset):
    start = MIDNIGHT + SHIFT + offset
    span = read_span(catalog, "binance-um", "BTCUSDT", start, None)
    book = span["book"]
    bids, asks = plain_book_at(market["book"], start)
    assert book["ts"][0] == start and book["kind"][0] == 0
    n_bid, n_ask = int(book["bid_count"][0]), int(book["ask_count"][0])
    assert list(zip(book["bid_price"][:n_bid], book["bid_qty"][:n_bid])) == bids
    assert list(zip(book["ask_price"][:n_ask], book["ask_qty"][:n_ask])) == asks
    later = [r["ts"] if isinstance(r, dict) else r[0] for r in market["book"]]
    midnight_snapshot = 1 if start < MIDNIGHT else 0  # the second day starts with the book at midnight
    assert len(book["ts"]) == 1 + sum(1 for ts in later if ts >= start) + midnight_snapshot
    assert span["trades"]["ts"].min() >= start


def test_load_catalog_gives_the_frames_of_the_same_records_as_json(catalog, market):
    spec = sample_spec()
    spec.pop("from_ts", None)
    spec.pop("to_ts", None)
    from_json = Session(spec)
    from_json.load(json.dumps(market))
    from_catalog = Session(spec)
    count = from_catalog.load_catalog(catalog, exchange="binance-um", symbol="BTCUSDT")
    assert count == from_json.bounds()["count"] + 1  # the second day's book starts with the book at midnight
    for cursor in (MIDNIGHT - 200_000, MIDNIGHT - 1, MIDNIGHT, MIDNIGHT + 123_456, MIDNIGHT + 299_000):
        assert from_catalog.frame_text(cursor) == from_json.frame_text(cursor)


@pytest.mark.parametrize("start", [MIDNIGHT, "2024-01-01T00:00:00Z", np.int64(MIDNIGHT)])
def test_load_catalog_takes_any_time(catalog, start):
    session = Session()
    session.load_catalog(catalog, exchange="binance-um", symbol="BTCUSDT", start=start, end=MIDNIGHT + 60_000)
    bounds = session.bounds()
    assert bounds["from_ts"] >= MIDNIGHT and bounds["to_ts"] < MIDNIGHT + 60_000


def test_tables_round_trip_through_columns(market):
    columns = columns_of(market)
    for name, schema in LIST_SCHEMAS.items():
        table = columns_to_table(name, columns[name])
        assert table.schema.equals(schema)
        back = table_to_columns(name, table)
        for field, column in columns[name].items():
            np.testing.assert_array_equal(back[field], column)


def test_a_second_write_of_the_same_inputs_writes_nothing(catalog, market):
    again = write_lists(catalog, "binance-um", "BTCUSDT", columns_of(market), INPUTS)
    assert again.written == {} and again.unchanged


@pytest.mark.parametrize("call, message", [
    (lambda root: read_span(root, "binance-um", "BTCUSDT", 10, 5), "end of the span"),
    (lambda root: partition_path(root, "trades", "../x", "BTCUSDT", "2024-01-01"), "bad exchange"),
    (lambda root: partition_path(root, "trades", "binance-um", "BTC/USDT", "2024-01-01"), "bad symbol"),
    (lambda root: partition_path(root, "trades", "binance-um", "BTCUSDT", "2024-02-30"), "no such date"),
    (lambda root: partition_path(root, "depth", "binance-um", "BTCUSDT", "2024-02-01"), "unknown list"),
    (lambda root: Session().load_catalog(root, exchange="binance-um", symbol="ETHUSDT"), "holds no records"),
])
def test_bad_catalog_requests(catalog, call, message):
    with pytest.raises(CatalogError, match=message):
        call(catalog)


# ----------------------------------------------------------------------------- the command line

SPAN = ["--catalog", None, "--exchange", "binance-um", "--symbol", "BTCUSDT"]


def span_args(root, *extra):
    return [*(str(root) if a is None else a for a in SPAN), *extra]


def test_frame_of_a_catalog_span_is_the_frame_of_the_same_records_as_a_file(catalog, market, tmp_path, capsys):
    from korvel_vorn.cli import main

    path = tmp_path / "market.json"
    path.write_text(json.dumps(market))
    at = str(MIDNIGHT + 120_000)
    assert main(["frame", str(path), "--symbol", "BTCUSDT", "--at", at]) == 0
    from_file = capsys.readouterr().out
    assert main(["frame", *span_args(catalog, "--at", at)]) == 0
    assert capsys.readouterr().out == from_file


def test_info_of_a_catalog_span(catalog, capsys):
    from korvel_vorn.cli import main

    assert main(["info", *span_args(catalog, "--from", "2024-01-01T00:00:00Z", "--to", "2024-01-01T00:01:00Z"),
                 "--json"]) == 0
    info = json.loads(capsys.readouterr().out)
    assert info["from_ts"] == MIDNIGHT and info["to_ts"] < MIDNIGHT + 60_000


@pytest.mark.parametrize("argv, message", [
    (["info"], "no DATASET"),
    (["info", "x.json", "--catalog", "ROOT", "--exchange", "binance-um", "--symbol", "S"], "not both"),
    (["info", "--catalog", "ROOT", "--symbol", "BTCUSDT"], "needs --exchange and --symbol"),
    (["frame", "x.json", "--exchange", "binance-um"], "give --catalog ROOT too"),
    (["render", "--catalog", "ROOT", "--exchange", "binance-um", "--symbol", "BTCUSDT", "--from", "soon"], "bad time"),
    (["convert", "x.csv"], "-o/--output FILE or --catalog ROOT"),
    (["convert", "x.csv", "--catalog", "ROOT"], "needs --exchange"),
])
def test_catalog_span_usage_errors_exit_2(catalog, capsys, argv, message):
    from korvel_vorn.cli import main

    argv = [str(catalog) if a == "ROOT" else a for a in argv]
    assert main(argv) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0]


REAL = os.path.join(os.path.dirname(__file__), "..", "..", "..", "..", "shared", "data", "real",
                    "binance-coinm-btcusd_perp-20240808T2354Z.dataset.json")


@pytest.mark.skipif(not os.path.exists(REAL), reason="the real recordings are not here")
def test_a_real_recording_across_midnight_through_convert_catalog(tmp_path):
    """A real recording crossing midnight, converted into the catalog, replays with the frames of
    the recording itself, and its second day starts with the book at midnight."""
    from korvel_vorn.cli import main
    from korvel_vorn.sample import sample_spec

    assert main(["convert", REAL, "--catalog", str(tmp_path), "--exchange", "binance-cm",
                 "--symbol", "BTCUSD_PERP"]) == 0
    assert days(tmp_path, "binance-cm", "BTCUSD_PERP") == ["2024-08-08", "2024-08-09"]
    spec = sample_spec()
    spec.pop("from_ts", None)
    spec.pop("to_ts", None)
    direct = Session(spec)
    direct.load_file(REAL)
    spanned = Session(spec)
    spanned.load_catalog(tmp_path, exchange="binance-cm", symbol="BTCUSD_PERP")
    midnight = 1_723_161_600_000
    second = read_span(tmp_path, "binance-cm", "BTCUSD_PERP", midnight, None)
    if "book" in second:
        assert second["book"]["ts"][0] == midnight and second["book"]["kind"][0] == 0
    same_records = Session(spec)
    same_records.load(json.dumps(dataset_of(read_span(tmp_path, "binance-cm", "BTCUSD_PERP"))))
    bounds = direct.bounds()
    for cursor in (midnight - 60_000, midnight - 1, midnight, midnight + 1, midnight + 20_000, bounds["to_ts"]):
        assert spanned.frame_text(cursor) == same_records.frame_text(cursor)
        if cursor not in (midnight, midnight + 1):  # there the midnight snapshot is a heatmap row of its own
            assert spanned.frame_text(cursor) == direct.frame_text(cursor)


def dataset_of(lists):
    """Dataset records of catalog columns, written out one by one in plain Python."""
    names = {"trades": ("buy", "sell"), "liquidations": ("long", "short"), "book": ("snapshot", "diff")}
    out = {}
    for name, columns in lists.items():
        if name == "book":
            records, bid, ask = [], 0, 0
            for i in range(len(columns["ts"])):
                nb, na = int(columns["bid_count"][i]), int(columns["ask_count"][i])
                bids = [[float(p), float(q)] for p, q in zip(columns["bid_price"][bid:bid + nb], columns["bid_qty"][bid:bid + nb])]
                asks = [[float(p), float(q)] for p, q in zip(columns["ask_price"][ask:ask + na], columns["ask_qty"][ask:ask + na])]
                records.append([int(columns["ts"][i]), names["book"][int(columns["kind"][i])], bids, asks])
                bid, ask = bid + nb, ask + na
            out[name] = records
            continue
        fields = list(columns)
        out[name] = [[names[name][int(columns[f][i])] if f == "side" else int(columns[f][i]) if f == "ts"
                      else float(columns[f][i]) for f in fields] for i in range(len(columns["ts"]))]
    return out


def test_book_levels_of_a_sliced_table(market):
    """A table cut out of a larger one (offsets not starting at zero) gives its own levels."""
    columns = columns_of(market)["book"]
    table = columns_to_table("book", columns)
    part = table.slice(5, 7)
    back = table_to_columns("book", part)
    first = int(columns["bid_count"][:5].sum())
    count = int(columns["bid_count"][5:12].sum())
    np.testing.assert_array_equal(back["bid_price"], columns["bid_price"][first:first + count])
    np.testing.assert_array_equal(back["bid_count"], columns["bid_count"][5:12])
