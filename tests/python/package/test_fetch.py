"""`fetch` against a mirror of the archives served by the test on 127.0.0.1: what lands in the
catalog, what a second run asks for (nothing), and every fault a real archive has: bodies cut in
the middle, 503 and 429 answers, days not found, wrong checksums, HTML pages, servers ignoring
Range, zips with unexpected members or members too large, CSVs whose columns changed."""

from __future__ import annotations

import datetime as dt
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from archive_mirror import Mirror, checksum_line, zip_of  # noqa: E402

from korvel_vorn import Session  # noqa: E402
from korvel_vorn.archives import RetryPolicy, fetch  # noqa: E402
from korvel_vorn.catalog import days as catalog_days  # noqa: E402
from korvel_vorn.catalog import partition_path, read_span  # noqa: E402
from korvel_vorn.catalog.layout import day_start_ms  # noqa: E402
from korvel_vorn.cli import main  # noqa: E402
from korvel_vorn.commands import footprint, funding_oi_divergence, liquidation_map, spec_value  # noqa: E402

FAST = RetryPolicy(attempts=4, base_delay=0.001, max_delay=0.01, timeout=5)
DAYS = ("2024-01-01", "2024-01-02")
SYMBOL = "BTCUSDT"
ROOT_PATH = "/data/futures/um"


def trades_csv(day: str, header: bool, first_id: int, hole: bool = False) -> str:
    start = day_start_ms(day)
    rows = []
    trade_id = first_id
    for n in range(40):
        ts = start + 1000 * n * 2000 + (n % 7)
        price = 42000 + (n % 13) * 0.5
        qty = 0.001 * (n + 1)
        rows.append(f"{trade_id},{price:.1f},{qty:.3f},{price * qty:.5f},{ts},{'true' if n % 3 == 0 else 'false'}")
        trade_id += 2 if hole and n == 10 else 1
    head = "id,price,qty,quote_qty,time,is_buyer_maker\n" if header else ""
    return head + "\n".join(rows) + "\n"


def klines_csv(day: str) -> str:
    start = day_start_ms(day)
    head = ("open_time,open,high,low,close,volume,close_time,quote_volume,count,taker_buy_volume,"
            "taker_buy_quote_volume,ignore\n")
    rows = [f"{start + m * 60_000},42000.0,42010.5,41990.0,42005.5,{10 + m}.5,{start + m * 60_000 + 59_999},"
            f"1000.0,10,5.0,500.0,0" for m in range(0, 1440, 60)]
    return head + "\n".join(rows) + "\n"


def metrics_csv(day: str, next_midnight: bool) -> str:
    head = ("create_time,symbol,sum_open_interest,sum_open_interest_value,count_toptrader_long_short_ratio,"
            "sum_toptrader_long_short_ratio,count_long_short_ratio,sum_taker_long_short_vol_ratio\n")
    base = dt.datetime.fromisoformat(day)
    stamps = [base + dt.timedelta(hours=h) for h in range(24)]
    if next_midnight:  # the label of the period's start moved: the next midnight appears here too
        stamps.append(base + dt.timedelta(days=1))
    rows = [f"{s:%Y-%m-%d %H:%M:%S},{SYMBOL},{70000 + s.day * 100 + s.hour}.5,1.0,1.0,1.0,1.0,1.0" for s in stamps]
    return head + "\n".join(rows) + "\n"


def funding_csv(month: str) -> str:
    head = "calc_time,funding_interval_hours,last_funding_rate\n"
    rows = []
    for day in range(1, 4):
        start = day_start_ms(f"{month}-{day:02d}")
        rows += [f"{start + h * 3_600_000},8,0.000{day}{h // 8}" for h in (0, 8, 16)]
    return head + "\n".join(rows) + "\n"


def liquidations_csv(day: str, repeat_from: str | None) -> str:
    head = ("time,side,order_type,time_in_force,original_quantity,price,average_price,order_status,"
            "last_fill_quantity,accumulated_fill_quantity\n")
    start = day_start_ms(day)
    rows = [f"{start + k * 3_600_000 + 17},{'SELL' if k % 2 else 'BUY'},LIMIT,IOC,0.5{k},4100{k}.0,4100{k}.5,"
            f"FILLED,0.5{k},0.5{k}" for k in range(5)]
    if repeat_from is not None:  # the previous file's last row again
        rows.insert(0, liquidations_csv(repeat_from, None).strip().splitlines()[-1])
    return head + "\n".join(rows) + "\n"


def build_binance(mirror: Mirror, *, repeats: bool = True) -> dict[str, bytes]:
    """Two days of every default type, in the archive's layout; returns the zips by path."""
    zips = {}
    for n, day in enumerate(DAYS):
        daily = f"{ROOT_PATH}/daily"
        zips[f"{daily}/trades/{SYMBOL}/{SYMBOL}-trades-{day}.zip"] = trades_csv(day, header=n == 0, first_id=1000 + 100 * n,
                                                                                  hole=n == 1)
        zips[f"{daily}/klines/{SYMBOL}/1m/{SYMBOL}-1m-{day}.zip"] = klines_csv(day)
        zips[f"{daily}/metrics/{SYMBOL}/{SYMBOL}-metrics-{day}.zip"] = metrics_csv(day, repeats and n == 0)
        zips[f"{daily}/liquidationSnapshot/{SYMBOL}/{SYMBOL}-liquidationSnapshot-{day}.zip"] = \
            liquidations_csv(day, DAYS[0] if repeats and n == 1 else None)
    zips[f"{ROOT_PATH}/monthly/fundingRate/{SYMBOL}/{SYMBOL}-fundingRate-2024-01.zip"] = funding_csv("2024-01")
    return {path: mirror.add_zip(path, text, checksum_newline=i % 2 == 0) for i, (path, text) in enumerate(zips.items())}


@pytest.fixture()
def mirror(monkeypatch):
    with Mirror() as served:
        monkeypatch.setenv("KORVEL_VORN_BINANCE_URL", served.url)
        monkeypatch.setenv("KORVEL_VORN_BYBIT_URL", served.url)
        monkeypatch.setenv("KORVEL_VORN_BYBIT_BOOK_URL", served.url + "/book")
        monkeypatch.setenv("KORVEL_VORN_TARDIS_URL", served.url)
        yield served


def run(tmp_path, **kwargs):
    options = dict(cache=tmp_path / "cache", retry=FAST, jobs=3)
    options.update(kwargs)
    return fetch("binance-um", SYMBOL, DAYS[0], DAYS[-1], tmp_path / "catalog", **options)


def statuses(report):
    return {(day.data_type, day.day): day.status for day in report.days}


# ----------------------------------------------------------------------------- the whole road

def test_fetch_builds_every_day_and_a_second_run_asks_for_nothing(tmp_path, mirror, capsys):
    zips = build_binance(mirror)
    report = run(tmp_path)
    assert report.exit_status == 0, report.summary()
    assert set(statuses(report).values()) == {"written"}
    root = tmp_path / "catalog"
    assert catalog_days(root, "binance-um", SYMBOL) == list(DAYS)
    for path, data in zips.items():  # the cache holds the files byte for byte, with their CHECKSUMs
        assert (tmp_path / "cache" / ("binance" + path)).read_bytes() == data
        assert (tmp_path / "cache" / ("binance" + path + ".CHECKSUM")).read_bytes() == mirror.files[path + ".CHECKSUM"]
    assert not list((tmp_path / "cache").rglob("*.part"))
    trades = pq.read_table(partition_path(root, "trades", "binance-um", SYMBOL, DAYS[1]))
    assert trades.num_rows == 40
    manifest = json.loads((root / "_manifest" / "trades" / "exchange=binance-um" / f"symbol={SYMBOL}"
                           / f"{DAYS[1]}.json").read_text())
    assert manifest["gaps"] == [[day_start_ms(DAYS[1]) + 11 * 2_000_000 + 4, 1111, 1]]
    assert manifest["inputs"][0]["sha256"] == checksum_line(zips[next(p for p in zips if DAYS[1] in p and "trades" in p)],
                                                            "x").decode().split()[0]
    # the metrics label move and the repeated liquidation row: dropped once, counted
    assert report.dropped == {"oi rows repeated across daily files": 1, "liquidations rows repeated across daily files": 1}
    oi = read_span(root, "binance-um", SYMBOL)["oi"]
    assert len(oi["ts"]) == 48 and len(np.unique(oi["ts"])) == 48
    assert main(["catalog", str(root)]) == 0
    listing = capsys.readouterr().out.splitlines()
    assert listing[0] == f"binance-um {SYMBOL}: 2 day(s), {DAYS[0]} to {DAYS[1]}"
    trades_line = next(line for line in listing if line.strip().startswith("trades"))
    assert "80 records" in trades_line and f"gaps on {DAYS[1]} (1)" in trades_line

    before = len(mirror.requests)
    again = run(tmp_path)
    assert len(mirror.requests) == before  # no request at all: not the files, not their CHECKSUMs
    assert again.exit_status == 0 and set(statuses(again).values()) == {"unchanged"}

    other = fetch("binance-um", SYMBOL, DAYS[0], DAYS[-1], tmp_path / "other", cache=tmp_path / "cache", retry=FAST)
    assert len(mirror.requests) == before and other.exit_status == 0  # another catalog from the same cache


def test_without_a_cache_a_second_run_downloads_no_zip(tmp_path, mirror):
    build_binance(mirror)
    assert run(tmp_path, cache=None).exit_status == 0
    before = len(mirror.requests)
    again = run(tmp_path, cache=None)
    asked = [path for path, _ in mirror.requests[before:]]
    assert asked and [path for path in asked if not path.endswith(".CHECKSUM")] == []
    assert set(statuses(again).values()) == {"unchanged"}
    assert not [p for p in (tmp_path / "catalog").iterdir() if p.name.startswith("_fetch")]


def test_the_catalog_of_fetched_files_is_what_convert_makes_of_them(tmp_path, mirror):
    build_binance(mirror, repeats=False)
    assert run(tmp_path).exit_status == 0
    files = sorted(str(p) for p in (tmp_path / "cache").rglob("*.zip"))
    status = main(["convert", *files, "--catalog", str(tmp_path / "converted"), "--exchange", "binance-um",
                   "--symbol", SYMBOL])
    assert status == 0
    for name in ("trades", "candles", "funding", "oi", "liquidations"):
        for day in DAYS:
            fetched = pq.read_table(partition_path(tmp_path / "catalog", name, "binance-um", SYMBOL, day))
            converted = pq.read_table(partition_path(tmp_path / "converted", name, "binance-um", SYMBOL, day))
            assert fetched.select(converted.column_names).cast(converted.schema).equals(converted), (name, day)


def test_a_fetched_span_gives_the_frames_of_the_same_records_as_json(tmp_path, mirror):
    build_binance(mirror)
    assert run(tmp_path).exit_status == 0
    lists = read_span(tmp_path / "catalog", "binance-um", SYMBOL)
    names = {"trades": ("buy", "sell"), "liquidations": ("long", "short")}
    dataset = {}
    for name, columns in lists.items():
        fields = [f for f in columns]
        rows = []
        for i in range(len(columns["ts"])):
            row = []
            for field in fields:
                value = columns[field][i]
                row.append(names[name][int(value)] if field == "side" else int(value) if field == "ts" else float(value))
            rows.append(row)
        dataset[name] = rows
    spec = spec_value(symbol=SYMBOL, panels=[footprint(price_bin=1.0, bucket_ms=3_600_000), liquidation_map(price_bin=5.0),
                                             funding_oi_divergence(bucket_ms=3_600_000)])
    from_json = Session(spec)
    from_json.load(json.dumps(dataset))
    from_catalog = Session(spec)
    from_catalog.load_catalog(tmp_path / "catalog", exchange="binance-um", symbol=SYMBOL)
    for cursor in (day_start_ms(DAYS[0]) + 3_600_000, day_start_ms(DAYS[1]) - 1, day_start_ms(DAYS[1]) + 50_000_000):
        assert from_catalog.frame_text(cursor) == from_json.frame_text(cursor)


# ----------------------------------------------------------------------------- faults of the wire

def trades_path(day: str) -> str:
    return f"{ROOT_PATH}/daily/trades/{SYMBOL}/{SYMBOL}-trades-{day}.zip"


@pytest.mark.parametrize("faults, ignore_range", [
    (["cut"], False),
    (["cut", "cut"], True),
    ([("status", 503, None)], False),
    ([("status", 429, 0.01), ("status", 500, None)], False),
    (["stall"], False),
])
def test_transient_faults_are_retried_and_give_the_same_bytes(tmp_path, mirror, faults, ignore_range):
    zips = build_binance(mirror)
    path = trades_path(DAYS[0])
    mirror.faults[path] = list(faults)
    mirror.ignore_range = ignore_range
    report = run(tmp_path, retry=RetryPolicy(attempts=4, base_delay=0.001, max_delay=0.01, timeout=0.5))
    assert report.exit_status == 0, report.summary()
    assert (tmp_path / "cache" / ("binance" + path)).read_bytes() == zips[path]
    asked = [header for p, header in mirror.requests if p == path]
    assert len(asked) == len(faults) + 1
    if faults[0] == "cut":
        assert asked[1] is not None and asked[1].startswith("bytes=")  # resumed with a Range request


@pytest.mark.parametrize("fault, reason", [
    ("missing", "not found"),
    ("checksum", "checksum mismatch"),
    ("html", "not a zip (the server answered an HTML page)"),
    ("empty", "empty body"),
    ("member", "unexpected zip member"),
    ("path", "named with a path"),
    ("columns", "columns changed"),
])
def test_a_bad_day_is_reported_and_every_other_day_done(tmp_path, mirror, capsys, fault, reason):
    build_binance(mirror)
    path = trades_path(DAYS[1])
    name = path.rsplit("/", 1)[-1]
    if fault == "missing":
        del mirror.files[path], mirror.files[path + ".CHECKSUM"]
    elif fault == "checksum":
        mirror.files[path + ".CHECKSUM"] = checksum_line(b"something else", name)
    elif fault in ("html", "empty"):
        mirror.faults[path] = [fault, fault]
    else:
        member = {"member": "other.csv", "path": "../x.csv", "columns": name.replace(".zip", ".csv")}[fault]
        text = trades_csv(DAYS[1], header=True, first_id=1)
        if fault == "columns":
            text = text.replace("is_buyer_maker", "buyer_maker")
        data = zip_of(member, text)
        mirror.files[path], mirror.files[path + ".CHECKSUM"] = data, checksum_line(data, name)
    status = main(["fetch", "binance-um", SYMBOL, "--from", DAYS[0], "--to", DAYS[1], "--catalog",
                   str(tmp_path / "catalog"), "--cache", str(tmp_path / "cache"), "--no-progress"])
    err = capsys.readouterr().err
    assert status == 3
    failed = [line for line in err.splitlines() if line.lstrip().startswith(("missing:", "failed:"))]
    assert len(failed) == 1 and reason in failed[0] and DAYS[1] in failed[0] and "trades" in failed[0]
    assert err.count("no book exists in this archive") == 1
    assert not partition_path(tmp_path / "catalog", "trades", "binance-um", SYMBOL, DAYS[1]).exists()
    assert partition_path(tmp_path / "catalog", "trades", "binance-um", SYMBOL, DAYS[0]).exists()
    assert partition_path(tmp_path / "catalog", "candles", "binance-um", SYMBOL, DAYS[1]).exists()
    cached = tmp_path / "cache" / ("binance" + path)
    if fault not in ("member", "path", "columns"):
        assert not cached.exists() and not cached.with_name(cached.name + ".part").exists()
    assert not list((tmp_path / "catalog").rglob("*.tmp"))


def test_a_member_beyond_what_a_day_holds_is_refused(tmp_path, mirror, monkeypatch):
    from korvel_vorn.venues.binance import archive as binance

    build_binance(mirror)
    monkeypatch.setitem(binance.MAX_MEMBER_BYTES, "klines", 100)
    report = run(tmp_path)
    assert report.exit_status == 3
    failed = [day for day in report.days if day.status == "failed"]
    assert {day.data_type for day in failed} == {"klines"} and all("inflates" in day.reason for day in failed)


def test_nothing_in_is_status_1(tmp_path, mirror):
    status = main(["fetch", "binance-um", SYMBOL, "--from", DAYS[0], "--to", DAYS[0], "--catalog",
                   str(tmp_path / "catalog"), "--no-progress"])
    assert status == 1


# ----------------------------------------------------------------------------- usage errors

@pytest.mark.parametrize("args, message", [
    (["binance-xx", SYMBOL], "unknown source"),
    (["binance-um", "btc-usdt"], "bad symbol"),
    (["binance-cm", "BTCUSD"], "bad symbol"),
    (["binance-um", SYMBOL, "--types", "depth"], "unknown type"),
    (["binance-um", SYMBOL, "--types", "trades,aggTrades"], "one of them"),
    (["binance-um", SYMBOL, "--from", "2024-13-01"], "bad day"),
    (["binance-um", SYMBOL, "--from", "2024-01-03", "--to", "2024-01-02"], "is after"),
    (["binance-um", SYMBOL, "--to", "2999-01-01"], "not published yet"),
    (["binance-um", SYMBOL, "--jobs", "0"], "--jobs"),
    (["tardis:", SYMBOL], "bad Tardis exchange"),
])
def test_usage_errors_exit_2_with_one_line(tmp_path, capsys, args, message):
    argv = ["fetch", *args]
    if "--from" not in argv:
        argv += ["--from", "2024-01-01"]
    if "--to" not in argv:
        argv += ["--to", "2024-01-02"]
    assert main([*argv, "--catalog", str(tmp_path / "c")]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0]
    assert not (tmp_path / "c").exists()


def test_the_command_line_runs_as_a_module(tmp_path, mirror):
    build_binance(mirror)
    env = dict(os.environ, KORVEL_VORN_BINANCE_URL=mirror.url, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-m", "korvel_vorn", "fetch", "binance-um", SYMBOL, "--from", DAYS[0],
                           "--to", DAYS[0], "--catalog", str(tmp_path / "c"), "--types", "klines"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    listing = subprocess.run([sys.executable, "-m", "korvel_vorn", "catalog", str(tmp_path / "c")],
                             capture_output=True, text=True, env=env, timeout=120)
    assert listing.returncode == 0 and "binance-um BTCUSDT: 1 day(s)" in listing.stdout
    assert "candles" in listing.stdout and Path(tmp_path / "c").is_dir()


# ----------------------------------------------------------------------------- Bybit and Tardis

def gzip_of(text: str) -> bytes:
    import gzip

    return gzip.compress(text.encode(), mtime=0)


def bybit_trades_csv(day: str) -> str:
    start = day_start_ms(day) / 1000
    head = "timestamp,symbol,side,size,price,tickDirection,trdMatchID,grossValue,homeNotional,foreignNotional\n"
    rows = [f"{start + n * 600 + 0.1234:.4f},{SYMBOL},{'Buy' if n % 2 else 'Sell'},0.0{n % 9 + 1},{42000 + n}.5,"
            f"PlusTick,id{n},1,1,1" for n in range(30)]
    return head + "\n".join(rows) + "\n"


def bybit_book_lines(day: str, depth: int) -> str:
    start = day_start_ms(day)
    lines = [{"topic": f"orderbook.{depth}.{SYMBOL}", "type": "snapshot", "ts": start + 7, "cts": start + 5,
              "data": {"s": SYMBOL, "b": [["41999.5", "1.0"], ["41999.0", "2.0"]], "a": [["42000.0", "1.5"]],
                       "u": 1, "seq": 10}}]
    for n in range(1, 20):
        lines.append({"topic": f"orderbook.{depth}.{SYMBOL}", "type": "delta", "ts": start + n * 100_000,
                      "cts": start + n * 100_000 - 2,
                      "data": {"s": SYMBOL, "b": [[f"{41999 - n % 3}.0", "0" if n % 4 == 0 else f"{n}.0"]],
                               "a": [[f"{42000 + n % 5}.5", f"{n}.25"]], "u": 1 + n, "seq": 10 + n}})
    return "\n".join(json.dumps(line) for line in lines) + "\n"


def test_bybit_trades_and_the_order_book(tmp_path, mirror):
    for n, day in enumerate(DAYS):
        mirror.files[f"/trading/{SYMBOL}/{SYMBOL}{day}.csv.gz"] = gzip_of(bybit_trades_csv(day))
        depth = "ob500" if n == 0 else "ob200"  # only the smaller book where that is what exists
        mirror.files[f"/book/orderbook/linear/{SYMBOL}/{day}_{SYMBOL}_{depth}.data.zip"] = zip_of(
            f"{day}_{SYMBOL}_{depth}.data", bybit_book_lines(day, 500 if n == 0 else 200))
    mirror.faults[f"/trading/{SYMBOL}/{SYMBOL}{DAYS[1]}.csv.gz"] = ["cut"]
    report = fetch("bybit", SYMBOL, DAYS[0], DAYS[1], tmp_path / "catalog", cache=tmp_path / "cache", retry=FAST)
    assert report.exit_status == 0, report.summary()
    assert not report.no_book
    root = tmp_path / "catalog"
    trades = read_span(root, "bybit", SYMBOL, day_start_ms(DAYS[0]), day_start_ms(DAYS[0]) + 86_400_000)["trades"]
    assert len(trades["ts"]) == 30 and trades["ts"][1] == day_start_ms(DAYS[0]) + 600_123
    assert list(trades["side"][:2]) == [1, 0]  # the taker's side: Sell, then Buy
    second = read_span(root, "bybit", SYMBOL, day_start_ms(DAYS[1]), None)["book"]
    assert second["ts"][0] == day_start_ms(DAYS[1]) and second["kind"][0] == 0  # continued: the book at midnight
    assert (tmp_path / "cache" / f"bybit/trading/{SYMBOL}/{SYMBOL}{DAYS[1]}.csv.gz").read_bytes() == \
        mirror.files[f"/trading/{SYMBOL}/{SYMBOL}{DAYS[1]}.csv.gz"]
    requests = len(mirror.requests)
    assert fetch("bybit", SYMBOL, DAYS[0], DAYS[1], root, cache=tmp_path / "cache", retry=FAST).exit_status == 0
    assert len(mirror.requests) == requests


def tardis_files(mirror: Mirror, day: str, key: str | None) -> None:
    start = day_start_ms(day) * 1000
    y, m, d = day.split("-")
    base = f"/v1/binance-futures/{{}}/{y}/{m}/{d}/{SYMBOL}.csv.gz"
    trades = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n" + "".join(
        f"binance-futures,{SYMBOL},{start + n * 1_000_000},{start + n * 1_000_000 + 5},{n},"
        f"{'buy' if n % 2 else 'sell'},{42000 + n}.5,0.{n + 1}\n" for n in range(10))
    book = "exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount\n" + "".join(
        f"binance-futures,{SYMBOL},{start + 1000},{start + 1001},true,{side},{price},1.0\n"
        for side, price in (("bid", "41999.5"), ("bid", "41999.0"), ("ask", "42000.0"))) + "".join(
        f"binance-futures,{SYMBOL},{start + n * 1_000_000},{start + n * 1_000_000 + 1},false,bid,41999.{n % 2 * 5},{n}.0\n"
        for n in range(1, 8))
    liquidations = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n" + "".join(
        f"binance-futures,{SYMBOL},{start + n * 3_000_000},{start + n * 3_000_000 + 3},,"
        f"{'sell' if n % 2 else 'buy'},4100{n}.0,0.{n + 1}\n" for n in range(4))
    ticker = ("exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,predicted_funding_rate,"
              "open_interest,last_price,index_price,mark_price\n") + "".join(
        f"binance-futures,{SYMBOL},{start + n * 60_000_000},{start + n * 60_000_000 + 2},,0.000{n % 3 + 1},,"
        f"{70000 + n // 2}.5,42000,42000,42000\n" for n in range(6))
    for data_type, text in (("trades", trades), ("incremental_book_L2", book), ("liquidations", liquidations),
                            ("derivative_ticker", ticker)):
        mirror.files[base.format(data_type)] = gzip_of(text)


def test_tardis_needs_a_key_after_the_first_day_of_a_month(tmp_path, mirror, capsys, monkeypatch):
    monkeypatch.delenv("TARDIS_API_KEY", raising=False)
    for day in DAYS:
        tardis_files(mirror, day, None)
    argv = ["fetch", "tardis:binance-futures", SYMBOL, "--from", DAYS[0], "--to", DAYS[1], "--catalog",
            str(tmp_path / "catalog"), "--cache", str(tmp_path / "cache"), "--no-progress"]
    assert main(argv) == 3
    err = capsys.readouterr().err
    assert len([line for line in err.splitlines() if "API key" in line]) == 1
    root = tmp_path / "catalog"
    assert catalog_days(root, "binance-futures", SYMBOL) == [DAYS[0]]
    first = read_span(root, "binance-futures", SYMBOL)
    assert {name: len(columns["ts"]) for name, columns in first.items()} == {
        "trades": 10, "book": 8, "funding": 6, "oi": 3, "liquidations": 4}
    assert list(first["liquidations"]["side"]) == [1, 0, 1, 0]  # a forced sell closed a long
    assert not [h for p, h in mirror.requests if DAYS[1].replace("-", "/") in p]  # no request without the key

    assert main([*argv, "--api-key", "secret"]) == 0
    assert catalog_days(root, "binance-futures", SYMBOL) == list(DAYS)


def test_a_full_disk_stops_with_status_1_and_nothing_half_written(tmp_path, mirror, monkeypatch, capsys):
    import errno

    import pyarrow.parquet as parquet

    build_binance(mirror)

    def full(*args, **kwargs):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(parquet.ParquetWriter, "write_table", full)
    monkeypatch.setattr(parquet, "write_table", full)
    status = main(["fetch", "binance-um", SYMBOL, "--from", DAYS[0], "--to", DAYS[1], "--catalog",
                   str(tmp_path / "catalog"), "--cache", str(tmp_path / "cache"), "--no-progress"])
    err = capsys.readouterr().err
    assert status == 1 and "No space left on device" in err
    assert not list((tmp_path / "catalog").rglob("*.parquet")) and not list((tmp_path / "catalog").rglob("*.tmp"))
    assert "Traceback" not in err


def test_agg_trades_on_request_without_a_header(tmp_path, mirror):
    start = day_start_ms(DAYS[0])
    rows = "".join(f"{500 + n},{42000 + n}.5,0.0{n + 1},{9000 + 2 * n},{9001 + 2 * n},{start + n * 1000},"
                   f"{'true' if n % 2 else 'false'}\n" for n in range(8))
    path = f"{ROOT_PATH}/daily/aggTrades/{SYMBOL}/{SYMBOL}-aggTrades-{DAYS[0]}.zip"
    mirror.add_zip(path, rows)
    report = fetch("binance-um", SYMBOL, DAYS[0], DAYS[0], tmp_path / "catalog", types="aggTrades", retry=FAST)
    assert report.exit_status == 0, report.summary()
    trades = read_span(tmp_path / "catalog", "binance-um", SYMBOL)["trades"]
    assert list(trades["ts"]) == [start + n * 1000 for n in range(8)]
    assert list(trades["side"]) == [0, 1] * 4  # the buyer made the trade: the aggressor sold
    assert list(trades["qty"]) == [float(f"0.0{n + 1}") for n in range(8)]


def test_a_truncated_gzip_is_discarded(tmp_path, mirror):
    whole = gzip_of(bybit_trades_csv(DAYS[0]))
    mirror.files[f"/trading/{SYMBOL}/{SYMBOL}{DAYS[0]}.csv.gz"] = whole[: len(whole) - 12]
    report = fetch("bybit", SYMBOL, DAYS[0], DAYS[0], tmp_path / "catalog", types="trades",
                   cache=tmp_path / "cache", retry=FAST)
    assert report.exit_status == 1
    assert [day.reason for day in report.days] == [report.days[0].reason] and "not a whole gzip" in report.days[0].reason
    assert not list((tmp_path / "cache").rglob("*.csv.gz*"))


# ----------------------------------------------------------------------------- the downloader's pieces

@pytest.mark.parametrize("attempt, low, high", [(0, 0.25, 0.5), (1, 0.5, 1.0), (3, 2.0, 4.0), (10, 30.0, 60.0)])
def test_backoff_doubles_with_jitter_within_bounds(attempt, low, high):
    policy = RetryPolicy(base_delay=0.5, max_delay=60.0)
    delays = [policy.delay(attempt) for _ in range(200)]
    assert all(low <= d <= high for d in delays) and len(set(delays)) > 1


@pytest.mark.parametrize("retry_after, expected", [(2.0, 2.0), (500.0, 60.0), (-3.0, 0.0)])
def test_retry_after_is_honoured_up_to_the_longest_wait(retry_after, expected):
    assert RetryPolicy(max_delay=60.0).delay(0, retry_after) == expected


@pytest.mark.parametrize("text, expected", [
    (b"ABCDEF" + b"0" * 58 + b"  BTCUSDT-trades-2024-01-01.zip", "abcdef" + "0" * 58),
    (b"a" * 64 + b"  x.zip\n", "a" * 64),
    (b"a" * 64, "a" * 64),
    (b"<html>not found</html>", None),
    (b"", None),
    (b"a" * 63 + b"  x.zip", None),
])
def test_checksum_lines(text, expected):
    from korvel_vorn.archives.download import DownloadFailed, checksum_value

    if expected is None:
        with pytest.raises(DownloadFailed, match="not a sha256sum line"):
            checksum_value(text, "x.zip")
    else:
        assert checksum_value(text, "x.zip") == expected


def test_the_monthly_funding_of_the_current_month_is_not_asked_for(tmp_path, mirror):
    yesterday = (dt.datetime.now(dt.UTC).date() - dt.timedelta(days=1)).isoformat()
    if yesterday[:7] != dt.datetime.now(dt.UTC).strftime("%Y-%m"):
        pytest.skip("yesterday ended the last month, whose file is out")
    mirror.add_zip(f"{ROOT_PATH}/daily/klines/{SYMBOL}/1m/{SYMBOL}-1m-{yesterday}.zip", klines_csv(yesterday))
    report = fetch("binance-um", SYMBOL, yesterday, yesterday, tmp_path / "catalog", types="klines,fundingRate",
                   retry=FAST)
    assert report.exit_status == 0, report.summary()
    assert {day.data_type: day.status for day in report.days} == {"klines": "written", "fundingRate": "not published"}
    assert not [path for path, _ in mirror.requests if "fundingRate" in path]
