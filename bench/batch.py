#!/usr/bin/env python3
"""Benchmark of `korvel_vorn.batch` over the generated 24 h market (the `day` preset).

The day is written into a scratch catalog (parquet, the catalog's layout) as eight consecutive UTC
days (the same records shifted by whole days). Measured side by side:

1. one job (bars, footprint and book of one day) against pyarrow reading that day's partitions;
2. eight days on 1 and on 2 workers, in the thread mode and on a Dask LocalCluster of processes;
3. the peak memory of a worker (the largest peak RSS a job reports);
4. the driver's memory running 50 and 500 jobs (small days) on a LocalCluster;
5. the time a year of 100 symbols would take on N cores, from the measured time per job.

Usage: bench/batch.py [--scratch DIR] [--days 8] [--skip-cluster]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import sys
import tempfile
import threading
import time
from typing import Any

import numpy as np

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(ROOT / "tests" / "python" / "package"))

from batch_catalog import generated_day, write_day  # noqa: E402

import array_path  # noqa: E402
import generate_market  # noqa: E402

EXCHANGE = "generated"
SYMBOL = generate_market.SYMBOL
DAY_MS = 86_400_000
FIRST_DAY = "2024-03-01"  # the generator's start


def day_name(k: int) -> str:
    return (np.datetime64(FIRST_DAY) + np.timedelta64(k, "D")).astype(str)


def shifted(lists: dict[str, dict[str, np.ndarray]], k: int) -> dict[str, dict[str, np.ndarray]]:
    return {name: {f: (v + k * DAY_MS if f == "ts" else v) for f, v in cols.items()} for name, cols in lists.items()}


def build_catalog(root: pathlib.Path, days: int) -> None:
    import orjson

    started = time.perf_counter()
    text = generate_market.generate("day", 1)
    dataset = orjson.loads(text[len('{"cmd":"load","dataset":'):-1])
    del text
    lists = array_path.dataset_columns(dataset)
    del dataset
    for k in range(days):
        write_day(root, EXCHANGE, SYMBOL, day_name(k), shifted(lists, k))
    counts = ", ".join(f"{n} {len(c['ts'])}" for n, c in lists.items())
    print(f"catalog: {days} days of the generated 24 h market ({counts}) in {time.perf_counter() - started:.1f} s")


def best_of(fn: Any, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def bench_one_job(catalog: pathlib.Path, scratch: pathlib.Path, rounds: int) -> float:
    import pyarrow.parquet as pq

    from korvel_vorn.batch import run_job

    files = sorted(catalog.rglob(f"date={FIRST_DAY}/part-0.parquet"))

    def read_partitions() -> None:
        for f in files:
            pq.read_table(f)

    def one_job() -> None:
        out = scratch / "one"
        shutil.rmtree(out, ignore_errors=True)
        report = run_job(str(catalog), str(out), EXCHANGE, SYMBOL, FIRST_DAY, ["bars", "footprint", "book"], 60_000,
                         1.0, [5, 10, 20], 0)
        assert report["error"] is None, report["error"]

    read = best_of(read_partitions, rounds)
    job = best_of(one_job, rounds)
    print(f"one job, all three tables: {job:.2f} s; pyarrow reading the day's partitions: {read:.2f} s; "
          f"ratio {job / read:.1f}x (target <= 5x)")
    return job


def cpu_seconds() -> float:
    """User and system CPU time of this process so far."""
    times = os.times()
    return times.user + times.system


def used_cpu(client: Any) -> float:
    """CPU seconds of this process, or of every worker of a Dask client."""
    return cpu_seconds() if client is None else sum(client.run(cpu_seconds).values())


def bench_workers(catalog: pathlib.Path, scratch: pathlib.Path, days: int, skip_cluster: bool,
                  rounds: int) -> dict[str, Any]:
    """Eight days on 1 and 2 workers, taking turns `rounds` times (best of each), per mode."""
    from korvel_vorn import batch

    jobs = batch.plan(catalog, EXCHANGE, [SYMBOL], FIRST_DAY, day_name(days - 1))
    results: dict[str, Any] = {}
    modes = [("threads", None)] + ([] if skip_cluster else [("local cluster", "local")])
    for mode, executor in modes:
        seconds: dict[int, list[float]] = {1: [], 2: []}
        cores_obtained: dict[int, list[float]] = {1: [], 2: []}
        peak = 0
        clients = {w: batch.local_cluster(w) for w in (1, 2)} if executor == "local" else {}
        try:
            for _ in range(rounds):
                for workers in (1, 2):
                    out = scratch / f"{mode}-{workers}".replace(" ", "_")
                    shutil.rmtree(out, ignore_errors=True)
                    cpu = used_cpu(clients.get(workers))
                    started = time.perf_counter()
                    report = batch.run(jobs, out, clients.get(workers), workers=workers, progress=False)
                    seconds[workers].append(time.perf_counter() - started)
                    cores_obtained[workers].append((used_cpu(clients.get(workers)) - cpu) / seconds[workers][-1])
                    assert report.ok, [r["error"] for r in report.failed]
                    if executor is not None:
                        peak = max([peak, *(r["peak_rss"] for r in report.reports)])
        finally:
            for client in clients.values():
                cluster = client.cluster
                client.close()
                cluster.close()
        best = {w: min(t) for w, t in seconds.items()}
        speedup = best[1] / best[2]
        load = os.getloadavg()[0]
        print(f"  {mode}: CPU seconds per second of the run (cores the machine gave): 1 worker "
              f"{max(cores_obtained[1]):.2f}, 2 workers {max(cores_obtained[2]):.2f}; load average {load:.1f} "
              f"on {os.cpu_count()} processors")
        print(f"{mode}: {days} days on 1 worker {best[1]:.1f} s, on 2 workers {best[2]:.1f} s (best of {rounds}): "
              f"{speedup:.2f}x (target >= 1.6x)"
              + (f"; largest peak RSS of a worker process in a job {peak / 2**20:.0f} MiB (target < 1.5 GB)"
                 if executor is not None else ""))
        results[mode] = {"seconds": best, "speedup": speedup, "peak_rss": peak, "cores": cores_obtained}
    return results


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sample_rss(peak: list[int], done: threading.Event) -> None:
    while not done.wait(0.02):
        peak[0] = max(peak[0], rss_bytes())


def bench_driver_memory(scratch: pathlib.Path, counts: tuple[int, ...]) -> None:
    from korvel_vorn import batch

    catalog = scratch / "small"
    symbols = [f"S{i:03d}USDT" for i in range(10)]
    days = max(counts) // len(symbols)
    for s, symbol in enumerate(symbols):
        for k in range(days):
            write_day(catalog, EXCHANGE, symbol, day_name(k), generated_day(day_name(k), seed=s * 1000 + k,
                                                                             trades=200, hours=(1, 2)))
    client = batch.local_cluster(2)
    try:
        for count in counts:
            jobs = batch.plan(catalog, EXCHANGE, symbols, FIRST_DAY, day_name(days - 1))[:count]
            out = scratch / f"driver-{count}"
            baseline = rss_bytes()
            peak = [baseline]
            done = threading.Event()
            sampler = threading.Thread(target=sample_rss, args=(peak, done))
            sampler.start()
            started = time.perf_counter()
            report = batch.run(jobs, out, client, progress=False)
            done.set()
            sampler.join()
            assert report.ok and len(report.reports) == count
            print(f"driver, {count} jobs on a local cluster: {time.perf_counter() - started:.1f} s, RSS grew "
                  f"{(peak[0] - baseline) / 2**20:.1f} MiB over {baseline / 2**20:.0f} MiB")
    finally:
        cluster = client.cluster
        client.close()
        cluster.close()


def plot(out: pathlib.Path, path: pathlib.Path) -> None:
    """The picture of the README: three hours of one day's bars and book read back with pandas."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd

    from korvel_vorn import batch

    bars = batch.read(out, "bars", start=FIRST_DAY, end=FIRST_DAY)
    book = batch.read(out, "book", start=FIRST_DAY, end=FIRST_DAY)
    first = pd.Timestamp(f"{FIRST_DAY}T09:00Z")
    bars = bars[(bars.ts >= first) & (bars.ts < first + pd.Timedelta(hours=3))]
    book = book[(book.ts >= first) & (book.ts < first + pd.Timedelta(hours=3))]
    fig, axes = plt.subplots(3, 1, figsize=(11, 7.5), sharex=True, height_ratios=(3, 2, 2))
    axes[0].fill_between(bars.ts, bars.value_area_low, bars.value_area_high, step="post", alpha=0.3,
                         color="tab:blue", lw=0, label="value area (70%)")
    axes[0].step(bars.ts, bars.close, where="post", lw=0.9, color="black", label="close")
    axes[0].plot(bars.ts, bars.vwap, ".", ms=2.5, color="tab:orange", label="vwap")
    axes[0].plot(bars.ts, bars.poc, "_", ms=4, color="tab:red", label="point of control")
    axes[0].set_ylabel("price (USDT)")
    axes[0].legend(loc="upper right", fontsize=8, ncol=4)
    axes[1].bar(bars.ts, bars.delta, width=pd.Timedelta(seconds=50), align="edge",
                color=["tab:green" if d >= 0 else "tab:red" for d in bars.delta], label="delta")
    twin = axes[1].twinx()
    twin.plot(bars.ts, bars.cum_delta, lw=1.0, color="tab:purple")
    axes[1].set_ylabel("delta (BTC)")
    twin.set_ylabel("cumulative delta (BTC)", color="tab:purple")
    for k, colour in ((5, "tab:green"), (20, "tab:brown")):
        axes[2].plot(book.ts, book[f"imbalance_{k}"], lw=0.8, color=colour, label=f"within {k} bins of the mid")
    axes[2].axhline(0, color="grey", lw=0.5)
    axes[2].set_ylabel("book imbalance")
    axes[2].legend(loc="upper right", fontsize=8, ncol=2)
    axes[2].set_xlabel(f"{FIRST_DAY} (UTC), 1-minute buckets")
    fig.suptitle(f"batch.read(out, 'bars') and batch.read(out, 'book'): the generated market ({SYMBOL}), 09:00-12:00")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"plot: {path}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scratch", type=pathlib.Path, help="scratch folder (default: a temporary one)")
    parser.add_argument("--days", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-cluster", action="store_true", help="thread mode only")
    parser.add_argument("--plot", type=pathlib.Path, help="also draw one day's tables read back with pandas to this PNG")
    args = parser.parse_args()
    scratch = args.scratch or pathlib.Path(tempfile.mkdtemp(prefix="batch-bench-"))
    try:
        catalog = scratch / "catalog"
        if not catalog.exists():
            build_catalog(catalog, args.days)
        per_job = bench_one_job(catalog, scratch, args.rounds)
        workers = bench_workers(catalog, scratch, args.days, args.skip_cluster, args.rounds)
        if not args.skip_cluster:
            bench_driver_memory(scratch, (50, 500))
        if args.plot:
            plot(scratch / "threads-2", args.plot)
        per_job_2 = workers["threads"]["seconds"][1] / args.days
        for cores in (2, 64, 512):
            hours = 36_500 * per_job_2 / cores / 3600
            print(f"a year of 100 symbols (36,500 jobs of {per_job_2:.2f} s) on {cores} cores: {hours:.2f} h")
        print(f"(one job alone, best of {args.rounds}: {per_job:.2f} s)")
    finally:
        if args.scratch is None:
            shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
