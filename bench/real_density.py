#!/usr/bin/env python3
"""A benchmark market at real book density: a recorded market repeated in time.

The recordings in ../shared/data/real last a few minutes, but their book is as dense as a live
exchange's (a BTCUSDT depth stream: thousands of levels a second). Repeating one of them fills a
day with that density:

- copy k is the recording with every timestamp shifted by k x (span + 100 ms), where span is the
  distance from the recording's smallest to its largest timestamp over all six lists;
- only the first copy keeps its book snapshot(s): later copies carry diffs alone, so the book
  after the first snapshot is diffs as in a live recording;
- records from the start plus the requested length on are left out (the last copy is cut).

Every number keeps the recording's own decimal text ("61807.70", "0.000"), so the text reads
back to the same doubles as the recording. The output is the dataset JSON (the "dataset" value
of a load command), or with --load the whole load command.

Usage: real_density.py [--source FILE] [--hours 24] [--load] --output PATH
As a module: `real_density.cached(hours, cache)` writes the file once per (source, hours,
generator version) into a cache directory and returns its path.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import pathlib
import sys
import time
from collections.abc import Iterator
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parent.parent
REAL_DATA = ROOT.parent / "shared" / "data" / "real"
DEFAULT_SOURCE = REAL_DATA / "binance-usdm-btcusdt-20240808T2354Z.dataset.json"
LISTS = ("candles", "trades", "book", "funding", "oi", "liquidations")
GAP_MS = 100
HOUR_MS = 3_600_000


class _Number(str):
    """A number's own text from the recording, written back unchanged."""


def _text(value: Any) -> str:
    if isinstance(value, _Number):
        return value
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, list):
        return "[" + ",".join(_text(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ",".join(json.dumps(k) + ":" + _text(v) for k, v in value.items()) + "}"
    if value is None:
        return "null"
    return json.dumps(value)


def _record_template(record: dict[str, Any]) -> tuple[str, int, str]:
    """A record as the text before its ts value, the ts, and the text after it."""
    rest = {k: v for k, v in record.items() if k != "ts"}
    tail = _text(rest)[1:]  # without the opening brace
    return '{"ts":', int(record["ts"]), ("," + tail) if tail != "}" else "}"


def _read(source: pathlib.Path) -> dict[str, list[dict[str, Any]]]:
    with source.open("rb") as f:
        dataset = json.loads(f.read(), parse_float=_Number, parse_int=_Number)
    return {name: dataset.get(name, []) for name in LISTS}


def span_ms(dataset: dict[str, list[dict[str, Any]]]) -> tuple[int, int]:
    """The recording's first timestamp and its span (last minus first) over all lists."""
    stamps = [int(r["ts"]) for name in LISTS for r in dataset[name]]
    return min(stamps), max(stamps) - min(stamps)


def _chunks(dataset: dict[str, list[dict[str, Any]]], hours: float) -> Iterator[str]:
    first, span = span_ms(dataset)
    shift = span + GAP_MS
    end = first + int(hours * HOUR_MS)
    copies = max(1, -(-(end - first) // shift))
    yield "{"
    for i, name in enumerate(LISTS):
        templates = [_record_template(r) for r in dataset[name]]
        snapshot = [r.get("kind") == "snapshot" for r in dataset[name]]
        yield ("," if i else "") + json.dumps(name) + ":["
        written = 0
        for copy in range(copies):
            offset = copy * shift
            parts = []
            for (head, ts, tail), is_snapshot in zip(templates, snapshot):
                if copy and is_snapshot:
                    continue
                shifted = ts + offset
                if shifted >= end:
                    continue
                parts.append(head + str(shifted) + tail)
            if parts:
                yield ("," if written else "") + ",".join(parts)
                written += len(parts)
        yield "]"
    yield "}"


def write(path: pathlib.Path, hours: float = 24.0, source: pathlib.Path = DEFAULT_SOURCE, load: bool = False) -> int:
    """Writes the repeated market to `path`; returns its size in bytes."""
    dataset = _read(source)
    with path.open("w", encoding="utf-8") as f:
        if load:
            f.write('{"cmd":"load","dataset":')
        for chunk in _chunks(dataset, hours):
            f.write(chunk)
        if load:
            f.write("}")
    return path.stat().st_size


def cached(hours: float, cache: pathlib.Path, source: pathlib.Path = DEFAULT_SOURCE, load: bool = False) -> pathlib.Path:
    """The repeated market's file in `cache`, written once per source, length and generator version."""
    version = hashlib.sha256(pathlib.Path(__file__).read_bytes()).hexdigest()[:12]
    kind = "load" if load else "dataset"
    name = source.name.removesuffix(".dataset.json")
    path = cache / f"real-density-{name}-{hours:g}h-{version}.{kind}.json"
    if not path.exists():
        cache.mkdir(parents=True, exist_ok=True)
        started = time.perf_counter()
        tmp = path.with_suffix(".tmp")
        size = write(tmp, hours, source, load)
        tmp.rename(path)
        print(f"  generated {path.name}: {size / 1e6:.1f} MB in {time.perf_counter() - started:.1f} s", flush=True)
    return path


def available(source: pathlib.Path = DEFAULT_SOURCE) -> bool:
    return source.is_file()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", type=pathlib.Path, default=DEFAULT_SOURCE, help="a recorded dataset JSON")
    parser.add_argument("--hours", type=float, default=24.0, help="length of the repeated market")
    parser.add_argument("--load", action="store_true", help="write a whole load command, not the dataset alone")
    parser.add_argument("--output", type=pathlib.Path, required=True)
    args = parser.parse_args(argv)
    if not args.source.is_file():
        print(f"real_density: no recording at {args.source}", file=sys.stderr)
        return 1
    started = time.perf_counter()
    size = write(args.output, args.hours, args.source, args.load)
    print(f"wrote {args.output}: {size / 1e6:.1f} MB in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
