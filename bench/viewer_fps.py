#!/usr/bin/env python3
"""The viewer measured in Debian's Chromium (headless, default flags, 1280 x 720).

Usage: viewer_fps.py [DATASET] [--seconds 10] [--speed 10] [--seeks 20] [--depth 400] [--price-bin 0.5]
                     [--bucket-ms 1000] [--candle-ms 15000] [--window-ms 3600000] [--module-dir DIR]

DATASET defaults to the recorded BTCUSDT market of ../shared/data/real with the most book records.
Prints one JSON object:
- "presented_fps": frames the compositor presented per second while playing (DrawFrame events of
  the DevTools trace between two page marks), "data_fps": distinct data frames the page drew per
  second in the same interval; "hover_zoom": the same while the mouse moves over the heatmap 60
  times a second and the wheel zooms every 250 ms (with "hovers_with_values": how often the tooltip showed a cell's values);
- "layouts_per_s", "style_recalcs_per_s": growth of LayoutCount and RecalcStyleCount per second
  during playback (Performance.getMetrics);
- "seek_ms": from setting the slider to the first animation frame after the page drew the new
  moment (median, p95, max over random seeks);
- "renderer": SystemInfo's GPU renderer string (a software rasteriser where there is no GPU);
- "frame": the heatmap's rows x columns, footprint candles x bins, liquidation events, divergence
  rows, and the bytes of a frame.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import pathlib
import statistics
import sys
import time
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[1]
REAL = ROOT.parent / "shared" / "data" / "real"
TRACE_CATEGORIES = "devtools.timeline,disabled-by-default-devtools.timeline.frame,blink.user_timing"

# Mouse moves over the heatmap 60 times a second, a wheel zoom every 250 ms (in and out in turn).
INPUT_JS = """
const target = vorn.panels.heatmap.overlay, r = target.getBoundingClientRect();
let k = 0;
window.benchInput = [setInterval(() => {
  k += 1;
  const x = r.left + r.width * (0.6 + 0.35 * Math.abs(Math.sin(k / 30)));
  const y = r.top + r.height * (0.3 + 0.4 * Math.abs(Math.cos(k / 23)));
  target.dispatchEvent(new MouseEvent('mousemove', { clientX: x, clientY: y, bubbles: true }));
}, 1000 / 60), setInterval(() => {
  const x = r.left + r.width / 2, y = r.top + r.height / 2;
  const deltaY = (k & 1) ? 100 : -100;
  target.dispatchEvent(new WheelEvent('wheel', { clientX: x, clientY: y, deltaY, bubbles: true, cancelable: true }));
}, 250)];
"""
SEEK_JS = """
const [target, done] = arguments;
const started = performance.now();
const slider = document.querySelector('input[name=cursor]');
slider.value = target; slider.dispatchEvent(new Event('input'));
const check = () => {
  if (vorn.frame && vorn.frame.header.cursor === target) requestAnimationFrame(() => done(performance.now() - started));
  else setTimeout(check, 1);
};
check();
"""


def default_dataset() -> pathlib.Path:
    paths = sorted(REAL.glob("binance-usdm-btcusdt-*.dataset.json"))
    if not paths:
        raise SystemExit(f"no recorded BTCUSDT market in {REAL}; pass a DATASET")
    return max(paths, key=lambda p: len(json.loads(p.read_text()).get("book", [])))


def system_info(driver: Any) -> dict[str, Any]:
    """SystemInfo.getInfo, which only the browser's own DevTools target answers."""
    import urllib.request

    from websockets.sync.client import connect

    address = driver.capabilities["goog:chromeOptions"]["debuggerAddress"]
    with urllib.request.urlopen(f"http://{address}/json/version", timeout=10) as reply:
        url = json.loads(reply.read())["webSocketDebuggerUrl"]
    with connect(url, max_size=None) as browser:
        browser.send(json.dumps({"id": 1, "method": "SystemInfo.getInfo"}))
        while True:
            answer = json.loads(browser.recv(timeout=30))
            if answer.get("id") == 1:
                return dict(answer.get("result", {}))


def metrics(driver: Any) -> dict[str, float]:
    return {m["name"]: m["value"] for m in driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}


def trace_events(driver: Any) -> list[dict[str, Any]]:
    events = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message.get("method") == "Tracing.dataCollected":
            params = message["params"]
            events.extend(params.get("value", [params]))
    return events


def presented(events: list[dict[str, Any]], start: str, end: str) -> tuple[int, float]:
    """DrawFrame events between the page marks `start` and `end`, and the seconds between them."""
    marks = {e["name"]: e["ts"] for e in events if e.get("name") in (start, end)}
    if start not in marks or end not in marks:
        names = sorted({str(e.get("name")) for e in events})
        raise RuntimeError(f"the trace lacks the marks {start} and {end} ({len(events)} events: {names[:40]})")
    t0, t1 = marks[start], marks[end]
    count = sum(1 for e in events if e.get("name") == "DrawFrame" and t0 <= e["ts"] <= t1 and e.get("ph") in ("I", "i", "X", "b"))
    return count, (t1 - t0) / 1e6


def play(driver: Any, name: str, seconds: float, start_ms: int, speed: int, with_input: bool) -> dict[str, Any]:
    driver.execute_script("vorn.state.playing = false; const s = document.querySelector('input[name=cursor]');"
                          "s.value = arguments[0]; s.dispatchEvent(new Event('input'));"
                          "document.querySelector('select[name=speed]').value = String(arguments[1]);", start_ms, speed)
    time.sleep(1.0)
    if with_input:
        driver.execute_script(INPUT_JS)
    before = metrics(driver)
    driver.execute_script("performance.mark(arguments[0] + '-start'); window.benchFrom = vorn.frames;"
                          "document.querySelector('button[name=play]').click();", name)
    time.sleep(seconds)
    drawn = driver.execute_script("performance.mark(arguments[0] + '-end'); const n = vorn.frames - window.benchFrom;"
                                  "document.querySelector('button[name=play]').click(); return n;", name)
    after = metrics(driver)
    hover = None
    if with_input:
        hover = driver.execute_script("window.benchInput.forEach(clearInterval); return vorn.hoverValues || 0")
        driver.execute_script("vorn.state.zoom = null;")
    elapsed = after["Timestamp"] - before["Timestamp"]
    return {"data_frames": drawn, "layouts_per_s": (after["LayoutCount"] - before["LayoutCount"]) / elapsed,
            "style_recalcs_per_s": (after["RecalcStyleCount"] - before["RecalcStyleCount"]) / elapsed,
            "script_s_per_s": (after["ScriptDuration"] - before["ScriptDuration"]) / elapsed,
            "hovers_with_values": hover}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("dataset", type=pathlib.Path, nargs="?")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--speed", type=int, default=10)
    parser.add_argument("--seeks", type=int, default=20)
    parser.add_argument("--depth", type=int, default=400)
    parser.add_argument("--price-bin", type=float, default=0.5)
    parser.add_argument("--bucket-ms", type=int, default=1_000)
    parser.add_argument("--candle-ms", type=int, default=15_000)
    parser.add_argument("--window-ms", type=int, default=3_600_000)
    parser.add_argument("--module-dir", type=pathlib.Path, default=ROOT / "build" / "dev" / "python")
    args = parser.parse_args()
    sys.path[:0] = [str(args.module_dir), str(ROOT / "python")]
    import numpy as np
    from selenium import webdriver

    import korvel_vorn as kv
    from korvel_vorn.commands import book_heatmap, footprint, spec_value
    from korvel_vorn.viewer import serve
    from korvel_vorn.viewer.frames import read_frame
    from korvel_vorn.viewer.tab import Tab

    dataset = args.dataset or default_dataset()
    session = kv.Session()
    session.load_file(dataset)
    bounds = session.bounds()
    spec = spec_value(symbol="BTCUSDT", panels=[
        footprint(price_bin=args.price_bin, bucket_ms=args.candle_ms),
        book_heatmap(price_bin=args.price_bin, bucket_ms=args.bucket_ms, depth_levels=args.depth)])
    viewer = serve(session, spec=spec, block=False)
    viewer.model.settings = dataclasses.replace(viewer.model.settings, window_ms=args.window_ms)
    options = webdriver.ChromeOptions()
    # Debian's Chromium as it comes, headless; --no-sandbox only because benchmarks run as root.
    for argument in ("--headless=new", "--no-sandbox", "--window-size=1280,720"):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    options.add_experimental_option("perfLoggingPrefs", {"traceCategories": TRACE_CATEGORIES, "enableNetwork": False,
                                                         "enablePage": False})
    driver = webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(60)
    try:
        info = system_info(driver)
        gpu = info.get("gpu", {})
        renderer = gpu.get("auxAttributes", {}).get("glRenderer") or next(
            (d.get("deviceString") for d in gpu.get("devices", []) if d.get("deviceString")), "unknown")
        driver.execute_cdp_cmd("Performance.enable", {"timeDomain": "timeTicks"})
        driver.get(viewer.url)
        deadline = time.monotonic() + 120
        while not driver.execute_script("return window.vorn && vorn.frames > 0"):
            if time.monotonic() > deadline:
                raise RuntimeError("the page drew no frame")
            time.sleep(0.1)
        header = driver.execute_script("return vorn.frame.header")
        tab = Tab(viewer.model)
        message = tab.frame(tab.read(json.dumps({"type": "frame", "id": 1, "cursor": bounds["to_ts"]})))
        shape = read_frame(message)[0]
        # Playing from the middle of the recording: the cursor stays inside it for the whole run.
        start = (bounds["from_ts"] + bounds["to_ts"]) // 2 - int(args.seconds * args.speed * 500)
        # The trace is read once, at the end: the driver stops tracing when its log is read.
        results = {name: play(driver, name, args.seconds, start, args.speed, with_input=name == "hover")
                   for name in ("plain", "hover")}
        events = trace_events(driver)
        for name, result in results.items():
            count, seconds = presented(events, name + "-start", name + "-end")
            result["presented_fps"] = count / seconds
            result["data_fps"] = result.pop("data_frames") / seconds
        plain, hover = results["plain"], results["hover"]
        rng = np.random.default_rng(1)
        seeks = [driver.execute_async_script(SEEK_JS, int(target))
                 for target in rng.integers(bounds["from_ts"], bounds["to_ts"], size=args.seeks)]
        print(json.dumps({
            "dataset": dataset.name, "renderer": renderer, "window_ms": header["window_ms"],
            "frame": {"heatmap": [shape["heatmap"]["rows"], shape["heatmap"]["columns"]],
                      "footprint": [shape["footprint"]["candles"], shape["footprint"]["bins"]],
                      "liquidation_events": shape["liquidations"]["events"], "divergence_rows": shape["divergence"]["rows"],
                      "bytes": len(message)},
            "presented_fps": plain["presented_fps"], "data_fps": plain["data_fps"],
            "layouts_per_s": plain["layouts_per_s"], "style_recalcs_per_s": plain["style_recalcs_per_s"],
            "script_s_per_s": plain["script_s_per_s"], "hover_zoom": hover,
            "seek_ms": {"median": statistics.median(seeks), "p95": float(np.percentile(seeks, 95)), "max": max(seeks)},
        }, indent=1))
    finally:
        driver.quit()
        viewer.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
