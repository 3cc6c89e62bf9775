#!/usr/bin/env python3
"""The viewer measured in Debian's Chromium (headless, default flags, 1280 x 720).

Usage: viewer_fps.py [DATASET | --real-density HOURS] [--seconds 10] [--speed 10] [--seeks 20] [--depth 400]
                     [--price-bin 0.5] [--bucket-ms 1000] [--candle-ms 15000] [--window-ms 3600000]
                     [--windows 3600000:1000,14400000:1000,86400000:10000] [--module-dir DIR]
                     [--package-dir DIR] [--baseline-package DIR --baseline-module-dir DIR]

DATASET defaults to the recorded BTCUSDT market of ../shared/data/real with the most book records;
--real-density HOURS takes the recorded market repeated in time (bench/real_density.py). Each
window of --windows is measured in turn on the one loaded market (the page opened afresh on it).
With --baseline-package (another checkout's python/, e.g. `git archive` of an older commit) and
--baseline-module-dir the same measurement is repeated on that viewer in a process of its own and
both are printed ({"viewer": ..., "baseline": ...}).
Prints one JSON object, per window ("runs"):
- "presented_fps": frames the compositor presented per second while playing (DrawFrame events of
  the DevTools trace between two page marks), "data_fps": distinct data frames the page drew per
  second in the same interval; "hover_zoom": the same while the mouse moves over the heatmap 60
  times a second and the wheel zooms every 250 ms (with "hovers_with_values": how often the tooltip showed a cell's values);
- "layouts_per_s", "style_recalcs_per_s": growth of LayoutCount and RecalcStyleCount per second
  during playback (Performance.getMetrics);
- "first_frame_s": from opening the page to its first drawn frame; "depth_levels": the depth the
  page asks for at the end (it follows the traded prices where the viewer does);
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
  else if (performance.now() - started > 100000) done({ timeout: target, shown: vorn.frame && vorn.frame.header.cursor,
    cursor: vorn.state.cursor, next: vorn.state.nextId, answered: vorn.state.answered, dirty: vorn.state.dirty,
    playing: vorn.state.playing, status: vorn.status });
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


def measure(driver: Any, viewer: Any, bounds: dict[str, int], args: argparse.Namespace, window_ms: int,
            bucket_ms: int) -> dict[str, Any]:
    """One window and bucket: the page opened afresh on them, playback from the middle, seeks."""
    import numpy as np

    from korvel_vorn.viewer.frames import read_frame
    from korvel_vorn.viewer.tab import Tab

    viewer.model.settings = dataclasses.replace(viewer.model.settings, window_ms=window_ms, bucket_ms=bucket_ms,
                                                depth_levels=args.depth)
    driver.get("about:blank")
    opened = time.monotonic()
    driver.get(viewer.url)
    deadline = time.monotonic() + args.first_frame_timeout
    while not driver.execute_script("return window.vorn && vorn.frames > 0"):
        if time.monotonic() > deadline:
            raise RuntimeError("the page drew no frame")
        time.sleep(0.05)
    first_frame_s = time.monotonic() - opened
    progress(f"window {window_ms} ms at {bucket_ms} ms: first frame after {first_frame_s:.1f} s")
    header = driver.execute_script("return vorn.frame.header")
    tab = Tab(viewer.model)
    message = tab.frame(tab.read(json.dumps({"type": "frame", "id": 1, "cursor": bounds["to_ts"],
                                             "settings": header["settings"]})))
    shape = read_frame(message)[0]
    # Playing from the middle of the recording: the cursor stays inside it for the whole run.
    start = (bounds["from_ts"] + bounds["to_ts"]) // 2 - int(args.seconds * args.speed * 500)
    # The trace is read once per window, at the end: the driver stops tracing when its log is read.
    results = {name: play(driver, f"{name}-{window_ms}", args.seconds, start, args.speed, with_input=name == "hover")
               for name in ("plain", "hover")}
    events = trace_events(driver)
    for name, result in results.items():
        count, seconds = presented(events, f"{name}-{window_ms}-start", f"{name}-{window_ms}-end")
        result["presented_fps"] = count / seconds
        result["data_fps"] = result.pop("data_frames") / seconds
    plain, hover = results["plain"], results["hover"]
    progress(f"window {window_ms} ms: played ({plain['data_fps']:.1f} data frames/s); seeking")
    rng = np.random.default_rng(1)
    seeks = []
    for target in rng.integers(bounds["from_ts"], bounds["to_ts"], size=args.seeks):
        took = driver.execute_async_script(SEEK_JS, int(target))
        if not isinstance(took, int | float):
            raise RuntimeError(f"a seek was never shown: {took}")
        seeks.append(took)
    shown = driver.execute_script("return vorn.frame.header")
    return {
        "window_ms": header["window_ms"], "bucket_ms": bucket_ms, "first_frame_s": first_frame_s,
        "depth_levels": shown["settings"]["depth_levels"],
        "frame": {"heatmap": [shape["heatmap"]["rows"], shape["heatmap"]["columns"]],
                  "footprint": [shape["footprint"]["candles"], shape["footprint"]["bins"]],
                  "liquidation_events": shape["liquidations"]["events"], "divergence_rows": shape["divergence"]["rows"],
                  "bytes": len(message)},
        "presented_fps": plain["presented_fps"], "data_fps": plain["data_fps"],
        "layouts_per_s": plain["layouts_per_s"], "style_recalcs_per_s": plain["style_recalcs_per_s"],
        "script_s_per_s": plain["script_s_per_s"], "hover_zoom": hover,
        "seek_ms": {"median": statistics.median(seeks), "p95": float(np.percentile(seeks, 95)), "max": max(seeks)},
    }


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def browser(webdriver: Any) -> Any:
    options = webdriver.ChromeOptions()
    # Debian's Chromium as it comes, headless; --no-sandbox only because benchmarks run as root.
    for argument in ("--headless=new", "--no-sandbox", "--window-size=1280,720"):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    options.add_experimental_option("perfLoggingPrefs", {"traceCategories": TRACE_CATEGORIES, "enableNetwork": False,
                                                         "enablePage": False})
    driver = webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(120)
    return driver


def renderer_of(driver: Any) -> str:
    gpu = system_info(driver).get("gpu", {})
    return str(gpu.get("auxAttributes", {}).get("glRenderer") or next(
        (d.get("deviceString") for d in gpu.get("devices", []) if d.get("deviceString")), "unknown"))


def windows(text: str) -> list[tuple[int, int]]:
    """"WINDOW_MS:BUCKET_MS,..." as pairs."""
    out = []
    for part in text.split(","):
        window, _, bucket = part.partition(":")
        out.append((int(window), int(bucket or 1_000)))
    return out


def baseline_run(args: argparse.Namespace, dataset: pathlib.Path) -> dict[str, Any]:
    """This script run again on the baseline's package and modules, in a process of its own."""
    import subprocess

    command = [sys.executable, __file__, str(dataset), "--package-dir", str(args.baseline_package), "--module-dir",
               str(args.baseline_module_dir), "--windows", args.windows, "--seconds", str(args.seconds),
               "--speed", str(args.speed), "--seeks", str(args.seeks), "--depth", str(args.depth),
               "--price-bin", str(args.price_bin), "--candle-ms", str(args.candle_ms),
               "--first-frame-timeout", str(args.first_frame_timeout)]
    result = subprocess.run(command, stdout=subprocess.PIPE, text=True)  # its progress shown as it comes
    if result.returncode != 0:
        return {"error": f"the baseline's run ended with status {result.returncode}"}
    return dict(json.loads(result.stdout))


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("dataset", type=pathlib.Path, nargs="?")
    parser.add_argument("--real-density", type=float, metavar="HOURS",
                        help="the real-density market of this many hours (bench/real_density.py, cached in build/)")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--speed", type=int, default=10)
    parser.add_argument("--seeks", type=int, default=20)
    parser.add_argument("--depth", type=int, default=400, help="the depth the page starts with")
    parser.add_argument("--price-bin", type=float, default=0.5)
    parser.add_argument("--bucket-ms", type=int, default=1_000)
    parser.add_argument("--candle-ms", type=int, default=15_000)
    parser.add_argument("--window-ms", type=int, default=3_600_000)
    parser.add_argument("--windows", help="WINDOW_MS:BUCKET_MS,... measured in turn on one loaded market "
                                          "(default: --window-ms:--bucket-ms)")
    parser.add_argument("--first-frame-timeout", type=float, default=600.0)
    parser.add_argument("--module-dir", type=pathlib.Path, default=ROOT / "build" / "dev" / "python")
    parser.add_argument("--package-dir", type=pathlib.Path, default=ROOT / "python",
                        help="the korvel_vorn package measured (another checkout's python/ for a baseline)")
    parser.add_argument("--baseline-package", type=pathlib.Path,
                        help="also measure this package (with --baseline-module-dir) in the same run")
    parser.add_argument("--baseline-module-dir", type=pathlib.Path)
    args = parser.parse_args()
    args.windows = args.windows or f"{args.window_ms}:{args.bucket_ms}"
    sys.path[:0] = [str(args.module_dir), str(args.package_dir)]
    from selenium import webdriver

    import korvel_vorn as kv
    from korvel_vorn.commands import book_heatmap, footprint, spec_value
    from korvel_vorn.viewer import serve

    if args.real_density:
        sys.path.insert(0, str(ROOT / "bench"))
        import real_density

        dataset = real_density.cached(args.real_density, ROOT / "build" / "bench-data")
    else:
        dataset = args.dataset or default_dataset()
    session = kv.Session()
    loading = time.perf_counter()
    session.load_file(dataset)
    load_s = time.perf_counter() - loading
    bounds = session.bounds()
    spec = spec_value(symbol="BTCUSDT", panels=[
        footprint(price_bin=args.price_bin, bucket_ms=args.candle_ms),
        book_heatmap(price_bin=args.price_bin, bucket_ms=args.bucket_ms, depth_levels=args.depth)])
    viewer = serve(session, spec=spec, block=False)
    runs = []
    renderer = "unknown"
    try:
        for window_ms, bucket_ms in windows(args.windows):
            # A browser of its own per window: the driver stops tracing once its trace has been read.
            driver = browser(webdriver)
            try:
                renderer = renderer_of(driver)
                driver.execute_cdp_cmd("Performance.enable", {"timeDomain": "timeTicks"})
                runs.append(measure(driver, viewer, bounds, args, window_ms, bucket_ms))
            except Exception as error:  # one window that fails (nothing drawn) is reported, the others measured
                runs.append({"window_ms": window_ms, "bucket_ms": bucket_ms, "error": str(error)[:300]})
            finally:
                driver.quit()
            progress(json.dumps(runs[-1]))  # each window's figures as soon as they are known
    finally:
        viewer.stop()
    report: dict[str, Any] = {"dataset": dataset.name, "package": str(args.package_dir), "renderer": renderer,
                              "load_s": load_s, "runs": runs}
    del session, viewer
    if args.baseline_package is not None:
        report = {"viewer": report, "baseline": baseline_run(args, dataset)}
    print(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
