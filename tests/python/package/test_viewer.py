"""The viewer without a browser: the frame scheduler's ordering and the served page."""

import threading
import time
import urllib.request

import pytest

import korvel_vorn as kv
from korvel_vorn.sample import sample_dataset_json, sample_spec
from korvel_vorn.viewer.scheduler import FrameScheduler


def test_scheduler_delivers_the_newest_request_and_drops_overtaken_ones():
    gate = threading.Event()
    delivered = []
    done = threading.Event()

    def compute(request):
        if request == 1:
            gate.wait(5)  # the first frame is slow: requests 2, 3, 4 arrive meanwhile
        if request == "boom":
            raise ValueError("no frame here")
        return request * 10

    def deliver(generation, result):
        delivered.append((generation, result))
        if generation >= 4:
            done.set()

    scheduler = FrameScheduler(compute, deliver)
    scheduler.request(1)
    time.sleep(0.05)
    for r in (2, 3, 4):
        scheduler.request(r)
    gate.set()
    assert done.wait(5)
    # Frame 1 was overtaken while computed; 2 and 3 were replaced while waiting: only 4 is shown.
    assert delivered == [(4, 40)]
    assert scheduler.dropped == 3
    errors = threading.Event()
    scheduler._deliver = lambda g, r: errors.set() if isinstance(r, ValueError) else None
    scheduler.request("boom")
    assert errors.wait(5)  # an error is delivered, the worker lives on
    scheduler.close()


def test_view_serves_the_page_on_localhost():
    pytest.importorskip("bokeh")
    session = kv.Session()
    session.load(sample_dataset_json(7))
    viewer = kv.view(session, spec=sample_spec(), block=False)
    try:
        assert viewer.url.startswith("http://127.0.0.1:")
        with urllib.request.urlopen(viewer.url, timeout=30) as page:
            html = page.read().decode()
        assert page.status == 200 and "<title>DEMOUSDT · korvel_vorn replay</title>" in html
    finally:
        viewer.stop()
