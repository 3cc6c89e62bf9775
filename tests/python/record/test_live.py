"""korvel_vorn.live: frames while the stand-in exchange plays, equal to the frames of the
recording converted afterwards."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from exchange_server import BinanceServer, BinanceTape
from record_helpers import converted, fast_options

import korvel_vorn as kv


def test_live_frames_grow_and_end_where_the_recording_does(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    server = BinanceServer(BinanceTape.generate(steps=250)).start()
    monkeypatch.setenv("KORVEL_VORN_BINANCE_WS_URL", server.ws_url)
    monkeypatch.setenv("KORVEL_VORN_BINANCE_REST_URL", server.rest_url)
    spec = kv.commands.spec_value(symbol="BTCUSDT", panels=[
        kv.footprint(price_bin=1.0, bucket_ms=1000), kv.book_heatmap(price_bin=0.1, bucket_ms=500, depth_levels=20)])
    cursors = []
    last = None
    after_end = 0
    try:
        for frame in kv.live("binance-um", "BTCUSDT", spec, every=0.1, out=tmp_path / "rec",
                             options=fast_options(), idle_timeout=1.0):
            cursors.append(frame["cursor_ts"])
            last = frame
            after_end = after_end + 1 if server.done.is_set() else 0
            if after_end >= 3 or len(cursors) > 300:  # the tape has ended: a few more frames, then stop
                break
    finally:
        server.close()
    assert last is not None and len(cursors) >= 3
    assert cursors == sorted(cursors)
    # The live session holds what the recording converts to: the same frame at the same moment.
    dataset, _ = converted(tmp_path / "rec")
    session = kv.Session(spec)
    session.load(dataset)
    again = session.frame_arrays(last["cursor_ts"])
    for live_panel, panel in zip(last["panels"], again["panels"], strict=True):
        for key, value in panel.items():
            if isinstance(value, np.ndarray):
                np.testing.assert_array_equal(live_panel[key], value, err_msg=key)
