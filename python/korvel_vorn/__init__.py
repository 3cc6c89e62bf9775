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

from typing import TYPE_CHECKING

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
    """Show the interactive replay of `session` in the browser: inline in a Jupyter notebook, else
    served on 127.0.0.1 (see `korvel_vorn.viewer.view`; needs the ``viewer`` extra, Bokeh)."""
    from .viewer import view as _view

    return _view(session, **kwargs)  # type: ignore[arg-type]


__all__ = [
    "ColumnError",
    "Engine",
    "Session",
    "Vorn",
    "VornBadSpecError",
    "VornDataError",
    "VornError",
    "VornParseError",
    "__version__",
    "book_heatmap",
    "dataset_json",
    "fetch",
    "footprint",
    "funding_oi_divergence",
    "liquidation_map",
    "parse_reply",
    "spec_json",
    "view",
]
