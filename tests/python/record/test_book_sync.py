"""The Binance book synchronisation on its own (no network): which buffered update bridges a
snapshot, on futures (U <= lastUpdateId <= u) and spot (U <= lastUpdateId + 1 <= u, no pu), what
a stale snapshot does to an open gap, and the bound on what waits for a snapshot."""

from __future__ import annotations

import dataclasses
from typing import Any

import pytest

pytest.importorskip("websockets")

from korvel_vorn.recorder import make_recorder
from korvel_vorn.recorder.options import RecordOptions

SPOT = 1  # the spot venue's bridge
FUTURES = 0


class _Pending:
    """Stands for a snapshot request in flight (none is sent)."""

    def done(self) -> bool:
        return False


def recorder_for(bridge: int) -> Any:
    recorder = make_recorder("binance-um", ["BTCUSDT"], None, RecordOptions())
    recorder.venue = dataclasses.replace(recorder.venue, snapshot_bridge=bridge)
    recorder._snapshot_tasks["BTCUSDT"] = _Pending()
    return recorder


def feed(recorder: Any, first: int, last: int, previous: int | None, ms: int | None = None) -> None:
    data: dict[str, Any] = {"e": "depthUpdate", "E": ms or last, "T": ms or last, "s": "BTCUSDT", "U": first,
                            "u": last, "b": [], "a": []}
    if previous is not None:
        data["pu"] = previous
    recorder._depth(recorder.states["BTCUSDT"], data, (ms or last) * 1_000_000)


def snapshot(recorder: Any, last_id: int, ms: int | None = None) -> None:
    body = {"lastUpdateId": last_id, "T": ms or last_id, "bids": [], "asks": []}
    recorder._use_snapshot(recorder.states["BTCUSDT"], recorder.books["BTCUSDT"], body, last_id,
                           (ms or last_id) * 1_000_000)


def manifest(recorder: Any) -> dict[str, Any]:
    return dict(recorder._scratch["BTCUSDT"].data)


BRIDGES = [
    # name, bridge, snapshot id, updates (U, u, pu), then: used, synced to
    ("futures_drops_updates_below_it", FUTURES, 100, [(90, 95, 89), (96, 100, 95), (101, 104, 100)], True, 104),
    ("futures_bridged_inside_an_update", FUTURES, 100, [(96, 103, 95)], True, 103),
    ("futures_next_id_does_not_bridge", FUTURES, 100, [(101, 105, 100)], False, None),
    ("spot_next_id_bridges", SPOT, 100, [(101, 105, None)], True, 105),
    ("spot_drops_the_update_ending_at_it", SPOT, 100, [(95, 100, None), (101, 103, None)], True, 103),
    ("futures_keeps_the_update_ending_at_it", FUTURES, 100, [(95, 100, 94), (101, 103, 100)], True, 103),
    ("spot_older_than_every_update", SPOT, 100, [(102, 105, None)], False, None),
    ("waits_for_an_update_that_reaches_it", FUTURES, 100, [(80, 90, 79)], None, None),
]


@pytest.mark.parametrize(("name", "bridge", "last_id", "updates", "used", "synced"), BRIDGES,
                         ids=[b[0] for b in BRIDGES])
def test_the_first_update_applied_bridges_the_snapshot(name: str, bridge: int, last_id: int,
                                                       updates: list[tuple[int, int, int | None]], used: bool | None,
                                                       synced: int | None) -> None:
    recorder = recorder_for(bridge)
    for update in updates:
        feed(recorder, *update)
    snapshot(recorder, last_id)
    book = recorder.books["BTCUSDT"]
    (entry,) = manifest(recorder)["snapshots"]
    assert entry["used"] is used
    assert book.synced_to == synced
    if used is False:  # the first snapshot of a session: a gap from it, and another is wanted
        (gap,) = manifest(recorder)["gaps"]
        assert (gap["after_update_id"], gap["last_update_id"]) == (last_id, None)
        assert book.wanted and book.anchor is None and len(book.buffer) == len(updates)


@pytest.mark.parametrize("bridge", [FUTURES, SPOT])
def test_a_break_after_the_bridge_opens_a_gap_from_the_last_update_applied(bridge: int) -> None:
    recorder = recorder_for(bridge)
    pu = (lambda value: value) if bridge == FUTURES else (lambda value: None)
    feed(recorder, 96, 100 + bridge, pu(95))
    feed(recorder, 101 + bridge, 104, pu(100 + bridge))
    feed(recorder, 108, 110, pu(106))  # 105..107 never came
    snapshot(recorder, 100)
    book = recorder.books["BTCUSDT"]
    (gap,) = manifest(recorder)["gaps"]
    assert gap["after_update_id"] == 104 and gap["first_time"] == 104 and gap["last_update_id"] is None
    assert book.synced_to is None and [e.last for e in book.buffer] == [110]


def test_a_stale_snapshot_after_a_cut_keeps_the_gap_where_the_data_stopped() -> None:
    recorder = recorder_for(FUTURES)
    feed(recorder, 96, 100, 95, ms=1000)
    snapshot(recorder, 100, ms=1000)
    feed(recorder, 101, 120, 100, ms=2000)  # the last update before the cut
    feed(recorder, 150, 160, 149, ms=9000)  # the first after it
    snapshot(recorder, 110, ms=9100)  # older than the data before the cut: not a gap's start
    snapshot(recorder, 140, ms=9200)  # inside the gap, still older than what is buffered
    feed(recorder, 161, 170, 160, ms=9300)
    snapshot(recorder, 165, ms=9400)  # bridged by the update buffered last
    data = manifest(recorder)
    assert [s["used"] for s in data["snapshots"]] == [True, False, False, True]
    (gap,) = data["gaps"]
    assert gap["reason"] == "update id break (pu is not the previous u)"
    assert (gap["after_update_id"], gap["first_time"], gap["first_ns"]) == (120, 2000, 2000 * 1_000_000)
    assert (gap["last_update_id"], gap["last_time"], gap["last_ns"]) == (165, 9300, 9300 * 1_000_000)
    assert recorder.books["BTCUSDT"].synced_to == 170


def test_what_waits_for_a_snapshot_is_bounded_to_the_newest_updates() -> None:
    from korvel_vorn.venues.binance.recorder import BUFFER_LIMIT

    recorder = recorder_for(FUTURES)
    for u in range(1, 3 * BUFFER_LIMIT):
        feed(recorder, u, u, u - 1)
    buffer = recorder.books["BTCUSDT"].buffer
    assert BUFFER_LIMIT <= len(buffer) <= 2 * BUFFER_LIMIT
    assert buffer[-1].last == 3 * BUFFER_LIMIT - 1
    assert [e.last for e in buffer] == list(range(buffer[0].last, 3 * BUFFER_LIMIT))
    snapshot(recorder, 3 * BUFFER_LIMIT - 5)  # a fresh snapshot still bridges
    assert recorder.books["BTCUSDT"].synced_to == 3 * BUFFER_LIMIT - 1
