"""Convert of record folders whose manifests list a gap that was still open when the recording
stopped: the updates after its start are out of sync up to the next snapshot that started the
book again, and never past the updates recorded in sync before it."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("pyarrow")

from record_helpers import converted

from korvel_vorn.recorder.files import SymbolFiles

DAY0 = 1_780_012_800 * 1_000_000_000  # 2026-05-29 00:00 UTC, in ns
MS = 1_000_000


def depth(u: int, previous: int, price: str) -> bytes:
    data = {"e": "depthUpdate", "E": u, "T": u, "s": "BTCUSDT", "U": previous + 1, "u": u, "pu": previous,
            "b": [[price, "1.000"]], "a": []}
    return json.dumps({"stream": "btcusdt@depth@100ms", "data": data}).encode()


def snapshot(u: int) -> bytes:
    body = {"lastUpdateId": u, "E": u, "T": u, "bids": [["90.0", "5.000"]], "asks": [["110.0", "5.000"]]}
    return b'{"stream":"btcusdt@rest.depth","generated":true,"data":%s}' % json.dumps(body).encode()


def record(root: Path, lines: list[tuple[int, bytes]], gaps: list[dict[str, Any]],
           snapshots: list[dict[str, Any]]) -> None:
    files = SymbolFiles(root, "binance-um", "BTCUSDT", {"started_ns": DAY0, "pid": 1})
    for ns, text in lines:
        files.write(ns, text)
    manifest = files.manifest_for(DAY0)
    manifest.data["gaps"] += gaps
    manifest.data["snapshots"] += snapshots
    manifest.dirty = True
    files.close()


def open_gap(after: int) -> dict[str, Any]:
    return {"reason": "update id break (pu is not the previous u)", "first_update_id": after + 1,
            "after_update_id": after, "last_update_id": None, "first_ns": DAY0 + after * MS, "last_ns": None,
            "first_time": after, "last_time": None}


# The tape: a snapshot at 100, updates 101..105 in sync, a break, updates 110..112 out of sync,
# then (cases) a snapshot marked unused at 111, or a later session's snapshot at 120 and 121, 122.
IN_SYNC = [(DAY0 + u * MS, depth(u, u - 1, f"{u}.0")) for u in range(101, 106)]
OUT_OF_SYNC = [(DAY0 + u * MS, depth(u, u - 1 if u > 110 else 107, f"{u}.0")) for u in range(110, 113)]
LATER = [(DAY0 + 120 * MS, snapshot(120)), (DAY0 + 121 * MS, depth(121, 120, "121.0")),
         (DAY0 + 122 * MS, depth(122, 121, "122.0"))]

CASES = [
    # name, lines after the first snapshot, snapshots besides the first, the converted diffs' prices
    ("open_to_the_end", IN_SYNC + OUT_OF_SYNC, [], [101, 102, 103, 104, 105]),
    ("an_unused_snapshot_does_not_end_it", IN_SYNC + OUT_OF_SYNC[:1] + [(DAY0 + 111 * MS + 1, snapshot(111))]
     + OUT_OF_SYNC[1:], [{"ns": DAY0 + 111 * MS + 1, "last_update_id": 111, "used": False}],
     [101, 102, 103, 104, 105]),
    ("a_later_session_ends_it", IN_SYNC + OUT_OF_SYNC + LATER,
     [{"ns": DAY0 + 120 * MS, "last_update_id": 120, "used": True}], [101, 102, 103, 104, 105, 121, 122]),
]


@pytest.mark.parametrize(("name", "lines", "snapshots", "kept"), CASES, ids=[c[0] for c in CASES])
def test_an_open_gap_drops_only_what_is_out_of_sync(tmp_path: Path, name: str, lines: list[tuple[int, bytes]],
                                                   snapshots: list[dict[str, Any]], kept: list[int]) -> None:
    first = {"ns": DAY0 + 100 * MS, "last_update_id": 100, "used": True}
    record(tmp_path, [(DAY0 + 100 * MS, snapshot(100)), *lines], [open_gap(105)], [first, *snapshots])
    dataset, notes = converted(tmp_path)
    diffs = [e for e in dataset["book"] if e["kind"] == "diff"]
    assert [int(e["bids"][0][0]) for e in diffs] == kept
    assert any("1 book gaps were still open" in note for note in notes), notes
    assert any("after 105 " in note and "still open" in note for note in notes), notes
