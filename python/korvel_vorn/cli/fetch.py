"""`fetch`: public archives into a catalog of days; `catalog`: what a catalog holds."""

from __future__ import annotations

import argparse
import sys

from .common import CliError

USAGE_STATUS = 2


def cmd_fetch(args: argparse.Namespace) -> int:
    try:
        from ..archives import UsageError, fetch
    except ImportError as error:
        raise CliError(f"fetch needs pyarrow ({error}): pip install 'korvel_vorn[fetch]'") from None
    try:
        report = fetch(args.source, args.symbols, args.start, args.end, args.catalog, types=args.types,
                       cache=args.cache, jobs=args.jobs, api_key=args.api_key,
                       progress=not args.no_progress and sys.stderr.isatty())
    except UsageError as error:
        sys.stderr.write(f"korvel_vorn fetch: error: {error}\n")
        return USAGE_STATUS
    for line in report.summary():
        sys.stderr.write(line + "\n")
    return report.exit_status


def cmd_catalog(args: argparse.Namespace) -> int:
    try:
        from ..catalog.manifest import read_entry
        from ..catalog.read import exchanges_and_symbols, list_days
    except ImportError as error:
        raise CliError(f"catalog needs pyarrow ({error}): pip install 'korvel_vorn[convert]'") from None
    from ..catalog.layout import CATALOG_LISTS

    pairs = exchanges_and_symbols(args.root)
    if not pairs:
        raise CliError(f"{args.root} holds no catalog days")
    for exchange, symbol in pairs:
        per_list = {name: list_days(args.root, name, exchange, symbol) for name in CATALOG_LISTS}
        every = sorted({day for found in per_list.values() for day in found})
        print(f"{exchange} {symbol}: {len(every)} day(s), {every[0]} to {every[-1]}")
        for name, found in per_list.items():
            if not found:
                continue
            records = 0
            gaps = []
            for day in found:
                entry = read_entry(args.root, name, exchange, symbol, day) or {}
                records += int(entry.get("records", 0))
                if entry.get("gaps"):
                    gaps.append(f"{day} ({len(entry['gaps'])})")
            missing = [day for day in every if day not in found]
            line = f"  {name:<13}{len(found):>4} day(s) {records:>12} records"
            if missing:
                line += f"; no file for {', '.join(missing[:5])}{' ...' if len(missing) > 5 else ''}"
            if gaps:
                line += f"; gaps on {', '.join(gaps[:5])}{' ...' if len(gaps) > 5 else ''}"
            print(line)
    return 0
