"""Binance stream recordings read a block of messages at a time.

A recording of the trade, diff-depth and book-ticker streams is mostly those three messages. Their
lines are recognised by their event name, queued by kind and decoded together by pyarrow's JSON
reader with the fields as the exchange sends them (prices and quantities as text, so decimal text
is kept byte for byte); the checks are those of the message-by-message reader. Any other line is
read message by message, after the queued lines (so each list keeps the order of the file), and a
queue pyarrow does not take as it is (a field of another type, a level of three values) is read
message by message too, which gives the exact error and line.
"""

from __future__ import annotations

import io
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pj

from .context import Context
from .csv_columns import Unusual, _numbers, _wanted_symbols, milliseconds
from .store import NO_ID

QUEUE_LINES = 16384
_EVENTS = {"trade": "trade", "depthUpdate": "depth", "bookTicker": "ticker"}  # event name -> queue

_TRADE = pa.struct([("e", pa.string()), ("E", pa.int64()), ("T", pa.int64()), ("s", pa.string()), ("t", pa.int64()),
                    ("p", pa.string()), ("q", pa.string()), ("m", pa.bool_()), ("X", pa.string())])
_LEVELS = pa.list_(pa.list_(pa.string()))
_DEPTH = pa.struct([("e", pa.string()), ("E", pa.int64()), ("T", pa.int64()), ("s", pa.string()), ("U", pa.int64()),
                    ("u", pa.int64()), ("pu", pa.int64()), ("b", _LEVELS), ("a", _LEVELS)])
_TICKER = pa.struct([("e", pa.string())])
_SCHEMAS = {"trade": _TRADE, "depth": _DEPTH, "ticker": _TICKER}


def _schema(kind: str, enveloped: bool) -> pa.Schema:
    message = _SCHEMAS[kind]
    if enveloped:
        return pa.schema([("stream", pa.string()), ("data", message)])
    return pa.schema(list(message))


def _parse(kind: str, enveloped: bool, lines: list[tuple[int, str | None, str]]) -> pa.Table | None:
    """The queued messages as a table of their fields; None when pyarrow does not take them."""
    data = "\n".join(text for _, _, text in lines).encode()
    options = pj.ParseOptions(explicit_schema=_schema(kind, enveloped), unexpected_field_behavior="ignore")
    try:
        return pj.read_json(io.BytesIO(data), read_options=pj.ReadOptions(use_threads=False), parse_options=options)
    except (pa.ArrowException, OSError):
        return None


def _ints(column: pa.Array) -> npt.NDArray[np.int64]:
    return np.asarray(pc.fill_null(column, NO_ID).to_numpy(zero_copy_only=False), dtype=np.int64)


class StreamQueues:
    """Lines of the bulk messages, queued by kind until they are decoded together. pyarrow parses a
    queue on a worker thread while the next one fills; the parsed queues are applied in order."""

    def __init__(self, ctx: Context, one_by_one: Callable[[int, str | None, str], None]) -> None:
        self.ctx = ctx
        self.one_by_one = one_by_one  # reads one line's message the exact way
        self.queues: dict[tuple[str, bool], list[tuple[int, str | None, str]]] = {}
        self.size = 0
        self.pool = ThreadPoolExecutor(1)
        self.parsing: deque[tuple[Future[pa.Table], str, bool, list[tuple[int, str | None, str]]]] = deque()

    def take(self, number: int, prefix: str | None, text: str) -> bool:
        """Queue a bulk message's line; False for any other line (read it after `drain`)."""
        at = text.find('"e":"', 0, 128)
        if at < 0:
            return False
        kind = _EVENTS.get(text[at + 5:text.find('"', at + 5, at + 40)])
        if kind is None:
            return False
        key = (kind, text.startswith('{"stream"'))
        queue = self.queues.get(key)
        if queue is None:
            queue = self.queues[key] = []
        queue.append((number, prefix, text))
        self.size += 1
        if self.size >= QUEUE_LINES:
            self._send()
            self._apply(keep=2)
        return True

    def drain(self) -> None:
        """Apply every queued line, so the next line read one by one keeps the file's order."""
        self._send()
        self._apply(keep=0)

    def close(self) -> None:
        self.pool.shutdown(cancel_futures=True)

    def _send(self) -> None:
        for (kind, enveloped), lines in self.queues.items():
            if lines:
                self.parsing.append((self.pool.submit(_parse, kind, enveloped, lines), kind, enveloped, lines))
        self.queues = {}
        self.size = 0

    def _apply(self, keep: int) -> None:
        while len(self.parsing) > keep:
            future, kind, enveloped, lines = self.parsing.popleft()
            mark = self.ctx.market.mark()
            try:
                self._decode(future.result(), kind, enveloped, len(lines))
            except Unusual:
                self.ctx.market.rollback_to(mark)
                for number, prefix, text in lines:
                    self.one_by_one(number, prefix, text)

    def _decode(self, table: pa.Table | None, kind: str, enveloped: bool, count: int) -> None:
        if table is None or table.num_rows != count:
            raise Unusual
        message = table.column("data").combine_chunks() if enveloped else \
            pa.StructArray.from_arrays([table.column(f.name).combine_chunks() for f in _SCHEMAS[kind]],
                                       fields=list(_SCHEMAS[kind]))
        if message.null_count:
            raise Unusual
        if kind == "ticker":
            self.ctx.market.skipped["bookTicker messages"] += count
        elif kind == "trade":
            self._trades(message)
        else:
            self._depth(message)

    def _times(self, message: pa.StructArray) -> npt.NDArray[np.int64]:
        ts = pc.coalesce(message.field("T"), message.field("E"))
        if ts.null_count:
            raise Unusual
        return milliseconds(np.asarray(ts.to_numpy(zero_copy_only=False), dtype=np.int64), self.ctx.unit)

    def _trades(self, message: pa.StructArray) -> None:
        ctx, market = self.ctx, self.ctx.market
        field = message.field
        for name in ("p", "q", "m", "t"):
            if field(name).null_count:
                raise Unusual
        keep = _wanted_symbols(ctx, field("s"))
        kinds = field("X")
        if not ctx.market.options.keep_trade_types:
            other = pc.fill_null(pc.not_equal(kinds, "MARKET"), False).to_numpy(zero_copy_only=False)
            other &= keep
            if other.any():
                for entry in pc.value_counts(kinds.filter(pa.array(other))).to_pylist():
                    market.dropped[f"{entry['values']} trades (not market trades; --keep-trade-types keeps them)"] \
                        += entry["counts"]
                keep &= ~other
        ts = self._times(message)
        price_text, price, price_places = _numbers(field("p"))
        qty_text, qty, qty_places = _numbers(field("q"))
        side = field("m").to_numpy(zero_copy_only=False).astype(np.uint8)  # the buyer made: the aggressor sold
        side_text = pc.if_else(field("m"), "sell", "buy")
        rest = pc.binary_join_element_wise(',"price":', price_text, ',"qty":', qty_text, ',"side":"', side_text,
                                           '"}', "")
        ids = _ints(field("t"))
        if not keep.all():
            rest = rest.filter(pa.array(keep))
            ts, price, qty, side, ids = ts[keep], price[keep], qty[keep], side[keep], ids[keep]
            price_places, qty_places = price_places[keep], qty_places[keep]
        if len(ts):
            market.trade_id_kinds.add("trade")
            market.add_chunk("trades", {"ts": ts, "rest": rest, "price": price, "qty": qty, "side": side, "id": ids,
                                        "price_decimals": price_places, "qty_decimals": qty_places})

    def _depth(self, message: pa.StructArray) -> None:
        ctx = self.ctx
        field = message.field
        if ctx.waiting_snapshots:
            first = field("s")[0].as_py()
            if isinstance(first, str):
                ctx.settle_snapshots(first)
        keep = _wanted_symbols(ctx, field("s"))
        ts = self._times(message)
        sides = {}
        for side, name in (("b", "bid"), ("a", "ask")):
            levels = pc.fill_null(field(side), pa.scalar([], _LEVELS))
            counts = pc.list_value_length(levels).to_numpy(zero_copy_only=False).astype(np.int64)
            pairs = levels.flatten()
            if len(pairs) and (pairs.null_count or not pc.all(pc.greater_equal(pc.list_value_length(pairs), 2)).as_py()):
                raise Unusual
            price_text, price, _ = _numbers(pc.list_element(pairs, 0))
            qty_text, qty, _ = _numbers(pc.list_element(pairs, 1))
            text = pc.binary_join_element_wise("[", price_text, ",", qty_text, "]", "")
            offsets = np.zeros(len(counts) + 1, dtype=np.int32)
            np.cumsum(counts, out=offsets[1:])
            joined = pc.binary_join(pa.ListArray.from_arrays(pa.array(offsets), text), ",")
            level_keep = np.repeat(keep, counts)
            sides[name] = (counts[keep], joined, price[level_keep], qty[level_keep])
        rest = pc.binary_join_element_wise(',"kind":"diff","bids":[', sides["bid"][1], '],"asks":[', sides["ask"][1],
                                           "]}", "")
        if not keep.all():
            rest = rest.filter(pa.array(keep))
        ts = ts[keep]
        if not len(ts):
            return
        chunk: dict[str, Any] = {
            "ts": ts, "rest": rest, "kind": np.ones(len(ts), dtype=np.uint8),
            "bid_count": sides["bid"][0], "ask_count": sides["ask"][0],
            "first_id": _ints(field("U"))[keep], "last_id": _ints(field("u"))[keep], "prev_id": _ints(field("pu"))[keep],
            "bid_price": sides["bid"][2], "bid_qty": sides["bid"][3],
            "ask_price": sides["ask"][2], "ask_qty": sides["ask"][3],
        }
        ctx.market.add_chunk("book", chunk)
