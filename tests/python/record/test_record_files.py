"""Record folders on their own (no network): hour files and restarts, and convert walking them."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from record_helpers import converted, gzip_ok, lines_of

from korvel_vorn.convert import ConvertError
from korvel_vorn.recorder.files import NS_PER_HOUR, SymbolFiles, hour_file_order

DAY0 = 1_780_012_800 * 1_000_000_000  # 2026-05-29 00:00 UTC, in ns


def trade(ms: int, trade_id: int, symbol: str = "BTCUSDT") -> bytes:
    data = {"e": "aggTrade", "E": ms, "a": trade_id, "s": symbol, "p": "100.5", "q": "0.010", "T": ms, "m": False}
    return json.dumps({"stream": f"{symbol.lower()}@aggTrade", "data": data}, separators=(",", ":")).encode()


def write(root: Path, symbol: str, times_ns: list[int], first_id: int) -> None:
    files = SymbolFiles(root, "binance-um", symbol, {"started_ns": times_ns[0], "pid": 1})
    for i, ns in enumerate(times_ns):
        files.write(ns, trade(ns // 1_000_000, first_id + i, symbol))
    files.close()


def test_hours_rotate_restarts_write_beside_and_days_join_in_order(tmp_path: Path) -> None:
    hour = NS_PER_HOUR
    write(tmp_path, "BTCUSDT", [DAY0 + 10, DAY0 + hour - 1, DAY0 + hour], 1)  # hours 00 and 01
    write(tmp_path, "BTCUSDT", [DAY0 + hour + 5, DAY0 + 24 * hour + 1], 4)  # a restart in 01, then the next day
    day = tmp_path / "binance-um" / "BTCUSDT" / "2026-05-29"
    assert sorted(p.name for p in day.glob("*.gz")) == ["00.jsonl.gz", "01.1.jsonl.gz", "01.jsonl.gz"]
    assert (tmp_path / "binance-um" / "BTCUSDT" / "2026-05-30" / "00.jsonl.gz").exists()
    assert all(gzip_ok(p) for p in day.glob("*.gz"))
    assert [ns for ns, _ in lines_of(day / "01.1.jsonl.gz")] == [DAY0 + hour + 5]
    manifest = json.loads((day / "manifest.json").read_text())
    assert len(manifest["sessions"]) == 2 and [f["name"] for f in manifest["files"]] == [
        "00.jsonl.gz", "01.jsonl.gz", "01.1.jsonl.gz"]
    for where in (tmp_path, tmp_path / "binance-um", tmp_path / "binance-um" / "BTCUSDT"):
        dataset, _ = converted(where)
        assert [t["ts"] for t in dataset["trades"]] == [(DAY0 + d) // 1_000_000 for d in (
            10, hour - 1, hour, hour + 5, 24 * hour + 1)]
    dataset, _ = converted(day)
    assert len(dataset["trades"]) == 4


def test_several_symbols_need_a_choice(tmp_path: Path) -> None:
    write(tmp_path, "BTCUSDT", [DAY0 + 1], 1)
    write(tmp_path, "ETHUSDT", [DAY0 + 2], 1)
    with pytest.raises(ConvertError, match="several symbols"):
        converted(tmp_path)
    dataset, _ = converted(tmp_path, symbol="ETHUSDT")
    assert [t["ts"] for t in dataset["trades"]] == [(DAY0 + 2) // 1_000_000]
    with pytest.raises(ConvertError, match="holds no recording of XRPUSDT"):
        converted(tmp_path, symbol="XRPUSDT")


@pytest.mark.parametrize(("name", "order"), [("07.jsonl.gz", (7, 0)), ("07.12.jsonl.gz", (7, 12)),
                                              ("manifest.json", None), ("7.jsonl.gz", None), ("07.jsonl", None)])
def test_hour_file_names(name: str, order: tuple[int, int] | None) -> None:
    assert hour_file_order(name) == order


def test_a_record_folder_goes_into_a_catalog_split_at_midnight(tmp_path: Path) -> None:
    from korvel_vorn import Session
    from korvel_vorn.catalog.read import days, read_span
    from korvel_vorn.cli import main

    hour = NS_PER_HOUR
    times = [DAY0 + 10, DAY0 + 23 * hour, DAY0 + 24 * hour - 1, DAY0 + 24 * hour, DAY0 + 25 * hour]
    write(tmp_path / "rec", "BTCUSDT", times, 1)
    root = tmp_path / "catalog"
    assert main(["convert", str(tmp_path / "rec"), "--catalog", str(root), "--exchange", "binance-um",
                 "--symbol", "BTCUSDT"]) == 0
    assert days(root, "binance-um", "BTCUSDT") == ["2026-05-29", "2026-05-30"]
    span = read_span(root, "binance-um", "BTCUSDT")
    assert span["trades"]["ts"].tolist() == [ns // 1_000_000 for ns in times]
    second_day = read_span(root, "binance-um", "BTCUSDT", (DAY0 + 24 * hour) // 1_000_000)
    assert second_day["trades"]["ts"].tolist() == [ns // 1_000_000 for ns in times[3:]]
    session = Session()
    assert session.load_catalog(root, exchange="binance-um", symbol="BTCUSDT") == len(times)
