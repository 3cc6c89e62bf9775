"""The package's thin helpers: command and dataset texts, reply reading, time parsing, Session."""

import dataclasses
import json
import math
import re
from collections import namedtuple

import pytest

import korvel_vorn
from korvel_vorn import commands, dataset, replies, timefmt
from korvel_vorn._jsontext import float_text
from korvel_vorn.session import DatasetFileError, Session, remap_file_error

TRADES_TEXT = ('{"trades":[{"ts":1,"price":100.2,"qty":1.0,"side":"buy"},'
               '{"ts":2,"price":100.7,"qty":2.0,"side":"sell"},'
               '{"ts":3,"price":101.3,"qty":0.5,"side":"buy"}]}')
TRADE_TUPLES = [(1, 100.2, 1.0, "buy"), (2, 100.7, 2.0, "sell"), (3, 101.3, 0.5, "buy")]
Trade = namedtuple("Trade", "ts price qty side")


@dataclasses.dataclass
class TradeRecord:
    ts: int
    price: float
    qty: float
    side: str


def _numpy():
    return pytest.importorskip("numpy")


@pytest.mark.parametrize("make", [
    lambda: TRADE_TUPLES,
    lambda: [list(t) for t in TRADE_TUPLES],
    lambda: [Trade(*t) for t in TRADE_TUPLES],
    lambda: [TradeRecord(*t) for t in TRADE_TUPLES],
    lambda: [dict(zip(("ts", "price", "qty", "side"), t)) for t in TRADE_TUPLES],
    lambda: {"ts": [1, 2, 3], "price": [100.2, 100.7, 101.3], "qty": [1.0, 2.0, 0.5], "side": ["buy", "sell", "BUY"]},
    lambda: [(1, "100.2", "1.0", 0), (2, "100.7", "2.0", 1), (3, "101.3", "0.5", "buy")],
    lambda: _numpy().array([(1, 100.2, 1.0, 0), (2, 100.7, 2.0, 1), (3, 101.3, 0.5, 0)],
                           dtype=[("ts", "i8"), ("price", "f8"), ("qty", "f8"), ("side", "u1")]),
    lambda: _numpy().array([[1, 100.2, 1.0, 0], [2, 100.7, 2.0, 1], [3, 101.3, 0.5, 0]]),
    lambda: {"ts": _numpy().array([1, 2, 3]), "price": _numpy().array([100.2, 100.7, 101.3]),
             "qty": _numpy().array([1.0, 2.0, 0.5]), "side": _numpy().array([0, 1, 0])},
], ids=["tuples", "lists", "namedtuples", "dataclasses", "dicts", "columns", "texts-and-positions",
        "numpy-structured", "numpy-2d", "numpy-columns"])
def test_every_record_shape_gives_the_same_dataset_text(make):
    assert dataset.dataset_json(trades=make()) == TRADES_TEXT


def test_dataset_json_writes_every_list_in_declared_field_order():
    text = dataset.dataset_json(
        candles=[(0, 1, 2, 0.5, 1.5, 10)],
        book=[(5, "snapshot", [(99.5, 2.0)], [(100.5, 3.0)]), (6, 1, [], [[100.5, 0]])],
        funding=[(1, 0.0001)], oi=[(2, 5e3)], liquidations=[(3, 99.0, 1.5, "short")],
    )
    assert text == (
        '{"candles":[{"ts":0,"open":1,"high":2,"low":0.5,"close":1.5,"volume":10}],'
        '"book":[{"ts":5,"kind":"snapshot","bids":[[99.5,2.0]],"asks":[[100.5,3.0]]},'
        '{"ts":6,"kind":"diff","bids":[],"asks":[[100.5,0]]}],'
        '"funding":[{"ts":1,"rate":0.0001}],"oi":[{"ts":2,"oi":5000.0}],'
        '"liquidations":[{"ts":3,"price":99.0,"qty":1.5,"side":"short"}]}'
    )


@pytest.mark.parametrize("lists, message", [
    ({"trades": [(1, math.nan, 1.0, "buy")]}, "trades[0].price: expected a finite number"),
    ({"trades": [(1, 100.0, math.inf, "buy")]}, "trades[0].qty: expected a finite number"),
    ({"trades": [(1, 100.0, "abc", "buy")]}, "trades[0].qty: expected a number"),
    ({"trades": [(1.5, 100.0, 1.0, "buy")]}, "trades[0].ts: expected an integer"),
    ({"trades": [(True, 100.0, 1.0, "buy")]}, "trades[0].ts: expected an integer"),
    ({"trades": [(1, 100.0, 1.0, "b")]}, "trades[0].side: expected 'buy' or 'sell'"),
    ({"trades": [(1, 100.0, 1.0, 2)]}, "trades[0].side: expected 'buy' or 'sell'"),
    ({"trades": [(1, 100.0, 1.0)]}, "trades[0]: expected 4 values"),
    ({"liquidations": [(1, 100.0, 1.0, "sell")]}, "a forced sell liquidates a long"),
    ({"trades": {"ts": [1], "price": [1.0], "qty": [1.0]}}, "trades: the columns lack side"),
    ({"trades": {"ts": [1, 2], "price": [1.0], "qty": [1.0], "side": ["buy"]}}, "trades: the columns differ in length"),
    ({"book": [(1, "snapshot", [(1.0,)], [])]}, "book[0].bids[0]: expected a (price, qty) pair"),
    ({"book": [(1, "full", [], [])]}, "book[0].kind: expected 'snapshot' or 'diff'"),
    ({"trades": "1,2,3"}, "trades: expected a list of records"),
    ({"ticks": []}, "unknown dataset list 'ticks'"),
])
def test_bad_dataset_values_name_the_record_and_field(lists, message):
    with pytest.raises(dataset.DatasetValueError, match=re.escape(message)):
        dataset.dataset_json_from_mapping(lists)


@pytest.mark.parametrize("value, text", [
    ("61807.70", "61807.70"),  # exchange text is kept byte for byte
    (" 0.000 ", "0.000"),
    ("1e-7", "1e-7"),
    (".5", "0.5"),  # not JSON: rewritten through float
    ("+3", "3.0"),
    (0.1 + 0.2, "0.30000000000000004"),
    (1e16, "1e+16"),
    (-0.0, "-0.0"),
    (7, "7"),
])
def test_float_text(value, text):
    assert float_text(value) == text


@pytest.mark.parametrize("value", [math.nan, "inf", "nan", math.inf])
def test_float_text_refuses_non_finite(value):
    with pytest.raises(ValueError):
        float_text(value)


def test_spec_json_and_panel_helpers():
    text = commands.spec_json(symbol="BTCUSDT", dataset_ref="d", from_ts=5,
                              panels=[commands.footprint(0.5), commands.book_heatmap(depth_levels=10),
                                      commands.liquidation_map(), commands.funding_oi_divergence(bucket_ms=1000)])
    assert json.loads(text) == {
        "dataset_ref": "d", "symbol": "BTCUSDT", "from_ts": 5, "to_ts": None,
        "panels": [{"kind": "footprint", "price_bin": 0.5}, {"kind": "book_heatmap", "depth_levels": 10},
                   {"kind": "liquidation_map"}, {"kind": "funding_oi_divergence", "bucket_ms": 1000}],
    }


@pytest.mark.parametrize("build, text", [
    (commands.version_command, '{"cmd":"version"}'),
    (commands.reset_command, '{"cmd":"reset"}'),
    (commands.bounds_command, '{"cmd":"bounds"}'),
    (commands.frame_command, '{"cmd":"frame"}'),
    (lambda: commands.frame_at_command(-9223372036854775808), '{"cmd":"frame_at","ts":-9223372036854775808}'),
    (lambda: commands.set_spec_command('  {"symbol":"S"} '), '{"cmd":"set_spec","spec":{"symbol":"S"}}'),
    (lambda: commands.load_command({"oi": [(1, 2.5)]}), '{"cmd":"load","dataset":{"oi":[{"ts":1,"oi":2.5}]}}'),
    (lambda: commands.load_command("[[],[]]"), '{"cmd":"load","dataset":[[],[]]}'),
])
def test_command_texts(build, text):
    assert build() == text


@pytest.mark.parametrize("build", [
    lambda: commands.set_spec_command('1,"cmd":"reset"'),  # would turn set_spec into reset
    lambda: commands.load_command('{},"cmd":"reset"'),
    lambda: commands.load_command("{"),
    lambda: commands.set_spec_command(""),
    lambda: commands.frame_at_command(1.5),
])
def test_embedded_text_must_be_one_json_value(build):
    with pytest.raises(ValueError):
        build()


@pytest.mark.parametrize("reply, cls, message", [
    ('{"ok":false,"error":"parse: trailing characters at line 1 column 18"}', replies.VornParseError,
     "trailing characters at line 1 column 18"),
    ('{"ok":false,"error":"bad spec: no spec set"}', replies.VornBadSpecError, "no spec set"),
    ('{"ok":false,"error":"data: no dataset"}', replies.VornDataError, "no dataset"),
    ('{"ok":false,"error":"odd"}', replies.VornError, "odd"),
])
def test_error_replies_raise_by_kind(reply, cls, message):
    with pytest.raises(cls) as caught:
        replies.parse_reply(reply)
    assert type(caught.value) is cls
    assert caught.value.message == message
    assert caught.value.display == json.loads(reply)["error"]
    assert isinstance(caught.value, ValueError)
    assert replies.parse_reply(reply, raise_errors=False) == json.loads(reply)


def test_successful_replies_decode_with_null_as_none():
    assert replies.parse_reply('{"ok":true,"loaded":3}') == {"ok": True, "loaded": 3}
    assert replies.reply_error('{"version":"0.1.2"}') is None
    value = replies.parse_reply('{"kind":"footprint","price_bins":[null,-0.0],"buy_vol":[],"sell_vol":[]}')
    assert value["price_bins"][0] is None and math.copysign(1.0, value["price_bins"][1]) == -1.0


@pytest.mark.parametrize("text, expected", [
    ("1723161300000", 1723161300000),
    ("-5", -5),
    ("2024-08-08T23:55:00Z", 1723161300000),
    ("2024-08-08 23:55:00.250", 1723161300250),
    ("2024-08-09T01:55:00+02:00", 1723161300000),
    ("start", 1000),
    ("end", 9000),
    ("start+1.5s", 2500),
    ("end-1m", 9000 - 60_000),
    ("END - 2s", 7000),
])
def test_parse_time(text, expected):
    assert timefmt.parse_time(text, 1000, 9000) == expected


@pytest.mark.parametrize("text, expected", [
    ("250", 250), ("500ms", 500), ("10s", 10_000), ("1.5m", 90_000), ("1h30m", 5_400_000), ("2d", 172_800_000),
])
def test_parse_duration(text, expected):
    assert timefmt.parse_duration(text) == expected


@pytest.mark.parametrize("call", [
    lambda: timefmt.parse_duration("10 parsecs"),
    lambda: timefmt.parse_duration(""),
    lambda: timefmt.parse_duration("0.5ms"),
    lambda: timefmt.parse_duration("s"),
    lambda: timefmt.parse_time("yesterday"),
    lambda: timefmt.parse_time("end-1m"),  # no bounds known
])
def test_bad_times_and_durations(call):
    with pytest.raises(ValueError):
        call()


@pytest.mark.parametrize("ms, text", [(0, "0ms"), (999, "999ms"), (344_732, "5m 44.732s"), (7_205_000, "2h 0m 5s"),
                                      (90_061_000, "1d 1h 1m 1s"), (-1500, "-1.500s")])
def test_format_duration(ms, text):
    assert timefmt.format_duration(ms) == text


def test_format_ts():
    assert timefmt.format_ts(1723161420250) == "2024-08-08 23:57:00.250 UTC"
    assert timefmt.format_ts(-1) == "1969-12-31 23:59:59.999 UTC"


# ----------------------------------------------------------------------------- through the engine

def test_session_frame_of_the_footprint_example():
    session = Session(commands.spec_value(symbol="S", panels=[commands.footprint(price_bin=1.0)]))
    assert session.load({"trades": [(1000, 100.2, 1.0, "buy"), (500, 100.7, 2.0, "sell"), (1, 101.3, 0.5, "buy")]}) == 3
    assert session.bounds() == {"from_ts": 1, "to_ts": 1000, "count": 3}
    assert session.frame_text(1000) == ('{"symbol":"S","cursor_ts":1000,"panels":[{"kind":"footprint",'
                                        '"price_bins":[100.0,101.0],"buy_vol":[1.0,0.5],"sell_vol":[2.0,0.0]}]}')
    assert session.frame() == session.frame_at(1000)
    assert session.version() == korvel_vorn.__version__ == "0.1.2"


def test_session_raises_the_engines_errors():
    with pytest.raises(replies.VornBadSpecError, match="^bad spec: symbol must not be empty$"):
        Session(commands.spec_value(symbol="", panels=[commands.footprint()]))
    session = Session()
    with pytest.raises(replies.VornDataError, match="^data: no dataset$"):
        session.bounds()
    with pytest.raises(replies.VornBadSpecError, match="^bad spec: no spec set$"):
        session.frame()
    with pytest.raises(replies.VornParseError, match="expected a sequence"):
        session.load('{"trades":null}')


@pytest.mark.parametrize("content, message", [
    # Python's reader accepts NaN and huge exponents; the engine does not, and its position is
    # mapped back onto the file's own lines.
    ('{"trades":[\n{"ts":1,"price":NaN,"qty":1,"side":"buy"}]}', "parse: expected value at line 2 column 17 of "),
    ('{"funding":[\n\n{"ts":1,"rate":1e400}]}', "parse: number out of range at line 3 column 20 of "),
    ('{"trades":[[1,2,3]]}', "parse: invalid length 3, expected struct Trade with 4 elements"),
])
def test_load_file_reports_engine_errors_in_file_terms(tmp_path, content, message):
    path = tmp_path / "bad.dataset.json"
    path.write_text(content)
    with pytest.raises(replies.VornParseError) as caught:
        Session().load_file(path)
    assert caught.value.display.startswith(message)


def test_load_file_refuses_unreadable_files(tmp_path):
    path = tmp_path / "bad.json"
    path.write_bytes(b'{"trades":[]}\xff\xfe')
    with pytest.raises(DatasetFileError, match=r"bad.json is not UTF-8 text \(byte 13\)"):
        Session().load_file(path)
    with pytest.raises(DatasetFileError, match="cannot read .*missing.json: No such file or directory"):
        Session().load_file(tmp_path / "missing.json")
    with pytest.raises(DatasetFileError, match="Is a directory"):
        Session().load_file(tmp_path)


def test_truncated_file_is_reported_at_its_end(tmp_path):
    path = tmp_path / "cut.json"
    path.write_bytes(b'{"trades":[')
    with pytest.raises(replies.VornParseError, match=r"at the end of .*cut.json$"):
        Session().load_file(path)


def test_remap_file_error_past_the_end():
    assert remap_file_error("parse: expected value at line 3 column 1", "{}", "f.json") == \
        "parse: expected value at the end of f.json"
    assert remap_file_error("parse: invalid type: null", "{}", "f.json") == "parse: invalid type: null"


def test_gzip_dataset_file(tmp_path):
    import gzip

    path = tmp_path / "d.dataset.json.gz"
    path.write_bytes(gzip.compress(dataset.dataset_json(oi=[(5, 1.0), (9, 2.0)]).encode()))
    session = Session()
    assert session.load_file(path) == 2
    assert session.bounds() == {"from_ts": 5, "to_ts": 9, "count": 2}
