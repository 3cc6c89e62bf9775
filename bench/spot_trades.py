#!/usr/bin/env python3
"""Streaming a day of Binance spot trades into a catalog partition, its times in milliseconds and
in microseconds, against a USD-M futures day of the same trades (one column fewer), best of three
each, interleaved in one run.

Usage: spot_trades.py [ROWS] (default 1000000); files go to a temporary folder, removed.
"""

from __future__ import annotations

import io
import pathlib
import sys
import tempfile
import time
import zipfile

import numpy as np

from korvel_vorn.archives.files import stream_trades
from korvel_vorn.archives.plan import archive_file, parse_source
from korvel_vorn.catalog.layout import day_start_ms, partition_writer

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
folder = tempfile.TemporaryDirectory(prefix="spot-trades-")
work = pathlib.Path(folder.name)
day = "2025-01-01"
start = day_start_ms(day)
rng = np.random.default_rng(1)
ts = np.sort(rng.integers(start, start + 86_400_000, ROWS))
micro = rng.integers(0, 1000, ROWS)
price = np.round(93000 + rng.normal(0, 50, ROWS), 2)
qty = np.round(rng.uniform(0.00001, 0.5, ROWS), 5)
maker = np.where(rng.random(ROWS) < 0.5, "True", "False")
ids = np.arange(1_000_000, 1_000_000 + ROWS)

def zip_of(name: str, columns: list[np.ndarray]) -> bytes:
    text = "\n".join(",".join(row) for row in zip(*columns)) + "\n"
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(name, text)
    return out.getvalue()

def s(values: np.ndarray) -> np.ndarray:
    return values.astype(str)


variants = {
    "spot-ms": ("binance-spot", [s(ids), s(price), s(qty), s(price * qty), s(ts), maker, np.full(ROWS, "True")]),
    "spot-us": ("binance-spot", [s(ids), s(price), s(qty), s(price * qty), s(ts * 1000 + micro), maker, np.full(ROWS, "True")]),
    "um-ms": ("binance-um", [s(ids), s(price), s(qty), s(price * qty), s(ts), np.char.lower(maker)]),
}
files = {}
for key, (source, cols) in variants.items():
    f = archive_file(parse_source(source), "trades", "BTCUSDT", day)
    path = work / f"{key}.zip"
    path.write_bytes(zip_of(f.member, cols))
    files[key] = (path, f)
best = {k: float("inf") for k in files}
for _ in range(3):
    for key, (path, f) in files.items():
        out = work / f"{key}.parquet"
        t = time.perf_counter()
        with partition_writer(out, "trades") as w:
            stats = stream_trades(path, f, start, start + 86_400_000, w)
        best[key] = min(best[key], time.perf_counter() - t)
        assert stats["records"] == ROWS, stats
for key, sec in best.items():
    print(f"{key}: {sec:.3f} s  {ROWS / sec / 1e6:.2f} M rows/s  ratio to um-ms {sec / best['um-ms']:.2f}")
folder.cleanup()
