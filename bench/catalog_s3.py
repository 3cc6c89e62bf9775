#!/usr/bin/env python3
"""A catalog in an S3 bucket against the same catalog in a local folder, side by side in one run.

Usage: catalog_s3.py [--market FILE] [--trades 300000] [--rounds 3] [--skip-cluster]

The bucket is moto's S3 server started here as a process of its own on 127.0.0.1 (loopback, so
the figures show the cost of the object-store road, not of a network). Measures:

1. `Session.load_catalog` of one day: the real-density market (a dataset file, converted into the
   catalog first; default the 1 h file of /work/bench-data when present, else a generated day),
   from the bucket and from the folder, best of ROUNDS each, rounds interleaved;
2. `batch` of 2 symbols x 3 generated days on a 2-worker Dask LocalCluster, bucket to bucket and
   folder to folder, best of ROUNDS each (a fresh output each time); the tables read back must be
   identical.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(ROOT / "tests" / "python" / "package"))

from batch_catalog import generated_day, write_day  # noqa: E402

DEFAULT_MARKET = pathlib.Path("/work/bench-data/btcusdt-real-density-1h.dataset.json")
EXCHANGE = "bench"
SYMBOLS = ("AAAUSDT", "BBBUSDT")
DAYS = ("2024-03-01", "2024-03-02", "2024-03-03")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def start_server() -> tuple[subprocess.Popen[bytes], str]:
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return server, f"http://127.0.0.1:{port}"
        except OSError:
            time.sleep(0.1)
    server.kill()
    raise SystemExit("the S3 server did not start")


def copy_tree(local: pathlib.Path, url: str) -> None:
    from korvel_vorn.storage import open_store

    store = open_store(url)
    for path in sorted(local.rglob("*")):
        if path.is_file() and not path.name.startswith("."):
            store.write_bytes(path.relative_to(local).as_posix(), path.read_bytes())


def best_of(fn: Any, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - started)
    return best


def bench_load(scratch: pathlib.Path, bucket: str, market: pathlib.Path | None, rounds: int) -> None:
    from korvel_vorn import Session
    from korvel_vorn.catalog import days
    from korvel_vorn.catalog.read import read_span
    from korvel_vorn.catalog.write import write_lists
    from korvel_vorn.cli import main

    local = scratch / "load-catalog"
    if market is not None:
        if main(["convert", str(market), "--catalog", str(local), "--exchange", EXCHANGE, "--symbol", "BTCUSDT"]):
            raise SystemExit(f"cannot convert {market}")
        what = market.name
    else:
        write_lists(local, EXCHANGE, "BTCUSDT", generated_day("2024-03-01", trades=1_000_000), [])
        what = "a generated day (1M trades)"
    url = f"s3://{bucket}/load-catalog"
    copy_tree(local, url)
    held = days(local, EXCHANGE, "BTCUSDT")
    # The day with the most records.
    day = max(held, key=lambda d: sum(len(c["ts"]) for c in read_span(local, EXCHANGE, "BTCUSDT",
                                                                      *_day_span(d)).values()))
    start, end = _day_span(day)
    counts = {}

    def load(root: str) -> None:
        counts[root] = Session().load_catalog(root, exchange=EXCHANGE, symbol="BTCUSDT", start=start, end=end)

    local_s, bucket_s = float("inf"), float("inf")
    for _ in range(rounds):
        local_s = min(local_s, best_of(lambda: load(str(local)), 1))
        bucket_s = min(bucket_s, best_of(lambda: load(url), 1))
    assert counts[str(local)] == counts[url]
    size = sum(p.stat().st_size for p in local.rglob("*.parquet") if f"date={day}" in str(p))
    print(f"load_catalog of {day} of {what}: {counts[url]} records, {size / 1e6:.1f} MB of Parquet")
    print(f"  local folder {local_s:.3f} s, bucket {bucket_s:.3f} s: bucket/local {bucket_s / local_s:.2f}x "
          "(target at most 1.5x)")


def _day_span(day: str) -> tuple[int, int]:
    from korvel_vorn.catalog.layout import DAY_MS, day_start_ms

    return day_start_ms(day), day_start_ms(day) + DAY_MS


def bench_batch(scratch: pathlib.Path, bucket: str, trades: int, rounds: int) -> None:
    from korvel_vorn import batch

    local = scratch / "batch-catalog"
    for s, symbol in enumerate(SYMBOLS):
        for d, day in enumerate(DAYS):
            write_day(str(local), EXCHANGE, symbol, day, generated_day(day, seed=10 * s + d, trades=trades))
    url = f"s3://{bucket}/batch-catalog"
    copy_tree(local, url)
    client = batch.local_cluster(2)
    try:
        client.run(lambda: __import__("korvel_vorn.batch"))  # workers warm: imports outside the timings
        outs: dict[str, str] = {}

        def run(catalog: str, out: str) -> None:
            report = batch.run(batch.plan(catalog, EXCHANGE, SYMBOLS, DAYS[0], DAYS[-1]), out, client, progress=False)
            assert report.ok, [r["error"] for r in report.failed]
            outs[catalog] = out

        local_s, bucket_s = float("inf"), float("inf")
        for k in range(rounds):
            local_s = min(local_s, best_of(lambda k=k: run(str(local), str(scratch / f"out-{k}")), 1))
            bucket_s = min(bucket_s, best_of(lambda k=k: run(url, f"s3://{bucket}/out-{k}"), 1))
    finally:
        cluster = client.cluster
        client.close()
        cluster.close()
    identical = all(batch.read(outs[str(local)], t, form="pandas").equals(batch.read(outs[url], t, form="pandas"))
                    for t in batch.TABLES)
    print(f"batch of {len(SYMBOLS)} symbols x {len(DAYS)} days ({trades} trades a day) on a 2-worker LocalCluster: "
          f"tables identical: {identical}")
    print(f"  folder to folder {local_s:.2f} s, bucket to bucket {bucket_s:.2f} s: bucket/local "
          f"{bucket_s / local_s:.2f}x (target at most 1.5x)")
    if not identical:
        raise SystemExit("the bucket's tables differ from the folder's")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--market", type=pathlib.Path, default=DEFAULT_MARKET if DEFAULT_MARKET.exists() else None,
                        help="a dataset file for the load benchmark (default: the 1 h real-density market)")
    parser.add_argument("--trades", type=int, default=300_000, help="trades per generated batch day")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-cluster", action="store_true", help="the load benchmark only")
    args = parser.parse_args()
    server, endpoint = start_server()
    os.environ.update({"AWS_ACCESS_KEY_ID": "bench", "AWS_SECRET_ACCESS_KEY": "bench-secret",
                       "AWS_REGION": "us-east-1", "AWS_ENDPOINT_URL": endpoint, "KORVEL_VORN_LOCK_SETTLE": "0.2"})
    try:
        import boto3

        bucket = "vorn-bench"
        boto3.client("s3", endpoint_url=endpoint).create_bucket(Bucket=bucket)
        with tempfile.TemporaryDirectory(prefix="catalog-s3-") as folder:
            scratch = pathlib.Path(folder)
            bench_load(scratch, bucket, args.market, args.rounds)
            if not args.skip_cluster:
                bench_batch(scratch, bucket, args.trades, args.rounds)
    finally:
        server.terminate()
        server.wait(10)
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} (1, 5, 15 min)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
