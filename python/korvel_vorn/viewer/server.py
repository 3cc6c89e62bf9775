"""Serving the viewer: the page's files and one WebSocket per tab, on one port (the `websockets`
library's asyncio server; plain HTTP requests get the page's files through `process_request`).

Each tab sends frame requests; the newest waiting request of a tab is computed on the tab's own
threads (`pipeline.FramePipeline`: the engine releases the interpreter lock), older waiting ones are
dropped. The event loop never waits for the engine, so a stop is immediate. A tab's failure never
touches another's.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import mimetypes
import threading
from collections.abc import Callable
from typing import Any

from ..session import Session
from .pipeline import FramePipeline
from .replay_model import ReplayModel
from .shared import STATIC, Loader, ViewerUnavailable, model_of
from .tab import BadMessage, Tab

log = logging.getLogger("korvel_vorn.viewer")

LOOPBACK = "127.0.0.1"
SOCKET_PATH = "/ws"
# Anyone who reaches the port can read the market: said whenever it is served beyond loopback.
EXPOSED_WARNING = ("warning: serving on {host}: anyone who can reach port {port} on this host can read the loaded "
                   "market data; the viewer has no login")


def _websockets() -> Any:
    try:
        import websockets.asyncio.server as server
    except ImportError:
        raise ViewerUnavailable("the viewer needs the websockets library: pip install 'korvel_vorn[viewer]'") from None
    return server


def static_file(path: str) -> tuple[bytes, str] | None:
    """The bytes and type of one of the page's files, or None (no file outside the folder)."""
    name = path.split("?", 1)[0].split("#", 1)[0].lstrip("/") or "index.html"
    target = (STATIC / name).resolve()
    if STATIC not in target.parents or not target.is_file():
        return None
    kind = "text/javascript" if target.suffix == ".js" else (mimetypes.guess_type(target.name)[0] or "application/octet-stream")
    return target.read_bytes(), f"{kind}; charset=utf-8" if kind.startswith("text/") else kind


async def serve_tab(connection: Any, model: ReplayModel) -> None:
    """One tab: its requests read as they come and handed to its frame pipeline (which keeps only
    the newest waiting one); finished frames sent as they come, the newest when several wait."""
    tab = Tab(model)
    await connection.send(json.dumps(tab.hello()))
    loop = asyncio.get_running_loop()
    finished: asyncio.Queue[bytearray] = asyncio.Queue()

    def deliver(message: bytearray) -> None:
        with contextlib.suppress(RuntimeError):  # the loop has ended: nobody to send to
            loop.call_soon_threadsafe(finished.put_nowait, message)

    async def send() -> None:
        while True:
            message = await finished.get()
            while not finished.empty():  # overtaken while the last one was sent
                message = finished.get_nowait()
            await connection.send(message)

    pipeline = FramePipeline(tab, deliver)
    sender = asyncio.create_task(send())
    try:
        async for message in connection:
            try:
                request = tab.read(message)
            except BadMessage as error:
                await connection.send(tab.error_frame(error.request_id, error))
                continue
            if request is not None:
                pipeline.submit(request)
            if sender.done():
                break
    except Exception as error:  # a dropped or broken connection ends this tab only
        log.info("a page's connection ended: %s", error)
    finally:
        pipeline.close()  # a frame in flight finishes on its own thread, unseen
        sender.cancel()
        with contextlib.suppress(BaseException):  # the tab is gone either way
            await sender


class Viewer:
    """A running viewer server; `url` is its page, `stop()` ends it."""

    def __init__(self, host: str, port: int, model: ReplayModel) -> None:
        self.host = host
        self.port = port
        self.model = model
        self.url = f"http://{'127.0.0.1' if host in ('', '0.0.0.0', '::') else host}:{port}/"
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop: asyncio.Event | None = None
        self.thread: threading.Thread | None = None

    def stop(self) -> None:
        if self._loop is not None and self._stop is not None:
            self._loop.call_soon_threadsafe(self._stop.set)
        if self.thread is not None:
            self.thread.join(timeout=10)


async def _run(viewer: Viewer, ready: threading.Event | None, on_ready: Callable[[Viewer], None] | None) -> None:
    server_module = _websockets()
    from websockets.datastructures import Headers
    from websockets.http11 import Response

    def process_request(_connection: Any, request: Any) -> Any:
        if request.path.split("?", 1)[0] == SOCKET_PATH:
            return None  # the WebSocket handshake goes on
        found = static_file(request.path)
        if found is None:
            return Response(404, "Not Found", Headers([("Content-Type", "text/plain")]), b"not found\n")
        body, kind = found
        return Response(200, "OK", Headers([("Content-Type", kind), ("Content-Length", str(len(body))),
                                            ("Cache-Control", "no-cache")]), body)

    async def handler(connection: Any) -> None:
        await serve_tab(connection, viewer.model)

    viewer._loop = asyncio.get_running_loop()
    viewer._stop = asyncio.Event()
    # Frames are already dense binary: compressing them would cost more than sending them.
    async with server_module.serve(handler, viewer.host, viewer.port, process_request=process_request,
                                   compression=None, max_size=1 << 20, ping_interval=None) as server:
        viewer.port = next(iter(server.sockets)).getsockname()[1]
        viewer.url = viewer.url.rsplit(":", 1)[0] + f":{viewer.port}/"
        if ready is not None:
            ready.set()
        if on_ready is not None:
            on_ready(viewer)
        # Woken four times a second: Windows' select() does not return for Ctrl+C, and the signal's
        # handler runs only between the loop's steps.
        while not viewer._stop.is_set():
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(viewer._stop.wait(), 0.25)


def serve(session: Session | None = None, *, symbol: str = "market", spec: dict[str, Any] | None = None,
          port: int = 0, host: str = LOOPBACK, block: bool = True, open_browser: bool = False,
          on_ready: Callable[[Viewer], None] | None = None, loader: Loader | None = None,
          model: ReplayModel | None = None) -> Viewer:
    """Serve the replay page of `session` (or of what `loader` loads: its failure is shown on the
    page; or of a `model` such as a `live.LiveModel`) on `host`:`port` (127.0.0.1, 0: a free port).

    With `block` the call serves until interrupted; otherwise on a thread of its own, and the
    returned `Viewer` stops it.
    """
    _websockets()
    if host != LOOPBACK:
        import sys

        print(EXPOSED_WARNING.format(host=host, port=port or "(a free one)"), file=sys.stderr, flush=True)

    def opened(viewer: Viewer) -> None:
        if open_browser:
            import webbrowser

            webbrowser.open(viewer.url)
        if on_ready is not None:
            on_ready(viewer)

    if model is None:
        model = model_of(session, loader, symbol, spec)
    if block:
        from ..stopping import stop_on_signals

        # Ctrl+C, SIGTERM (Ctrl+Break on Windows) stop the server; then `stopping.Stopped` is raised,
        # whose exit status names the signal.
        viewer = Viewer(host, port, model)
        with stop_on_signals(viewer.stop) as request, contextlib.suppress(KeyboardInterrupt):
            asyncio.run(_run(viewer, None, opened))
        request.raise_if_stopped()
        return viewer
    viewer = Viewer(host, port, model)
    ready = threading.Event()
    failure: list[BaseException] = []

    def run() -> None:
        try:
            asyncio.run(_run(viewer, ready, opened))
        except BaseException as error:
            failure.append(error)
            ready.set()

    viewer.thread = threading.Thread(target=run, name="korvel_vorn-viewer", daemon=True)
    viewer.thread.start()
    ready.wait(30)
    if failure:
        raise failure[0]
    return viewer
