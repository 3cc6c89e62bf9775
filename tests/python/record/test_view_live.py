"""The viewer following a live market: the stand-in exchange plays, the viewer's frames move
forward with the recording, and a seek goes back into what has been recorded."""

from __future__ import annotations

import json
import time
from pathlib import Path

import pytest

pytest.importorskip("websockets")

from exchange_server import BinanceServer, BinanceTape
from record_helpers import fast_options
from websockets.sync.client import connect

import korvel_vorn as kv
from korvel_vorn.viewer import frames, serve
from korvel_vorn.viewer.live import LiveModel


def test_the_viewer_follows_a_live_market_and_seeks_back(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    server = BinanceServer(BinanceTape.generate(steps=400)).start()
    monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", server.ws_url)
    monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", server.rest_url)
    spec = kv.commands.spec_value(symbol="BTCUSDT", panels=[
        kv.footprint(price_bin=1.0, bucket_ms=1000), kv.book_heatmap(price_bin=0.1, bucket_ms=500, depth_levels=20)])
    model = LiveModel("binance-um", "BTCUSDT", spec, tmp_path / "rec", options=fast_options())
    viewer = serve(model=model, block=False)
    try:
        with connect(viewer.url.replace("http", "ws") + "ws") as page:
            assert json.loads(page.recv(timeout=30))["live"] is True
            newest, shown, request_id = [], None, 0
            deadline = time.monotonic() + 60
            while len(set(newest)) < 3 and time.monotonic() < deadline:
                request_id += 1
                page.send(json.dumps({"type": "frame", "id": request_id, "cursor": 10**15}))  # clamped to the newest
                header, arrays = frames.read_frame(page.recv(timeout=30))
                if header["type"] == "frame":
                    assert header["cursor"] == header["bounds"]["to_ts"]
                    newest.append(header["cursor"])
                    shown = header, arrays
                else:
                    assert "waiting for the first records" in header["error"]
                time.sleep(0.2)
            assert len(set(newest)) >= 3 and newest == sorted(newest)
            assert shown is not None and shown[0]["heatmap"]["rows"] > 0 and shown[1]["fp_buy"].size > 0
            # Back into the recording: the moment asked for, not the newest.
            earlier = (shown[0]["bounds"]["from_ts"] + newest[0]) // 2
            page.send(json.dumps({"type": "frame", "id": request_id + 1, "cursor": earlier}))
            header, _ = frames.read_frame(page.recv(timeout=30))
            assert header["type"] == "frame" and header["cursor"] == earlier
    finally:
        viewer.stop()
        model.stop()
        server.close()
    assert any((tmp_path / "rec").rglob("*.jsonl.gz"))  # recorded as it was viewed
