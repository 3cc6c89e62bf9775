"""Dataset documents read a block at a time give exactly what the whole-document reader gives: the
same catalog and the same values on the recorded markets, every record once whatever the block
boundaries, and the whole-document reader's answer for anything unusual."""

import gzip
import io
import json

import numpy as np
import pyarrow as pa
import pyarrow.json as pj
import pytest

pytest.importorskip("pyarrow")

from conftest import ROOT
from korvel_vorn.catalog.layout import columns_to_table
from korvel_vorn.catalog.write import write_lists
from korvel_vorn.convert import ConvertError, convert_files, dataset_columns, dataset_scan
from korvel_vorn.schema import LISTS

REAL = ROOT.parent / "shared" / "data" / "real"
RECORDED = sorted(REAL.glob("*.dataset.json")) if REAL.is_dir() else []


def _whole_document_only(monkeypatch):
    monkeypatch.setattr(dataset_columns, "read_dataset_document", lambda ctx, name, stream: False)


def _converted(path, **options):
    with convert_files([path], **options) as result:
        columns = {name: result.columns(name) for name, count in result.counts.items() if count}
        return columns, json.loads(result.to_json()), result.notes(), dict(result.counts)


def _both(path, monkeypatch, **options):
    used = []
    real = dataset_columns.read_dataset_document
    with monkeypatch.context() as patch:
        patch.setattr(dataset_columns, "read_dataset_document",
                      lambda ctx, name, stream: used.append(real(ctx, name, stream)) or used[-1])
        fast = _converted(path, **options)
    with monkeypatch.context() as patch:
        _whole_document_only(patch)
        slow = _converted(path, **options)
    return fast, slow, used


def _same_columns(a, b):
    assert a.keys() == b.keys()
    for name in a:
        assert a[name].keys() == b[name].keys(), name
        for field in a[name]:
            assert np.array_equal(a[name][field], b[name][field]), (name, field)


@pytest.mark.skipif(not RECORDED, reason="real market recordings are not available")
@pytest.mark.parametrize("path", RECORDED, ids=lambda p: p.name)
def test_a_recorded_market_gives_the_catalog_the_whole_document_reader_gives(path, tmp_path, monkeypatch):
    (fast, fast_json, fast_notes, fast_counts), (slow, slow_json, slow_notes, slow_counts), used = \
        _both(path, monkeypatch, keep_all_times=True)
    assert used == [True]  # the block reader took it
    assert fast_counts == slow_counts and fast_notes == slow_notes
    _same_columns(fast, slow)
    assert fast_json == slow_json  # the same values, whatever their spelling
    write_lists(tmp_path / "fast", "binance-um", "BTCUSDT", fast, [{"name": path.name}])
    write_lists(tmp_path / "slow", "binance-um", "BTCUSDT", slow, [{"name": path.name}])
    for name, columns in fast.items():
        if name in ("trades", "book"):
            assert columns_to_table(name, columns).equals(columns_to_table(name, slow[name]))
    fast_files = sorted(p.relative_to(tmp_path / "fast") for p in (tmp_path / "fast").rglob("*.parquet"))
    slow_files = sorted(p.relative_to(tmp_path / "slow") for p in (tmp_path / "slow").rglob("*.parquet"))
    assert fast_files == slow_files and fast_files


@pytest.mark.skipif(not RECORDED, reason="real market recordings are not available")
def test_a_recorded_market_cut_short_is_answered_as_the_whole_document_reader_answers(tmp_path, monkeypatch):
    data = RECORDED[0].read_bytes()
    path = tmp_path / "cut.dataset.json.gz"
    path.write_bytes(gzip.compress(data[:len(data) * 2 // 3]))
    with pytest.raises(ConvertError) as fast:
        convert_files([path])
    _whole_document_only(monkeypatch)
    with pytest.raises(ConvertError) as slow:
        convert_files([path])
    assert str(fast.value) == str(slow.value)


# ----------------------------------------------------------------------------- block boundaries

def _document():
    trades = [f'{{"ts":{1000 + i},"price":{100 + i}.10,"qty":0.001,"side":"{["buy", "sell"][i % 2]}"}}' for i in range(5)]
    book = []
    for i in range(6):
        bids = ",".join(f"[{100 - k}.5, {i + k}.25]" for k in range(i % 3))
        kind = "snapshot" if i == 0 else "diff"
        book.append(f'{{"ts": {1000 + i}, "kind": "{kind}", "bids": [{bids}], "asks": [[{101 + i},1e-3]]}}')
    return ('{"candles":[],"note":{"a":[1,{"b":[]}],"c":"x"},"version":3,"trades":[\n' + ",\n".join(trades)
            + '\n] , "book" :[' + ",".join(book) + '],"funding":[],"oi":null}  \n')


def _scanned(text, block):
    records = {name: [] for name in LISTS}
    for batch in dataset_scan.scan_batches(io.BytesIO(text.encode()), block=block):
        assert batch.first == len(records[batch.list_name])
        records[batch.list_name] += [json.loads(batch.record(i)) for i in range(len(batch))]
    return {name: values for name, values in records.items() if values}


def test_every_block_boundary_gives_every_record_once():
    text = _document()
    whole = json.loads(text)
    expected = {"trades": whole["trades"], "book": whole["book"]}
    assert len(expected["trades"]) == 5 and len(expected["book"]) == 6
    # Every size from one byte up cuts the text at every kind of place: inside a number, a key, a
    # string, between records, at a member's brackets and in the blanks around them.
    for block in range(1, len(text) + 2):
        assert _scanned(text, block) == expected, block


@pytest.mark.parametrize("text", [
    '{"trades":[{"ts":1,"price":1,"qty":1,"side":"buy"} {"ts":2,"price":1,"qty":1,"side":"buy"}]}',  # no comma
    '{"trades":[{"ts":1,"price":1,"qty":1,"side":"buy"},,{"ts":2}]}',
    '{"trades":[{"ts":1,"price":1,"qty":1,"side":"buy"},]}',
    '{"trades":[1,{"ts":1}]}',
    '{"trades":[{"ts":1}]',  # never closed
    '{"trades":[{"ts":1}]}}',
    '{"trades":[{"ts":1}]} {"book":[]}',
    '{"trades":[{"ts":1,"note":"a\\"b"}]}',  # an escaped quote
    '{"ts":1,"trades":[]}',  # a record, not a dataset
    '{"trades":[],"trades":[{"ts":1}]}',  # a key given twice
    '{"trades":{"ts":1}}',
    '{"trades":5}',
    '[{"trades":[]}]',
    '{"other":[]}',
])
def test_what_the_scanner_does_not_expect_goes_to_the_whole_document_reader(text):
    with pytest.raises(dataset_scan.NotPlain):
        for _ in dataset_scan.scan_batches(io.BytesIO(text.encode()), block=7):
            pass


# ----------------------------------------------------------------------------- unusual documents

@pytest.mark.parametrize("records", [
    ['{"ts":1,"price":1.5,"qty":2,"side":"buy"}', '[2,1.5,2,"sell"]'],  # positional records
    ['{"ts":1,"price":"1.50","qty":"2","side":"BUY"}'],  # numbers as text
    ['{"ts":1,"price":1.5,"qty":2,"side":"unknown"}', '{"ts":2,"price":1.5,"qty":2,"side":" S "}'],
    ['{"ts":1,"price":1.5,"qty":2,"side":{"Buy":null}}'],
    ['{"ts":1,"price":1.5,"qty":2,"side":"buy","note":"[x"}', '{"ts":2,"price":1.5,"qty":2,"side":"buy","n":"]}"}'],
    ['{"ts":1,"price":1.5,"qty":2,"side":"buy","note":"[]{}"}'],
    ['{"ts":1.5,"price":1.5,"qty":2,"side":"buy"}'],
    ['{"ts":"2024-08-09T00:00:00Z","price":1.5,"qty":2,"side":"buy"}'],
])
def test_unusual_trades_give_what_the_whole_document_reader_gives(records, tmp_path, monkeypatch):
    book = '{"ts":1,"kind":"Snapshot","bids":[[1,2,3]],"asks":[[2.0,1]]},{"ts":2,"kind":"diff","bids":[],"asks":[]}'
    path = tmp_path / "d.json"
    path.write_text('{"trades":[' + ",".join(records) + '],"book":[' + book + "]}")
    (fast, fast_json, fast_notes, _), (slow, slow_json, slow_notes, _), _ = _both(path, monkeypatch)
    _same_columns(fast, slow)
    assert fast_json == slow_json and fast_notes == slow_notes


@pytest.mark.parametrize("record", [
    '{"ts":1,"price":1.5,"qty":2,"side":"long"}',
    '{"ts":1,"price":true,"qty":2,"side":"buy"}',
    '{"ts":1,"price":1e999,"qty":2,"side":"buy"}',
    '{"ts":1,"qty":2,"side":"buy"}',
    '{"ts":1,"price":1,"qty":2,"side":"buy",}',
])
def test_a_bad_record_is_refused_as_the_whole_document_reader_refuses_it(record, tmp_path, monkeypatch):
    good = '{"ts":0,"price":1,"qty":1,"side":"sell"}'
    path = tmp_path / "d.json"
    path.write_text('{"trades":[' + good + "," + record + "]}")
    with pytest.raises(ConvertError) as fast:
        convert_files([path])
    _whole_document_only(monkeypatch)
    with pytest.raises(ConvertError) as slow:
        convert_files([path])
    assert str(fast.value) == str(slow.value)


def test_numbers_read_in_bulk_are_the_doubles_their_text_denotes():
    rng = np.random.default_rng(7)
    digits = rng.integers(0, 10, size=(20000, 19))
    texts = []
    for row, exponent, cut in zip(digits, rng.integers(-30, 30, size=20000), rng.integers(1, 19, size=20000)):
        mantissa = "".join(map(str, row[:cut])).lstrip("0") or "0"
        texts.append(f"{mantissa[:1]}.{mantissa[1:] or '0'}e{exponent}")
        texts.append(f"{mantissa}.{''.join(map(str, row[cut:]))}" if cut < 19 else mantissa)
    texts += ["61807.70", "0.1", "0.3", "1e-3", "2.2250738585072011e-308", "9007199254740993", "0.000001", "-0.0"]
    lines = "\n".join('{"v":' + t + "}" for t in texts).encode()
    table = pj.read_json(io.BytesIO(lines), parse_options=pj.ParseOptions(explicit_schema=pa.schema([("v", pa.float64())])))
    values = table.column("v").to_numpy()
    assert np.array_equal(values, np.array([float(t) for t in texts])), "a decimal text read as another double"
    shortest = dataset_columns._texts(table.column("v").combine_chunks()).to_pylist()
    assert [float(t) for t in shortest] == [float(t) for t in texts]  # the written text reads back the same


# ----------------------------------------------------------------------------- book events read from their text

@pytest.mark.parametrize("events", [
    ['{"ts":1,"kind":"snapshot","bids":[[100.5,2],[99,1e-3]],"asks":[[101.25,0.5]]}',
     '{"ts":2,"kind":"diff","bids":[],"asks":[[101.25,0]]}'],  # the compact form
    ['{"kind":"Snapshot","asks":[[101,1]],"ts":1,"bids":[[100,2]]}'],  # other order, other case
    ['{"ts":1,"kind":"snapshot","bids":[ [100,2] ],"asks":[]}'],  # blanks
    ['{"ts":1,"kind":"snapshot","bids":[[100,2,7]],"asks":[]}'],  # a level of three values
    ['{"ts":1,"kind":"snapshot","bids":[[100]],"asks":[]}'],
    ['{"ts":1,"kind":"snapshot","bids":[["100.50","2"]],"asks":[]}'],  # numbers as text
    ['{"ts":1,"kind":"snapshot","bids":[[1E+2,2.5e-1],[-0.0,0]],"asks":[[1.0E2,3]]}'],
    ['{"ts":1,"kind":"snapshot","bids":[[01,2]],"asks":[]}', '{"ts":1,"kind":"snapshot","bids":[[1.,2]],"asks":[]}'],
    ['{"ts":1,"kind":"snapshot","bids":[[1e,2]],"asks":[]}', '{"ts":1,"kind":"snapshot","bids":[[+1,2]],"asks":[]}'],
    ['{"ts":1,"kind":"snapshot","bids":[[1.2.3,2]],"asks":[]}'],
    ['{"ts":1,"kind":"snapshot","bids":[[-,2]],"asks":[]}', '{"ts":1,"kind":"snapshot","bids":[[1-2,2]],"asks":[]}'],
    ['{"ts":1,"kind":"snapshot","bids":[[1e999,2]],"asks":[]}'],
    ['{"ts":1,"kind":"snapshot","bids":[[1,2]],"asks":[],"extra":[1]}'],  # another array field
    ['{"ts":1,"kind":"snapshot","bids":[[1,2]],"asks":[],"note":{"a":1}}'],
    ['{"ts":1,"kind":"snapshot","bids":[[1,2]]}'],  # no asks
    ['{"ts":1,"kind":"snapshot","bids":[[1,2]],"bids":[[3,4]]}'],
    ['{"ts":1,"kind":"snapshot","xbids":[[1,2]],"asks":[]}'],
    ['{"ts":1,"kind":"flat","bids":[[1,2]],"asks":[]}'],
    ['{"ts":"1","kind":"snapshot","bids":[[1,2]],"asks":[]}'],
    ['[1,"snapshot",[[1,2]],[]]'],  # positional
])
def test_book_events_give_what_the_whole_document_reader_gives(events, tmp_path, monkeypatch):
    path = tmp_path / "d.json"
    path.write_text('{"book":[' + ",".join(events) + "]}")
    try:
        fast = _converted(path)
    except ConvertError as error:
        fast = str(error)
    _whole_document_only(monkeypatch)
    try:
        slow = _converted(path)
    except ConvertError as error:
        slow = str(error)
    if isinstance(slow, str):
        assert fast == slow
    else:
        _same_columns(fast[0], slow[0])
        assert fast[1:] == slow[1:]


def test_the_compact_book_is_read_from_its_text(monkeypatch):
    from korvel_vorn.convert import dataset_book

    text = ('{"book":[{"ts":5,"kind":"snapshot","bids":[[100.10,2],[99.5,1]],"asks":[[101,3e-2]]},'
            '{"ts":6,"kind":"DIFF","asks":[],"bids":[[100.1,0]]}]}')
    batch = next(dataset_scan.scan_batches(io.BytesIO(text.encode())))
    chunk = dataset_book.book_columns(batch, None)
    assert chunk["ts"].tolist() == [5, 6] and chunk["kind"].tolist() == [0, 1]
    assert chunk["bid_count"].tolist() == [2, 1] and chunk["ask_count"].tolist() == [1, 0]
    assert chunk["bid_price"].tolist() == [100.1, 99.5, 100.1] and chunk["bid_qty"].tolist() == [2, 1, 0]
    assert chunk["ask_price"].tolist() == [101.0] and chunk["ask_qty"].tolist() == [0.03]
    assert chunk["rest"].to_pylist() == [',"kind":"snapshot","bids":[[100.10,2],[99.5,1]],"asks":[[101,3e-2]]}',
                                         ',"kind":"diff","bids":[[100.1,0]],"asks":[]}']
