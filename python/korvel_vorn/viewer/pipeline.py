"""A served tab's frames off the event loop: one thread asks the engine for the newest request while
another packs the frame before it, so engine work (which releases the interpreter lock) and packing
overlap during playback.

Both threads are daemons owned by the tab, not an executor's: stopping the server never waits for
a frame in flight (a long engine call simply finishes unseen). A request overtaken before the
engine takes it is never computed, and a computed frame overtaken before it is packed is dropped.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

from .tab import FrameRequest, Tab


class FramePipeline:
    """`submit(request)` hands a request over; `deliver(message)` is called (on the packing
    thread) with each finished frame; `close()` ends both threads without waiting for them."""

    def __init__(self, tab: Tab, deliver: Callable[[bytearray], None], name: str = "korvel_vorn-tab") -> None:
        self.tab = tab
        self._deliver = deliver
        self._changed = threading.Condition()
        self._request: FrameRequest | None = None  # the newest request the engine has not taken
        self._computed: tuple[FrameRequest, Any] | None = None  # the newest frame not yet packed
        self._closed = False
        self._threads = [threading.Thread(target=self._compute_loop, name=name + "-engine", daemon=True),
                         threading.Thread(target=self._pack_loop, name=name + "-pack", daemon=True)]
        for thread in self._threads:
            thread.start()

    def submit(self, request: FrameRequest) -> None:
        with self._changed:
            self._request = request
            self._changed.notify_all()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._request = self._computed = None
            self._changed.notify_all()

    @property
    def closed(self) -> bool:
        return self._closed

    def _compute_loop(self) -> None:
        while True:
            with self._changed:
                while self._request is None and not self._closed:
                    self._changed.wait()
                if self._closed or self._request is None:
                    return
                request, self._request = self._request, None
            outcome = self.tab.compute(request)
            with self._changed:
                if self._closed:
                    return
                self._computed = (request, outcome)
                self._changed.notify_all()

    def _pack_loop(self) -> None:
        while True:
            with self._changed:
                while self._computed is None and not self._closed:
                    self._changed.wait()
                if self._closed or self._computed is None:
                    return
                (request, outcome), self._computed = self._computed, None
            message = self.tab.pack(request, outcome)
            if self._closed:
                return
            self._deliver(message)


__all__ = ["FramePipeline"]
