"""Where the replay is shown: the notebook widget inside Jupyter (the served page in an iframe
when anywidget is missing), else the page served on 127.0.0.1."""

from __future__ import annotations

from typing import Any

from ..session import Session
from .server import serve
from .shared import ViewerUnavailable
from .widget import replay_widget


def in_notebook() -> bool:
    try:
        from IPython import get_ipython
    except ImportError:
        return False
    shell = get_ipython()
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"


def notebook_view(session: Session, *, symbol: str = "market", spec: dict[str, Any] | None = None) -> Any:
    """The widget where anywidget is installed, else the served page in an iframe."""
    try:
        return replay_widget(session, symbol=symbol, spec=spec)
    except ViewerUnavailable:
        from IPython.display import IFrame

        viewer = serve(session, symbol=symbol, spec=spec, block=False)
        return IFrame(viewer.url, width="100%", height=740)


def view(session: Session, *, symbol: str = "market", spec: dict[str, Any] | None = None, port: int = 0,
         block: bool | None = None) -> Any:
    """Show the interactive replay of `session`: inline in a Jupyter notebook (a widget talking to
    the kernel, no server), else served on 127.0.0.1 (blocking until interrupted unless `block` is
    False; then the running `Viewer` is returned)."""
    if in_notebook() and block is None:
        return notebook_view(session, symbol=symbol, spec=spec)
    return serve(session, symbol=symbol, spec=spec, port=port, block=True if block is None else block)


__all__ = ["in_notebook", "notebook_view", "view"]
