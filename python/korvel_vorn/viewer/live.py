"""The viewer following a market while it is recorded: `korvel_vorn.live` appends what arrives to
the session the pages read, under the lock their frames take, and the pages follow the newest
moment (the slider still seeks back into what has been recorded)."""

from __future__ import annotations

import logging
import os
import threading
from typing import Any

from ..session import Session
from .replay_model import ReplayModel, ViewSettings, initial_settings

log = logging.getLogger("korvel_vorn.viewer")
LIVE_EVERY_S = 0.5  # how often what arrived is appended (and the pages' newest moment moves)


class LockedSession(Session):
    """A session whose appends and own frames wait for the pages' frames (one lock for both)."""

    def __init__(self, spec: Any, lock: Any) -> None:
        super().__init__(spec)
        self._lock = lock

    def append_columns(self, *args: Any, **kwargs: Any) -> int:
        with self._lock:
            return int(super().append_columns(*args, **kwargs))

    def frame_arrays(self, ts: Any = None, detail: bool = False) -> dict[str, Any]:
        with self._lock:
            return super().frame_arrays(ts, detail=detail)


class LiveModel(ReplayModel):
    """A model over a recording that grows: its bounds are read again for every request (its colour
    scale follows the frames shown, as in any replay), and `error` holds why recording stopped."""

    live = True

    def __init__(self, source: str, symbol: str, spec: dict[str, Any], out: str | os.PathLike[str] | None,
                 settings: ViewSettings | None = None, **live_options: Any) -> None:
        lock = threading.RLock()
        session = LockedSession(spec, lock)
        super().__init__(session, symbol, settings or initial_settings(spec))
        self._lock = lock
        self.stopped = threading.Event()
        self._thread = threading.Thread(target=self._record, args=(source, symbol, spec, out, live_options),
                                        name="korvel_vorn-view-live", daemon=True)
        self._thread.start()

    def _record(self, source: str, symbol: str, spec: dict[str, Any], out: Any, options: dict[str, Any]) -> None:
        from ..live_replay import live

        frames: Any = live(source, symbol, spec, every=LIVE_EVERY_S, out=out, session=self.session, **options)
        try:
            for _frame in frames:
                self.bounds_now()
                if self.stopped.is_set():
                    break
        except Exception as error:  # shown on the pages; what was recorded stays viewable
            self.load_error_live = f"live recording stopped: {error}"
            log.error("%s", self.load_error_live)
        finally:
            frames.close()

    def stop(self) -> None:
        self.stopped.set()
        self._thread.join(5.0)
