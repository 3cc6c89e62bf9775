"""The interactive viewer in a real browser: headless Chromium driven by Selenium.

Skipped where Chromium, its driver, Selenium or Bokeh are absent; `.ci/run` installs them.
"""

import json
import shutil
import time

import pytest

pytest.importorskip("bokeh")
webdriver = pytest.importorskip("selenium.webdriver")
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if CHROMIUM is None or DRIVER is None:
    pytest.skip("Chromium and chromedriver are not installed", allow_module_level=True)

import numpy as np  # noqa: E402

from korvel_vorn import Session  # noqa: E402
from korvel_vorn.commands import book_heatmap, footprint, spec_value  # noqa: E402
from korvel_vorn.sample import sample_dataset_json, sample_spec  # noqa: E402
from korvel_vorn.viewer import serve  # noqa: E402
from korvel_vorn.viewer.page import clock_text  # noqa: E402

# Coloured pixels of each figure's canvas: what the page really drew, not only its elements.
CANVAS_PIXELS_JS = """
const seen = [];
function walk(v) { seen.push(v); if (v.child_views) for (const c of v.child_views) walk(c); }
for (const v of Bokeh.index) walk(v);
const out = {};
for (const v of seen) {
  if (!v.canvas_view || !v.model.name) continue;
  const canvas = v.export("png").canvas;
  const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
  let coloured = 0;
  for (let i = 0; i < data.length; i += 4) {
    if (Math.max(data[i], data[i + 1], data[i + 2]) - Math.min(data[i], data[i + 1], data[i + 2]) > 60) coloured++;
  }
  out[v.model.name] = coloured;
}
return out;
"""
MODEL_JS = "return Bokeh.documents[0].get_model_by_name(arguments[0])"


def browser():
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1200",
                     "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.binary_location = CHROMIUM
    return webdriver.Chrome(service=webdriver.ChromeService(DRIVER), options=options)


def wait_for(driver, script, predicate, timeout=20.0, *args):
    deadline = time.monotonic() + timeout
    value = None
    while time.monotonic() < deadline:
        value = driver.execute_script(script, *args)
        if predicate(value):
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out; last value {value!r}")


def market():
    """A recorded market when one is at hand (the one with the most liquidations), else the sample:
    a function that loads it into a new session, and the viewer's spec."""
    from conftest import REAL_DATA

    paths = sorted(REAL_DATA.glob("*.dataset.json")) if REAL_DATA.is_dir() else []

    def loaded():
        session = Session()
        if paths:
            session.load_file(max(paths, key=lambda p: len(json.loads(p.read_text()).get("liquidations", []))))
        else:
            session.load(sample_dataset_json(7))
        return session

    spec = spec_value(symbol="BTCUSDT", panels=[footprint(price_bin=5.0, bucket_ms=60_000),
                                                  book_heatmap(price_bin=1.0, bucket_ms=1_000, depth_levels=40)])
    return loaded, spec


@pytest.fixture(scope="module")
def page():
    loaded, spec = market()
    session = loaded()
    viewer = serve(session, spec=spec, block=False)
    driver = browser()
    driver.get(viewer.url)
    wait_for(driver, "return window.Bokeh && Bokeh.documents.length", bool)
    # The first frame is drawn once the page holds heatmap cells.
    wait_for(driver, "return Bokeh.documents[0].get_model_by_name('heatmap_cells').data.bid.length", bool)
    yield driver, viewer, loaded(), spec
    driver.quit()
    viewer.stop()


def js_model_value(driver, name, attribute):
    return driver.execute_script(f"return Bokeh.documents[0].get_model_by_name(arguments[0]).{attribute}", name)


def test_every_panel_draws_on_its_canvas(page):
    driver, _, _session, _ = page
    pixels = driver.execute_script(CANVAS_PIXELS_JS)
    status = js_model_value(driver, "status", "text")
    assert pixels["heatmap"] > 1000, pixels
    assert pixels["footprint"] > 500, pixels
    assert pixels["divergence"] > 300, pixels
    assert status == "" or "no liquidations" in status or "no candles" in status, status


def test_seek_by_the_slider_redraws_at_the_new_moment(page):
    driver, _viewer, session, _spec = page
    bounds = session.bounds()
    target = bounds["from_ts"] + (bounds["to_ts"] - bounds["from_ts"]) // 2
    started = driver.execute_script("""
        const t0 = performance.now();
        window.vornSeekFrom = (window.vornFrameTimes || []).length;
        Bokeh.documents[0].get_model_by_name('cursor').value = arguments[0];
        return t0;""", target)
    wait_for(driver, "return window.vornClock", lambda c: c == clock_text(target))
    # The cells the hover reads are the expected frame's.
    settings_spec = spec_value(symbol="S", from_ts=target - 3_600_000, panels=[
        book_heatmap(price_bin=1.0, bucket_ms=1_000, depth_levels=40)])
    session.set_spec(settings_spec)  # the test's own session, loaded with the same market
    heatmap = session.frame_arrays(target, detail=True)["panels"][0]
    bids = np.ascontiguousarray(heatmap["bid_intensity"].T, dtype=np.float32)
    rows, cols = bids.shape
    got = driver.execute_script("""
        const source = Bokeh.documents[0].get_model_by_name('heatmap_cells');
        const image = source.data.bid[0];
        return {shape: image.shape, values: Array.from(image.slice ? image : image.array)};""")
    assert got["shape"] == [rows, cols]
    values = np.array([np.nan if v is None else v for v in got["values"]], dtype=np.float32).reshape(rows, cols)
    expected = np.where(bids > 0, bids, np.nan)
    assert np.array_equal(np.isnan(values), np.isnan(expected))
    assert np.array_equal(values[~np.isnan(values)], expected[~np.isnan(expected)])
    seek_ms = driver.execute_script("return window.vornFrameTimes[window.vornFrameTimes.length - 1]") - started
    assert seek_ms > 0


def test_playback_draws_frames(page):
    driver, *_ = page
    before = driver.execute_script("return window.vornFrames || 0")
    driver.execute_script("Bokeh.documents[0].get_model_by_name('speed').value = '10';"
                          "Bokeh.documents[0].get_model_by_name('play').active = true;")
    time.sleep(2.0)
    driver.execute_script("Bokeh.documents[0].get_model_by_name('play').active = false;")
    frames = driver.execute_script("return window.vornFrames || 0") - before
    assert frames >= 2, frames
    wait_for(driver, "return Bokeh.documents[0].get_model_by_name('play').label", lambda label: label == "▶ play")


def test_frame_errors_are_shown_on_the_page(page):
    driver, *_ = page
    status = "return Bokeh.documents[0].get_model_by_name('status').text"
    # More heatmap cells than a frame may hold: the engine's error, on the page.
    driver.execute_script("Bokeh.documents[0].get_model_by_name('depth').value = 100000000;")
    text = wait_for(driver, status, lambda t: "error" in t)
    assert "data: book_heatmap grid too large" in text
    driver.execute_script("Bokeh.documents[0].get_model_by_name('price_bin').value = 0;")
    wait_for(driver, status, lambda t: "price bin must be a positive number" in t)
    driver.execute_script("Bokeh.documents[0].get_model_by_name('price_bin').value = 1.0;"
                          "Bokeh.documents[0].get_model_by_name('depth').value = 40;")
    wait_for(driver, status, lambda t: "error" not in t)
    assert driver.execute_script(CANVAS_PIXELS_JS)["heatmap"] > 1000  # the page lives on


def test_a_dataset_without_a_book_is_reported_on_the_page():
    session = Session()
    session.load({"trades": [(1_000 * k, 100.0 + k % 7, 1.0, "buy" if k % 3 else "sell") for k in range(600)]})
    viewer = serve(session, spec=sample_spec(), block=False)
    driver = browser()
    try:
        driver.get(viewer.url)
        text = wait_for(driver, "return window.Bokeh && Bokeh.documents.length && "
                        "Bokeh.documents[0].get_model_by_name('status').text", bool)
        assert "book heatmap: no two-sided book in the window" in text
        pixels = driver.execute_script(CANVAS_PIXELS_JS)
        assert pixels["footprint"] > 200
    finally:
        driver.quit()
        viewer.stop()
