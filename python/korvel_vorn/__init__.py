"""korvel_vorn: replay a recorded crypto market as chart-panel frames.

`Vorn` is the native engine object (`korvel_vorn._korvel_vorn`), driven by JSON command texts.
The pure-Python side adds thin helpers around that protocol: `commands` (command and spec texts
from Python values), `dataset` (dataset JSON from tuples, dicts or NumPy arrays), `replies`
(typed replies, error replies as exceptions), `Session` (all of these together), `convert`
(exchange recordings to dataset JSON), `archives` and `catalog` (public archives
fetched into a catalog of Parquet days), `charts` and `replay` (matplotlib renders, optional
extra ``charts``), `viewer` (the interactive replay, extra ``viewer``) and the command-line tool
``python -m korvel_vorn``. `Engine` (`korvel_vorn._engine`) is the array path: the same engine
taking files and NumPy columns and giving frames as arrays; `Session` drives it.
"""

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from ._native import Engine, Vorn, __version__
from .columns import ColumnError
from .commands import book_heatmap, footprint, funding_oi_divergence, liquidation_map, spec_json
from .dataset import dataset_json
from .replies import VornBadSpecError, VornDataError, VornError, VornParseError, parse_reply
from .session import Session

if TYPE_CHECKING:  # pyarrow is imported only when a fetch runs
    from .archives import FetchReport


def fetch(source: str, symbols: object, start: str, end: str, catalog: object, **kwargs: object) -> "FetchReport":
    """Fetch days of a public archive into a catalog and return the report (see
    `korvel_vorn.archives.fetch`; needs pyarrow, the ``convert`` extra)."""
    from .archives import fetch as _fetch

    return _fetch(source, symbols, start, end, catalog, **kwargs)  # type: ignore[arg-type]


def view(session: Session, **kwargs: object) -> object:
    """Show the interactive replay of `session` in the browser: inline in a Jupyter notebook (a
    widget, extra ``notebook``), else served on 127.0.0.1 (see `korvel_vorn.viewer.view`; extra
    ``viewer``)."""
    from .viewer import view as _view

    return _view(session, **kwargs)  # type: ignore[arg-type]


def record(source: str, symbols: list[str], out: str, **kwargs: Any) -> int:
    """Record the live feeds of `symbols` into `out` until SIGINT/SIGTERM; returns the exit status
    (see `korvel_vorn.recorder.record`; needs the ``record`` extra, websockets)."""
    from .recorder import record as _record

    return _record(source, symbols, out, **kwargs)


def live(source: str, symbol: str, spec: Any, every: float = 1.0, out: str | None = None,
         **kwargs: Any) -> Iterator[dict[str, Any]]:
    """Frames of a market while it is recorded (see `korvel_vorn.live_replay.live`; needs the
    ``record`` and ``convert`` extras)."""
    from .live_replay import live as _live

    return _live(source, symbol, spec, every, out, **kwargs)


__all__ = ["ColumnError", "Engine", "Session", "Vorn", "VornBadSpecError", "VornDataError", "VornError",
           "VornParseError", "__version__", "book_heatmap", "dataset_json", "fetch", "footprint",
           "funding_oi_divergence", "liquidation_map", "live", "parse_reply", "record", "spec_json", "view"]
