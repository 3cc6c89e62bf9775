#!/usr/bin/env python3
"""Depth messages a second through the Binance recorder's message path (parse, repeat check, book
synchronisation; no files, no consumer), for the package found under PACKAGE_DIR: run it once for
this tree and once for a baseline tree, taking turns, and compare.

Usage: VORN_MODULE_DIR=/work/prebuilt/python .venv/bin/python bench/record_depth_sync.py python [--count 100000]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("package_dir")
    parser.add_argument("--count", type=int, default=100_000)
    args = parser.parse_args()
    sys.path.insert(0, args.package_dir)
    if os.environ.get("VORN_MODULE_DIR"):
        sys.path.insert(1, os.environ["VORN_MODULE_DIR"])
    from korvel_vorn.recorder import make_recorder
    from korvel_vorn.recorder.options import RecordOptions

    recorder = make_recorder("binance-um", ["BTCUSDT"], None, RecordOptions())
    book = recorder.books["BTCUSDT"]  # type: ignore[attr-defined]
    messages = []
    u = start = 1000
    for i in range(args.count):
        data = {"e": "depthUpdate", "E": i, "T": i, "s": "BTCUSDT", "U": u + 1, "u": u + 3, "pu": u,
                "b": [["60000.1", "1.000"]] * 20, "a": [["60001.1", "1.000"]] * 20}
        u += 3
        messages.append(json.dumps({"stream": "btcusdt@depth@100ms", "data": data}).encode())
    best = float("inf")
    for _ in range(3):
        book.synced_to, book.wanted = start, False  # in sync from the first message
        recorder.last_ids.clear()  # type: ignore[attr-defined]
        began = time.perf_counter()
        for ns, message in enumerate(messages):
            recorder.on_message(message, ns)
        best = min(best, time.perf_counter() - began)
    assert book.synced_to == u, "every message was applied in sync"
    print(f"{args.package_dir}: {args.count / best:,.0f} depth messages a second (best of 3)")


if __name__ == "__main__":
    main()
