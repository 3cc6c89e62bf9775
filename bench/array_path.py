"""The array path in the benchmark: loads by file, columns and `.npz`, and frames as arrays, each
timed side by side with the JSON protocol doing the same work.

- file: `Session.load_file` of the dataset JSON file against reading the load command into a str
  and `Vorn.command` on it (both inside the timing);
- columns: `Session.load_columns` of the records as NumPy columns against `Vorn.command` of the
  same records as JSON text built beforehand;
- npz: `Session.load_file` of an uncompressed `.npz` of those columns against the JSON file;
- frames: at every cursor, "set_spec" then the frame through `Session.frame_arrays`,
  `Vorn.command('{"cmd":"frame_at",...}')` and `Session.frame_at`, taking turns, and the footprint
  clusters of the same one-hour window in one-minute buckets (`Session.clusters`);
- concurrency: how often a Python thread that sleeps 1 ms ticks while the JSON file loads.
"""

from __future__ import annotations

import gc
import json
import pathlib
import statistics
import threading
import time
from typing import Any

import numpy as np

CODES = {"buy": 0, "sell": 1, "long": 0, "short": 1, "snapshot": 0, "diff": 1}


def dataset_columns(dataset: dict[str, Any]) -> dict[str, dict[str, np.ndarray]]:
    """The columns of a decoded dataset (records in the object form), in record order."""

    def flat(records: list[dict[str, Any]], fields: tuple[str, ...]) -> dict[str, np.ndarray]:
        out = {"ts": np.array([r["ts"] for r in records], dtype=np.int64)}
        for f in fields:
            if f == "side":
                out[f] = np.array([CODES[r[f]] for r in records], dtype=np.uint8)
            else:
                out[f] = np.array([r[f] for r in records], dtype=np.float64)
        return out

    book = dataset.get("book", [])
    bids = [lv for e in book for lv in e["bids"]]
    asks = [lv for e in book for lv in e["asks"]]
    return {
        "candles": flat(dataset.get("candles", []), ("open", "high", "low", "close", "volume")),
        "trades": flat(dataset.get("trades", []), ("price", "qty", "side")),
        "book": {
            "ts": np.array([e["ts"] for e in book], dtype=np.int64),
            "kind": np.array([CODES[e["kind"]] for e in book], dtype=np.uint8),
            "bid_count": np.array([len(e["bids"]) for e in book], dtype=np.int64),
            "ask_count": np.array([len(e["asks"]) for e in book], dtype=np.int64),
            "bid_price": np.array([lv[0] for lv in bids], dtype=np.float64),
            "bid_qty": np.array([lv[1] for lv in bids], dtype=np.float64),
            "ask_price": np.array([lv[0] for lv in asks], dtype=np.float64),
            "ask_qty": np.array([lv[1] for lv in asks], dtype=np.float64),
        },
        "funding": flat(dataset.get("funding", []), ("rate",)),
        "oi": flat(dataset.get("oi", []), ("oi",)),
        "liquidations": flat(dataset.get("liquidations", []), ("price", "qty", "side")),
    }


def write_dataset_file(command_path: pathlib.Path, out: pathlib.Path) -> None:
    """The dataset file of a load command file: the value of its "dataset" member."""
    data = command_path.read_bytes()
    head = b'{"cmd":"load","dataset":'
    assert data.startswith(head) and data.rstrip().endswith(b"}")
    out.write_bytes(data[len(head):data.rstrip().rfind(b"}")])


def bench_loads(kv: Any, command_path: pathlib.Path, text: str, columns: dict[str, Any], scratch: pathlib.Path,
                time_interleaved: Any, rounds: int) -> dict[str, Any]:
    dataset_path = scratch / "bench.dataset.json"
    write_dataset_file(command_path, dataset_path)
    npz_path = scratch / "bench.npz"
    kv.columns.write_npz(npz_path, columns)
    holder: list[Any] = []

    def fresh(make):
        def call():
            holder.clear()
            gc.collect()
            target = make()
            started = time.perf_counter()
            result = target()
            seconds = time.perf_counter() - started
            holder.append(result)
            return seconds
        return call

    def vorn_file():
        vorn = kv.Vorn("")
        return lambda: (vorn, vorn.command(command_path.read_bytes().decode("utf-8")))

    def vorn_text():
        vorn = kv.Vorn("")
        return lambda: (vorn, vorn.command(text))

    def session_file(path):
        def make():
            session = kv.Session()
            return lambda: (session, session.load_file(path))
        return make

    def session_columns():
        session = kv.Session()
        return lambda: (session, session.load_columns(**columns))

    contenders = {
        "vorn_file": fresh(vorn_file),
        "session_file": fresh(session_file(dataset_path)),
        "vorn_text": fresh(vorn_text),
        "session_columns": fresh(session_columns),
        "session_npz": fresh(session_file(npz_path)),
    }
    seconds = time_interleaved(contenders, rounds)
    holder.clear()
    gc.collect()
    return {
        "file_s": seconds["session_file"], "vorn_file_s": seconds["vorn_file"],
        "file_vs_vorn": seconds["session_file"] / seconds["vorn_file"],
        "columns_s": seconds["session_columns"], "vorn_text_s": seconds["vorn_text"],
        "columns_speedup": seconds["vorn_text"] / seconds["session_columns"],
        "npz_s": seconds["session_npz"], "npz_speedup": seconds["session_file"] / seconds["session_npz"],
        "dataset_path": str(dataset_path),
    }


def ticks_during_load(kv: Any, dataset_path: str) -> dict[str, Any]:
    """How often a thread that sleeps 1 ms ran while `Session.load_file` read the file."""
    ticks: list[float] = []
    stop = threading.Event()

    def ticker() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.02)
    session = kv.Session()
    started = time.perf_counter()
    session.load_file(dataset_path)
    ended = time.perf_counter()
    stop.set()
    thread.join()
    during = sum(1 for t in ticks if started < t < ended)
    return {"load_s": ended - started, "ticks": during}


def bench_array_frames(kv: Any, session: Any, vorn: Any, specs: list[dict[str, Any]], cursors: list[int],
                       percentile: Any) -> dict[str, Any]:
    set_specs = [json.dumps({"cmd": "set_spec", "spec": s}, separators=(",", ":")) for s in specs]
    for text, cursor in list(zip(set_specs, cursors))[:3]:  # warm-up
        session.engine.command(text)
        session.frame_arrays(cursor)
        session.frame_at(cursor)
    arrays, json_frames, session_frames, steps, clusters = [], [], [], [], []
    for text, cursor in zip(set_specs, cursors):
        frame_at = '{"cmd":"frame_at","ts":%d}' % cursor
        vorn.command(text)
        started = time.perf_counter()
        reply = vorn.command(frame_at)
        json_frames.append(time.perf_counter() - started)
        del reply
        started = time.perf_counter()
        session.engine.command(text)
        after_spec = time.perf_counter()
        frame = session.frame_arrays(cursor)
        ended = time.perf_counter()
        arrays.append(ended - after_spec)
        steps.append(ended - started)
        del frame
        started = time.perf_counter()
        frame = session.frame_at(cursor)
        session_frames.append(time.perf_counter() - started)
        del frame
        footprint = next(p for p in specs[0]["panels"] if p["kind"] == "footprint")
        started = time.perf_counter()
        cells = session.clusters(cursor, price_bin=footprint["price_bin"], bucket_ms=60_000)
        clusters.append(time.perf_counter() - started)
        del cells
    median = statistics.median
    return {
        "arrays_median_ms": median(arrays) * 1e3,
        "vorn_frame_median_ms": median(json_frames) * 1e3,
        "session_frame_median_ms": median(session_frames) * 1e3,
        "arrays_vs_vorn": median(arrays) / median(json_frames),
        "arrays_vs_session": median(session_frames) / median(arrays),
        "step_median_ms": median(steps) * 1e3,
        "step_p99_ms": percentile(steps, 99) * 1e3,
        "clusters_median_ms": median(clusters) * 1e3,
        "clusters_p99_ms": percentile(clusters, 99) * 1e3,
    }


def bench_long_window(session: Any, spec: dict[str, Any], cursor: int, reps: int, percentile: Any) -> dict[str, Any]:
    """"set_spec" once, then `frame_arrays` at one cursor `reps` times: a long window replayed whole
    every frame (the viewer seeking over a day), each result dropped before the next."""
    session.engine.command(json.dumps({"cmd": "set_spec", "spec": spec}, separators=(",", ":")))
    session.frame_arrays(cursor)  # warm-up
    times = []
    for _ in range(reps):
        started = time.perf_counter()
        frame = session.frame_arrays(cursor)
        times.append(time.perf_counter() - started)
        del frame
    return {"window_median_ms": statistics.median(times) * 1e3, "window_p90_ms": percentile(times, 90) * 1e3}

