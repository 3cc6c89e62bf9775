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
    spec_text, spec = read_spec(args)
    session = Session(spec_text if spec_text.strip() else None)
    session.load_file(args.dataset, max_bytes=args.max_size)
    return session, spec


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
