"""Dataset documents read a batch of records at a time: the book and trades as columns.

`dataset_scan` cuts the document into batches of records; pyarrow's JSON reader decodes a batch
of book events or trades at once, numbers straight to doubles (the double each decimal text
denotes, as `float` gives it). Their texts for the JSON output are the shortest that read back
as the same double. A batch pyarrow does not take as it is (a field of another type, a record
given as an array, an unknown side) and the small lists are read record by record, which gives
the exact error.
"""

from __future__ import annotations

import io
import json
from typing import IO

import numpy as np
import numpy.typing as npt
import orjson
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pj

from ..schema import RECORD_FIELDS
from .context import Context
from .csv_columns import Unusual, milliseconds
from .dataset_book import book_columns
from .dataset_records import add_record
from .dataset_scan import Batch, NotPlain, scan_batches
from .fields import FieldError
from .market import ConvertError
from .store import NO_ID, Chunk
from .threads import ordered_map

_LEVELS = pa.list_(pa.list_(pa.float64()))
_SCHEMAS = {
    "book": pa.schema([("ts", pa.int64()), ("kind", pa.string()), ("bids", _LEVELS), ("asks", _LEVELS)]),
    "trades": pa.schema([("ts", pa.int64()), ("price", pa.float64()), ("qty", pa.float64()), ("side", pa.string())]),
}
_BUY, _SELL, _NO_SIDE = pa.array(["buy", "b", "bid"]), pa.array(["sell", "s", "ask", "offer"]), pa.array(["unknown", ""])
_KINDS = pa.array(["snapshot", "diff"])


def _lines(batch: Batch) -> bytes:
    """The batch's records one a line, as pyarrow's reader takes them."""
    view = np.frombuffer(batch.data, dtype=np.uint8)
    lo, hi = int(batch.starts[0]), int(batch.stops[-1])
    if bool(np.all(batch.starts[1:] == batch.stops[:-1] + 1)):
        lines = view[lo:hi].copy()  # records joined by single commas: each comma becomes the line break
        blanks = (lines == ord("\n")) | (lines == ord("\r"))
        if blanks.any():
            lines[blanks] = ord(" ")
        lines[batch.stops[:-1] - lo] = ord("\n")
        return lines.tobytes()
    parts = [batch.record(i).replace(b"\n", b" ").replace(b"\r", b" ") for i in range(len(batch))]
    return b"\n".join(parts)


def _parse(batch: Batch) -> pa.Table | None:
    if batch.list_name not in _SCHEMAS or batch.data[int(batch.starts[0]):int(batch.starts[0]) + 1] != b"{":
        return None
    options = pj.ParseOptions(explicit_schema=_SCHEMAS[batch.list_name], unexpected_field_behavior="ignore")
    try:
        table = pj.read_json(io.BytesIO(_lines(batch)), read_options=pj.ReadOptions(use_threads=False, block_size=1 << 26),
                             parse_options=options)
    except (pa.ArrowException, OSError):
        return None
    return table if table.num_rows == len(batch) else None


def _column(table: pa.Table, name: str) -> pa.Array:
    column = table.column(name)
    array = column.combine_chunks() if column.num_chunks != 1 else column.chunk(0)
    if array.null_count:
        raise Unusual
    return array


def _floats(array: pa.Array) -> npt.NDArray[np.float64]:
    values = np.asarray(array.to_numpy(zero_copy_only=False), dtype=np.float64)
    if not np.isfinite(values).all():
        raise Unusual
    return values


def _texts(values: pa.Array) -> pa.Array:
    """The shortest text that reads back as each double."""
    return pc.cast(values, pa.string())


def _levels(levels: pa.Array) -> tuple[npt.NDArray[np.int64], pa.Array, pa.Array, pa.Array]:
    """Counts per event, prices and quantities (as Arrow doubles) and each event's levels text."""
    counts = np.asarray(pc.list_value_length(levels).to_numpy(zero_copy_only=False), dtype=np.int64)
    pairs = levels.flatten()
    if len(pairs) and (pairs.null_count or not pc.all(pc.greater_equal(pc.list_value_length(pairs), 2)).as_py()):
        raise Unusual
    price, qty = pc.list_element(pairs, 0), pc.list_element(pairs, 1)
    if price.null_count or qty.null_count:
        raise Unusual
    text = pc.binary_join_element_wise("[", _texts(price), ",", _texts(qty), "]", "")
    offsets = np.zeros(len(counts) + 1, dtype=np.int32)
    np.cumsum(counts, out=offsets[1:])
    joined = pc.binary_join(pa.ListArray.from_arrays(pa.array(offsets), text), ",")
    return counts, price, qty, joined


def _book(table: pa.Table, unit: str | None) -> Chunk:
    kind = pc.utf8_lower(_column(table, "kind"))
    if not pc.all(pc.is_in(kind, _KINDS)).as_py():
        raise Unusual
    ts = milliseconds(np.asarray(_column(table, "ts").to_numpy(zero_copy_only=False), dtype=np.int64), unit or "ms")
    bid_count, bid_price, bid_qty, bids = _levels(_column(table, "bids"))
    ask_count, ask_price, ask_qty, asks = _levels(_column(table, "asks"))
    rest = pc.binary_join_element_wise(',"kind":"', kind, '","bids":[', bids, '],"asks":[', asks, "]}", "")
    none = np.full(len(ts), NO_ID, dtype=np.int64)
    return {"ts": ts, "rest": rest, "kind": np.asarray(pc.equal(kind, "diff").to_numpy(zero_copy_only=False), dtype=np.uint8),
            "bid_count": bid_count, "ask_count": ask_count, "first_id": none, "last_id": none, "prev_id": none,
            "bid_price": _floats(bid_price), "bid_qty": _floats(bid_qty),
            "ask_price": _floats(ask_price), "ask_qty": _floats(ask_qty)}


def _places(text: pa.Array, values: npt.NDArray[np.float64]) -> npt.NDArray[np.uint8]:
    """Decimals of each number as Python spells the double (255 where it uses an exponent)."""
    dot = np.asarray(pc.find_substring(text, ".").to_numpy(zero_copy_only=False), dtype=np.int64)
    length = np.asarray(pc.binary_length(text).to_numpy(zero_copy_only=False), dtype=np.int64)
    places = np.where(dot < 0, 0, length - dot - 1)
    size = np.abs(values)
    places[(size >= 1e16) | ((size < 1e-4) & (size > 0))] = 255
    return places.astype(np.uint8)


def _trades(table: pa.Table, unit: str | None) -> tuple[Chunk, int]:
    """The trades with a known aggressor, and how many had none."""
    words = pc.utf8_lower(pc.utf8_trim_whitespace(_column(table, "side")))
    buy = np.asarray(pc.is_in(words, _BUY).to_numpy(zero_copy_only=False), dtype=bool)
    sell = np.asarray(pc.is_in(words, _SELL).to_numpy(zero_copy_only=False), dtype=bool)
    known = buy | sell
    if not known.all():
        if not (known | np.asarray(pc.is_in(words, _NO_SIDE).to_numpy(zero_copy_only=False), dtype=bool)).all():
            raise Unusual
        table = table.filter(pa.array(known))
        sell = sell[known]
    ts = milliseconds(np.asarray(_column(table, "ts").to_numpy(zero_copy_only=False), dtype=np.int64), unit or "ms")
    price_array, qty_array = _column(table, "price"), _column(table, "qty")
    price, qty = _floats(price_array), _floats(qty_array)
    price_text, qty_text = _texts(price_array), _texts(qty_array)
    side_text = pc.if_else(pa.array(sell), "sell", "buy")
    rest = pc.binary_join_element_wise(',"price":', price_text, ',"qty":', qty_text, ',"side":"', side_text, '"}', "")
    chunk = {"ts": ts, "rest": rest, "price": price, "qty": qty, "side": sell.astype(np.uint8),
             "id": np.full(len(ts), NO_ID, dtype=np.int64),
             "price_decimals": _places(price_text, price), "qty_decimals": _places(qty_text, qty)}
    return chunk, int((~known).sum())


def _prepare(batch: Batch, unit: str | None) -> tuple[Batch, Chunk | None, int]:
    """The batch's columns (None: read it record by record) and its trades without a side."""
    if batch.list_name == "book":
        try:
            return batch, book_columns(batch, unit), 0
        except Unusual:
            pass  # not the compact form: the generic reader
    table = _parse(batch)
    if table is None:
        return batch, None, 0
    try:
        if batch.list_name == "book":
            return batch, _book(table, unit), 0
        chunk, unsided = _trades(table, unit)
        return batch, chunk, unsided
    except Unusual:
        return batch, None, 0


def _reason(error: Exception) -> str:
    if isinstance(error, KeyError):
        return f"the message lacks the field {error.args[0]!r}"
    return str(error)


def _one_record(ctx: Context, name: str, batch: Batch, i: int) -> None:
    """One record of a batch pyarrow did not take, read and checked the exact way."""
    text = batch.record(i)
    try:
        record = orjson.loads(text)
    except orjson.JSONDecodeError:
        try:
            record = json.loads(text)  # big integers: the standard reader's behaviour
        except (json.JSONDecodeError, RecursionError):
            # Not a record (or the scanner's span was cut by a bracket inside a string): the
            # whole-document reader decides, and names the fault.
            raise NotPlain from None
    try:
        if isinstance(record, list):
            record = dict(zip(RECORD_FIELDS[batch.list_name], record))
        add_record(ctx, batch.list_name, record)
    except (FieldError, KeyError, TypeError, ValueError) as error:
        raise ConvertError(f"{name}: {_reason(error)}") from None


def read_dataset_document(ctx: Context, name: str, stream: IO[bytes]) -> bool:
    """Add the records of the dataset document `stream` to the market a batch at a time; False
    (with nothing added) when it is not one this reader takes whole, for the exact reader."""
    market = ctx.market
    saved = market.mark()
    liquidations, duplicates, candles = set(market._liquidations_seen), market.duplicate_liquidations, dict(market.candles)
    try:
        for batch, chunk, unsided in ordered_map(lambda b: _prepare(b, ctx.unit), scan_batches(stream)):
            if chunk is None:
                for i in range(len(batch)):
                    _one_record(ctx, name, batch, i)
                continue
            if unsided:
                market.skipped["trades without an aggressor side"] += unsided
            if len(chunk["ts"]):
                market.add_chunk(batch.list_name, chunk)
    except NotPlain:
        market.rollback()
        market.begin(ctx.source)
        market.rollback_to(saved)
        market._liquidations_seen, market.duplicate_liquidations, market.candles = liquidations, duplicates, candles
        return False
    return True
