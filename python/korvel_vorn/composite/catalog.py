"""A composite loaded from catalogs: one instrument's venues, checked before anything is loaded.

An unknown exchange, a venue whose catalog lacks the symbol, or quantities that cannot be brought
to the base asset each stop the load with one error. A venue that has the symbol but no records
in the span is named in a `VenueWarning` and left out; when every venue is left out, nothing is
loaded and the error names them.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from ..catalog.layout import CatalogError, day_of_ms
from ..catalog.read import days, exchanges_and_symbols, list_days, read_day, read_span
from ..columns import native_columns
from ..timefmt import time_ms
from .session import CompositeSession
from .units import QuantityUnit, quantity_unit, to_base

Root = str | os.PathLike[str]


class VenueWarning(UserWarning):
    """A venue left out of a composite (it has no records in the span)."""


def venue_symbols(symbol: str | Mapping[str, str], exchanges: Sequence[str]) -> dict[str, str]:
    """The symbol of each venue: one for all, or one per exchange."""
    if isinstance(symbol, str):
        return {exchange: symbol for exchange in exchanges}
    missing = [exchange for exchange in exchanges if exchange not in symbol]
    if missing:
        raise CatalogError(f"no symbol given for {missing[0]}: give one symbol, or one per exchange")
    return {exchange: str(symbol[exchange]) for exchange in exchanges}


def check_exchanges(exchanges: Sequence[str]) -> list[str]:
    names = [str(name).strip() for name in exchanges]
    if not names:
        raise CatalogError("no exchanges given: name at least one")
    for i, name in enumerate(names):
        if name in names[:i]:
            raise CatalogError(f"exchange {name} is given twice")
    return names


def _root_of(roots: Sequence[Root], exchange: str, symbol: str) -> Root:
    for root in roots:
        if days(root, exchange, symbol):
            return root
    held = sorted({s for root in roots for e, s in exchanges_and_symbols(root) if e == exchange})
    where = ", ".join(os.fspath(root) for root in roots)
    holds = f" (it holds {', '.join(held)})" if held else " (it holds no symbol there)"
    raise CatalogError(f"symbol {symbol} is missing in venue {exchange}: no days in {where}{holds}")


def _funding_times(root: Root, exchange: str, symbol: str, start: int | None, end: int | None) -> np.ndarray[Any, Any]:
    parts = [read_day(root, "funding", exchange, symbol, day)["ts"]
             for day in _in_days(list_days(root, "funding", exchange, symbol), start, end)]
    ts = np.concatenate(parts) if parts else np.zeros(0, dtype=np.int64)
    keep = np.ones(len(ts), dtype=bool)
    if start is not None:
        keep &= ts >= start
    if end is not None:
        keep &= ts < end
    return np.asarray(ts[keep], dtype=np.int64)


def _load_venue(root: Root, exchange: str, symbol: str, unit: QuantityUnit, start: int | None,
                end: int | None, new_session: Callable[[], Any]) -> Any:
    """One venue's span in a session of its own, or None when the span holds no record. Base
    quantities go through the single-venue reader; contracts are converted first."""
    session = new_session()
    if unit.base:
        if not any(_in_days(days(root, exchange, symbol), start, end)):
            return None
        try:
            session.load_catalog(root, exchange=exchange, symbol=symbol, start=start, end=end)
        except CatalogError as error:
            if "holds no records" in str(error):
                return None
            raise
        return session
    lists = read_span(root, exchange, symbol, start, end)
    if not lists:
        return None
    lists = to_base(lists, unit, f"{exchange} {symbol}")
    session.load_columns(**{name: native_columns(name, columns) for name, columns in lists.items()})
    return session


def _in_days(day_list: list[str], start: int | None, end: int | None) -> list[str]:
    first = None if start is None else day_of_ms(start)
    last = None if end is None else day_of_ms(end - 1)
    return [day for day in day_list if (first is None or day >= first) and (last is None or day <= last)]


def load_catalogs(roots: Root | Sequence[Root], *, symbol: str | Mapping[str, str], exchanges: Sequence[str],
                  start: Any = None, end: Any = None, spec: Any = None,
                  new_session: Callable[[], Any]) -> CompositeSession:
    """A composite of `exchanges` (the first the reference venue) read from one catalog root or
    several (each venue from the first root that holds its symbol), over the span from `start`
    (inclusive) to `end` (exclusive), each venue in a session `new_session()` makes (a
    `korvel_vorn.Session`). Contract quantities are converted to the base asset."""
    root_list: list[Root] = [roots] if isinstance(roots, (str, os.PathLike)) else list(roots)
    if not root_list:
        raise CatalogError("no catalog root given")
    names = check_exchanges(exchanges)
    symbols = venue_symbols(symbol, names)
    units = {name: quantity_unit(name, symbols[name]) for name in names}  # unknown exchanges stop here
    venue_roots = {name: _root_of(root_list, name, symbols[name]) for name in names}
    start_ms = None if start is None else time_ms(start)
    end_ms = None if end is None else time_ms(end)
    composite = CompositeSession(spec)
    left_out = []
    for name in names:
        root, sym, unit = venue_roots[name], symbols[name], units[name]
        session = _load_venue(root, name, sym, unit, start_ms, end_ms, new_session)
        if session is None:
            left_out.append(name)
            warnings.warn(f"venue {name} has no records of {sym} in the span asked for: left out", VenueWarning,
                          stacklevel=2)
            continue
        composite.add_venue(name, sym, session, _funding_times(root, name, sym, start_ms, end_ms))
    if not composite.venues:
        raise CatalogError(f"no venue holds records in the span asked for ({', '.join(left_out)}): nothing loaded")
    return composite


__all__ = ["VenueWarning", "load_catalogs", "venue_symbols"]
