"""`info`: bounds and record counts of a dataset file."""

from __future__ import annotations

import argparse
import json

from ..replies import VornError
from ..session import Session
from ..timefmt import format_duration, format_ts
from .common import CliError, dataset_label, load_dataset


def cmd_info(args: argparse.Namespace) -> int:
    session = Session()
    load_dataset(session, args)
    try:
        bounds = session.bounds()
    except VornError as error:
        if error.kind == "data":
            raise CliError(f"{dataset_label(args)} holds no records") from None
        raise
    stats = session.list_bounds()
    if args.json:
        print(json.dumps({**bounds, "lists": stats}, separators=(",", ":")))
        return 0
    print(f"dataset  {dataset_label(args)}")
    print(f"records  {bounds['count']}")
    print(f"from_ts  {bounds['from_ts']}  {format_ts(bounds['from_ts'])}")
    print(f"to_ts    {bounds['to_ts']}  {format_ts(bounds['to_ts'])}")
    print(f"span     {format_duration(bounds['to_ts'] - bounds['from_ts'])}")
    print()
    print(f"{'list':<13}{'records':>9}  {'from_ts':<15}{'to_ts':<15}")
    for name, s in stats.items():
        first = "-" if s["from_ts"] is None else str(s["from_ts"])
        last = "-" if s["to_ts"] is None else str(s["to_ts"])
        print(f"{name:<13}{s['count']:>9}  {first:<15}{last:<15}")
    return 0
