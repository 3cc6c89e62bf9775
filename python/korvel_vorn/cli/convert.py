"""`convert`: exchange recordings to one dataset file."""

from __future__ import annotations

import argparse
import sys

from ..schema import LISTS
from ..timefmt import format_ts, parse_duration
from .common import CliError
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
    candles = None
    if args.candles_from_trades is not None:
        try:
            candles = parse_duration(args.candles_from_trades)
        except ValueError as error:
            raise CliError(f"--candles-from-trades: {error}") from None
    try:
        result = convert_files(
            inputs, symbol=args.symbol, time_unit=args.time_unit, start=convert_time(args.start, "--from"),
            end=convert_time(args.end, "--to"), keep_all_times=args.keep_all_times,
            keep_unsnapshotted_diffs=args.keep_unsnapshotted_diffs,
            drop_duplicate_liquidations=args.drop_duplicate_liquidations, keep_trade_types=args.keep_trade_types,
            candles_from_trades=candles, strict=args.strict)
    except EmptyConversion as error:
        for note in error.conversion.notes()[:-1]:
            sys.stderr.write(f"  {note}\n")
        raise CliError(str(error)) from None
    except ConvertError as error:
        raise CliError(str(error)) from None
    with result:
        try:
            result.write(args.output)
        except OSError as error:
            raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
        counts = ", ".join(f"{name} {count}" for name, count in result.counts.items())
        span = result.span()
        when = f" ({format_ts(span[0])} to {format_ts(span[1])})" if span else ""
        sys.stderr.write(f"converted {len(result.sources)} file(s): {counts}{when}\n")
        for note in result.notes():
            sys.stderr.write(f"  {note}\n")
    return 0
