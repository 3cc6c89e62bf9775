"""`--exchanges`: one instrument over several venues of a catalog, for the commands that read a
catalog span (info, render, view, ...)."""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import Any

from ..session import Session


class VenueOptionError(ValueError):
    """--exchanges or --symbol that cannot be used (a usage error)."""


def exchange_list(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise VenueOptionError(f"--exchanges {text!r}: give exchange names separated by commas")
    return names


def venue_symbol(text: str, exchanges: list[str]) -> str | dict[str, str]:
    """One symbol for every venue, or E=S pairs separated by commas."""
    if "=" not in text:
        return text
    pairs: dict[str, str] = {}
    for item in text.split(","):
        exchange, _, symbol = item.partition("=")
        if not exchange.strip() or not symbol.strip():
            raise VenueOptionError(f"--symbol {text!r}: give one symbol, or E=S pairs separated by commas")
        pairs[exchange.strip()] = symbol.strip()
    extra = [name for name in pairs if name not in exchanges]
    if extra:
        raise VenueOptionError(f"--symbol names {extra[0]}, which --exchanges does not")
    return pairs


def check_venue_options(args: argparse.Namespace) -> None:
    if args.exchange is not None:
        raise VenueOptionError("give --exchange or --exchanges, not both")
    if args.symbol is None:
        raise VenueOptionError("--exchanges needs --symbol")
    venue_symbol(args.symbol, exchange_list(args.exchanges))


def load_venue_span(session: Session, args: argparse.Namespace, start: int | None, end: int | None) -> int:
    """Load the venues; each venue left out is one warning line on stderr."""
    from ..composite.catalog import VenueWarning

    exchanges = exchange_list(args.exchanges)
    symbol: Any = venue_symbol(args.symbol, exchanges)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", VenueWarning)
        try:
            count = session.load_catalog(args.catalog, symbol=symbol, exchanges=exchanges, start=start, end=end)
        finally:
            for warning in caught:
                if issubclass(warning.category, VenueWarning):
                    print(f"korvel_vorn {args.command}: warning: {warning.message}", file=sys.stderr)
                else:
                    warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return count
