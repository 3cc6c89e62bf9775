"""The viewer without a browser: frame messages against the engine's arrays, the page's messages
checked, the server's files and WebSocket, a failed load, and the notebook widget's replies."""

import json
import logging
import urllib.error
import urllib.request

import numpy as np
import pytest

import korvel_vorn as kv
from korvel_vorn.charts import HeatmapScale
from korvel_vorn.sample import sample_dataset_json, sample_spec
from korvel_vorn.viewer import frames
from korvel_vorn.viewer.replay_model import ReplayModel, ViewSettings, initial_settings
from korvel_vorn.viewer.tab import BadMessage, Tab


def sample_session():
    session = kv.Session()
    session.load(sample_dataset_json(7))
    return session


@pytest.fixture(scope="module")
def tab():
    return Tab(ReplayModel(sample_session(), "DEMOUSDT", initial_settings(sample_spec())))


def request(cursor, request_id=1, **settings):
    return json.dumps({"type": "frame", "id": request_id, "cursor": cursor, "settings": settings})


def test_a_frame_message_reads_back_its_header_and_arrays():
    writer = frames.FrameWriter()
    writer.header = {"type": "frame", "id": 3, "note": "x" * 3000}  # a header longer than the first allowance
    writer.add("a", "u1", [1, 2, 3])
    writer.add("b", "f8", [1.5, np.nan])
    writer.add("c", "u4", np.arange(5))
    writer.add("d", "f4", [])
    message = writer.bytes()
    header, arrays = frames.read_frame(message)
    assert header["id"] == 3 and header["note"] == "x" * 3000
    assert arrays["a"].tolist() == [1, 2, 3] and arrays["c"].tolist() == [0, 1, 2, 3, 4] and arrays["d"].size == 0
    assert arrays["b"][0] == 1.5 and np.isnan(arrays["b"][1])
    offsets = [offset for _dtype, offset, _count in json.loads(message[8:8 + int.from_bytes(message[4:8], "little")])["arrays"].values()]
    assert all(offset % 8 == 0 for offset in offsets)
    with pytest.raises(ValueError, match="not a viewer frame"):
        frames.read_frame(b"nope")


@pytest.mark.parametrize("transform", ["linear", "sqrt", "log"])
def test_colour_codes_follow_the_scale_and_the_side(transform):
    scale = HeatmapScale(transform, 0.01, 10.0)
    sizes = np.array([0.01, 0.1, 1.0, 10.0, 100.0])
    expected = {"linear": sizes / 10, "sqrt": np.sqrt(sizes / 10), "log": np.log(sizes / 0.01) / np.log(1000)}[transform]
    fraction = frames.scale_fraction(sizes, scale)
    assert np.allclose(fraction, np.clip(expected, 0, 1))
    codes = frames.side_codes(fraction, np.array([False, False, True, True, True]))
    assert codes[0] == 1 + round(fraction[0] * 126) and codes[-1] == 255 and codes[2] == 129 + round(fraction[2] * 126)
    assert all(1 <= c <= 127 for c in codes[:2]) and all(129 <= c <= 255 for c in codes[2:])


def detail_request(cursor, request_id, detail, **settings):
    return json.dumps({"type": "frame", "id": request_id, "cursor": cursor, "settings": settings, "detail": detail})


@pytest.mark.parametrize("detail", [True, False])
def test_heatmap_and_footprint_arrays_are_the_engines(tab, detail):
    bounds = tab.model.bounds
    cursor = (bounds["from_ts"] + bounds["to_ts"]) // 2
    settings = ViewSettings(window_ms=300_000, bucket_ms=1_000, price_bin=1.0, depth_levels=30)
    header, arrays = frames.read_frame(tab.frame(tab.read(detail_request(cursor, 5, detail, window_ms=300_000,
                                                                         bucket_ms=1_000, price_bin=1.0,
                                                                         depth_levels=30))))
    assert header["type"] == "frame" and header["id"] == 5 and header["cursor"] == cursor
    assert header["start"] == cursor - 300_000 and header["heatmap"]["detail"] is detail
    # An independent session computes the same frame.
    session = sample_session()
    session.set_spec(settings.spec("DEMOUSDT", cursor))
    heatmap = next(p for p in session.frame_arrays(cursor, detail=True)["panels"] if p["kind"] == "book_heatmap")
    bids, asks = heatmap["bid_intensity"], heatmap["ask_intensity"]
    rows, cols = bids.shape
    assert (header["heatmap"]["rows"], header["heatmap"]["columns"]) == (rows, cols)
    cells = np.flatnonzero((bids.ravel() > 0) | (asks.ravel() > 0))
    assert np.array_equal(arrays["hm_cells"], cells)
    # The last traded price of each row is the engine's (taken from the trades without the detail).
    assert np.allclose(arrays["hm_last"], heatmap["last_price"], rtol=1e-7, equal_nan=True)
    if detail:
        assert np.allclose(arrays["hm_bid"], np.where(bids.ravel()[cells] > 0, bids.ravel()[cells], 0), rtol=1e-6)
        assert np.allclose(arrays["hm_ask"], np.where(asks.ravel()[cells] > 0, asks.ravel()[cells], 0), rtol=1e-6)
        bid_cells = (bids > 0) & ~(asks > bids)
        ask_cells = asks > np.where(bids > 0, bids, 0)
        assert np.allclose(arrays["hm_mid"], heatmap["mid"], rtol=1e-7, equal_nan=True)
    else:
        # Without the detail: a cell's whole size, an ask at or above its row's last price.
        total = np.nan_to_num(heatmap["intensity"]).ravel()[cells]
        at_or_above = (heatmap["price"][None, :] >= heatmap["last_price"][:, None]).ravel()[cells]
        assert "hm_bid" not in arrays and np.allclose(arrays["hm_size"], total, rtol=1e-6)
        assert np.array_equal(arrays["hm_codes"][cells] > 128, at_or_above)
        assert np.all(np.isnan(arrays["hm_mid"]))
        nonempty = (np.nan_to_num(heatmap["intensity"]) > 0)
        above = heatmap["price"][None, :] >= heatmap["last_price"][:, None]
        bid_cells, ask_cells = nonempty & ~above, nonempty & above
        bids = np.nan_to_num(heatmap["intensity"])
    codes = arrays["hm_codes"].reshape(rows, cols)
    assert np.all(codes[(np.nan_to_num(heatmap["intensity"]) <= 0)] == 0)
    assert bid_cells.any() and ask_cells.any()
    assert np.all((codes[bid_cells] >= 1) & (codes[bid_cells] <= 127))
    assert np.all(codes[ask_cells] >= 129)
    scale = HeatmapScale(header["heatmap"]["transform"], header["heatmap"]["vmin"], header["heatmap"]["vmax"])
    expected = 1 + np.rint(np.clip(bids[bid_cells] / scale.vmax, 0, 1) * 126) if scale.transform == "linear" else None
    if expected is not None:
        assert np.array_equal(codes[bid_cells], expected)
    assert np.array_equal(arrays["hm_times"], heatmap["time"])
    clusters = session.clusters(cursor, price_bin=1.0, bucket_ms=settings.footprint_bucket_ms)
    buy, sell = clusters["buy_vol"], clusters["sell_vol"]
    r, c = np.nonzero(buy + sell > 0)
    assert np.array_equal(arrays["fp_rows"], r) and np.array_equal(arrays["fp_cols"], c)
    assert np.allclose(arrays["fp_buy"], buy[r, c], rtol=1e-6) and np.allclose(arrays["fp_sell"], sell[r, c], rtol=1e-6)
    assert np.array_equal(arrays["fp_times"], clusters["time"])
    assert header["footprint"]["delta_limit"] > 0


@pytest.mark.parametrize(("message", "error"), [
    ({"price_bin": 0}, "price bin must be a positive number"),
    ({"price_bin": "x"}, "price bin must be a positive number"),
    ({"depth_levels": 0}, "depth levels must be a whole number from 1"),
    ({"depth_levels": 2.5}, "depth levels must be a whole number"),
    ({"window_ms": -1}, "the window must lie in"),
    ({"bucket_ms": 1.5}, "the heatmap bucket must be a whole number"),
    ({"scale": "cubic"}, "colour scale must be one of"),
    ({"white_point": "p50"}, "white point must be one of"),
])
def test_bad_settings_are_answered_with_their_request_id(tab, message, error):
    with pytest.raises(BadMessage, match=error) as caught:
        tab.read(request(tab.model.bounds["from_ts"], 9, **message))
    assert caught.value.request_id == 9
    header, _ = frames.read_frame(tab.error_frame(caught.value.request_id, caught.value))
    assert header == {"type": "error", "id": 9, "error": str(caught.value)}


@pytest.mark.parametrize("detail", ["yes", 1, None])
def test_a_detail_that_is_not_a_boolean_is_refused(tab, detail):
    with pytest.raises(BadMessage, match="detail must be true or false") as caught:
        tab.read(detail_request(tab.model.bounds["from_ts"], 4, detail))
    assert caught.value.request_id == 4


def test_seeks_are_clamped_and_unknown_messages_ignored(tab, caplog):
    bounds = tab.model.bounds
    assert tab.read(request(bounds["from_ts"] - 10**9)).cursor == bounds["from_ts"]
    assert tab.read(request(bounds["to_ts"] + 10**9)).cursor == bounds["to_ts"]
    with pytest.raises(BadMessage, match="cursor must be a time"):
        tab.read(json.dumps({"type": "frame", "id": 1, "cursor": "soon"}))
    with caplog.at_level(logging.WARNING, logger="korvel_vorn.viewer"):
        for message in ('{"type": "dance"}', "not json", "[1, 2]", b"\x00\x01"):
            assert tab.read(message) is None
    assert sum("ignored" in record.message for record in caplog.records) == 4


def test_an_engine_error_is_an_error_frame_and_the_tab_goes_on(tab):
    bounds = tab.model.bounds
    header, _ = frames.read_frame(tab.frame(tab.read(request(bounds["to_ts"], 11, depth_levels=5000, bucket_ms=1,
                                                              window_ms=86_400_000))))
    assert header["type"] == "error" and header["id"] == 11 and "data: book_heatmap grid too large" in header["error"]
    header, _ = frames.read_frame(tab.frame(tab.read(request(bounds["to_ts"], 12, depth_levels=40, bucket_ms=1_000,
                                                              window_ms=3_600_000))))
    assert header["type"] == "frame"


def test_the_window_is_fitted_to_a_shorter_recording(tab):
    bounds = tab.model.bounds
    span = bounds["to_ts"] - bounds["from_ts"]
    assert span < 3_600_000
    header, _ = frames.read_frame(tab.frame(tab.read(request(bounds["to_ts"], 1, window_ms=3_600_000, bucket_ms=1_000))))
    assert header["window_ms"] == -(-span // 1_000) * 1_000
    assert header["start"] <= bounds["from_ts"] < header["start"] + 1_000


def test_server_serves_the_page_and_its_socket():
    websockets_client = pytest.importorskip("websockets.sync.client")
    viewer = kv.view(sample_session(), spec=sample_spec(), block=False)
    try:
        assert viewer.url.startswith("http://127.0.0.1:")
        with urllib.request.urlopen(viewer.url, timeout=30) as page:
            assert page.status == 200 and b'import { mount, socketTransport } from "./viewer.js"' in page.read()
        with urllib.request.urlopen(viewer.url + "viewer.js", timeout=30) as script:
            assert script.headers["Content-Type"].startswith("text/javascript")
        for path in ("nothing.js", "..%2F..%2Fserver.py", "../__init__.py"):
            with pytest.raises(urllib.error.HTTPError) as missing:
                urllib.request.urlopen(viewer.url + path, timeout=30)
            assert missing.value.code == 404
        socket_url = viewer.url.replace("http", "ws") + "ws"
        with websockets_client.connect(socket_url) as first, websockets_client.connect(socket_url) as second:
            hello = json.loads(first.recv(timeout=30))
            json.loads(second.recv(timeout=30))
            assert hello["symbol"] == "DEMOUSDT" and hello["error"] is None
            first.send(json.dumps({"type": "frame", "id": 1, "cursor": hello["bounds"]["to_ts"],
                                   "settings": {"price_bin": -1}}))
            header, _ = frames.read_frame(first.recv(timeout=30))
            assert header["type"] == "error" and header["id"] == 1
            first.send("garbage")
            first.close()  # a tab that goes away leaves the other served
            second.send(json.dumps({"type": "frame", "id": 1, "cursor": hello["bounds"]["to_ts"]}))
            header, arrays = frames.read_frame(second.recv(timeout=60))
            assert header["type"] == "frame" and arrays["hm_codes"].size > 0
    finally:
        viewer.stop()


def test_a_failed_load_is_told_to_every_page_and_serving_goes_on(capsys):
    websockets_client = pytest.importorskip("websockets.sync.client")
    from korvel_vorn.viewer import serve

    def load():
        raise kv.VornParseError("parse: bad dataset at byte 3")

    viewer = serve(loader=load, host="127.0.0.2", block=False)
    try:
        assert "anyone who can reach port" in capsys.readouterr().err
        with websockets_client.connect(viewer.url.replace("http", "ws") + "ws") as page:
            hello = json.loads(page.recv(timeout=30))
            assert "bad dataset at byte 3" in hello["error"]
            page.send(json.dumps({"type": "frame", "id": 4, "cursor": 0}))
            header, _ = frames.read_frame(page.recv(timeout=30))
            assert header["type"] == "error" and "no market to show" in header["error"]
    finally:
        viewer.stop()


def test_the_widget_answers_its_page_without_a_server():
    from korvel_vorn.viewer.widget import CLIENT_MODULES, WidgetPage, widget_module

    page = WidgetPage(sample_session(), spec=sample_spec())
    [(hello, buffers)] = page.receive({"type": "hello"})
    assert hello["type"] == "hello" and buffers == []
    [(_reply, [message])] = page.receive({"type": "frame", "id": 2, "cursor": hello["bounds"]["to_ts"]})
    assert frames.read_frame(message)[0]["id"] == 2
    assert page.receive({"type": "what"}) == []
    module = widget_module()
    assert "export default" in module and "function mount(" in module
    assert "\nimport " not in module and "\nexport function" not in module
    assert all(f"// --- {name}" in module for name in CLIENT_MODULES)


def run_view(*args, lines=1):
    """`python -m korvel_vorn view ...` until it has printed `lines` lines (or ended): its exit
    status (None while it serves), standard output and error."""
    import subprocess
    import sys
    import threading

    from conftest import child_env

    child = subprocess.Popen([sys.executable, "-m", "korvel_vorn", "view", *map(str, args)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=child_env())
    out = []
    reader = threading.Thread(target=lambda: out.extend(child.stdout.readline() for _ in range(lines)), daemon=True)
    reader.start()
    reader.join(60)
    try:  # an output that ended means the command has ended or is about to
        status = child.wait(timeout=30) if out and out[-1] == "" else child.poll()
    except subprocess.TimeoutExpired:
        status = None
    child.terminate()
    try:
        _, err = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        _, err = child.communicate()
    return status, "".join(out), err


def test_view_cli_serves_warns_beyond_loopback_and_reports_usage_errors(tmp_path):
    pytest.importorskip("websockets")
    path = tmp_path / "m.dataset.json"
    path.write_text(sample_dataset_json(3))
    status, out, err = run_view(path, "--host", "127.0.0.3")
    assert status is None and "serving the replay of" in out and "http://127.0.0.3:" in out
    assert "anyone who can reach port" in err and "has no login" in err
    status, out, err = run_view(path, "--port", "70000")
    assert status == 2 and "bad port 70000" in err and "Traceback" not in err
    # A dataset that cannot be read: one line, before anything is served.
    status, out, err = run_view(tmp_path / "missing.json")
    assert status == 1 and out == "" and err.startswith("korvel_vorn view: error: ") and "missing.json" in err
    assert err.count("\n") == 1


def test_the_notebook_client_joins_every_module_the_page_loads():
    """The widget's client is the page's modules joined: a module left out breaks it at run time."""
    from korvel_vorn.viewer import widget
    from korvel_vorn.viewer.shared import STATIC

    assert sorted(widget.CLIENT_MODULES) == sorted(p.name for p in STATIC.glob("*.js"))
    assert widget.CLIENT_MODULES[-1] == "viewer.js"  # the entry module last, after what it imports
