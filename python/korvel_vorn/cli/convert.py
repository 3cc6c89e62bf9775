"""`convert`: exchange recordings to one dataset file."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..schema import LISTS
from ..timefmt import format_ts, parse_duration
from .common import CliError, UsageError
from .values import convert_time


def cmd_convert(args: argparse.Namespace) -> int:
    try:
        from ..convert import ConvertError, EmptyConversion, convert_files
    except ImportError as error:
        raise CliError(f"convert needs pyarrow and orjson ({error}): pip install 'korvel_vorn[convert]'") from None

    inputs: list[tuple[str, str | None]] = [(path, None) for path in args.inputs]
    for kind in LISTS:
        inputs += [(path, kind) for path in getattr(args, kind) or []]
    if not inputs:
        raise CliError("no input files: give recordings to convert")
    if (args.output is None) == (args.catalog is None):
        raise UsageError("give -o/--output FILE or --catalog ROOT (one of them)")
    if args.catalog is not None and args.exchange is None:
        raise UsageError("--catalog needs --exchange: the inputs do not tell which exchange they come from")
    if args.catalog is None and args.exchange is not None:
        raise UsageError("--exchange names a catalog's exchange: give --catalog ROOT too")
    candles = None
    if args.candles_from_trades is not None:
        try:
            candles = parse_duration(args.candles_from_trades)
        except ValueError as error:
            raise CliError(f"--candles-from-trades: {error}") from None
    try:
        result = convert_files(
            inputs, symbol=args.symbol, time_unit=args.time_unit, start=convert_time(args.start, "--from"),
            end=convert_time(args.end, "--to"), keep_all_times=args.keep_all_times or args.catalog is not None,
            keep_unsnapshotted_diffs=args.keep_unsnapshotted_diffs,
            drop_duplicate_liquidations=args.drop_duplicate_liquidations, keep_trade_types=args.keep_trade_types,
            candles_from_trades=candles)
    except EmptyConversion as error:
        for note in error.conversion.notes()[:-1]:
            sys.stderr.write(f"  {note}\n")
        raise CliError(str(error)) from None
    except ConvertError as error:
        raise CliError(str(error)) from None
    with result:
        try:
            if args.catalog is not None:
                _write_catalog(args, result, [path for path, _ in inputs])
            else:
                result.write(args.output)
        except OSError as error:
            raise CliError(f"cannot write {args.output or args.catalog}: {error.strerror or error}") from None
        counts = ", ".join(f"{name} {count}" for name, count in result.counts.items())
        span = result.span()
        when = f" ({format_ts(span[0])} to {format_ts(span[1])})" if span else ""
        sys.stderr.write(f"converted {len(result.sources)} file(s): {counts}{when}\n")
        for note in result.notes():
            sys.stderr.write(f"  {note}\n")
    return 0


def _write_catalog(args: argparse.Namespace, result: Any, paths: list[str]) -> None:
    """The converted lists into the catalog, split at UTC midnight, each day with its inputs."""
    from ..catalog.layout import CatalogError
    from ..catalog.manifest import file_sha256
    from ..catalog.write import write_lists
    from ..convert.conversion import Conversion

    assert isinstance(result, Conversion)
    symbol = args.symbol or (next(iter(result.symbols)) if len(result.symbols) == 1 else None)
    if symbol is None:
        raise UsageError("--catalog needs --symbol: the inputs do not tell the symbol")
    lists = {name: result.columns(name) for name, count in result.counts.items() if count}
    inputs = [{"name": os.path.basename(path), "size": os.path.getsize(path), "sha256": file_sha256(path)}
              for path in _files(paths)]
    try:
        written = write_lists(args.catalog, args.exchange, symbol, lists, inputs)
    except CatalogError as error:
        raise CliError(str(error)) from None
    days = sorted({day for _, day in (*written.written, *written.unchanged)})
    if days:
        sys.stderr.write(f"catalog {args.catalog}: {args.exchange} {symbol}, {len(days)} day(s) {days[0]} to "
                         f"{days[-1]} ({len(written.written)} partitions written, {len(written.unchanged)} unchanged)\n")


def _files(paths: list[str]) -> list[str]:
    out: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            out += sorted(entry.path for entry in os.scandir(path) if entry.is_file() and not entry.name.startswith("."))
        else:
            out.append(path)
    return out

