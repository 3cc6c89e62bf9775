#!/usr/bin/env python3
"""Converter throughput and memory: input rows per second and peak resident memory.

Usage: convert.py [--rows 3000000] [--cache DIR] [--json FILE]

Generates recordings of each bulk layout (Binance trades CSV plain and gzip, Binance aggTrades CSV
without header, Tardis trades CSV, a Binance stream recording of trade, depth and book-ticker
messages), converts each to JSON and to `.npz` in a fresh process, and prints for each: input rows
(data lines), seconds of `convert_files` plus writing (the interpreter's start and imports are not
counted; the "cli" column is the whole command's wall time), rows per second, and the process's
peak resident memory. The raw recording of `../shared/data/raw/` is converted too when present.
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
RAW = ROOT.parent / "shared" / "data" / "raw" / "btcusdt_20240808.gz"
T0 = 1723161600000

_RUNNER = """
import json, sys, time
t0 = time.perf_counter()
def peak_kb():  # VmHWM starts afresh at exec, unlike ru_maxrss
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])

from korvel_vorn.convert import convert_files
imported = time.perf_counter()
with convert_files([sys.argv[1]]) as result:
    result.write(sys.argv[2])
    counts = result.counts
done = time.perf_counter()
print(json.dumps({"seconds": done - imported, "import": imported - t0, "counts": counts,
                  "peak_mb": peak_kb() / 1024}))
"""


def _trades_csv(path: pathlib.Path, rows: int, header: bool, agg: bool = False) -> None:
    import pyarrow as pa
    import pyarrow.csv as pcsv

    rng = np.random.default_rng(3)
    ticks = 6_000_000 + np.cumsum(rng.integers(-3, 4, rows))
    columns = {
        "id": np.arange(1, rows + 1),
        "price": pa.array(ticks / 100).cast(pa.string()),
        "qty": pa.array(rng.integers(1, 5000, rows) / 1000).cast(pa.string()),
    }
    ts = T0 + np.cumsum(rng.integers(0, 20, rows))
    maker = rng.integers(0, 2, rows).astype(bool)
    if agg:
        columns.update(first_trade_id=np.arange(rows), last_trade_id=np.arange(rows), transact_time=ts,
                       is_buyer_maker=maker)
    else:
        columns.update(quote_qty=np.ones(rows), time=ts, is_buyer_maker=maker)
    pcsv.write_csv(pa.table(columns), path, pcsv.WriteOptions(include_header=header, quoting_style="none"))


def _tardis_csv(path: pathlib.Path, rows: int) -> None:
    import pyarrow as pa
    import pyarrow.csv as pcsv

    rng = np.random.default_rng(4)
    ts = (T0 + np.cumsum(rng.integers(0, 20, rows))) * 1000
    table = pa.table({
        "exchange": pa.array(["binance-futures"] * rows), "symbol": pa.array(["BTCUSDT"] * rows),
        "timestamp": ts, "local_timestamp": ts + 500, "id": np.arange(rows),
        "side": pa.array(np.where(rng.integers(0, 2, rows) == 1, "buy", "sell")),
        "price": pa.array((6_000_000 + np.cumsum(rng.integers(-3, 4, rows))) / 100).cast(pa.string()),
        "amount": pa.array(rng.integers(1, 5000, rows) / 1000).cast(pa.string())})
    pcsv.write_csv(table, path, pcsv.WriteOptions(quoting_style="none"))


def _stream(path: pathlib.Path, messages: int) -> None:
    """A combined-stream recording with local timestamps: 40% trades, 20% depth updates of 10
    levels a side, 40% book tickers, and one REST snapshot at the start."""
    rng = np.random.default_rng(5)
    kinds = rng.choice(3, messages, p=[0.4, 0.2, 0.4])
    out = [f"{T0 * 1_000_000} " + json.dumps({"lastUpdateId": 1, "E": T0, "T": T0,
                                              "bids": [["59999.0", "1.000"]], "asks": [["60001.0", "1.000"]]},
                                             separators=(",", ":"))]
    update = 1
    for i, kind in enumerate(kinds.tolist()):
        ts = T0 + i
        if kind == 0:
            data = {"e": "trade", "E": ts, "T": ts, "s": "BTCUSDT", "t": i + 1, "p": f"{60000 + i % 50 / 10:.1f}",
                    "q": f"{(i % 997) / 1000:.3f}", "X": "MARKET", "m": i % 3 == 0}
            stream = "btcusdt@trade"
        elif kind == 1:
            data = {"e": "depthUpdate", "E": ts, "T": ts, "s": "BTCUSDT", "U": update + 1, "u": update + 2,
                    "pu": update, "b": [[f"{59999 - k / 10:.1f}", f"{(i + k) % 7 / 1000:.3f}"] for k in range(10)],
                    "a": [[f"{60001 + k / 10:.1f}", f"{(i + k) % 5 / 1000:.3f}"] for k in range(10)]}
            update += 2
            stream = "btcusdt@depth@0ms"
        else:
            data = {"e": "bookTicker", "u": update, "s": "BTCUSDT", "b": "59999.0", "B": "1.000", "a": "60001.0",
                    "A": "1.000", "T": ts, "E": ts}
            stream = "btcusdt@bookTicker"
        out.append(f"{ts * 1_000_000 + 7} " + json.dumps({"stream": stream, "data": data}, separators=(",", ":")))
    with gzip.open(path, "wt", compresslevel=1) as f:
        f.write("\n".join(out) + "\n")


def _inputs(cache: pathlib.Path, rows: int) -> list[tuple[str, pathlib.Path, int]]:
    cache.mkdir(parents=True, exist_ok=True)
    made = []

    def input_file(label: str, name: str, count: int, make) -> None:  # type: ignore[no-untyped-def]
        path = cache / name
        if not path.exists():
            make(path)
        made.append((label, path, count))

    input_file("Binance trades CSV", f"trades-{rows}.csv", rows, lambda p: _trades_csv(p, rows, True))
    input_file("Binance trades CSV .gz", f"trades-{rows}.csv.gz", rows,
               lambda p: p.write_bytes(gzip.compress((cache / f"trades-{rows}.csv").read_bytes(), 1)))
    input_file("Binance aggTrades CSV, no header", f"agg-{rows // 3}.csv", rows // 3,
               lambda p: _trades_csv(p, rows // 3, False, agg=True))
    input_file("Tardis trades CSV", f"tardis-trades-{rows // 3}.csv", rows // 3, lambda p: _tardis_csv(p, rows // 3))
    input_file("Binance stream recording .gz", f"stream-{rows // 10}.gz", rows // 10 + 1,
               lambda p: _stream(p, rows // 10))
    if RAW.exists():
        with gzip.open(RAW, "rb") as f:
            lines = sum(1 for _ in f)
        made.append(("recorded stream (raw/btcusdt_20240808.gz)", RAW, lines))
    return made


def run(rows: int, cache: pathlib.Path) -> list[dict[str, object]]:
    env = dict(os.environ)
    results = []
    for label, path, count in _inputs(cache, rows):
        for suffix in ("json", "npz"):
            out = cache / f"out.{suffix}"
            start = time.perf_counter()
            done = subprocess.run([sys.executable, "-c", _RUNNER, str(path), str(out)], capture_output=True,
                                  text=True, env=env, timeout=3600)
            wall = time.perf_counter() - start
            if done.returncode:
                raise SystemExit(f"{label}: {done.stderr.strip().splitlines()[-1]}")
            figures = json.loads(done.stdout)
            results.append({"input": label, "output": suffix, "rows": count, "seconds": figures["seconds"],
                             "rows_per_s": count / figures["seconds"], "cli_seconds": wall,
                             "peak_mb": figures["peak_mb"], "size_mb": path.stat().st_size / 1e6})
            out.unlink()
    return results


def table(results: list[dict[str, object]]) -> str:
    lines = ["| input | output | rows | MB | seconds | rows/s | cli s | peak MB |", "|---|---|---|---|---|---|---|---|"]
    for r in results:
        lines.append(f"| {r['input']} | {r['output']} | {r['rows']:,} | {r['size_mb']:.0f} | {r['seconds']:.2f} | "
                     f"{r['rows_per_s'] / 1e6:.2f}M | {r['cli_seconds']:.2f} | {r['peak_mb']:.0f} |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=3_000_000, help="rows of the Binance trades CSV")
    parser.add_argument("--cache", type=pathlib.Path, default=ROOT / "build" / "bench-convert")
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures to this file")
    args = parser.parse_args()
    results = run(args.rows, args.cache)
    print(table(results))
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
