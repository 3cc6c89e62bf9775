"""`record`: live exchange feeds into hourly gzip JSON Lines files (see korvel_vorn.record)."""

from __future__ import annotations

import argparse

from .common import CliError


def cmd_record(args: argparse.Namespace) -> int:
    try:
        from ..recorder import RecordError, record
    except ImportError as error:
        raise CliError(f"record needs websockets ({error}): pip install 'korvel_vorn[record]'") from None
    try:
        return record(args.source, args.symbols, args.out, every_trade=args.every_trade, oi_every=args.oi_every,
                      duration=args.duration)
    except RecordError as error:
        raise CliError(str(error)) from None
