"""Stopping a long-running command (`view`, `record`) from the keyboard or the system, alike on
every platform.

Ctrl+C sends SIGINT everywhere. POSIX systems ask a process to end with SIGTERM; Windows has no
SIGTERM to send, but Ctrl+Break sends SIGBREAK, whose default action ends the process at once.
Inside `stop_on_signals(stop)` the first of these signals calls `stop()` instead, so the command
finishes what it holds (closes its files, stops its server) and returns; `StopRequest.raise_if_stopped`
then raises `Stopped`, a KeyboardInterrupt whose exit status is 128 + the signal's number. A second
signal interrupts at once.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import FrameType

# The signals that stop a command, where the system has them.
STOP_SIGNAL_NAMES = ("SIGINT", "SIGTERM", "SIGBREAK")


def stop_signals() -> list[signal.Signals]:
    """The stop signals this system has."""
    return [getattr(signal, name) for name in STOP_SIGNAL_NAMES if hasattr(signal, name)]


class Stopped(KeyboardInterrupt):
    """A command stopped by a signal; `exit_status` is what the process exits with."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.exit_status = 128 + signum


class StopRequest:
    """Which stop signal arrived, if one did."""

    def __init__(self) -> None:
        self.signum: int | None = None
        self.event = threading.Event()

    def raise_if_stopped(self) -> None:
        if self.signum is not None:
            raise Stopped(self.signum)


@contextmanager
def stop_on_signals(stop: Callable[[], None]) -> Iterator[StopRequest]:
    """Within the block, the first stop signal calls `stop` and a second raises `Stopped`; the
    previous handlers come back afterwards. Handlers can be set only on the main thread: elsewhere
    the signals keep their handlers and the request stays empty."""
    request = StopRequest()
    if threading.current_thread() is not threading.main_thread():
        yield request
        return

    def handler(signum: int, frame: FrameType | None) -> None:
        if request.signum is not None:
            raise Stopped(signum)
        request.signum = signum
        request.event.set()
        stop()

    previous: dict[signal.Signals, signal._HANDLER] = {}
    for stop_signal in stop_signals():
        try:
            previous[stop_signal] = signal.signal(stop_signal, handler)
        except (OSError, ValueError):  # a signal this process may not handle
            continue
    try:
        yield request
    finally:
        for stop_signal, before in previous.items():
            signal.signal(stop_signal, before)
