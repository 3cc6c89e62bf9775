#!/usr/bin/env python3
"""Cost of an aggregated frame against the single-venue frames it is made of, in one run.

Two recorded markets of the same moment (../shared/data/real: Binance USD-M BTCUSDT and Binance
COIN-M BTCUSD_PERP of 2024-08-08 23:54, the COIN-M contracts in base asset) are loaded twice: as
single-venue sessions and as one composite. At cursors across the recording, with the viewer's
panels and a window before each cursor (the spec set anew at each cursor, as the viewer does),
the composite's frame is timed against the sum of the single-venue frames at the same cursor,
alternating which goes first. With --density, the real-density hour of /work/bench-data (or
--density FILE) is used for every venue instead (the same market under N venue names).

Usage: composite_frames.py [--venues 2] [--cursors 30] [--rounds 3] [--window 15m] [--density [FILE]]
Prints the medians per frame and the ratio (aggregate / sum of singles); the target is 1.2.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import sys
import time
from typing import Any

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
REAL = ROOT.parent / "shared" / "data" / "real"
MARKETS = [("binance-um", REAL / "binance-usdm-btcusdt-20240808T2354Z.dataset.json", None),
           ("binance-cm", REAL / "binance-coinm-btcusd_perp-20240808T2354Z.dataset.json", 100.0)]
DENSITY = pathlib.Path("/work/bench-data/btcusdt-real-density-1h.dataset.json")


def columns(path: pathlib.Path, contract_value: float | None) -> dict[str, Any]:
    """The lists of a dataset JSON file as columns (setup, not timed); contracts in base asset."""
    from korvel_vorn.composite.units import QuantityUnit, to_base
    from korvel_vorn.schema import RECORD_FIELDS

    value = json.loads(path.read_text())
    lists = {}
    for name, records in value.items():
        if name == "book":
            ts, kind, bc, ac, bp, bq, ap, aq = [], [], [], [], [], [], [], []
            for r in records:
                r = r if isinstance(r, list) else [r["ts"], r["kind"], r["bids"], r["asks"]]
                ts.append(r[0]); kind.append(0 if r[1] == "snapshot" else 1)  # noqa: E702
                bc.append(len(r[2])); ac.append(len(r[3]))  # noqa: E702
                bp += [float(p) for p, _ in r[2]]; bq += [float(q) for _, q in r[2]]  # noqa: E702
                ap += [float(p) for p, _ in r[3]]; aq += [float(q) for _, q in r[3]]  # noqa: E702
            lists[name] = {"ts": np.array(ts, np.int64), "kind": np.array(kind, np.uint8),
                           "bid_count": np.array(bc, np.int64), "ask_count": np.array(ac, np.int64),
                           "bid_price": np.array(bp), "bid_qty": np.array(bq), "ask_price": np.array(ap),
                           "ask_qty": np.array(aq)}
            continue
        fields = RECORD_FIELDS[name]
        rows = [r if isinstance(r, list) else [r[f] for f in fields] for r in records]
        out = {}
        for i, field in enumerate(fields):
            column = [row[i] for row in rows]
            if field == "ts":
                out[field] = np.array(column, np.int64)
            elif field == "side":
                out[field] = np.array([0 if v in ("buy", "long") else 1 for v in column], np.uint8)
            else:
                out[field] = np.array([float(v) for v in column])
        lists[name] = out
    if contract_value is not None:
        lists = to_base(lists, QuantityUnit(contract_value), path.name)
    return lists


def singles_frame(singles: list[Any], cursor: int) -> float:
    started = time.perf_counter()
    for session in singles:
        session.frame_arrays(cursor, detail=True)
    return time.perf_counter() - started


def aggregate_frame(composite: Any, cursor: int) -> float:
    started = time.perf_counter()
    composite.frame_arrays(cursor, detail=True)
    return time.perf_counter() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--venues", type=int, default=2)
    parser.add_argument("--cursors", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--window", default="15m")
    parser.add_argument("--density", nargs="?", const=str(DENSITY), default=None)
    args = parser.parse_args()

    from korvel_vorn import Session, commands
    from korvel_vorn.composite import CompositeSession
    from korvel_vorn.timefmt import parse_duration
    from korvel_vorn.viewer.replay_model import ViewSettings

    if args.density:
        source = pathlib.Path(args.density)
        if not source.is_file():
            print(f"skipped: {source} is absent")
            return 0
        shared = columns(source, None)
        venues = [(f"venue-{i}", shared) for i in range(args.venues)]
    else:
        if not all(path.is_file() for _, path, _ in MARKETS):
            print(f"skipped: the recordings of {REAL} are absent")
            return 0
        venues = [(name, columns(path, value)) for name, path, value in MARKETS][: args.venues]
    singles, composite = [], CompositeSession()
    for name, lists in venues:
        single = Session()
        single.load_columns(**lists)
        singles.append(single)
        own = Session()
        own.load_columns(**lists)
        composite.add_venue(name, "BTCUSDT", own, lists.get("funding", {}).get("ts"))
    bounds = composite.bounds()
    window = parse_duration(args.window)
    settings = ViewSettings(window_ms=window, bucket_ms=1_000, price_bin=1.0, depth_levels=40)
    lo, hi = int(bounds["from_ts"]) + 60_000, int(bounds["to_ts"])
    cursors = np.linspace(lo, hi, args.cursors).astype(np.int64).tolist()
    single_times: list[float] = []
    aggregate_times: list[float] = []
    for round_number in range(args.rounds):
        for i, cursor in enumerate(cursors):
            spec = commands.spec_value(**{**settings.spec("BTCUSDT", cursor), "to_ts": None})
            for session in singles:
                session.set_spec(spec)
            composite.set_spec(spec)

            if (i + round_number) % 2:
                single_times.append(singles_frame(singles, cursor))
                aggregate_times.append(aggregate_frame(composite, cursor))
            else:
                aggregate_times.append(aggregate_frame(composite, cursor))
                single_times.append(singles_frame(singles, cursor))
    single_ms = statistics.median(single_times) * 1e3
    aggregate_ms = statistics.median(aggregate_times) * 1e3
    total_ratio = sum(aggregate_times) / sum(single_times)
    names = ", ".join(name for name, _ in venues)
    print(f"venues: {names}; {len(cursors)} cursors x {args.rounds} rounds, window {args.window}, "
          f"heatmap 1 s x 40 levels, detail")
    print(f"sum of single-venue frames: median {single_ms:.2f} ms")
    print(f"aggregated frame:           median {aggregate_ms:.2f} ms")
    print(f"ratio aggregate / singles: {aggregate_ms / single_ms:.3f} (medians), {total_ratio:.3f} (totals); "
          f"target at most 1.2")
    return 0


if __name__ == "__main__":
    sys.exit(main())
