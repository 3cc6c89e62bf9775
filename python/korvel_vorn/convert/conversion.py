"""The end of a conversion: every list planned, the account of what was kept and left out, and the
writers for JSON and `.npz`."""

from __future__ import annotations

import gzip
import io
import os
import sys
import tempfile
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from ..schema import COLUMN_FIELDS, LISTS
from ..timefmt import format_ts
from .candles import TRADE_FIELDS, derive_candles
from .market import BATCH, ConvertError, Market, records_chunk
from .output import write_json, write_npz
from .plan import BookOrder, ListPlan, plan_book, plan_list, repeated_trades, start_book_at
from .store import ListStore

_EMPTY_DTYPES = {"ts": "int64", "float": "float64", "code": "uint8", "count": "int64"}
SIDE_LISTS = ("candles", "funding", "oi")  # clipped to the span of the market lists by default
MARKET_LISTS = ("trades", "book", "liquidations")


@dataclass
class Source:
    """One input as read: its name, the form recognised, and the records it gave per list."""

    name: str
    form: str
    records: dict[str, int] = field(default_factory=dict)


@dataclass
class Conversion:
    """The converted market: planned lists, ready to be written, and what was left out and why."""

    market: Market
    plans: dict[str, ListPlan]
    sources: list[Source]
    book: BookOrder
    duplicates: int = 0
    outside: Counter[str] = field(default_factory=Counter)  # records left out by time, per list
    outside_range: str = ""
    replaced_before_start: int = 0
    derived_candles: bool = False

    @property
    def counts(self) -> dict[str, int]:
        return {name: self.plans[name].count for name in LISTS}

    @property
    def symbols(self) -> set[str]:
        return set(self.market.symbols)

    @property
    def skipped(self) -> Counter[str]:
        return self.market.skipped

    @property
    def dropped_diffs(self) -> int:
        return self.book.contained

    @property
    def raised_ts(self) -> int:
        return self.book.raised

    @property
    def sequence_gaps(self) -> int:
        return self.book.gaps

    def span(self) -> tuple[int, int] | None:
        lows = [p.ts_min for p in self.plans.values() if p.ts_min is not None]
        highs = [p.ts_max for p in self.plans.values() if p.ts_max is not None]
        return (min(lows), max(highs)) if lows else None

    def notes(self) -> list[str]:
        """What was read, and everything left out or worth a warning, with counts and reasons."""
        options = self.market.options
        notes = []
        for source in self.sources:
            read = ", ".join(f"{name} {count}" for name, count in source.records.items() if count) or "no records"
            notes.append(f"read {source.name}: {source.form} ({read})")
        if self.market.symbols:
            notes.append(f"symbol {', '.join(sorted(self.market.symbols))}")
        if self.book.contained:
            notes.append(f"dropped {self.book.contained} depth updates already contained in a snapshot")
        if self.book.unsnapshotted:
            notes.append(f"warning: dropped {self.book.unsnapshotted} depth updates that came before the book's first "
                         "snapshot (the book they build lacks every level they do not touch); "
                         "--keep-unsnapshotted-diffs keeps them")
        elif options.keep_unsnapshotted_diffs and self.plans["book"].count and not self._book_starts_whole():
            notes.append("warning: the book starts with depth updates before any snapshot (kept as asked)")
        if self.book.in_gaps:
            notes.append(f"dropped {self.book.in_gaps} depth updates inside recorded gaps (before the snapshot "
                         "that ends each)")
        if self.book.before_sync:
            notes.append(f"dropped {self.book.before_sync} depth updates a recording session wrote before its "
                         "book first synced (none starts on the previous session's book)")
        if self.book.unused:
            notes.append(f"left out {self.book.unused} depth snapshots the recording marks unused (older than "
                         "the updates after them)")
        if self.book.raised:
            notes.append(f"moved {self.book.raised} depth updates to the time of the snapshot they follow")
        if self.book.gaps:
            notes.append(f"warning: {self.book.gaps} gaps in the depth update sequence (updates were lost)")
        if self.replaced_before_start:
            notes.append(f"replaced {self.replaced_before_start} book events before the start time by one snapshot "
                         "of the book they built")
        if self.duplicates:
            notes.append(f"dropped {self.duplicates} trades seen twice (same trade id)")
        repeats = self.market.duplicate_liquidations
        if repeats:
            what = (f"{repeats} liquidations repeat an earlier one exactly (same time, side, price and quantity)")
            notes.append(f"dropped {what} as asked" if options.drop_duplicate_liquidations else
                         f"kept {what}: two positions can be liquidated alike; --drop-duplicate-liquidations "
                         "drops them")
        for what, count in sorted(self.market.dropped.items()):
            notes.append(f"dropped {count} {what}")
        for name in LISTS:
            if self.outside[name]:
                notes.append(f"dropped {self.outside[name]} {name} records outside {self.outside_range}")
        for what, count in sorted(self.market.skipped.items()):
            notes.append(f"skipped {count} {what}")
        if self.derived_candles:
            notes.append(f"derived {self.plans['candles'].count} candles from the trades (whole buckets only)")
        elif not self.plans["candles"].count and self.plans["trades"].count:
            notes.append("no candles, so the divergence panel has no price: --candles-from-trades 1m derives them")
        notes.extend(self.market.warnings)
        return notes

    def _book_starts_whole(self) -> bool:
        for chunk in self.plans["book"].chunks(("kind",)):
            return bool(chunk["kind"][0] == 0)
        return True

    def write(self, path: str) -> None:
        """Write the dataset: JSON (path "-" for stdout, ".gz" compressed) or `.npz` columns. A file
        is replaced only once it is complete."""
        if path == "-":
            write_json(sys.stdout.buffer, self.plans)
            sys.stdout.flush()
            return
        directory = os.path.dirname(path) or "."
        os.makedirs(directory, exist_ok=True)
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".korvel_vorn-", suffix=".part")
        try:
            with os.fdopen(fd, "wb") as raw:
                if path.endswith(".npz"):
                    raw.close()
                    write_npz(temporary, self.plans)
                elif path.endswith(".gz"):
                    with gzip.GzipFile(fileobj=raw, mode="wb", mtime=0) as packed:
                        write_json(packed, self.plans)  # type: ignore[arg-type]
                else:
                    with io.BufferedWriter(raw, 1 << 20) as buffered:
                        write_json(buffered, self.plans)
            os.replace(temporary, path)
        except BaseException:
            if os.path.exists(temporary):
                os.unlink(temporary)
            raise

    def columns(self, name: str) -> dict[str, Any]:
        """One planned list whole, as the NumPy columns of `Session.load_columns`."""
        import numpy as np

        fields = [field for field, _ in COLUMN_FIELDS[name]]
        parts = list(self.plans[name].chunks(fields[1:]))
        return {field: np.concatenate([part[field] for part in parts]) if parts
                else np.zeros(0, dtype=_EMPTY_DTYPES[kind]) for field, kind in COLUMN_FIELDS[name]}

    def to_json(self) -> str:
        out = io.BytesIO()
        write_json(out, self.plans)
        return out.getvalue().decode("utf-8")

    def close(self) -> None:
        self.market.close()

    def __enter__(self) -> Conversion:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _clip(plan: ListPlan, lo: int | None, hi: int | None) -> int:
    """Bound the plan's times; returns the records this leaves out."""
    plan.measure()
    before = plan.count
    plan.lo, plan.hi = lo, hi
    plan.measure()
    return before - plan.count


def finish(market: Market, sources: list[Source]) -> Conversion:
    """Plan every list: time order, repeats, the book's order, time bounds and derived candles."""
    options = market.options
    market.flush()
    if len(market.trade_id_kinds) > 1:
        raise ConvertError(
            "the inputs mix individual trades and aggregate trades of one market, which would count "
            "the same volume twice: convert one kind"
        )
    stores = market.stores
    for index, source in enumerate(sources):
        for name, store in stores.items():
            source.records[name] = sum(s.stop - s.start for s in store.segments if s.source == index)
    plans: dict[str, ListPlan] = {name: plan_list(stores[name]) for name in ("trades", "funding", "oi", "liquidations")}
    keep, duplicates = repeated_trades(stores["trades"])
    plans["trades"].keep = keep
    plans["book"], book = plan_book(stores["book"], options.keep_unsnapshotted_diffs, options.book_gaps,
                                    options.unused_snapshots, options.session_starts)
    conversion = Conversion(market, plans, sources, book, duplicates)
    explicit = options.start is not None or options.end is not None
    lo = options.start
    hi = None if options.end is None else options.end - 1
    if options.start is not None:
        conversion.replaced_before_start = start_book_at(plans["book"], options.start)
    if explicit:
        conversion.outside_range = _range_text(options.start, options.end)
    for name in MARKET_LISTS:
        conversion.outside[name] = _clip(plans[name], lo, hi) if explicit else 0
        if not explicit:
            plans[name].measure()
    spans = [(plans[n].ts_min, plans[n].ts_max) for n in MARKET_LISTS if plans[n].ts_min is not None]
    side_lo, side_hi = lo, hi
    if spans and not options.keep_all_times:
        market_lo = min(s[0] for s in spans if s[0] is not None)
        market_hi = max(s[1] for s in spans if s[1] is not None)
        side_lo = market_lo if lo is None else lo
        side_hi = market_hi if hi is None else hi
        if not explicit:
            conversion.outside_range = (f"the recording's time range ({format_ts(market_lo)} to {format_ts(market_hi)}); "
                                        "--keep-all-times keeps them")
    candles = _candles(market, plans, conversion)
    plans["candles"] = plan_list(candles)
    for name in ("funding", "oi", "candles"):
        conversion.outside[name] = _clip(plans[name], side_lo, side_hi)
    if not any(plans[name].count for name in LISTS):
        read = sum(sum(s.records.values()) for s in sources)
        why = "the inputs hold no market records" if not read else \
            f"all {read} records read were left out (see the reasons above)"
        conversion.market.warnings.append(why)
        raise EmptyConversion(conversion, f"nothing to convert: {why}")
    return conversion


class EmptyConversion(ConvertError):
    """A conversion that kept no record; `conversion` tells what was read and left out."""

    def __init__(self, conversion: Conversion, message: str) -> None:
        super().__init__(message)
        self.conversion = conversion


def _range_text(start: int | None, end: int | None) -> str:
    if start is not None and end is not None:
        return f"--from {format_ts(start)} --to {format_ts(end)}"
    return f"--from {format_ts(start)}" if start is not None else f"--to {format_ts(end)}"  # type: ignore[arg-type]


def _candles(market: Market, plans: dict[str, ListPlan], conversion: Conversion) -> ListStore:
    """The candles list: the klines read, or candles derived from the kept trades."""
    store = ListStore(market.root, "candles")
    store.begin(0)
    bucket = market.options.candles_from_trades
    if bucket is None:
        records = sorted(market.candles.values())
    else:
        if market.candles:
            market.dropped["candles read from klines (replaced by the candles derived from the trades)"] \
                += len(market.candles)
        spans = [(plans[n].ts_min, plans[n].ts_max) for n in ("trades", "book") if plans[n].ts_min is not None]
        records = []
        if spans:
            first, last = min(s[0] for s in spans), max(s[1] for s in spans)  # type: ignore[type-var]
            records = derive_candles(plans["trades"].chunks(TRADE_FIELDS), bucket, first, last)  # type: ignore[arg-type]
        conversion.derived_candles = True
    for i in range(0, len(records), BATCH):
        store.append(records_chunk("candles", records[i:i + BATCH]))
    market.stores["candles"] = store
    return store
