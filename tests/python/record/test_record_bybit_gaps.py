"""Faults in every order against the Bybit stand-in: a cut, a break then a cut before the resync,
two cuts before one resync, and a cut across an hour file's end and across UTC midnight. For each,
the manifest's gaps start at the last update applied and end at the snapshot that starts the
book again, with the times on either side, and the converted book equals the stand-in's own book
at every step outside the gaps."""

from __future__ import annotations

import time
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from exchange_server import BybitServer, wait_until
from record_helpers import (
    JumpingClock,
    Log,
    converted,
    fast_options,
    hour_files,
    hour_ns,
    lines_of,
    manifests,
    midnight_ns,
    record_while,
)

ORDERS = [
    # name, the stand-in's faults, how many gaps, the clock's boundary
    ("cut", {"drop_at": frozenset({120})}, 1, None),
    ("break_then_cut_before_the_resync", {"skip_at": 100, "drop_at": frozenset({130}), "hold_snapshots_until": 170},
     1, None),
    ("two_cuts_before_one_resync", {"drop_at": frozenset({100, 140}), "hold_snapshots_until": 180}, 1, None),
    ("cut_across_the_hour", {"drop_at": frozenset({120})}, 1, hour_ns),
    ("cut_across_midnight", {"drop_at": frozenset({120})}, 1, midnight_ns),
]


def book_lines(out: Path) -> list[tuple[int, dict[str, Any]]]:
    return [(ns, m) for path in hour_files(out) for ns, m in lines_of(path)
            if str(m.get("topic", "")).startswith("orderbook")]


@pytest.mark.parametrize(("name", "faults", "gap_count", "boundary"), ORDERS, ids=[o[0] for o in ORDERS])
def test_a_bybit_gap_bounds_exactly_what_is_missing(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, name: str,
                                                   faults: dict[str, Any], gap_count: int, boundary: Any) -> None:
    clock = JumpingClock(boundary()) if boundary is not None else None
    if clock is not None:
        monkeypatch.setattr(time, "time_ns", clock)
    server = BybitServer(**faults).start()
    monkeypatch.setenv("KORVEL_VORN_BYBIT_WS_URL", server.ws_url)
    out = tmp_path / "rec"
    logs = Log(clock, "bybit: connection closed")
    try:
        recorder, _ = record_while("bybit", ["BTCUSDT"], out, fast_options(),
                                   lambda timeout: wait_until(server.done.is_set, timeout) and
                                   wait_until(lambda: False, 0.3), logs=logs)
    finally:
        server.close()
    assert recorder.exit_status == 0, logs
    assert sum("bybit: connection closed" in line for line in logs) == len(faults["drop_at"]), logs

    days = manifests(out)
    if boundary is midnight_ns:
        assert len(days) == 2
        assert days[0]["gaps"] == days[1]["gaps"], "a gap across midnight is listed by both days"
        assert [len(day["sessions"]) for day in days] == [1, 1], "the day left behind is not opened again"
    else:
        assert len(days) == 1
    if boundary is hour_ns:
        assert [p.name for p in hour_files(out)] == ["13.jsonl.gz", "14.jsonl.gz"]
    gaps = days[-1]["gaps"]
    assert len(gaps) == gap_count, (gaps, logs)

    lines = book_lines(out)
    deltas = {m["data"]["u"]: (ns, m) for ns, m in lines if m["type"] == "delta"}
    snapshots = [(ns, m) for ns, m in lines if m["type"] == "snapshot"]
    sent = {u: ms for u, ms, _, _ in server.history}
    for gap in gaps:
        after, resume = gap["after_update_id"], gap["last_update_id"]
        assert after in deltas and after + 1 not in deltas, "the gap starts at the last update before the break"
        assert (gap["first_ns"], gap["first_time"]) == (deltas[after][0], sent[after])
        (closing,) = [(ns, m) for ns, m in snapshots if m["data"]["u"] == resume]
        assert (gap["last_ns"], gap["last_time"]) == (closing[0], closing[1]["ts"])
    for u in sent:  # every update not received lies inside a gap
        if u not in deltas and u > min(deltas):
            assert any(g["after_update_id"] < u <= g["last_update_id"] for g in gaps), u

    dataset, _ = converted(out)
    book = dataset["book"]
    in_sync = [u for u in deltas if not any(g["after_update_id"] < u < g["last_update_id"] for g in gaps)]
    assert sum(e["kind"] == "diff" for e in book) == len(in_sync)
    assert sum(e["kind"] == "snapshot" for e in book) == len(snapshots)
    bids: dict[float, float] = {}
    asks: dict[float, float] = {}
    n = compared = 0
    for u, ms, tape_bids, tape_asks in server.history[1:]:
        while n < len(book) and book[n]["ts"] <= ms:
            event = book[n]
            if event["kind"] == "snapshot":
                bids.clear()
                asks.clear()
            for side, levels in ((bids, event["bids"]), (asks, event["asks"])):
                for price, qty in levels:
                    if qty == 0:
                        side.pop(price, None)
                    else:
                        side[price] = qty
            n += 1
        if any(g["after_update_id"] < u < g["last_update_id"] for g in gaps) or u > max(deltas):
            continue
        assert (bids, asks) == ({t / 10: float(q) for t, q in tape_bids.items()},
                                {t / 10: float(q) for t, q in tape_asks.items()}), f"{name}: u {u}"
        compared += 1
    assert compared > 150
