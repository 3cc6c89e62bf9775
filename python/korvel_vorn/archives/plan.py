"""Which archive files a fetch needs, where each comes from, and which lists and days each feeds.

Sources: ``binance-um``, ``binance-cm`` and ``binance-spot`` (zips with CHECKSUMs), ``bybit`` (trade CSV.gz and the
order-book zip of JSON lines), ``tardis:EXCHANGE`` (CSV.gz). Every location comes from `venues`.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass, field

from ..catalog.layout import CatalogError, day_text
from ..venues import bybit, tardis
from ..venues.binance import archive as binance
from ..venues.binance_spot import archive as spot


class UsageError(ValueError):
    """A request that cannot be fetched as asked (unknown source, type or symbol form, bad days)."""


@dataclass(frozen=True)
class ArchiveFile:
    """One file of an archive: where it is, how it is checked, what it holds."""

    data_type: str
    symbol: str
    period: str  # the day, or the month of a monthly file
    url: str
    name: str  # the manifest's name of the input: archive key and path under the archive's root
    kind: str  # "zip" or "gz"
    list_name: str
    max_bytes: int
    checksum_url: str | None = None
    member: str | None = None  # the one member a zip must hold (None: any single JSON or CSV member)
    alternatives: tuple[ArchiveFile, ...] = ()  # tried in order when this one is missing
    needs_key: bool = False


@dataclass
class Source:
    """A parsed source: its exchange name in the catalog and its archive."""

    name: str
    exchange: str
    types: tuple[str, ...]
    default_types: tuple[str, ...]
    type_lists: dict[str, str]
    optional_types: frozenset[str] = field(default_factory=frozenset)  # missing where not published
    extra_lists: dict[str, tuple[str, ...]] = field(default_factory=dict)  # more lists a type fills
    notes: tuple[str, ...] = ()  # what the report says of every fetch of the source

    def lists_of(self, data_type: str) -> tuple[str, ...]:
        return (self.type_lists[data_type], *self.extra_lists.get(data_type, ()))


def parse_source(text: str) -> Source:
    if text in binance.MARKETS:
        return Source(text, text, (*binance.DEFAULT_TYPES, "aggTrades"), binance.DEFAULT_TYPES,
                      binance.TYPE_LISTS, frozenset({"liquidationSnapshot"}))
    if text == spot.SOURCE:
        return Source(text, text, spot.TYPES, spot.DEFAULT_TYPES, spot.TYPE_LISTS, notes=(spot.NO_DERIVATIVES,))
    if text == bybit.EXCHANGE:
        return Source(text, bybit.EXCHANGE, bybit.DEFAULT_TYPES, bybit.DEFAULT_TYPES, bybit.TYPE_LISTS)
    if text.startswith(tardis.SOURCE_PREFIX):
        exchange = text[len(tardis.SOURCE_PREFIX):]
        if not tardis.EXCHANGE_FORM.fullmatch(exchange):
            raise UsageError(f"bad Tardis exchange {exchange!r}: use tardis:EXCHANGE, e.g. tardis:binance-futures")
        return Source(text, exchange, tardis.DEFAULT_TYPES, tardis.DEFAULT_TYPES, tardis.TYPE_LISTS,
                      extra_lists=dict(tardis.EXTRA_LISTS))
    raise UsageError(f"unknown source {text!r}: use binance-um, binance-cm, binance-spot, bybit or "
                     "tardis:EXCHANGE")


def parse_types(source: Source, text: str | None) -> tuple[str, ...]:
    if text is None:
        return source.default_types
    names = tuple(dict.fromkeys(t.strip() for t in text.split(",") if t.strip()))
    unknown = [t for t in names if t not in source.types]
    if unknown or not names:
        raise UsageError(f"unknown type {unknown[0] if unknown else text!r} for {source.name}: "
                         f"use {', '.join(source.types)}")
    if "trades" in names and "aggTrades" in names:
        raise UsageError("trades and aggTrades hold the same volume: ask for one of them")
    return names


def check_symbol(source: Source, symbol: str) -> str:
    if source.name in binance.MARKETS:
        market = binance.MARKETS[source.name]
        form, example = binance.SYMBOL_FORMS[market], binance.SYMBOL_EXAMPLES[market]
    elif source.name == spot.SOURCE:
        form, example = spot.SYMBOL_FORM, spot.SYMBOL_EXAMPLE
    elif source.name == bybit.EXCHANGE:
        form, example = bybit.SYMBOL_FORM, bybit.SYMBOL_EXAMPLE
    else:
        form, example = tardis.SYMBOL_FORM, tardis.SYMBOL_EXAMPLE
    if not form.fullmatch(symbol):
        raise UsageError(f"bad symbol {symbol!r} for {source.name}: use the archive's form, e.g. {example}")
    return symbol


def day_range(start: str, end: str, today: _dt.date | None = None) -> list[str]:
    """Every day from `start` to `end`, both included; days not yet published are refused."""
    try:
        first, last = day_text(start), day_text(end)
    except CatalogError as error:
        raise UsageError(str(error).replace("bad day", "bad day for --from/--to")) from None
    if first > last:
        raise UsageError(f"--from {first} is after --to {last}")
    today = today or _dt.datetime.now(_dt.UTC).date()
    if _dt.date.fromisoformat(last) >= today:
        raise UsageError(f"{last} is not published yet: archives publish a day after it ends (UTC); "
                         f"ask for days up to {(today - _dt.timedelta(days=1)).isoformat()}")
    begin = _dt.date.fromisoformat(first)
    count = (_dt.date.fromisoformat(last) - begin).days + 1
    return [(begin + _dt.timedelta(days=n)).isoformat() for n in range(count)]


def _binance_file(source: Source, data_type: str, symbol: str, day: str) -> ArchiveFile:
    market = binance.MARKETS[source.name]
    period = binance.period_of(data_type, day)
    path = binance.archive_path(market, data_type, symbol, period)
    url = binance.archive_url() + path
    return ArchiveFile(data_type, symbol, period, url, "binance" + path, "zip", binance.TYPE_LISTS[data_type],
                       binance.MAX_MEMBER_BYTES[data_type], checksum_url=url + binance.CHECKSUM_SUFFIX,
                       member=binance.member_name(path))


def _spot_file(data_type: str, symbol: str, day: str) -> ArchiveFile:
    path = spot.archive_path(data_type, symbol, day)
    url = spot.archive_url() + path
    return ArchiveFile(data_type, symbol, day, url, "binance" + path, "zip", spot.TYPE_LISTS[data_type],
                       spot.MAX_MEMBER_BYTES[data_type], checksum_url=url + binance.CHECKSUM_SUFFIX,
                       member=binance.member_name(path))


def _bybit_file(data_type: str, symbol: str, day: str) -> ArchiveFile:
    if data_type == "trades":
        path = bybit.trades_path(symbol, day)
        return ArchiveFile(data_type, symbol, day, bybit.trades_url() + path, "bybit" + path, "gz", "trades",
                           bybit.MAX_MEMBER_BYTES[data_type])
    books = [ArchiveFile(data_type, symbol, day, bybit.book_url() + bybit.book_path(symbol, day, depth),
                         "bybit-book" + bybit.book_path(symbol, day, depth), "zip", "book",
                         bybit.MAX_MEMBER_BYTES[data_type]) for depth in bybit.BOOK_DEPTHS]
    first = books[0]
    return ArchiveFile(first.data_type, symbol, day, first.url, first.name, "zip", "book", first.max_bytes,
                       alternatives=tuple(books[1:]))


def _tardis_file(source: Source, data_type: str, symbol: str, day: str) -> ArchiveFile:
    path = tardis.archive_path(source.exchange, data_type, symbol, day)
    return ArchiveFile(data_type, symbol, day, tardis.archive_url() + path, f"tardis{path}", "gz",
                       tardis.TYPE_LISTS[data_type], tardis.MAX_MEMBER_BYTES[data_type],
                       needs_key=tardis.needs_key(day))


def archive_file(source: Source, data_type: str, symbol: str, day: str) -> ArchiveFile:
    """The file of a type that holds a symbol's day."""
    if source.name in binance.MARKETS:
        return _binance_file(source, data_type, symbol, day)
    if source.name == spot.SOURCE:
        return _spot_file(data_type, symbol, day)
    if source.name == bybit.EXCHANGE:
        return _bybit_file(data_type, symbol, day)
    return _tardis_file(source, data_type, symbol, day)


def previous_day(day: str) -> str:
    return (_dt.date.fromisoformat(day) - _dt.timedelta(days=1)).isoformat()


def streams_trades(source: Source) -> bool:
    """Binance's trade zips, by far the largest files, go straight from the zip into the catalog."""
    return source.name in binance.MARKETS or source.name == spot.SOURCE


# Lists whose rows can appear in the file of the day before (a label at the next midnight, rows
# repeated across files), and the fields that make two rows the same.
SPILLING_LISTS = {"oi": ("ts",), "liquidations": ("ts", "price", "qty", "side")}
