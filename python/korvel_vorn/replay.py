"""A replay: frames from a start to an end with a step, rendered as PNG files or one animated GIF."""

from __future__ import annotations

import io
import os
import sys
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, TypeVar

from .charts import ChartOptions, HeatmapScale, ScaleBuilder, render_png
from .session import Session

T = TypeVar("T")


def replay_cursors(start: int, end: int, step: int) -> list[int]:
    """Cursors start, start + step, ... up to end; end itself is always the last cursor."""
    if step < 1:
        raise ValueError("the replay step must be at least 1 ms")
    if end < start:
        raise ValueError("the replay end lies before its start")
    cursors = list(range(start, end + 1, step))
    if cursors[-1] != end:
        cursors.append(end)
    return cursors


def progress(items: Iterable[T], total: int, description: str, enabled: bool = True) -> Iterator[T]:
    """`items` with a progress bar on stderr: tqdm when it is installed, else a plain text bar."""
    if not enabled:
        yield from items
        return
    try:
        from tqdm import tqdm
    except ImportError:
        tqdm = None
    if tqdm is not None:
        yield from tqdm(items, total=total, desc=description, unit="frame", file=sys.stderr)
        return
    for done, item in enumerate(items, 1):
        yield item
        filled = done * 30 // max(total, 1)
        sys.stderr.write(f"\r{description} [{'#' * filled}{'.' * (30 - filled)}] {done}/{total}")
        sys.stderr.flush()
    sys.stderr.write("\n")


def replay_scale(session: Session, cursors: list[int], options: ChartOptions) -> HeatmapScale:
    """The heatmap colour scale of a whole replay, from the cells of all its frames, so that one
    colour means one size in every frame."""
    builder = ScaleBuilder(options)
    for cursor in cursors:
        builder.add(session.frame_arrays(cursor))
    return builder.scale()


def _frames(session: Session, spec: Mapping[str, Any], cursors: list[int], size: tuple[int, int], dpi: int,
            time_range: tuple[int, int] | None, options: ChartOptions, scale: HeatmapScale) -> Iterator[bytes]:
    for cursor in cursors:
        yield render_png(session, spec, cursor, size=size, dpi=dpi, time_range=time_range, options=options,
                         scale=scale)


def write_replay(session: Session, spec: Mapping[str, Any], cursors: list[int], out: str, *,
                 size: tuple[int, int] = (1200, 750), dpi: int = 100, fps: float = 4.0,
                 time_range: tuple[int, int] | None = None, show_progress: bool = True,
                 options: ChartOptions | None = None) -> list[str]:
    """Render one frame per cursor into `out`: an animated GIF when `out` ends in .gif, else a
    directory of numbered PNG files. One heatmap colour scale serves every frame. Returns the
    paths written."""
    options = options or ChartOptions()
    scale = replay_scale(session, cursors, options)
    frames = progress(_frames(session, spec, cursors, size, dpi, time_range, options, scale), len(cursors), "replay",
                      show_progress)
    if out.lower().endswith(".gif"):
        if fps <= 0:
            raise ValueError("fps must be positive")
        from PIL import Image

        images = [Image.open(io.BytesIO(png)).convert("RGB").quantize(colors=255) for png in frames]
        parent = os.path.dirname(out)
        if parent:
            os.makedirs(parent, exist_ok=True)
        images[0].save(out, save_all=True, append_images=images[1:], duration=max(int(1000 / fps), 20),
                       loop=0)
        return [out]
    os.makedirs(out, exist_ok=True)
    width = max(5, len(str(len(cursors) - 1)))
    written = []
    for index, png in enumerate(frames):
        path = os.path.join(out, f"frame_{index:0{width}d}.png")
        with open(path, "wb") as f:
            f.write(png)
        written.append(path)
    return written
