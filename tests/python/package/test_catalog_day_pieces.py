"""Days written from pieces (the book replayed to midnight beside the day's own events, never joined
first) are the partitions the joined columns give."""

import numpy as np
import pytest

pq = pytest.importorskip("pyarrow.parquet")

from korvel_vorn.catalog.layout import DAY_MS, columns_to_table, partition_path  # noqa: E402
from korvel_vorn.catalog.manifest import read_entry  # noqa: E402
from korvel_vorn.catalog.write import split_days, write_lists  # noqa: E402


@pytest.mark.parametrize("first_kind", [0, 1])
def test_days_written_from_pieces_equal_the_joined_days(tmp_path, first_kind):
    rng = np.random.default_rng(5)
    events = 600
    ts = np.sort(rng.integers(DAY_MS * 19000 - 3_600_000, DAY_MS * 19002 + 3_600_000, events)).astype(np.int64)
    kind = np.ones(events, dtype=np.uint8)
    kind[0] = first_kind
    bid_count, ask_count = rng.integers(0, 6, events), rng.integers(0, 6, events)
    nb, na = int(bid_count.sum()), int(ask_count.sum())
    book = {"ts": ts, "kind": kind, "bid_count": bid_count, "ask_count": ask_count,
            "bid_price": 100 - rng.integers(0, 20, nb) * 0.5, "bid_qty": rng.integers(0, 4, nb) * 0.25,
            "ask_price": 101 + rng.integers(0, 20, na) * 0.5, "ask_qty": rng.integers(0, 4, na) * 0.25}
    trades = {"ts": ts.copy(), "price": np.full(events, 100.5), "qty": np.full(events, 0.5),
              "side": (np.arange(events) % 2).astype(np.uint8)}
    written = write_lists(tmp_path, "binance-um", "BTCUSDT", {"book": book, "trades": trades}, [{"name": "x"}])
    for name, columns in (("book", book), ("trades", trades)):
        joined = split_days(name, columns)
        assert len(joined) == 4
        for day, part in joined:
            table = pq.read_table(partition_path(tmp_path, name, "binance-um", "BTCUSDT", day))
            expected = columns_to_table(name, part)
            assert table.equals(pq.read_table(_written(tmp_path, expected))), (name, day)
            entry = read_entry(tmp_path, name, "binance-um", "BTCUSDT", day)
            assert entry["records"] == len(part["ts"]) == written.written[(name, day)]
            assert (entry["first_ts"], entry["last_ts"]) == (int(part["ts"][0]), int(part["ts"][-1]))


def _written(tmp_path, table):
    path = tmp_path / "expected.parquet"
    pq.write_table(table, path)
    return path
