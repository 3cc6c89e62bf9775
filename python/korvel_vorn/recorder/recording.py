"""Recording live exchange feeds into hourly gzip JSON Lines files with a manifest per day.

`record(source, symbols, out)` records until interrupted (SIGINT or SIGTERM flush and close every
file); `korvel_vorn.live` builds on the same recorders to replay a market while it is written.
Files: `out/{source}/{SYMBOL}/{YYYY-MM-DD}/{HH}.jsonl.gz` (see `files`); `convert` reads them.
"""

from __future__ import annotations

import asyncio
import os
from pathlib import Path
from typing import Any

from ..stopping import stop_on_signals
from .core import Recorder, RecordError, Sink
from .options import RecordOptions

SOURCES = ("binance-um", "binance-cm", "binance-spot", "bybit")


def make_recorder(source: str, symbols: list[str], out: str | os.PathLike[str] | None,
                  options: RecordOptions | None = None, *, sink: Sink | None = None, log: Any = None) -> Recorder:
    """The recorder of `source` ("binance-um", "binance-cm", "binance-spot" or "bybit")."""
    if source not in SOURCES:
        raise RecordError(f"unknown source {source!r}: use one of {', '.join(SOURCES)}")
    if not symbols:
        raise RecordError("no symbol to record")
    for symbol in symbols:
        if not symbol or not symbol.replace("_", "").replace("-", "").isalnum():
            raise RecordError(f"not a symbol: {symbol!r}")
    folder = Path(out) if out is not None else None
    if source == "bybit":
        from ..venues.bybit.recorder import BybitRecorder

        return BybitRecorder(source, list(symbols), folder, options, log, sink)
    from ..venues.binance.recorder import BinanceRecorder

    if source == "binance-spot":  # spot's feeds differ from the futures' only in the venue's facts
        from ..venues.binance_spot.live import SPOT

        return BinanceRecorder(source, list(symbols), folder, options, log, sink, live=SPOT)
    return BinanceRecorder(source, list(symbols), folder, options, log, sink)


def record(source: str, symbols: list[str], out: str | os.PathLike[str], *, every_trade: bool = False,
           oi_every: float = 10.0, duration: float | None = None, options: RecordOptions | None = None) -> int:
    """Record `symbols` of `source` into `out` until SIGINT/SIGTERM (or `duration` seconds).

    Returns the exit status: 0, or 1 when the recording could not go on (a full disk, no
    symbol the exchange knows); the reason was written to stderr as one line.
    """
    opts = options or RecordOptions()
    opts.every_trade = every_trade or opts.every_trade
    opts.oi_every = oi_every if options is None else opts.oi_every
    recorder = make_recorder(source, symbols, out, opts)

    async def main() -> int:
        loop = asyncio.get_running_loop()

        def stop() -> None:
            loop.call_soon_threadsafe(recorder.stop)

        # SIGINT and SIGTERM (Ctrl+Break on Windows) stop the recording cleanly: every file flushed
        # and closed. The handlers can only be set on the main thread; elsewhere the caller stops it.
        with stop_on_signals(stop):
            return await recorder.run(duration)

    return asyncio.run(main())


__all__ = ["SOURCES", "RecordError", "RecordOptions", "Recorder", "make_recorder", "record"]
