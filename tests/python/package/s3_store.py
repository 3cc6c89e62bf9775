"""An S3 server on loopback for the tests: moto's server mode behind a small proxy that injects
faults (an error status on chosen requests, slow answers, refused credentials).

One server per test session; each test gets a bucket of its own. The proxy speaks plain HTTP/1.1
and forwards every request as it came (headers and body), so the client signs and sends exactly
what it would send to a real store.
"""

from __future__ import annotations

import http.client
import http.server
import logging
import threading
import time
import urllib.parse
import uuid
from dataclasses import dataclass, field

import pytest

ACCESS_KEY = "AKIATESTKEYVORN0001"
SECRET_KEY = "tEsT/sEcReT+kOrVeLvOrN/0123456789abcdefgh"
DENIED_KEY = "AKIAWRONGKEYVORN0002"


@dataclass
class Fault:
    """What the proxy does to requests of a method whose path holds `path_part`."""

    method: str
    path_part: str
    status: int | None = None  # answer this status instead of forwarding
    delay: float = 0.0  # wait this long before forwarding
    times: int = 1_000_000
    hits: int = 0


@dataclass
class FaultRules:
    faults: list[Fault] = field(default_factory=list)
    lock: threading.Lock = field(default_factory=threading.Lock)

    def match(self, method: str, path: str) -> Fault | None:
        path = urllib.parse.unquote(path)
        with self.lock:
            for fault in self.faults:
                if fault.method == method and fault.path_part in path and fault.hits < fault.times:
                    fault.hits += 1
                    return fault
        return None


def _error_body(code: str, message: str) -> bytes:
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>{code}</Code><Message>{message}</Message>'
            f"<RequestId>{uuid.uuid4().hex}</RequestId></Error>").encode()


def _handler(upstream: tuple[str, int], rules: FaultRules) -> type[http.server.BaseHTTPRequestHandler]:
    class Proxy(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args: object) -> None:
            pass

        def _body(self) -> bytes:
            if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
                parts = []
                while True:
                    size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                    if size == 0:
                        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                            pass
                        return b"".join(parts)
                    parts.append(self.rfile.read(size))
                    self.rfile.readline()
            length = int(self.headers.get("Content-Length") or 0)
            return self.rfile.read(length) if length else b""

        def _answer(self, status: int, body: bytes, headers: list[tuple[str, str]]) -> None:
            self.send_response(status)
            length = str(len(body))
            for name, value in headers:
                if name.lower() == "content-length" and self.command == "HEAD":
                    length = value  # the size of what a GET would bring
                elif name.lower() not in ("transfer-encoding", "content-length", "connection", "server", "date"):
                    self.send_header(name, value)
            self.send_header("Content-Length", length)
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def _forward(self) -> None:
            body = self._body()
            if f"Credential={DENIED_KEY}/" in self.headers.get("Authorization", ""):
                self._answer(403, _error_body("InvalidAccessKeyId", "The AWS Access Key Id you provided does "
                                              "not exist in our records."), [("Content-Type", "application/xml")])
                return
            fault = rules.match(self.command, self.path)
            if fault is not None and fault.delay:
                time.sleep(fault.delay)
            if fault is not None and fault.status is not None:
                self._answer(fault.status, _error_body("ServiceUnavailable", "Please reduce your request rate."),
                             [("Content-Type", "application/xml")])
                return
            headers = {name: value for name, value in self.headers.items()
                       if name.lower() not in ("transfer-encoding", "content-length", "connection")}
            headers["Content-Length"] = str(len(body))
            connection = http.client.HTTPConnection(*upstream, timeout=30)
            try:
                connection.request(self.command, self.path, body=body, headers=headers)
                reply = connection.getresponse()
                data = reply.read()
            except OSError:  # the server stopped under a request the client gave up on
                self.close_connection = True
                return
            finally:
                connection.close()
            self._answer(reply.status, data, reply.getheaders())

        do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = _forward

    return Proxy


class S3Server:
    """moto's S3 on 127.0.0.1 with the fault proxy in front; `endpoint` is the proxy's URL."""

    def __init__(self) -> None:
        from moto.server import ThreadedMotoServer

        logging.getLogger("werkzeug").setLevel(logging.ERROR)
        self.moto = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
        self.moto.start()
        host, port = self.moto.get_host_and_port()
        self.rules = FaultRules()
        self.proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _handler((host, port), self.rules))
        self.proxy.daemon_threads = True
        self.thread = threading.Thread(target=self.proxy.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()
        self.endpoint = f"http://127.0.0.1:{self.proxy.server_address[1]}"
        self.direct = f"http://{host}:{port}"

    def client(self):  # type: ignore[no-untyped-def]
        import boto3

        return boto3.client("s3", endpoint_url=self.direct, aws_access_key_id=ACCESS_KEY,
                            aws_secret_access_key=SECRET_KEY, region_name="us-east-1")

    def new_bucket(self) -> str:
        name = f"vorn-{uuid.uuid4().hex[:12]}"
        self.client().create_bucket(Bucket=name)
        return name

    def keys(self, bucket: str, prefix: str = "") -> list[str]:
        pages = self.client().get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix)
        return sorted(item["Key"] for page in pages for item in page.get("Contents", []))

    def body(self, bucket: str, key: str) -> bytes:
        return bytes(self.client().get_object(Bucket=bucket, Key=key)["Body"].read())

    def env(self) -> dict[str, str]:
        """The environment a run against this server gets (fake keys, quick timeouts)."""
        return {"AWS_ACCESS_KEY_ID": ACCESS_KEY, "AWS_SECRET_ACCESS_KEY": SECRET_KEY, "AWS_REGION": "us-east-1",
                "AWS_ENDPOINT_URL": self.endpoint, "KORVEL_VORN_S3_CONNECT_TIMEOUT": "2",
                "KORVEL_VORN_S3_REQUEST_TIMEOUT": "10", "KORVEL_VORN_S3_ATTEMPTS": "2",
                "KORVEL_VORN_LOCK_SETTLE": "0.05"}

    def stop(self) -> None:
        self.proxy.shutdown()
        self.proxy.server_close()
        self.moto.stop()


@pytest.fixture(scope="session")
def s3_server():
    pytest.importorskip("moto.server")
    pytest.importorskip("boto3")
    server = S3Server()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def s3_env(s3_server, monkeypatch):
    """The AWS variables of the loopback server for this test (and the processes it starts)."""
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3", "AWS_DEFAULT_REGION",
                 "AWS_S3_ADDRESSING_STYLE"):
        monkeypatch.delenv(name, raising=False)
    for name, value in s3_server.env().items():
        monkeypatch.setenv(name, value)
    s3_server.rules.faults.clear()
    yield s3_server
    s3_server.rules.faults.clear()


@pytest.fixture(params=["local", "s3"])
def where(request, tmp_path):
    """A factory of roots, in a temporary folder or in a fresh bucket: `where(name)`."""
    if request.param == "local":
        return lambda name: str(tmp_path / name)
    server = request.getfixturevalue("s3_env")
    bucket = server.new_bucket()
    return lambda name: f"s3://{bucket}/{name}"
