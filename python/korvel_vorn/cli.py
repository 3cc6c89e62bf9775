"""The command-line tool: ``python -m korvel_vorn <info|frame|render|replay|view|convert|demo>``.

Every failure (a missing or unreadable file, bad JSON, an error reply of the engine, a bad
option value) prints one line "korvel_vorn <command>: error: ..." on stderr and exits with
status 1; usage errors exit with status 2.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Sequence
from typing import Any

from . import __version__, commands
from .columns import ColumnError
from .replies import VornError
from .schema import LISTS
from .session import DEFAULT_MAX_BYTES, DatasetFileError, Session
from .timefmt import format_duration, format_ts, parse_duration, parse_time

MAX_SPEC_BYTES = 64 << 20  # a spec is a few hundred bytes; anything this large is not one


class CliError(Exception):
    """A bad input the tool reports and exits on."""


# ----------------------------------------------------------------------------- shared pieces

def _default_spec(symbol: str, price_bin: float) -> dict[str, Any]:
    return commands.spec_value(
        symbol=symbol,
        panels=[
            commands.footprint(price_bin=price_bin),
            commands.book_heatmap(price_bin=price_bin, bucket_ms=10_000, depth_levels=60),
            commands.liquidation_map(price_bin=price_bin),
            commands.funding_oi_divergence(bucket_ms=60_000),
        ],
    )


def _dataset_symbol(path: str) -> str:
    name = os.path.basename(path)
    for suffix in (".gz", ".npz", ".json", ".dataset"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
    return name or "market"


def _read_spec(args: argparse.Namespace) -> tuple[str, dict[str, Any]]:
    """The spec text for the engine and its decoded form (for chart labels)."""
    if args.spec is None:
        spec = _default_spec(args.symbol or _dataset_symbol(args.dataset), args.price_bin)
        return commands.spec_text(spec), spec
    source = args.spec
    if source.lstrip().startswith(("{", "[")):
        text, where = source, "--spec"
    else:
        try:
            with open(source, "rb") as f:
                data = f.read(MAX_SPEC_BYTES + 1)
            if len(data) > MAX_SPEC_BYTES:
                raise CliError(f"spec {source} is larger than {MAX_SPEC_BYTES >> 20} MiB")
            text = data.decode("utf-8")
        except OSError as error:
            raise CliError(f"cannot read spec {source}: {error.strerror or error}") from None
        except UnicodeDecodeError:
            raise CliError(f"spec {source} is not UTF-8 text") from None
        where = source
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise CliError(f"spec {where} is not valid JSON: {error.msg} at line {error.lineno} column {error.colno}") from None
    except RecursionError:
        raise CliError(f"spec {where} nests too deeply") from None
    return text, commands.spec_mapping(value)


def _open_session(args: argparse.Namespace) -> tuple[Session, dict[str, Any]]:
    spec_text, spec = _read_spec(args)
    session = Session(spec_text if spec_text.strip() else None)
    session.load_file(args.dataset, max_bytes=args.max_size)
    return session, spec


def _size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"bad size {text!r}: use WIDTHxHEIGHT in pixels, e.g. 1600x1000") from None
    if not (100 <= width <= 10_000 and 100 <= height <= 10_000):
        raise argparse.ArgumentTypeError("width and height must be between 100 and 10000 pixels")
    return width, height


def _byte_size(text: str) -> int:
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    number, unit = text.strip().upper().rstrip("B").rstrip("I"), ""
    if number and number[-1] in units:
        number, unit = number[:-1], number[-1]
    try:
        size = int(float(number) * units[unit])
    except ValueError:
        raise argparse.ArgumentTypeError(f"bad size {text!r}: use bytes or a number with K, M or G") from None
    if size <= 0:
        raise argparse.ArgumentTypeError(f"bad size {text!r}: it must be positive")
    return size


def _one_line(message: str, limit: int = 2000) -> str:
    """An error message on one line of at most `limit` characters, saying how much was cut."""
    line = " ".join(message.split("\n"))
    return line if len(line) <= limit else f"{line[:limit]}... ({len(line) - limit} more characters)"


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def _cursor(session: Session, text: str | None) -> int | None:
    if text is None:
        return None
    bounds = session.bounds()
    try:
        return parse_time(text, bounds["from_ts"], bounds["to_ts"])
    except ValueError as error:
        raise CliError(str(error)) from None


# ----------------------------------------------------------------------------- subcommands

def cmd_info(args: argparse.Namespace) -> int:
    session = Session()
    session.load_file(args.dataset, max_bytes=args.max_size)
    try:
        bounds = session.bounds()
    except VornError as error:
        if error.kind == "data":
            raise CliError(f"{args.dataset} holds no records") from None
        raise
    stats = session.list_bounds()
    if args.json:
        print(json.dumps({**bounds, "lists": stats}, separators=(",", ":")))
        return 0
    print(f"dataset  {args.dataset}")
    print(f"records  {bounds['count']}")
    print(f"from_ts  {bounds['from_ts']}  {format_ts(bounds['from_ts'])}")
    print(f"to_ts    {bounds['to_ts']}  {format_ts(bounds['to_ts'])}")
    print(f"span     {format_duration(bounds['to_ts'] - bounds['from_ts'])}")
    print()
    print(f"{'list':<13}{'records':>9}  {'from_ts':<15}{'to_ts':<15}")
    for name, s in stats.items():
        first = "-" if s["from_ts"] is None else str(s["from_ts"])
        last = "-" if s["to_ts"] is None else str(s["to_ts"])
        print(f"{name:<13}{s['count']:>9}  {first:<15}{last:<15}")
    return 0


def cmd_frame(args: argparse.Namespace) -> int:
    session, _ = _open_session(args)
    text = session.frame_text(_cursor(session, args.at))
    if args.pretty:
        text = json.dumps(json.loads(text), indent=2, ensure_ascii=False)
    sys.stdout.write(text + "\n")
    return 0


def _chart_options(args: argparse.Namespace) -> Any:
    from .charts import ChartOptions

    studies = tuple(s for s in args.studies.split(",") if s and s != "none")
    try:
        return ChartOptions(qty_unit=args.qty_unit, price_unit=args.price_unit, heatmap_scale=args.heatmap_scale,
                            white_point=args.white_point, studies=studies)
    except ValueError as error:
        raise CliError(str(error)) from None


def cmd_render(args: argparse.Namespace) -> int:
    from .charts import frame_scale, render_png

    options = _chart_options(args)
    session, spec = _open_session(args)
    cursor = _cursor(session, args.at)
    frame = session.frame_arrays(cursor, detail=True)
    png = render_png(session, spec, cursor, size=args.size, dpi=args.dpi, options=options, frame=frame,
                     scale=frame_scale([frame], options))
    _write_bytes(args.output, png)
    print(f"wrote {args.output} ({args.size[0]}x{args.size[1]}, frame at {format_ts(frame['cursor_ts'])})")
    return 0


def _write_bytes(path: str, data: bytes) -> None:
    try:
        parent = os.path.dirname(path)
        if parent:
            os.makedirs(parent, exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror or error}") from None


def _replay_plan(session: Session, spec: dict[str, Any], start_text: str | None, end_text: str | None,
                 step_text: str | None, frames: int | None, max_frames: int) -> tuple[list[int], tuple[int, int]]:
    from .replay import replay_cursors

    bounds = session.bounds()
    first, last = bounds["from_ts"], bounds["to_ts"]
    if isinstance(spec.get("from_ts"), int):
        first = max(first, spec["from_ts"])
    if isinstance(spec.get("to_ts"), int):
        last = min(last, spec["to_ts"])
    try:
        start = first if start_text is None else parse_time(start_text, bounds["from_ts"], bounds["to_ts"])
        end = last if end_text is None else parse_time(end_text, bounds["from_ts"], bounds["to_ts"])
        if step_text is not None:
            step = parse_duration(step_text)
        else:
            count = frames or 30
            step = max(1, -(-(end - start) // max(count - 1, 1)))
        cursors = replay_cursors(start, end, step)
    except ValueError as error:
        raise CliError(str(error)) from None
    if len(cursors) > max_frames:
        raise CliError(f"the replay would render {len(cursors)} frames (more than --max-frames {max_frames}): "
                       "use a larger --step or raise --max-frames")
    window_start = spec["from_ts"] if isinstance(spec.get("from_ts"), int) else bounds["from_ts"]
    return cursors, (min(window_start, start), end)


def cmd_replay(args: argparse.Namespace) -> int:
    from .replay import write_replay

    options = _chart_options(args)
    session, spec = _open_session(args)
    cursors, time_range = _replay_plan(session, spec, args.start, args.end, args.step, args.frames, args.max_frames)
    try:
        written = write_replay(session, spec, cursors, args.output, size=args.size, dpi=args.dpi, fps=args.fps,
                               time_range=time_range, show_progress=not args.no_progress, options=options)
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
    where = written[0] if len(written) == 1 else f"{len(written)} PNG files in {args.output}"
    print(f"wrote {where} ({len(cursors)} frames, {format_ts(cursors[0])} to {format_ts(cursors[-1])})")
    return 0


def _convert_time(text: str | None, option: str) -> int | None:
    if text is None:
        return None
    try:
        return parse_time(text)
    except ValueError as error:
        raise CliError(f"{option}: {error}") from None


def cmd_convert(args: argparse.Namespace) -> int:
    try:
        from .convert import ConvertError, EmptyConversion, convert_files
    except ImportError as error:
        raise CliError(f"convert needs pyarrow and orjson ({error}): pip install 'korvel_vorn[convert]'") from None

    inputs: list[tuple[str, str | None]] = [(path, None) for path in args.inputs]
    for kind in LISTS:
        inputs += [(path, kind) for path in getattr(args, kind) or []]
    if not inputs:
        raise CliError("no input files: give recordings to convert")
    candles = None
    if args.candles_from_trades is not None:
        try:
            candles = parse_duration(args.candles_from_trades)
        except ValueError as error:
            raise CliError(f"--candles-from-trades: {error}") from None
    try:
        result = convert_files(
            inputs, symbol=args.symbol, time_unit=args.time_unit, start=_convert_time(args.start, "--from"),
            end=_convert_time(args.end, "--to"), keep_all_times=args.keep_all_times,
            keep_unsnapshotted_diffs=args.keep_unsnapshotted_diffs,
            drop_duplicate_liquidations=args.drop_duplicate_liquidations, keep_trade_types=args.keep_trade_types,
            candles_from_trades=candles)
    except EmptyConversion as error:
        for note in error.conversion.notes()[:-1]:
            sys.stderr.write(f"  {note}\n")
        raise CliError(str(error)) from None
    except ConvertError as error:
        raise CliError(str(error)) from None
    with result:
        try:
            result.write(args.output)
        except OSError as error:
            raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
        counts = ", ".join(f"{name} {count}" for name, count in result.counts.items())
        span = result.span()
        when = f" ({format_ts(span[0])} to {format_ts(span[1])})" if span else ""
        sys.stderr.write(f"converted {len(result.sources)} file(s): {counts}{when}\n")
        for note in result.notes():
            sys.stderr.write(f"  {note}\n")
    return 0


def cmd_view(args: argparse.Namespace) -> int:
    from .viewer import ViewerUnavailable, serve

    try:
        import bokeh  # noqa: F401
    except ImportError:
        raise CliError(str(ViewerUnavailable("the viewer needs Bokeh: pip install 'korvel_vorn[viewer]'"))) from None
    session, spec = _open_session(args)
    if args.port is not None and not 0 <= args.port <= 65535:
        raise CliError(f"bad port {args.port}: use 0 to 65535")

    def ready(viewer: Any) -> None:
        print(f"serving the replay of {args.dataset} on {viewer.url} (Ctrl-C stops)", flush=True)

    try:
        serve(session, spec=spec, port=args.port or 0, block=True, open_browser=args.open, on_ready=ready)
    except OSError as error:
        raise CliError(f"cannot serve on port {args.port}: {error.strerror or error}") from None
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from .charts import _matplotlib, render_png
    from .replay import replay_cursors, replay_scale, write_replay
    from .sample import DURATION_MS, START_MS, sample_dataset_json, sample_spec

    _matplotlib()  # fail early, before writing anything, when matplotlib is missing
    out = args.out
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot create {out}: {error.strerror or error}") from None
    dataset_path = os.path.join(out, "sample.dataset.json")
    spec_path = os.path.join(out, "sample.spec.json")
    spec = sample_spec()
    _write_bytes(dataset_path, sample_dataset_json(args.seed).encode("utf-8"))
    _write_bytes(spec_path, (json.dumps(spec, indent=2) + "\n").encode("utf-8"))
    session = Session(spec)
    count = session.load_file(dataset_path)
    written = [dataset_path, spec_path]
    time_range = (START_MS, START_MS + DURATION_MS)
    options = _chart_options(args)
    stills = (("frame_end.png", START_MS + DURATION_MS - 1), ("frame_selloff.png", START_MS + 6 * 60_000),
              ("frame_squeeze.png", START_MS + 8 * 60_000))
    cursors = replay_cursors(START_MS + 30_000, START_MS + DURATION_MS - 1, 30_000)
    scale = replay_scale(session, cursors + [ts for _, ts in stills], options)  # one scale for every image
    for name, ts in stills:
        path = os.path.join(out, name)
        _write_bytes(path, render_png(session, spec, ts, size=(1600, 1000), time_range=time_range, options=options,
                                      scale=scale))
        written.append(path)
    if not args.no_gif:
        written += write_replay(session, spec, cursors, os.path.join(out, "replay.gif"), size=(1000, 625),
                                fps=3, time_range=time_range, show_progress=not args.no_progress, options=options)
    print(f"sample market {spec['symbol']}: {count} records, {format_ts(START_MS)} for "
          f"{format_duration(DURATION_MS)}")
    for path in written:
        print(f"wrote {path}")
    return 0


# ----------------------------------------------------------------------------- argument parsing

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvel_vorn",
        description="Replay a recorded crypto market as chart-panel frames.",
        epilog="Times: milliseconds, ISO dates (2024-08-08T23:57:00Z), or start/end with an offset "
        "(end-30s). Durations: milliseconds or 500ms, 10s, 1m, 1h30m.",
    )
    parser.add_argument("--version", action="version", version=f"korvel_vorn {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def with_dataset(p: argparse.ArgumentParser, spec: bool = True) -> None:
        p.add_argument("dataset", help="dataset JSON file (the value of a load command's \"dataset\"; .gz allowed) "
                       "or .npz file of columns")
        p.add_argument("--max-size", type=_byte_size, default=DEFAULT_MAX_BYTES, metavar="SIZE",
                       help="refuse dataset files larger than SIZE once decompressed (bytes, or with K, M, G; "
                       "default 4G)")
        if spec:
            p.add_argument("--spec", help="spec JSON file, or the spec JSON itself; default: the four panels")
            p.add_argument("--symbol", help="symbol of the default spec (default: the file name)")
            p.add_argument("--price-bin", type=_positive_float, default=1.0,
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
        p.add_argument("--size", type=_size, default=_size(size), metavar="WxH", help=f"pixels (default {size})")
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
    p.add_argument("--fps", type=_positive_float, default=4.0, help="GIF frames per second (default 4)")
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
    p.add_argument("-o", "--output", required=True,
                   help="dataset file to write: JSON (- for stdout, .gz compresses) or .npz columns")
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
    p.set_defaults(run=cmd_convert)

    p = sub.add_parser("view", help="interactive replay in the browser (seek, play, zoom, hover)")
    with_dataset(p)
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    p.add_argument("--open", action="store_true", help="open the page in the default browser")
    p.set_defaults(run=cmd_view)

    p = sub.add_parser("demo", help="render the sample market's charts into a folder")
    p.add_argument("--out", default="korvel_vorn_demo", help="folder to write (default korvel_vorn_demo)")
    p.add_argument("--seed", type=int, default=7, help="seed of the sample market (default 7)")
    p.add_argument("--no-gif", action="store_true", help="skip the animated replay")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    with_chart_options(p)
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    from .charts import ChartsUnavailable

    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except (CliError, DatasetFileError, VornError, ColumnError, ChartsUnavailable) as error:
        sys.stderr.write(f"korvel_vorn {args.command}: error: {_one_line(str(error))}\n")
        return 1
    except BrokenPipeError:  # `... | head`
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
