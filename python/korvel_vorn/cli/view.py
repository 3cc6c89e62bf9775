"""`view` and `demo`: the interactive replay in the browser, and the sample market's charts."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from ..session import Session
from ..timefmt import format_duration, format_ts
from .common import CliError, chart_options, dataset_label, open_session, read_spec, write_bytes


def cmd_view(args: argparse.Namespace) -> int:
    from ..viewer.server import LOOPBACK, _websockets, serve
    from ..viewer.shared import ViewerUnavailable

    try:
        _websockets()
    except ViewerUnavailable as error:
        raise CliError(str(error)) from None
    if args.port is not None and not 0 <= args.port <= 65535:
        raise CliError(f"bad port {args.port}: use 0 to 65535")
    host = args.host or LOOPBACK
    if args.live_symbol is not None and not args.live:
        print(f"korvel_vorn view: error: a second argument ({args.live_symbol}) is only taken with --live",
              file=sys.stderr)
        return 2
    if args.live and args.live_symbol is None:
        print("korvel_vorn view: error: --live takes SOURCE SYMBOL", file=sys.stderr)
        return 2
    what = f"the live market {args.live_symbol} of {args.dataset}" if args.live else f"the replay of {dataset_label(args)}"

    def ready(viewer: Any) -> None:
        print(f"serving {what} on {viewer.url} (Ctrl-C stops)", flush=True)

    if args.live:
        return serve_live(args, host, ready)

    # Loaded before serving: a dataset that cannot be read is one line here and the command ends
    # (`serve(loader=...)` shows such a failure on the page instead).
    session, spec = open_session(args)

    try:
        serve(session, spec=spec, port=args.port or 0, host=host, block=True, open_browser=args.open, on_ready=ready)
    except OSError as error:
        raise CliError(f"cannot serve on {host} port {args.port}: {error.strerror or error}") from None
    return 0


def serve_live(args: argparse.Namespace, host: str, ready: Any) -> int:
    from ..recorder import SOURCES
    from ..viewer.live import LiveModel
    from ..viewer.server import serve

    if args.dataset not in SOURCES:
        raise CliError(f"unknown live source {args.dataset!r}: use one of {', '.join(SOURCES)}")
    symbol = args.live_symbol.upper()
    _, spec = read_spec(argparse.Namespace(**{**vars(args), "symbol": args.symbol or symbol}))
    model = LiveModel(args.dataset, symbol, spec, args.out)
    try:
        serve(port=args.port or 0, host=host, block=True, open_browser=args.open, on_ready=ready, model=model)
    except OSError as error:
        raise CliError(f"cannot serve on {host} port {args.port}: {error.strerror or error}") from None
    finally:
        model.stop()
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from ..charts import _matplotlib, render_png
    from ..replay import replay_cursors, replay_scale, write_replay
    from ..sample import DURATION_MS, START_MS, sample_dataset_json, sample_spec

    _matplotlib()  # fail early, before writing anything, when matplotlib is missing
    out = args.out
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot create {out}: {error.strerror or error}") from None
    dataset_path = os.path.join(out, "sample.dataset.json")
    spec_path = os.path.join(out, "sample.spec.json")
    spec = sample_spec()
    write_bytes(dataset_path, sample_dataset_json(args.seed).encode("utf-8"))
    write_bytes(spec_path, (json.dumps(spec, indent=2) + "\n").encode("utf-8"))
    session = Session(spec)
    count = session.load_file(dataset_path)
    written = [dataset_path, spec_path]
    time_range = (START_MS, START_MS + DURATION_MS)
    options = chart_options(args)
    stills = (("frame_end.png", START_MS + DURATION_MS - 1), ("frame_selloff.png", START_MS + 6 * 60_000),
              ("frame_squeeze.png", START_MS + 8 * 60_000))
    cursors = replay_cursors(START_MS + 30_000, START_MS + DURATION_MS - 1, 30_000)
    scale = replay_scale(session, cursors + [ts for _, ts in stills], options)  # one scale for every image
    for name, ts in stills:
        path = os.path.join(out, name)
        write_bytes(path, render_png(session, spec, ts, size=(1600, 1000), time_range=time_range, options=options,
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
