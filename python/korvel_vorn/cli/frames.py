"""`frame`, `render` and `replay`: one frame as JSON or a PNG, or a run of them as PNGs or a GIF."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from ..session import Session
from ..timefmt import format_ts, parse_duration, parse_time
from .common import CliError, UsageError, chart_options, cursor_at, open_session, write_bytes


def cmd_frame(args: argparse.Namespace) -> int:
    if getattr(args, "exchanges", None) is not None:
        raise UsageError("frame prints one venue's reply: with --exchanges use render, view or batch")
    session, _ = open_session(args)
    text = session.frame_text(cursor_at(session, args.at))
    if args.pretty:
        text = json.dumps(json.loads(text), indent=2, ensure_ascii=False)
    sys.stdout.write(text + "\n")
    return 0


def cmd_render(args: argparse.Namespace) -> int:
    from ..charts import frame_scale, render_png

    options = chart_options(args)
    session, spec = open_session(args)
    cursor = cursor_at(session, args.at)
    frame = session.frame_arrays(cursor, detail=True)
    png = render_png(session, spec, cursor, size=args.size, dpi=args.dpi, options=options, frame=frame,
                     scale=frame_scale([frame], options))
    write_bytes(args.output, png)
    print(f"wrote {args.output} ({args.size[0]}x{args.size[1]}, frame at {format_ts(frame['cursor_ts'])})")
    return 0


def replay_plan(session: Session, spec: dict[str, Any], start_text: str | None, end_text: str | None,
                 step_text: str | None, frames: int | None, max_frames: int) -> tuple[list[int], tuple[int, int]]:
    from ..replay import replay_cursors

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
    from ..replay import write_replay

    options = chart_options(args)
    session, spec = open_session(args)
    cursors, time_range = replay_plan(session, spec, args.start, args.end, args.step, args.frames, args.max_frames)
    try:
        written = write_replay(session, spec, cursors, args.output, size=args.size, dpi=args.dpi, fps=args.fps,
                               time_range=time_range, show_progress=not args.no_progress, options=options)
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
    where = written[0] if len(written) == 1 else f"{len(written)} PNG files in {args.output}"
    print(f"wrote {where} ({len(cursors)} frames, {format_ts(cursors[0])} to {format_ts(cursors[-1])})")
    return 0
