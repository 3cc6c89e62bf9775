"""The viewer in a real browser: headless Chromium driven by Selenium, on the sample market.

What the page drew is read back from its canvases and compared with frames computed here by a
session of its own. Skipped where Chromium, its driver, Selenium or websockets are absent;
`.ci/run` installs them.
"""

import base64
import datetime as dt
import json
import shutil
import time
from collections import Counter

import pytest

pytest.importorskip("websockets")
webdriver = pytest.importorskip("selenium.webdriver")
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if CHROMIUM is None or DRIVER is None:
    pytest.skip("Chromium and chromedriver are not installed", allow_module_level=True)

import numpy as np  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

from korvel_vorn import Session  # noqa: E402
from korvel_vorn.sample import sample_dataset_json, sample_spec  # noqa: E402
from korvel_vorn.viewer import frames, serve  # noqa: E402
from korvel_vorn.viewer.replay_model import ReplayModel, initial_settings  # noqa: E402
from korvel_vorn.viewer.tab import Tab  # noqa: E402

# The colours of a panel's canvas around a point (CSS pixels), as "#rrggbb".
COLOURS_NEAR_JS = """
const [name, x, y, radius] = arguments;
const panel = vorn.panels[name], ratio = window.devicePixelRatio || 1;
const size = 2 * radius + 1;
const data = panel.ctx.getImageData(Math.round((x - radius) * ratio), Math.round((y - radius) * ratio), size, size).data;
const out = [];
for (let i = 0; i < data.length; i += 4) out.push('#' + [data[i], data[i + 1], data[i + 2]].map(v => v.toString(16).padStart(2, '0')).join(''));
return out;
"""
# Where the page puts a time and a price on a panel.
POSITION_JS = """
const [name, t, price] = arguments;
const panel = vorn.panels[name], view = vorn.state.view;
return [panel.xOf(t, view), panel.yOf(price, view.p0, view.p1)];
"""
SECOND = 1_000


def browser(width=1280, height=720):
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", f"--window-size={width},{height}", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.binary_location = CHROMIUM
    return webdriver.Chrome(service=webdriver.ChromeService(DRIVER), options=options)


def wait_for(driver, script, predicate, *args, timeout=20.0):
    deadline = time.monotonic() + timeout
    value = None
    while time.monotonic() < deadline:
        value = driver.execute_script(script, *args)
        if predicate(value):
            return value
        time.sleep(0.03)
    raise AssertionError(f"timed out; last value {value!r}")


def sample_session():
    session = Session()
    session.load(sample_dataset_json(7))
    return session


def clock_text(ms):
    return dt.datetime.fromtimestamp(ms / 1000, tz=dt.UTC).strftime("%Y-%m-%d %H:%M:%S.") + f"{ms % 1000:03d} UTC"


def expected_frame(cursor, shown, detail=False):
    """The frame the page should show, from a session and tab of the test's own, with the settings
    (the depth follows the market) and colour scale of the frame the page shows (`shown`, its header)."""
    tab = Tab(ReplayModel(sample_session(), "DEMOUSDT", initial_settings(sample_spec())))
    settings = shown["settings"]
    message = json.dumps({"type": "frame", "id": 1, "cursor": cursor, "settings": settings, "detail": detail})
    request = tab.read(message)
    scale = tab.model.running_scale(request.settings, shown["window_ms"])
    scale.vmax, scale.vmin = shown["heatmap"]["vmax"], shown["heatmap"]["vmin"]
    return frames.read_frame(tab.frame(request))


def page_frame(driver):
    return driver.execute_script("const f = vorn.frame; return {header: f.header, "
                                 "arrays: Object.fromEntries(Object.entries(f.arrays).map(([k, v]) => [k, Array.from(v)]))}")


def hex_colour(word):
    """An ImageData word of the page's lookup tables as "#rrggbb"."""
    return "#%02x%02x%02x" % (word & 255, (word >> 8) & 255, (word >> 16) & 255)


@pytest.fixture(scope="module")
def served():
    viewer = serve(sample_session(), spec=sample_spec(), block=False)
    driver = browser()
    yield driver, viewer
    driver.quit()
    viewer.stop()


def open_page(driver, url, frames_at_least=1):
    driver.get(url)
    wait_for(driver, "return window.vorn && vorn.frames >= arguments[0] && vorn.clock", bool, frames_at_least)
    return driver.execute_script("return vorn.frame.header")


def test_heatmap_cells_and_price_line_are_drawn_where_and_how_the_frame_says(served):
    driver, viewer = served
    header = open_page(driver, viewer.url)
    bounds = header["bounds"]
    assert header["cursor"] == bounds["to_ts"]  # the window fitted to the 10-minute market, ending at its end
    assert header["window_ms"] == 600_000 and header["start"] == bounds["to_ts"] - 600_000
    _, arrays = expected_frame(header["cursor"], header)
    table = driver.execute_script("return Array.from(vorn.tables.heatmap)")
    rows, cols = header["heatmap"]["rows"], header["heatmap"]["columns"]
    codes = arrays["hm_codes"].reshape(rows, cols)
    w, bucket = header["settings"]["price_bin"], header["settings"]["bucket_ms"]
    bid_cell = np.unravel_index(np.argmax(np.where(codes <= 127, codes, 0)), codes.shape)
    ask_cell = np.unravel_index(np.argmax(codes), codes.shape)
    assert codes[bid_cell] < 128 < codes[ask_cell]
    for row, col in (bid_cell, ask_cell):
        x, y = driver.execute_script(POSITION_JS, "heatmap", arrays["hm_times"][row] + bucket / 2,
                                     arrays["hm_prices"][col] + w / 2)
        colours = driver.execute_script(COLOURS_NEAR_JS, "heatmap", x, y, 0)
        assert colours == [hex_colour(table[codes[row, col]])], (row, col)
    blue, orange = (hex_colour(table[codes[cell]]) for cell in (bid_cell, ask_cell))
    assert int(blue[5:7], 16) > int(blue[1:3], 16) and int(orange[1:3], 16) > int(orange[5:7], 16)
    # The last traded price: a dark line at its height in the middle of a row.
    row = rows // 2
    last = float(arrays["hm_last"][row])
    x, y = driver.execute_script(POSITION_JS, "heatmap", arrays["hm_times"][row] + bucket / 2, last)
    near = driver.execute_script(COLOURS_NEAR_JS, "heatmap", x, y, 1)
    assert any(max(int(c[1:3], 16), int(c[3:5], 16), int(c[5:7], 16)) < 80 for c in near), near


def test_footprint_liquidation_and_divergence_pixels(served):
    driver, viewer = served
    header = open_page(driver, viewer.url)
    _, arrays = expected_frame(header["cursor"], header)
    fp = header["footprint"]
    # The cell with the largest |delta| is filled with the end colour of its side.
    delta = arrays["fp_buy"].astype(np.float64) - arrays["fp_sell"]
    k = int(np.argmax(np.abs(delta)))
    start, price = arrays["fp_times"][arrays["fp_rows"][k]], arrays["fp_prices"][arrays["fp_cols"][k]]
    x0, y1 = driver.execute_script(POSITION_JS, "footprint", start, price)
    x1, y0 = driver.execute_script(POSITION_JS, "footprint", start + fp["bucket_ms"], price + fp["price_bin"])
    radius = int(min(x1 - x0, y1 - y0) / 2) - 2
    assert radius >= 1
    colours = Counter(driver.execute_script(COLOURS_NEAR_JS, "footprint", (x0 + x1) / 2, (y0 + y1) / 2, radius))
    limit = header["footprint"]["delta_limit"]
    fraction = min(1.0, abs(delta[k]) / limit)
    end = (0xd7, 0x30, 0x27) if delta[k] < 0 else (0x1a, 0x98, 0x50)
    expected = [round(247 + (e - 247) * fraction) for e in end]
    common = colours.most_common(1)[0][0]
    assert all(abs(int(common[1 + 2 * i:3 + 2 * i], 16) - expected[i]) <= 1 for i in range(3)), (common, expected)
    # The liquidation map: the largest cell in its side's colour.
    lq = header["liquidations"]
    assert lq["events"] > 0
    table = driver.execute_script("return Array.from(vorn.tables.liquidations)")
    codes = arrays["lq_codes"].reshape(lq["rows"], lq["columns"])
    row, col = np.unravel_index(np.argmax(np.where(codes > 128, codes - 128, codes)), codes.shape)
    t = lq["start"] + (col + 0.5) * (lq["end"] - lq["start"]) / lq["columns"]
    x, y = driver.execute_script(POSITION_JS, "liquidations", t, lq["low"] + (row + 0.5) * lq["row_height"])
    assert hex_colour(table[codes[row, col]]) in driver.execute_script(COLOURS_NEAR_JS, "liquidations", x, y, 1)
    # The close price of the divergence panel: its line at the height of the last close.
    closes = arrays["dv_price"]
    k = int(np.flatnonzero(np.isfinite(closes))[-2])
    x, y = driver.execute_script("""
        const [k] = arguments, panel = vorn.panels.divergence, view = vorn.state.view, a = vorn.frame.arrays;
        const range = vorn.state.divRanges.dv_price;
        return [panel.xOf((a.dv_times[k] + a.dv_times[k + 1]) / 2, view), panel.yOf(a.dv_price[k], range[0], range[1])];""", k)
    assert "#2c7bb6" in driver.execute_script(COLOURS_NEAR_JS, "divergence", x, y, 1)


def test_hover_reads_the_cells_of_the_frame(served):
    driver, viewer = served
    header = open_page(driver, viewer.url)
    _, arrays = expected_frame(header["cursor"], header, detail=True)
    cols = header["heatmap"]["columns"]
    k = int(np.argmax(arrays["hm_ask"]))
    row, col = divmod(int(arrays["hm_cells"][k]), cols)
    w, bucket = header["settings"]["price_bin"], header["settings"]["bucket_ms"]
    x, y = driver.execute_script(POSITION_JS, "heatmap", arrays["hm_times"][row] + bucket / 2, arrays["hm_prices"][col] + w / 2)
    overlay = driver.find_element(By.CSS_SELECTOR, "#vorn-heatmap .vorn-overlay")
    origin = driver.execute_script("const r = arguments[0].getBoundingClientRect(); return [r.width, r.height]", overlay)
    ActionChains(driver).move_to_element_with_offset(overlay, int(x - origin[0] / 2), int(y - origin[1] / 2)).perform()
    # Hover on a still picture asks for the moment's bid/ask split: the exact sizes follow.
    hover = wait_for(driver, "return vorn.hover", lambda h: h and h["panel"] == "heatmap" and h.get("values") and h["detail"])
    assert hover["values"]["row"] == row and hover["values"]["col"] == col
    assert hover["values"]["ask"] == pytest.approx(float(arrays["hm_ask"][k]), rel=1e-6)
    assert any("ask size" in line for line in hover["lines"])
    # Footprint: a traded cell's buy and sell.
    fp = header["footprint"]
    k = int(np.argmax(arrays["fp_buy"] + arrays["fp_sell"]))
    start, price = arrays["fp_times"][arrays["fp_rows"][k]], arrays["fp_prices"][arrays["fp_cols"][k]]
    x, y = driver.execute_script(POSITION_JS, "footprint", start + fp["bucket_ms"] * 0.3, price + fp["price_bin"] / 2)
    overlay = driver.find_element(By.CSS_SELECTOR, "#vorn-footprint .vorn-overlay")
    origin = driver.execute_script("const r = arguments[0].getBoundingClientRect(); return [r.width, r.height]", overlay)
    ActionChains(driver).move_to_element_with_offset(overlay, int(x - origin[0] / 2), int(y - origin[1] / 2)).perform()
    hover = wait_for(driver, "return vorn.hover", lambda h: h and h["panel"] == "footprint" and h.get("values"))
    assert hover["values"]["buy"] == pytest.approx(float(arrays["fp_buy"][k]), rel=1e-6)
    assert hover["values"]["sell"] == pytest.approx(float(arrays["fp_sell"][k]), rel=1e-6)
    assert hover["values"]["price"] == price


def test_a_seek_shows_the_requested_moment(served):
    driver, viewer = served
    header = open_page(driver, viewer.url)
    bounds = header["bounds"]
    target = bounds["from_ts"] + (bounds["to_ts"] - bounds["from_ts"]) * 2 // 3 + 123
    driver.execute_script("const s = document.querySelector('input[name=cursor]'); s.value = arguments[0];"
                          "s.dispatchEvent(new Event('input'));", target)
    wait_for(driver, "return vorn.clock", lambda c: c == clock_text(target))
    shown = page_frame(driver)
    assert shown["header"]["cursor"] == target
    _, arrays = expected_frame(target, shown["header"])
    assert np.array_equal(np.array(shown["arrays"]["hm_codes"], dtype=np.uint8), arrays["hm_codes"])
    assert driver.find_element(By.ID, "vorn-clock").tag_name == "canvas"
    assert f"t={dt.datetime.fromtimestamp(target / 1000, tz=dt.UTC).isoformat(timespec='milliseconds')[:-6]}Z" in driver.current_url


def test_keys_play_step_and_change_speed(served):
    driver, viewer = served
    header = open_page(driver, viewer.url)
    start = header["bounds"]["from_ts"] + 60 * SECOND
    driver.execute_script("vorn.state.playing = false; document.querySelector('input[name=cursor]').value = arguments[0];"
                          "document.querySelector('input[name=cursor]').dispatchEvent(new Event('input'));", start)
    wait_for(driver, "return vorn.frame.header.cursor", lambda c: c == start)
    app = driver.find_element(By.CSS_SELECTOR, ".vorn")
    app.send_keys(Keys.ARROW_RIGHT)
    wait_for(driver, "return vorn.frame.header.cursor", lambda c: c == start + 10 * SECOND)
    app.send_keys(Keys.ARROW_LEFT, Keys.ARROW_LEFT)
    wait_for(driver, "return vorn.frame.header.cursor", lambda c: c == start - 10 * SECOND)
    speed = driver.find_element(By.NAME, "speed")
    app.send_keys("+")
    assert speed.get_attribute("value") == "30"
    app.send_keys("-", "-")
    assert speed.get_attribute("value") == "5"
    before = driver.execute_script("return vorn.frames")
    app.send_keys(Keys.SPACE)
    wait_for(driver, "return vorn.frames", lambda n: n >= before + 5)
    app.send_keys(Keys.SPACE)
    assert wait_for(driver, "return vorn.state.playing", lambda p: p is False) is False
    assert driver.execute_script("return vorn.frame.header.cursor") > start - 10 * SECOND


def test_the_layout_fits_and_follows_the_window(served):
    driver, viewer = served
    open_page(driver, viewer.url)
    sizes = []
    for width, height in ((1500, 900), (1280, 720), (1024, 700)):
        driver.set_window_size(width, height)
        inner = driver.execute_script("return window.innerWidth")
        # Every canvas follows its box; nothing is wider than the window.
        got = wait_for(driver, """
            const c = vorn.panels.heatmap.canvas;
            return [document.documentElement.scrollWidth, document.documentElement.scrollHeight, window.innerHeight,
                    c.width, Math.floor(c.parentElement.clientWidth)];""", lambda v: v[3] == v[4])
        assert got[0] <= inner and got[1] <= got[2], got
        sizes.append(got[3])
    assert sizes[0] > sizes[1] > sizes[2]
    driver.set_window_size(1280, 720)


def test_the_address_restores_a_moment_and_settings(served):
    driver, viewer = served
    header = open_page(driver, viewer.url)
    target = header["bounds"]["from_ts"] + 300 * SECOND + 250
    moment = dt.datetime.fromtimestamp(target / 1000, tz=dt.UTC).isoformat(timespec="milliseconds")[:-6] + "Z"
    driver.get("about:blank")
    shown = open_page(driver, viewer.url + f"#t={moment}&bucket_ms=5000&price_bin=0.5")
    assert shown["cursor"] == target
    assert shown["settings"]["bucket_ms"] == 5000 and shown["settings"]["price_bin"] == 0.5
    assert driver.find_element(By.NAME, "bucket").get_attribute("value") == "5000"
    assert wait_for(driver, "return vorn.clock", bool) == clock_text(target)
    driver.get(viewer.url + "#")


def test_errors_are_shown_in_one_line_and_the_page_goes_on(served):
    driver, viewer = served
    open_page(driver, viewer.url)
    set_value = "const e = document.querySelector(arguments[0]); e.value = arguments[1]; e.dispatchEvent(new Event('change'));"
    driver.execute_script(set_value, "input[name=price_bin]", "0")
    text = wait_for(driver, "return document.getElementById('vorn-status').textContent", lambda t: "error" in t)
    assert "the price bin must be a positive number" in text
    driver.execute_script(set_value, "input[name=price_bin]", "0.25")
    driver.execute_script(set_value, "input[name=depth]", "5000")
    driver.execute_script("document.querySelector('select[name=bucket]').add(new Option('1ms', '1'))")
    driver.execute_script(set_value, "select[name=bucket]", "1")
    text = wait_for(driver, "return document.getElementById('vorn-status').textContent", lambda t: "too large" in t)
    assert "data: book_heatmap grid too large" in text
    assert driver.execute_script("const s = document.getElementById('vorn-status'); "
                                 "return s.scrollHeight <= s.clientHeight + 1")  # one line
    frames_before = driver.execute_script("return vorn.frames")
    driver.execute_script(set_value, "select[name=bucket]", "15000")
    driver.execute_script(set_value, "input[name=depth]", "40")
    wait_for(driver, "return vorn.frames", lambda n: n > frames_before)
    wait_for(driver, "return document.getElementById('vorn-status').textContent", lambda t: "error" not in t)


def test_a_market_without_a_book_says_so_on_the_page():
    session = Session()
    session.load({"trades": [(1_000 * k, 100.0 + k % 7, 1.0, "buy" if k % 3 else "sell") for k in range(600)]})
    viewer = serve(session, spec=sample_spec(), block=False)
    driver = browser()
    try:
        open_page(driver, viewer.url)
        text = wait_for(driver, "return document.getElementById('vorn-status').textContent", bool)
        assert "book heatmap: no two-sided book in the window" in text
        # The footprint is drawn anyway: coloured cells on its canvas.
        colours = Counter(driver.execute_script(COLOURS_NEAR_JS, "footprint", 240, 250, 100))
        assert sum(n for c, n in colours.items() if abs(int(c[1:3], 16) - int(c[5:7], 16)) > 40) > 100
    finally:
        driver.quit()
        viewer.stop()


def test_the_notebook_widget_renders_its_module_against_the_kernel_side():
    from korvel_vorn.viewer.widget import WidgetPage, widget_module

    page = WidgetPage(sample_session(), spec=sample_spec())
    driver = browser()
    try:
        driver.get("data:text/html,<html><body><div id='cell' style='width:1200px'></div></body></html>")
        # A notebook's widget model: what the module sends is queued, replies are handed to its listener.
        driver.execute_script("""
            window.sent = []; window.listeners = [];
            window.model = { on(name, fn) { if (name === 'msg:custom') listeners.push(fn); }, send(m) { sent.push(m); } };
            const url = URL.createObjectURL(new Blob([arguments[0]], { type: 'text/javascript' }));
            import(url).then((m) => { m.default.render({ model, el: document.getElementById('cell') }); window.rendered = true; });
            """, widget_module())
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not driver.execute_script("return window.vorn && vorn.frames > 0"):
            for message in driver.execute_script("return sent.splice(0)"):
                for reply, buffers in page.receive(message):
                    driver.execute_script("""
                        const [reply, encoded] = arguments;
                        const buffers = encoded.map((b) => { const s = atob(b), u = new Uint8Array(s.length);
                          for (let i = 0; i < s.length; i++) u[i] = s.charCodeAt(i); return new DataView(u.buffer); });
                        for (const fn of listeners) fn(reply, buffers);""", reply, [base64.b64encode(b).decode() for b in buffers])
            time.sleep(0.05)
        assert driver.execute_script("return vorn.frames") >= 1
        # Four charts with their overlays, and the clock.
        assert driver.execute_script("return document.querySelectorAll('#cell canvas').length") == 9
        colours = Counter(driver.execute_script(COLOURS_NEAR_JS, "heatmap", 300, 200, 60))
        assert len(colours) > 5  # cells in several colours, not an empty canvas
    finally:
        driver.quit()


def test_a_dropped_connection_is_shown_and_the_page_stays():
    viewer = serve(sample_session(), spec=sample_spec(), block=False)
    driver = browser()
    try:
        open_page(driver, viewer.url)
        viewer.stop()
        text = wait_for(driver, "return document.getElementById('vorn-status').textContent", lambda t: "lost" in t)
        assert text == "connection to the viewer lost; reconnecting…"
        # The last picture stays, and the controls still answer.
        assert driver.execute_script("return vorn.frames") >= 1
        driver.find_element(By.NAME, "step_forward").click()
        assert driver.execute_script("return vorn.state.dirty") is True  # asked again once reconnected
    finally:
        driver.quit()


def test_the_heatmap_band_follows_the_traded_prices(served):
    driver, viewer = served
    driver.get("about:blank")
    open_page(driver, viewer.url)
    # The page asks for the depth the server found until the frame shown has it.
    header = wait_for(driver, "const h = vorn.frame.header; return h.settings.depth_levels === h.heatmap.depth_wanted && h",
                      bool, timeout=30)
    shown = page_frame(driver)["arrays"]
    w = header["settings"]["price_bin"]
    assert header["heatmap"]["columns"] == header["settings"]["depth_levels"]
    assert header["heatmap"]["rows"] * header["heatmap"]["columns"] <= header["heatmap"]["cell_budget"]
    assert shown["hm_prices"][0] <= shown["fp_prices"][0] and shown["fp_prices"][-1] + w <= shown["hm_prices"][-1] + w
    assert driver.find_element(By.NAME, "depth_auto").is_selected()
