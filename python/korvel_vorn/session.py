"""`Session`: the engine driven with Python values, with error replies raised as exceptions.

A session holds one native `Engine` (`korvel_vorn._engine`). JSON commands go through it unchanged
(`command`, `frame_at`, ... give the replies of `Vorn.command`), while files are read and decoded
natively, columns are loaded without any JSON (`load_columns`) and frames come back as NumPy arrays
(`frame_arrays`). The engine releases the interpreter lock while it reads, decodes and computes, so
other Python threads keep running.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, cast

import numpy as np

from . import commands
from ._native import Engine
from .columns import ColumnError, native_columns, read_npz
from .dataset import timestamp_ms
from .dataset_file import DEFAULT_MAX_BYTES, DatasetFileError, load_json_file, remap_file_error
from .frame_arrays import frame_from_native
from .replies import Bounds, Frame, VornParseError, error_from_display, parse_reply
from .schema import LISTS
from .timefmt import time_ms

if TYPE_CHECKING:
    from .composite import CompositeSession


class Session:
    """One engine object with Python-valued commands.

    `spec` is a spec as JSON text, a mapping (for instance from `commands.spec_value`) or None.
    A spec the engine refuses raises `VornParseError` or `VornBadSpecError`.
    """

    def __init__(self, spec: Any = None) -> None:
        self._spec_text = commands.spec_text(spec)
        # Set by a load of several venues (`load_catalog(exchanges=...)`): frames then come from it.
        self.composite: CompositeSession | None = None
        try:
            self.engine = Engine(self._spec_text)
        except ValueError as error:
            raise error_from_display(str(error)) from None

    @property
    def vorn(self) -> Engine:
        """The native object (it answers `command` exactly as `Vorn` does)."""
        return self.engine

    def command(self, text: str) -> Any:
        """Send one command text; returns the decoded reply, raising for an error reply."""
        return parse_reply(self.engine.command(text))

    def version(self) -> str:
        return cast(str, self.command(commands.version_command())["version"])

    def set_spec(self, spec: Any) -> None:
        self.command(commands.set_spec_command(spec))
        self._spec_text = commands.spec_text(spec)
        if self.composite is not None:
            self.composite.set_spec(self._spec_text)

    def load(self, dataset: Any) -> int:
        """Load a dataset (JSON text or a mapping of lists); returns the record count."""
        self.composite = None
        return cast(int, self.command(commands.load_command(dataset))["loaded"])

    def load_file(self, path: str | os.PathLike[str], *, max_bytes: int = DEFAULT_MAX_BYTES) -> int:
        """Load a dataset file; returns the record count.

        A dataset JSON file (the value of a "load" command's "dataset", `.gz` allowed) is read and
        decoded natively; its errors name the file's own line and column. A `.npz` file holds the
        columns of `load_columns` (members "list/field"). Files larger than `max_bytes` (once
        decompressed) are refused.
        """
        name = os.fspath(path)
        self.composite = None
        if name.endswith(".npz"):
            try:
                lists = read_npz(name)
            except ColumnError as error:
                raise DatasetFileError(str(error)) from None
            return self._load_native_columns(lists)
        return load_json_file(self.engine, name, max_bytes)

    def load_columns(self, candles: Any = None, trades: Any = None, book: Any = None, funding: Any = None,
                     oi: Any = None, liquidations: Any = None) -> int:
        """Replace the dataset with lists given as columns; returns the record count.

        Each list is a mapping of field name to a 1-D array-like, a pandas DataFrame or a NumPy
        structured array with the fields of `korvel_vorn.schema.COLUMN_FIELDS`; see
        `korvel_vorn.columns` for the conversions. The dataset is prepared as "load" prepares it.
        A bad column raises ValueError naming the list, the field and the first bad row, and leaves
        the loaded dataset as it was.
        """
        given = dict(zip(LISTS, (candles, trades, book, funding, oi, liquidations)))
        lists = {name: native_columns(name, records) for name, records in given.items() if records is not None}
        return self._load_native_columns(lists)

    def load_catalog(self, root: str | os.PathLike[str], *, exchange: str | None = None,
                     symbol: str | Mapping[str, str], start: Any = None, end: Any = None,
                     exchanges: Sequence[str] | None = None) -> int:
        """Load a span of a catalog (`korvel_vorn.catalog`): the days of `exchange` and `symbol`
        from `start` (inclusive) to `end` (exclusive), each None for the catalog's first or last
        day, as any TIME the package takes (milliseconds, an aware datetime, ISO text). Parquet
        columns go to the engine through NumPy, without JSON; the span's book starts with the book
        replayed to `start`. Returns the record count; a span without records raises
        `korvel_vorn.catalog.CatalogError`.

        With `exchanges` (in place of `exchange`), one instrument over several venues is loaded,
        each venue on its own (`korvel_vorn.composite`; the first is the reference venue, `symbol`
        may map each exchange to its own), and `frame_arrays`, `clusters` and `bounds` answer
        with the aggregate.
        """
        if exchanges is not None:
            return self.load_catalogs([root], symbol=symbol, exchanges=exchanges, start=start, end=end)
        if exchange is None or not isinstance(symbol, str):
            raise TypeError("load_catalog takes exchange and one symbol, or exchanges")
        from .catalog import CatalogError, read_span

        start_ms = None if start is None else time_ms(start)
        end_ms = None if end is None else time_ms(end)
        lists = read_span(root, exchange, symbol, start_ms, end_ms)
        if not lists:
            from .storage_error import shown

            raise CatalogError(f"{shown(root)} holds no records of {exchange} {symbol} in the span asked for")
        return self._load_native_columns({name: native_columns(name, columns) for name, columns in lists.items()})

    def load_catalogs(self, roots: Sequence[str | os.PathLike[str]], *, symbol: str | Mapping[str, str],
                      exchanges: Sequence[str], start: Any = None, end: Any = None) -> int:
        """`load_catalog` of several venues from several catalog roots, each venue read from the first
        root that holds its symbol. Returns the record count of all venues; on any error (an unknown
        exchange, a symbol missing in a venue, quantities that cannot be converted, no records at
        all) nothing is loaded. A venue without records in the span is left out with a warning.
        """
        from .composite.catalog import load_catalogs

        composite = load_catalogs(roots, symbol=symbol, exchanges=exchanges, start=start, end=end,
                                  spec=self._spec_text or None, new_session=Session)
        self.composite = composite
        return int(composite.bounds()["count"])

    def append_columns(self, candles: Any = None, trades: Any = None, book: Any = None, funding: Any = None,
                       oi: Any = None, liquidations: Any = None) -> int:
        """Add records at the end of the loaded lists; returns the number of records added.

        The columns are those of `load_columns`. Every record must be at or after the last ts of
        its list, and the records of one list in ts order. The dataset stays prepared, the work
        grows with what is appended, and bounds and frames see the new records at once. A bad
        column or a record out of order raises `ColumnError` (a ValueError) naming the list, the
        field and the row, and leaves every list as it was.
        """
        given = dict(zip(LISTS, (candles, trades, book, funding, oi, liquidations)))
        lists: dict[str, Any] = {name: native_columns(name, records) for name, records in given.items()
                                 if records is not None}
        try:
            return int(self.engine.append_columns(**lists))
        except ValueError as error:
            raise ColumnError(str(error)) from None

    def _load_native_columns(self, lists: dict[str, Any]) -> int:
        self.composite = None
        try:
            return int(self.engine.load_columns(**lists))
        except ValueError as error:
            raise ColumnError(str(error)) from None

    def reset(self) -> None:
        self.command(commands.reset_command())
        self.composite = None

    def bounds(self) -> Bounds:
        if self.composite is not None:
            return cast(Bounds, self.composite.bounds())
        return cast(Bounds, self.command(commands.bounds_command()))

    def list_bounds(self) -> dict[str, dict[str, Any]]:
        """Per list: "count", and the "from_ts" and "to_ts" of its records (None when empty)."""
        if self.composite is not None:
            return self.composite.list_bounds()
        return {name: {"count": count, "from_ts": first, "to_ts": last}
                for name, (count, first, last) in zip(LISTS, self.engine.list_bounds())}

    def frame(self) -> Frame:
        self._one_venue("frame")
        return cast(Frame, self.command(commands.frame_command()))

    def frame_at(self, ts: Any) -> Frame:
        self._one_venue("frame_at")
        return cast(Frame, self.command(commands.frame_at_command(ts)))

    def _one_venue(self, what: str) -> None:
        if self.composite is not None:
            raise ValueError(f"{what} gives one market's JSON reply: a session of several venues gives its "
                             f"frames with frame_arrays")

    def frame_arrays(self, ts: Any = None, detail: bool = False) -> dict[str, Any]:
        """The frame of "frame" (ts None) or "frame_at" with NumPy arrays in place of number lists.

        See `korvel_vorn.frame_arrays` for the shapes; `detail` adds to each book heatmap the bid
        and ask part of every cell and each row's last traded price and book mid. Errors raise the
        `VornError` of the JSON reply ("bad spec: no spec set", "data: no dataset", ...).
        """
        if self.composite is not None:
            return self.composite.frame_arrays(ts, detail)
        cursor = None if ts is None else timestamp_ms(ts)
        try:
            native = self.engine.frame(cursor, detail=detail)
        except ValueError as error:
            raise error_from_display(str(error)) from None
        return frame_from_native(native)

    def clusters(self, ts: Any = None, *, price_bin: float, bucket_ms: int) -> dict[str, Any]:
        """Footprint clusters: buy and sell volume per time bucket and price bin in the window of
        the frame at `ts` (as `frame_arrays`).

        Returns "time" (int64 starts of the buckets that hold trades, ascending), "price"
        (float64 lower edges of the bins that hold trades, ascending), "buy_vol" and "sell_vol"
        (2-D float64, time by price, plus zero where a bucket has no trade at a price), computed
        with the footprint's arithmetic; also "cursor_ts", "price_bin" and "bucket_ms". With one
        bucket spanning the window, "price" and the single rows are the footprint's lists.
        """
        if self.composite is not None:
            return self.composite.clusters(ts, price_bin=price_bin, bucket_ms=bucket_ms)
        cursor = None if ts is None else timestamp_ms(ts)
        try:
            cursor_ts, native = self.engine.clusters(cursor, price_bin=float(price_bin), bucket_ms=int(bucket_ms))
        except ValueError as error:
            raise error_from_display(str(error)) from None
        out: dict[str, Any] = {key: np.asarray(value) for key, value in native.items()}
        out.update(cursor_ts=cursor_ts, price_bin=float(price_bin), bucket_ms=int(bucket_ms))
        return out

    def frame_text(self, ts: Any = None) -> str:
        """The raw reply text of "frame" (ts None) or "frame_at"; raises for an error reply."""
        self._one_venue("frame_text")
        text = self.engine.command(commands.frame_command() if ts is None else commands.frame_at_command(ts))
        if text.startswith('{"ok":false'):
            parse_reply(text)
        return text


__all__ = ["DEFAULT_MAX_BYTES", "DatasetFileError", "Session", "VornParseError", "remap_file_error"]
