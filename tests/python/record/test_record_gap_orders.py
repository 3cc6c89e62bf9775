"""Faults in every order against the Binance stand-in: a cut then a stale snapshot, a stale snapshot
then a cut, two cuts before one resync, and a gap across an hour file's end and across UTC
midnight. For each, the manifest's gaps start at the last update applied and end at the snapshot
that bridges, with the times of the updates on either side, and the converted book equals the
stand-in's own book at every step outside the gaps."""

from __future__ import annotations

import time
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from exchange_server import BinanceServer, BinanceTape, Faults, wait_until
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


@pytest.fixture
def serve(monkeypatch: pytest.MonkeyPatch) -> Any:
    servers: list[BinanceServer] = []

    def start(faults: Faults) -> BinanceServer:
        server = BinanceServer(BinanceTape.generate(steps=300), faults).start()
        monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", server.ws_url)
        monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", server.rest_url)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


ORDERS = [
    # name, faults, how many gaps, the clock's boundary
    ("cut_then_older_snapshot", Faults(drop_depth_at={120}, snapshot_at={1: 60}), 1, None),
    ("break_then_snapshot_inside_the_gap",
     Faults(skip_depth=set(range(120, 160)), snapshot_at={1: 140}), 1, None),
    ("stale_first_snapshot_then_cut",
     Faults(snapshot_at={0: -1}, hold_snapshot={1: 60}, drop_depth_at={40}, sync_snapshots=0), 1, None),
    ("two_cuts_before_one_resync",
     Faults(drop_depth_at={100, 180}, hold_snapshot={1: 220}), 1, None),
    ("cut_then_stale_snapshot_across_the_hour", Faults(drop_depth_at={120}, snapshot_at={1: 60}), 1, hour_ns),
    ("cut_then_stale_snapshot_across_midnight", Faults(drop_depth_at={120}, snapshot_at={1: 60}), 1, midnight_ns),
]


def written_depth(out: Path) -> dict[int, int]:
    """u -> receive ns of every depth update in the files."""
    found: dict[int, int] = {}
    for path in hour_files(out):
        for ns, message in lines_of(path):
            data = message.get("data", {})
            if data.get("e") == "depthUpdate":
                found.setdefault(data["u"], ns)
    return found


def book_of(levels: dict[int, str]) -> dict[float, float]:
    return {tick / 10: float(qty) for tick, qty in levels.items()}


@pytest.mark.parametrize(("name", "faults", "gap_count", "boundary"), ORDERS, ids=[o[0] for o in ORDERS])
def test_a_gap_bounds_exactly_what_is_missing(serve: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                             name: str, faults: Faults, gap_count: int, boundary: Any) -> None:
    clock = JumpingClock(boundary()) if boundary is not None else None
    if clock is not None:
        monkeypatch.setattr(time, "time_ns", clock)
    server = serve(faults)
    tape = server.tape
    out = tmp_path / "rec"
    logs = Log(clock, "depth: connection closed")

    def until(timeout: float) -> None:
        assert wait_until(server.done.is_set, timeout), "the stand-in server did not finish its tape"
        wait_until(lambda: False, 0.3)

    recorder, _ = record_while("binance-um", ["BTCUSDT"], out, fast_options(), until, logs=logs)
    assert recorder.exit_status == 0, logs
    if "cut" in name:
        assert sum("depth: connection closed" in line for line in logs) == len(faults.drop_depth_at), logs

    days = manifests(out)
    if boundary is midnight_ns:
        assert len(days) == 2
        assert days[0]["gaps"] == days[1]["gaps"], "a gap across midnight is listed by both days"
        assert [len(day["sessions"]) for day in days] == [1, 1], "the day left behind is not opened again"
    else:
        assert len(days) == 1
    if boundary is hour_ns:
        assert [p.name for p in hour_files(out)] == ["13.jsonl.gz", "14.jsonl.gz"]
    manifest = days[-1]
    gaps = manifest["gaps"]
    assert len(gaps) == gap_count, (gaps, logs)

    received = written_depth(out)
    step_of = {s.depth["u"]: i for i, s in enumerate(tape.steps) if s.depth is not None}
    snapshots = [s for day in days for s in day["snapshots"]]
    served = {s["lastUpdateId"]: s for s in server.snapshots_served}
    stale = {tape.book_after[step + 1][0] for step in faults.snapshot_at.values()}
    assert stale <= {s["last_update_id"] for s in snapshots}, "a stale snapshot stays listed"
    for entry in snapshots:  # and is marked unused; every other one is used
        assert entry["used"] is (entry["last_update_id"] not in stale), (entry, snapshots)

    for gap in gaps:
        after, resume = gap["after_update_id"], gap["last_update_id"]
        assert resume in {s["last_update_id"] for s in snapshots if s["used"]}
        if after in received:  # the last update applied before the break
            assert gap["first_time"] == tape.steps[step_of[after]].depth["T"]
            assert gap["first_ns"] == received[after]
            following = [u for u in step_of if u > after]
            assert following[0] not in received or "snapshot" in gap["reason"], "the gap starts at the break"
        else:  # a stale first snapshot
            assert gap["reason"] == "snapshot older than the buffered updates"
            assert gap["first_time"] == served[after]["T"]
        first_after = min(u for u in received if u >= resume)  # the first update applied after the resync
        assert gap["last_time"] == tape.steps[step_of[first_after]].depth["T"]
        assert gap["last_ns"] == received[first_after]
    # Every update the stand-in sent that was not received lies inside a gap.
    for u in step_of:
        if u not in received and u > min(received):
            assert any(g["after_update_id"] < u <= g["last_update_id"] for g in gaps), u

    dataset, _ = converted(out)
    diffs = [e for e in dataset["book"] if e["kind"] == "diff"]
    first_used = min(s["last_update_id"] for s in snapshots if s["used"])
    in_sync = [u for u in sorted(received) if u >= first_used
               and not any(g["after_update_id"] < u < g["last_update_id"] for g in gaps)]
    assert len(diffs) == len(in_sync), "every update received in sync is converted, none inside a gap"
    assert sum(e["kind"] == "snapshot" for e in dataset["book"]) == sum(s["used"] for s in snapshots)

    # The converted book equals the stand-in's at every step outside the gaps.
    book = dataset["book"]
    bids: dict[float, float] = {}
    asks: dict[float, float] = {}
    n = 0
    compared = 0
    for i, step in enumerate(tape.steps):
        while n < len(book) and book[n]["ts"] <= step.ms:
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
        u = step.depth["u"] if step.depth is not None else None
        if u is None or u < first_used or u > max(received):
            continue
        if any(g["after_update_id"] < u and step.ms < g["last_time"] for g in gaps):
            continue
        expected_bids, expected_asks = tape.book_after[i + 1][1:]
        assert (bids, asks) == (book_of(expected_bids), book_of(expected_asks)), f"{name}: step {i} (u {u})"
        compared += 1
    assert compared > 150


def apply_levels(bids: dict[float, float], asks: dict[float, float], bid_levels: Any, ask_levels: Any) -> None:
    for side, levels in ((bids, bid_levels), (asks, ask_levels)):
        for price, qty in levels:
            if float(qty) == 0:
                side.pop(float(price), None)
            else:
                side[float(price)] = float(qty)


RAW = Path(__file__).resolve().parents[3].parent / "shared" / "data" / "raw" / "btcusdt_20240808.gz"


@pytest.mark.skipif(not RAW.exists(), reason="the raw recordings are not available")
def test_a_real_market_cut_then_served_a_stale_snapshot_keeps_every_update_before_the_cut(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """The recorded BTCUSDT depth stream replayed by the stand-in, cut, then answered with a
    snapshot older than the updates before the cut: the converted book equals the recording's own
    book at every update but those inside the gap."""
    from exchange_server import recorded_tape

    tape = recorded_tape(str(RAW), 1000)
    server = BinanceServer(tape, Faults(drop_depth_at={500}, snapshot_at={1: 250}), pace=0.001).start()
    monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", server.ws_url)
    monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", server.rest_url)
    out = tmp_path / "rec"
    try:
        recorder, logs = record_while(
            "binance-um", ["BTCUSDT"], out, fast_options(silence=5.0),
            lambda timeout: wait_until(server.done.is_set, timeout) and wait_until(lambda: False, 0.3))
    finally:
        server.close()
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(out)
    (gap,) = manifest["gaps"]
    received = written_depth(out)
    last_before_cut = max(s.depth["u"] for s in tape.steps[:500] if s.depth is not None)
    assert gap["after_update_id"] == last_before_cut and last_before_cut in received
    stale = tape.book_after[251][0]
    assert [s["used"] for s in manifest["snapshots"] if s["last_update_id"] == stale] == [False]
    assert stale < last_before_cut

    dataset, _ = converted(out)
    book = dataset["book"]
    bids: dict[float, float] = {}
    asks: dict[float, float] = {}
    _, start_bids, start_asks = tape.book_after[0]
    tape_bids = {t / 10: float(q) for t, q in start_bids.items()}
    tape_asks = {t / 10: float(q) for t, q in start_asks.items()}
    first_used = min(s["last_update_id"] for s in manifest["snapshots"] if s["used"])
    resync = max(s["last_update_id"] for s in manifest["snapshots"] if s.get("used", True))
    n = compared = 0
    for i, step in enumerate(tape.steps):
        assert step.depth is not None
        u = step.depth["u"]
        apply_levels(tape_bids, tape_asks, step.depth["b"], step.depth["a"])
        if i + 1 < len(tape.steps) and tape.steps[i + 1].ms == step.ms:
            continue  # compared once every update of that millisecond is in
        while n < len(book) and book[n]["ts"] <= step.ms:
            event = book[n]
            if event["kind"] == "snapshot":
                bids.clear()
                asks.clear()
            apply_levels(bids, asks, event["bids"], event["asks"])
            n += 1
        if u < first_used or last_before_cut < u < resync:
            continue  # before the book's start, or lost in the cut
        assert (bids, asks) == (tape_bids, tape_asks), f"the book after update {u}"
        compared += 1
    assert compared > 700


def test_a_second_session_starts_its_book_again_without_touching_the_first(serve: Any, tmp_path: Path) -> None:
    """A recording stopped and started again into the same folder: what the second session wrote
    before its book synced is left out, so neither session's book is wrong for a moment."""
    # The second session connects while the tape waits at step 130, and its first snapshot comes
    # only at step 170: it writes 40 updates before its book syncs.
    server = serve(Faults(wait_for_depth_at={130: 2}, hold_snapshot={1: 170}))
    tape = server.tape
    out = tmp_path / "rec"
    first, logs = record_while("binance-um", ["BTCUSDT"], out, fast_options(),
                               lambda timeout: wait_until(lambda: server.position >= 120, timeout))
    assert first.exit_status == 0, logs
    end_of_first = max(written_depth(out))
    second, logs = record_while("binance-um", ["BTCUSDT"], out, fast_options(),
                                lambda timeout: wait_until(server.done.is_set, timeout) and
                                wait_until(lambda: False, 0.3))
    assert second.exit_status == 0, logs
    (manifest,) = manifests(out)
    assert len(manifest["sessions"]) == 2 and manifest["gaps"] == []
    starts = [s for s in manifest["snapshots"] if "session_buffered_from" in s]
    assert len(starts) == 2 and all(s["used"] for s in starts)

    received = written_depth(out)
    resync = starts[1]["last_update_id"]
    dataset, notes = converted(out)
    (note,) = [n for n in notes if "before its book first synced" in n]
    assert int(note.split()[1]) >= 40, note  # the second session's 40, and what the first had before its sync
    book = dataset["book"]
    assert sum(e["kind"] == "diff" for e in book) == sum(
        1 for u in received if starts[0]["last_update_id"] <= u <= end_of_first or u >= resync)
    bids: dict[float, float] = {}
    asks: dict[float, float] = {}
    n = compared = 0
    for i, step in enumerate(tape.steps):
        assert step.depth is not None
        while n < len(book) and book[n]["ts"] <= step.ms:
            if book[n]["kind"] == "snapshot":
                bids.clear()
                asks.clear()
            apply_levels(bids, asks, book[n]["bids"], book[n]["asks"])
            n += 1
        u = step.depth["u"]
        if u < starts[0]["last_update_id"] or end_of_first < u < resync or u > max(received):
            continue
        expected_bids, expected_asks = tape.book_after[i + 1][1:]
        assert (bids, asks) == (book_of(expected_bids), book_of(expected_asks)), f"step {i} (u {u})"
        compared += 1
    assert compared > 150
