"""Converters from recorded market data to the dataset JSON of a "load" command.

`convert_files` reads any number of recordings (CSV, JSON or JSON Lines, optionally .gz or
.zip), recognises each one's format from its content, and merges them into one market: every list
in time order, book updates ordered against their snapshots by the exchange's update ids, trades
seen twice dropped by id. The recognised formats and the meaning of their fields (who was the
aggressor, which position a forced order liquidates) are described in
`korvel_vorn.convert.messages` (JSON) and `korvel_vorn.convert.tables` (CSV).

Sides in the dataset: a trade's side is the aggressor's (the taker's): "buy" when the taker
bought, lifting the ask; a liquidation's side is the liquidated position's: "long" when a long was
closed by a forced sell, "short" when a short was closed by a forced buy.
"""

from __future__ import annotations

import csv
import gzip
import io
import json
import os
import re
import zipfile
from collections.abc import Iterable, Iterator, Sequence

from .fields import FieldError
from .market import Conversion, ConvertError, Market, finish
from .messages import Context, add_message
from .tables import add_table

KINDS = ("candles", "trades", "book", "funding", "oi", "liquidations")
_PREFIXED = re.compile(r"(\S+)\s+([\[{].*)", re.DOTALL)


def _open_text(path: str) -> Iterator[tuple[str, io.TextIOBase]]:
    """The text streams of a file: itself, its gzip content, or each member of a zip."""
    try:
        if path.endswith(".zip"):
            with zipfile.ZipFile(path) as archive:
                for info in archive.infolist():
                    if info.is_dir():
                        continue
                    with archive.open(info) as raw:
                        yield f"{path}:{info.filename}", io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")
            return
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rb") as raw:  # type: ignore[operator]
            yield path, io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")
    except FileNotFoundError:
        raise ConvertError(f"cannot read {path}: No such file or directory") from None
    except IsADirectoryError:
        raise ConvertError(f"cannot read {path}: Is a directory") from None
    except (OSError, zipfile.BadZipFile, EOFError) as error:
        raise ConvertError(f"cannot read {path}: {getattr(error, 'strerror', None) or error}") from None


def _first_content_line(lines: Sequence[str]) -> str:
    for line in lines:
        if line.strip():
            return line.strip()
    return ""


def _read_json_lines(ctx: Context, name: str, lines: Iterable[tuple[int, str]]) -> None:
    for number, line in lines:
        text = line.strip()
        if not text:
            continue
        prefix = None
        if text[0] not in "{[":
            match = _PREFIXED.fullmatch(text)
            if not match:
                raise ConvertError(f"{name}:{number}: not a JSON message")
            prefix, text = match[1], match[2]
        try:
            message = json.loads(text)
        except json.JSONDecodeError as error:
            raise ConvertError(f"{name}:{number}: invalid JSON: {error.msg} (column {error.colno})") from None
        ctx.prefix_ts = prefix
        try:
            add_message(ctx, message)
        except (FieldError, KeyError, TypeError, ValueError) as error:
            raise ConvertError(f"{name}:{number}: {_reason(error)}") from None


def _reason(error: Exception) -> str:
    if isinstance(error, KeyError):
        return f"the message lacks the field {error.args[0]!r}"
    return str(error)


def _read_stream(ctx: Context, name: str, stream: io.TextIOBase) -> None:
    try:
        head = stream.read(65536)
    except UnicodeDecodeError:
        raise ConvertError(f"{name} is not UTF-8 text") from None
    first = _first_content_line(head.splitlines()[:50])
    if not first:
        return
    try:
        rest = stream.read()
    except UnicodeDecodeError:
        raise ConvertError(f"{name} is not UTF-8 text") from None
    text = head + rest
    looks_json = first[0] in "{[" or bool(_PREFIXED.fullmatch(first) and "," not in first.split()[0])
    if looks_json:
        try:
            document = json.loads(text)
        except json.JSONDecodeError:
            document = None
        except RecursionError:
            raise ConvertError(f"{name} nests too deeply") from None
        if document is not None:
            try:
                add_message(ctx, document)
            except (FieldError, KeyError, TypeError, ValueError) as error:
                raise ConvertError(f"{name}: {_reason(error)}") from None
            return
        _read_json_lines(ctx, name, enumerate(text.splitlines(), start=1))
        return
    reader = csv.reader(io.StringIO(text, newline=""))
    rows = ((reader.line_num, row) for row in reader if any(cell.strip() for cell in row))
    line = 0
    try:
        for line in add_table(ctx, rows):
            pass
    except csv.Error as error:
        raise ConvertError(f"{name}:{reader.line_num}: bad CSV: {error}") from None
    except (FieldError, KeyError, TypeError, ValueError, IndexError) as error:
        raise ConvertError(f"{name}:{line}: {_reason(error)}") from None


def convert_files(inputs: Sequence[str | tuple[str, str | None]], *, symbol: str | None = None,
                  time_unit: str | None = None) -> Conversion:
    """Convert recordings into one market.

    `inputs` are paths, or (path, kind) pairs where kind ("trades", "book", "funding", "oi",
    "liquidations" or "candles") forces how generic records are read, for files whose content
    does not tell (a CSV of liquidations looks like one of trades). `symbol` keeps only that
    symbol's messages; without it, inputs holding several symbols are refused. `time_unit`
    ("s", "ms", "us" or "ns") overrides the unit recognised from the size of numeric timestamps.
    """
    if time_unit not in (None, "s", "ms", "us", "ns"):
        raise ConvertError(f"unknown time unit {time_unit!r}: use s, ms, us or ns")
    market = Market()
    for item in inputs:
        path, kind = (item, None) if isinstance(item, (str, os.PathLike)) else item
        if kind is not None and kind not in KINDS:
            raise ConvertError(f"unknown kind {kind!r}: use one of {', '.join(KINDS)}")
        ctx = Context(market, kind, time_unit, symbol)
        for name, stream in _open_text(os.fspath(path)):
            _read_stream(ctx, name, stream)
    if symbol is None and len(market.symbols) > 1:
        raise ConvertError(f"the inputs hold several symbols ({', '.join(sorted(market.symbols))}): "
                           "choose one with --symbol")
    return finish(market)


__all__ = ["Conversion", "ConvertError", "KINDS", "convert_files"]
