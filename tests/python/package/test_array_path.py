"""The array path (`korvel_vorn._engine` through `Session`): columns in and arrays out agree with
the JSON protocol record for record and value for value, files load natively, and the engine works
with the interpreter lock released."""

import gzip
import json
import math
import threading
import time

import numpy as np
import pytest

import korvel_vorn as kv
from korvel_vorn import Session, Vorn
from korvel_vorn.commands import book_heatmap, footprint, funding_oi_divergence, liquidation_map, spec_value
from korvel_vorn.frame_arrays import LIQUIDATION_EVENT_DTYPE
from korvel_vorn.sample import sample_dataset_json

ALL_PANELS = [footprint(price_bin=0.5), book_heatmap(price_bin=0.25, bucket_ms=5_000, depth_levels=12),
              liquidation_map(price_bin=1.0), funding_oi_divergence(bucket_ms=30_000)]


def spec_text(panels=ALL_PANELS, **window):
    return json.dumps(spec_value(symbol="S", panels=panels, **window))


# ----------------------------------------------------------------------------- an independent conversion

def _records(value, name):
    return value.get(name, []) if isinstance(value, dict) else value[kv.schema.LISTS.index(name)]


def _field(record, name, index):
    return record[name] if isinstance(record, dict) else record[index]


def columns_of(value):
    """The columns of a decoded dataset JSON value, built record by record in plain Python."""
    codes = {"buy": 0, "sell": 1, "long": 0, "short": 1, "snapshot": 0, "diff": 1}
    out = {}
    for name, fields in kv.schema.RECORD_FIELDS.items():
        records = _records(value, name)
        if name == "book":
            cols = {k: [] for k in ("ts", "kind", "bid_count", "ask_count", "bid_price", "bid_qty", "ask_price",
                                    "ask_qty")}
            for r in records:
                bids, asks = _field(r, "bids", 2), _field(r, "asks", 3)
                cols["ts"].append(_field(r, "ts", 0))
                cols["kind"].append(codes[_field(r, "kind", 1)])
                cols["bid_count"].append(len(bids))
                cols["ask_count"].append(len(asks))
                for side, levels in (("bid", bids), ("ask", asks)):
                    cols[side + "_price"] += [float(p) for p, _ in levels]
                    cols[side + "_qty"] += [float(q) for _, q in levels]
            out[name] = {k: np.array(v, dtype=np.uint8 if k == "kind" else np.int64 if k in (
                "ts", "bid_count", "ask_count") else np.float64) for k, v in cols.items()}
            continue
        cols = {}
        for i, field in enumerate(fields):
            values = [_field(r, field, i) for r in records]
            if field == "ts":
                cols[field] = np.array(values, dtype=np.int64)
            elif field == "side":
                cols[field] = np.array([codes[v] for v in values], dtype=np.uint8)
            else:
                cols[field] = np.array([float(v) for v in values], dtype=np.float64)
        out[name] = cols
    return out


def assert_arrays_equal_json(arrays, reply):
    """Every array value equals the JSON reply's (non-finite where the reply has null)."""
    decoded = json.loads(reply)
    assert arrays["symbol"] == decoded["symbol"] and arrays["cursor_ts"] == decoded["cursor_ts"]
    assert [p["kind"] for p in arrays["panels"]] == [p["kind"] for p in decoded["panels"]]

    def same(array, values):
        array = np.asarray(array)
        flat = np.asarray([v for row in values for v in row] if array.ndim == 2 else values, dtype=object)
        assert array.size == flat.size
        for got, want in zip(array.ravel().tolist(), flat.tolist()):
            if want is None:
                assert not math.isfinite(got)
            else:
                assert got == want and math.copysign(1, got) == math.copysign(1, want)

    for got, want in zip(arrays["panels"], decoded["panels"]):
        for key, values in want.items():
            if key == "kind":
                continue
            if key == "events":
                events = got["events"]
                assert events.dtype == LIQUIDATION_EVENT_DTYPE and len(events) == len(values)
                same(events["ts"], [e["ts"] for e in values])
                same(events["price_bin"], [e["price_bin"] for e in values])
                same(events["qty"], [e["qty"] for e in values])
                assert events["side"].tolist() == [0 if e["side"] == "long" else 1 for e in values]
                continue
            if key == "intensity":
                assert got[key].shape == (len(want["time"]), len(want["price"]))
                assert got[key].flags.c_contiguous
            same(got[key], values)
        assert set(got) == set(want)


def cursors_of(session, count=7):
    bounds = session.bounds()
    lo, hi = bounds["from_ts"], bounds["to_ts"]
    return [lo - 1, lo, *(lo + (hi - lo) * k // count for k in range(1, count)), hi, hi + 60_000]


def compare_paths(dataset_text, panels=ALL_PANELS, windows=({},)):
    value = json.loads(dataset_text)
    for window in windows:
        by_json = Vorn(spec_text(panels, **window))
        assert json.loads(by_json.command('{"cmd":"load","dataset":' + dataset_text + "}"))["ok"]
        session = Session(spec_text(panels, **window))
        session.load_columns(**columns_of(value))
        assert session.command('{"cmd":"bounds"}') == json.loads(by_json.command('{"cmd":"bounds"}'))
        for ts in cursors_of(session):
            command = json.dumps({"cmd": "frame_at", "ts": ts})
            reply = by_json.command(command)
            assert session.engine.command(command) == reply
            assert_arrays_equal_json(session.frame_arrays(ts), reply)
        assert_arrays_equal_json(session.frame_arrays(), by_json.command('{"cmd":"frame"}'))


# ----------------------------------------------------------------------------- differential

def test_columns_and_arrays_agree_with_json_on_the_sample_market():
    text = sample_dataset_json(3)
    start = json.loads(text)["trades"][0]["ts"]
    compare_paths(text, windows=({}, {"from_ts": start + 120_000}, {"to_ts": start + 200_000},
                                 {"from_ts": start + 900_000}))


def test_columns_and_arrays_agree_with_json_on_recordings(real_data_dir):
    for path in sorted(real_data_dir.glob("*.dataset.json"))[:2]:
        compare_paths(path.read_text(), panels=[footprint(price_bin=1.0),
                                                book_heatmap(price_bin=1.0, bucket_ms=1000, depth_levels=40),
                                                liquidation_map(price_bin=10.0), funding_oi_divergence(bucket_ms=60_000)])


def test_non_finite_results_are_null_in_json_and_kept_in_arrays():
    text = json.dumps({"trades": [[1, 100.0, 1e308, "buy"], [2, 100.0, 1e308, "buy"]],
                       "book": [[1, "snapshot", [[99.0, 1e308], [99.0, 1e308]], [[101.0, 1.0]]]]})
    compare_paths(text, panels=[footprint(price_bin=1.0), book_heatmap(price_bin=1.0, bucket_ms=1, depth_levels=4)])
    session = Session(spec_text([footprint(price_bin=1.0)]))
    session.load(text)
    assert session.frame_arrays()["panels"][0]["buy_vol"].tolist() == [math.inf]


def test_sorting_and_equal_timestamps_match_json():
    text = json.dumps({"trades": [[5, 10.0, 1.0, "sell"], [1, 11.0, 2.0, "buy"], [5, 12.0, 3.0, "buy"],
                                  [3, 10.0, 4.0, "sell"]],
                       "book": [[4, "diff", [[9.0, 0.0]], []], [2, "snapshot", [[9.0, 1.0], [8.0, 2.0]], [[11.0, 1.0]]],
                                [4, "diff", [], [[12.0, 5.0]]]],
                       "liquidations": [[6, 9.5, 1.0, "short"], [2, 9.5, 2.0, "long"]],
                       "funding": [[3, 0.001]], "oi": [[1, 5.0]], "candles": [[0, 1.0, 2.0, 0.5, 1.5, 10.0]]})
    compare_paths(text)


def test_empty_window_and_empty_lists():
    compare_paths(json.dumps({"oi": [[100, 1.0]]}))
    session = Session(spec_text())
    assert session.load_columns(trades={"ts": [], "price": [], "qty": [], "side": []}) == 0
    with pytest.raises(kv.VornDataError, match="^data: no dataset$"):
        session.frame_arrays()


# ----------------------------------------------------------------------------- the object itself

def test_engine_replies_are_those_of_vorn():
    commands = ['{"cmd":"version"}', '{"cmd":"bounds"}', '{"cmd":"frame"}', "nonsense", '{"cmd":"x"}',
                '{"cmd":"load","dataset":' + sample_dataset_json(1) + "}", '{"cmd":"bounds"}',
                '{"cmd":"frame_at","ts":1704067260000}', '{"cmd":"set_spec","spec":{"symbol":""}}',
                '{"cmd":"frame_at","ts":1.5}', '{"cmd":"reset"}', '{"cmd":"frame"}']
    for spec in ("", spec_text()):
        engine, vorn = kv.Engine(spec), Vorn(spec)
        for c in commands:
            assert engine.command(c) == vorn.command(c)
            assert engine.command_utf8(c.encode()) == vorn.command(c)
    with pytest.raises(ValueError, match="^bad spec: "):
        kv.Engine('{"dataset_ref":"d","symbol":"","panels":[]}')


def test_arrays_are_views_that_outlive_the_session():
    session = Session(spec_text([footprint(price_bin=1.0)]))
    session.load_columns(trades={"ts": [1, 2], "price": [10.0, 11.0], "qty": [1.0, 2.0], "side": ["buy", "SELL "]})
    frame = session.frame_arrays()
    del session
    bins = frame["panels"][0]["price_bins"]
    owner = bins.base
    while not isinstance(owner, kv._native.Block):  # NumPy may keep a memoryview between them
        owner = owner.obj if isinstance(owner, memoryview) else owner.base
    assert not bins.flags.owndata
    assert bins.tolist() == [10.0, 11.0]
    assert frame["panels"][0]["sell_vol"].tolist() == [0.0, 2.0]


@pytest.mark.parametrize("ts, error", [
    (None, kv.VornBadSpecError), (5, kv.VornBadSpecError),
])
def test_frame_errors_without_spec(ts, error):
    with pytest.raises(error, match="^bad spec: no spec set$"):
        Session().frame_arrays(ts)


def test_frame_at_beyond_int64_is_the_json_error():
    session = Session(spec_text())
    session.load(json.dumps({"oi": [[1, 1.0]]}))
    with pytest.raises(kv.VornBadSpecError, match="frame_at requires integer 'ts'"):
        session.frame_arrays(2**63)


# ----------------------------------------------------------------------------- bad input

TRADES = {"ts": np.array([1, 2, 3]), "price": np.array([1.0, 2.0, 3.0]), "qty": np.array([1.0, 1.0, 1.0]),
          "side": np.array([0, 1, 0])}
BOOK = {"ts": [1, 2], "kind": ["snapshot", "diff"], "bid_count": [2, 1], "ask_count": [1, 0],
        "bid_price": [9.0, 8.0, 9.0], "bid_qty": [1.0, 1.0, 0.0], "ask_price": [11.0], "ask_qty": [2.0]}


def with_field(base, field, value):
    changed = dict(base)
    if value is None:
        del changed[field]
    else:
        changed[field] = value
    return changed


@pytest.mark.parametrize("lists, message", [
    ({"trades": with_field(TRADES, "qty", np.array([1.0, 1.0]))}, r"^trades\.qty row 2: missing \(the column has 2 rows, ts has 3\)$"),
    ({"trades": with_field(TRADES, "qty", np.ones(4))}, r"^trades\.qty row 3: extra row"),
    ({"trades": with_field(TRADES, "ts", np.array([1.0, 2.5, 3.0]))}, r"^trades\.ts row 1: 2\.5 is not a whole number"),
    ({"trades": with_field(TRADES, "ts", np.array([1.0, np.nan, 3.0]))}, r"^trades\.ts row 1: nan is not a whole"),
    ({"trades": with_field(TRADES, "ts", np.array([1, 2**63, 3], dtype=np.uint64))}, r"^trades\.ts row 1: 9223372036854775808 is out of the int64 range"),
    ({"trades": with_field(TRADES, "ts", np.array(["2024-01-01T00:00:00.0015", "NaT", "NaT"], dtype="datetime64[us]"))}, r"^trades\.ts row 0: .* is not a whole millisecond"),
    ({"trades": with_field(TRADES, "ts", np.array([1, "x", 3], dtype=object))}, r"^trades\.ts: cannot convert <U21 to int64 milliseconds"),
    ({"trades": with_field(TRADES, "price", np.array([1.0, np.inf, 3.0]))}, r"^trades\.price row 1: inf is not a finite number$"),
    ({"trades": with_field(TRADES, "price", np.array([1, 2**53 + 1, 3]))}, r"^trades\.price row 1: 9007199254740993 has no exact float64 value"),
    ({"trades": with_field(TRADES, "price", np.array(["1", "2", "3"]))}, r"^trades\.price: cannot convert <U1 to float64"),
    ({"trades": with_field(TRADES, "qty", np.array([1.0, [2.0], 3.0], dtype=object))}, r"^trades\.qty: an object column that cannot be converted"),
    ({"trades": with_field(TRADES, "side", np.array([0, 2, 0]))}, r"^trades\.side row 1: unknown code 2"),
    ({"trades": with_field(TRADES, "side", ["buy", "sell", "long"])}, r"^trades\.side row 2: unknown name 'long'"),
    ({"trades": with_field(TRADES, "side", None)}, r"^trades: missing field 'side'$"),
    ({"trades": with_field(TRADES, "qty", np.ones((3, 1)))}, r"^trades\.qty: expected a 1-D column, got 2 dimensions"),
    ({"liquidations": {"ts": [1], "price": [1.0], "qty": [1.0], "side": ["buy"]}}, r"^liquidations\.side row 0: unknown name 'buy'"),
    ({"book": with_field(BOOK, "bid_count", [2, 2])}, r"^book\.bid_count row 1: the counts up to this row add up to more than the 3 levels"),
    ({"book": with_field(BOOK, "ask_count", [0, 0])}, r"^book\.ask_count row 2: the counts add up to 0 levels, but 1 are given"),
    ({"book": with_field(BOOK, "bid_count", [-1, 4])}, r"^book\.bid_count row 0: negative level count -1"),
    ({"book": with_field(BOOK, "bid_qty", [1.0, 1.0])}, r"^book\.bid_qty row 2: missing"),
    ({"book": with_field(BOOK, "kind", ["snapshot", "delta"])}, r"^book\.kind row 1: unknown name 'delta'"),
    ({"book": with_field(BOOK, "ask_price", [np.nan])}, r"^book\.ask_price row 0: nan is not a finite number"),
])
def test_bad_columns_name_list_field_and_row_and_change_nothing(lists, message):
    session = Session(spec_text())
    session.load_columns(trades=TRADES, book=BOOK)
    before = session.engine.command('{"cmd":"frame"}')
    with pytest.raises(ValueError, match=message):
        session.load_columns(**lists)
    assert session.engine.command('{"cmd":"frame"}') == before


def test_column_containers():
    session = Session(spec_text([footprint(price_bin=1.0)]))
    structured = np.zeros(3, dtype=[("ts", "i8"), ("price", "f4"), ("qty", "i4"), ("side", "u1"), ("extra", "f8")])
    structured["ts"] = [3, 1, 2]
    structured["price"] = [1.5, 2.0, 3.0]
    structured["qty"] = [1, 2, 3]
    assert session.load_columns(trades=structured) == 3
    strided = np.arange(12, dtype=np.int64)[::4]  # not contiguous: copied, not refused
    assert session.load_columns(oi={"ts": strided, "oi": [1, 2, 3]}) == 3
    with pytest.raises(TypeError, match="trades: expected a mapping"):
        session.load_columns(trades=[(1, 1.0, 1.0, "buy")])
    with pytest.raises(TypeError, match="unexpected keyword"):
        session.engine.load_columns(trade={})
    with pytest.raises(ValueError, match=r"trades\.ts: expected a contiguous 1-D int64 column"):
        session.engine.load_columns(trades={"ts": np.zeros(1), "price": np.zeros(1), "qty": np.zeros(1),
                                            "side": np.zeros(1, np.uint8)})


def test_pandas_dataframe_columns():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"ts": pd.to_datetime([1000, 2000], unit="ms"), "price": [1.0, 2.0], "qty": [1, 2],
                          "side": pd.Categorical(["buy", "sell"])})
    session = Session(spec_text([footprint(price_bin=1.0)]))
    assert session.load_columns(trades=frame) == 2
    assert session.bounds() == {"from_ts": 1000, "to_ts": 2000, "count": 2}


# ----------------------------------------------------------------------------- files

def test_npz_and_json_files_load_the_same(tmp_path):
    text = sample_dataset_json(5)
    json_path = tmp_path / "m.dataset.json"
    json_path.write_text(text)
    npz_path = tmp_path / "m.npz"
    kv.columns.write_npz(npz_path, columns_of(json.loads(text)))
    gz_path = tmp_path / "m.dataset.json.gz"
    gz_path.write_bytes(gzip.compress(text.encode()))
    frames = []
    for path in (json_path, npz_path, gz_path):
        session = Session(spec_text())
        assert session.load_file(path) == sum(len(v) for v in json.loads(text).values())
        frames.append([session.frame_text(ts) for ts in cursors_of(session, 3)])
        assert session.list_bounds()["trades"]["count"] == len(json.loads(text)["trades"])
    assert frames[0] == frames[1] == frames[2]


@pytest.mark.parametrize("members, message", [
    ({"trades/ts": np.array([1])}, "trades: missing field 'price'"),
    ({"trades/ts": np.array([1]), "trades/price": np.ones(2), "trades/qty": np.ones(1), "trades/side": np.zeros(1)},
     r"trades\.price row 1: extra row"),
    ({"trade/ts": np.array([1])}, "unknown member 'trade/ts'"),
    ({"oi/ts": np.ones((2, 2), dtype=np.int64), "oi/oi": np.ones(2)}, r"oi\.ts: expected a 1-D column"),
])
def test_bad_npz_files(tmp_path, members, message):
    path = tmp_path / "bad.npz"
    np.savez(path, **members)
    with pytest.raises(ValueError, match=message):
        Session().load_file(path)
    (tmp_path / "junk.npz").write_bytes(b"not a zip")
    with pytest.raises(kv.session.DatasetFileError, match="cannot read"):
        Session().load_file(tmp_path / "junk.npz")


def test_file_errors_keep_file_positions(tmp_path):
    path = tmp_path / "d.json"
    path.write_text('{"trades":[\n  {"ts":1,"price":2,"qty":3,"side":"buy"},\n  {"ts":1,"price":2,,}]}')
    with pytest.raises(kv.VornParseError, match=r"at line 3 column 21 of .*d\.json "
                       r"\(first bad record: trades\[1\] at line 3 of .*d\.json\)$"):
        Session().load_file(path)
    gz = tmp_path / "d.json.gz"
    gz.write_bytes(gzip.compress(path.read_bytes()))
    with pytest.raises(kv.VornParseError, match=r"at line 3 column 21 of .*d\.json\.gz \(first bad record: trades\[1\]"):
        Session().load_file(gz)
    (tmp_path / "cut.json.gz").write_bytes(gzip.compress(b'{"oi":[]}')[:-6])
    with pytest.raises(kv.session.DatasetFileError, match="cannot read .*cut.json.gz"):
        Session().load_file(tmp_path / "cut.json.gz")


def test_load_file_size_cap(tmp_path):
    path = tmp_path / "d.json"
    path.write_text('{"oi":[[1,1.0]]}')
    with pytest.raises(kv.session.DatasetFileError, match="File too large"):
        Session().load_file(path, max_bytes=8)
    assert Session().load_file(path, max_bytes=16) == 1
    with pytest.raises(kv.VornParseError, match=r" at line 1 column 1 of /dev/zero$"):
        Session().load_file("/dev/zero")  # stops at the first NUL byte instead of reading forever


@pytest.mark.parametrize("content", [
    b'{"oi":[[1,1.0]\x00,[2,2.0]]}' + b"x" * 100_000,
    b'{"oi":[[1,1.0],\n"a\x00b"]}',
    b'{"trades":[[1,2,3,"bu\x00y"]' + b"\x00" * 70_000,
    b"\x00",
])
def test_reading_stops_at_a_nul_byte_without_changing_the_reply(tmp_path, content):
    path = tmp_path / "nul.json"
    path.write_bytes(content)
    expected = Vorn("").command('{"cmd":"load","dataset":\n' + content.decode("latin-1") + "\n}")
    assert Session().engine.load_file(path) == (expected, content[: content.index(b"\0") + 1].count(b"\n") + 1)
    gz = tmp_path / "nul.json.gz"
    gz.write_bytes(gzip.compress(content))
    with pytest.raises(kv.VornParseError) as by_file:
        Session().load_file(path)
    with pytest.raises(kv.VornParseError) as by_gz:
        Session().load_file(gz)
    assert by_file.value.display.replace(str(path), "F") == by_gz.value.display.replace(str(gz), "F")


# ----------------------------------------------------------------------------- threads

def test_two_objects_on_two_threads_give_the_frames_of_one():
    text = sample_dataset_json(2)
    session = Session(spec_text())
    session.load(text)
    cursors = cursors_of(session, 40)
    expected = [session.frame_text(ts) for ts in cursors]
    results = {}

    def worker(key):
        own = Session(spec_text())
        own.load(text)
        results[key] = [own.frame_text(ts) for ts in cursors]
        results[key + "arrays"] = [own.frame_arrays(ts)["panels"][1]["intensity"].sum() for ts in cursors]

    threads = [threading.Thread(target=worker, args=(k,)) for k in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results["a"] == results["b"] == expected
    assert results["aarrays"] == results["barrays"]


def test_one_object_shared_by_threads_serialises_calls():
    session = Session(spec_text())
    session.load(sample_dataset_json(4))
    expected = session.frame_text()
    seen = []

    def worker():
        for _ in range(20):
            seen.append(session.frame_text())

    threads = [threading.Thread(target=worker) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == [expected] * 60


def test_another_thread_runs_during_a_long_load(tmp_path):
    n = 600_000
    rng = np.random.default_rng(1)
    path = tmp_path / "big.dataset.json"
    trades = ",".join(f'[{i},{100 + r:.2f},1.5,"buy"]' for i, r in enumerate(rng.random(n)))
    path.write_text('{"trades":[' + trades + "]}")
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    session = Session(spec_text())
    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.01)
    started = time.perf_counter()
    assert session.load_file(path) == n
    ended = time.perf_counter()
    stop.set()
    thread.join()
    during = [t for t in ticks if started < t < ended]
    assert len(during) >= 3, (len(during), ended - started)


# ----------------------------------------------------------------------------- other interpreters

def test_the_array_module_imports_under_debians_python():
    import os
    import subprocess
    import textwrap

    from conftest import MODULE_DIR

    if not os.path.exists("/usr/bin/python3"):
        pytest.skip("/usr/bin/python3 is absent")
    if not list(MODULE_DIR.glob("_engine*.so")):
        pytest.skip("no build tree to take the module from (a wheel is checked by scripts/wheel.sh)")
    code = textwrap.dedent("""
        import sys; sys.path.insert(0, sys.argv[1])
        import _engine
        e = _engine.Engine('{"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"}]}')
        ts = memoryview(b"\\x05" + bytes(7)).cast("q")
        price = memoryview(bytes(7) + b"\\x40").cast("d")
        side = memoryview(b"\\x01")
        print(_engine.__all__, e.load_columns(trades={"ts": ts, "price": price, "qty": price, "side": side}))
        print(e.command('{"cmd":"frame"}'))
        _, _, panels = e.frame()
        print(memoryview(panels[0]["sell_vol"]).tolist())
    """)
    result = subprocess.run(["/usr/bin/python3", "-c", code, str(MODULE_DIR)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "['__version__', 'Engine', 'Block', 'set_thread_workers'] 1"
    assert lines[1] == ('{"symbol":"S","cursor_ts":5,"panels":[{"kind":"footprint","price_bins":[2.0],'
                        '"buy_vol":[0.0],"sell_vol":[2.0]}]}')
    assert lines[2] == "[2.0]"


def test_columns_need_not_be_aligned():
    # An .npz member viewed in place sits wherever the zip put it: columns one byte off their
    # type's alignment load the same (the sanitized build checks the reads).
    ts = np.array([3, 1, 2], dtype=np.int64)
    price = np.array([100.5, 101.25, 99.75])
    qty = np.array([1.0, 2.0, 0.5])
    side = np.array([0, 1, 0], dtype=np.uint8)

    def off_by_one(array):
        raw = bytearray(array.nbytes + 1)
        view = np.frombuffer(raw, dtype=array.dtype, count=len(array), offset=1)
        view[:] = array
        assert view.ctypes.data % array.dtype.itemsize != 0 or array.dtype.itemsize == 1
        return view

    aligned, shifted = Session(spec_text()), Session(spec_text())
    assert aligned.load_columns(trades={"ts": ts, "price": price, "qty": qty, "side": side}) == 3
    assert shifted.load_columns(trades={"ts": off_by_one(ts), "price": off_by_one(price), "qty": off_by_one(qty),
                                        "side": side}) == 3
    assert aligned.frame_text(3) == shifted.frame_text(3)
