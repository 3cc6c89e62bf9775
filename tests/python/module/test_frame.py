"""Frames end to end through `Vorn.command`: the reply texts, the window a cursor selects, panels in
spec order under parallel computation, and frames in a forked child."""

import json
import os
import signal

import pytest

_korvel_vorn = pytest.importorskip("_korvel_vorn")
if not hasattr(_korvel_vorn, "Vorn"):
    pytest.skip("the extension module has no Vorn class yet", allow_module_level=True)
Vorn = _korvel_vorn.Vorn


def spec(panels, symbol="S", from_ts=None, to_ts=None):
    return {"dataset_ref": "ref", "symbol": symbol, "from_ts": from_ts, "to_ts": to_ts, "panels": panels}


def vorn_with(spec_value, dataset):
    v = Vorn(json.dumps(spec_value))
    loaded = json.loads(v.command(json.dumps({"cmd": "load", "dataset": dataset})))
    assert loaded["ok"] is True, loaded
    return v


def frame_at(v, ts):
    return v.command(json.dumps({"cmd": "frame_at", "ts": ts}))


def frame(v):
    return v.command('{"cmd":"frame"}')


FOOTPRINT = {"kind": "footprint", "price_bin": 1.0}
HEATMAP = {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 60000, "depth_levels": 3}
LIQUIDATIONS = {"kind": "liquidation_map", "price_bin": 10}
DIVERGENCE = {"kind": "funding_oi_divergence", "bucket_ms": 60000}

# The worked examples of the four panels, in one market.
WORKED_MARKET = {
    "trades": [[100, 100.2, 1.0, "buy"], [500, 100.7, 2.0, "sell"], [1000, 101.3, 0.5, "buy"]],
    "book": [[1000, "snapshot", [[99.5, 2.0]], [[100.5, 3.0]]]],
    "liquidations": [[5, 101, 1.5, "short"], [5, 99, 2, "long"], [3, 120, 1, "long"]],
    "funding": [[30000, 0.0001]],
    "candles": [[0, 100, 100, 100, 100, 1], [120000, 101, 101, 101, 101, 1]],
}

WORKED_FOOTPRINT = (
    '{"kind":"footprint","price_bins":[100.0,101.0],"buy_vol":[1.0,0.5],"sell_vol":[2.0,0.0]}'
)
WORKED_HEATMAP = '{"kind":"book_heatmap","time":[0],"price":[99.0,100.0,101.0],"intensity":[[2.0,3.0,-0.0]]}'
WORKED_LIQUIDATIONS = (
    '{"kind":"liquidation_map","events":[{"ts":3,"price_bin":120.0,"qty":1.0,"side":"long"},'
    '{"ts":5,"price_bin":90.0,"qty":2.0,"side":"long"},{"ts":5,"price_bin":100.0,"qty":1.5,"side":"short"}]}'
)
WORKED_DIVERGENCE = (
    '{"kind":"funding_oi_divergence","time":[0,60000,120000],"funding":[0.0001,0.0001,0.0001],'
    '"oi":[0.0,0.0,0.0],"price":[100.0,100.0,101.0]}'
)

EMPTY = {
    "footprint": '{"kind":"footprint","price_bins":[],"buy_vol":[],"sell_vol":[]}',
    "book_heatmap": '{"kind":"book_heatmap","time":[],"price":[],"intensity":[]}',
    "liquidation_map": '{"kind":"liquidation_map","events":[]}',
    "funding_oi_divergence": '{"kind":"funding_oi_divergence","time":[],"funding":[],"oi":[],"price":[]}',
}


def frame_text(symbol, cursor_ts, *panels):
    return '{"symbol":%s,"cursor_ts":%d,"panels":[%s]}' % (json.dumps(symbol), cursor_ts, ",".join(panels))


def test_worked_footprint_frame_text():
    v = vorn_with(spec([FOOTPRINT]), {"trades": WORKED_MARKET["trades"]})
    expected = frame_text("S", 1000, WORKED_FOOTPRINT)
    assert frame_at(v, 1000) == expected
    assert frame(v) == expected  # no "to_ts": the cursor is the last record


def test_all_four_panels_in_one_frame():
    v = vorn_with(spec([FOOTPRINT, HEATMAP, LIQUIDATIONS, DIVERGENCE]), WORKED_MARKET)
    assert frame(v) == frame_text("S", 120000, WORKED_FOOTPRINT, WORKED_HEATMAP, WORKED_LIQUIDATIONS, WORKED_DIVERGENCE)


def test_bounds_reply_text():
    v = vorn_with(spec([FOOTPRINT]), {"funding": [[10, 0.1], [20, 0.2]], "candles": [[15, 1, 1, 1, 1, 1]]})
    assert v.command('{"cmd":"bounds"}') == '{"from_ts":10,"to_ts":20,"count":3}'


def test_empty_window_gives_every_empty_panel():
    v = vorn_with(spec([FOOTPRINT, HEATMAP, LIQUIDATIONS, DIVERGENCE]), WORKED_MARKET)
    assert frame_at(v, -1) == frame_text("S", -1, *EMPTY.values())


def test_symbol_is_escaped_in_the_reply():
    v = vorn_with(spec([LIQUIDATIONS], symbol='BTC"USD\\'), {"trades": [[1, 1.0, 1.0, "buy"]]})
    assert frame(v) == '{"symbol":"BTC\\"USD\\\\","cursor_ts":1,"panels":[%s]}' % EMPTY["liquidation_map"]


# One trade per price at ts 10, 20, 30, 40 (price = ts), so a footprint with price_bin 1 lists the
# prices, that is the timestamps, of the trades inside the window.
STEP_TRADES = {"trades": [[t, float(t), 1.0, "buy"] for t in (10, 20, 30, 40)]}


@pytest.mark.parametrize(
    "from_ts, to_ts, command, cursor_ts, inside",
    [
        (None, None, {"cmd": "frame"}, 40, [10, 20, 30, 40]),
        (None, None, {"cmd": "frame_at", "ts": 5}, 5, []),
        (None, None, {"cmd": "frame_at", "ts": 30}, 30, [10, 20, 30]),
        (None, None, {"cmd": "frame_at", "ts": 10**6}, 10**6, [10, 20, 30, 40]),
        (20, None, {"cmd": "frame_at", "ts": 30}, 30, [20, 30]),
        (25, None, {"cmd": "frame_at", "ts": 15}, 15, []),
        (None, 20, {"cmd": "frame_at", "ts": 40}, 20, [10, 20]),
        (None, 35, {"cmd": "frame_at", "ts": 30}, 30, [10, 20, 30]),
        (None, 20, {"cmd": "frame"}, 20, [10, 20]),
        (None, 5, {"cmd": "frame"}, 5, []),
        (None, 1000, {"cmd": "frame"}, 1000, [10, 20, 30, 40]),
        (20, 30, {"cmd": "frame"}, 30, [20, 30]),
        (30, 30, {"cmd": "frame_at", "ts": 40}, 30, [30]),
        (None, None, {"cmd": "frame_at", "ts": -(2**63)}, -(2**63), []),
        (-(2**63), None, {"cmd": "frame_at", "ts": 2**63 - 1}, 2**63 - 1, [10, 20, 30, 40]),
    ],
)
def test_window_and_cursor(from_ts, to_ts, command, cursor_ts, inside):
    v = vorn_with(spec([FOOTPRINT], from_ts=from_ts, to_ts=to_ts), STEP_TRADES)
    reply = json.loads(v.command(json.dumps(command)))
    assert reply["cursor_ts"] == cursor_ts
    assert reply["panels"][0]["price_bins"] == [float(t) for t in inside]


def test_frame_past_to_ts_is_the_frame_at_to_ts():
    v = vorn_with(spec([FOOTPRINT, HEATMAP, LIQUIDATIONS, DIVERGENCE], to_ts=60000), WORKED_MARKET)
    at_to_ts = frame_at(v, 60000)
    assert frame_at(v, 10**9) == at_to_ts
    assert frame(v) == at_to_ts


def test_frame_without_to_ts_is_the_frame_at_the_last_record():
    v = vorn_with(spec([FOOTPRINT, HEATMAP, LIQUIDATIONS, DIVERGENCE]), WORKED_MARKET)
    assert frame(v) == frame_at(v, 120000)


@pytest.mark.parametrize(
    "make, command, error",
    [
        (lambda: Vorn(""), '{"cmd":"frame"}', "bad spec: no spec set"),
        (lambda: Vorn(""), '{"cmd":"frame_at","ts":1}', "bad spec: no spec set"),
        (lambda: Vorn(json.dumps(spec([FOOTPRINT]))), '{"cmd":"frame"}', "data: no dataset"),
        (lambda: Vorn(json.dumps(spec([FOOTPRINT]))), '{"cmd":"frame_at","ts":1}', "data: no dataset"),
        (lambda: Vorn(json.dumps(spec([FOOTPRINT]))), '{"cmd":"bounds"}', "data: no dataset"),
    ],
)
def test_frame_preconditions(make, command, error):
    assert make().command(command) == json.dumps({"ok": False, "error": error}, separators=(",", ":"))


def test_panel_size_limit_fails_the_frame_and_keeps_the_object_usable():
    panels = [FOOTPRINT, {"kind": "funding_oi_divergence", "bucket_ms": 1}, DIVERGENCE]
    v = vorn_with(spec(panels), {"funding": [[-(2**63), 0.1], [2**63 - 1, 0.2]]})
    assert frame(v) == '{"ok":false,"error":"data: funding_oi_divergence has too many buckets"}'
    v.command(json.dumps({"cmd": "set_spec", "spec": spec([FOOTPRINT])}))
    assert json.loads(frame(v))["cursor_ts"] == 2**63 - 1


def panels_of(reply):
    """Each panel of a frame reply, re-spelled so that panels can be compared exactly."""
    return [json.dumps(p) for p in json.loads(reply)["panels"]]


def test_same_kind_twice_uses_each_panels_parameters():
    market = {"trades": [[t, 100 + (t % 17) * 0.3, 1 + t % 3, "buy" if t % 2 else "sell"] for t in range(60)]}
    fine = {"kind": "footprint", "price_bin": 0.5}
    coarse = {"kind": "footprint", "price_bin": 2}
    both = panels_of(frame(vorn_with(spec([fine, coarse]), market)))
    assert both[0] == panels_of(frame(vorn_with(spec([fine]), market)))[0]
    assert both[1] == panels_of(frame(vorn_with(spec([coarse]), market)))[0]
    assert both[0] != both[1]


def busy_market(steps=120):
    market = {key: [] for key in ("candles", "trades", "book", "funding", "oi", "liquidations")}
    for i in range(steps):
        ts = i * 7000
        mid = 100 + (i * 37 % 11) * 0.25
        market["candles"].append([ts, mid, mid + 1, mid - 1, mid + 0.5, 10 + i])
        market["trades"].append([ts, mid - 0.3, 0.1 * i + 0.5, "buy"])
        market["trades"].append([ts, mid + 0.7, 0.2 * i + 0.25, "sell"])
        kind = "snapshot" if i % 5 == 0 else "diff"
        market["book"].append([ts, kind, [[mid - 0.5, 1 + i], [mid - 1.5, 2]], [[mid + 0.5, 3]]])
        if i % 3 == 0:
            market["funding"].append([ts, 0.0001 * i])
        if i % 2 == 0:
            market["oi"].append([ts, 1000 + i])
        market["liquidations"].append([ts, mid + 2, 0.5 + i, "short" if i % 2 else "long"])
    return market


def many_panels(count=48):
    panels = []
    for i in range(count):
        price_bin = 0.25 * (1 + i % 7)
        panels.append(
            [
                {"kind": "footprint", "price_bin": price_bin},
                {"kind": "book_heatmap", "price_bin": price_bin, "bucket_ms": 5000 * (1 + i % 5), "depth_levels": 1 + i % 9},
                {"kind": "liquidation_map", "price_bin": price_bin},
                {"kind": "funding_oi_divergence", "bucket_ms": 3000 * (1 + i % 6)},
            ][i % 4]
        )
    return panels


def test_many_panels_come_back_in_spec_order():
    market = busy_market()
    panels = many_panels()
    alone = [panels_of(frame_at(vorn_with(spec([p], from_ts=14000), market), 500000))[0] for p in panels]
    v = vorn_with(spec(panels, from_ts=14000), market)
    first = frame_at(v, 500000)
    assert panels_of(first) == alone
    for _ in range(20):
        assert frame_at(v, 500000) == first


def compute_in_child(compute):
    """Runs `compute` in a forked child and returns what it produced (a str)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            signal.alarm(120)  # a hung child dies instead of hanging the test
            data = compute().encode()
            with os.fdopen(write_end, "wb") as out:
                out.write(data)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as src:
        data = src.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    return data


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_frame_in_a_forked_child():
    market = busy_market()
    spec_value = spec(many_panels(16))
    parent = vorn_with(spec_value, market)
    expected = frame(parent)  # the parent's pool is running before the fork

    def child_frames():
        inherited = frame(parent)
        fresh = frame(vorn_with(spec_value, market))
        return inherited if inherited == fresh else "mismatch"

    assert compute_in_child(child_frames) == expected
    assert frame(parent) == expected


def test_recorded_market_frames_are_stable(real_data_dir):
    path = min(real_data_dir.glob("*.dataset.json"), key=lambda p: p.stat().st_size)
    dataset = json.loads(path.read_text())
    panels = [
        {"kind": "footprint", "price_bin": 1.0},
        {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 10000, "depth_levels": 60},
        {"kind": "liquidation_map", "price_bin": 10.0},
        {"kind": "funding_oi_divergence", "bucket_ms": 60000},
        {"kind": "footprint", "price_bin": 5.0},
    ]
    v = vorn_with(spec(panels, symbol="REC"), dataset)
    bounds = json.loads(v.command('{"cmd":"bounds"}'))
    middle = (bounds["from_ts"] + bounds["to_ts"]) // 2
    reply = frame_at(v, middle)
    parsed = json.loads(reply)
    assert parsed["cursor_ts"] == middle
    assert [p["kind"] for p in parsed["panels"]] == [p["kind"] for p in panels]
    assert frame_at(v, middle) == reply
    for i, panel in enumerate(panels):
        single = vorn_with(spec([panel], symbol="REC"), dataset)
        assert panels_of(frame_at(single, middle))[0] == panels_of(reply)[i]
