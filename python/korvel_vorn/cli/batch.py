"""`batch`: the bars, footprint and book tables of many symbols and days of a catalog."""

from __future__ import annotations

import argparse
import datetime as dt
import re
import sys
from typing import Any

from ..timefmt import parse_duration
from .common import CliError
from .values import positive_float

DAY_MS = 86_400_000


def bucket_duration(text: str) -> int:
    try:
        value = parse_duration(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    if value <= 0 or DAY_MS % value:
        raise argparse.ArgumentTypeError(f"bucket {text!r} does not divide a day into whole buckets")
    return value


def _positive(text: str, where: str) -> float:
    try:
        return positive_float(text)
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{where}: {error}") from None


def price_bins(text: str) -> float | dict[str, float]:
    """One bin (X), or bins per symbol (S1=X1,S2=X2), with a bare X for the symbols not named."""
    if "=" not in text:
        return _positive(text, "price bin")
    bins = {}
    for part in text.split(","):
        symbol, equals, value = (p.strip() for p in part.partition("="))
        if not equals:
            bins[""] = _positive(symbol, "price bin")
        elif not symbol or not value:
            raise argparse.ArgumentTypeError(f"bad price bin {part!r}: use X or SYMBOL=X,...")
        else:
            bins[symbol] = _positive(value, f"price bin of {symbol}")
    return bins


def name_list(text: str) -> list[str]:
    names = [n.strip() for n in text.split(",") if n.strip()]
    if not names:
        raise argparse.ArgumentTypeError("an empty list")
    return names


def table_list(text: str) -> list[str]:
    tables = name_list(text)
    unknown = [t for t in tables if t not in ("bars", "footprint", "book")]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown table {unknown[0]!r} (expected some of bars, footprint, book)")
    return tables


def utc_day(text: str) -> str:
    """A day as YYYY-MM-DD that exists in the calendar."""
    try:
        day = dt.date.fromisoformat(text) if re.fullmatch(r"\d{4}-\d\d-\d\d", text) else None
    except ValueError:
        day = None
    if day is None:
        raise argparse.ArgumentTypeError(f"bad day {text!r}: use YYYY-MM-DD")
    return day.isoformat()


def depth_list(text: str) -> list[int]:
    try:
        depths = [int(n) for n in name_list(text)]
    except ValueError:
        raise argparse.ArgumentTypeError(f"depths must be whole numbers of price bins: {text!r}") from None
    if any(k < 0 for k in depths):
        raise argparse.ArgumentTypeError(f"depths must not be negative: {text!r}")
    return depths


def add_batch_parser(sub: Any) -> None:
    p = sub.add_parser("batch", help="bars, footprint and book tables of many symbols and days of a catalog",
                       description="Compute per symbol and UTC day of a catalog the tables bars, footprint and book "
                       "into Hive-partitioned Parquet under --out: on a thread pool here (default), a local Dask "
                       "cluster or a running Dask scheduler. A second run does only what is not done yet.")
    p.add_argument("--catalog", required=True, metavar="ROOT",
                   help="catalog folder or URL such as s3://bucket/prefix (as fetch writes it)")
    p.add_argument("--exchange", metavar="E", help="exchange of the catalog (binance-um, bybit, ...)")
    p.add_argument("--exchanges", type=name_list, metavar="E1,E2", help="instead of --exchange: one instrument over "
                   "several exchanges, its tables aggregated under exchange=aggregate:E1+E2 (the first the reference "
                   "venue)")
    p.add_argument("--per-venue", action="store_true", help="with --exchanges, also each exchange's own tables")
    p.add_argument("--symbols", required=True, type=name_list, metavar="S1,S2", help="symbols, comma-separated")
    p.add_argument("--from", dest="start", required=True, type=utc_day, metavar="DAY",
                   help="first UTC day (YYYY-MM-DD)")
    p.add_argument("--to", dest="end", required=True, type=utc_day, metavar="DAY", help="last UTC day, included")
    p.add_argument("--out", required=True, metavar="DIR", help="output folder or URL such as s3://bucket/prefix")
    p.add_argument("--tables", type=table_list, default=["bars", "footprint", "book"], metavar="T1,T2",
                   help="tables among bars, footprint, book (default all three)")
    p.add_argument("--bucket", type=bucket_duration, default=60_000, metavar="DURATION",
                   help="time bucket, a divisor of a day (default 1m)")
    p.add_argument("--price-bin", type=price_bins, default=1.0, metavar="X|S=X,...",
                   help="price bin: one for all symbols, or per symbol with an optional bare default, as 1,BTCUSDT=10 "
                   "(default 1.0)")
    p.add_argument("--depths", type=depth_list, default=[5, 10, 20], metavar="K1,K2",
                   help="book depths in price bins from the mid (default 5,10,20)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N", help="threads here, or processes of --local-cluster "
                       "(default: the number of cores)")
    where.add_argument("--scheduler", metavar="tcp://HOST:PORT", help="run on this Dask scheduler")
    p.add_argument("--local-cluster", action="store_true", help="run on a Dask LocalCluster of processes")
    p.add_argument("--dashboard", metavar="[HOST]:PORT",
                   help="serve Dask's dashboard of --local-cluster there (default: no dashboard)")
    p.add_argument("--connect-timeout", type=float, default=10.0, metavar="SECONDS",
                   help="how long to try reaching --scheduler (default 10)")
    p.add_argument("--replace", action="store_true",
                   help="recompute tables that --out holds with other parameters instead of refusing")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.set_defaults(run=cmd_batch)


def cmd_batch(args: argparse.Namespace) -> int:
    from ..batch import BatchError, connect, plan, run
    from ..batch.aggregate import aggregate_name

    if args.start > args.end:
        sys.stderr.write(f"korvel_vorn batch: error: --from {args.start} is after --to {args.end}\n")
        return 2
    if (args.exchange is None) == (args.exchanges is None):
        sys.stderr.write("korvel_vorn batch: error: give --exchange E or --exchanges E1,E2\n")
        return 2
    if args.per_venue and args.exchanges is None:
        sys.stderr.write("korvel_vorn batch: error: --per-venue goes with --exchanges\n")
        return 2
    if args.workers is not None and args.workers < 1:
        raise CliError("--workers must be at least 1")
    if args.local_cluster and args.scheduler:
        raise CliError("--local-cluster and --scheduler exclude each other")
    if args.dashboard is not None and not args.local_cluster:
        raise CliError("--dashboard serves the dashboard of --local-cluster (a scheduler serves its own)")
    price_bin = args.price_bin
    if isinstance(price_bin, dict):  # the symbols not named take the bare bin (default 1.0)
        default = price_bin.pop("", 1.0)
        price_bin = {**{symbol: default for symbol in args.symbols}, **price_bin}
    client = None
    try:
        exchanges = [args.exchange] if args.exchanges is None else [aggregate_name(args.exchanges)]
        if args.per_venue:
            exchanges += args.exchanges
        jobs = [job for exchange in exchanges
                for job in plan(args.catalog, exchange, args.symbols, args.start, args.end, tables=args.tables,
                                bucket_ms=args.bucket, price_bin=price_bin, depths=args.depths)]
        executor: Any = None
        if args.scheduler:
            executor = client = connect(args.scheduler, args.connect_timeout)
            sys.stderr.write(f"dask dashboard: {client.dashboard_link}\n")
        elif args.local_cluster:
            executor = "local"
        report = run(jobs, args.out, executor, replace=args.replace, workers=args.workers,
                     progress=not args.no_progress, dashboard=args.dashboard)
    except BatchError as error:
        raise CliError(str(error)) from None
    except ImportError as error:
        raise CliError(f"batch needs pyarrow ({error}): pip install 'korvel_vorn[convert]'") from None
    finally:
        if client is not None:
            client.close()
    for job in report.reports:
        for note in job["notes"]:
            sys.stderr.write(f"  {note}\n")
    for job in report.failed:
        sys.stderr.write(f"korvel_vorn batch: {job['symbol']} {job['day']} failed: {job['error']}\n")
    done = len(report.reports) - len(report.failed)
    rows = sum(r or 0 for job in report.reports if job["error"] is None for r in job["rows"].values())
    sys.stderr.write(f"batch: {done} job(s) done ({rows} rows), {report.skipped} already done, "
                     f"{len(report.failed)} failed; output in {args.out}\n")
    return 3 if report.failed else 0
