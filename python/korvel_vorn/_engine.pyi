"""The engine's native array path (`korvel_vorn._engine`)."""

import os
from collections.abc import Mapping
from typing import Any, Final, final

from typing_extensions import Buffer

__version__: Final[str]
__all__ = ["Block", "Engine", "__version__", "set_thread_workers"]

@final
class Block:
    """Engine values exported through the buffer protocol (use numpy.asarray)."""

    @property
    def rows(self) -> int:
        """Number of rows (elements of a 1-D block)."""

@final
class Engine:
    """Engine(spec_json='')
    --

    The engine driven by JSON commands, files, columns and array frames.

    The interpreter lock is released while it works; calls on one object are serialised, so it may be
    used from any thread.
    """

    def __new__(cls, spec_json: str = ...) -> Engine: ...
    def command(self, cmd_json: str, /) -> str:
        """Apply a command JSON and return the response JSON (the replies of Vorn.command, byte for byte)."""
    def command_utf8(self, cmd_utf8: Buffer, /) -> str:
        """command() for a command given as UTF-8 bytes (any bytes-like object, read in place). Raises ValueError
        'not UTF-8 text (byte N)' for ill-formed text.
        """
    def load_file(self, path: str | bytes | os.PathLike[str], /, *, max_bytes: int = 4294967296) -> tuple[str, int]:
        """Read a dataset JSON file natively and load it; returns (reply, lines): the reply of the equivalent
        "load" command, whose positions are one line below the file's, and for an error reply the number of
        lines read from the file (else 0). Raises OSError when the file cannot be read (EFBIG past max_bytes)
        and ValueError when it is not UTF-8.
        """
    def load_columns(
        self,
        *,
        candles: Mapping[str, Buffer] | None = None,
        trades: Mapping[str, Buffer] | None = None,
        book: Mapping[str, Buffer] | None = None,
        funding: Mapping[str, Buffer] | None = None,
        oi: Mapping[str, Buffer] | None = None,
        liquidations: Mapping[str, Buffer] | None = None,
    ) -> int:
        """Replace the dataset with records given as columns: per list a dict of field name to a contiguous 1-D
        buffer (int64 ts and counts, float64 values, uint8 codes). Returns the record count; raises ValueError
        naming the list, field and first bad row, leaving the dataset unchanged.
        """
    def append_columns(
        self,
        *,
        candles: Mapping[str, Buffer] | None = None,
        trades: Mapping[str, Buffer] | None = None,
        book: Mapping[str, Buffer] | None = None,
        funding: Mapping[str, Buffer] | None = None,
        oi: Mapping[str, Buffer] | None = None,
        liquidations: Mapping[str, Buffer] | None = None,
    ) -> int:
        """Append records given as columns (as load_columns takes them) to the loaded lists, each at or after its
        list's last ts and in ts order; the dataset stays prepared. Returns the number of records added; raises
        ValueError naming the list, field and first bad row, leaving every list unchanged.
        """
    def frame(
        self, ts: int | None = None, *, detail: bool = False, grid_mid: float | None = None
    ) -> tuple[str, int, list[dict[str, Any]]]:
        """The frame of "frame" (ts None) or "frame_at" as (symbol, cursor_ts, panels), the panels' number lists
        as Block objects; with detail, each book heatmap also holds bid_intensity, ask_intensity, last_price
        and mid. With grid_mid (a float; NaN: the closing book's own), every book heatmap's grid is centred on
        that mid and its panel holds grid_mid, the mid used (NaN when empty). Raises ValueError with the error
        reply's text.
        """
    def clusters(self, ts: int | None = None, *, price_bin: float, bucket_ms: int) -> tuple[int, dict[str, Block]]:
        """The footprint clusters of the window of the frame at ts as (cursor_ts, {time, price, buy_vol,
        sell_vol}) of Block objects. Raises ValueError with the error's text.
        """
    def bars(self, *, first_start: int, bucket_ms: int, count: int) -> dict[str, Block]:
        """Time bars of the loaded trades over the buckets first_start + i * bucket_ms (i < count) as Block objects:
        open, high, low, close, volume, buy_volume, sell_volume, delta, cum_delta, trades (int64), vwap,
        liquidated_long, liquidated_short, and funding_rate and open_interest of the last record before each
        bucket's end. Raises ValueError with the error's text.
        """
    def book_features(
        self, *, first_end: int, bucket_ms: int, count: int, price_bin: float, depths: tuple[int, ...]
    ) -> dict[str, Block]:
        """The loaded book replayed to the moments first_end + i * bucket_ms (i < count; events before each moment
        applied, from the first snapshot on) as {best_bid, best_ask, mid, spread} and, per depth k of the tuple
        depths, {bid_depth, ask_depth, imbalance} (rows by depths) of Block objects: quantity at prices within k *
        price_bin of the mid, bounds included; NaN where a side is empty. Raises ValueError with the error's text.
        """
    def list_bounds(self) -> tuple[tuple[int, int | None, int | None], ...]:
        """(count, first_ts, last_ts) of each list in declared order (candles, trades, book, funding, oi,
        liquidations); the ts are None for an empty list.
        """
    @staticmethod
    def version() -> str:
        """The library version."""

def set_thread_workers(workers: int, /) -> int:
    """The most engine pool workers that work started on the calling thread may use (0: the whole pool, 1: the
    calling thread only); returns the previous setting.
    """
