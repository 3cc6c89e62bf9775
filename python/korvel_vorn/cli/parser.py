"""The command line's arguments: one subparser per command, each bound to its function."""

from __future__ import annotations

import argparse

from .. import __version__
from ..schema import LISTS
from ..session import DEFAULT_MAX_BYTES
from .batch import add_batch_parser
from .convert import cmd_convert
from .fetch import cmd_catalog, cmd_fetch
from .frames import cmd_frame, cmd_render, cmd_replay
from .info import cmd_info
from .record import cmd_record
from .values import byte_size, pixel_size, positive_float
from .view import cmd_demo, cmd_view


def port_number(text: str) -> int:
    """A TCP port (0: a free one), for argparse: anything else is a usage error."""
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"bad port {text}: use 0 to 65535")
    return port


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvel_vorn",
        description="Replay a recorded crypto market as chart-panel frames.",
        epilog="Times: milliseconds, ISO dates (2024-08-08T23:57:00Z), or start/end with an offset "
        "(end-30s). Durations: milliseconds or 500ms, 10s, 1m, 1h30m.",
    )
    parser.add_argument("--version", action="version", version=f"korvel_vorn {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def with_dataset(p: argparse.ArgumentParser, spec: bool = True) -> None:
        p.add_argument("dataset", nargs="?", help="dataset JSON file (the value of a load command's \"dataset\"; "
                       ".gz allowed) or .npz file of columns; or a catalog span with --catalog")
        p.add_argument("--catalog", metavar="ROOT", help="read a span of a catalog (python -m korvel_vorn fetch) "
                       "instead of a file, with --exchange, --symbol and optionally --from and --to")
        p.add_argument("--exchange", help="the catalog's exchange (binance-um, binance-cm, bybit, ...)")
        p.add_argument("--exchanges", metavar="E,E,...", help="one instrument over several of the catalog's "
                       "exchanges, aggregated (the first is the reference venue); --symbol S, or "
                       "E=S,E=S,... for a symbol per exchange")
        p.add_argument("--from", dest="span_from", metavar="TIME", help="start of the catalog span (default: its "
                       "first day); the book starts replayed to it")
        p.add_argument("--to", dest="span_to", metavar="TIME", help="end of the catalog span, excluded (default: "
                       "the end of its last day)")
        if not spec:
            p.add_argument("--symbol", help="the catalog's symbol")
        p.add_argument("--max-size", type=byte_size, default=DEFAULT_MAX_BYTES, metavar="SIZE",
                       help="refuse dataset files larger than SIZE once decompressed (bytes, or with K, M, G; "
                       "default 4G)")
        if spec:
            p.add_argument("--spec", help="spec JSON file, or the spec JSON itself; default: the four panels")
            p.add_argument("--symbol", help="symbol of the default spec (default: the file name); the catalog's "
                           "symbol with --catalog")
            p.add_argument("--price-bin", type=positive_float, default=1.0,
                           help="price bin of the default spec's panels (default 1.0)")

    p = sub.add_parser("info", help="bounds and record counts of a dataset file")
    with_dataset(p, spec=False)
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("frame", help="print the frame reply for a cursor")
    with_dataset(p)
    p.add_argument("--at", metavar="TIME", help="cursor (default: the spec's to_ts or the end of the data)")
    p.add_argument("--pretty", action="store_true", help="indent the JSON")
    p.set_defaults(run=cmd_frame)

    def with_render(p: argparse.ArgumentParser, size: str) -> None:
        p.add_argument("--size", type=pixel_size, default=pixel_size(size), metavar="WxH", help=f"pixels (default {size})")
        p.add_argument("--dpi", type=int, default=100, help="dots per inch (default 100)")
        with_chart_options(p)

    def with_chart_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--qty-unit", default="qty", help="unit of quantities on axes and colour bars (default qty)")
        p.add_argument("--price-unit", help="unit of prices (default: the symbol's quote currency)")
        p.add_argument("--heatmap-scale", choices=("sqrt", "log", "linear"), default="sqrt",
                       help="colour mapping of the heatmap's sizes (default sqrt)")
        p.add_argument("--white-point", default="p97", metavar="range|pNN",
                       help="heatmap size that takes the top colour, fixed for a whole replay: the largest "
                       "(range) or a percentile of all cells (default p97); larger sizes are clipped")
        p.add_argument("--studies", default="poc,value-area,imbalances,delta",
                       help="footprint studies to draw, comma-separated from poc, value-area, imbalances, delta "
                       "(or none)")

    p = sub.add_parser("render", help="one PNG with a chart per panel at a cursor")
    with_dataset(p)
    p.add_argument("--at", metavar="TIME", help="cursor (default: the spec's to_ts or the end of the data)")
    p.add_argument("-o", "--output", default="frame.png", help="PNG file to write (default frame.png)")
    with_render(p, "1600x1000")
    p.set_defaults(run=cmd_render)

    p = sub.add_parser("replay", help="frames from a start to an end, as PNG files or an animated GIF")
    with_dataset(p)
    p.add_argument("--start", metavar="TIME", help="first cursor (default: start of the data or the spec's from_ts)")
    p.add_argument("--end", metavar="TIME", help="last cursor (default: end of the data or the spec's to_ts)")
    p.add_argument("--step", metavar="DURATION", help="time between frames (default: 30 frames in all)")
    p.add_argument("--frames", type=int, help="number of frames when --step is not given (default 30)")
    p.add_argument("--max-frames", type=int, default=1000, help="refuse replays longer than this (default 1000)")
    p.add_argument("--fps", type=positive_float, default=4.0, help="GIF frames per second (default 4)")
    p.add_argument("-o", "--output", default="replay.gif",
                   help="a .gif file, or a directory for numbered PNG files (default replay.gif)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    with_render(p, "1200x750")
    p.set_defaults(run=cmd_replay)

    p = sub.add_parser("convert", help="exchange recordings (CSV, JSON, JSON Lines) to a dataset",
                       description="Convert recorded market data into one dataset (JSON or .npz). The format of "
                       "each input is recognised from its content and name; the --trades, --book, ... options "
                       "force a kind where they cannot tell (a Tardis CSV of liquidations has the header of one "
                       "of trades). Folders stand for the files in them, so daily files join into one dataset. "
                       "A summary of what was read, kept and left out (and why) goes to stderr.")
    p.add_argument("inputs", nargs="*", help="recordings or folders of them, recognised by content (.gz and .zip allowed)")
    for kind in LISTS:
        p.add_argument(f"--{kind}", action="append", metavar="FILE", help=f"a recording read as {kind}")
    p.add_argument("-o", "--output",
                   help="dataset file to write: JSON (- for stdout, .gz compresses) or .npz columns")
    p.add_argument("--catalog", metavar="ROOT", help="write into a catalog of days instead (split at UTC midnight; "
                   "with --exchange, and --symbol where the inputs do not tell it)")
    p.add_argument("--exchange", help="the catalog's exchange name of the inputs (binance-um, bybit, ...)")
    p.add_argument("--symbol", help="keep only this symbol's messages")
    p.add_argument("--time-unit", choices=("s", "ms", "us", "ns"),
                   help="unit of numeric timestamps (default: recognised by magnitude)")
    p.add_argument("--from", dest="start", metavar="TIME",
                   help="keep records at or after TIME (ms or ISO date and time); the book keeps what came "
                   "before as one snapshot")
    p.add_argument("--to", dest="end", metavar="TIME", help="keep records before TIME")
    p.add_argument("--keep-all-times", action="store_true",
                   help="keep funding, open interest and candles outside the market recording's time range")
    p.add_argument("--keep-unsnapshotted-diffs", action="store_true",
                   help="keep depth updates that come before the book's first snapshot")
    p.add_argument("--keep-trade-types", action="store_true",
                   help="keep trades that are not market trades (insurance fund, ADL)")
    p.add_argument("--drop-duplicate-liquidations", action="store_true",
                   help="drop liquidations that repeat an earlier one exactly (same time, side, price, qty)")
    p.add_argument("--candles-from-trades", metavar="DURATION",
                   help="derive candles of DURATION (1m, 5m, 1h...) from the kept trades, whole buckets only")
    p.add_argument("--strict", action="store_true",
                   help="refuse a gzip file that ends early (by default its complete lines are kept, with a warning)")
    p.set_defaults(run=cmd_convert)

    p = sub.add_parser("fetch", help="public archives (Binance, Bybit, Tardis) into a catalog of days",
                       description="Download each day's files of a public archive (verified, resumable, in "
                       "parallel) and build them into a catalog of Parquet days. The summary goes to stderr; the "
                       "exit status is 0 when everything asked for is in the catalog, 3 when some of it is "
                       "missing or failed, 1 when nothing came in or on a disk error, 2 on a usage error.")
    p.add_argument("source", metavar="SOURCE",
                   help="binance-um, binance-cm, binance-spot, bybit or tardis:EXCHANGE (e.g. tardis:binance-futures)")
    p.add_argument("symbols", nargs="+", metavar="SYMBOL", help="symbols in the archive's form (BTCUSDT, BTCUSD_PERP)")
    p.add_argument("--from", dest="start", required=True, metavar="DAY", help="first day (YYYY-MM-DD, UTC)")
    p.add_argument("--to", dest="end", required=True, metavar="DAY", help="last day, included")
    p.add_argument("--catalog", required=True, metavar="ROOT", help="catalog folder or URL (s3://bucket/prefix) to build into")
    p.add_argument("--types", help="comma list of the archive's type names (binance: trades or aggTrades, klines, "
                   "metrics, fundingRate, liquidationSnapshot; bybit: trades, orderbook; tardis: trades, "
                   "incremental_book_L2, liquidations, derivative_ticker); default: all but aggTrades")
    p.add_argument("--cache", metavar="DIR", help="keep the downloaded files here, byte for byte (a second run "
                   "takes them from here without a request)")
    p.add_argument("--jobs", type=int, default=4, help="parallel downloads (default 4)")
    p.add_argument("--api-key", help="Tardis API key (default: $TARDIS_API_KEY; the first day of a month needs none)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.set_defaults(run=cmd_fetch)

    p = sub.add_parser("catalog", help="what a catalog holds: per exchange and symbol the days, lists and gaps")
    p.add_argument("root", metavar="ROOT", help="catalog folder or URL (s3://bucket/prefix)")
    p.set_defaults(run=cmd_catalog)
    p = sub.add_parser("record", help="record live exchange feeds into hourly files (convert reads them)",
                       description="Record the live feeds of SYMBOLs (book diffs synchronised from REST snapshots, "
                       "trades, liquidations, mark price and funding, open interest) into "
                       "OUT/SOURCE/SYMBOL/YYYY-MM-DD/HH.jsonl.gz, one '<receive ns> <message>' line per message, "
                       "with a manifest.json per day (connections, gaps, snapshots, trade id holes). Runs until "
                       "SIGINT or SIGTERM. URLs: KORVEL_VORN_BINANCE_WS_URL, KORVEL_VORN_BINANCE_REST_URL, "
                       "KORVEL_VORN_BINANCE_CM_WS_URL, KORVEL_VORN_BINANCE_CM_REST_URL, KORVEL_VORN_BINANCE_SPOT_WS_URL, "
                       "KORVEL_VORN_BINANCE_SPOT_REST_URL, KORVEL_VORN_BYBIT_WS_URL.")
    p.add_argument("source", choices=("binance-um", "binance-cm", "binance-spot", "bybit"), help="exchange and market")
    p.add_argument("symbols", nargs="+", metavar="SYMBOL", help="symbols to record (BTCUSDT ...)")
    p.add_argument("--out", required=True, help="folder to record into (never overwritten)")
    p.add_argument("--every-trade", action="store_true", help="Binance: every fill (@trade) instead of @aggTrade")
    p.add_argument("--oi-every", type=positive_float, default=10.0, metavar="SECONDS",
                   help="seconds between open interest polls (Binance; default 10)")
    p.add_argument("--duration", type=positive_float, metavar="SECONDS", help="stop after this many seconds")
    p.set_defaults(run=cmd_record)

    p = sub.add_parser("view", help="interactive replay in the browser (seek, play, zoom, hover)")
    with_dataset(p)
    p.add_argument("--port", type=port_number, default=0, help="port to serve on (default: a free one)")
    p.add_argument("--host", default=None,
                   help="address to serve on (default 127.0.0.1; any other lets whoever reaches it read the data)")
    p.add_argument("live_symbol", nargs="?", metavar="SYMBOL", help="with --live: the symbol to record")
    p.add_argument("--live", action="store_true",
                   help="record SOURCE (binance-um, binance-cm, binance-spot, bybit) SYMBOL live and follow its newest moment")
    p.add_argument("--out", metavar="DIR", help="with --live: also write the recording into DIR")
    p.add_argument("--open", action="store_true", help="open the page in the default browser")
    p.set_defaults(run=cmd_view)

    p = sub.add_parser("demo", help="render the sample market's charts into a folder")
    p.add_argument("--out", default="korvel_vorn_demo", help="folder to write (default korvel_vorn_demo)")
    p.add_argument("--seed", type=int, default=7, help="seed of the sample market (default 7)")
    p.add_argument("--no-gif", action="store_true", help="skip the animated replay")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    with_chart_options(p)
    p.set_defaults(run=cmd_demo)

    add_batch_parser(sub)
    return parser
