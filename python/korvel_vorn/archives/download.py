"""Downloads a careful user can trust.

A file goes to ``NAME.part`` and gets its final name only once verified (its checksum, and that it
is the zip or gzip it should be). An interrupted download resumes with an HTTP ``Range`` request,
and starts over where the server ignores it. Timeouts, connection resets, 5xx and 429 answers are
retried with exponential backoff and jitter (``Retry-After`` honoured); a 404 is not: the file is
missing. A file that fails verification is downloaded once more, then discarded.
"""

from __future__ import annotations

import http.client
import os
import random
import socket
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from email.utils import parsedate_to_datetime
from pathlib import Path

CHUNK = 1 << 20
USER_AGENT = "korvel_vorn-fetch"


@dataclass(frozen=True)
class RetryPolicy:
    """How often and how long to wait before trying a request again."""

    attempts: int = 6
    base_delay: float = 0.5  # seconds before the second attempt, doubled each time
    max_delay: float = 60.0  # no wait is longer, not even one a server asks for
    timeout: float = 60.0  # seconds without an answer or data before a request is given up

    def delay(self, attempt: int, retry_after: float | None = None) -> float:
        if retry_after is not None:
            return max(0.0, min(float(retry_after), self.max_delay))
        ceiling = min(self.max_delay, self.base_delay * 2.0 ** attempt)
        return ceiling * (0.5 + 0.5 * random.random())  # jitter: clients retrying together spread out


class FileMissing(Exception):
    """The server does not have the file (404)."""


class DownloadFailed(Exception):
    """A file that could not be downloaded or verified; the message is the reason."""


class DiskError(Exception):
    """The download could not be written (the disk is full, the folder is not writable...)."""


@dataclass
class Traffic:
    """What went over the wire: requests by URL, and bytes received (thread-safe)."""

    requests: int = 0
    received: int = 0
    on_bytes: Callable[[int], None] | None = None
    lock: threading.Lock = field(default_factory=threading.Lock)

    def request(self) -> None:
        with self.lock:
            self.requests += 1

    def got(self, count: int) -> None:
        with self.lock:
            self.received += count
        if self.on_bytes is not None:
            self.on_bytes(count)


class _Retry(Exception):
    def __init__(self, reason: str, retry_after: float | None = None) -> None:
        super().__init__(reason)
        self.retry_after = retry_after


def _retry_after(value: str | None) -> float | None:
    if not value:
        return None
    try:
        return float(value)
    except ValueError:
        pass
    try:
        return parsedate_to_datetime(value).timestamp() - time.time()
    except (TypeError, ValueError):
        return None


_TRANSIENT = (TimeoutError, socket.timeout, ConnectionError, http.client.HTTPException, urllib.error.URLError)


class Downloader:
    """HTTP GETs with retries, resumable file downloads and verification."""

    def __init__(self, policy: RetryPolicy | None = None, traffic: Traffic | None = None,
                 headers: Mapping[str, str] | None = None) -> None:
        self.policy = policy or RetryPolicy()
        self.traffic = traffic or Traffic()
        self.headers = {"User-Agent": USER_AGENT, **(headers or {})}

    def _open(self, url: str, headers: Mapping[str, str]) -> http.client.HTTPResponse:
        self.traffic.request()
        request = urllib.request.Request(url, headers={**self.headers, **headers})
        try:
            return urllib.request.urlopen(request, timeout=self.policy.timeout)  # type: ignore[no-any-return]
        except urllib.error.HTTPError as error:
            error.close()
            if error.code == 404:
                raise FileMissing("not found (404)") from None
            if error.code == 416:
                raise _Retry("range not satisfiable") from None
            if error.code == 429 or error.code >= 500:
                raise _Retry(f"HTTP {error.code}", _retry_after(error.headers.get("Retry-After"))) from None
            if error.code in (401, 403):
                raise DownloadFailed(f"access refused (HTTP {error.code})") from None
            raise DownloadFailed(f"HTTP {error.code}") from None
        except _TRANSIENT as error:
            raise _Retry(f"connection failed ({getattr(error, 'reason', error)})") from None

    def _retrying(self, attempt_once: Callable[[], bytes | None]) -> bytes | None:
        last = "no attempt"
        for attempt in range(self.policy.attempts):
            try:
                return attempt_once()
            except _Retry as retry:
                last = str(retry)
                if attempt + 1 < self.policy.attempts:
                    time.sleep(self.policy.delay(attempt, retry.retry_after))
            except _TRANSIENT as error:
                last = f"connection failed ({error})"
                if attempt + 1 < self.policy.attempts:
                    time.sleep(self.policy.delay(attempt))
        raise DownloadFailed(f"{last}, {self.policy.attempts} attempts")

    def get(self, url: str, limit: int = 1 << 20) -> bytes:
        """A small file whole (a CHECKSUM); larger than `limit` is an error."""

        def once() -> bytes:
            with self._open(url, {}) as response:
                data = response.read(limit + 1)
                self.traffic.got(len(data))
            if len(data) > limit:
                raise DownloadFailed(f"larger than {limit} bytes")
            return data

        result = self._retrying(once)
        assert result is not None
        return result

    def download(self, url: str, target: Path, verify: Callable[[Path], str | None]) -> None:
        """Download `url` to `target` through `target.part`, resuming it where it stopped; the
        file is renamed to `target` only once `verify` (None or the reason it is wrong) passes.
        A file failing twice is discarded."""
        part = target.with_name(target.name + ".part")
        try:
            target.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise DiskError(f"cannot create {target.parent}: {error.strerror or error}") from None
        reason = ""
        for _ in range(2):
            self._retrying(lambda: self._fetch_part(url, part))
            reason = verify(part) or ""
            if not reason:
                try:
                    os.replace(part, target)
                except OSError as error:
                    raise DiskError(f"cannot write {target}: {error.strerror or error}") from None
                return
            part.unlink(missing_ok=True)
        raise DownloadFailed(reason)

    def _fetch_part(self, url: str, part: Path) -> None:
        offset = part.stat().st_size if part.exists() else 0
        try:
            response = self._open(url, {"Range": f"bytes={offset}-"} if offset else {})
        except _Retry as retry:
            if str(retry) == "range not satisfiable":
                part.unlink(missing_ok=True)  # the part is no prefix of the file: start over
            raise
        with response:
            resumed = offset > 0 and response.status == 206 and \
                (response.headers.get("Content-Range") or "").startswith(f"bytes {offset}-")
            if response.status not in (200, 206) or (response.status == 206 and not resumed):
                part.unlink(missing_ok=True)
                raise _Retry(f"unexpected answer (HTTP {response.status})")
            try:
                out = open(part, "ab" if resumed else "wb")  # noqa: SIM115 (closed by the with below)
            except OSError as error:
                raise DiskError(f"cannot write {part}: {error.strerror or error}") from None
            expected = response.headers.get("Content-Length")
            received = 0
            with out:
                while True:
                    try:
                        data = response.read(CHUNK)
                    except http.client.IncompleteRead as error:
                        self._write(out, part, error.partial)
                        raise _Retry("the connection closed before the end of the file") from None
                    if not data:
                        break
                    received += len(data)
                    self._write(out, part, data)
            if expected is not None and expected.isdigit() and received < int(expected):
                raise _Retry("the connection closed before the end of the file")

    def _write(self, out: object, part: Path, data: bytes) -> None:
        try:
            out.write(data)  # type: ignore[attr-defined]
        except OSError as error:
            raise DiskError(f"cannot write {part}: {error.strerror or error}") from None
        self.traffic.got(len(data))


def checksum_value(text: bytes, name: str) -> str:
    """The SHA-256 of a `sha256sum` line ("HEX  NAME", maybe without a final newline)."""
    words = text.decode("ascii", "replace").split()
    if not words or len(words[0]) != 64 or any(c not in "0123456789abcdefABCDEF" for c in words[0]):
        raise DownloadFailed(f"the CHECKSUM of {name} is not a sha256sum line")
    return words[0].lower()
