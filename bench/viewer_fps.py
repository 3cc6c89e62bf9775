#!/usr/bin/env python3
"""The viewer measured from a real browser: playback frames per second and seek latency.

Usage: viewer_fps.py DATASET [--price-bin 1.0] [--seconds 5] [--seeks 15] [--module-dir DIR]

Loads DATASET (JSON or .npz) into a session, serves the viewer with a one-hour window, 1-second
heatmap buckets and 40 levels, opens it in headless Chromium and prints one JSON line:
- "fps": heatmap redraws per second in the browser while playing at 100x market time;
- "seek_ms": milliseconds from setting the slider in the browser to the redraw showing that
  moment (median, 95th percentile, maximum), over random cursors.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]

SEEK_JS = """
const [target, clock, done] = arguments;
const started = performance.now();
Bokeh.documents[0].get_model_by_name('cursor').value = target;
const check = () => window.vornClock === clock ? done(performance.now() - started) : setTimeout(check, 1);
check();
"""


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("dataset", type=pathlib.Path)
    parser.add_argument("--price-bin", type=float, default=1.0)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--seeks", type=int, default=15)
    parser.add_argument("--module-dir", type=pathlib.Path, default=ROOT / "build" / "dev" / "python")
    args = parser.parse_args()
    sys.path[:0] = [str(args.module_dir), str(ROOT / "python")]
    import numpy as np
    from selenium import webdriver

    import korvel_vorn as kv
    from korvel_vorn.commands import book_heatmap, footprint, spec_value
    from korvel_vorn.viewer import serve
    from korvel_vorn.viewer.page import clock_text

    session = kv.Session()
    session.load_file(args.dataset)
    bounds = session.bounds()
    spec = spec_value(symbol="BENCH", panels=[footprint(price_bin=args.price_bin, bucket_ms=60_000),
                                               book_heatmap(price_bin=args.price_bin, bucket_ms=1_000, depth_levels=40)])
    viewer = serve(session, spec=spec, block=False)
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1200",
                     "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(30)
    try:
        driver.get(viewer.url)
        deadline = time.monotonic() + 60
        while not driver.execute_script("return (window.vornFrames || 0) > 0 || (window.Bokeh && Bokeh.documents.length "
                                        "&& Bokeh.documents[0].get_model_by_name('heatmap_cells').data.bid.length > 0)"):
            if time.monotonic() > deadline:
                raise RuntimeError("the page drew no frame")
            time.sleep(0.05)
        rng = np.random.default_rng(1)
        seeks = []
        for target in rng.integers(bounds["from_ts"] + 3_600_000, bounds["to_ts"], size=args.seeks).tolist():
            seeks.append(driver.execute_async_script(SEEK_JS, target, clock_text(target)))
        driver.execute_script("Bokeh.documents[0].get_model_by_name('cursor').value = arguments[0];"
                              "Bokeh.documents[0].get_model_by_name('speed').value = '100';", bounds["from_ts"] + 3_600_000)
        time.sleep(1.0)
        driver.execute_script("window.vornFrameTimes = []; Bokeh.documents[0].get_model_by_name('play').active = true;")
        time.sleep(args.seconds)
        times = driver.execute_script("Bokeh.documents[0].get_model_by_name('play').active = false;"
                                      "return window.vornFrameTimes")
        fps = (len(times) - 1) / ((times[-1] - times[0]) / 1000) if len(times) > 1 else 0.0
        print(json.dumps({"fps": fps, "frames": len(times), "seek_ms": {
            "median": statistics.median(seeks), "p95": float(np.percentile(seeks, 95)), "max": max(seeks)}}))
    finally:
        driver.quit()
        viewer.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
