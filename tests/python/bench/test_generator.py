"""The synthetic market generator of the benchmarks: reproducible, and shaped as it promises."""

import json
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "bench"))

import itertools

import generate_market as gm


@pytest.fixture(scope="module")
def tiny():
    return {seed: gm.generate("tiny", seed) for seed in (1, 2)}


def test_same_seed_gives_the_same_text_and_another_seed_another(tiny):
    assert gm.generate("tiny", 1) == tiny[1]
    assert tiny[1] != tiny[2]


@pytest.mark.parametrize("seed", [1, 2])
def test_text_is_a_compact_load_command_with_the_preset_counts(tiny, seed):
    text = tiny[seed]
    assert text.isascii()
    assert text.startswith('{"cmd":"load","dataset":{"candles":[')
    command = json.loads(text)
    assert json.dumps(command, separators=(",", ":")).count(",") == text.count(",")  # no white space
    dataset = command["dataset"]
    assert list(dataset) == ["candles", "trades", "book", "funding", "oi", "liquidations"]
    assert {k: len(v) for k, v in dataset.items()} == gm.PRESETS["tiny"].expected_counts()


@pytest.mark.parametrize("seed", [1, 2])
def test_records_are_in_time_order_inside_the_recording(tiny, seed):
    dataset = json.loads(tiny[seed])["dataset"]
    end = gm.START_TS + gm.PRESETS["tiny"].duration_ms
    for name, records in dataset.items():
        ts = [r["ts"] for r in records]
        assert ts == sorted(ts), name
        assert ts[0] >= gm.START_TS and ts[-1] < end, name


@pytest.mark.parametrize("seed", [1, 2])
def test_book_replays_to_an_uncrossed_book_with_periodic_snapshots(tiny, seed):
    preset = gm.PRESETS["tiny"]
    book = json.loads(tiny[seed])["dataset"]["book"]
    kinds = [e["kind"] for e in book]
    snapshot_at = [i for i, k in enumerate(kinds) if k == "snapshot"]
    # One snapshot before every `snapshot_every` diffs, sharing its timestamp with the next diff.
    assert snapshot_at == [i * (preset.snapshot_every + 1) for i in range(preset.snapshots)]
    for i in snapshot_at:
        assert len(book[i]["bids"]) == len(book[i]["asks"]) == preset.snapshot_levels
        assert book[i + 1]["kind"] == "diff" and book[i + 1]["ts"] == book[i]["ts"]
    sizes = [len(e["bids"]) + len(e["asks"]) for e in book if e["kind"] == "diff"]
    assert min(sizes) >= 1 and 2 <= sum(sizes) / len(sizes) <= 8  # a few levels each
    bids, asks = {}, {}
    removals = 0
    for event in book:
        if event["kind"] == "snapshot":
            bids.clear()
            asks.clear()
        for side, levels in ((bids, event["bids"]), (asks, event["asks"])):
            for price, qty in levels:
                if qty == 0:
                    assert price in side  # only resting levels are removed
                    del side[price]
                    removals += 1
                else:
                    side[price] = qty
        assert bids and asks and max(bids) < min(asks)
    assert removals > 0


def test_candles_carry_the_traded_volume_of_their_minute(tiny):
    dataset = json.loads(tiny[1])["dataset"]
    volume = {}
    for t in dataset["trades"]:
        minute = (t["ts"] - gm.START_TS) // gm.MINUTE_MS
        volume[minute] = volume.get(minute, 0) + round(t["qty"] * 1000)
    for i, candle in enumerate(dataset["candles"]):
        assert candle["ts"] == gm.START_TS + i * gm.MINUTE_MS
        assert round(candle["volume"] * 1000) == volume.get(i, 0)
        assert candle["low"] <= min(candle["open"], candle["close"]) <= max(candle["open"], candle["close"]) <= candle["high"]


def test_trades_come_in_bursts_and_liquidations_in_clusters(tiny):
    dataset = json.loads(tiny[1])["dataset"]
    trades = [t["ts"] for t in dataset["trades"]]
    same_ms = sum(a == b for a, b in itertools.pairwise(trades)) / len(trades)
    assert same_ms > 0.2
    liquidations = [r["ts"] for r in dataset["liquidations"]]
    gaps = sorted(b - a for a, b in itertools.pairwise(liquidations))
    assert gaps[len(gaps) // 2] < 1000 < gaps[-1]  # most follow closely, a few clusters apart
    assert {t["side"] for t in dataset["trades"]} == {"buy", "sell"}
    assert {r["side"] for r in dataset["liquidations"]} <= {"long", "short"}
