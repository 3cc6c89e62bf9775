"""Converters from recorded market data to the dataset of a "load" command (JSON or `.npz`).

`convert_files` reads any number of recordings (CSV, JSON or JSON Lines, optionally .gz or .zip,
or folders of them), recognises each one's format from its content and name, and joins them into
one market: every list in time order, book updates ordered against their snapshots by the
exchange's update ids, trades seen twice dropped by id. Inputs are read a batch at a time and
spilled to temporary files, so memory stays bounded whatever their size; the bulk CSV layouts are
read column-wise with pyarrow. The recognised formats and the meaning of their fields (who was
the aggressor, which position a forced order liquidates) are described by source: the venues'
`messages` (`venues/binance`, `venues/bybit`) and `dataset_records` (JSON, told apart by
`messages`), the venues' `tables` (`venues/binance`, `venues/tardis`; CSV, told apart by `tables`).

Sides in the dataset: a trade's side is the aggressor's (the taker's): "buy" when the taker
bought, lifting the ask; a liquidation's side is the liquidated position's: "long" when a long was
closed by a forced sell, "short" when a short was closed by a forced buy.
"""

from __future__ import annotations

import codecs
import contextlib
import csv
import gzip
import io
import json
import os
import re
import zipfile
import zlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, cast

from ..schema import LISTS
from .conversion import Conversion, EmptyConversion, Source, finish
from .fields import FieldError
from .market import ConvertError, Market, Options
from .messages import Context, add_message
from .recordings import CutGzip, RecordFolders, day_folders, is_day_folder, is_record_root, read_folders
from .tables import add_table, detect_layout

KINDS = LISTS
HEAD_BYTES = 1 << 16  # read to recognise a file's format
MAX_LINE = 1 << 26  # longest line of JSON Lines or CSV read
MAX_DOCUMENT = 1 << 30  # largest single JSON document, which is parsed whole
_PREFIXED = re.compile(r"(\S+)\s+([\[{].*)", re.DOTALL)

try:
    import orjson

    _fast_loads: Callable[[str], Any] = orjson.loads
except ImportError:  # pragma: no cover - orjson comes with the convert extra
    _fast_loads = json.loads


@dataclass
class _Input:
    """One recording: a file, or a member of a zip archive, with how to open it decompressed."""

    name: str
    open: Callable[[], IO[bytes]]
    open_native: Callable[[], Any]
    cut: list[int] = field(default_factory=list)  # decompressed bytes, when the gzip data ends early


def _inputs_of(path: str) -> list[_Input]:
    try:
        with open(path, "rb") as f:
            magic = f.read(4)
    except FileNotFoundError:
        raise ConvertError(f"cannot read {path}: No such file or directory") from None
    except IsADirectoryError:
        raise ConvertError(f"cannot read {path}: Is a directory") from None
    except OSError as error:
        raise ConvertError(f"cannot read {path}: {error.strerror or error}") from None
    import pyarrow as pa

    if magic[:2] == b"\x1f\x8b":
        cut: list[int] = []

        def note_cut(at: int) -> None:
            if not cut:
                cut.append(at)

        # JSON Lines are read up to where the data ends, even before the gzip trailer.
        return [_Input(path, lambda: cast(IO[bytes], io.BufferedReader(CutGzip(path, note_cut))),
                       lambda: pa.input_stream(path, compression="gzip"), cut)]
    if magic == b"PK\x03\x04" or path.endswith(".zip"):
        try:
            with zipfile.ZipFile(path) as archive:
                members = [info.filename for info in archive.infolist() if not info.is_dir()]
        except (zipfile.BadZipFile, OSError, EOFError) as error:
            raise ConvertError(f"cannot read {path}: not a readable zip archive ({error})") from None
        if not members:
            raise ConvertError(f"{path} is an empty zip archive")
        return [_zip_member(path, member) for member in members]
    if path.endswith(".gz"):
        raise ConvertError(f"cannot read {path}: its name ends in .gz but it is not gzip data")
    return [_Input(path, lambda: open(path, "rb"), lambda: pa.input_stream(path))]


def _zip_member(path: str, member: str) -> _Input:
    import pyarrow as pa

    def open_member() -> IO[bytes]:
        archive = zipfile.ZipFile(path)
        return archive.open(member)

    return _Input(f"{path}:{member}", open_member, lambda: pa.PythonFile(open_member(), mode="r"))


@contextlib.contextmanager
def _read_errors(name: str) -> Iterator[None]:
    """Decompression, decoding and read failures of `name` as one-line `ConvertError`s."""
    try:
        yield
    except ConvertError:
        raise
    except EOFError as error:
        raise ConvertError(f"cannot read {name}: it is truncated ({error})") from None
    except UnicodeDecodeError:
        raise ConvertError(f"cannot read {name}: it is not UTF-8 text") from None
    except (zlib.error, gzip.BadGzipFile, zipfile.BadZipFile) as error:
        raise ConvertError(f"cannot read {name}: corrupt compressed data ({error})") from None
    except OSError as error:
        raise ConvertError(f"cannot read {name}: {error.strerror or error}") from None


def _head(source: _Input) -> str:
    with _read_errors(source.name), source.open() as raw:
        data = raw.read(HEAD_BYTES)
    if not data.strip():
        raise ConvertError(f"{source.name} is empty" if len(data) < HEAD_BYTES
                           else f"{source.name} starts with {HEAD_BYTES} blank bytes: not a recording")
    if b"\x00" in data:
        raise ConvertError(f"{source.name} is binary data, not a recording (CSV, JSON or JSON Lines)")
    try:
        return codecs.getincrementaldecoder("utf-8-sig")().decode(data, final=len(data) < HEAD_BYTES)
    except UnicodeDecodeError as error:
        raise ConvertError(f"cannot read {source.name}: it is not UTF-8 text (byte {error.start + 1})") from None


def _text_lines(source: _Input) -> Iterator[tuple[int, str]]:
    """The lines of a recording with their numbers; a line longer than `MAX_LINE` is an error."""
    with _read_errors(source.name), source.open() as raw:
        stream = io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")
        number = 0
        while True:
            line = stream.readline(MAX_LINE)
            if not line or (source.cut and not line.endswith(("\n", "\r"))):
                return  # (a cut file's unfinished last line is left out)
            number += 1
            if len(line) >= MAX_LINE and not line.endswith(("\n", "\r")):
                raise ConvertError(f"{source.name}:{number}: the line is longer than {MAX_LINE >> 20} MiB")
            yield number, line


def _json_lines(source: _Input) -> Iterator[tuple[int, str]]:
    """The lines of a JSON Lines recording with their numbers, split from large decoded blocks."""
    with _read_errors(source.name), source.open() as raw:
        stream = io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")
        number = 0
        carry = ""
        while True:
            block = stream.read(1 << 22)
            if not block:
                break
            lines = (carry + block).split("\n")
            carry = lines.pop()
            if len(carry) >= MAX_LINE:
                raise ConvertError(f"{source.name}:{number + len(lines) + 1}: the line is longer than "
                                   f"{MAX_LINE >> 20} MiB")
            for line in lines:
                number += 1
                yield number, line
        if carry and not source.cut:  # a cut file's unfinished last line is left out
            yield number + 1, carry


def _json_error(name: str, number: int | None, text: str) -> ConvertError:
    where = f"{name}:{number}" if number is not None else name
    try:
        json.loads(text)
    except json.JSONDecodeError as error:
        return ConvertError(f"{where}: invalid JSON: {error.msg} (line {error.lineno}, column {error.colno})"
                            if number is None else f"{where}: invalid JSON: {error.msg} (column {error.colno})")
    except RecursionError:
        return ConvertError(f"{where}: the JSON nests too deeply")
    return ConvertError(f"{where}: invalid JSON")


def _loads(text: str) -> Any:
    try:
        return _fast_loads(text)
    except (ValueError, TypeError):
        return json.loads(text)  # big integers, NaN: the standard reader's behaviour


def _message(ctx: Context, where: str, message: Any) -> None:
    try:
        add_message(ctx, message)
    except (FieldError, KeyError, TypeError, ValueError) as error:
        raise ConvertError(f"{where}: {_reason(error)}") from None
    except RecursionError:
        raise ConvertError(f"{where}: the JSON nests too deeply") from None


def _read_json_lines(ctx: Context, source: _Input) -> None:
    from .stream_columns import StreamQueues

    def one_by_one(number: int, prefix: str | None, text: str) -> None:
        try:
            message = _loads(text)
        except (json.JSONDecodeError, RecursionError):
            raise _json_error(source.name, number, text) from None
        ctx.prefix_ts = prefix
        _message(ctx, f"{source.name}:{number}", message)

    queues = StreamQueues(ctx, one_by_one)
    try:
        for number, line in _json_lines(source):
            text = line.strip()
            if not text:
                continue
            prefix = None
            if text[0] not in "{[":
                prefix, _, text = text.partition(" ")
                text = text.lstrip()
                if not text or text[0] not in "{[" or not prefix or prefix[-1] in "{[":
                    raise ConvertError(f"{source.name}:{number}: not a JSON message")
            if not queues.take(number, prefix, text):
                queues.drain()
                one_by_one(number, prefix, text)
        queues.drain()
    finally:
        queues.close()


def _read_json(ctx: Context, source: _Input, first_line: str) -> None:
    text = first_line
    if text[0] not in "{[":
        text = _PREFIXED.fullmatch(text)[2]  # type: ignore[index]
    try:
        _loads(text)
        ctx.form = "JSON Lines messages"
        _read_json_lines(ctx, source)
        return
    except (json.JSONDecodeError, RecursionError):
        pass
    # The first line is not a whole message: one JSON document, a dataset read a batch of records
    # at a time, any other parsed whole.
    ctx.form = "JSON document"
    from .dataset_columns import read_dataset_document

    with _read_errors(source.name), source.open() as raw:
        if read_dataset_document(ctx, source.name, raw):
            return
    with _read_errors(source.name), source.open() as raw:
        data = raw.read(MAX_DOCUMENT + 1)
    if len(data) > MAX_DOCUMENT:
        raise ConvertError(f"{source.name} is one JSON document of more than {MAX_DOCUMENT >> 20} MiB: "
                           "write it as JSON Lines (one message a line)")
    with _read_errors(source.name):
        document_text = data.decode("utf-8-sig")
    try:
        document = _loads(document_text)
    except (json.JSONDecodeError, RecursionError):
        raise _json_error(source.name, None, document_text) from None
    _message(ctx, source.name, document)


def _reason(error: Exception) -> str:
    if isinstance(error, KeyError):
        return f"the message lacks the field {error.args[0]!r}"
    return str(error)


def _read_csv(ctx: Context, source: _Input, head: str) -> None:
    from .csv_columns import FAST_LAYOUTS, Unusual, read_columns

    first: list[str] | None = None
    line = 0
    try:
        reader = csv.reader(io.StringIO(head, newline=""))
        for row in reader:
            if any(cell.strip() for cell in row):
                first, line = row, reader.line_num
                break
        if first is None:
            raise ConvertError(f"{source.name} is empty")
        layout, table = detect_layout(ctx, first)
    except csv.Error as error:
        raise ConvertError(f"{source.name}:{line or 1}: bad CSV: {error}") from None
    except FieldError as error:
        raise ConvertError(f"{source.name}:{line}: {error}") from None
    if layout in FAST_LAYOUTS and line == 1:
        market = ctx.market
        saved = market.mark()
        try:
            read_columns(ctx, layout, first if table is not None else None, len(first), source.open_native)
            from .tables import LAYOUT_NAMES

            ctx.form = LAYOUT_NAMES[layout]
            return
        except Unusual:
            market.rollback()
            market.begin(ctx.source)
            market.rollback_to(saved)
    _read_rows(ctx, source)


def _read_rows(ctx: Context, source: _Input) -> None:
    lines = _text_lines(source)
    numbers: list[int] = [0]

    def text() -> Iterator[str]:
        for number, line in lines:
            numbers[0] = number
            yield line

    reader = csv.reader(text())
    rows = ((reader.line_num, row) for row in reader if any(cell.strip() for cell in row))
    line = 0
    try:
        for line in add_table(ctx, rows):  # noqa: B007 (the last line read is the one a failure names)
            pass
    except csv.Error as error:
        raise ConvertError(f"{source.name}:{max(numbers[0], 1)}: bad CSV: {_short(str(error))}") from None
    except (FieldError, KeyError, TypeError, ValueError, IndexError) as error:
        if isinstance(error, ConvertError):
            raise
        raise ConvertError(f"{source.name}:{max(line, 1)}: {_short(_reason(error))}") from None


def _short(text: str, limit: int = 300) -> str:
    """A message cut to `limit` characters, saying how much was left out."""
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text) - limit} more characters)"


def _read_input(ctx: Context, source: _Input) -> None:
    head = _head(source)
    first = next((line.strip() for line in head.splitlines()[:50] if line.strip()), "")
    if not first:
        raise ConvertError(f"{source.name} is empty")
    prefixed = _PREFIXED.fullmatch(first)
    if first[0] in "{[" or (prefixed and "," not in first.split()[0]):
        _read_json(ctx, source, first)
    else:
        _read_csv(ctx, source, head)
    ctx.end_of_file()


def _expand(inputs: Sequence[str | os.PathLike[str] | tuple[Any, str | None]], symbol: str | None = None,
            recorded: RecordFolders | None = None) -> list[tuple[str, str | None]]:
    """Paths with their forced kinds; a folder stands for the files in it, by name, and a folder
    of `record` (its root, or any folder below it) for its hour files in order."""
    out: list[tuple[str, str | None]] = []
    for item in inputs:
        path, kind = (item, None) if isinstance(item, (str, os.PathLike)) else item
        path = os.fspath(path)
        if kind is not None and kind not in KINDS:
            raise ConvertError(f"unknown kind {kind!r}: use one of {', '.join(KINDS)}")
        if os.path.isdir(path) and (is_day_folder(path) or is_record_root(path)):
            folders = [path] if is_day_folder(path) else day_folders(path, symbol)
            if not folders:
                raise ConvertError(f"{path} holds no recording of {symbol}")
            found = read_folders(folders)
            if recorded is not None:
                recorded.files += found.files
                recorded.gaps += found.gaps
                recorded.open_gaps += found.open_gaps
                recorded.unused_snapshots |= found.unused_snapshots
                recorded.session_starts += found.session_starts
                recorded.sampled_liquidations |= found.sampled_liquidations
            out += [(f, kind) for f in found.files]
        elif os.path.isdir(path):
            files = sorted(entry.path for entry in os.scandir(path)
                           if entry.is_file() and not entry.name.startswith("."))
            if not files:
                raise ConvertError(f"{path} is a folder without files")
            out += [(f, kind) for f in files]
        else:
            out.append((path, kind))
    return out


def convert_files(inputs: Sequence[str | os.PathLike[str] | tuple[Any, str | None]], *, symbol: str | None = None,
                  time_unit: str | None = None, start: int | None = None, end: int | None = None,
                  keep_all_times: bool = False, keep_unsnapshotted_diffs: bool = False,
                  drop_duplicate_liquidations: bool = False, keep_trade_types: bool = False,
                  candles_from_trades: int | None = None, strict: bool = False) -> Conversion:
    """Convert recordings into one market; close the result (or use it in a `with`) when done.

    `inputs` are paths (files or folders of daily files), or (path, kind) pairs where kind
    ("trades", "book", "funding", "oi", "liquidations" or "candles") forces how generic records
    are read, for files whose content does not tell. `symbol` keeps only that symbol's messages;
    without it, inputs holding several symbols are refused. `time_unit` ("s", "ms", "us" or "ns")
    overrides the unit recognised from the size of numeric timestamps. `start` (inclusive) and
    `end` (exclusive) bound every list in milliseconds; the book keeps what came before `start` as
    one snapshot. Otherwise funding, open interest and candles are clipped to the span of the
    market lists (trades, book, liquidations) unless `keep_all_times`. Depth updates before the
    book's first snapshot are dropped unless `keep_unsnapshotted_diffs`; trades that are not
    market trades (insurance fund, ADL) unless `keep_trade_types`. Liquidations that repeat an
    earlier one exactly are counted, and dropped with `drop_duplicate_liquidations`.
    `candles_from_trades` (milliseconds) derives candles from the kept trades, whole buckets only.
    Folders written by `korvel_vorn record` are read hour file by hour file, and the gaps of their
    manifests start the book again from the snapshot after each. A gzip file that ends early
    keeps every complete line, with a warning; `strict` makes that an error.
    """
    if time_unit not in (None, "s", "ms", "us", "ns"):
        raise ConvertError(f"unknown time unit {time_unit!r}: use s, ms, us or ns")
    if candles_from_trades is not None and candles_from_trades <= 0:
        raise ConvertError("the candle length must be positive")
    if start is not None and end is not None and end <= start:
        raise ConvertError("the end time must be after the start time")
    recorded = RecordFolders()
    paths = _expand(inputs, symbol, recorded)
    options = Options(symbol, time_unit, start, end, keep_all_times, keep_unsnapshotted_diffs,
                      drop_duplicate_liquidations, keep_trade_types, candles_from_trades,
                      book_gaps=[(gap.after, gap.resume) for gap in recorded.gaps],
                      session_starts=list(recorded.session_starts),
                      unused_snapshots=frozenset(recorded.unused_snapshots))
    market = Market(options)
    try:
        sources: list[Source] = []
        for path, kind in paths:
            for source in _inputs_of(path):
                ctx = Context(market, kind, source.name)
                ctx.source = len(sources)
                market.begin(ctx.source)
                _read_input(ctx, source)
                if source.cut:
                    where = f"{source.name} ends early, after {source.cut[0]} bytes of text"
                    if strict:
                        raise ConvertError(f"{where} (a cut recording; without --strict its complete lines are kept)")
                    market.warnings.append(f"warning: {where}: every complete line was kept")
                sources.append(Source(source.name, ctx.form or "recording"))
        if recorded.gaps:
            market.warnings.append(f"the recording's manifests list {len(recorded.gaps)} book gaps: the book starts "
                                   "again from the snapshot after each")
            market.warnings += [f"  gap {gap.where}" for gap in recorded.gaps[:10]]
            if len(recorded.gaps) > 10:
                market.warnings.append(f"  ... and {len(recorded.gaps) - 10} more (see the manifests)")
        if recorded.open_gaps:
            market.warnings.append(f"warning: {recorded.open_gaps} book gaps were still open when the recording "
                                   "stopped (no snapshot ended them)")
        if recorded.sampled_liquidations:
            market.warnings.append("liquidations are sampled: the exchange streams at most one a second per symbol")
        if symbol is None and len(market.symbols) > 1:
            raise ConvertError(f"the inputs hold several symbols ({', '.join(sorted(market.symbols))}): "
                               "choose one with --symbol")
        return finish(market, sources)
    except BaseException:
        market.close()
        raise


__all__ = ["KINDS", "Conversion", "ConvertError", "EmptyConversion", "convert_files"]
