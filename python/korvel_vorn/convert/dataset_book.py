"""Book events of a dataset document read straight from their text, a batch at a time.

A generic JSON reader spends most of its time on the levels, which are the bulk of a real book.
In the compact form written by this package and by most tools (`{"ts":..,"kind":"diff",
"bids":[[61807.7,1.25],...],"asks":[...]}`), the brackets of a batch and their depths (found with
NumPy) place every level and its comma, so each level's two numbers are spans of the text: they
are checked to be JSON numbers and converted by pyarrow's text-to-double cast (the double each
decimal text denotes) and kept byte for byte for the JSON output. Only what is left of each
record without its levels (ts, kind) goes through pyarrow's JSON reader. Anything else (blanks
inside the levels, other array fields, a level of three values) raises `Unusual`, and the batch
is read the generic way.
"""

from __future__ import annotations

import io
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pj

from .csv_columns import Unusual, milliseconds
from .dataset_scan import Batch
from .store import NO_ID, Chunk

_SKELETON = pa.schema([("ts", pa.int64()), ("kind", pa.string())])
_KINDS = pa.array(["snapshot", "diff"])
_BIDS = np.frombuffer(b'"bids":', dtype=np.uint8)
_ASKS = np.frombuffer(b'"asks":', dtype=np.uint8)
_NUMBER_BYTES = np.zeros(256, dtype=bool)
_NUMBER_BYTES[np.frombuffer(b"0123456789.-+eE", dtype=np.uint8)] = True
_DIGIT = np.zeros(256, dtype=bool)
_DIGIT[np.frombuffer(b"0123456789", dtype=np.uint8)] = True


def _spans(buffer: pa.Buffer, starts: npt.NDArray[np.int64], stops: npt.NDArray[np.int64]) -> pa.Array:
    """The text of each span [start, stop) of `buffer` (sorted, not overlapping), as strings."""
    count = len(starts)
    if count == 0:
        return pa.array([], pa.string())
    offsets = np.empty(2 * count, dtype=np.int32)
    offsets[0::2], offsets[1::2] = starts, stops
    # Every other string is a span; the ones between are the gaps, left out by the take.
    mixed = pa.StringArray.from_buffers(2 * count - 1, pa.py_buffer(offsets), buffer)
    return mixed.take(pa.array(np.arange(0, 2 * count - 1, 2)))


def _check_numbers(text: pa.Array) -> None:
    """Every string a JSON number: digits, one optional leading minus, no leading zero, a digit on
    each side of a point, an exponent with digits."""
    buffers = text.buffers()
    offsets = np.frombuffer(buffers[1], dtype=np.int32)[text.offset:text.offset + len(text) + 1]
    lo, hi = int(offsets[0]), int(offsets[-1])
    data = np.frombuffer(buffers[2], dtype=np.uint8)[lo:hi] if hi > lo else np.zeros(0, dtype=np.uint8)
    firsts, lasts = offsets[:-1] - lo, offsets[1:] - lo - 1
    if bool(np.any(lasts < firsts)):
        raise Unusual
    digit = (data - ord("0")) < 10
    if not bool(digit[lasts].all()):
        raise Unusual
    lead = firsts + (data[firsts] == ord("-"))  # the first digit
    if bool(np.any(lead > lasts)) or not bool(digit[lead].all()):
        raise Unusual
    zero = (data[lead] == ord("0")) & (lead < lasts)
    if bool(zero.any()) and bool(digit[lead[zero] + 1].any()):
        raise Unusual  # 01
    # The few other bytes (points, exponents, signs), each checked against its neighbours.
    other = np.flatnonzero(~digit)
    if not len(other):
        return
    starts = np.zeros(len(data), dtype=bool)
    starts[firsts] = True
    mark, at_start = data[other], starts[other]
    before, after = data[other - 1], data[np.minimum(other + 1, len(data) - 1)]
    before_digit, after_digit = (before - ord("0")) < 10, (after - ord("0")) < 10
    exponent = (mark == ord("e")) | (mark == ord("E"))
    after_exponent = (before == ord("e")) | (before == ord("E"))
    ok = np.where(mark == ord("."), before_digit & after_digit & ~at_start,
                  np.where(exponent, before_digit & (after_digit | (after == ord("+")) | (after == ord("-"))) & ~at_start,
                           np.where(mark == ord("-"), at_start | after_exponent,
                                    (mark == ord("+")) & after_exponent & ~at_start)))
    if not bool(ok.all()):
        raise Unusual


def _doubles(text: pa.Array) -> npt.NDArray[np.float64]:
    _check_numbers(text)
    try:
        values = np.asarray(pc.cast(text, pa.float64()).to_numpy(zero_copy_only=False), dtype=np.float64)
    except pa.ArrowInvalid:
        raise Unusual from None  # two points or exponents: not one number
    if not np.isfinite(values).all():
        raise Unusual
    return values


def book_columns(batch: Batch, unit: str | None) -> Chunk:
    """The chunk of a batch of book events in the compact form; `Unusual` for any other form."""
    lo, hi = int(batch.starts[0]), int(batch.stops[-1])
    view = np.frombuffer(batch.data, dtype=np.uint8, count=hi - lo, offset=lo)
    buffer = pa.py_buffer(batch.data)[lo:hi]
    folded = view | 0x20
    marks = np.flatnonzero((folded == ord("{")) | (folded == ord("}")))
    del folded
    chars = view[marks]
    delta = np.where((chars | 0x20) == ord("{"), 1, -1).astype(np.int8)
    after = np.cumsum(delta, dtype=np.int8)  # past 127 it wraps below 0, which is refused too
    if int(after.min()) < 0 or int(after.max()) > 3:
        raise Unusual
    # Each bracket as a code of its depth before and after: 1 opens a record, 4 closes it, 6 opens
    # a side, 9 closes it, 11 opens a level, 14 closes it.
    code = (after - delta) * 4 + after
    curly = (chars == ord("{")) | (chars == ord("}"))
    if bool(np.any(curly & (code > 4))):
        raise Unusual  # below the record only arrays: the two sides and their levels
    records = marks[code == 1]
    count = len(batch)
    if len(records) != count or not np.array_equal(records, batch.starts - lo) or \
            not bool(np.all(chars[code == 1] == ord("{"))):
        raise Unusual
    record_ends = marks[code == 4]
    sides, side_ends = marks[code == 6], marks[code == 9]
    levels, level_ends = marks[code == 11], marks[code == 14]
    if len(sides) != 2 * count or len(levels) != len(level_ends):
        raise Unusual
    if not np.array_equal(np.searchsorted(records, sides, side="right") - 1, np.repeat(np.arange(count), 2)):
        raise Unusual
    keys = view[sides[:, None] - 7 + np.arange(7)]
    is_bids = np.all(keys == _BIDS, axis=1)
    is_asks = np.all(keys == _ASKS, axis=1)
    if not bool(np.all(is_bids | is_asks)) or not bool(np.all(is_bids[0::2] ^ is_bids[1::2])):
        raise Unusual  # each event has its bids and its asks, once each
    # Levels sit tight in their side: [[p,q],[p,q]] with nothing else between the brackets.
    side_of = np.searchsorted(sides, levels, side="right") - 1
    per_side = np.bincount(side_of, minlength=len(sides)).astype(np.int64)
    first = np.zeros(len(sides) + 1, dtype=np.int64)
    np.cumsum(per_side, out=first[1:])
    filled = per_side > 0
    if not np.array_equal(side_ends[~filled], sides[~filled] + 1) or \
            not np.array_equal(levels[first[:-1][filled]], sides[filled] + 1) or \
            not np.array_equal(side_ends[filled], level_ends[first[1:][filled] - 1] + 1):
        raise Unusual
    same = side_of[1:] == side_of[:-1]
    if not np.array_equal(levels[1:][same], level_ends[:-1][same] + 2) or \
            not bool(np.all(view[level_ends[:-1][same] + 1] == ord(","))):
        raise Unusual
    # One comma in each level: its price before, its quantity after.
    commas = np.flatnonzero(view == ord(","))
    commas = np.append(commas, len(view))  # a last one past the end, so every level has a next
    at = np.searchsorted(commas, levels)
    comma = commas[at]
    if bool(np.any(comma > level_ends)) or bool(np.any(commas[np.minimum(at + 1, len(commas) - 1)] < level_ends)):
        raise Unusual
    price_text = _spans(buffer, levels + 1, comma)
    qty_text = _spans(buffer, comma + 1, level_ends)
    price, qty = _doubles(price_text), _doubles(qty_text)
    # What is left of each record without its levels gives ts and kind.
    first_side, second_side = sides[0::2], sides[1::2]
    pieces = np.empty(3 * count, dtype=np.int64), np.empty(3 * count, dtype=np.int64)
    pieces[0][0::3], pieces[1][0::3] = records, first_side + 1
    pieces[0][1::3], pieces[1][1::3] = side_ends[0::2], second_side + 1
    pieces[0][2::3], pieces[1][2::3] = side_ends[1::2], record_ends + 1
    parts = _spans(buffer, pieces[0], pieces[1])
    lines = pc.binary_join_element_wise(parts.take(pa.array(np.arange(0, 3 * count, 3))),
                                        parts.take(pa.array(np.arange(1, 3 * count, 3))),
                                        parts.take(pa.array(np.arange(2, 3 * count, 3))), "\n", "")
    line_buffers = lines.buffers()
    line_offsets = np.frombuffer(line_buffers[1], dtype=np.int32)[lines.offset:lines.offset + len(lines) + 1]
    text = line_buffers[2][int(line_offsets[0]):int(line_offsets[-1])]
    try:
        table = pj.read_json(io.BytesIO(text), read_options=pj.ReadOptions(use_threads=False, block_size=1 << 26),
                             parse_options=pj.ParseOptions(explicit_schema=_SKELETON, unexpected_field_behavior="ignore"))
    except (pa.ArrowException, OSError):
        raise Unusual from None
    if table.num_rows != count:
        raise Unusual
    ts_column, kind_column = table.column("ts").combine_chunks(), table.column("kind").combine_chunks()
    if ts_column.null_count or kind_column.null_count:
        raise Unusual
    kind = pc.utf8_lower(kind_column)
    if not pc.all(pc.is_in(kind, _KINDS)).as_py():
        raise Unusual
    ts = milliseconds(np.asarray(ts_column.to_numpy(zero_copy_only=False), dtype=np.int64), unit or "ms")
    # Each side's levels in event order: bids first, whichever the record gives first.
    side_text = _spans(buffer, sides, side_ends + 1)
    bids_first = is_bids[0::2]
    first_text = side_text.take(pa.array(np.arange(0, 2 * count, 2)))
    second_text = side_text.take(pa.array(np.arange(1, 2 * count, 2)))
    bid_side = np.where(bids_first, np.arange(0, 2 * count, 2), np.arange(1, 2 * count, 2))
    ask_side = np.where(bids_first, np.arange(1, 2 * count, 2), np.arange(0, 2 * count, 2))
    rest = pc.binary_join_element_wise(',"kind":"', kind, '","bids":', pc.if_else(pa.array(bids_first), first_text, second_text),
                                       ',"asks":', pc.if_else(pa.array(bids_first), second_text, first_text), "}", "")
    level_side = np.repeat(np.arange(len(sides)), per_side)
    bid_levels = is_bids[level_side]
    none = np.full(count, NO_ID, dtype=np.int64)
    out: dict[str, Any] = {
        "ts": ts, "rest": rest, "kind": np.asarray(pc.equal(kind, "diff").to_numpy(zero_copy_only=False), dtype=np.uint8),
        "bid_count": per_side[bid_side], "ask_count": per_side[ask_side], "first_id": none, "last_id": none,
        "prev_id": none, "bid_price": price[bid_levels], "bid_qty": qty[bid_levels],
        "ask_price": price[~bid_levels], "ask_qty": qty[~bid_levels],
    }
    return out
