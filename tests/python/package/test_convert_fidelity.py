"""Converting the files traders actually have: formats told apart, nothing kept or dropped without
a word, unreadable files reported in one line, bounded memory, and the recorded sessions."""

import gzip
import json
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("pyarrow")

from conftest import ROOT, child_env
from korvel_vorn.convert import ConvertError, EmptyConversion, convert_files
from korvel_vorn.session import Session


def dumps(value):
    return json.dumps(value, separators=(",", ":"))  # as the exchange writes its messages


RAW = ROOT.parent / "shared" / "data" / "raw"
REAL = ROOT.parent / "shared" / "data" / "real"
T0 = 1723161600000  # 2024-08-09 00:00:00 UTC

TARDIS_HEADER = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n"
TRADES_HEADER = "id,price,qty,quote_qty,time,is_buyer_maker\n"
LIQ_HEADER = ("time,side,order_type,time_in_force,original_quantity,price,average_price,order_status,"
              "last_fill_quantity,accumulated_fill_quantity\n")


def trade(ts, price="100.0", qty="1", tid=1, maker=False, symbol="BTCUSDT", kind=None):
    data = {"e": "trade", "E": ts, "T": ts, "s": symbol, "t": tid, "p": price, "q": qty, "m": maker}
    if kind is not None:
        data["X"] = kind
    return dumps({"stream": f"{symbol.lower()}@trade", "data": data})


def depth(ts, first, last, prev, bids=(("100.0", "1"),), asks=(("101.0", "1"),), symbol="BTCUSDT"):
    return dumps({"stream": f"{symbol.lower()}@depth", "data": {
        "e": "depthUpdate", "E": ts, "T": ts, "s": symbol, "U": first, "u": last, "pu": prev,
        "b": [list(b) for b in bids], "a": [list(a) for a in asks]}})


def snapshot(ts, last_id, bids=(("100.0", "5"),), asks=(("101.0", "5"),)):
    # The REST snapshot as recorders write it inline: no symbol, a local timestamp before it.
    return f"{ts * 1_000_000} " + dumps({"lastUpdateId": last_id, "E": ts, "T": ts,
                                               "bids": [list(b) for b in bids], "asks": [list(a) for a in asks]})


def write(tmp_path, name, text):
    path = tmp_path / name
    if name.endswith(".gz"):
        path.write_bytes(gzip.compress(text.encode()))
    else:
        path.write_text(text)
    return str(path)


def raw(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def converted(inputs, **options):
    with convert_files(inputs, **options) as result:
        return json.loads(result.to_json()), result.notes()


def has_note(notes, start):
    return any(note.startswith(start) for note in notes)


# ----------------------------------------------------------------------------- formats told apart

def test_tardis_liquidations_are_told_from_trades_by_name_or_kind(tmp_path):
    row = "binance-futures,BTCUSDT,1723161600123000,1723161600124000,,sell,61000.5,0.25\n"
    liq = write(tmp_path, "binance-futures_liquidations_2024-08-09_BTCUSDT.csv", TARDIS_HEADER + row)
    lists, notes = converted([liq])
    assert lists["liquidations"] == [{"ts": 1723161600123, "price": 61000.5, "qty": 0.25, "side": "long"}]
    assert lists["trades"] == []
    assert has_note(notes, f"read {liq}: Tardis liquidations CSV (liquidations 1)")
    trades = write(tmp_path, "binance-futures_trades_2024-08-09_BTCUSDT.csv", TARDIS_HEADER + row)
    assert converted([trades])[0]["trades"] == [{"ts": 1723161600123, "price": 61000.5, "qty": 0.25, "side": "sell"}]
    neutral = write(tmp_path, "btc.csv", TARDIS_HEADER + row)
    with pytest.raises(ConvertError, match=r"btc\.csv:1: .*Tardis trades and of Tardis liquidations.*--trades or --liquidations"):
        convert_files([neutral])
    assert converted([(neutral, "liquidations")])[0]["liquidations"][0]["side"] == "long"


@pytest.mark.parametrize("name, text, kind, message", [
    ("funding.csv", "calc_time,funding_interval_hours,last_funding_rate\n1,8,0.0001\n", "trades",
     "this is a Binance fundingRate CSV, which holds funding, not trades"),
    ("t.csv", TRADES_HEADER + "1,1,1,1,1723161600000,true\n", "liquidations",
     "this is a Binance trades CSV, which holds trades, not liquidations"),
])
def test_a_forced_kind_that_contradicts_the_content_is_refused(tmp_path, name, text, kind, message):
    with pytest.raises(ConvertError, match=message):
        convert_files([(write(tmp_path, name, text), kind)])


# ----------------------------------------------------------------------------- the book

def test_a_snapshot_belongs_to_the_symbol_of_the_recording_it_sits_in(tmp_path):
    btc = write(tmp_path, "btc.jsonl", "\n".join([
        snapshot(T0, 10), depth(T0 + 1, 10, 11, 9), trade(T0 + 2)]))
    eth = write(tmp_path, "eth.jsonl", "\n".join([
        snapshot(T0, 50, bids=(("3000.0", "9"),), asks=(("3001.0", "9"),)),
        depth(T0 + 1, 50, 51, 49, bids=(("3000.0", "8"),), asks=(), symbol="ETHUSDT"),
        trade(T0 + 2, "3000.5", symbol="ETHUSDT")]))
    lists, notes = converted([btc, eth], symbol="ETHUSDT")
    assert [(e["kind"], e["bids"]) for e in lists["book"]] == [("snapshot", [[3000.0, 9]]), ("diff", [[3000.0, 8]])]
    assert has_note(notes, "skipped 1 depth snapshots of other symbols (BTCUSDT)")
    assert converted([btc, eth], symbol="BTCUSDT")[0]["book"][0]["bids"] == [[100.0, 5]]


def test_diffs_before_the_first_snapshot_are_dropped_unless_kept(tmp_path):
    path = write(tmp_path, "r.jsonl", "\n".join([
        depth(T0, 1, 5, 0), depth(T0 + 1, 6, 8, 5), trade(T0 + 2)]))
    lists, notes = converted([path])
    assert lists["book"] == []
    assert has_note(notes, "warning: dropped 2 depth updates that came before the book's first snapshot")
    kept, notes = converted([path], keep_unsnapshotted_diffs=True)
    assert [e["kind"] for e in kept["book"]] == ["diff", "diff"]
    assert has_note(notes, "warning: the book starts with depth updates before any snapshot")
    # With a snapshot later on, only the diffs before it go; gaps in the ids are still reported.
    path = write(tmp_path, "s.jsonl", "\n".join([
        depth(T0, 1, 5, 0), snapshot(T0 + 1, 7), depth(T0 + 2, 6, 8, 5), depth(T0 + 3, 12, 14, 11)]))
    lists, notes = converted([path])
    assert [e["kind"] for e in lists["book"]] == ["snapshot", "diff", "diff"]
    assert has_note(notes, "dropped 1 depth updates already contained in a snapshot")
    assert has_note(notes, "warning: 1 gaps in the depth update sequence")


def test_a_start_time_keeps_the_book_it_cuts_as_one_snapshot(tmp_path):
    path = write(tmp_path, "r.jsonl", "\n".join([
        snapshot(T0, 10, bids=(("100.0", "5"), ("99.0", "2")), asks=(("101.0", "5"),)),
        depth(T0 + 1000, 10, 11, 9, bids=(("99.0", "0"), ("98.5", "1.50")), asks=(("101.5", "3"),)),
        trade(T0 + 1500, tid=1), depth(T0 + 3000, 12, 12, 11, bids=(("100.0", "4"),), asks=()), trade(T0 + 3500, tid=2)]))
    lists, notes = converted([path], start=T0 + 2000)
    assert lists["book"][0] == {"ts": T0 + 2000, "kind": "snapshot", "bids": [[100.0, 5], [98.5, 1.5]],
                                "asks": [[101.0, 5], [101.5, 3]]}
    assert [e["ts"] for e in lists["book"]] == [T0 + 2000, T0 + 3000]
    assert [t["ts"] for t in lists["trades"]] == [T0 + 3500]
    assert has_note(notes, "replaced 2 book events before the start time by one snapshot")
    assert has_note(notes, "dropped 1 trades records outside --from 2024-08-09 00:00:02.000 UTC")


# ----------------------------------------------------------------------------- trades and liquidations

def test_non_market_trades_are_dropped_with_a_count_unless_kept(tmp_path):
    path = write(tmp_path, "t.jsonl", "\n".join([
        trade(T0, tid=1, kind="MARKET"), trade(T0 + 1, "28722.50", tid=2, kind="INSURANCE_FUND"),
        trade(T0 + 2, tid=3, kind="ADL"), trade(T0 + 3, tid=4)]))
    lists, notes = converted([path])
    assert [t["ts"] for t in lists["trades"]] == [T0, T0 + 3]
    assert has_note(notes, "dropped 1 INSURANCE_FUND trades (not market trades; --keep-trade-types keeps them)")
    assert has_note(notes, "dropped 1 ADL trades")
    assert len(converted([path], keep_trade_types=True)[0]["trades"]) == 4


def test_repeated_liquidation_rows_are_counted_and_kept_unless_dropped(tmp_path):
    row = f"{T0},SELL,LIMIT,IOC,0.5,61000,61010.5,FILLED,0.5,0.5\n"
    other = f"{T0 + 5},BUY,LIMIT,IOC,1,61100,61090,FILLED,1,1\n"
    path = write(tmp_path, "BTCUSDT-liquidationSnapshot-2024-08-09.csv", LIQ_HEADER + row + row + other + row)
    lists, notes = converted([path])
    assert len(lists["liquidations"]) == 4
    assert has_note(notes, "kept 2 liquidations repeat an earlier one exactly (same time, side, price and quantity)")
    lists, notes = converted([path], drop_duplicate_liquidations=True)
    assert [(r["ts"], r["side"]) for r in lists["liquidations"]] == [(T0, "long"), (T0 + 5, "short")]
    assert has_note(notes, "dropped 2 liquidations repeat")


# ----------------------------------------------------------------------------- time ranges and candles

def _month_of_funding(tmp_path):
    rows = "".join(f"{T0 + (k - 3) * 8 * 3_600_000},8,0.0000{k}\n" for k in range(1, 9))
    return write(tmp_path, "BTCUSDT-fundingRate-2024-08.csv", "calc_time,funding_interval_hours,last_funding_rate\n" + rows)


def test_side_files_are_clipped_to_the_recording_unless_asked(tmp_path):
    funding = _month_of_funding(tmp_path)
    trades = write(tmp_path, "trades.csv", TRADES_HEADER + "".join(
        f"{i},100.{i},1,1,{T0 - 60_000 + i * 30_000},false\n" for i in range(1, 5)))
    lists, notes = converted([funding, trades])
    assert lists["funding"] == [{"ts": T0, "rate": 0.00003}]
    assert has_note(notes, "dropped 7 funding records outside the recording's time range "
                           "(2024-08-08 23:59:30.000 UTC to 2024-08-09 00:01:00.000 UTC); --keep-all-times keeps them")
    assert len(converted([funding, trades], keep_all_times=True)[0]["funding"]) == 8
    lists, notes = converted([funding, trades], start=T0 - 8 * 3_600_000, end=T0 + 30_000)
    assert [r["ts"] for r in lists["funding"]] == [T0 - 8 * 3_600_000, T0]
    assert [t["ts"] for t in lists["trades"]] == [T0 - 30_000, T0]


def test_candles_derived_from_trades_cover_whole_buckets_only(tmp_path):
    rows = [(1, "100.10", "0.001", T0 - 1_000), (2, "100.20", "0.010", T0), (3, "99.90", "0.002", T0 + 20_000),
            (4, "100.40", "0.100", T0 + 30_000), (5, "100.40", "0.200", T0 + 45_000), (6, "100.00", "1.000", T0 + 59_999),
            (7, "101.00", "1", T0 + 60_000), (8, "101.50", "2", T0 + 61_000)]
    path = write(tmp_path, "t.csv", TRADES_HEADER + "".join(f"{i},{p},{q},1,{t},false\n" for i, p, q, t in rows))
    with convert_files([path], candles_from_trades=60_000) as result:
        text = result.to_json()
        notes = result.notes()
    # The first minute starts before the recording and the last ends after it: neither is whole.
    assert '{"ts":1723161600000,"open":100.20,"high":100.40,"low":99.90,"close":100.00,"volume":1.312}' in text
    assert json.loads(text)["candles"] == [{"ts": T0, "open": 100.2, "high": 100.4, "low": 99.9, "close": 100.0,
                                             "volume": 1.312}]
    assert has_note(notes, "derived 1 candles from the trades (whole buckets only)")
    without = converted([path])[1]
    assert has_note(without, "no candles, so the divergence panel has no price: --candles-from-trades 1m")


def test_daily_files_join_in_time_order_whatever_order_they_are_given(tmp_path):
    days = []
    (tmp_path / "days").mkdir()
    for d in range(3):
        rows = "".join(f"{d * 10 + i},{100 + d}.{i},1,1,{T0 + d * 86_400_000 + i * 1000},{str(i % 2 == 0).lower()}\n"
                       for i in range(5))
        days.append(write(tmp_path, f"days/BTCUSDT-trades-2024-08-{9 + d:02d}.csv", TRADES_HEADER + rows))
    forward = converted(days)[0]
    assert converted(list(reversed(days)))[0] == forward
    assert converted([str(tmp_path / "days")])[0] == forward
    assert [t["ts"] for t in forward["trades"]] == sorted(t["ts"] for t in forward["trades"])
    assert len(forward["trades"]) == 15
    window = converted([str(tmp_path / "days")], start=T0 + 86_400_000, end=T0 + 2 * 86_400_000)[0]
    assert {t["ts"] // 86_400_000 for t in window["trades"]} == {(T0 + 86_400_000) // 86_400_000}


def test_overlapping_inputs_are_merged_stably_and_repeated_trades_dropped(tmp_path):
    a = write(tmp_path, "a.csv", TRADES_HEADER + "1,1,1,1,1723161600000,false\n3,3,1,1,1723161602000,false\n")
    b = write(tmp_path, "b.csv", TRADES_HEADER + "2,2,1,1,1723161601000,true\n3,3,1,1,1723161602000,false\n"
              "4,4,1,1,1723161602000,true\n")
    with convert_files([a, b]) as result:
        lists = json.loads(result.to_json())
        assert result.duplicates == 1
    assert [(t["ts"], t["price"]) for t in lists["trades"]] == [
        (1723161600000, 1), (1723161601000, 2), (1723161602000, 3), (1723161602000, 4)]


# ----------------------------------------------------------------------------- unreadable input

def _truncated_gzip(tmp_path):
    data = gzip.compress((TRADES_HEADER + "1,1,1,1,1723161600000,false\n" * 5000).encode())
    path = tmp_path / "cut.csv.gz"
    path.write_bytes(data[: len(data) // 2])
    return str(path)


def test_a_gzip_that_ends_early_keeps_every_complete_line(tmp_path):
    path = _truncated_gzip(tmp_path)
    with convert_files([path]) as result:
        kept = result.counts["trades"]
        notes = result.notes()
    assert 0 < kept < 5000
    assert any("cut.csv.gz ends early" in note and "complete line" in note for note in notes)
    with pytest.raises(ConvertError, match=r"cut\.csv\.gz ends early.*--strict"):
        convert_files([path], strict=True)


@pytest.mark.parametrize("make, message", [
    (lambda p: write(p, "empty.csv", ""), r"empty\.csv is empty"),
    (lambda p: write(p, "blank.jsonl", "\n \n"), r"blank\.jsonl is empty"),
    (lambda p: raw(p, "plain.csv.gz", b"not gzip at all"), r"its name ends in \.gz but it is not gzip data"),
    (lambda p: raw(p, "bad.zip", b"PK\x03\x04 broken"), r"not a readable zip archive"),
    (lambda p: raw(p, "bin.dat", bytes(range(256)) * 4), r"is binary data"),
    (lambda p: raw(p, "latin.csv", "time,price\n1,caf\xe9\n".encode("latin-1")),
     r"is not UTF-8 text"),
    (lambda p: write(p, "deep.jsonl", "{}\n" + "[" * 100000 + "]" * 100000 + "\n"), r"deep\.jsonl:2: .*nests too deeply"),
    (lambda p: write(p, "only-eth.jsonl", trade(T0, symbol="ETHUSDT")), r"nothing to convert"),
    (lambda p: write(p, "book.jsonl", depth(T0, 1, 2, 0)), r"nothing to convert: all 1 records read were left out"),
])
def test_unreadable_or_empty_input_is_one_line_and_exit_1(tmp_path, make, message):
    path = make(tmp_path)
    symbol = ["--symbol", "BTCUSDT"] if "only-eth" in path else []
    with pytest.raises(ConvertError, match=message):
        convert_files([path], symbol=symbol[1] if symbol else None)
    env = child_env()
    out = tmp_path / "out.json"
    result = subprocess.run([sys.executable, "-m", "korvel_vorn", "convert", path, *symbol, "-o", str(out)],
                            capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 1
    lines = result.stderr.strip().splitlines()
    assert lines[-1].startswith("korvel_vorn convert: error: ") and "Traceback" not in result.stderr
    assert not out.exists()


def test_an_empty_conversion_still_explains_what_was_left_out(tmp_path):
    with pytest.raises(EmptyConversion) as caught:
        convert_files([write(tmp_path, "book.jsonl", depth(T0, 1, 2, 0))])
    assert has_note(caught.value.conversion.notes(), "warning: dropped 1 depth updates that came before")


# ----------------------------------------------------------------------------- both outputs agree

def test_npz_and_json_outputs_load_the_same_market(tmp_path):
    path = write(tmp_path, "r.jsonl.gz", "\n".join([
        snapshot(T0, 10, bids=(("100.0", "5"), ("99.5", "1")), asks=(("101.0", "5"),)),
        depth(T0 + 10, 10, 11, 9, bids=(("99.5", "0"),), asks=(("101.5", "2.5"),)),
        trade(T0 + 20, "100.5", "0.25", 1, True), trade(T0 + 30, "101.0", "1", 2, False)]))
    with convert_files([path]) as result:
        result.write(str(tmp_path / "out.json"))
        result.write(str(tmp_path / "out.npz"))
    spec = {"dataset_ref": "x", "symbol": "BTCUSDT", "from_ts": None, "to_ts": None, "panels": [
        {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": 10, "depth_levels": 8},
        {"kind": "footprint", "price_bin": 0.5, "bucket_ms": 10}]}
    frames = []
    for name in ("out.json", "out.npz"):
        session = Session(spec)
        assert session.load_file(tmp_path / name) == 4
        frames.append(session.engine.command(dumps({"cmd": "frame", "ts": T0 + 40})))
    assert frames[0] == frames[1] and '"cursor_ts":1723161600030' in frames[0]


# ----------------------------------------------------------------------------- memory and real data

def test_memory_stays_bounded_on_three_million_rows(tmp_path):
    import pyarrow as pa
    import pyarrow.csv as pcsv

    n = 3_000_000
    rng = np.random.default_rng(5)
    ids = np.arange(1, n + 1)
    ticks = 6_000_000 + np.cumsum(rng.integers(-3, 4, n))
    table = pa.table({
        "id": ids, "price": pa.array((ticks / 100).round(2)).cast(pa.string()),
        "qty": pa.array(rng.integers(1, 5000, n) / 1000).cast(pa.string()), "quote_qty": np.ones(n),
        "time": T0 + np.cumsum(rng.integers(0, 20, n)), "is_buyer_maker": rng.integers(0, 2, n).astype(bool)})
    source = tmp_path / "trades.csv"
    pcsv.write_csv(table, source, pcsv.WriteOptions(quoting_style="none"))
    code = ("import sys\n"
            "from korvel_vorn.convert import convert_files\n"
            "with convert_files([sys.argv[1]]) as r:\n"
            "    r.write(sys.argv[2])\n"
            "print([l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1])\n")
    env = child_env()
    for out in ("out.json", "out.npz"):
        result = subprocess.run([sys.executable, "-c", code, str(source), str(tmp_path / out)], capture_output=True,
                                text=True, env=env, timeout=600)
        assert result.returncode == 0, result.stderr
        peak_mb = int(result.stdout.split()[-1]) / 1024
        assert peak_mb < 450, f"{out}: peak {peak_mb:.0f} MB"  # generous: the target is 300 MB
    with np.load(tmp_path / "out.npz") as columns:
        assert len(columns["trades/ts"]) == n
        assert np.all(np.diff(columns["trades/ts"]) >= 0)


@pytest.mark.skipif(not (RAW / "btcusdt_20240808.gz").exists(), reason="raw recordings are not available")
def test_the_raw_recording_converts_to_the_published_dataset(tmp_path):
    with convert_files([str(RAW / "btcusdt_20240808.gz"), str(RAW / "BTCUSDT-fundingRate-2024-08.csv")],
                       candles_from_trades=60_000) as result:
        notes = result.notes()
        out = tmp_path / "out.json"
        result.write(str(out))
    reference = REAL / "binance-usdm-btcusdt-20240808T2354Z.dataset.json"

    def exact(path):
        return json.loads(path.read_text(), parse_float=str, parse_int=str)

    ours, theirs = exact(out), exact(reference)
    for name in theirs:
        assert ours[name] == theirs[name], name
    assert has_note(notes, "dropped 4 depth updates already contained in a snapshot")
    assert has_note(notes, "dropped 92 funding records outside the recording's time range")


# ----------------------------------------------------------------------------- load errors with positions

def _bad_dataset(tmp_path, name="bad.dataset.json"):
    good = '{"ts":%d,"price":1.5,"qty":1,"side":"buy"}'
    lines = [good % i for i in range(1, 1500)] + ['{"ts":9999,"price":1.5,"qty":1,"side":"long"}']
    text = '{"candles":[],"trades":[\n' + ",\n".join(lines) + '\n],"book":[],"funding":[],"oi":[],"liquidations":[]}\n'
    path = tmp_path / name
    path.write_bytes(gzip.compress(text.encode()) if name.endswith(".gz") else text.encode())
    return path, text


@pytest.mark.parametrize("name", ["bad.dataset.json", "bad.dataset.json.gz"])
def test_a_bad_record_is_named_by_list_index_and_line(tmp_path, name):
    path, text = _bad_dataset(tmp_path, name)
    session = Session()
    with pytest.raises(ValueError) as caught:
        session.load_file(path)
    assert str(caught.value) == ("parse: unknown variant `long`, expected `buy` or `sell` "
                                 f"(first bad record: trades[1499] at line 1501 of {path})")
    # The raw protocol's reply stays the engine's own.
    reply = session.engine.command('{"cmd":"load","dataset":' + text + "}")
    assert reply == '{"ok":false,"error":"parse: unknown variant `long`, expected `buy` or `sell`"}'
    env = child_env()
    cli = subprocess.run([sys.executable, "-m", "korvel_vorn", "info", str(path)], capture_output=True, text=True,
                         env=env, timeout=300)
    assert cli.returncode == 1 and "trades[1499] at line 1501" in cli.stderr


def test_a_syntax_error_names_its_record_too(tmp_path):
    path = tmp_path / "cut.json"
    path.write_text('{"trades":[\n{"ts":1,"price":1,"qty":1,"side":"buy"},\n{"ts":2,"price":1,,"qty":1}\n]}\n')
    with pytest.raises(ValueError, match=r"at line 3 column 19 of .*cut\.json \(first bad record: trades\[1\] at line 3"):
        Session().load_file(path)


# ----------------------------------------------------------------------------- block and message readers agree

def _mixed_recording(rng):
    lines = [snapshot(T0, 100, bids=(("99.0", "3"), ("98.0", "1")), asks=(("101.0", "2"),))]
    last = 100
    for i in range(3000):
        ts = T0 + i * 7
        r = rng.random()
        if r < 0.4:
            kind = ["MARKET", "MARKET", "INSURANCE_FUND", None][i % 4]
            symbol = "ETHUSDT" if i % 50 == 0 else "BTCUSDT"
            lines.append(trade(ts, f"{100 + (i % 9) / 10:.1f}", f"0.{i % 997:03d}", 10 + i, i % 3 == 0, symbol, kind))
        elif r < 0.7:
            bids = tuple((f"{99 - k * 0.5:.1f}", f"{(i + k) % 5}") for k in range(i % 4))
            lines.append(depth(ts, last + 1, last + 3, last, bids=bids, asks=((f"{101 + (i % 3) * 0.5:.1f}", "1.25"),)))
            last += 3
        elif r < 0.9:
            lines.append(dumps({"stream": "btcusdt@bookTicker", "data": {"e": "bookTicker", "u": i, "s": "BTCUSDT",
                                                                           "b": "99.0", "B": "1", "a": "101.0", "A": "2"}}))
        else:  # unusual but valid: a number for a price, a level of three values, a bare message
            lines.append([
                dumps({"e": "trade", "E": ts, "T": ts, "s": "BTCUSDT", "t": 10 + i, "p": 100.5, "q": "1", "m": False}),
                dumps({"stream": "btcusdt@depth", "data": {"e": "depthUpdate", "E": ts, "T": ts, "s": "BTCUSDT",
                                                                "U": last + 1, "u": last + 1, "pu": last,
                                                                "b": [["99.5", "1", "x"]], "a": []}}),
                dumps({"e": "depthUpdate", "E": ts, "T": ts, "s": "BTCUSDT", "U": last + 1, "u": last + 1, "pu": last,
                            "b": [], "a": [["102.0", "0"]]}),
                f"{ts * 1000} " + dumps({"e": "markPriceUpdate", "E": ts, "s": "BTCUSDT", "r": "0.0001"}),
            ][i % 4])
            if i % 4 in (1, 2):
                last += 1
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", [1, 2])
def test_block_reader_and_message_reader_give_the_same_dataset(tmp_path, monkeypatch, seed):
    from korvel_vorn.convert import stream_columns

    path = write(tmp_path, "mixed.jsonl", _mixed_recording(np.random.default_rng(seed)))
    options = dict(symbol="BTCUSDT", candles_from_trades=1000)
    decoded = []
    decode = stream_columns.StreamQueues._decode
    monkeypatch.setattr(stream_columns.StreamQueues, "_decode",
                        lambda self, table, kind, *rest: decoded.append(kind) or decode(self, table, kind, *rest))
    with convert_files([path], **options) as result:
        fast, fast_notes = result.to_json(), result.notes()
    assert {"trade", "depth", "ticker"} <= set(decoded)
    monkeypatch.setattr(stream_columns.StreamQueues, "take", lambda self, number, prefix, text: False)
    with convert_files([path], **options) as result:
        slow, slow_notes = result.to_json(), result.notes()
    assert fast == slow
    assert fast_notes == slow_notes
    assert '"side":"sell"' in fast and "INSURANCE_FUND" in " ".join(fast_notes)


def test_a_bad_message_in_a_block_is_reported_at_its_line(tmp_path):
    lines = [trade(T0 + i, tid=i) for i in range(100)]
    lines[57] = lines[57].replace('"p":"100.0"', '"p":"abc"')
    with pytest.raises(ConvertError, match=r"r\.jsonl:58: p is not a number: 'abc'"):
        convert_files([write(tmp_path, "r.jsonl", "\n".join(lines))])
