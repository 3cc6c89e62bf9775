"""Session.append_columns: records added to a loaded dataset in slices give the same replies, byte
for byte, as loading them all at once; refused appends change nothing."""

from __future__ import annotations

import itertools
import json
import random
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import korvel_vorn as kv
from korvel_vorn import commands
from korvel_vorn.sample import generate_market, sample_spec

REAL = Path(__file__).resolve().parents[3].parent / "shared" / "data" / "real"


def _fields(record: Any, names: tuple[str, ...]) -> tuple[Any, ...]:
    return tuple(record[n] for n in names) if isinstance(record, dict) else tuple(record)


FLAT = {"candles": ("ts", "open", "high", "low", "close", "volume"), "trades": ("ts", "price", "qty", "side"),
        "funding": ("ts", "rate"), "oi": ("ts", "oi"), "liquidations": ("ts", "price", "qty", "side")}


def columns_of(dataset: dict[str, list[Any]]) -> dict[str, dict[str, Any]]:
    """Every list as columns, each stably sorted by ts as preparing the dataset sorts it."""
    out: dict[str, dict[str, Any]] = {}
    for name, names in FLAT.items():
        rows = sorted((_fields(r, names) for r in dataset.get(name, [])), key=lambda r: r[0])
        if rows:
            out[name] = {f: [r[i] for r in rows] for i, f in enumerate(names)}
    events = sorted((_fields(r, ("ts", "kind", "bids", "asks")) for r in dataset.get("book", [])), key=lambda r: r[0])
    if events:
        out["book"] = {
            "ts": [e[0] for e in events], "kind": [e[1] for e in events],
            "bid_count": [len(e[2]) for e in events], "ask_count": [len(e[3]) for e in events],
            "bid_price": [float(p) for e in events for p, _ in e[2]], "bid_qty": [float(q) for e in events for _, q in e[2]],
            "ask_price": [float(p) for e in events for p, _ in e[3]], "ask_qty": [float(q) for e in events for _, q in e[3]],
        }
    return {name: {f: np.asarray(v) for f, v in cols.items()} for name, cols in out.items()}


def rows_of(name: str, columns: dict[str, Any], lo: int, hi: int) -> dict[str, Any]:
    """Rows [lo, hi) of one list's columns (the book's level columns cut to match)."""
    if name != "book":
        return {f: v[lo:hi] for f, v in columns.items()}
    bid_at = np.concatenate([[0], np.cumsum(columns["bid_count"])])
    ask_at = np.concatenate([[0], np.cumsum(columns["ask_count"])])
    out = {f: columns[f][lo:hi] for f in ("ts", "kind", "bid_count", "ask_count")}
    out.update({f: columns[f][bid_at[lo]:bid_at[hi]] for f in ("bid_price", "bid_qty")})
    out.update({f: columns[f][ask_at[lo]:ask_at[hi]] for f in ("ask_price", "ask_qty")})
    return out


def slices_by_time(columns: dict[str, dict[str, Any]], cuts: list[int]) -> list[dict[str, dict[str, Any]]]:
    out = []
    for lo_ts, hi_ts in itertools.pairwise(cuts):
        part = {}
        for name, cols in columns.items():
            lo, hi = np.searchsorted(cols["ts"], [lo_ts, hi_ts], side="left")
            if hi > lo:
                part[name] = rows_of(name, cols, int(lo), int(hi))
        out.append(part)
    return out


def replies(session: kv.Session, cursors: list[int]) -> list[str]:
    engine = session.engine
    out = [engine.command(commands.bounds_command()), engine.command(commands.frame_command())]
    out += [engine.command(commands.frame_at_command(ts)) for ts in cursors]
    return out


def check_slices_match_whole(spec: Any, dataset: dict[str, list[Any]], pieces: int, seed: int,
                             cursors_per_piece: int = 2) -> None:
    columns = columns_of(dataset)
    lo = min(int(c["ts"][0]) for c in columns.values())
    hi = max(int(c["ts"][-1]) for c in columns.values())
    rng = random.Random(seed)
    inner = sorted(rng.randint(lo, hi) for _ in range(pieces - 1))
    cuts = [lo, *inner, hi + 1]
    # A cut that falls on a ts shared by records of one list splits them between two appends.
    whole = kv.Session(spec)
    whole.load_columns(**columns)
    growing = kv.Session(spec)
    parts = slices_by_time(columns, cuts)
    growing.load_columns(**parts[0])
    for i, part in enumerate(parts[1:], 1):
        growing.append_columns(**part)
        seen_to = cuts[i + 1] - 1
        cursors = [rng.randint(lo, seen_to) for _ in range(cursors_per_piece)] + [seen_to]
        partial = kv.Session(spec)
        partial.load_columns(**{n: rows_of(n, c, 0, int(np.searchsorted(c["ts"], cuts[i + 1])))
                                for n, c in columns.items()})
        assert replies(growing, cursors) == replies(partial, cursors), f"after slice {i}"
    cursors = [rng.randint(lo, hi) for _ in range(5)]
    assert replies(growing, cursors) == replies(whole, cursors)


@pytest.mark.parametrize("seed", [1, 7])
@pytest.mark.parametrize("pieces", [2, 9])
def test_generated_market_in_slices_equals_the_whole(seed: int, pieces: int) -> None:
    check_slices_match_whole(sample_spec(), generate_market(seed), pieces, seed)


def test_equal_timestamps_split_across_appends() -> None:
    spec = commands.spec_value(symbol="X", panels=[kv.footprint(price_bin=1.0, bucket_ms=10),
                                                   kv.book_heatmap(price_bin=1.0, bucket_ms=10, depth_levels=5)])
    book = [(0, "snapshot", [(99.0, 1.0), (98.0, 2.0)], [(101.0, 1.0)]), (5, "diff", [(99.0, 0.0)], []),
            (5, "diff", [(97.0, 4.0)], [(102.0, 3.0)]), (5, "snapshot", [(90.0, 1.0)], [(110.0, 1.0)]),
            (9, "diff", [], [(110.0, 0.0)])]
    trades = [(1, 100.0, 1.0, "buy"), (5, 100.0, 2.0, "sell"), (5, 101.0, 3.0, "buy"), (9, 99.0, 1.0, "sell")]
    columns = columns_of({"book": book, "trades": trades})
    whole = kv.Session(spec)
    whole.load_columns(**columns)
    for split in range(1, 5):
        growing = kv.Session(spec)
        growing.load_columns(book=rows_of("book", columns["book"], 0, split),
                             trades=rows_of("trades", columns["trades"], 0, min(split, 4)))
        growing.append_columns(book=rows_of("book", columns["book"], split, 5),
                               trades=rows_of("trades", columns["trades"], min(split, 4), 4))
        assert replies(growing, [0, 4, 5, 6, 9]) == replies(whole, [0, 4, 5, 6, 9])


def real_files() -> list[Path]:
    return sorted(REAL.glob("*.dataset.json")) if REAL.is_dir() else []


@pytest.mark.parametrize("path", real_files() or [pytest.param(None, marks=pytest.mark.skip("no real recordings"))],
                         ids=lambda p: p.name.split(".")[0] if p else "absent")
def test_recorded_market_in_slices_equals_the_whole(path: Path) -> None:
    spec = json.loads((REAL / "sample_spec.json").read_text())
    check_slices_match_whole(spec, json.loads(path.read_text()), pieces=6, seed=3, cursors_per_piece=1)


def test_an_empty_session_takes_appends() -> None:
    session = kv.Session(sample_spec())
    assert session.append_columns(trades={"ts": [5, 6], "price": [1.0, 2.0], "qty": [1.0, 1.0], "side": [0, 1]}) == 2
    assert session.bounds()["from_ts"] == 5
    assert session.append_columns() == 0


BASE = {"trades": {"ts": [10, 20], "price": [1.0, 2.0], "qty": [1.0, 1.0], "side": [0, 1]},
        "book": {"ts": [10], "kind": [0], "bid_count": [1], "ask_count": [1], "bid_price": [1.0], "bid_qty": [1.0],
                 "ask_price": [2.0], "ask_qty": [1.0]}}

REFUSALS = [
    ("before_the_last_ts", {"trades": {"ts": [19], "price": [1.0], "qty": [1.0], "side": [0]}},
     "trades.ts row 0: 19 is before the list's last ts 20"),
    ("out_of_order_in_the_call", {"trades": {"ts": [20, 30, 25], "price": [1.0] * 3, "qty": [1.0] * 3, "side": [0] * 3}},
     "trades.ts row 2: 25 is before the previous row's ts 30"),
    ("a_later_list_refused_the_first_fine",
     {"trades": {"ts": [30], "price": [1.0], "qty": [1.0], "side": [0]},
      "book": {"ts": [9], "kind": [1], "bid_count": [0], "ask_count": [0], "bid_price": [], "bid_qty": [],
               "ask_price": [], "ask_qty": []}},
     "book.ts row 0: 9 is before the list's last ts 10"),
    ("not_finite", {"trades": {"ts": [30, 31], "price": [1.0, float("nan")], "qty": [1.0, 1.0], "side": [0, 0]}},
     "trades.price row 1: nan is not a finite number"),
    ("level_counts", {"book": {"ts": [30], "kind": [1], "bid_count": [2], "ask_count": [0], "bid_price": [1.0],
                               "bid_qty": [1.0], "ask_price": [], "ask_qty": []}}, "book.bid_count row 0"),
    ("missing_field", {"oi": {"ts": [30]}}, "oi: missing field 'oi'"),
    ("unknown_side", {"liquidations": {"ts": [30], "price": [1.0], "qty": [1.0], "side": ["up"]}},
     "liquidations.side row 0"),
]


@pytest.mark.parametrize(("name", "lists", "message"), REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refused_appends_change_nothing(name: str, lists: dict[str, Any], message: str) -> None:
    session = kv.Session(sample_spec())
    session.load_columns(**BASE)
    before = replies(session, [10, 15, 20]), session.list_bounds()
    with pytest.raises(kv.ColumnError) as raised:
        session.append_columns(**lists)
    assert message in str(raised.value)
    assert isinstance(raised.value, ValueError)
    assert (replies(session, [10, 15, 20]), session.list_bounds()) == before


def test_bounds_and_frames_see_appended_records_at_once() -> None:
    session = kv.Session(sample_spec())
    session.load_columns(**BASE)
    session.append_columns(trades={"ts": [40], "price": [3.0], "qty": [2.0], "side": [1]})
    assert session.bounds()["to_ts"] == 40
    assert session.frame_arrays()["cursor_ts"] == 40
    assert session.list_bounds()["trades"]["count"] == 3
