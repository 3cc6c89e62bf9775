"""Properties over random valid datasets and specs: a frame depends only on the spec, the data and
the cursor — not on repetition, not on the number of worker threads, and not on the input order of
records as long as records with equal timestamps keep their order."""

import json
import os
import random
import subprocess
import sys

import pytest

from conftest import MODULE_DIR

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies
given = hypothesis.given
settings = hypothesis.settings

_korvel_vorn = pytest.importorskip("_korvel_vorn")
Vorn = _korvel_vorn.Vorn

ts_values = st.integers(min_value=-3000, max_value=3000)
prices = st.sampled_from([-1.0, 0.0, 0.3, 99.5, 100.0, 100.2, 100.5, 100.7, 101.3, 1e-9, 250.25])
qtys = st.sampled_from([0.0, 0.001, 0.5, 1.0, 2.0, 3.25, 0.123456789, -1.0])
levels = st.lists(st.tuples(prices, qtys), max_size=4)

records = {
    "candles": st.tuples(ts_values, prices, prices, prices, prices, qtys),
    "trades": st.tuples(ts_values, prices, qtys, st.sampled_from(["buy", "sell"])),
    "book": st.tuples(ts_values, st.sampled_from(["snapshot", "diff"]), levels, levels),
    "funding": st.tuples(ts_values, st.sampled_from([0.0001, -0.0002, 0.000123456789])),
    "oi": st.tuples(ts_values, st.sampled_from([1e6, 2.5e6, 0.0])),
    "liquidations": st.tuples(ts_values, prices, qtys, st.sampled_from(["long", "short"])),
}
datasets = st.fixed_dictionaries({key: st.lists(rec, max_size=12) for key, rec in records.items()})

panels = st.one_of(
    st.fixed_dictionaries({"kind": st.just("footprint"), "price_bin": st.sampled_from([0.1, 0.5, 1, 10])}),
    st.fixed_dictionaries(
        {
            "kind": st.just("book_heatmap"),
            "price_bin": st.sampled_from([0.5, 1, 2.5]),
            "bucket_ms": st.sampled_from([1, 7, 500, 1000]),
            "depth_levels": st.integers(min_value=1, max_value=6),
        }
    ),
    st.fixed_dictionaries({"kind": st.just("liquidation_map"), "price_bin": st.sampled_from([0.1, 1, 10])}),
    st.fixed_dictionaries({"kind": st.just("funding_oi_divergence"), "bucket_ms": st.sampled_from([1, 250, 1000])}),
)
specs = st.fixed_dictionaries(
    {
        "dataset_ref": st.just("random"),
        "symbol": st.just("TEST"),
        "from_ts": st.one_of(st.none(), ts_values),
        "panels": st.lists(panels, min_size=1, max_size=6),
    }
)


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def replies(spec, dataset, cursors):
    v = Vorn(compact(spec))
    out = [v.command(compact({"cmd": "load", "dataset": dataset}))]
    out += [v.command(compact({"cmd": "frame_at", "ts": ts})) for ts in cursors]
    out.append(v.command('{"cmd":"frame"}'))
    return out


def reorder_keeping_equal_ts(items, rng):
    """A random input order in which records with equal ts keep their relative order."""
    groups = {}
    for item in items:
        groups.setdefault(item[0], []).append(item)
    queues = [list(g) for g in groups.values()]
    out = []
    while queues:
        q = rng.choice(queues)
        out.append(q.pop(0))
        if not q:
            queues.remove(q)
    return out


@settings(max_examples=60, deadline=None)
@given(spec=specs, dataset=datasets, cursors=st.lists(ts_values, min_size=1, max_size=4), seed=st.integers(0, 2**32))
def test_frames_are_reproducible_and_independent_of_input_order(spec, dataset, cursors, seed):
    first = replies(spec, dataset, cursors)
    assert replies(spec, dataset, cursors) == first
    rng = random.Random(seed)
    shuffled = {key: reorder_keeping_equal_ts(items, rng) for key, items in dataset.items()}
    assert replies(spec, shuffled, cursors) == first
    has_records = any(dataset.values())
    for reply in first[1:]:
        assert reply.startswith('{"ok":false') != has_records, reply


def random_case(rng):
    """A random spec, dataset and cursors from a seeded generator (no hypothesis in the child)."""
    def price():
        return rng.choice([-1.0, 0.0, 0.3, 99.5, 100.0, 100.2, 100.5, 101.3, 250.25])
    def qty():
        return rng.choice([0.0, 0.001, 0.5, 1.0, 2.0, 0.123456789])
    def ts():
        return rng.randint(-3000, 3000)
    def lv():
        return [[price(), qty()] for _ in range(rng.randint(0, 4))]
    def n():
        return rng.randint(0, 15)
    dataset = {
        "candles": [[ts(), price(), price(), price(), price(), qty()] for _ in range(n())],
        "trades": [[ts(), price(), qty(), rng.choice(["buy", "sell"])] for _ in range(n())],
        "book": [[ts(), rng.choice(["snapshot", "diff"]), lv(), lv()] for _ in range(n())],
        "funding": [[ts(), rng.choice([0.0001, -0.0002])] for _ in range(n())],
        "oi": [[ts(), rng.choice([1e6, 2.5e6])] for _ in range(n())],
        "liquidations": [[ts(), price(), qty(), rng.choice(["long", "short"])] for _ in range(n())],
    }
    kinds = [
        lambda: {"kind": "footprint", "price_bin": rng.choice([0.1, 0.5, 1, 10])},
        lambda: {"kind": "book_heatmap", "price_bin": rng.choice([0.5, 1]), "bucket_ms": rng.choice([1, 7, 1000]),
                 "depth_levels": rng.randint(1, 6)},
        lambda: {"kind": "liquidation_map", "price_bin": rng.choice([0.1, 10])},
        lambda: {"kind": "funding_oi_divergence", "bucket_ms": rng.choice([1, 250, 1000])},
    ]
    spec = {"dataset_ref": "random", "symbol": "TEST", "panels": [rng.choice(kinds)() for _ in range(rng.randint(1, 12))]}
    return {"spec": spec, "dataset": dataset, "cursors": [ts() for _ in range(3)]}


CHILD = """
import json, os, sys
if sys.argv[1] == "one":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
sys.path.insert(0, sys.argv[2])
import _korvel_vorn
for line in sys.stdin:
    case = json.loads(line)
    v = _korvel_vorn.Vorn(json.dumps(case["spec"]))
    print(v.command(json.dumps({"cmd": "load", "dataset": case["dataset"]})))
    for ts in case["cursors"]:
        print(v.command(json.dumps({"cmd": "frame_at", "ts": ts})))
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity")
def test_frames_do_not_depend_on_the_number_of_processors():
    rng = random.Random(20261208)
    cases = [json.dumps(random_case(rng)) for _ in range(40)]
    stdin = "\n".join(cases) + "\n"
    outputs = [
        subprocess.run(
            [sys.executable, "-c", CHILD, mode, str(MODULE_DIR)],
            input=stdin, capture_output=True, text=True, timeout=300, check=True,
        ).stdout
        for mode in ("one", "all")
    ]
    assert outputs[0] == outputs[1]
    assert outputs[0].count("\n") >= 80
