"""One writer at a time per catalog or batch output: a lock file (an object on a store) at the root.

The lock names its run (host, process, what it does, when it last said it was alive). A second run
finds it and is refused with that said. A lock is left behind only by a run that was killed: it is
taken over when its process is gone from this host, or when its holder stopped renewing it (it is
renewed in the background while the run lasts), so a killed run resumes as on a local disk.

On a disk the lock is created exclusively. pyarrow offers no conditional put for an object store,
so there the lock is written when none is seen, then read back after a pause: of two runs that
wrote at once, only the one whose lock is still there goes on.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import json
import os
import socket
import sys
import threading
import time
import uuid
from collections.abc import Iterator
from typing import Any

from .storage import Store, open_store
from .storage_error import StorageError

LOCK_NAME = "_writing.lock"


class LockedError(StorageError):
    """Another run is writing the same root."""


def _seconds(name: str, default: float) -> float:
    try:
        return max(0.0, float(os.environ.get(name, default)))
    except ValueError:
        return default


def _now() -> float:
    return time.time()


def _read(store: Store) -> dict[str, Any] | None:
    try:
        value = json.loads(store.read_bytes(LOCK_NAME))
    except StorageError:
        raise
    except (OSError, ValueError):
        return None
    return value if isinstance(value, dict) else None


def _alive(pid: int) -> bool:
    if sys.platform == "win32":
        return True  # signal 0 is Ctrl+C there, not a probe: such a lock goes stale by its age only
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OSError):
        return True
    return True


def _stale(holder: dict[str, Any] | None, ttl: float) -> bool:
    if holder is None:
        return True  # unreadable: a lock cut short
    pid = holder.get("pid")
    if holder.get("host") == socket.gethostname() and isinstance(pid, int) and not _alive(pid):
        return True
    renewed = holder.get("renewed")
    return not isinstance(renewed, (int, float)) or _now() - renewed > ttl


def _describe(holder: dict[str, Any] | None) -> str:
    if holder is None:
        return "another run"
    since = holder.get("since")
    when = _dt.datetime.fromtimestamp(since, _dt.UTC).strftime("%Y-%m-%d %H:%M:%S UTC") \
        if isinstance(since, (int, float)) else "?"
    return f"{holder.get('what', 'another run')} on {holder.get('host', '?')} (process {holder.get('pid', '?')}, since {when})"


class _Renewal(threading.Thread):
    """Rewrites the lock now and then while its run lasts, so others know it is alive."""

    def __init__(self, store: Store, body: dict[str, Any], every: float) -> None:
        super().__init__(name="korvel-vorn-lock", daemon=True)
        self.store, self.body, self.every = store, body, every
        self.done = threading.Event()

    def run(self) -> None:
        while not self.done.wait(self.every):
            try:
                holder = _read(self.store)
                if holder is None or holder.get("owner") != self.body["owner"]:
                    return
                self.body["renewed"] = _now()
                self.store.write_bytes(LOCK_NAME, json.dumps(self.body).encode())
            except OSError:
                pass  # the next turn tries again; the run's own writes report a lost store


@contextlib.contextmanager
def holding(root: str | os.PathLike[str], what: str) -> Iterator[None]:
    """Holds the write lock of a root for the block; raises LockedError when another run holds it."""
    store = open_store(root)
    ttl = _seconds("KORVEL_VORN_LOCK_TTL", 120.0)
    token = uuid.uuid4().hex
    body = {"owner": token, "what": what, "host": socket.gethostname(), "pid": os.getpid(), "since": _now(),
            "renewed": _now()}
    data = json.dumps(body).encode()
    store.make_root()
    if not store.create_new(LOCK_NAME, data):
        holder = _read(store)
        if not _stale(holder, ttl):
            raise LockedError(f"{store.url} is being written by {_describe(holder)}: this run is refused; "
                              f"run it again when that one ends (or remove {store.where(LOCK_NAME)} if no run "
                              "is writing)")
        store.delete(LOCK_NAME)
        if not store.create_new(LOCK_NAME, data):
            raise LockedError(f"{store.url} is being written by {_describe(_read(store))}: this run is refused")
    if store.local_path() is None:
        time.sleep(_seconds("KORVEL_VORN_LOCK_SETTLE", 1.0))
        holder = _read(store)
        if holder is None or holder.get("owner") != token:
            raise LockedError(f"{store.url} is being written by {_describe(holder)}, which took it at the same "
                              "moment: this run is refused")
    renewal = _Renewal(store, body, ttl / 4)
    renewal.start()
    try:
        yield
    finally:
        renewal.done.set()
        renewal.join()
        with contextlib.suppress(OSError):
            holder = _read(store)
            if holder is not None and holder.get("owner") == token:
                store.delete(LOCK_NAME)
