"""Small REST GETs (depth snapshots, open interest), run in a worker thread."""

from __future__ import annotations

import asyncio
import json
import urllib.error
import urllib.request
from dataclasses import dataclass


@dataclass
class RestReply:
    status: int  # 0 when nothing answered
    body: bytes
    retry_after: float | None = None
    error: str = ""

    def exchange_code(self) -> int | None:
        """The exchange's error code of a JSON error body ({"code": -1121, "msg": ...})."""
        try:
            value = json.loads(self.body)
        except ValueError:
            return None
        code = value.get("code") if isinstance(value, dict) else None
        return code if isinstance(code, int) else None


def _get(url: str, timeout: float) -> RestReply:
    request = urllib.request.Request(url, headers={"User-Agent": "korvel_vorn-record"})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return RestReply(response.status, response.read())
    except urllib.error.HTTPError as error:
        retry = error.headers.get("Retry-After") if error.headers else None
        try:
            wait = float(retry) if retry is not None else None
        except ValueError:
            wait = None
        return RestReply(error.code, error.read() or b"", wait, f"HTTP {error.code}")
    except (urllib.error.URLError, OSError, TimeoutError, ValueError) as error:
        reason = getattr(error, "reason", error)
        return RestReply(0, b"", None, str(reason) or type(error).__name__)


async def get(url: str, timeout: float) -> RestReply:
    return await asyncio.to_thread(_get, url, timeout)


def one_line(body: bytes) -> bytes:
    """A JSON body on one line (JSON text holds no raw newline inside its strings)."""
    return body.strip().replace(b"\r", b" ").replace(b"\n", b" ")
