"""The Bybit recorder against a loopback stand-in of its v5 public stream."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from exchange_server import BybitServer, wait_until
from record_helpers import converted, fast_options, manifests, record_while, replay_book


def record_bybit(monkeypatch: pytest.MonkeyPatch, out: Path, **server_options: Any) -> tuple[BybitServer, Any, list[str]]:
    server = BybitServer(**server_options).start()
    monkeypatch.setenv("KORVEL_VORN_BYBIT_WS_URL", server.ws_url)
    try:
        recorder, logs = record_while("bybit", ["BTCUSDT"], out, fast_options(),
                                      lambda timeout: wait_until(server.done.is_set, timeout) and
                                      wait_until(lambda: False, 0.3))
    finally:
        server.close()
    return server, recorder, logs


def final_book(server: BybitServer) -> tuple[dict[float, float], dict[float, float]]:
    return ({t / 10: float(q) for t, q in server.bids.items()}, {t / 10: float(q) for t, q in server.asks.items()})


def test_a_clean_bybit_recording_converts_to_what_the_server_sent(monkeypatch: pytest.MonkeyPatch,
                                                                 tmp_path: Path) -> None:
    server, recorder, logs = record_bybit(monkeypatch, tmp_path / "rec")
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(tmp_path / "rec")
    assert manifest["gaps"] == [] and len(manifest["snapshots"]) == 1
    assert manifest["liquidations"]["sampled"] is False
    dataset, _ = converted(tmp_path / "rec")
    assert [(t["ts"], t["side"]) for t in dataset["trades"]] == [
        (t["T"], t["S"].lower()) for t in server.trades_sent]
    assert replay_book(dataset["book"]) == final_book(server)
    assert len(dataset["funding"]) == len(dataset["oi"]) > 0  # deltas without the fields add nothing
    assert len(dataset["liquidations"]) == len([i for i in range(server.steps) if i % 50 == 7])


@pytest.mark.parametrize(("fault", "expect"), [({"skip_at": 120}, "gap"), ({"restart_at": 120}, "restart")])
def test_a_break_or_a_restart_starts_the_book_again(monkeypatch: pytest.MonkeyPatch, tmp_path: Path,
                                                    fault: dict[str, int], expect: str) -> None:
    server, recorder, logs = record_bybit(monkeypatch, tmp_path / "rec", **fault)
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(tmp_path / "rec")
    if expect == "gap":
        (gap,) = manifest["gaps"]
        assert gap["after_update_id"] == 100 + 120 and gap["last_update_id"] > gap["after_update_id"]
        assert server.snapshots_sent == 2  # subscribed again for a new snapshot
    else:
        assert manifest["gaps"] == []
        assert [s["reason"] for s in manifest["snapshots"]] == ["snapshot", "service restart (u = 1)"]
    dataset, _ = converted(tmp_path / "rec")
    assert replay_book(dataset["book"]) == final_book(server)


def test_pings_every_twenty_seconds_are_sent(monkeypatch: pytest.MonkeyPatch) -> None:
    from korvel_vorn.venues import bybit

    monkeypatch.setattr(bybit, "PING_SECONDS", 0.05)
    server = BybitServer(steps=100, pace=0.005).start()
    monkeypatch.setenv("KORVEL_VORN_BYBIT_WS_URL", server.ws_url)
    try:
        record_while("bybit", ["BTCUSDT"], None, fast_options(), lambda timeout: wait_until(server.done.is_set, 20))
    finally:
        server.close()
    assert server.pings >= 3


def test_a_planned_bybit_replacement_keeps_the_book_whole(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    server = BybitServer().start()
    monkeypatch.setenv("KORVEL_VORN_BYBIT_WS_URL", server.ws_url)
    out = tmp_path / "rec"
    try:
        recorder, logs = record_while("bybit", ["BTCUSDT"], out, fast_options(max_age=0.4, overlap=0.15),
                                      lambda timeout: wait_until(server.done.is_set, timeout) and
                                      wait_until(lambda: False, 0.3))
    finally:
        server.close()
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(out)
    assert sum(c["event"] == "replaced" for c in manifest["connections"]) >= 1
    for gap in manifest["gaps"]:  # a new connection's snapshot may run ahead of the old one's updates
        assert gap["last_update_id"] - gap["after_update_id"] <= 2, gap
    dataset, _ = converted(out)
    assert [t["ts"] for t in dataset["trades"]] == [t["T"] for t in server.trades_sent]
    assert replay_book(dataset["book"]) == final_book(server)
