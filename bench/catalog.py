#!/usr/bin/env python3
"""The catalog's three targets, measured side by side on one synthetic Binance day.

Usage: catalog.py [--rows 2000000] [--work DIR] [--json FILE]

Writes a Binance USD-M day in the archive's own layout (a trades zip of ROWS rows, 1-minute klines,
metrics, the month's funding rates, each with its CHECKSUM), then measures:

1. building the catalog day from the downloaded files: trade rows per second of the trades
   partition (CSV zip to Parquet), and the peak resident memory of a fresh process doing it;
2. `Session.load_catalog` of the day against `Session.load_file` of the same day as a dataset JSON
   file (written by `convert`), best of three each;
3. `fetch` from a loopback mirror (http.server on 127.0.0.1, no cache) against `fetch` building
   the same day from a cache that already holds every file (no request).
"""

from __future__ import annotations

import argparse
import functools
import hashlib
import http.server
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
DAY = "2024-01-01"
T0 = 1704067200000
SYMBOL = "BTCUSDT"
BASE = "data/futures/um"

_BUILD = """
import sys, time
from pathlib import Path
from korvel_vorn.archives.files import stream_trades
from korvel_vorn.archives.plan import archive_file, parse_source
from korvel_vorn.catalog.layout import day_start_ms, partition_writer
def peak_kb():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
file = archive_file(parse_source("binance-um"), "trades", "BTCUSDT", "2024-01-01")
start, cpu = time.perf_counter(), time.process_time()
with partition_writer(sys.argv[2], "trades") as writer:
    stats = stream_trades(Path(sys.argv[1]), file, day_start_ms("2024-01-01"), day_start_ms("2024-01-02"), writer)
print(stats["records"], time.perf_counter() - start, peak_kb(), time.process_time() - cpu)
"""


def _zip(path: pathlib.Path, member: str, data: bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(member, data)
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    path.with_name(path.name + ".CHECKSUM").write_text(f"{digest}  {path.name}")


def trades_csv(rows: int) -> bytes:
    """A day of trades in the archive's layout, written column-wise by pyarrow."""
    import pyarrow as pa
    import pyarrow.csv as pcsv

    rng = np.random.default_rng(1)
    ts = np.sort(rng.integers(T0, T0 + 86_400_000, rows))
    price = np.round(42000 + np.cumsum(rng.normal(0, 0.5, rows)), 1)
    qty = np.round(rng.exponential(0.05, rows) + 0.001, 3)
    table = pa.table({"id": np.arange(rows, dtype=np.int64) + 4_000_000_000, "price": price, "qty": qty,
                      "quote_qty": np.round(price * qty, 4), "time": ts, "is_buyer_maker": rng.random(rows) < 0.5})
    out = io.BytesIO()
    pcsv.write_csv(table, out, pcsv.WriteOptions(quoting_style="none"))
    return out.getvalue().replace(b'"', b"")


def write_mirror(folder: pathlib.Path, rows: int) -> None:
    daily = folder / BASE / "daily"
    _zip(daily / "trades" / SYMBOL / f"{SYMBOL}-trades-{DAY}.zip", f"{SYMBOL}-trades-{DAY}.csv", trades_csv(rows))
    klines = "open_time,open,high,low,close,volume,close_time,quote_volume,count,taker_buy_volume," \
             "taker_buy_quote_volume,ignore\n" + "".join(
                 f"{T0 + m * 60_000},42000.0,42010.5,41990.0,42005.5,{10 + m % 50}.5,{T0 + m * 60_000 + 59_999},"
                 "1000.0,10,5.0,500.0,0\n" for m in range(1440))
    _zip(daily / "klines" / SYMBOL / "1m" / f"{SYMBOL}-1m-{DAY}.zip", f"{SYMBOL}-1m-{DAY}.csv", klines.encode())
    metrics = "create_time,symbol,sum_open_interest,sum_open_interest_value,count_toptrader_long_short_ratio," \
              "sum_toptrader_long_short_ratio,count_long_short_ratio,sum_taker_long_short_vol_ratio\n" + "".join(
                  f"2024-01-01 {m // 60:02d}:{m % 60:02d}:00,{SYMBOL},{70000 + m}.5,1,1,1,1,1\n"
                  for m in range(0, 1440, 5))
    _zip(daily / "metrics" / SYMBOL / f"{SYMBOL}-metrics-{DAY}.zip", f"{SYMBOL}-metrics-{DAY}.csv", metrics.encode())
    funding = "calc_time,funding_interval_hours,last_funding_rate\n" + "".join(
        f"{T0 + h * 3_600_000},8,0.0001\n" for h in range(0, 24 * 31, 8))
    _zip(folder / BASE / "monthly" / "fundingRate" / SYMBOL / f"{SYMBOL}-fundingRate-2024-01.zip",
         f"{SYMBOL}-fundingRate-2024-01.csv", funding.encode())


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args: object) -> None:
        pass


def _env() -> dict[str, str]:
    paths = [str(ROOT / "python"), str(ROOT / "build" / "dev" / "python"), os.environ.get("PYTHONPATH", "")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000, help="trades of the day (default 2000000)")
    parser.add_argument("--work", help="folder for the files (default: a temporary one, removed)")
    parser.add_argument("--json", help="write the numbers to this file too")
    args = parser.parse_args()
    sys.path[:0] = [str(ROOT / "python"), str(ROOT / "build" / "dev" / "python")]
    from korvel_vorn import Session
    from korvel_vorn.archives import RetryPolicy, fetch
    from korvel_vorn.convert import convert_files

    work = pathlib.Path(args.work or tempfile.mkdtemp(prefix="korvel_vorn-bench-"))
    results: dict[str, float] = {}
    try:
        mirror = work / "mirror"
        write_mirror(mirror, args.rows)
        trades_zip = mirror / BASE / "daily" / "trades" / SYMBOL / f"{SYMBOL}-trades-{DAY}.zip"
        # 1. building the trades day in a fresh process: rows per second and peak memory
        done = subprocess.run([sys.executable, "-c", _BUILD, str(trades_zip), str(work / "part.parquet")],
                              capture_output=True, text=True, env=_env(), check=True)
        rows, seconds, peak_kb, cpu = done.stdout.split()
        results.update(build_rows=int(rows), build_seconds=float(seconds), build_rows_per_s=int(rows) / float(seconds),
                       build_peak_mb=int(peak_kb) / 1024, build_cpu_seconds=float(cpu))
        print(f"build    {int(rows):>9} trade rows in {float(seconds):.2f} s: {int(rows) / float(seconds):,.0f} rows/s, "
              f"peak {int(peak_kb) / 1024:.0f} MB (target >= 1,000,000 rows/s, < 500 MB); {float(cpu):.2f} CPU "
              f"seconds (all threads), load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

        # 3. fetch from a loopback mirror against a build from a full cache
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=str(mirror)))
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        os.environ["KORVEL_VORN_BINANCE_URL"] = f"http://127.0.0.1:{server.server_address[1]}"
        policy = RetryPolicy(attempts=2, base_delay=0.01)
        types = "trades,klines,metrics,fundingRate"
        start = time.perf_counter()
        report = fetch("binance-um", SYMBOL, DAY, DAY, work / "fetched", types=types, cache=work / "cache", retry=policy)
        fetched = time.perf_counter() - start
        server.shutdown()
        server.server_close()
        assert report.exit_status == 0, report.summary()
        start = time.perf_counter()
        again = fetch("binance-um", SYMBOL, DAY, DAY, work / "built", types=types, cache=work / "cache", retry=policy)
        built = time.perf_counter() - start
        assert again.exit_status == 0 and again.requests == 0, again.summary()
        results.update(fetch_seconds=fetched, build_from_cache_seconds=built, fetch_ratio=fetched / built)
        print(f"fetch    {fetched:.2f} s from the loopback mirror, {built:.2f} s from the cache: "
              f"{fetched / built:.2f}x (target <= 1.5x)")

        # 2. load_catalog against load_file of the same day as dataset JSON
        dataset = work / "day.dataset.json"
        files = [str(p) for p in (work / "cache").rglob("*.zip")]
        columns = work / "day.npz"
        with convert_files(files, symbol=SYMBOL, keep_all_times=True, start=T0, end=T0 + 86_400_000) as conversion:
            conversion.write(str(dataset))
            conversion.write(str(columns))
        json_times, catalog_times, npz_times = [], [], []
        for _ in range(5):
            session = Session()
            start = time.perf_counter()
            session.load_file(columns)
            npz_times.append(time.perf_counter() - start)
            session = Session()
            start = time.perf_counter()
            count_json = session.load_file(dataset)
            json_times.append(time.perf_counter() - start)
            session = Session()
            start = time.perf_counter()
            count_catalog = session.load_catalog(work / "fetched", exchange="binance-um", symbol=SYMBOL)
            catalog_times.append(time.perf_counter() - start)
        assert count_json == count_catalog, (count_json, count_catalog)
        ratio = min(json_times) / min(catalog_times)
        results.update(load_json_seconds=min(json_times), load_catalog_seconds=min(catalog_times), load_ratio=ratio,
                       load_npz_seconds=min(npz_times))
        print(f"load     {count_json} records: load_file of the JSON {min(json_times):.3f} s, load_catalog "
              f"{min(catalog_times):.3f} s: {ratio:.1f}x faster (target >= 5x); the engine's own column load "
              f"(load_file of the same day as uncompressed .npz, no parsing at all) {min(npz_times):.3f} s")
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
