"""Playback through the array path: the frames of one Engine at later and later cursors (which
continue work carried from the frame before, and share heatmap rows with the frames already
returned) equal those of a fresh Engine, and arrays a caller still holds never change."""

from __future__ import annotations

import json
import random
from typing import Any

import numpy as np
import pytest

from korvel_vorn import Engine
from korvel_vorn.sample import sample_dataset_json, sample_spec

EVENT_FIELDS = 25  # bytes of a packed liquidation event before its padding: ts, price_bin, qty, side


def _bytes(native: tuple[str, int, list[dict[str, Any]]]) -> list[bytes]:
    """Every array of a frame as bytes (the liquidation events without their padding)."""
    _, cursor, panels = native
    out = [str(cursor).encode()]
    for panel in panels:
        for key, value in panel.items():
            if key == "kind":
                out.append(value.encode())
            elif key == "events":
                events = np.asarray(value).reshape(-1, 32)
                out.append(np.ascontiguousarray(events[:, :EVENT_FIELDS]).tobytes())
            else:
                array = np.asarray(value)
                out.append(repr(array.shape).encode() + array.tobytes())
    return out


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_playback_frames_equal_fresh_frames_and_held_arrays_never_change(seed: int) -> None:
    rng = random.Random(seed)
    load = json.dumps({"cmd": "load", "dataset": json.loads(sample_dataset_json())})
    bounds_engine = Engine("")
    bounds_engine.command(load)
    bounds = json.loads(bounds_engine.command('{"cmd":"bounds"}'))
    first, last = bounds["from_ts"], bounds["to_ts"]
    spec = sample_spec()
    spec["from_ts"] = first + rng.randrange(0, 60_000)
    set_spec = json.dumps({"cmd": "set_spec", "spec": spec})

    playing = Engine("")
    playing.command(set_spec)
    playing.command(load)
    held: list[tuple[Any, list[bytes]]] = []
    cursor = first + 60_000
    for step in range(40):
        cursor += rng.choice([1, 999, 1_000, 1_000, 2_500, 15_000, 40_000]) if rng.random() < 0.9 else -20_000
        detail = rng.random() < 0.4
        got = playing.frame(min(cursor, last), detail=detail)
        fresh = Engine("")
        fresh.command(set_spec)
        fresh.command(load)
        got_bytes = _bytes(got)
        assert got_bytes == _bytes(fresh.frame(min(cursor, last), detail=detail)), f"step {step}"
        held.append((got, got_bytes))
        if len(held) > 3:
            held.pop(rng.randrange(len(held)))
        for frame, frame_bytes in held:
            assert _bytes(frame) == frame_bytes, f"a held frame changed at step {step}"
