"""Checking downloaded archive files and reading them into columns.

Zip members are read, never extracted by their names; a zip must hold the one member its archive
puts there, and a member announcing more bytes than a day of its type can hold is refused before
it is read. A gzip must decompress whole and match its announced length. The CSV and JSON layouts
are the converters' (`korvel_vorn.convert`); only Binance trades, by far the largest files, are
streamed straight from the zip into a Parquet partition, with the converter's column names.
"""

from __future__ import annotations

import gzip
import hashlib
import io
import zipfile
import zlib
from pathlib import Path
from typing import Any

import numpy as np

from ..catalog.book import Columns
from .plan import ArchiveFile

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


def file_sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def file_lists(path: Path, file: ArchiveFile, symbol: str) -> dict[str, Columns]:
    """The lists a file holds, read by the converter (raises `ConvertError` with the reason)."""
    from ..convert import convert_files
    from ..convert.market import ConvertError

    kind = "liquidations" if file.list_name == "liquidations" else None
    try:
        conversion = convert_files([(str(path), kind)], symbol=symbol, keep_all_times=True,
                                   keep_unsnapshotted_diffs=False)
    except ConvertError as error:
        if "nothing to convert" in str(error):
            return {}
        raise
    with conversion:
        return {name: conversion.columns(name) for name, count in conversion.counts.items() if count}


# ----------------------------------------------------------------------------- Binance trades, streamed

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
    from ..convert.binance_tables import headerless_layout
    from ..convert.csv_columns import _COLUMNS, _HEADERLESS, milliseconds
    from ..convert.csv_table import Table, has_header
    from ..convert.market import ConvertError

    assert file.member is not None
    layout = "binance_trades" if file.data_type == "trades" else "binance_agg_trades"
    first = _first_row(path, file.member)
    if not first:
        raise ConvertError(f"{file.member} is empty")
    fields = _COLUMNS[layout]
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
        picked = {k: f"c{_HEADERLESS[layout][k]}" for k in wanted}
    read = pcsv.ReadOptions(column_names=names, skip_rows=1 if has_header(first) else 0, block_size=16 << 20)
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
    with zipfile.ZipFile(path) as archive, archive.open(file.member) as raw:
        try:
            reader = pcsv.open_csv(pa.PythonFile(raw, mode="r"), read_options=read, convert_options=convert)
            for batch in reader:
                if not batch.num_rows:
                    continue
                if any(column.null_count for column in batch.columns):
                    raise ConvertError(f"{file.member}: a row lacks a value (an empty cell)")
                ids = batch.column(picked["id"]).to_numpy(zero_copy_only=False)
                ts = milliseconds(batch.column(picked["ts"]).to_numpy(zero_copy_only=False), None)
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
                    writer.write_table(out)
                    count += out.num_rows
                    first_ts = int(ts[0]) if first_ts is None else first_ts
                    last_ts = int(ts[-1])
        except (pa.ArrowInvalid, pa.ArrowException) as error:
            raise ConvertError(f"{file.member}: the columns changed or a row is malformed ({error})") from None
    return {"records": count, "first_ts": first_ts, "last_ts": last_ts, "gaps": holes,
            "missing_trade_ids": missing_ids, "outside_day": outside}
