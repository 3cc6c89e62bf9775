"""The catalog's Parquet encoding: the book's levels dictionary-encoded, read back exactly."""

import numpy as np
import pytest

pq = pytest.importorskip("pyarrow.parquet")

from korvel_vorn.catalog.layout import columns_to_table, table_to_columns, write_partition  # noqa: E402


def test_book_levels_are_dictionary_encoded_and_read_back_exactly(tmp_path):
    rng = np.random.default_rng(3)
    events = 2000
    bid_count = rng.integers(0, 30, events)
    ask_count = rng.integers(0, 30, events)
    prices = np.round(60000 + rng.integers(-500, 500, 2 * int(bid_count.sum() + ask_count.sum())) * 0.1, 1)
    prices[:7] = [0.1, 1e-300, -0.0, 5e-324, 1.7976931348623157e308, 61807.7, 3.0000000000000004]
    qty = rng.random(len(prices))  # distinct values: the dictionary falls back to plain pages
    nb, na = int(bid_count.sum()), int(ask_count.sum())
    columns = {"ts": np.arange(events, dtype=np.int64) * 100, "kind": (np.arange(events) > 0).astype(np.uint8),
               "bid_count": bid_count, "ask_count": ask_count,
               "bid_price": prices[:nb], "bid_qty": qty[:nb], "ask_price": prices[nb:nb + na], "ask_qty": qty[nb:nb + na]}
    path = tmp_path / "part-0.parquet"
    write_partition(columns_to_table("book", columns), path)
    group = pq.ParquetFile(path).metadata.row_group(0)
    encodings = {group.column(i).path_in_schema: group.column(i).encodings for i in range(group.num_columns)}
    assert "RLE_DICTIONARY" in encodings["bids.list.element.price"]
    assert "RLE_DICTIONARY" in encodings["asks.list.element.price"]
    back = table_to_columns("book", pq.read_table(path))
    for name, column in columns.items():
        assert np.array_equal(back[name], column), name
        if back[name].dtype.kind == "f":  # the sign of zero and every bit kept
            assert np.array_equal(back[name].view(np.int64), np.asarray(column, dtype=np.float64).view(np.int64))


def test_a_book_of_several_row_groups_reads_as_one(tmp_path):
    import pyarrow as pa

    counts = [np.array([2, 0, 1]), np.array([0]), np.array([3, 1])]
    tables, whole = [], {name: [] for name in ("bid_count", "ask_count", "bid_price", "bid_qty", "ask_price", "ask_qty")}
    for n, count in enumerate(counts):
        levels = int(count.sum())
        part = {"ts": np.arange(len(count), dtype=np.int64) + 10 * n, "kind": np.ones(len(count), dtype=np.uint8),
                "bid_count": count, "ask_count": count[::-1].copy(),
                "bid_price": np.arange(levels) + 100.5 * (n + 1), "bid_qty": np.arange(levels) * 0.25 + n,
                "ask_price": np.arange(levels) + 200.5 * (n + 1), "ask_qty": np.arange(levels) * 0.5 + n}
        tables.append(columns_to_table("book", part))
        for name in whole:
            whole[name].append(part[name])
    table = pa.concat_tables(tables)
    table = table.slice(0)  # several chunks, as row groups read back
    assert table.column("bids").num_chunks == 3
    back = table_to_columns("book", table)
    for name, parts in whole.items():
        assert np.array_equal(back[name], np.concatenate(parts)), name
    assert np.array_equal(back["ts"], np.concatenate([t.column("ts").cast("int64").to_numpy() for t in tables]))
