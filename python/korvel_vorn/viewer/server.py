"""Serving the viewer: a Bokeh server on 127.0.0.1, or the page inline in a notebook."""

from __future__ import annotations

import socket
import threading
from functools import partial
from typing import Any

from ..session import Session
from .replay_model import ReplayModel, initial_settings


class ViewerUnavailable(RuntimeError):
    """Bokeh is not installed."""


def _bokeh() -> None:
    try:
        import bokeh  # noqa: F401
    except ImportError:
        raise ViewerUnavailable("the viewer needs Bokeh: pip install 'korvel_vorn[viewer]'") from None


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def _make_document(model: ReplayModel, doc: Any) -> None:
    from .page import ReplayPage

    model.pages.append(ReplayPage(doc, model))


def _in_notebook() -> bool:
    try:
        from IPython import get_ipython  # type: ignore[import-not-found]
    except ImportError:
        return False
    shell = get_ipython()
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"


class Viewer:
    """A running viewer server; `url` is its page, `stop()` ends it."""

    def __init__(self, server: Any, thread: threading.Thread | None) -> None:
        self.server = server
        self.thread = thread
        self.url = f"http://127.0.0.1:{server.port}/"

    def stop(self) -> None:
        loop = self.server.io_loop
        loop.add_callback(self.server.stop)
        loop.add_callback(loop.stop)
        if self.thread is not None:
            self.thread.join(timeout=10)


def serve(session: Session, *, symbol: str = "market", spec: dict[str, Any] | None = None, port: int = 0,
          block: bool = True, open_browser: bool = False, on_ready: Any = None) -> Viewer:
    """Serve the replay page of `session` on 127.0.0.1:`port` (0: a free port).

    With `block` the call runs the server until interrupted (Ctrl+C, SIGTERM, or Ctrl+Break on
    Windows: the server stops, then `stopping.Stopped` is raised); otherwise it runs on a thread of
    its own and the returned `Viewer` stops it.
    """
    _bokeh()
    from bokeh.application import Application
    from bokeh.application.handlers.function import FunctionHandler
    from bokeh.server.server import Server
    from tornado.ioloop import IOLoop

    model = ReplayModel(session, str((spec or {}).get("symbol") or symbol), initial_settings(spec))
    port = port or _free_port()
    application = Application(FunctionHandler(partial(_make_document, model)))
    ready = threading.Event()
    holder: dict[str, Any] = {}

    def run() -> None:
        import asyncio

        asyncio.set_event_loop(asyncio.new_event_loop())
        loop = IOLoop.current()
        server = Server({"/": application}, io_loop=loop, address="127.0.0.1", port=port,
                        allow_websocket_origin=[f"127.0.0.1:{port}", f"localhost:{port}"])
        server.start()
        holder["server"] = server
        ready.set()
        if open_browser:
            loop.add_callback(server.show, "/")
        loop.start()

    if block:
        from tornado.ioloop import PeriodicCallback

        from ..stopping import stop_on_signals

        loop = IOLoop.current()
        server = Server({"/": application}, io_loop=loop, address="127.0.0.1", port=port,
                        allow_websocket_origin=[f"127.0.0.1:{port}", f"localhost:{port}"])
        server.start()
        viewer = Viewer(server, None)

        def stop() -> None:
            loop.add_callback(server.stop)
            loop.add_callback(loop.stop)

        # Windows' select() does not return for Ctrl+C: a periodic wake lets the signal's handler run.
        wake = PeriodicCallback(lambda: None, 250)
        with stop_on_signals(stop) as request:
            if on_ready is not None:
                on_ready(viewer)
            if open_browser:
                loop.add_callback(server.show, "/")
            wake.start()
            try:
                loop.start()
            finally:
                wake.stop()
        request.raise_if_stopped()
        return viewer
    thread = threading.Thread(target=run, name="korvel_vorn-viewer", daemon=True)
    thread.start()
    ready.wait(30)
    viewer = Viewer(holder["server"], thread)
    if on_ready is not None:
        on_ready(viewer)
    return viewer


def view(session: Session, *, symbol: str = "market", spec: dict[str, Any] | None = None, port: int = 0,
         block: bool | None = None) -> Viewer | None:
    """Show the interactive replay of `session`: inline in a Jupyter notebook, else served on
    127.0.0.1 (blocking until interrupted unless `block` is False). Returns the running `Viewer`
    when served without blocking."""
    _bokeh()
    if _in_notebook():
        from bokeh.io import output_notebook, show

        model = ReplayModel(session, str((spec or {}).get("symbol") or symbol), initial_settings(spec))
        output_notebook(hide_banner=True)
        show(partial(_make_document, model))
        return None
    return serve(session, symbol=symbol, spec=spec, port=port, block=True if block is None else block)
