"""What the served page and the notebook widget both use: the page's files, the replay model of
a session (or of a loader that may fail), and the error of a missing optional library."""

from __future__ import annotations

import logging
import pathlib
from collections.abc import Callable
from typing import Any

from ..session import Session
from .replay_model import ReplayModel, initial_settings

log = logging.getLogger("korvel_vorn.viewer")

STATIC = pathlib.Path(__file__).resolve().parent / "static"

Loader = Callable[[], tuple[Session, dict[str, Any] | None]]


class ViewerUnavailable(RuntimeError):
    """The `websockets` library is not installed."""


def model_of(session: Session | None, loader: Loader | None, symbol: str, spec: dict[str, Any] | None) -> ReplayModel:
    """The shared model; a loader that fails leaves an empty model whose pages show why."""
    error = None
    if loader is not None:
        try:
            session, spec = loader()
        except Exception as failure:  # shown on every page, the server keeps running
            error = str(failure) or type(failure).__name__
            log.error("cannot load the market: %s", error)
            session = Session()
    assert session is not None
    name = str((spec or {}).get("symbol") or symbol)
    return ReplayModel(session, name, initial_settings(spec), load_error=error)


__all__ = ["STATIC", "Loader", "ViewerUnavailable", "model_of"]
