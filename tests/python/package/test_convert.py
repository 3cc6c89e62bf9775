"""Converters: known recorded rows in, exact dataset records out."""

import gzip
import json
import zipfile

import pytest

from korvel_vorn.convert import ConvertError, convert_files
from korvel_vorn.session import Session


def convert_text(tmp_path, text, name="in.txt", kind=None, **options):
    path = tmp_path / name
    path.write_text(text)
    return convert_files([(str(path), kind)], **options)


def lists_of(result):
    """The converted lists as decoded JSON records."""
    return json.loads(result.to_json())


@pytest.mark.parametrize("text, kind, records", [
    # Binance trade stream in a combined-stream envelope: m=true means the buyer was the maker, so
    # the aggressor sold. Decimal text stays as recorded.
    ('{"stream":"btcusdt@trade","data":{"e":"trade","E":1700000000100,"T":1700000000099,"s":"BTCUSDT",'
     '"t":5,"p":"61807.70","q":"0.010","m":true}}', "trades",
     ['{"ts":1700000000099,"price":61807.70,"qty":0.010,"side":"sell"}']),
    ('{"e":"aggTrade","E":2,"s":"BTCUSDT","a":9,"p":"10.5","q":"2","f":1,"l":2,"T":1700000000200,"m":false}',
     "trades", ['{"ts":1700000000200,"price":10.5,"qty":2,"side":"buy"}']),
    # forceOrder: SELL is a forced sell, so a long was liquidated; price = average fill, qty = filled.
    ('{"e":"forceOrder","E":1700000000400,"o":{"s":"BTCUSDT","S":"SELL","o":"LIMIT","f":"IOC","q":"0.020",'
     '"p":"61000","ap":"61010.5","X":"FILLED","l":"0.014","z":"0.014","T":1700000000399}}', "liquidations",
     ['{"ts":1700000000399,"price":61010.5,"qty":0.014,"side":"long"}']),
    ('{"e":"forceOrder","E":1,"o":{"s":"X","S":"BUY","q":"3","p":"5.5","ap":"0","z":"0","T":1700000000000}}',
     "liquidations", ['{"ts":1700000000000,"price":5.5,"qty":3,"side":"short"}']),
    ('{"e":"markPriceUpdate","E":1680652701000,"s":"BTCUSDT","p":"28000","r":"0.00002754","T":1680681600000}',
     "funding", ['{"ts":1680652701000,"rate":0.00002754}']),
    # Kline stream: the last update of an open time wins.
    ('{"e":"kline","E":1,"s":"BTCUSDT","k":{"t":1700000040000,"o":"1","h":"2","l":"0.5","c":"1.5","v":"10","x":false}}\n'
     '{"e":"kline","E":2,"s":"BTCUSDT","k":{"t":1700000040000,"o":"1","h":"3","l":"0.5","c":"2.5","v":"12","x":true}}',
     "candles", ['{"ts":1700000040000,"open":1,"high":3,"low":0.5,"close":2.5,"volume":12}']),
    # REST responses.
    ('[{"symbol":"BTCUSDT","fundingTime":1721347200000,"fundingRate":"0.00004029","markPrice":"64000"}]',
     "funding", ['{"ts":1721347200000,"rate":0.00004029}']),
    ('{"symbol":"BTCUSDT","openInterest":"81234.567","time":1700000000000}', "oi",
     ['{"ts":1700000000000,"oi":81234.567}']),
    ('[{"symbol":"BTCUSDT","sumOpenInterest":"8.5","sumOpenInterestValue":"1","timestamp":1700000300000}]', "oi",
     ['{"ts":1700000300000,"oi":8.5}']),
    ('[[1700000040000,"1.0","2.0","0.5","1.5","10",1700000099999,"0",3,"0","0","0"]]', "candles",
     ['{"ts":1700000040000,"open":1.0,"high":2.0,"low":0.5,"close":1.5,"volume":10}']),
    ('[{"id":7,"price":"5","qty":"1","quoteQty":"5","time":1700000000000,"isBuyerMaker":false}]', "trades",
     ['{"ts":1700000000000,"price":5,"qty":1,"side":"buy"}']),
    # Bybit: publicTrade S is the taker's side; liquidation side Buy means a long was liquidated.
    ('{"topic":"publicTrade.BTCUSDT","type":"snapshot","ts":1,"data":[{"T":1700000000000,"s":"BTCUSDT",'
     '"S":"Sell","v":"0.003","p":"43511.70","L":"MinusTick","i":"x","BT":false}]}', "trades",
     ['{"ts":1700000000000,"price":43511.70,"qty":0.003,"side":"sell"}']),
    ('{"topic":"liquidation.BTCUSDT","type":"snapshot","ts":1,"data":{"updatedTime":1700000000000,'
     '"symbol":"BTCUSDT","side":"Buy","size":"0.5","price":"43000.1"}}', "liquidations",
     ['{"ts":1700000000000,"price":43000.1,"qty":0.5,"side":"long"}']),
    ('{"topic":"tickers.BTCUSDT","type":"delta","ts":1700000000000,"data":{"symbol":"BTCUSDT",'
     '"fundingRate":"0.0001","openInterest":"5000"}}', "funding", ['{"ts":1700000000000,"rate":0.0001}']),
    # Dataset-shaped records, object and positional, and a whole dataset file.
    ('{"ts":5,"price":1,"qty":2,"side":"short"}', "liquidations", ['{"ts":5,"price":1,"qty":2,"side":"short"}']),
    ('{"trades":[[3,1.5,2,{"buy":null}]],"oi":[]}', "trades", ['{"ts":3,"price":1.5,"qty":2,"side":"buy"}']),
])
def test_json_recordings(tmp_path, text, kind, records):
    result = convert_text(tmp_path, text)
    assert [json.dumps(r, separators=(",", ":")) for r in lists_of(result)[kind]] == \
        [json.dumps(json.loads(r), separators=(",", ":")) for r in records]
    # and the exact text: numbers byte for byte as recorded
    body = result.to_json()
    for r in records:
        assert r in body


BINANCE_FUTURES_TRADES = "id,price,qty,quote_qty,time,is_buyer_maker\n1,61807.70,0.010,618.077,1723161256322,true\n"


@pytest.mark.parametrize("text, kind, records", [
    (BINANCE_FUTURES_TRADES, "trades", ['{"ts":1723161256322,"price":61807.70,"qty":0.010,"side":"sell"}']),
    ("1,61807.70,0.010,618.077,1723161256322,false\n", "trades",
     ['{"ts":1723161256322,"price":61807.70,"qty":0.010,"side":"buy"}']),
    # Spot trades in microseconds (7 columns, no header): floored to milliseconds.
    ("1,5.5,2.0,11.0,1735689600123456,True,True\n", "trades", ['{"ts":1735689600123,"price":5.5,"qty":2.0,"side":"sell"}']),
    ("agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,is_buyer_maker\n9,3.5,1,1,2,1700000000000,false\n",
     "trades", ['{"ts":1700000000000,"price":3.5,"qty":1,"side":"buy"}']),
    ("1700000040000,1.0,2.0,0.5,1.5,10,1700000099999,0,3,0,0,0\n", "candles",
     ['{"ts":1700000040000,"open":1.0,"high":2.0,"low":0.5,"close":1.5,"volume":10}']),
    ("open_time,open,high,low,close,volume,close_time,quote_volume,count,taker_buy_volume,taker_buy_quote_volume,ignore\n"
     "1700000040000,1.0,2.0,0.5,1.5,10,1700000099999,0,3,0,0,0\n", "candles",
     ['{"ts":1700000040000,"open":1.0,"high":2.0,"low":0.5,"close":1.5,"volume":10}']),
    ("calc_time,funding_interval_hours,last_funding_rate\n1721347200000,8,0.00004029\n", "funding",
     ['{"ts":1721347200000,"rate":0.00004029}']),
    ("create_time,symbol,sum_open_interest,sum_open_interest_value\n2024-08-08 00:05:00,BTCUSDT,81234.5,5e9\n", "oi",
     ['{"ts":1723075500000,"oi":81234.5}']),
    ("time,side,order_type,time_in_force,original_quantity,price,average_price,order_status,last_fill_quantity,"
     "accumulated_fill_quantity\n1700000000000,SELL,LIMIT,IOC,0.5,100,101.5,FILLED,0.5,0.4\n", "liquidations",
     ['{"ts":1700000000000,"price":101.5,"qty":0.4,"side":"long"}']),
    # Bybit dump: seconds with a fraction, side is the taker's.
    ("timestamp,symbol,side,size,price,tickDirection,trdMatchID,grossValue,homeNotional,foreignNotional\n"
     "1585180700.0647,BTCUSD,Buy,1,6700.5,ZeroPlusTick,x,1,1,1\n", "trades",
     ['{"ts":1585180700064,"price":6700.5,"qty":1,"side":"buy"}']),
    ("exchange,symbol,timestamp,local_timestamp,id,side,price,amount\nbinance-futures,BTCUSDT,1700000000123999,"
     "1700000000124500,1,sell,100.5,2\n", "trades", ['{"ts":1700000000123,"price":100.5,"qty":2,"side":"sell"}']),
    ("exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,predicted_funding_rate,open_interest\n"
     "x,BTC,1700000000000000,0,0,0.0001,,10\nx,BTC,1700000001000000,0,0,0.0001,,11\n", "oi",
     ['{"ts":1700000000000,"oi":10}', '{"ts":1700000001000,"oi":11}']),
    ("ts,rate\n5,0.0001\n", "funding", ['{"ts":5,"rate":0.0001}']),  # "ts" is milliseconds, as in a dataset
    ("timestamp,rate\n1700000000,0.0001\n", "funding", ['{"ts":1700000000000,"rate":0.0001}']),  # seconds by size
    ("timestamp,price,qty,side\n2024-01-01T00:00:00Z,1.5,2,long\n", "liquidations",
     ['{"ts":1704067200000,"price":1.5,"qty":2,"side":"long"}']),
    ("time,open,high,low,close,volume\n1700000040000,1,2,0.5,1.5,10\n", "candles",
     ['{"ts":1700000040000,"open":1,"high":2,"low":0.5,"close":1.5,"volume":10}']),
])
def test_csv_recordings(tmp_path, text, kind, records):
    body = convert_text(tmp_path, text, name=f"{kind}.csv").to_json()
    got = json.loads(body)[kind]
    assert got == [json.loads(r) for r in records]
    for r in records:
        assert r in body


def test_forced_kind_reads_a_trade_shaped_csv_as_liquidations(tmp_path):
    text = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount\nx,BTCUSDT,1700000000000000,0,1,sell,100,2\n"
    assert lists_of(convert_text(tmp_path, text, name="liq.csv", kind="liquidations"))["liquidations"] == \
        [{"ts": 1700000000000, "price": 100, "qty": 2, "side": "long"}]


def test_depth_snapshot_and_updates_are_put_in_replay_order(tmp_path):
    lines = [
        # an update wholly contained in the snapshot (u < lastUpdateId): dropped
        '{"e":"depthUpdate","E":1,"T":1700000000280,"s":"BTCUSDT","U":90,"u":99,"pu":89,"b":[["1","1"]],"a":[]}',
        # the update that bridges the snapshot, stamped before it: moved to the snapshot's time
        '{"e":"depthUpdate","E":1,"T":1700000000285,"s":"BTCUSDT","U":95,"u":101,"pu":99,"b":[["10.0","0.000"]],"a":[]}',
        # the snapshot, with a local timestamp written before it
        '1700000000300000000 {"lastUpdateId":100,"E":1700000000300,"T":1700000000290,"bids":[["10.0","1.000"]],"asks":[["10.5","2"]]}',
        '{"e":"depthUpdate","E":1,"T":1700000000400,"s":"BTCUSDT","U":102,"u":105,"pu":101,"b":[],"a":[["10.5","3"]]}',
        # a gap: pu does not continue the previous u
        '{"e":"depthUpdate","E":1,"T":1700000000500,"s":"BTCUSDT","U":110,"u":111,"pu":108,"b":[],"a":[]}',
        '{"e":"bookTicker","u":1,"s":"BTCUSDT"}',
    ]
    result = convert_text(tmp_path, "\n".join(lines) + "\n", name="depth.jsonl")
    assert lists_of(result)["book"] == [
        {"ts": 1700000000290, "kind": "snapshot", "bids": [[10.0, 1.0]], "asks": [[10.5, 2]]},
        {"ts": 1700000000290, "kind": "diff", "bids": [[10.0, 0.0]], "asks": []},
        {"ts": 1700000000400, "kind": "diff", "bids": [], "asks": [[10.5, 3]]},
        {"ts": 1700000000500, "kind": "diff", "bids": [], "asks": []},
    ]
    assert '"bids":[[10.0,0.000]]' in result.to_json()
    assert (result.dropped_diffs, result.raised_ts, result.sequence_gaps) == (1, 1, 1)
    assert "skipped 1 bookTicker messages" in result.notes()


def test_tardis_incremental_book_groups_rows_into_events(tmp_path):
    text = ("exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount\n"
            "x,BTC,1700000000000000,0,true,bid,99.5,2\n"
            "x,BTC,1700000000000000,0,true,ask,100.5,3\n"
            "x,BTC,1700000000500000,0,false,ask,100.5,0\n"
            "x,BTC,1700000000500000,0,false,bid,99.0,1\n"
            "x,BTC,1700000000600000,0,false,bid,99.0,4\n")
    assert lists_of(convert_text(tmp_path, text, name="l2.csv"))["book"] == [
        {"ts": 1700000000000, "kind": "snapshot", "bids": [[99.5, 2]], "asks": [[100.5, 3]]},
        {"ts": 1700000000500, "kind": "diff", "bids": [[99.0, 1]], "asks": [[100.5, 0]]},
        {"ts": 1700000000600, "kind": "diff", "bids": [[99.0, 4]], "asks": []},
    ]


def test_inputs_merge_in_time_order_and_trades_seen_twice_are_dropped(tmp_path):
    day2 = tmp_path / "day2.csv"
    day2.write_text("id,price,qty,quote_qty,time,is_buyer_maker\n3,3,1,3,1700000003000,false\n2,2,1,2,1700000002000,true\n")
    day1 = tmp_path / "day1.csv.gz"
    day1.write_bytes(gzip.compress(b"id,price,qty,quote_qty,time,is_buyer_maker\n1,1,1,1,1700000001000,false\n"
                                   b"2,2,1,2,1700000002000,true\n"))
    archive = tmp_path / "funding.zip"
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("BTCUSDT-fundingRate-2023-11.csv", "calc_time,funding_interval_hours,last_funding_rate\n1700000000000,8,0.0001\n")
    result = convert_files([str(day2), str(day1), str(archive)])
    got = lists_of(result)
    assert [t["ts"] for t in got["trades"]] == [1700000001000, 1700000002000, 1700000003000]
    # The settlement lies before the trades: outside the recording, so left out unless asked.
    assert got["funding"] == []
    assert any(n.startswith("dropped 1 funding records outside the recording's time range") for n in result.notes())
    assert result.duplicates == 1
    kept = convert_files([str(day2), str(day1), str(archive)], keep_all_times=True)
    assert lists_of(kept)["funding"] == [{"ts": 1700000000000, "rate": 0.0001}]


def test_symbol_filter_and_several_symbols(tmp_path):
    text = ('{"e":"trade","s":"BTCUSDT","t":1,"p":"1","q":"1","T":1700000000000,"m":true}\n'
            '{"e":"trade","s":"ETHUSDT","t":1,"p":"2","q":"1","T":1700000000000,"m":true}\n')
    with pytest.raises(ConvertError, match=r"several symbols \(BTCUSDT, ETHUSDT\)"):
        convert_text(tmp_path, text, name="t.jsonl")
    result = convert_text(tmp_path, text, name="t.jsonl", symbol="ethusdt")
    assert lists_of(result)["trades"] == [{"ts": 1700000000000, "price": 2, "qty": 1, "side": "sell"}]
    assert result.symbols == {"ETHUSDT"}


@pytest.mark.parametrize("text, name, message", [
    ('{"e":"trade","s":"X","t":1,"p":"1","q":"1","T":1,"m":true}\n{"e":"trade",\n', "t.jsonl", r"t\.jsonl:2: invalid JSON"),
    ('{"e":"trade","s":"X","t":1,"p":"abc","q":"1","T":1700000000000,"m":true}', "t.json", "p is not a number: 'abc'"),
    ('{"e":"trade","s":"X","t":1,"q":"1","T":1700000000000,"m":true}', "t.json", "lacks the field 'p'"),
    ("id,price,qty,quote_qty,time,is_buyer_maker\n1,1,1,1,1700000000000,maybe\n", "t.csv", r"t\.csv:2: is_buyer_maker is not true or false"),
    ("1,2,3\n", "t.csv", "layout \\(3 columns\\) is not a known recording"),
    ("alpha,beta\n1,2\n", "t.csv", "no time column"),
    ("ts,colour\n1,2\n", "t.csv", "cannot tell what the columns"),
    ('{"lastUpdateId":1,"bids":[],"asks":[]}', "snap.json", "depth snapshot has no timestamp"),
    ('{"code":-1121,"msg":"Invalid symbol."}', "err.json", "error response of the exchange: Invalid symbol"),
    ('{"ts":1,"price":1,"qty":1,"side":"up"}', "r.json", "side is not buy or sell"),
])
def test_bad_recordings_name_file_line_and_field(tmp_path, text, name, message):
    with pytest.raises(ConvertError, match=message):
        convert_text(tmp_path, text, name=name)


def test_mixing_trades_and_aggregate_trades_is_refused(tmp_path):
    text = ('{"e":"trade","s":"X","t":1,"p":"1","q":"1","T":1700000000000,"m":true}\n'
            '{"e":"aggTrade","s":"X","a":1,"p":"1","q":"1","T":1700000000000,"m":true}\n')
    with pytest.raises(ConvertError, match="count the same volume twice"):
        convert_text(tmp_path, text, name="t.jsonl")


def test_missing_input_and_bad_options(tmp_path):
    with pytest.raises(ConvertError, match="No such file"):
        convert_files([str(tmp_path / "absent.csv")])
    with pytest.raises(ConvertError, match="unknown kind"):
        convert_files([(str(tmp_path / "x"), "ticks")])
    with pytest.raises(ConvertError, match="unknown time unit"):
        convert_files([], time_unit="minutes")


def test_forced_time_unit(tmp_path):
    got = lists_of(convert_text(tmp_path, "timestamp,oi\n1700000000,5\n", name="oi.csv", time_unit="ms"))
    assert got["oi"] == [{"ts": 1700000000, "oi": 5}]


def test_converted_market_loads_into_the_engine(tmp_path):
    text = (BINANCE_FUTURES_TRADES +
            "2,61808.00,0.5,1,1723161256400,false\n")
    out = convert_text(tmp_path, text, name="trades.csv").to_json()
    session = Session({"dataset_ref": "", "symbol": "BTCUSDT", "panels": [{"kind": "footprint", "price_bin": 1.0}]})
    assert session.load(out) == 2
    frame = session.frame()
    assert frame["panels"][0] == {"kind": "footprint", "price_bins": [61807.0, 61808.0], "buy_vol": [0.0, 0.5],
                                  "sell_vol": [0.01, 0.0]}
