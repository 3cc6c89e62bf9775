"""What the subcommands share: the error they report, opening a dataset with its spec, cursors,
chart options and writing files."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any

from .. import commands
from ..session import Session
from ..timefmt import parse_time

MAX_SPEC_BYTES = 64 << 20  # a spec is a few hundred bytes; anything this large is not one


class CliError(Exception):
    """A bad input the tool reports and exits on."""


class UsageError(CliError):
    """A command line that asks for something impossible (exit status 2, as argparse's errors)."""


def one_line(message: str, limit: int = 2000) -> str:
    """An error message on one line of at most `limit` characters, saying how much was cut."""
    line = " ".join(message.split("\n"))
    return line if len(line) <= limit else f"{line[:limit]}... ({len(line) - limit} more characters)"


def default_spec(symbol: str, price_bin: float) -> dict[str, Any]:
    return commands.spec_value(
        symbol=symbol,
        panels=[
            commands.footprint(price_bin=price_bin),
            commands.book_heatmap(price_bin=price_bin, bucket_ms=10_000, depth_levels=60),
            commands.liquidation_map(price_bin=price_bin),
            commands.funding_oi_divergence(bucket_ms=60_000),
        ],
    )


def dataset_symbol(path: str) -> str:
    name = os.path.basename(path)
    for suffix in (".gz", ".npz", ".json", ".dataset"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
    return name or "market"


def read_spec(args: argparse.Namespace) -> tuple[str, dict[str, Any]]:
    """The spec text for the engine and its decoded form (for chart labels)."""
    if args.spec is None:
        spec = default_spec(args.symbol or dataset_symbol(args.dataset), args.price_bin)
        return commands.spec_text(spec), spec
    source = args.spec
    if source.lstrip().startswith(("{", "[")):
        text, where = source, "--spec"
    else:
        try:
            with open(source, "rb") as f:
                data = f.read(MAX_SPEC_BYTES + 1)
            if len(data) > MAX_SPEC_BYTES:
                raise CliError(f"spec {source} is larger than {MAX_SPEC_BYTES >> 20} MiB")
            text = data.decode("utf-8")
        except OSError as error:
            raise CliError(f"cannot read spec {source}: {error.strerror or error}") from None
        except UnicodeDecodeError:
            raise CliError(f"spec {source} is not UTF-8 text") from None
        where = source
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise CliError(f"spec {where} is not valid JSON: {error.msg} at line {error.lineno} column {error.colno}") from None
    except RecursionError:
        raise CliError(f"spec {where} nests too deeply") from None
    return text, commands.spec_mapping(value)


def open_session(args: argparse.Namespace) -> tuple[Session, dict[str, Any]]:
    check_dataset(args)
    spec_text, spec = read_spec(args)
    session = Session(spec_text if spec_text.strip() else None)
    load_dataset(session, args)
    return session, spec


def check_dataset(args: argparse.Namespace) -> None:
    """A DATASET file, or a catalog span (--catalog ROOT --exchange E --symbol S [--from T] [--to T])."""
    exchanges = getattr(args, "exchanges", None)
    span_options = [name for name, value in (("--exchange", args.exchange), ("--exchanges", exchanges),
                                               ("--from", args.span_from), ("--to", args.span_to))
                    if value is not None]
    if args.catalog is None:
        if args.dataset is None:
            raise UsageError("no DATASET: give a dataset file, or a catalog span with --catalog ROOT --exchange E "
                             "--symbol S")
        if span_options:
            raise UsageError(f"{span_options[0]} reads a catalog span: give --catalog ROOT too")
        return
    if args.dataset is not None:
        raise UsageError(f"give a DATASET file ({args.dataset}) or --catalog, not both")
    if exchanges is not None:
        check_venues(args)
        return
    if args.exchange is None or args.symbol is None:
        raise UsageError("--catalog needs --exchange and --symbol (python -m korvel_vorn catalog ROOT lists them)")


def dataset_label(args: argparse.Namespace) -> str:
    """The dataset as messages name it: its file, or the catalog span."""
    if args.catalog is None:
        return str(args.dataset)
    span = f" from {args.span_from or 'the first day'} to {args.span_to or 'the last day'}"
    exchange = args.exchange if getattr(args, "exchanges", None) is None else args.exchanges
    return f"{args.catalog} {exchange} {args.symbol}{span}"


def load_dataset(session: Session, args: argparse.Namespace) -> int:
    """Load the command's DATASET file or catalog span into the session; returns the record count."""
    check_dataset(args)
    if args.catalog is None:
        return session.load_file(args.dataset, max_bytes=args.max_size)
    try:
        from ..catalog import CatalogError
    except ImportError as error:
        raise CliError(f"reading a catalog needs pyarrow ({error}): pip install 'korvel_vorn[convert]'") from None
    try:
        start = None if args.span_from is None else parse_time(args.span_from)
        end = None if args.span_to is None else parse_time(args.span_to)
    except ValueError as error:
        raise UsageError(str(error)) from None
    if getattr(args, "exchanges", None) is not None:
        return load_venues(session, args, start, end)
    try:
        return session.load_catalog(args.catalog, exchange=args.exchange, symbol=args.symbol, start=start, end=end)
    except CatalogError as error:
        raise CliError(str(error)) from None


def check_venues(args: argparse.Namespace) -> None:
    from .venues import VenueOptionError, check_venue_options

    try:
        check_venue_options(args)
    except VenueOptionError as error:
        raise UsageError(str(error)) from None


def load_venues(session: Session, args: argparse.Namespace, start: int | None, end: int | None) -> int:
    from ..catalog import CatalogError
    from ..composite import UnitError
    from .venues import VenueOptionError, load_venue_span

    try:
        return load_venue_span(session, args, start, end)
    except VenueOptionError as error:
        raise UsageError(str(error)) from None
    except (CatalogError, UnitError) as error:
        raise CliError(str(error)) from None


def cursor_at(session: Session, text: str | None) -> int | None:
    if text is None:
        return None
    bounds = session.bounds()
    try:
        return parse_time(text, bounds["from_ts"], bounds["to_ts"])
    except ValueError as error:
        raise CliError(str(error)) from None


def chart_options(args: argparse.Namespace) -> Any:
    from ..charts import ChartOptions

    studies = tuple(s for s in args.studies.split(",") if s and s != "none")
    try:
        return ChartOptions(qty_unit=args.qty_unit, price_unit=args.price_unit, heatmap_scale=args.heatmap_scale,
                            white_point=args.white_point, studies=studies)
    except ValueError as error:
        raise CliError(str(error)) from None


def write_bytes(path: str, data: bytes) -> None:
    try:
        parent = os.path.dirname(path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror or error}") from None
