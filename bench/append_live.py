#!/usr/bin/env python3
"""Live replay costs, measured side by side.

- append: a 24 h generated market (the `day` preset of generate_market.py) is loaded; then, taking
  turns, (a) 1,000 records (trades and book diffs at and after the last ts) are appended with
  `Session.append_columns` and the frame of the hour before the new last moment is computed
  (`frame_arrays`, four panels, 1 s heatmap buckets, 40 levels), and (b) the same frame is
  computed without an append. Both include the "set_spec" that moves the hour.
- recorder: `python -m korvel_vorn record binance-um` against a loopback stand-in that sends
  combined-stream messages at `--rate` messages a second (20 times a busy BTCUSDT hour, see
  `--busy-hour`), for `--seconds`; the recorder's CPU time and resident memory are sampled from
  /proc every second, and the lines it wrote are counted against the messages sent.

Usage: PYTHONPATH=python:build/dev/python .venv/bin/python bench/append_live.py [--seconds 600]
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from typing import Any

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
HOUR_MS = 3_600_000


def spec_for(cursor: int) -> dict[str, Any]:
    return {"dataset_ref": "day", "symbol": "BTCUSDT", "from_ts": cursor - HOUR_MS, "to_ts": None, "panels": [
        {"kind": "footprint", "price_bin": 1.0, "bucket_ms": 60000},
        {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 1000, "depth_levels": 40},
        {"kind": "liquidation_map", "price_bin": 10.0},
        {"kind": "funding_oi_divergence", "bucket_ms": 60000}]}


def appended_records(last_ts: int, rng: np.random.Generator, n: int = 1000) -> dict[str, dict[str, np.ndarray]]:
    """`n` records after `last_ts`: 80% trades, 20% book diffs of 3 levels a side."""
    trades = int(n * 0.8)
    diffs = n - trades
    ts = np.sort(rng.integers(last_ts, last_ts + 1000, trades)).astype(np.int64)
    book_ts = np.sort(rng.integers(last_ts, last_ts + 1000, diffs)).astype(np.int64)
    mid = 62000.0
    return {
        "trades": {"ts": ts, "price": mid + rng.integers(-20, 20, trades) / 10, "qty": rng.integers(1, 500, trades) / 1000,
                   "side": rng.integers(0, 2, trades).astype(np.uint8)},
        "book": {"ts": book_ts, "kind": np.ones(diffs, np.uint8), "bid_count": np.full(diffs, 3, np.int64),
                 "ask_count": np.full(diffs, 3, np.int64),
                 "bid_price": mid - 0.1 - rng.integers(0, 50, 3 * diffs) / 10, "bid_qty": rng.integers(0, 900, 3 * diffs) / 1000,
                 "ask_price": mid + rng.integers(0, 50, 3 * diffs) / 10, "ask_qty": rng.integers(0, 900, 3 * diffs) / 1000},
    }


def bench_append(reps: int, seed: int, cache: pathlib.Path) -> dict[str, Any]:
    import generate_market
    import korvel_vorn as kv

    cache.mkdir(parents=True, exist_ok=True)
    path = cache / f"day-seed{seed}-append.load.json"
    if not path.exists():
        generate_market.write("day", seed, path)
    session = kv.Session(spec_for(0))
    reply = json.loads(session.engine.command_utf8(path.read_bytes()))
    assert reply.get("ok"), reply
    rng = np.random.default_rng(seed)
    with_append: list[float] = []
    without: list[float] = []
    for rep in range(reps + 3):
        last = session.bounds()["to_ts"]
        records = appended_records(last, rng)
        start = time.perf_counter()
        session.append_columns(**records)
        new_last = session.bounds()["to_ts"]
        session.set_spec(spec_for(new_last))
        session.frame_arrays()
        appended = time.perf_counter() - start
        start = time.perf_counter()
        session.set_spec(spec_for(new_last))
        session.frame_arrays()
        plain = time.perf_counter() - start
        if rep >= 3:  # warm-up
            with_append.append(appended)
            without.append(plain)
    records = session.bounds()["count"]
    return {"records": records, "append_frame_median_ms": statistics.median(with_append) * 1e3,
            "append_frame_p90_ms": float(np.percentile(with_append, 90)) * 1e3,
            "frame_median_ms": statistics.median(without) * 1e3,
            "ratio": statistics.median(with_append) / statistics.median(without)}


# ---- recorder throughput -------------------------------------------------------------------------

class Blaster:
    """A loopback stand-in sending depth and trade messages at a fixed rate to every client."""

    def __init__(self, rate: float) -> None:
        from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

        self.rate = rate
        self.sent = 0
        self.loop = asyncio.new_event_loop()
        self.port = 0
        self.ready = threading.Event()
        self.stop = threading.Event()
        self.u = 1000
        state = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                if "depth" in self.path:
                    body = {"lastUpdateId": state.u, "E": int(time.time() * 1000), "T": int(time.time() * 1000),
                            "bids": [[f"{62000 - i / 10:.1f}", "1.000"] for i in range(1, 1001)],
                            "asks": [[f"{62000 + i / 10:.1f}", "1.000"] for i in range(1000)]}
                else:
                    body = {"symbol": "BTCUSDT", "openInterest": "81234.567", "time": int(time.time() * 1000)}
                data = json.dumps(body).encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        self.http = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.http.serve_forever, daemon=True).start()
        threading.Thread(target=self._run, daemon=True).start()
        self.ready.wait(5)

    def _run(self) -> None:
        from websockets.asyncio.server import serve

        clients: dict[str, set[Any]] = {"public": set(), "market": set()}

        async def handler(ws: Any) -> None:
            route = ws.request.path.strip("/").split("/")[0]
            clients[route].add(ws)
            try:
                await ws.wait_closed()
            finally:
                clients[route].discard(ws)

        async def play() -> None:
            tick = 0.01
            per_tick = self.rate * tick
            owed = 0.0
            trade_id = 1
            next_tick = time.monotonic()
            while not self.stop.is_set():
                owed += per_tick
                ms = int(time.time() * 1000)
                while owed >= 1:
                    owed -= 1
                    if self.sent % 20 == 0:
                        first = self.u + 1
                        self.u += 3
                        text = ('{"stream":"btcusdt@depth@100ms","data":{"e":"depthUpdate","E":%d,"T":%d,"s":"BTCUSDT",'
                                '"U":%d,"u":%d,"pu":%d,"b":[["61999.9","1.234"],["61999.5","0.000"],["61998.0","2.500"]],'
                                '"a":[["62000.1","0.750"],["62001.0","3.000"]]}}' % (ms, ms, first, self.u, first - 1))
                        targets = clients["public"]
                    else:
                        trade_id += 1
                        text = ('{"stream":"btcusdt@aggTrade","data":{"e":"aggTrade","E":%d,"a":%d,"s":"BTCUSDT",'
                                '"p":"62000.10","q":"0.012","f":%d,"l":%d,"T":%d,"m":%s}}'
                                % (ms, trade_id, trade_id * 2, trade_id * 2, ms, "true" if trade_id % 3 else "false"))
                        targets = clients["market"]
                    for ws in list(targets):
                        with contextlib.suppress(Exception):  # a closed client
                            await ws.send(text)
                    if targets:
                        self.sent += 1
                next_tick += tick
                await asyncio.sleep(max(0.0, next_tick - time.monotonic()))

        async def main() -> None:
            server = await serve(handler, "127.0.0.1", 0, compression=None)
            self.port = server.sockets[0].getsockname()[1]
            self.ready.set()
            await play()
            server.close()

        self.loop.run_until_complete(main())


def proc_sample(pid: int) -> tuple[float, int]:
    """(CPU seconds, resident bytes) of a process, from /proc."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = (int(fields[11]) + int(fields[12])) / ticks
    rss = int(fields[21]) * os.sysconf("SC_PAGE_SIZE")
    return cpu, rss


def bench_recorder(rate: float, seconds: float) -> dict[str, Any]:
    blaster = Blaster(rate)
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, KORVEL_VORN_BINANCE_WS_URL=f"ws://127.0.0.1:{blaster.port}",
                   KORVEL_VORN_BINANCE_REST_URL=f"http://127.0.0.1:{blaster.http.server_address[1]}")
        process = subprocess.Popen([sys.executable, "-m", "korvel_vorn", "record", "binance-um", "BTCUSDT",
                                    "--out", folder, "--duration", str(seconds)], env=env)
        samples = []
        start = time.monotonic()
        sent_at_start = None
        while process.poll() is None:
            time.sleep(1.0)
            try:
                cpu, rss = proc_sample(process.pid)
            except (OSError, IndexError):
                break
            if rss > 0:  # (an exited process's last reading holds no memory)
                samples.append((time.monotonic() - start, cpu, rss, blaster.sent))
            if sent_at_start is None:
                sent_at_start = blaster.sent
        process.wait()
        blaster.stop.set()
        lines = 0
        lags = []
        for path in pathlib.Path(folder).rglob("*.jsonl.gz"):
            text = zlib.decompressobj(31).decompress(path.read_bytes())
            lines += text.count(b"\n")
            for line in text.split(b"\n")[:-1:97]:  # how late messages were received: a sample
                ns, _, message = line.partition(b" ")
                sent_ms = json.loads(message).get("data", {}).get("E")
                if isinstance(sent_ms, int):
                    lags.append(int(ns) / 1e6 - sent_ms)
    steady = [s for s in samples if s[0] >= 5]
    first, last = steady[0], steady[-1]
    cpu_share = (last[1] - first[1]) / (last[0] - first[0])
    rss = [s[2] for s in steady]
    return {"rate": rate, "seconds": seconds, "sent": blaster.sent, "lines": lines, "cpu_cores": cpu_share,
            "sent_rate": (last[3] - first[3]) / (last[0] - first[0]),
            "lag_p50_ms": float(np.percentile(lags, 50)), "lag_p99_ms": float(np.percentile(lags, 99)),
            "lag_max_ms": max(lags),
            "rss_first_mb": rss[0] / 2**20, "rss_last_mb": rss[-1] / 2**20, "rss_max_mb": max(rss) / 2**20,
            "rss_after_10s_mb": next((s[2] for s in steady if s[0] >= 10), rss[0]) / 2**20}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cache", type=pathlib.Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--busy-hour", type=float, default=1_000_000,
                        help="messages of BTCUSDT's busiest hour (depth at 100 ms, aggregate trades, mark price)")
    parser.add_argument("--times", type=float, default=20.0, help="multiple of the busy hour to send")
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the recorder run")
    parser.add_argument("--skip-append", action="store_true")
    parser.add_argument("--skip-recorder", action="store_true")
    args = parser.parse_args()
    if not args.skip_append:
        a = bench_append(args.reps, args.seed, args.cache)
        print(f"append  {a['records']} records loaded; 1,000 appended + next 1 h frame: median "
              f"{a['append_frame_median_ms']:.2f} ms (p90 {a['append_frame_p90_ms']:.2f}); the frame alone "
              f"{a['frame_median_ms']:.2f} ms; ratio {a['ratio']:.2f}")
    if not args.skip_recorder:
        rate = args.busy_hour * args.times / 3600
        r = bench_recorder(rate, args.seconds)
        print(f"record  {r['rate']:.0f} msg/s asked, {r['sent_rate']:.0f} msg/s sent, for {r['seconds']:.0f} s: "
              f"sent {r['sent']}, wrote {r['lines']} lines; "
              f"CPU {r['cpu_cores']:.2f} cores; RSS {r['rss_after_10s_mb']:.1f} MB at 10 s, {r['rss_last_mb']:.1f} MB "
              f"at the end (max {r['rss_max_mb']:.1f}); receive lag p50 {r['lag_p50_ms']:.1f} ms, p99 "
              f"{r['lag_p99_ms']:.1f} ms, max {r['lag_max_ms']:.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
