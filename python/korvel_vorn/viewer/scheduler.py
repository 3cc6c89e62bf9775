"""Frames computed off the page's thread, newest request first, stale ones dropped.

The page asks for a frame at every seek and playback tick. One worker thread computes them (the
engine releases the interpreter lock, so the page's own thread stays responsive); while it works,
newer requests replace the waiting one instead of queueing behind it, and a result whose request
was overtaken while it was computed is dropped rather than drawn.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any, Generic, TypeVar

Request = TypeVar("Request")


class FrameScheduler(Generic[Request]):
    """`compute(request)` runs on the worker thread; `deliver(generation, result_or_error)` is
    called there too, only for the newest request, with an exception instance when `compute`
    raised one."""

    def __init__(self, compute: Callable[[Request], Any], deliver: Callable[[int, Any], None]) -> None:
        self._compute = compute
        self._deliver = deliver
        self._lock = threading.Condition()
        self._waiting: tuple[int, Request] | None = None
        self._generation = 0
        self._busy = False
        self._closed = False
        self.dropped = 0
        self._thread = threading.Thread(target=self._work, name="korvel_vorn-frames", daemon=True)
        self._thread.start()

    @property
    def busy(self) -> bool:
        """Whether a frame is being computed or waits to be."""
        with self._lock:
            return self._busy or self._waiting is not None

    def request(self, request: Request) -> int:
        """Ask for a frame; returns its generation (later requests have higher ones)."""
        with self._lock:
            self._generation += 1
            if self._waiting is not None:
                self.dropped += 1
            self._waiting = (self._generation, request)
            self._lock.notify()
            return self._generation

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._lock.notify()

    def _work(self) -> None:
        while True:
            with self._lock:
                while self._waiting is None and not self._closed:
                    self._lock.wait()
                if self._closed:
                    return
                assert self._waiting is not None
                generation, request = self._waiting
                self._waiting = None
                self._busy = True
            try:
                result: Any = self._compute(request)
            except Exception as error:  # shown on the page, never a dead worker
                result = error
            with self._lock:
                self._busy = False
                stale = generation != self._generation
                if stale:
                    self.dropped += 1
            if not stale:
                self._deliver(generation, result)
