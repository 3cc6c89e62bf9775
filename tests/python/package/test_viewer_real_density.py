"""The viewer on a market as dense as a recorded one (a recorded BTCUSDT session repeated in time,
written here on the fly): `view` stops at once while the engine is busy with a long frame.
Skipped where the recorded market or websockets are absent."""

import json
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "bench"))
import real_density

pytest.importorskip("websockets")
if not real_density.available():
    pytest.skip("the recorded market is not in ../shared/data/real", allow_module_level=True)

HOURS = 0.5


@pytest.fixture(scope="module")
def dense_market(tmp_path_factory):
    path = tmp_path_factory.mktemp("dense") / "dense.dataset.json"
    real_density.write(path, HOURS)
    return path


def serving(path):
    """`python -m korvel_vorn view PATH` once it serves: the process and the page's address."""
    from conftest import child_env

    child = subprocess.Popen([sys.executable, "-m", "korvel_vorn", "view", str(path)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=child_env())
    line: list[str] = []
    reader = threading.Thread(target=lambda: line.append(child.stdout.readline()), daemon=True)
    reader.start()
    reader.join(120)
    if not line or "http://" not in line[0]:
        child.kill()
        raise AssertionError(f"view did not start serving: {line!r} {child.stderr.read()!r}")
    return child, line[0].split("http://", 1)[1].split("/", 1)[0]


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
def test_view_stops_within_a_second_while_a_long_frame_is_computed(dense_market, stop_signal):
    from websockets.sync.client import connect

    child, address = serving(dense_market)
    try:
        with connect(f"ws://{address}/ws") as page:
            hello = json.loads(page.recv(timeout=60))
            bounds = hello["bounds"]
            # A whole-recording window on a deep, fine grid: seconds of engine work on this market.
            page.send(json.dumps({"type": "frame", "id": 1, "cursor": bounds["to_ts"],
                                  "settings": {"window_ms": 7_200_000, "bucket_ms": 250, "price_bin": 0.1,
                                               "depth_levels": 4000}}))
            time.sleep(0.5)
            with pytest.raises(TimeoutError):  # the frame is still being computed
                page.recv(timeout=0.05)
            busy = child.poll() is None
            started = time.monotonic()
            child.send_signal(stop_signal)
            status = child.wait(timeout=30)
            took = time.monotonic() - started
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert busy
    assert status == 128 + stop_signal, child.stderr.read()
    assert took < 1.0, f"view took {took:.2f} s to stop"
