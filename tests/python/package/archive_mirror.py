"""A mirror of the public archives for the tests: files laid out at the archives' own paths,
served on 127.0.0.1 by a thread, with faults injected per path, and every request counted."""

from __future__ import annotations

import hashlib
import http.server
import io
import threading
import time
import zipfile


def zip_of(member: str, text: str) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(member, text)
    return out.getvalue()


def checksum_line(data: bytes, name: str, newline: bool = False) -> bytes:
    return f"{hashlib.sha256(data).hexdigest()}  {name}{chr(10) if newline else ''}".encode()


class Mirror:
    """Files by path; `faults[path]` a list of faults used one per request: "cut" (half the body,
    then the connection closes), ("status", code, retry_after), "html" (an HTML page, status 200),
    "empty" (status 200, no body), "stall" (no answer for longer than the tests' timeout)."""

    def __init__(self) -> None:
        self.files: dict[str, bytes] = {}
        self.faults: dict[str, list[object]] = {}
        self.requests: list[tuple[str, str | None]] = []
        self.ignore_range = False
        self.lock = threading.Lock()
        mirror = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: object) -> None:
                pass

            def do_GET(self) -> None:
                path = self.path.split("?", 1)[0]
                with mirror.lock:
                    mirror.requests.append((path, self.headers.get("Range")))
                    queue = mirror.faults.get(path) or []
                    fault = queue.pop(0) if queue else None
                data = mirror.files.get(path)
                if fault == "stall":  # no answer before the client's timeout
                    time.sleep(2.0)
                    self.close_connection = True
                    return
                if isinstance(fault, tuple) and fault[0] == "status":
                    self.send_response(fault[1])
                    if fault[2] is not None:
                        self.send_header("Retry-After", str(fault[2]))
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if fault == "html":
                    body = b"<!DOCTYPE html><html><body>Service temporarily unavailable</body></html>"
                    self._send(200, body, {"Content-Type": "text/html"})
                    return
                if fault == "empty":
                    self._send(200, b"", {})
                    return
                if data is None:
                    self._send(404, b"<html>not found</html>", {"Content-Type": "text/html"})
                    return
                status, body, headers = 200, data, {}
                wanted = self.headers.get("Range")
                if wanted and not mirror.ignore_range and wanted.startswith("bytes="):
                    start = int(wanted[6:].split("-")[0])
                    if start >= len(data):
                        self._send(416, b"", {"Content-Range": f"bytes */{len(data)}"})
                        return
                    status, body = 206, data[start:]
                    headers = {"Content-Range": f"bytes {start}-{len(data) - 1}/{len(data)}"}
                if fault == "cut":
                    self.send_response(status)
                    for key, value in headers.items():
                        self.send_header(key, value)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body[: len(body) // 2])
                    self.wfile.flush()
                    self.close_connection = True
                    return
                self._send(status, body, headers)

            def _send(self, status: int, body: bytes, headers: dict[str, str]) -> None:
                self.send_response(status)
                for key, value in headers.items():
                    self.send_header(key, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def __enter__(self) -> Mirror:
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)

    def add_zip(self, path: str, text: str, checksum_newline: bool = False) -> bytes:
        """A zip of the archive with its one CSV member and its CHECKSUM."""
        name = path.rsplit("/", 1)[-1]
        data = zip_of(name.removesuffix(".zip") + ".csv", text)
        self.files[path] = data
        self.files[path + ".CHECKSUM"] = checksum_line(data, name, checksum_newline)
        return data

    def download_requests(self) -> list[str]:
        return [path for path, _ in self.requests]
