#!/usr/bin/env python3
"""The benchmark: the engine side by side with what a user would use instead, in one run.

For each synthetic preset (and each real recording found in ../shared/data/real) it measures:

- load: MB of command text per second of `command('{"cmd":"load",...}')`, of `json.loads` and
  `orjson.loads` of the same str, and of simdjson's DOM parse of the same bytes (a small C++
  program, bench/simdjson_parse.cpp), with the engine's ratio to each;
- frame: median and 99th percentile of one replay step at random cursors ("set_spec" with all
  four panels and "from_ts" one hour before the cursor, then "frame_at" at the cursor) and of the
  NumPy implementation (bench/numpy_panels.py) of the same frame, whose results are checked to
  agree with the engine's replies on a sample of the cursors;
- memory: the peak resident memory of a process during load, over the command text size
  (bench/load_memory.py, one fresh process per figure);
- on the day preset, a 24 h window (1 s buckets, 40 levels, all four panels) through
  `Session.frame_arrays`, replayed whole at each frame.

With --real-density HOURS the recorded market repeated in time (bench/real_density.py, as dense as
a real book) is measured beside the synthetic presets.

Usage: run.py [--presets tiny,hour,day] [--real-density HOURS] [--no-real] [--cursors 200] [--module-dir DIR]
MB means 10^6 bytes. Timings are wall-clock, taken with time.perf_counter.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import hashlib
import json
import math
import os
import pathlib
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

import numpy as np

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import array_path  # noqa: E402
import generate_market  # noqa: E402
import numpy_panels  # noqa: E402
import real_density  # noqa: E402

REAL_DATA = ROOT.parent / "shared" / "data" / "real"
HOUR_MS = 3_600_000

TARGETS = {
    "load_vs_orjson": 10.0,
    "load_vs_json": 15.0,
    "load_vs_simdjson": 1.0,
    "frame_vs_numpy": 20.0,  # through frame_arrays, against the NumPy frame (which also returns arrays)
    "day_p99_ms": 16.0,
    "memory_multiple": 2.0,
    "day_window_ms": 25.0,  # a 24 h window at 1 s buckets and 40 levels, all four panels, frame_arrays
    "file_vs_vorn": 1.15,
    "columns_speedup": 10.0,
    "npz_speedup": 10.0,
    "arrays_vs_vorn": 0.9,
    "arrays_vs_session": 4.0,
    "step_p99_ms": 8.0,
    "clusters_ms": 10.0,
    "convert_rows_s": 1_000_000,  # rows per second of a CSV of the bulk layouts
    "convert_gz_rows_s": 500_000,  # the same from .gz
    "convert_peak_mb": 300,
}


@dataclasses.dataclass
class Source:
    name: str
    path: pathlib.Path  # file holding the whole load command text
    symbol: str


def _percentile(values: list[float], q: float) -> float:
    return float(np.percentile(np.array(values), q, method="higher"))


def _mb_per_s(size: int, seconds: float) -> float:
    return size / 1e6 / seconds if seconds > 0 else math.inf


# --- inputs ------------------------------------------------------------------------------------


def generated_source(preset: str, seed: int, cache: pathlib.Path) -> Source:
    """The preset's command text, generated once per generator version and kept in `cache`."""
    version = hashlib.sha256((BENCH / "generate_market.py").read_bytes()).hexdigest()[:12]
    path = cache / f"{preset}-seed{seed}-{version}.load.json"
    if not path.exists():
        started = time.perf_counter()
        tmp = path.with_suffix(".tmp")
        size = generate_market.write(preset, seed, tmp)
        tmp.rename(path)
        print(f"  generated {preset} (seed {seed}): {size / 1e6:.1f} MB in {time.perf_counter() - started:.1f} s")
    return Source(preset, path, generate_market.SYMBOL)


def real_sources(scratch: pathlib.Path) -> list[Source]:
    """Each recording wrapped into a load command, written to a scratch directory (deleted after
    the run) so that every contender reads the very same bytes."""
    out = []
    for dataset in sorted(REAL_DATA.glob("*.dataset.json")) if REAL_DATA.is_dir() else []:
        path = scratch / (dataset.name + ".load.json")
        with path.open("wb") as f:
            f.write(b'{"cmd":"load","dataset":')
            f.write(dataset.read_bytes())
            f.write(b"}")
        m = re.match(r"[^-]+-[^-]+-([^-]+)-", dataset.name)
        symbol = m.group(1).upper() if m else dataset.stem
        out.append(Source("real:" + dataset.name.removesuffix(".dataset.json"), path, symbol))
    return out


# --- load ----------------------------------------------------------------------------------------


def time_interleaved(contenders: dict[str, Any], rounds: int, once: frozenset = frozenset(),
                     min_seconds: float = 0.3) -> dict[str, float]:
    """Median seconds per call of each contender. Each is a function that runs one call and
    returns its seconds. The contenders take turns round by round, so a burst of load on a shared
    machine hits them all alike, and a round repeats a fast call until `min_seconds` have passed,
    so that small inputs are not measured by a single call (except for those in `once`, which
    repeat inside their own call)."""
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            spent = 0.0
            while True:
                gc.collect()
                seconds = call()
                if seconds is None:
                    break
                samples[name].append(seconds)
                spent += seconds
                if spent >= min_seconds or name in once:
                    break
    return {name: statistics.median(v) for name, v in samples.items() if v}


def timed(fn):
    """A contender for `time_interleaved`: the seconds of one call of `fn`; its result is released
    before the next call starts."""

    def call():
        started = time.perf_counter()
        result = fn()
        seconds = time.perf_counter() - started
        del result
        return seconds

    return call


def simdjson_binary(tools: pathlib.Path) -> pathlib.Path | None:
    source = BENCH / "simdjson_parse.cpp"
    binary = tools / "simdjson_parse"
    if binary.exists() and binary.stat().st_mtime >= source.stat().st_mtime:
        return binary
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        return None
    tools.mkdir(parents=True, exist_ok=True)
    build = [compiler, "-O2", "-std=c++17", str(source), "-lsimdjson", "-o", str(binary)]
    result = subprocess.run(build, capture_output=True, text=True)
    if result.returncode != 0:
        print(f"  simdjson program not built (is libsimdjson-dev installed?): {result.stderr.strip()[:200]}")
        return None
    return binary


def simdjson_seconds(binary: pathlib.Path, path: pathlib.Path, repeats: int) -> float | None:
    """Median seconds of one DOM parse with a reused parser, timed inside the C++ program."""
    result = subprocess.run([str(binary), str(path), str(repeats)], capture_output=True, text=True)
    if result.returncode != 0:
        print(f"  simdjson failed: {result.stderr.strip()[:200]}")
        return None
    return statistics.median(json.loads(result.stdout)["reused_seconds"])


def measure_memory(path: pathlib.Path, parser: str, module_dir: pathlib.Path) -> dict[str, Any] | None:
    command = [sys.executable, str(BENCH / "load_memory.py"), str(path), "--parser", parser, "--module-dir", str(module_dir)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        print(f"  memory probe ({parser}) failed: {result.stderr.strip()[-300:]}")
        return None
    return json.loads(result.stdout)


def measure_viewer(dataset: pathlib.Path, price_bin: float, module_dir: pathlib.Path) -> dict[str, Any] | None:
    """The viewer's frames per second and seek latency in headless Chromium (bench/viewer_fps.py)."""
    if shutil.which("chromium") is None or shutil.which("chromedriver") is None:
        print("  viewer  not measured: chromium and chromedriver are not installed")
        return None
    command = [sys.executable, str(BENCH / "viewer_fps.py"), str(dataset), "--price-bin", str(price_bin),
               "--module-dir", str(module_dir)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        print(f"  viewer  measurement failed: {result.stderr.strip()[-300:]}")
        return None
    return dict(json.loads(result.stdout))


# --- frames -----------------------------------------------------------------------------------


def panel_bins(market: numpy_panels.Market) -> float:
    """A footprint price bin of about a few ticks for the market's price level: 1.0 near 60000."""
    prices = market.trades["price"] if market.trades["ts"].size else market.candles["close"]
    if prices.size == 0:
        return 1.0
    return 10.0 ** (math.floor(math.log10(float(np.median(prices)))) - 4)


def frame_spec(source: Source, cursor: int, price_bin: float) -> dict[str, Any]:
    return {
        "dataset_ref": source.name,
        "symbol": source.symbol,
        "from_ts": cursor - HOUR_MS,
        "to_ts": None,
        "panels": [
            {"kind": "footprint", "price_bin": price_bin, "bucket_ms": 60000},
            {"kind": "book_heatmap", "price_bin": price_bin, "bucket_ms": 1000, "depth_levels": 40},
            {"kind": "liquidation_map", "price_bin": price_bin * 10},
            {"kind": "funding_oi_divergence", "bucket_ms": 60000},
        ],
    }


def bench_frames(vorn, market: numpy_panels.Market, source: Source, cursors: list[int], check: int) -> dict[str, Any]:
    price_bin = panel_bins(market)
    specs = [frame_spec(source, c, price_bin) for c in cursors]
    commands = [
        (json.dumps({"cmd": "set_spec", "spec": s}, separators=(",", ":")), '{"cmd":"frame_at","ts":%d}' % c)
        for s, c in zip(specs, cursors)
    ]
    for set_spec, frame_at in commands[:3]:  # warm-up: worker pool, caches
        vorn.command(set_spec)
        vorn.command(frame_at)
        numpy_panels.compute_frame(market, specs[0], cursors[0])

    # Engine and NumPy take turns at each cursor, so load on a shared machine hits both alike.
    engine, baseline, replies, frames = [], [], [], []
    for (set_spec, frame_at), spec, cursor in zip(commands, specs, cursors):
        started = time.perf_counter()
        ok = vorn.command(set_spec)
        reply = vorn.command(frame_at)
        engine.append(time.perf_counter() - started)
        if ok != '{"ok":true}' or not reply.startswith('{"symbol":'):
            return {"error": f"engine replied {ok[:120]} / {reply[:120]}"}
        started = time.perf_counter()
        frame = numpy_panels.compute_frame(market, spec, cursor)
        baseline.append(time.perf_counter() - started)
        if len(replies) < check:
            replies.append(reply)
            frames.append(frame)
        del reply, frame

    mismatches = []
    for cursor, reply, frame in zip(cursors, replies, frames):
        diff = numpy_panels.compare_frame(json.loads(reply), frame)
        if diff:
            mismatches.append(f"cursor {cursor}: " + "; ".join(diff[:3]))
    return {
        "engine_median_ms": statistics.median(engine) * 1e3,
        "engine_p99_ms": _percentile(engine, 99) * 1e3,
        "numpy_median_ms": statistics.median(baseline) * 1e3,
        "numpy_p99_ms": _percentile(baseline, 99) * 1e3,
        "checked": len(replies),
        "mismatches": mismatches,
        "reply_bytes_median": statistics.median(len(r) for r in replies) if replies else 0,
    }


# --- one source ---------------------------------------------------------------------------------


def bench_source(source: Source, args, module, simdjson: pathlib.Path | None) -> dict[str, Any]:
    import orjson

    data = source.path.read_bytes()
    text = data.decode("utf-8")
    size = len(data)
    del data
    res: dict[str, Any] = {"name": source.name, "bytes": size}
    print(f"\n== {source.name}: {size / 1e6:.1f} MB of command text")

    holder: list = []
    replies: list[str] = []

    def engine_load():
        holder.clear()  # release the previous object (and its dataset) outside the timing
        gc.collect()
        vorn = module.Vorn("")
        started = time.perf_counter()
        reply = vorn.command(text)
        seconds = time.perf_counter() - started
        holder.append(vorn)
        replies[:] = [reply]
        return seconds

    engine_load()  # warm-up, and the reply to check
    if not replies[0].startswith('{"ok":true,'):
        print(f"  engine load failed: {replies[0][:200]}")
        res["error"] = replies[0][:200]
        return res
    res["records"] = int(json.loads(replies[0])["loaded"])
    contenders = {"engine": engine_load, "json": timed(lambda: json.loads(text)), "orjson": timed(lambda: orjson.loads(text))}
    if simdjson is not None:
        # The program repeats its parses itself: at least five, and about 0.3 s worth.
        parses = max(5, min(300, int(0.3 * 300e6 / size)))
        contenders["simdjson"] = lambda: simdjson_seconds(simdjson, source.path, parses)
    seconds = time_interleaved(contenders, args.rounds, once=frozenset({"simdjson"}))
    vorn = holder[0]
    for name in ("engine", "json", "orjson", "simdjson"):
        res[f"{name}_mb_s"] = _mb_per_s(size, seconds[name]) if name in seconds else None
    line = (
        f"  load    engine {res['engine_mb_s']:7.1f} MB/s | json.loads {res['json_mb_s']:6.1f} MB/s "
        f"(engine {res['engine_mb_s'] / res['json_mb_s']:.1f}x) | orjson.loads {res['orjson_mb_s']:6.1f} MB/s "
        f"(engine {res['engine_mb_s'] / res['orjson_mb_s']:.1f}x)"
    )
    if res["simdjson_mb_s"]:
        line += f" | simdjson DOM {res['simdjson_mb_s']:6.1f} MB/s (engine {res['engine_mb_s'] / res['simdjson_mb_s']:.1%})"
    print(f"  {res['records']:,} records")
    print(line)

    # Memory, each figure in a fresh process.
    for parser in ("engine", "orjson"):
        mem = measure_memory(source.path, parser, args.module_dir)
        if mem and mem["ok"]:
            res[f"{parser}_peak_multiple"] = (mem["peak"] - mem["base"]) / mem["text"]
            res[f"{parser}_peak_mb"] = mem["peak"] / 1e6
            res[f"{parser}_kept_multiple"] = (mem["after"] - mem["base"]) / mem["text"]
            res["peak_reset"] = mem["peak_reset"]
    if "engine_peak_multiple" in res:
        extra = f" | orjson.loads {res['orjson_peak_multiple']:.2f}x" if "orjson_peak_multiple" in res else ""
        print(
            f"  memory  engine peak during load {res['engine_peak_multiple']:.2f}x the text "
            f"({res['engine_peak_mb']:.0f} MB resident at peak, interpreter excluded from the multiple; "
            f"{res['engine_kept_multiple']:.2f}x kept after it, text included){extra}"
        )

    # Frames: the NumPy market is built from a decoded copy, outside any timing.
    dataset = orjson.loads(text)["dataset"]
    market = numpy_panels.Market(dataset)
    if args.kv is not None:
        columns = array_path.dataset_columns(dataset)
        dataset = None
        gc.collect()
        loads = array_path.bench_loads(args.kv, source.path, text, columns, args.scratch, time_interleaved, args.rounds)
        del columns
        res.update(loads)
        print(
            f"  arrays  Session.load_file {loads['file_s']:.3f} s vs read + Vorn.command {loads['vorn_file_s']:.3f} s "
            f"({loads['file_vs_vorn']:.2f}x the time) | load_columns {loads['columns_s']:.3f} s "
            f"({loads['columns_speedup']:.1f}x faster than the same records as JSON, {loads['vorn_text_s']:.3f} s) | "
            f".npz {loads['npz_s']:.3f} s ({loads['npz_speedup']:.1f}x faster than the JSON file)"
        )
        mem = measure_memory(pathlib.Path(loads["dataset_path"]), "session", args.module_dir)
        if mem and mem["ok"] and "engine_peak_multiple" in res:
            # Growth over each process's own base: the command text's str and its load, against the
            # file's natively read text and its load.
            growth = mem["peak"] - mem["base"]
            res["session_peak_multiple"] = growth / mem["text"]
            res["session_peak_over_vorn"] = growth / (res["engine_peak_multiple"] * size)
            print(f"  arrays  Session.load_file peak {res['session_peak_multiple']:.2f}x the file "
                  f"({res['session_peak_over_vorn']:.2f}x the growth of the Vorn.command path)")
        if args.viewer and (source.name == "day" or source.name.startswith("real-density")):
            viewer = measure_viewer(pathlib.Path(loads["dataset_path"]), panel_bins(market), args.module_dir)
            if viewer:
                res.update(viewer_fps=viewer["presented_fps"], viewer_data_fps=viewer["data_fps"],
                           viewer_seek_ms=viewer["seek_ms"])
                print(f"  viewer  {viewer['presented_fps']:.1f} presented and {viewer['data_fps']:.1f} data frames/s in "
                      f"Chromium ({viewer['frame']['heatmap']} heatmap) | seek median {viewer['seek_ms']['median']:.0f} ms, "
                      f"p95 {viewer['seek_ms']['p95']:.0f} ms")
        ticks = array_path.ticks_during_load(args.kv, loads["dataset_path"])
        res.update({"tick_load_s": ticks["load_s"], "ticks": ticks["ticks"]})
        print(f"  arrays  a 1 ms ticking thread ran {ticks['ticks']} times during a {ticks['load_s']:.2f} s load_file")
    # Release the text and its parsed copy before the frames are timed.
    text = ""
    dataset = None
    gc.collect()
    bounds = json.loads(vorn.command('{"cmd":"bounds"}'))
    rng = np.random.default_rng(args.seed)
    cursors = rng.integers(bounds["from_ts"], bounds["to_ts"] + 1, size=args.cursors).tolist()
    frames = bench_frames(vorn, market, source, cursors, args.check)
    res.update(frames)
    if "error" in frames:
        print(f"  frame   {frames['error']}")
        return res
    agree = f"agree {frames['checked'] - len(frames['mismatches'])}/{frames['checked']}"
    print(
        f"  frame   engine median {frames['engine_median_ms']:.2f} ms p99 {frames['engine_p99_ms']:.2f} ms | "
        f"numpy median {frames['numpy_median_ms']:.2f} ms p99 {frames['numpy_p99_ms']:.2f} ms "
        f"(engine {frames['numpy_median_ms'] / frames['engine_median_ms']:.1f}x) | {agree} "
        f"| reply {frames['reply_bytes_median'] / 1e3:.0f} kB"
    )
    for m in frames["mismatches"][:3]:
        print(f"    MISMATCH {m}")
    if args.kv is not None:
        session = args.kv.Session()
        session.load_file(res["dataset_path"])
        specs = [frame_spec(source, c, panel_bins(market)) for c in cursors]
        figures = array_path.bench_array_frames(args.kv, session, vorn, specs, cursors, _percentile)
        res.update(figures)
        res["arrays_vs_numpy"] = frames["numpy_median_ms"] / figures["arrays_median_ms"]
        print(
            f"  arrays  frame_arrays median {figures['arrays_median_ms']:.2f} ms "
            f"({figures['arrays_vs_vorn']:.2f}x the time of Vorn.command frame_at, "
            f"{figures['vorn_frame_median_ms']:.2f} ms; {figures['arrays_vs_session']:.1f}x faster than "
            f"Session.frame_at, {figures['session_frame_median_ms']:.2f} ms; {res['arrays_vs_numpy']:.1f}x NumPy) | "
            f"replay step median {figures['step_median_ms']:.2f} ms p99 {figures['step_p99_ms']:.2f} ms | "
            f"clusters (1 h, 1 min buckets) median {figures['clusters_median_ms']:.2f} ms "
            f"p99 {figures['clusters_p99_ms']:.2f} ms"
        )
        if source.name == "day":
            spec = frame_spec(source, bounds["to_ts"], panel_bins(market))
            spec["from_ts"] = bounds["to_ts"] - 24 * HOUR_MS
            window = array_path.bench_long_window(session, spec, bounds["to_ts"], 20, _percentile)
            res.update(window)
            print(f"  arrays  24 h window (1 s buckets, 40 levels, four panels) through frame_arrays: median "
                  f"{window['window_median_ms']:.2f} ms, p90 {window['window_p90_ms']:.2f} ms")
    return res


# --- summary -------------------------------------------------------------------------------------


def machine() -> str:
    model = "unknown CPU"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    import orjson

    return (
        f"{model}, {cores} cores available, Linux {platform.release()}, Python {platform.python_version()}, "
        f"NumPy {np.__version__}, orjson {orjson.__version__}"
    )


def summary(results: list[dict[str, Any]]) -> None:
    print("\n== targets")

    def mark(ok: bool) -> str:
        return "ok  " if ok else "MISS"

    for r in results:
        if "engine_mb_s" not in r:
            print(f"  {r['name']}: no figures ({r.get('error', 'failed')})")
            continue
        checks = [
            ("load >= 15x json.loads", r["engine_mb_s"] / r["json_mb_s"], TARGETS["load_vs_json"], "{:.1f}x"),
            ("load >= 10x orjson.loads", r["engine_mb_s"] / r["orjson_mb_s"], TARGETS["load_vs_orjson"], "{:.1f}x"),
        ]
        if r.get("simdjson_mb_s"):
            checks.append(("load >= 1.0x simdjson", r["engine_mb_s"] / r["simdjson_mb_s"], TARGETS["load_vs_simdjson"],
                           "{:.2f}x"))
        if "arrays_vs_numpy" in r:
            checks.append(("frame_arrays >= 20x numpy", r["arrays_vs_numpy"], TARGETS["frame_vs_numpy"], "{:.1f}x"))
        if "window_median_ms" in r:
            checks.append(("24 h window < 25 ms", TARGETS["day_window_ms"] / r["window_median_ms"], 1.0, None))
        if r["name"] == "day" and "engine_p99_ms" in r:
            checks.append(("day p99 < 16 ms", TARGETS["day_p99_ms"] / r["engine_p99_ms"], 1.0, None))
        if "engine_peak_multiple" in r:
            checks.append(("peak memory <= 2x", TARGETS["memory_multiple"] / r["engine_peak_multiple"], 1.0, None))
        if "file_vs_vorn" in r:
            checks.append(("load_file <= 1.15x Vorn.command", TARGETS["file_vs_vorn"] / r["file_vs_vorn"], 1.0, None))
            checks.append(("load_columns >= 10x JSON", r["columns_speedup"], TARGETS["columns_speedup"], "{:.1f}x"))
            checks.append((".npz >= 10x JSON file", r["npz_speedup"], TARGETS["npz_speedup"], "{:.1f}x"))
        if "session_peak_over_vorn" in r:
            checks.append(("load_file memory <= Vorn.command's", 1.0 / r["session_peak_over_vorn"], 1.0, None))
        if "arrays_vs_vorn" in r:
            checks.append(("frame_arrays <= 0.9x Vorn.command", TARGETS["arrays_vs_vorn"] / r["arrays_vs_vorn"], 1.0, None))
            checks.append(("frame_arrays >= 4x Session.frame_at", r["arrays_vs_session"], TARGETS["arrays_vs_session"],
                           "{:.1f}x"))
            if r["name"] == "day":
                checks.append(("day replay step p99 < 8 ms", TARGETS["step_p99_ms"] / r["step_p99_ms"], 1.0, None))
                checks.append(("day clusters (1 h) < 10 ms", TARGETS["clusters_ms"] / r["clusters_median_ms"], 1.0, None))
        parts = []
        for label, value, target, form in checks:
            shown = form.format(value) if form else ""
            if label.startswith("day p99"):
                shown = f"{r['engine_p99_ms']:.2f} ms"
            if label.startswith("peak"):
                shown = f"{r['engine_peak_multiple']:.2f}x"
            if label.startswith("load_file <="):
                shown = f"{r['file_vs_vorn']:.2f}x"
            if label.startswith("load_file memory"):
                shown = f"{r['session_peak_over_vorn']:.2f}x"
            if label.startswith("frame_arrays <="):
                shown = f"{r['arrays_vs_vorn']:.2f}x"
            if label.startswith("day replay"):
                shown = f"{r['step_p99_ms']:.2f} ms"
            if label.startswith("24 h window"):
                shown = f"median {r['window_median_ms']:.2f} ms"
            if label.startswith("day clusters"):
                shown = f"median {r['clusters_median_ms']:.2f} ms"
            parts.append(f"{mark(value >= target)} {label} ({shown})")
        print(f"  {r['name']}:")
        for p in parts:
            print(f"    {p}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--presets", default="tiny,hour,day", help="comma-separated: " + ",".join(generate_market.PRESETS))
    parser.add_argument("--no-real", action="store_true", help="skip the real recordings")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cursors", type=int, default=200)
    parser.add_argument("--check", type=int, default=20, help="frames compared with the NumPy result")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of load timings, contenders taking turns")
    parser.add_argument("--module-dir", type=pathlib.Path,
                        default=pathlib.Path(os.environ.get("VORN_MODULE_DIR", ROOT / "build" / "dev" / "python")))
    parser.add_argument("--cache", type=pathlib.Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures to this file")
    parser.add_argument("--viewer", action="store_true",
                        help="also measure the viewer in Chromium (day preset and the real-density market)")
    parser.add_argument("--real-density", type=float, metavar="HOURS",
                        help="also the real-density market of this many hours (bench/real_density.py: a recorded "
                             "market repeated in time), beside the synthetic presets")
    parser.add_argument("--convert", action="store_true",
                        help="also measure the converter (bench/convert.py): rows/s and peak memory per layout")
    parser.add_argument("--convert-rows", type=int, default=3_000_000, help="rows of the converter's trades CSV")
    args = parser.parse_args()

    args.module_dir = args.module_dir.resolve()
    sys.path.insert(0, str(args.module_dir))
    sys.path.insert(1, str(ROOT / "python"))  # the package of this checkout, on the modules above
    try:
        import korvel_vorn

        args.kv = korvel_vorn
    except ImportError as e:
        print(f"the array path is not measured: cannot import korvel_vorn ({e})")
        args.kv = None
    try:
        import _korvel_vorn as module
        import orjson  # noqa: F401
    except ImportError as e:
        print(f"cannot import {e.name}: build the module (scripts/build.sh) and install the bench extra", file=sys.stderr)
        return 1
    print(f"machine: {machine()}")
    print(f"module:  {pathlib.Path(module.__file__)}")

    args.cache.mkdir(parents=True, exist_ok=True)
    simdjson = simdjson_binary(args.cache.parent / "bench-tools")
    presets = [p for p in args.presets.split(",") if p]
    unknown = [p for p in presets if p not in generate_market.PRESETS]
    if unknown:
        print(f"unknown presets: {', '.join(unknown)}", file=sys.stderr)
        return 2

    results = []
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as scratch:
        args.scratch = pathlib.Path(scratch)
        sources = [generated_source(p, args.seed, args.cache) for p in presets]
        if args.real_density and real_density.available():
            sources.append(Source(f"real-density-{args.real_density:g}h",
                                  real_density.cached(args.real_density, args.cache, load=True), "BTCUSDT"))
        elif args.real_density:
            print(f"the real-density market is not measured: no recording at {real_density.DEFAULT_SOURCE}")
        if not args.no_real:
            sources += real_sources(pathlib.Path(scratch))
        for source in sources:
            results.append(bench_source(source, args, module, simdjson))
            gc.collect()
    summary(results)
    converted = bench_convert(args) if args.convert else None
    if args.json:
        args.json.write_text(json.dumps({"machine": machine(), "results": results, "convert": converted}, indent=1))
    return 0


def bench_convert(args: argparse.Namespace) -> list[dict[str, Any]]:
    """The converter's rows per second and peak memory, each conversion in a process of its own."""
    import convert

    print("\n== converter (bench/convert.py): seconds of convert_files + write, peak resident memory")
    results = convert.run(args.convert_rows, args.cache.parent / "bench-convert")
    print(convert.table(results))
    print("\n== converter targets")
    for r in results:
        csv = "CSV" in str(r["input"])
        goal = (TARGETS["convert_gz_rows_s"] if ".gz" in str(r["input"]) else TARGETS["convert_rows_s"]) if csv else None
        marks = []
        if goal is not None:
            marks.append(f"{'ok  ' if r['rows_per_s'] >= goal else 'MISS'} >= {goal / 1e6:.1f}M rows/s "
                         f"({r['rows_per_s'] / 1e6:.2f}M)")
        marks.append(f"{'ok  ' if r['peak_mb'] < TARGETS['convert_peak_mb'] else 'MISS'} peak < "
                     f"{TARGETS['convert_peak_mb']} MB ({r['peak_mb']:.0f} MB)")
        print(f"  {r['input']} -> {r['output']}: " + "; ".join(marks))
    return results


if __name__ == "__main__":
    sys.exit(main())
