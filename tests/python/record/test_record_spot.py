"""The recorder of Binance spot against a loopback stand-in: its own addresses, the streams it
asks for, a book synchronised by spot's rule (no `pu`; the first update after a snapshot holds
`lastUpdateId + 1`), and no liquidation, mark price or open interest traffic at all."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from exchange_server import wait_until
from record_helpers import converted, fast_options, hour_files, lines_of, manifests, record_while, replay_book
from spot_server import SpotFaults, SpotServer, SpotTape


@pytest.fixture
def serve(monkeypatch: pytest.MonkeyPatch) -> Any:
    servers: list[SpotServer] = []

    def start(faults: SpotFaults | None = None, steps: int = 300) -> SpotServer:
        server = SpotServer(SpotTape.generate(steps=steps), faults).start()
        monkeypatch.setenv("KORVEL_VORN_BINANCE_SPOT_WS_URL", server.ws_url)
        monkeypatch.setenv("KORVEL_VORN_BINANCE_SPOT_REST_URL", server.rest_url)
        # The futures' variables point nowhere: spot must not use them.
        monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", "ws://127.0.0.1:9")
        monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", "http://127.0.0.1:9")
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


def record_tape(server: SpotServer, out: Path | None) -> tuple[Any, list[str]]:
    def until(timeout: float) -> None:
        assert wait_until(server.done.is_set, timeout), "the stand-in server did not finish its tape"
        wait_until(lambda: False, 0.3)  # the last messages reach the files

    return record_while("binance-spot", ["BTCUSDT"], out, fast_options(), until)


def depth_ids_written(out: Path) -> list[int]:
    return [m["data"]["u"] for p in hour_files(out) for _, m in lines_of(p) if m.get("data", {}).get("e") == "depthUpdate"]


def tape_book(server: SpotServer, u: int) -> tuple[dict[float, float], dict[float, float]]:
    _, bids, asks = next(b for b in server.tape.books if b[0] == u)
    return {p / 100: float(q) for p, q in bids.items()}, {p / 100: float(q) for p, q in asks.items()}


def test_spot_streams_addresses_and_trades(serve: Any, tmp_path: Path) -> None:
    server = serve()
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out)
    assert recorder.exit_status == 0, logs
    assert set(server.paths) == {"/stream"}
    assert server.streams == {"btcusdt@depth@100ms", "btcusdt@trade"}
    assert set(server.rest_paths) == {"/api/v3/depth", "/api/v3/exchangeInfo"}  # no open interest polls
    assert server.rest_paths.count("/api/v3/exchangeInfo") == 1
    files = hour_files(out)
    assert files and {p.relative_to(out).parts[:2] for p in files} == {("binance-spot", "BTCUSDT")}
    (manifest,) = manifests(out)
    assert manifest["trade_id_holes"] == []
    assert manifest["liquidations"] is None  # no liquidation stream on spot
    dataset, _ = converted(out)
    assert [(t["ts"], t["price"], t["qty"], t["side"]) for t in dataset["trades"]] == [
        (m["T"], float(m["p"]), float(m["q"]), "sell" if m["m"] else "buy") for m in server.sent_trades]
    assert not dataset.get("funding") and not dataset.get("oi") and not dataset.get("liquidations")


def test_a_clean_spot_book_converts_to_the_server_s_book(serve: Any, tmp_path: Path) -> None:
    server = serve()
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out)
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(out)
    assert manifest["gaps"] == []
    dataset, _ = converted(out)
    written = depth_ids_written(out)
    assert replay_book(dataset["book"]) == tape_book(server, max(written))
    first = manifest["snapshots"][0]["last_update_id"]
    # Updates before the snapshot's are in it: none is applied after it.
    assert sum(e["kind"] == "diff" for e in dataset["book"]) <= sum(1 for u in written if u >= first)


def test_a_snapshot_is_bridged_by_the_update_after_it(serve: Any, tmp_path: Path) -> None:
    """The snapshot's lastUpdateId is the u of an update never sent: the next update starts at
    lastUpdateId + 1, which bridges on spot (the futures' rule, U <= lastUpdateId, would find no
    update to bridge it and fetch another)."""
    server = serve(SpotFaults(snapshot_at={0: 9}, skip_depth={9}))
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out)
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(out)
    assert manifest["gaps"] == []
    assert [s["last_update_id"] for s in manifest["snapshots"]] == [server.tape.books[10][0]]
    dataset, _ = converted(out)
    assert replay_book(dataset["book"]) == tape_book(server, max(depth_ids_written(out)))


def test_a_skipped_spot_update_is_a_gap_then_a_resync(serve: Any, tmp_path: Path) -> None:
    server = serve(SpotFaults(skip_depth={150}))
    out = tmp_path / "rec"
    recorder, logs = record_tape(server, out)
    assert recorder.exit_status == 0, logs
    (manifest,) = manifests(out)
    (gap,) = manifest["gaps"]
    assert gap["after_update_id"] == server.tape.depth[149]["u"]
    assert gap["last_update_id"] is not None and gap["last_update_id"] >= server.tape.depth[150]["u"]
    assert len(manifest["snapshots"]) >= 2
    dataset, _ = converted(out)
    assert replay_book(dataset["book"]) == tape_book(server, max(depth_ids_written(out)))


def test_an_unknown_spot_symbol_is_refused(serve: Any, tmp_path: Path) -> None:
    server = serve(steps=40)
    logs: list[str] = []
    recorder, _ = record_while("binance-spot", ["NOPEUSDT"], tmp_path / "rec", fast_options(),
                               lambda timeout: wait_until(lambda: len(logs) >= 2, 30), logs=logs)
    assert recorder.exit_status == 1
    assert any("unknown symbol NOPEUSDT" in line for line in logs)
    assert server.rest_paths == ["/api/v3/exchangeInfo"]
