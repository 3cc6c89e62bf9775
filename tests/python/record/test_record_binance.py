"""The Binance recorder against a loopback stand-in of the exchange: what it writes, what convert
makes of it, and each injected fault's gap and resync."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from exchange_server import BinanceServer, BinanceTape, Faults, wait_until
from record_helpers import (
    converted,
    fast_options,
    hour_files,
    lines_of,
    manifests,
    record_while,
    replay_book,
)


@pytest.fixture
def serve(monkeypatch: pytest.MonkeyPatch) -> Any:
    servers: list[BinanceServer] = []

    def start(faults: Faults | None = None, steps: int = 300, **kwargs: Any) -> BinanceServer:
        server = BinanceServer(BinanceTape.generate(steps=steps), faults, **kwargs).start()
        monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", server.ws_url)
        monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", server.rest_url)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


def record_tape(server: BinanceServer, out: Path, **options: Any) -> tuple[Any, list[str]]:
    def until(timeout: float) -> None:
        assert wait_until(server.done.is_set, timeout), "the stand-in server did not finish its tape"
        wait_until(lambda: False, 0.3)  # the last messages reach the files

    return record_while("binance-um", ["BTCUSDT"], out, fast_options(**options), until)


def depth_ids_written(out: Path) -> list[int]:
    ids = []
    for path in hour_files(out):
        for _, message in lines_of(path):
            data = message.get("data", {})
            if data.get("e") == "depthUpdate":
                ids.append(data["u"])
    return ids


def test_a_clean_recording_converts_to_what_the_server_sent(serve: Any, tmp_path: Path) -> None:
    server = serve()
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out)
    assert recorder.exit_status == 0, logs
    files = hour_files(out)
    assert [p.relative_to(out).parts[:2] for p in files] == [("binance-um", "BTCUSDT")] * len(files)
    assert all(p.name.endswith(".jsonl.gz") for p in files)
    (manifest,) = manifests(out)
    assert manifest["gaps"] == []
    assert manifest["reconnects"] == 0  # the server's pings were answered
    assert manifest["trade_id_holes"] == []
    assert manifest["liquidations"]["sampled"] is True
    first = manifest["snapshots"][0]["last_update_id"]
    snapshot = next(s for s in server.snapshots_served if s["lastUpdateId"] == first)

    dataset, notes = converted(out)
    book = dataset["book"]
    diffs = [s.depth for s in server.tape.steps if s.depth is not None and s.depth["u"] >= first]
    written = set(depth_ids_written(out))
    diffs = [d for d in diffs if d["u"] in written]
    assert len(book) == 1 + len(diffs)
    assert book[0]["kind"] == "snapshot" and book[0]["ts"] == snapshot["T"]
    assert book[0]["bids"] == [[float(p), float(q)] for p, q in snapshot["bids"]]
    for event, diff in zip(book[1:], diffs, strict=True):
        assert (event["kind"], event["ts"]) == ("diff", diff["T"])
        assert event["bids"] == [[float(p), float(q)] for p, q in diff["b"]]
        assert event["asks"] == [[float(p), float(q)] for p, q in diff["a"]]
    trades = [m for s in server.tape.steps for m in s.market if m["e"] == "aggTrade"]
    assert [(t["ts"], t["price"], t["qty"], t["side"]) for t in dataset["trades"]] == [
        (m["T"], float(m["p"]), float(m["q"]), "sell" if m["m"] else "buy") for m in trades]
    forced = [m for s in server.tape.steps for m in s.market if m["e"] == "forceOrder"]
    assert len(dataset["liquidations"]) == len(forced)
    assert dataset["funding"] and dataset["oi"]
    assert any("sampled" in note for note in notes)


FAULTS = [
    # name, faults, the gap's reason, what the recorder says, options
    ("dropped_connection", Faults(drop_depth_at={120}), "update id break", "depth: connection closed", {}),
    ("silent_stream", Faults(silent_depth=(60, 260)), "update id break", "depth: no message for 0.4 s",
     {"silence": 0.4}),
    ("skipped_update", Faults(skip_depth={150}), "update id break", "book gap after update", {}),
    ("stale_snapshot", Faults(stale_snapshots=1), "snapshot older than the buffered updates", "book gap after", {}),
    ("server_restart", Faults(restart_at=150), "update id break", "market: connection closed", {}),
]


@pytest.mark.parametrize(("name", "faults", "reason", "said", "options"), FAULTS, ids=[f[0] for f in FAULTS])
def test_each_fault_is_a_gap_then_a_resync(serve: Any, tmp_path: Path, name: str, faults: Faults, reason: str,
                                          said: str, options: dict[str, Any]) -> None:
    server = serve(faults)
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out, **options)
    assert recorder.exit_status == 0, logs
    assert any(said in line for line in logs), logs
    (manifest,) = manifests(out)
    gaps = manifest["gaps"]
    assert gaps, f"{name}: no gap recorded; log: {logs}"
    assert any(reason in gap["reason"] for gap in gaps), gaps
    for gap in gaps:  # each gap closed by a snapshot that overlaps the updates after it
        assert gap["last_update_id"] is not None and gap["last_update_id"] > gap["after_update_id"]
    if name in ("dropped_connection", "silent_stream", "server_restart"):
        assert manifest["reconnects"] >= 1
    if name == "server_restart":
        assert manifest["trade_id_holes"], "trades lost while the server was down are noted"
    if name == "silent_stream":  # the gap lasts as long as the silence, from the last update before it
        (gap,) = gaps
        assert gap["first_time"] == server.tape.steps[59].depth["T"]
        assert gap["last_time"] - gap["first_time"] > (260 - 60) * 100

    dataset, notes = converted(out)
    written = depth_ids_written(out)
    # The book restarts from the snapshot after each gap: no update inside a gap is kept.
    first = manifest["snapshots"][0]["last_update_id"]
    kept = [u for u in written if u >= first and not any(g["after_update_id"] < u < g["last_update_id"] for g in gaps)]
    assert sum(e["kind"] == "diff" for e in dataset["book"]) == len(kept)
    # Every snapshot the book was started from; a stale one stays in the file, left out.
    assert sum(e["kind"] == "snapshot" for e in dataset["book"]) == sum(s["used"] for s in manifest["snapshots"])
    bids, asks = replay_book(dataset["book"])
    tape_bids, tape_asks = server.tape.book_at(max(written))
    assert bids == {p / 10: float(q) for p, q in tape_bids.items()}
    assert asks == {p / 10: float(q) for p, q in tape_asks.items()}
    assert any("book gaps" in note for note in notes)
    listed = [note for note in notes if note.startswith("  gap ")]
    assert len(listed) == len(gaps) and all(f"after {g['after_update_id']} " in n for g, n in zip(gaps, listed))


def test_an_unknown_symbol_is_one_line_and_exit_status_1(serve: Any, tmp_path: Path) -> None:
    serve()
    logs: list[str] = []
    recorder, _ = record_while("binance-um", ["NOPEUSDT"], tmp_path / "rec", fast_options(),
                               lambda timeout: wait_until(lambda: len(logs) >= 2, 30), logs=logs)
    assert recorder.exit_status == 1
    assert any("unknown symbol NOPEUSDT" in line for line in logs)


def test_a_url_that_does_not_answer_is_retried_with_growing_delays(monkeypatch: pytest.MonkeyPatch,
                                                                    tmp_path: Path) -> None:
    monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", "ws://127.0.0.1:9")
    monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", "http://127.0.0.1:9")
    _, logs = record_while("binance-um", ["BTCUSDT"], tmp_path / "rec", fast_options(),
                           lambda timeout: wait_until(lambda: False, 0.8))
    attempts = [line for line in logs if "cannot connect" in line]
    assert len(attempts) >= 4 and all("127.0.0.1:9" in line for line in attempts)
    assert any("open interest poll failed" in line for line in logs)


def test_reconnect_delays_double_to_their_cap_with_jitter_never_below_half_a_step() -> None:
    from korvel_vorn.recorder.options import RecordOptions

    options = RecordOptions()
    for attempt in range(12):
        step = min(60.0, 2.0**attempt)
        delays = [options.backoff(attempt) for _ in range(50)]
        assert all(step / 2 <= d <= step for d in delays)
        assert max(delays) - min(delays) > 0  # jitter
    assert min(options.backoff(0) for _ in range(50)) >= 0.5


def test_a_planned_replacement_overlaps_and_loses_nothing(serve: Any, tmp_path: Path) -> None:
    server = serve()
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out, max_age=0.4, overlap=0.15)
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(out)
    assert sum(c["event"] == "replaced" for c in manifest["connections"]) >= 2
    assert manifest["gaps"] == [] and manifest["trade_id_holes"] == []
    assert manifest.get("repeats_skipped", 0) > 0  # both connections delivered, each message written once
    dataset, _ = converted(out)
    trades = [m for s in server.tape.steps for m in s.market if m["e"] == "aggTrade"]
    assert [t["ts"] for t in dataset["trades"]] == [m["T"] for m in trades]
    bids, _ = replay_book(dataset["book"])
    tape_bids, _ = server.tape.book_at(max(depth_ids_written(out)))
    assert bids == {p / 10: float(q) for p, q in tape_bids.items()}


def test_a_message_that_is_not_json_is_skipped_and_counted(serve: Any, tmp_path: Path) -> None:
    server = serve(Faults(garbage_at={50, 51}))
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out)
    assert recorder.exit_status == 0
    assert sum("skipped a message: not JSON" in line for line in logs) == 2
    (manifest,) = manifests(out)
    assert manifest["unreadable_messages"] == 2
    dataset, _ = converted(out)
    assert len(dataset["trades"]) == sum(m["e"] == "aggTrade" for s in server.tape.steps for m in s.market)


def test_binance_cm_uses_its_own_urls_and_paths(serve: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    server = serve(steps=120)
    monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", "ws://127.0.0.1:9")  # the USD-M URLs are not used
    monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", "http://127.0.0.1:9")
    monkeypatch.setenv("KORVEL_VORN_BINANCE_CM_WS_URL", server.ws_url)
    monkeypatch.setenv("KORVEL_VORN_BINANCE_CM_REST_URL", server.rest_url)
    out = tmp_path / "rec"
    recorder, logs = record_while("binance-cm", ["BTCUSDT"], out, fast_options(),
                                  lambda timeout: wait_until(server.done.is_set, timeout))
    assert recorder.exit_status == 0, logs
    assert set(server.rest_paths) == {"/dapi/v1/depth", "/dapi/v1/openInterest"}
    assert hour_files(out)[0].relative_to(out).parts[0] == "binance-cm"
