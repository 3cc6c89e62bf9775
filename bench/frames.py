#!/usr/bin/env python3
"""Frames while playing: per frame wall time, system time and minor page faults, side by side
with the module of another build (by default that of commit bdca8ef) in the same run.

On the real-density market (bench/real_density.py: a recorded BTCUSDT market repeated to fill a
day; the ready-made file in /work/bench-data by default, skipped when absent), one process per
module loads the day once and measures cold frames ("set_spec" then "frame_at": 1 h and 4 h
windows at 1 s heatmap buckets, 24 h at 10 s, cursors spread over the day), sliding playback from
the middle of the day (an hour's window, cursor and "from_ts" moved together by 100 ms and by 1 s:
median and p99, resident memory every 100 steps) and a growing window (1 s steps through the
array path, beside the same frames from scratch). Every reply, and the arrays of each cold frame,
is hashed at each measured cursor, and the hashes of the two modules are compared.

For each synthetic market (the presets of bench/generate_market.py, and "dense_day", a 24 h
market of 4.2M trades and 552k book events) it measures, in one fresh process per module and
measurement, processes alternated:

- sliding window: "set_spec" with all four panels (1 s heatmap buckets, 40 levels) and "from_ts"
  one window before the cursor, then "frame_at" at the cursor, through the JSON protocol
  (`_korvel_vorn.Vorn.command`), for 1 h and 24 h windows at cursors spread over the market;
- growing window (this build only: the array path): "from_ts" fixed at the market's start, the
  cursor moved one 1 s bucket per step through `_engine.Engine.frame` (what
  `Session.frame_arrays` calls), each frame's arrays held until the next one is computed; beside
  it the same frames computed from scratch ("set_spec" again before each: nothing carried).

System time and minor faults are the process's own (getrusage, all threads) over the frames.

Usage: frames.py [--presets hour,six_hours,dense_day] [--real FILE] [--real-steps 1000] [--module-dir build/dev/python]
                 [--baseline-dir DIR] [--frames 30] [--steps 60]
Build the baseline with: git worktree add /tmp/vorn-bdca8ef bdca8ef (or git archive), then
cmake -S /tmp/vorn-bdca8ef -B /tmp/vorn-bdca8ef/build -G Ninja -DCMAKE_BUILD_TYPE=Release
-DVORN_BUILD_TESTS=OFF && cmake --build /tmp/vorn-bdca8ef/build --target _korvel_vorn.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import resource
import statistics
import subprocess
import sys
import time
from typing import Any

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import generate_market  # noqa: E402

HOUR_MS = 3_600_000
SECOND_MS = 1_000

# The dense 24 h market: as many records as the busiest recorded day (4.2M trades, 552k book
# events, about 2.8M levels).
DENSE_DAY = generate_market.Preset("dense_day", 24 * HOUR_MS, 4_200_000, 550_000, 3_000, 100, 40_000)

TARGETS = {
    "sliding_24h_vs_baseline": 0.8,
    "sliding_1h_vs_baseline": 1.0,
    "system_share": 0.15,
    "step_p99_ms": 8.0,
    "growing_speedup": 10.0,
}


def market_path(preset: str, seed: int, cache: pathlib.Path) -> pathlib.Path:
    """The preset's load command text, generated once per generator version and kept in `cache`."""
    import hashlib

    version = hashlib.sha256((BENCH / "generate_market.py").read_bytes()).hexdigest()[:12]
    path = cache / f"{preset}-seed{seed}-{version}.load.json"
    if not path.exists():
        started = time.perf_counter()
        chosen = DENSE_DAY if preset == DENSE_DAY.name else preset
        tmp = path.with_suffix(".tmp")
        size = generate_market.write(chosen, seed, tmp)
        tmp.rename(path)
        print(f"  generated {preset}: {size / 1e6:.1f} MB in {time.perf_counter() - started:.1f} s", flush=True)
    return path


def spec(from_ts: int | None, price_bin: float) -> str:
    return json.dumps(
        {
            "cmd": "set_spec",
            "spec": {
                "dataset_ref": "bench",
                "symbol": generate_market.SYMBOL,
                "from_ts": from_ts,
                "to_ts": None,
                "panels": [
                    {"kind": "footprint", "price_bin": price_bin, "bucket_ms": 60000},
                    {"kind": "book_heatmap", "price_bin": price_bin, "bucket_ms": 1000, "depth_levels": 40},
                    {"kind": "liquidation_map", "price_bin": price_bin * 10},
                    {"kind": "funding_oi_divergence", "bucket_ms": 60000},
                ],
            },
        },
        separators=(",", ":"),
    )


def _usage() -> tuple[float, float, int]:
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return time.perf_counter(), ru.ru_stime, ru.ru_minflt


def _summary(walls: list[float], systems: list[float], faults: list[int]) -> dict[str, float]:
    ordered = sorted(walls)
    return {
        "median_ms": statistics.median(walls) * 1e3,
        "p99_ms": ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))] * 1e3,
        "max_ms": ordered[-1] * 1e3,
        "system_ms": statistics.median(systems) * 1e3,
        "system_share": sum(systems) / sum(walls) if sum(walls) > 0 else 0.0,
        "minor_faults": statistics.median(faults),
    }


# --- measurements, each in a process of its own ------------------------------------------------


def worker_sliding(module_dir: str, path: str, window_ms: int, frames: int, price_bin: float) -> dict[str, Any]:
    sys.path.insert(0, module_dir)
    import _korvel_vorn

    vorn = _korvel_vorn.Vorn("")
    reply = vorn.command(pathlib.Path(path).read_text())
    if '"ok":true' not in reply:
        return {"error": reply[:200]}
    bounds = json.loads(vorn.command('{"cmd":"bounds"}'))
    first, last = int(bounds["from_ts"]), int(bounds["to_ts"])
    # A window as long as the market slides over its last quarter (its start before the first record).
    start = first + window_ms if first + window_ms <= last else last - (last - first) // 4
    cursors = [start + (last - start) * i // max(frames - 1, 1) for i in range(frames)]
    for cursor in cursors[:2]:  # warm-up: worker pool, caches
        vorn.command(spec(cursor - window_ms, price_bin))
        vorn.command('{"cmd":"frame_at","ts":%d}' % cursor)
    walls, systems, faults = [], [], []
    for cursor in cursors:
        set_spec = spec(cursor - window_ms, price_bin)
        frame_at = '{"cmd":"frame_at","ts":%d}' % cursor
        wall0, sys0, flt0 = _usage()
        vorn.command(set_spec)
        reply = vorn.command(frame_at)
        wall1, sys1, flt1 = _usage()
        if not reply.startswith('{"symbol":'):
            return {"error": reply[:200]}
        del reply
        walls.append(wall1 - wall0)
        systems.append(sys1 - sys0)
        faults.append(flt1 - flt0)
    return _summary(walls, systems, faults)


def worker_growing(module_dir: str, path: str, window_ms: int, steps: int, price_bin: float) -> dict[str, Any]:
    sys.path.insert(0, module_dir)
    import _engine
    import numpy as np

    engine = _engine.Engine("")
    engine.command(pathlib.Path(path).read_text())
    bounds = json.loads(engine.command('{"cmd":"bounds"}'))
    first, last = int(bounds["from_ts"]), int(bounds["to_ts"])
    window_ms = min(window_ms, last - first)
    cursors = [first + window_ms - (steps - i) * SECOND_MS for i in range(steps + 1)]
    cursors = cursors[1:]
    playing_spec = spec(first, price_bin)
    engine.command(playing_spec)

    def frame(cursor: int) -> Any:
        _, _, panels = engine.frame(cursor)
        return [{key: np.asarray(value) if key != "kind" else value for key, value in p.items()} for p in panels]

    # The playback's first frame is computed from scratch and the second lays out what the next
    # ones continue (its rows over the wider grid): both before the measured steps.
    warm_up = (first + window_ms - (steps + 1) * SECOND_MS, first + window_ms - steps * SECOND_MS)
    held = [frame(cursor) for cursor in warm_up]
    walls, systems, faults = [], [], []
    for cursor in cursors:
        wall0, sys0, flt0 = _usage()
        current = frame(cursor)
        wall1, sys1, flt1 = _usage()
        walls.append(wall1 - wall0)
        systems.append(sys1 - sys0)
        faults.append(flt1 - flt0)
        held = current  # the caller holds the last frame's arrays while the next is computed
    del held
    steps_summary = _summary(walls, systems, faults)
    ordered = sorted(walls)
    steps_summary["p90_ms"] = ordered[int(0.9 * (len(ordered) - 1))] * 1e3

    # The same frames from scratch: a new "set_spec" drops whatever was carried.
    walls, systems, faults = [], [], []
    for cursor in cursors[:: max(1, steps // 10)]:
        engine.command(playing_spec)
        wall0, sys0, flt0 = _usage()
        current = frame(cursor)
        wall1, sys1, flt1 = _usage()
        del current
        walls.append(wall1 - wall0)
        systems.append(sys1 - sys0)
        faults.append(flt1 - flt0)
    return {"step": steps_summary, "scratch": _summary(walls, systems, faults), "window_ms": window_ms}


def run_worker(kind: str, module_dir: pathlib.Path, path: pathlib.Path, window_ms: int, count: int,
               price_bin: float) -> dict[str, Any]:
    command = [sys.executable, __file__, "--worker", kind, str(module_dir), str(path), str(window_ms), str(count),
               str(price_bin)]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return {"error": done.stderr.strip()[-300:]}
    result: dict[str, Any] = json.loads(done.stdout)
    return result


# --- the real-density market -------------------------------------------------------------------

REAL_DIR = pathlib.Path("/work/bench-data")
REAL_FILE = "btcusdt-real-density-24h.dataset.json"

# Cold frames: (label, window, heatmap bucket).
REAL_COLD = [("1 h at 1 s", HOUR_MS, 1000), ("4 h at 1 s", 4 * HOUR_MS, 1000), ("24 h at 10 s", 24 * HOUR_MS, 10_000)]
REAL_TARGETS = {"1 h at 1 s": 8.0, "4 h at 1 s": 10.0, "24 h at 10 s": 7.0, "sliding_speedup": 30.0,
                "sliding_p99_ms": 10.0}


def real_spec(from_ts: int | None, bucket_ms: int) -> str:
    """The four panels of `spec` with a heatmap bucket of `bucket_ms`."""
    text = json.loads(spec(from_ts, 1.0))
    text["spec"]["symbol"] = "BTCUSDT"
    text["spec"]["panels"][1]["bucket_ms"] = bucket_ms
    return json.dumps(text, separators=(",", ":"))


def _digest(reply: str) -> str:
    import hashlib

    return hashlib.sha256(reply.encode()).hexdigest()[:16]


def _arrays_digest(panels: Any) -> str:
    import hashlib

    import numpy as np

    h = hashlib.sha256()
    for panel in panels:
        for key in sorted(panel):
            value = panel[key]
            h.update(key.encode())
            h.update(np.ascontiguousarray(np.asarray(value)).tobytes() if key != "kind" else str(value).encode())
    return h.hexdigest()[:16]


def _rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 1e6


def worker_real(module_dir: str, path: str, frames: int, steps: int) -> dict[str, Any]:
    """Every real-density measurement of one module in one process (the dataset loaded once)."""
    sys.path.insert(0, module_dir)
    import _engine

    engine = _engine.Engine("")
    started = time.perf_counter()
    reply, _ = engine.load_file(path)
    if '"ok":true' not in reply:
        return {"error": reply[:200]}
    result: dict[str, Any] = {"load_s": time.perf_counter() - started, "rss_loaded_mb": _rss_mb()}
    bounds = json.loads(engine.command('{"cmd":"bounds"}'))
    first, last = int(bounds["from_ts"]), int(bounds["to_ts"])

    def measured(set_spec: str, cursor: int, digests: list[str] | None) -> tuple[float, float, int]:
        wall0, sys0, flt0 = _usage()
        engine.command(set_spec)
        reply = engine.command('{"cmd":"frame_at","ts":%d}' % cursor)
        wall1, sys1, flt1 = _usage()
        if not reply.startswith('{"symbol":'):
            raise RuntimeError(reply[:200])
        if digests is not None:
            digests.append(_digest(reply))
        return wall1 - wall0, sys1 - sys0, flt1 - flt0

    for label, window, bucket in REAL_COLD:
        span = min(window, last - first)
        cursors = [first + span + (last - first - span) * i // max(frames - 1, 1) for i in range(frames)]
        walls, systems, faults, digests = [], [], [], []
        for cursor in cursors:
            wall, system, fault = measured(real_spec(cursor - window, bucket), cursor, digests)
            walls.append(wall), systems.append(system), faults.append(fault)
            # The array path at the same cursor, checked but not timed.
            _, _, panels = engine.frame(cursor)
            digests.append(_arrays_digest(panels))
        result[f"cold {label}"] = {**_summary(walls, systems, faults), "digests": digests}

    # Sliding playback from the middle of the day: cursor and window start moved together.
    middle = first + (last - first) // 2
    for step in (100, SECOND_MS):
        walls, systems, faults, digests = [], [], [], []
        rss = [_rss_mb()]
        for i in range(steps):
            cursor = middle + i * step
            wall, system, fault = measured(real_spec(cursor - HOUR_MS, 1000), cursor, digests if i % 10 == 0 else None)
            walls.append(wall), systems.append(system), faults.append(fault)
            if i % 100 == 99:
                rss.append(_rss_mb())
        result[f"sliding {step} ms"] = {**_summary(walls, systems, faults), "digests": digests, "rss_mb": rss}

    # A growing window: the start fixed an hour before the middle, the cursor one 1 s bucket a step
    # through the array path; beside it the same frames from scratch.
    grow_spec = real_spec(middle - HOUR_MS, 1000)
    engine.command(grow_spec)
    for cursor in (middle - 2 * SECOND_MS, middle - SECOND_MS):
        engine.frame(cursor)
    walls, systems, faults = [], [], []
    cursors = [middle + i * SECOND_MS for i in range(min(steps, 120))]
    for cursor in cursors:
        wall0, sys0, flt0 = _usage()
        engine.frame(cursor)
        wall1, sys1, flt1 = _usage()
        walls.append(wall1 - wall0), systems.append(sys1 - sys0), faults.append(flt1 - flt0)
    growing = _summary(walls, systems, faults)
    growing["p90_ms"] = sorted(walls)[int(0.9 * (len(walls) - 1))] * 1e3
    walls, systems, faults = [], [], []
    for cursor in cursors[:: max(1, len(cursors) // 10)]:
        engine.command(grow_spec)
        wall0, sys0, flt0 = _usage()
        engine.frame(cursor)
        wall1, sys1, flt1 = _usage()
        walls.append(wall1 - wall0), systems.append(sys1 - sys0), faults.append(flt1 - flt0)
    result["growing step"] = growing
    result["growing scratch"] = _summary(walls, systems, faults)
    result["rss_end_mb"] = _rss_mb()
    return result


def run_real(modules: list[tuple[str, pathlib.Path]], path: pathlib.Path, frames: int, steps: dict[str, int],
             checks: list[tuple[str, float, float]]) -> None:
    print(f"\n== real density: {path.name}, {path.stat().st_size / 1e6:.0f} MB of dataset JSON", flush=True)
    runs: dict[str, dict[str, Any]] = {}
    for name, directory in modules:
        command = [sys.executable, __file__, "--real-worker", str(directory), str(path), str(frames), str(steps[name])]
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        runs[name] = json.loads(done.stdout) if done.returncode == 0 else {"error": done.stderr.strip()[-300:]}
        if "error" in runs[name]:
            print(f"    {name}: {runs[name]['error']}", flush=True)
        else:
            print(f"    {name}: loaded in {runs[name]['load_s']:.1f} s, {runs[name]['rss_loaded_mb']:.0f} MB resident",
                  flush=True)
    mine, base = runs.get("this build", {}), runs.get("baseline", {})
    if "error" in mine:
        return
    for key in [f"cold {label}" for label, _, _ in REAL_COLD] + ["sliding 100 ms", "sliding 1000 ms"]:
        print(_line(f"{key}, this build", mine[key]))
        if base and "error" not in base:
            print(_line(f"{key}, baseline", base[key]))
            ratio = base[key]["median_ms"] / mine[key]["median_ms"]
            # Sliding digests are taken every 10th step: the baseline's steps are a prefix of ours.
            theirs = base[key]["digests"]
            same = mine[key]["digests"][: len(theirs)] == theirs
            print(f"    baseline / this build: {ratio:.1f}x; replies and arrays identical: {same}")
            checks.append((f"real {key}: replies identical to the baseline", 0.0 if same else 1.0, 0.0))
            target = REAL_TARGETS.get(key[5:], REAL_TARGETS["sliding_speedup"])
            checks.append((f"real {key}: baseline / this build >= {target:g}x", target, ratio))
        if key.startswith("sliding"):
            checks.append((f"real {key}: p99 <= 10 ms", mine[key]["p99_ms"], REAL_TARGETS["sliding_p99_ms"]))
            rss = mine[key]["rss_mb"]
            print(f"    resident memory over {len(rss) * 100 - 100} steps: " + ", ".join(f"{r:.0f}" for r in rss) + " MB")
        checks.append((f"real {key}: system share <= 15%", mine[key]["system_share"], TARGETS["system_share"]))
    print(_line("growing 1 s step, this build", mine["growing step"]))
    print(_line("growing from scratch, this build", mine["growing scratch"]))
    speedup = mine["growing scratch"]["median_ms"] / mine["growing step"]["p90_ms"]
    print(f"    from scratch median / step p90: {speedup:.1f}x")
    checks.append(("real growing: scratch / step p90 >= 10x", TARGETS["growing_speedup"], speedup))


# --- the run ------------------------------------------------------------------------------------


def _line(name: str, r: dict[str, Any]) -> str:
    if "error" in r:
        return f"    {name}: {r['error']}"
    return (f"    {name}: median {r['median_ms']:.2f} ms, p99 {r['p99_ms']:.2f} ms, system {r['system_ms']:.2f} ms "
            f"({100 * r['system_share']:.0f}%), minor faults {r['minor_faults']:.0f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--presets", default="hour,six_hours,dense_day")
    parser.add_argument("--module-dir", type=pathlib.Path, default=ROOT / "build" / "dev" / "python")
    parser.add_argument("--baseline-dir", type=pathlib.Path, default=None)
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--steps", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=2, help="alternations of the two modules")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cache", type=pathlib.Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--real", type=pathlib.Path, default=REAL_DIR / REAL_FILE,
                        help="the real-density market (bench/real_density.py's dataset JSON); skipped when absent")
    parser.add_argument("--real-frames", type=int, default=8, help="cold frames per window, cursors over the day")
    parser.add_argument("--real-steps", type=int, default=1000, help="sliding steps of this build")
    parser.add_argument("--baseline-steps", type=int, default=60, help="sliding steps of the baseline")
    parser.add_argument("--worker", nargs=6, help=argparse.SUPPRESS)
    parser.add_argument("--real-worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.real_worker:
        module_dir, path, frames, steps = args.real_worker
        print(json.dumps(worker_real(module_dir, path, int(frames), int(steps))))
        return 0
    if args.worker:
        kind, module_dir, path, window, count, price_bin = args.worker
        work = worker_sliding if kind == "sliding" else worker_growing
        print(json.dumps(work(module_dir, path, int(window), int(count), float(price_bin))))
        return 0

    args.cache.mkdir(parents=True, exist_ok=True)
    price_bin = 1.0  # a few ticks near 62000, as bench/run.py chooses
    checks: list[tuple[str, float, float]] = []
    modules = [("this build", args.module_dir.resolve())]
    if args.baseline_dir is not None:
        modules.append(("baseline", args.baseline_dir.resolve()))
    if args.real.exists():
        steps = {"this build": args.real_steps, "baseline": args.baseline_steps}
        run_real(modules, args.real, args.real_frames, steps, checks)
    else:
        print(f"\n== real density: {args.real} absent, skipped")
    for preset in [p for p in args.presets.split(",") if p]:
        path = market_path(preset, args.seed, args.cache)
        print(f"\n== {preset}: {path.stat().st_size / 1e6:.1f} MB of command text", flush=True)
        windows = [HOUR_MS] + ([24 * HOUR_MS] if preset in ("day", DENSE_DAY.name) else [])
        for window in windows:
            label = f"{window // HOUR_MS} h"
            runs: dict[str, list[dict[str, Any]]] = {name: [] for name, _ in modules}
            for _ in range(args.rounds):
                for name, directory in modules:
                    runs[name].append(run_worker("sliding", directory, path, window, args.frames, price_bin))
            merged = {}
            for name, results in runs.items():
                good = [r for r in results if "error" not in r]
                merged[name] = min(good, key=lambda r: r["median_ms"]) if good else results[0]
                print(_line(f"sliding {label} window, {name}", merged[name]), flush=True)
            mine = merged["this build"]
            if "error" not in mine:
                checks.append((f"{preset} sliding {label}: system share <= 15%", mine["system_share"],
                               TARGETS["system_share"]))
                if preset == "six_hours" and window == HOUR_MS:
                    checks.append((f"{preset} replay step p99 < 8 ms", mine["p99_ms"], TARGETS["step_p99_ms"]))
                base = merged.get("baseline")
                if base and "error" not in base:
                    ratio = mine["median_ms"] / base["median_ms"]
                    target = TARGETS["sliding_24h_vs_baseline" if window > HOUR_MS else "sliding_1h_vs_baseline"]
                    print(f"    this build / baseline: {ratio:.2f}x (target <= {target}x)")
                    if preset == DENSE_DAY.name:
                        checks.append((f"{preset} sliding {label} vs baseline", ratio, target))
        growing = run_worker("growing", args.module_dir.resolve(), path, 24 * HOUR_MS, args.steps, price_bin)
        if "error" in growing:
            print(f"    growing window: {growing['error']}")
            continue
        span = f"{growing['window_ms'] / HOUR_MS:.0f} h"
        print(_line(f"growing {span} window, one 1 s step", growing["step"]))
        print(_line(f"growing {span} window, from scratch", growing["scratch"]))
        scratch_ms = growing["scratch"]["median_ms"]
        speedup = scratch_ms / growing["step"]["p99_ms"]
        print(f"    from scratch median / step: median {scratch_ms / growing['step']['median_ms']:.0f}x, "
              f"p90 {scratch_ms / growing['step']['p90_ms']:.1f}x, p99 {speedup:.1f}x, "
              f"max {scratch_ms / growing['step']['max_ms']:.1f}x", flush=True)
        checks.append((f"{preset} growing {span}: scratch / step p99 >= 10x", TARGETS["growing_speedup"], speedup))

    print("\n== targets (value, bound: a check holds when the first is at most the second)")
    for name, value, bound in checks:
        print(f"  {'met ' if value <= bound else 'MISS'} {name}: {value:.3g} vs {bound:.3g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
