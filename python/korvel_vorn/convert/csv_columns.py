"""The bulk CSV layouts (trades and liquidations) read column-wise with pyarrow's CSV reader.

Every cell is read as text, so decimal text is kept byte for byte as in the row-wise reader; the
checks are the row-wise reader's (numbers are JSON numbers, flags and sides are the known words,
timestamps whole numbers). The first batch that holds anything else raises `Unusual`: the caller
forgets the file's records and reads it again row by row, which gives the exact message and line.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pcsv

from ..venues.binance import archive as binance
from .context import Context
from .fields import MS_DIVISORS, UNIT_LIMITS
from .store import NO_ID
from .threads import ordered_map

FAST_LAYOUTS = ("binance_trades", "binance_agg_trades", "tardis_trades", "tardis_liquidations")
_JSON_NUMBER = r"^-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?$"
_TRUE, _FALSE = ["true", "1", "t", "yes"], ["false", "0", "f", "no"]
_EXACT_FLAGS = pa.array(["true", "false"])
_TRADE_SIDES, _POSITION_SIDES = pa.array(["buy", "sell"]), pa.array(["long", "short"])

# Column names by layout: with a header, and the positions of a headerless Binance file.
_COLUMNS: dict[str, dict[str, str]] = {
    "binance_trades": binance.TRADE_COLUMNS["trades"],
    "binance_agg_trades": binance.TRADE_COLUMNS["aggTrades"],
    "tardis_trades": {"symbol": "symbol", "price": "price", "qty": "amount", "ts": "timestamp", "side": "side"},
    "tardis_liquidations": {"symbol": "symbol", "price": "price", "qty": "amount", "ts": "timestamp", "side": "side"},
}
_HEADERLESS = {"binance_trades": binance.TRADE_POSITIONS["trades"],
               "binance_agg_trades": binance.TRADE_POSITIONS["aggTrades"]}


class Unusual(Exception):
    """Something the column-wise reader leaves to the row-wise one."""


def _data(column: pa.Array) -> npt.NDArray[np.uint8]:
    """The bytes of a string column's values, as one array."""
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    buffers = column.buffers()
    offsets = np.frombuffer(buffers[1], dtype=np.int32)[column.offset:column.offset + len(column) + 1]
    return np.frombuffer(buffers[2], dtype=np.uint8)[offsets[0]:offsets[-1]]


def _text(column: pa.Array) -> pa.Array:
    """The column without surrounding blanks (most files have none, so mostly no copy)."""
    return pc.utf8_trim_whitespace(column) if (_data(column) <= 0x20).any() else column


def _numbers(column: pa.Array) -> tuple[pa.Array, npt.NDArray[np.float64], npt.NDArray[np.uint8]]:
    """The JSON text, value and decimals of a column of numbers."""
    text = _text(column)
    if text.null_count or not pc.all(pc.match_substring_regex(text, _JSON_NUMBER)).as_py():
        raise Unusual
    values = pc.cast(text, pa.float64()).to_numpy(zero_copy_only=False)
    if not np.isfinite(values).all():
        raise Unusual
    dot = pc.find_substring(text, ".").to_numpy(zero_copy_only=False).astype(np.int64)
    length = pc.binary_length(text).to_numpy(zero_copy_only=False).astype(np.int64)
    places = np.where(dot < 0, 0, length - dot - 1)
    data = _data(text)
    if ((data == ord("e")) | (data == ord("E"))).any():
        places[pc.match_substring(text, "e", ignore_case=True).to_numpy(zero_copy_only=False)] = 255
    return text, values, places.astype(np.uint8)


def milliseconds(counts: npt.NDArray[np.int64], unit: str | None) -> npt.NDArray[np.int64]:
    """Milliseconds from whole epoch counts, in `unit` or recognised per value by magnitude (as
    `korvel_vorn.convert.fields.timestamp` does for one value: finer units are floored)."""
    if unit == "s":
        return np.asarray(counts * 1000, dtype=np.int64)
    if unit is not None:
        return np.asarray(counts // MS_DIVISORS[unit], dtype=np.int64)
    magnitude = np.abs(counts)
    out = counts // MS_DIVISORS["ns"]
    with np.errstate(over="ignore"):
        for limit, guessed in reversed(UNIT_LIMITS):  # the smallest limit a value is under wins
            out = np.where(magnitude < limit, counts * 1000 if guessed == "s" else counts // MS_DIVISORS[guessed], out)
    return np.asarray(out, dtype=np.int64)


def _timestamps(column: pa.Array, unit: str | None) -> npt.NDArray[np.int64]:
    try:
        counts = np.asarray(pc.cast(column, pa.int64()).to_numpy(zero_copy_only=False), dtype=np.int64)
    except pa.ArrowInvalid:
        raise Unusual from None
    return milliseconds(counts, unit)


def _flags(column: pa.Array) -> npt.NDArray[np.bool_]:
    if pc.all(pc.is_in(column, _EXACT_FLAGS)).as_py():  # the usual spelling: no case or blanks to mend
        return np.asarray(pc.equal(column, "true").to_numpy(zero_copy_only=False), dtype=bool)
    words = pc.utf8_lower(_text(column))
    true = pc.is_in(words, pa.array(_TRUE))
    if not pc.all(pc.or_(true, pc.is_in(words, pa.array(_FALSE)))).as_py():
        raise Unusual
    return np.asarray(true.to_numpy(zero_copy_only=False), dtype=bool)


def _sides(column: pa.Array, first: list[str], second: list[str], unknown: list[str]) -> tuple[Any, Any]:
    """Codes 0 (a word of `first`) or 1 (of `second`), and the mask of rows with a known side."""
    words = pc.utf8_lower(_text(column))
    is_first = pc.is_in(words, pa.array(first)).to_numpy(zero_copy_only=False)
    is_second = pc.is_in(words, pa.array(second)).to_numpy(zero_copy_only=False)
    is_unknown = pc.is_in(words, pa.array(unknown or [""])).to_numpy(zero_copy_only=False) if unknown else False
    if not (is_first | is_second | is_unknown).all():
        raise Unusual
    return np.where(is_second, 1, 0).astype(np.uint8), is_first | is_second


def read_columns(ctx: Context, layout: str, header: list[str] | None, width: int,
                 open_stream: Callable[[], Any]) -> None:
    """Read a CSV of a bulk layout into the market, a batch at a time; batches are prepared on
    worker threads (pyarrow's kernels run without the interpreter lock) and added in order."""
    names = [h.strip().lower() for h in header] if header is not None else [f"c{i}" for i in range(width)]
    if len(set(names)) != len(names):
        raise Unusual
    index = _HEADERLESS[layout] if header is None else {key: names.index(name) for key, name in _COLUMNS[layout].items()}
    options = pcsv.ReadOptions(column_names=names, skip_rows=1 if header is not None else 0)
    convert = pcsv.ConvertOptions(column_types={name: pa.string() for name in names}, strings_can_be_null=False,
                                  quoted_strings_can_be_null=False)
    name = "liquidations" if layout == "tardis_liquidations" else "trades"
    try:
        with open_stream() as stream:
            reader = pcsv.open_csv(stream, read_options=options, convert_options=convert)
            batches = ((batch, _wanted(ctx, batch, index)) for batch in reader if batch.num_rows)
            for chunk, unknown in ordered_map(lambda item: _prepare(layout, item[0], item[1], index, ctx.unit),
                                              batches):
                if unknown:
                    ctx.market.skipped["trades without an aggressor side"] += unknown
                ctx.market.add_chunk(name, chunk)
    except (pa.ArrowException, OSError, KeyError, ValueError):
        raise Unusual from None
    if "id" in index:
        ctx.market.trade_id_kinds.add("trade" if layout == "binance_trades" else "aggTrade")


def _wanted(ctx: Context, batch: pa.RecordBatch, index: dict[str, int]) -> npt.NDArray[np.bool_]:
    """Rows of the wanted symbol (every row of a file without a symbol column)."""
    if "symbol" in index:
        return _wanted_symbols(ctx, batch.column(index["symbol"]))
    return np.ones(batch.num_rows, dtype=bool)


def _wanted_symbols(ctx: Context, symbols: pa.Array) -> npt.NDArray[np.bool_]:
    """Rows whose symbol is wanted (or absent), each symbol counted as `Context.keep` counts it."""
    keep = np.ones(len(symbols), dtype=bool)
    for entry in pc.value_counts(symbols).to_pylist():
        if entry["values"] is not None and not ctx.keep(entry["values"], entry["counts"]):
            keep &= ~pc.fill_null(pc.equal(symbols, entry["values"]), False).to_numpy(zero_copy_only=False)
    return keep


def _prepare(layout: str, batch: pa.RecordBatch, keep: npt.NDArray[np.bool_], index: dict[str, int],
             unit: str | None) -> tuple[dict[str, Any], int]:
    """The chunk of one batch, and the count of trades without an aggressor side."""
    n = batch.num_rows
    column = batch.column
    unknown = 0
    ts = _timestamps(column(index["ts"]), unit)
    price_text, price, price_places = _numbers(column(index["price"]))
    qty_text, qty, qty_places = _numbers(column(index["qty"]))
    if "maker" in index:
        side = _flags(column(index["maker"])).astype(np.uint8)  # the buyer made: the aggressor sold
    elif layout == "tardis_liquidations":
        # The forced order's side: a forced sell closed a long position.
        side, known = _sides(column(index["side"]), ["long", "sell", "s"], ["short", "buy", "b"], [])
    else:
        side, known = _sides(column(index["side"]), ["buy", "b", "bid"], ["sell", "s", "ask", "offer"], ["unknown", ""])
        unknown = int((keep & ~known).sum())
        keep = keep & known
    if "id" in index:
        ids = pc.cast(column(index["id"]), pa.int64()).to_numpy(zero_copy_only=False)
        if (ids < 0).any():
            raise Unusual
    else:
        ids = np.full(n, NO_ID, dtype=np.int64)
    name = "liquidations" if layout == "tardis_liquidations" else "trades"
    words = _TRADE_SIDES if name == "trades" else _POSITION_SIDES
    side_text = pc.take(words, pa.array(side))
    rest = pc.binary_join_element_wise(',"price":', price_text, ',"qty":', qty_text, ',"side":"', side_text, '"}', "")
    if not keep.all():
        rest = rest.filter(pa.array(keep))
        ts, price, qty, side, ids = ts[keep], price[keep], qty[keep], side[keep], ids[keep]
        price_places, qty_places = price_places[keep], qty_places[keep]
    chunk: dict[str, Any] = {"ts": ts, "rest": rest, "price": price, "qty": qty, "side": side}
    if name == "trades":
        chunk.update(id=ids, price_decimals=price_places, qty_decimals=qty_places)
    return chunk, unknown
