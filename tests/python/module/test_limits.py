"""Limits and faults: huge or deeply nested input, impossible panel sizes, memory exhaustion,
foreign threads. Each must end in an orderly reply or exception, never a crash or a hang."""

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import MODULE_DIR

_korvel_vorn = pytest.importorskip("_korvel_vorn")
Vorn = _korvel_vorn.Vorn

SPEC = {
    "dataset_ref": "d",
    "symbol": "S",
    "panels": [
        {"kind": "footprint"},
        {"kind": "book_heatmap", "depth_levels": 3},
        {"kind": "liquidation_map"},
        {"kind": "funding_oi_divergence"},
    ],
}
DATASET = {
    "trades": [[1, 100.2, 1.0, "buy"], [2, 100.7, 2.0, "sell"]],
    "book": [[1, "snapshot", [[99.5, 2.0]], [[100.5, 3.0]]]],
    "funding": [[0, 0.0001]],
    "liquidations": [[5, 101.0, 1.5, "short"]],
}


def cmd(v, **command):
    return v.command(json.dumps(command, separators=(",", ":")))


def loaded(spec=SPEC, dataset=DATASET):
    v = Vorn(json.dumps(spec))
    assert cmd(v, cmd="load", dataset=dataset).startswith('{"ok":true')
    return v


MILLION = 1_000_000


def test_command_nested_a_million_levels():
    reply = Vorn("").command("[" * MILLION)
    assert reply == '{"ok":false,"error":"parse: recursion limit exceeded at line 1 column 128"}'


def test_constructor_skips_an_unknown_member_nested_a_million_levels():
    body = json.dumps(SPEC)[:-1]
    v = Vorn(body + ',"extra":' + "[" * MILLION + "]" * MILLION + "}")
    assert cmd(v, cmd="load", dataset=DATASET) == '{"ok":true,"loaded":5}'


def test_constructor_unknown_member_left_open_a_million_levels():
    body = json.dumps(SPEC)[:-1]
    with pytest.raises(ValueError, match=r"^parse: EOF while parsing a list at line 1 column \d+$"):
        Vorn(body + ',"extra":' + "[" * MILLION)


@pytest.mark.parametrize(
    "member, expected",
    [
        ('"' + "a" * (64 << 20) + '"', '{"version":"0.1.2"}'),
        ("0." + "0" * (64 << 20) + "1", '{"version":"0.1.2"}'),
        ("1" * (64 << 20), None),
    ],
    ids=["string", "tiny-float", "huge-integer"],
)
def test_a_single_value_of_many_megabytes(member, expected):
    text = '{"cmd":"version","x":' + member + "}"
    reply = Vorn("").command(text)
    if expected is None:
        expected = '{"ok":false,"error":"parse: number out of range at line 1 column %d"}' % (len(text) - 1)
    assert reply == expected


@pytest.mark.parametrize(
    "panel, dataset, error",
    [
        (
            {"kind": "book_heatmap", "depth_levels": 4294967295},
            {"book": [[1, "snapshot", [[99.5, 2.0]], [[100.5, 3.0]]]]},
            "data: book_heatmap grid too large",
        ),
        (
            {"kind": "book_heatmap", "bucket_ms": 1, "depth_levels": 1},
            {"book": [[-9223372036854775808, "snapshot", [[1.0, 1.0]], [[2.0, 1.0]]],
                      [9223372036854775807, "diff", [], []]]},
            "data: book_heatmap grid too large",
        ),
        (
            {"kind": "funding_oi_divergence", "bucket_ms": 1},
            {"funding": [[-9223372036854775808, 0.1], [9223372036854775807, 0.2]]},
            "data: funding_oi_divergence has too many buckets",
        ),
        (
            {"kind": "funding_oi_divergence", "bucket_ms": 9223372036854775807},
            {"oi": [[-9223372036854775808, 1.0], [9223372036854775807, 2.0]]},
            None,
        ),
    ],
    ids=["depth-u32-max", "heatmap-full-span", "divergence-full-span", "divergence-widest-bucket"],
)
def test_impossible_panel_sizes_fail_in_order(panel, dataset, error):
    spec = dict(SPEC, panels=[{"kind": "footprint"}, panel])
    v = loaded(spec, dataset)
    reply = cmd(v, cmd="frame_at", ts=9223372036854775807)
    if error is None:
        # Bucket starts of the widest width fall outside the signed range at the low end: either
        # an orderly data error or a frame, never a wrapped timestamp.
        parsed = json.loads(reply)
        if "error" in parsed:
            assert parsed["error"].startswith("data: ")
        else:
            times = parsed["panels"][1]["time"]
            assert times == sorted(times) and all(-(2**63) <= t < 2**63 for t in times)
    else:
        assert reply == json.dumps({"ok": False, "error": error}, separators=(",", ":"))
    # The object stays usable.
    assert cmd(v, cmd="bounds").startswith('{"from_ts":')


@pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZED")),
                    reason="an address-space cap leaves no room for the sanitizer's shadow memory")
def test_memory_exhaustion_ends_in_an_error_reply_and_the_object_stays_usable():
    # A child process with a capped address space computes a heatmap that needs more memory than
    # the cap allows; the frame fails with an error reply and a small frame still works after it.
    script = textwrap.dedent(
        f"""
        import json, resource, sys
        sys.path.insert(0, {str(MODULE_DIR)!r})
        import _korvel_vorn
        spec = {{"dataset_ref": "d", "symbol": "S", "panels": [{{"kind": "book_heatmap", "bucket_ms": 1, "depth_levels": 60}}]}}
        v = _korvel_vorn.Vorn(json.dumps(spec))
        book = [[0, "snapshot", [[99.5, 2.0]], [[100.5, 3.0]]], [1000000, "diff", [], []]]
        print(v.command(json.dumps({{"cmd": "load", "dataset": {{"book": book}}}})))
        resource.setrlimit(resource.RLIMIT_AS, (300 << 20, 300 << 20))
        print(v.command('{{"cmd":"frame"}}'))
        print(v.command('{{"cmd":"frame_at","ts":0}}'))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == '{"ok":true,"loaded":2}'
    assert lines[1] == '{"ok":false,"error":"data: out of memory"}'
    assert json.loads(lines[2])["panels"][0]["time"] == [0]


def test_commands_from_many_foreign_threads_are_all_refused():
    v = loaded()
    before = cmd(v, cmd="frame")
    errors = []

    def worker():
        for _ in range(50):
            try:
                v.command('{"cmd":"reset"}')
            except Exception as exc:
                errors.append(str(exc))
            else:
                errors.append("accepted")

    threads = [threading.Thread(target=worker) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == ["_korvel_vorn::PyVorn is unsendable, but sent to another thread"] * (16 * 50)
    assert cmd(v, cmd="frame") == before


def test_objects_dropped_on_foreign_threads_are_reported():
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda u: reports.append(str(u.exc_value))
    try:
        holders = [[loaded()] for _ in range(8)]
        threads = [threading.Thread(target=h.clear) for h in holders]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.unraisablehook = previous
    assert reports == ["_korvel_vorn::PyVorn is unsendable, but is being dropped on another thread"] * 8


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_frames_in_a_forked_child_match_the_parent():
    v = loaded()
    expected = cmd(v, cmd="frame")
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read)
            os.write(write, cmd(v, cmd="frame").encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        got = f.read().decode()
    os.waitpid(pid, 0)
    assert got == expected


def test_the_frame_budget_holds_for_the_array_path_too():
    from korvel_vorn.session import Session

    session = Session({"dataset_ref": "d", "symbol": "X", "from_ts": None, "to_ts": None, "panels": [
        {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 40, "depth_levels": 2},
        {"kind": "funding_oi_divergence", "bucket_ms": 40}]})
    session.load({"book": [(0, "snapshot", [(99.0, 1.0)], [(101.0, 1.0)]), (10**9, "diff", [(99.0, 2.0)], [])],
                  "funding": [(0, 0.1), (10**9, 0.2)]})
    with pytest.raises(Exception, match="frame too large: its panels together exceed 67108864 cells"):
        session.frame_arrays(10**9)
    # The JSON protocol answers the same.
    assert session.engine.command('{"cmd":"frame"}') == \
        '{"ok":false,"error":"data: frame too large: its panels together exceed 67108864 cells"}'


# Shapes of command text that cost the reader the most per byte: one-digit numbers (8 bytes of
# tree for 2 of text), short arrays, long objects of repeated or distinct keys, escaped strings.
# `stored` says whether the member is one the command reads (so its tree is built at all).
READER_SHAPES = {
    "ignored_member_of_ones": ('{"cmd":"version","x":[%s]}', "1,", False),
    "root_array_of_ones": ("[%s]", "1,", False),
    "dataset_list_of_ones": ('{"cmd":"load","dataset":{"trades":[%s]}}', "1,", True),
    "unknown_dataset_list_of_ones": ('{"cmd":"load","dataset":{"zzz":[%s]}}', "1,", True),
    "nested_long_arrays": ('{"cmd":"load","dataset":{"zzz":[[%s],[%s]]}}', "1,", True),
    "short_arrays": ('{"cmd":"load","dataset":{"zzz":[%s]}}', "[1],", True),
    "escaped_strings": ('{"cmd":"load","dataset":{"zzz":[%s]}}', '"\\n",', True),
    "one_key_repeated": ('{"cmd":"load","dataset":{"zzz":{%s}}}', '"":0,', True),
    "distinct_keys": ('{"cmd":"load","dataset":{"zzz":{%s}}}', None, True),
}
READER_TEXT_BYTES = 24 << 20


@pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZED")), reason="the sanitizer's own memory would count")
@pytest.mark.parametrize("shape", sorted(READER_SHAPES))
def test_reader_memory_stays_within_four_times_the_text(shape):
    # The documented bound (docs/protocol.md): reading a command costs at most 4x its text (plus 32 MiB), and a member
    # the command does not read costs nothing. Measured as the peak resident growth of a fresh
    # process (the text itself excluded: the caller holds it anyway).
    template, unit, stored = READER_SHAPES[shape]
    script = textwrap.dedent(
        f"""
        import json, pathlib, sys
        sys.path.insert(0, {str(MODULE_DIR)!r})
        import _korvel_vorn
        template, unit, size = {template!r}, {unit!r}, {READER_TEXT_BYTES}
        holes = template.count("%s")
        if unit is None:
            count = size // 10
            body = ",".join('"%x":0' % (i * 7919 % count) for i in range(count))
        else:
            body = (unit * (size // len(unit) // holes)).rstrip(",")
        text = template % ((body,) * holes)
        def rss(field):
            for line in pathlib.Path("/proc/self/status").read_text().splitlines():
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        v = _korvel_vorn.Vorn("")
        v.command('{{"cmd":"version"}}')
        base = rss("VmRSS")
        pathlib.Path("/proc/self/clear_refs").write_text("5")
        reply = v.command(text)
        print(json.dumps({{"text": len(text), "growth": rss("VmHWM") - base, "reply": reply[:40]}}))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    measured = json.loads(out.stdout)
    assert not measured["reply"].startswith('{"ok":false,"error":"data: out of memory')
    bound = 4 * measured["text"] + (32 << 20) if stored else 16 << 20
    assert measured["growth"] <= bound, measured
