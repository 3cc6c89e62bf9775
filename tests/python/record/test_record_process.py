"""`python -m korvel_vorn record` as a process: stopped by SIGTERM, killed, or out of disk room,
its files stay readable by convert up to the last flush."""

from __future__ import annotations

import resource
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")
pytest.importorskip("pyarrow")

from exchange_server import BinanceServer, BinanceTape, wait_until
from record_helpers import converted, gzip_ok, hour_files

from conftest import child_env


@pytest.fixture
def server() -> Any:
    # A long tape at a slow pace: it plays for as long as a test needs.
    s = BinanceServer(BinanceTape.generate(steps=3000), pace=0.005).start()
    yield s
    s.close()


def start_recording(server: BinanceServer, out: Path, **popen: Any) -> subprocess.Popen[str]:
    env = child_env(KORVEL_VORN_BINANCE_WS_URL=server.ws_url, KORVEL_VORN_BINANCE_REST_URL=server.rest_url)
    return subprocess.Popen([sys.executable, "-m", "korvel_vorn", "record", "binance-um", "BTCUSDT", "--out", str(out)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)


def wait_for_data(out: Path, lines: int = 200) -> None:
    def enough() -> bool:
        files = hour_files(out)
        return bool(files) and files[0].stat().st_size > 4000

    assert wait_until(enough, 20), "no data was recorded"
    del lines


def test_sigterm_flushes_and_closes_within_two_seconds(server: BinanceServer, tmp_path: Path) -> None:
    out = tmp_path / "rec"
    process = start_recording(server, out)
    try:
        wait_for_data(out)
        start = time.monotonic()
        process.send_signal(signal.SIGTERM)
        status = process.wait(10)
        took = time.monotonic() - start
    finally:
        process.kill()
        process.communicate()
    assert status == 0
    assert took < 2.0 + 1.0  # the 2 s budget, with room for a loaded machine
    assert all(gzip_ok(p) for p in hour_files(out)), "every file ends with its gzip trailer"
    dataset, notes = converted(out)
    assert dataset["trades"] and dataset["book"]
    assert not any("ends early" in note for note in notes)


def test_a_killed_recording_converts_up_to_its_last_flush(server: BinanceServer, tmp_path: Path) -> None:
    out = tmp_path / "rec"
    process = start_recording(server, out)
    try:
        wait_for_data(out)
        process.kill()
        process.wait(10)
    finally:
        process.communicate()
    (cut,) = hour_files(out)
    assert not gzip_ok(cut)
    dataset, notes = converted(out)
    assert dataset["trades"] and dataset["book"]
    assert any("ends early" in note and cut.name in note for note in notes)
    from korvel_vorn.convert import ConvertError

    with pytest.raises(ConvertError, match="ends early"):
        converted(out, strict=True)
    # A restart in the same hour writes beside the cut file, never over it.
    size = cut.stat().st_size
    again = start_recording(server, out)
    try:
        assert wait_until(lambda: len(hour_files(out)) == 2, 20)
        again.send_signal(signal.SIGTERM)
        again.wait(10)
    finally:
        again.kill()
        again.communicate()
    assert cut.stat().st_size == size
    assert sorted(p.name for p in hour_files(out))[0].count(".") == 3  # HH.1.jsonl.gz beside HH.jsonl.gz


def _small_files() -> None:
    resource.setrlimit(resource.RLIMIT_FSIZE, (30_000, 30_000))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def test_a_full_disk_is_one_line_and_exit_status_1(server: BinanceServer, tmp_path: Path) -> None:
    out = tmp_path / "rec"
    process = start_recording(server, out, preexec_fn=_small_files)
    try:
        status = process.wait(30)
    finally:
        process.kill()
        _, stderr = process.communicate()
    assert status == 1
    errors = [line for line in stderr.splitlines() if "cannot write" in line]
    assert len(errors) == 1, stderr
    dataset, _ = converted(out)
    assert dataset["trades"]


@pytest.mark.parametrize(("args", "status", "message"), [
    (["record", "kraken", "BTCUSDT", "--out", "x"], 2, "invalid choice"),
    (["record", "binance-um", "--out", "x"], 2, "required"),
    (["record", "binance-um", "BTC/USDT", "--out", "x"], 1, "not a symbol"),
])
def test_usage_errors(args: list[str], status: int, message: str, tmp_path: Path) -> None:
    result = subprocess.run([sys.executable, "-m", "korvel_vorn", *args], capture_output=True, text=True,
                            env=child_env(), cwd=tmp_path, timeout=60)
    assert result.returncode == status
    assert message in result.stderr.strip().splitlines()[-1]
    assert "Traceback" not in result.stderr
