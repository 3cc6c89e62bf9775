"""Checking downloaded archive files and reading them into columns.

Zip members are read, never extracted by their names; a zip must hold the one member its archive
puts there, and a member announcing more bytes than a day of its type can hold is refused before
it is read. A gzip must decompress whole and match its announced length. The CSV and JSON layouts
are the converters' (`korvel_vorn.convert`); only Binance trades, by far the largest files, are
streamed straight from the zip into a Parquet partition, with the converter's column names.
"""

from __future__ import annotations

import gzip
import io
import zipfile
import zlib
from pathlib import Path
from typing import Any

import numpy as np

from ..catalog.book import Columns
from ..catalog.manifest import file_sha256
from .plan import ArchiveFile

ROW_GROUP = 1 << 20  # rows of a Parquet row group written at once
_HTML_STARTS = (b"<", b"\xef\xbb\xbf<", b"{")
_TEXT_MEMBERS = (".csv", ".json", ".jsonl", ".data", ".txt")


def _head(path: Path, size: int = 64) -> bytes:
    with open(path, "rb") as f:
        return f.read(size)


def check_zip(path: Path, file: ArchiveFile) -> str | None:
    """None when the zip holds the one member it should within the size a day can have; else
    the reason it cannot be used."""
    try:
        with zipfile.ZipFile(path) as archive:
            members = [info for info in archive.infolist() if not info.is_dir()]
    except (zipfile.BadZipFile, OSError, EOFError) as error:
        return f"not a readable zip ({error})"
    if len(members) != 1:
        names = ", ".join(repr(m.filename) for m in members[:3])
        return f"the zip holds {len(members)} members ({names}), not one"
    info = members[0]
    name = info.filename
    if "/" in name or "\\" in name or name.startswith(".") or ".." in name:
        return f"the zip's member is named with a path ({name!r})"
    if file.member is not None and name != file.member:
        return f"unexpected zip member {name!r} (expected {file.member!r})"
    if file.member is None and not name.endswith(_TEXT_MEMBERS):
        return f"unexpected zip member {name!r}"
    if info.file_size > file.max_bytes:
        return (f"the zip's member inflates to {info.file_size} bytes, beyond what a day of {file.data_type} "
                f"can hold ({file.max_bytes})")
    return None


def check_gzip(path: Path, file: ArchiveFile) -> str | None:
    """None when the gzip decompresses whole (CRC and announced length checked) within the size a
    day of its type can hold."""
    total = 0
    try:
        with gzip.open(path, "rb") as stream:
            while block := stream.read(1 << 20):
                total += len(block)
                if total > file.max_bytes:
                    return f"it inflates beyond what a day of {file.data_type} can hold ({file.max_bytes} bytes)"
    except (OSError, EOFError, zlib.error) as error:
        return f"not a whole gzip ({error})"
    return None


def check_file(path: Path, file: ArchiveFile, sha256: str | None) -> str | None:
    """None when a downloaded file can be used; else the reason (empty, not a zip, checksum...)."""
    head = _head(path)
    if not head:
        return "the server answered an empty body"
    magic = b"PK\x03\x04" if file.kind == "zip" else b"\x1f\x8b"
    if not head.startswith(magic):
        looks = "an HTML page" if head.lstrip().startswith(_HTML_STARTS) else "something else"
        return f"not a {file.kind} (the server answered {looks})"
    if sha256 is not None and file_sha256(path) != sha256:
        return "checksum mismatch"
    return check_zip(path, file) if file.kind == "zip" else check_gzip(path, file)


def file_lists(path: Path, file: ArchiveFile, symbol: str) -> tuple[dict[str, Columns], dict[str, int]]:
    """The lists a file holds, read by the converter (raises `ConvertError` with the reason), and
    what the converter found on the way: breaks in the book's update ids, trades seen twice."""
    from ..convert import convert_files
    from ..convert.market import ConvertError

    # Tardis trades and liquidations share one header: the archive's type tells them apart.
    kind = file.list_name if file.list_name in ("trades", "liquidations") else None
    try:
        conversion = convert_files([(str(path), kind)], symbol=symbol, keep_all_times=True,
                                   keep_unsnapshotted_diffs=False)
    except ConvertError as error:
        if "nothing to convert" in str(error):
            return {}, {}
        raise
    with conversion:
        found = {"book_update_id_breaks": conversion.sequence_gaps, "trades_seen_twice": conversion.duplicates}
        return ({name: conversion.columns(name) for name, count in conversion.counts.items() if count},
                {key: count for key, count in found.items() if count})


# ----------------------------------------------------------------------------- Binance trades, streamed

def _milliseconds(counts: np.ndarray[Any, Any], by_magnitude: Any) -> np.ndarray[Any, Any]:
    """Epoch milliseconds of a batch: whole batches in milliseconds (or microseconds, as newer
    files write) converted at once, anything else value by value as the converter does."""
    if len(counts):
        low, high = int(counts.min()), int(counts.max())
        if low >= 10**11 and high < 10**14:
            return counts
        if low >= 10**14 and high < 10**17:
            return counts // 1000
    return np.asarray(by_magnitude(counts, None))


def _first_row(path: Path, member: str) -> list[str]:
    import csv

    with zipfile.ZipFile(path) as archive, archive.open(member) as raw:
        line = io.TextIOWrapper(raw, encoding="utf-8-sig", newline="").readline(1 << 16)
    return next(csv.reader([line]), [])


def stream_trades(path: Path, file: ArchiveFile, day_start: int, day_end: int, writer: Any) -> dict[str, Any]:
    """Stream a Binance trades or aggTrades zip into a partition writer, batch by batch, with the
    converter's column names and checks; returns counts, span, and trade id holes."""
    import pyarrow as pa
    import pyarrow.csv as pcsv

    from ..catalog.layout import LIST_SCHEMAS, TS
    from ..convert.csv_columns import milliseconds
    from ..convert.csv_table import Table, has_header
    from ..convert.market import ConvertError
    from ..venues.binance.archive import TRADE_COLUMNS, TRADE_POSITIONS
    from ..venues.binance.tables import headerless_layout

    assert file.member is not None
    layout = "binance_trades" if file.data_type == "trades" else "binance_agg_trades"
    first = _first_row(path, file.member)
    if not first:
        raise ConvertError(f"{file.member} is empty")
    fields = TRADE_COLUMNS[file.data_type]
    wanted = ("id", "price", "qty", "ts", "maker")
    if has_header(first):
        table = Table(first)
        missing = [fields[k] for k in wanted if fields[k] not in table.index]
        if missing:
            raise ConvertError(f"{file.member}: the columns changed ({', '.join(table.names)}): no {missing[0]} "
                               "column; update korvel_vorn")
        names = table.names
        picked = {k: fields[k] for k in wanted}
    else:
        try:
            found = headerless_layout(first)
        except ValueError as error:
            raise ConvertError(f"{file.member}: the columns changed: {error}") from None
        if found != layout:
            raise ConvertError(f"{file.member}: the columns changed ({len(first)} columns)")
        names = [f"c{i}" for i in range(len(first))]
        picked = {k: f"c{TRADE_POSITIONS[file.data_type][k]}" for k in wanted}
    # Small blocks: the reader parses ahead on its threads, so its memory grows with the block size.
    read = pcsv.ReadOptions(column_names=names, skip_rows=1 if has_header(first) else 0, block_size=1 << 20)
    types = {picked["id"]: pa.int64(), picked["price"]: pa.float64(), picked["qty"]: pa.float64(),
             picked["ts"]: pa.int64(), picked["maker"]: pa.bool_()}
    convert = pcsv.ConvertOptions(include_columns=[picked[k] for k in wanted], column_types=types)
    sides = pa.array(["buy", "sell"])
    schema = LIST_SCHEMAS["trades"]
    count = outside = 0
    first_ts = last_ts = None
    last_id = None
    holes: list[list[int]] = []
    missing_ids = 0
    pending: list[Any] = []  # batches waiting to be written as one row group
    waiting = 0
    with zipfile.ZipFile(path) as archive, archive.open(file.member) as raw:
        try:
            reader = pcsv.open_csv(pa.PythonFile(raw, mode="r"), read_options=read, convert_options=convert)
            for batch in reader:
                if not batch.num_rows:
                    continue
                if any(column.null_count for column in batch.columns):
                    raise ConvertError(f"{file.member}: a row lacks a value (an empty cell)")
                ids = batch.column(picked["id"]).to_numpy(zero_copy_only=False)
                ts = _milliseconds(batch.column(picked["ts"]).to_numpy(zero_copy_only=False), milliseconds)
                keep = (ts >= day_start) & (ts < day_end)
                if not keep.all():
                    outside += int((~keep).sum())
                jumps = np.flatnonzero(np.diff(ids) > 1)
                if last_id is not None and len(ids) and ids[0] > last_id + 1:
                    holes.append([int(ts[0]), int(last_id) + 1, int(ids[0] - last_id - 1)])
                    missing_ids += int(ids[0] - last_id - 1)
                for j in jumps[: max(0, 1000 - len(holes))]:
                    holes.append([int(ts[j + 1]), int(ids[j]) + 1, int(ids[j + 1] - ids[j] - 1)])
                missing_ids += int((np.diff(ids)[jumps] - 1).sum())
                if len(ids):
                    last_id = int(ids[-1])
                maker = batch.column(picked["maker"])
                columns = [pa.array(ts).cast(TS), batch.column(picked["price"]), batch.column(picked["qty"]),
                           pa.DictionaryArray.from_arrays(maker.cast(pa.int8()), sides)]
                out = pa.Table.from_arrays(columns, schema=schema)
                if not keep.all():
                    out = out.filter(pa.array(keep))
                    ts = ts[keep]
                if out.num_rows:
                    pending.append(out)
                    waiting += out.num_rows
                    count += out.num_rows
                    first_ts = int(ts[0]) if first_ts is None else first_ts
                    last_ts = int(ts[-1])
                if waiting >= ROW_GROUP:
                    writer.write_table(pa.concat_tables(pending))
                    pending, waiting = [], 0
            if pending:
                writer.write_table(pa.concat_tables(pending))
        except pa.ArrowInvalid as error:
            raise ConvertError(f"{file.member}: the columns changed or a row is malformed ({error})") from None
    return {"records": count, "first_ts": first_ts, "last_ts": last_ts, "gaps": holes,
            "missing_trade_ids": missing_ids, "outside_day": outside}
