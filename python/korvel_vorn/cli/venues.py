"""`--exchanges`: one instrument over several venues of a catalog, for the commands that read a
catalog span (info, render, view, ...)."""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import Any

from ..session import Session
from .common import CliError, UsageError


def exchange_list(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise UsageError(f"--exchanges {text!r}: give exchange names separated by commas")
    return names


def venue_symbol(text: str, exchanges: list[str]) -> str | dict[str, str]:
    """One symbol for every venue, or E=S pairs separated by commas."""
    if "=" not in text:
        return text
    pairs: dict[str, str] = {}
    for item in text.split(","):
        exchange, _, symbol = item.partition("=")
        if not exchange.strip() or not symbol.strip():
            raise UsageError(f"--symbol {text!r}: give one symbol, or E=S pairs separated by commas")
        pairs[exchange.strip()] = symbol.strip()
    extra = [name for name in pairs if name not in exchanges]
    if extra:
        raise UsageError(f"--symbol names {extra[0]}, which --exchanges does not")
    return pairs


def check_venue_options(args: argparse.Namespace) -> None:
    if args.exchange is not None:
        raise UsageError("give --exchange or --exchanges, not both")
    if args.symbol is None:
        raise UsageError("--exchanges needs --symbol")
    venue_symbol(args.symbol, exchange_list(args.exchanges))


def load_venue_span(session: Session, args: argparse.Namespace, start: int | None, end: int | None) -> int:
    """Load the venues; each venue left out is one warning line on stderr."""
    from ..catalog import CatalogError
    from ..composite import UnitError
    from ..composite.catalog import VenueWarning

    exchanges = exchange_list(args.exchanges)
    symbol: Any = venue_symbol(args.symbol, exchanges)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", VenueWarning)
        try:
            count = session.load_catalog(args.catalog, symbol=symbol, exchanges=exchanges, start=start, end=end)
        except (CatalogError, UnitError) as error:
            raise CliError(str(error)) from None
        finally:
            for warning in caught:
                if issubclass(warning.category, VenueWarning):
                    print(f"korvel_vorn {args.command}: warning: {warning.message}", file=sys.stderr)
                else:
                    warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return count
