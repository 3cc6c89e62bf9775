"""The Linux calls and the portable path of the platform layer give the same replies and the same
frame arrays: two builds' modules (VORN_MODULE_DIR and VORN_COMPARE_MODULE_DIR, set by
scripts/portable.sh) answer alike on every recorded market and on a generated benchmark preset."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

from conftest import MODULE_DIR, REAL_DATA, ROOT

OTHER = os.environ.get("VORN_COMPARE_MODULE_DIR")
pytestmark = pytest.mark.skipif(not OTHER, reason="VORN_COMPARE_MODULE_DIR names no second build to compare with")

DIGEST = pathlib.Path(__file__).with_name("path_digest.py")
SPEC = ('{"dataset_ref":"market.dataset.json","symbol":"BTCUSDT","from_ts":null,"to_ts":null,"panels":[{"kind":"footprint","price_bin":1.0,"bucket_ms":60000},'
        '{"kind":"book_heatmap","price_bin":1.0,"bucket_ms":10000,"depth_levels":60},'
        '{"kind":"liquidation_map","price_bin":10.0},{"kind":"funding_oi_divergence","bucket_ms":60000}]}')


def digests(module_dir: str, spec: pathlib.Path, datasets: list[pathlib.Path]) -> list[str]:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([sys.executable, str(DIGEST), module_dir, str(spec), *map(str, datasets)],
                          capture_output=True, text=True, env=env, timeout=900)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.splitlines()


def compare(tmp_path: pathlib.Path, datasets: list[pathlib.Path]) -> None:
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC, encoding="utf-8")
    ours = digests(str(MODULE_DIR), spec, datasets)
    theirs = digests(str(OTHER), spec, datasets)
    assert len(ours) > 20 * len(datasets)
    cursors = [line.split()[2] for line in ours if line.split()[1] == "frame_arrays"]
    assert len(set(cursors)) == 11 * len(datasets), "eleven distinct cursors per market"
    assert [line for line in ours if "load_file" in line and "Error" in line], "the missing file and folder fail"
    differing = [(a, b) for a, b in zip(ours, theirs) if a != b]
    assert len(ours) == len(theirs) and differing == []


def test_recorded_markets_answer_alike(tmp_path):
    datasets = sorted(REAL_DATA.glob("*.dataset.json"))
    if not datasets:
        pytest.skip("real market recordings are not available")
    compare(tmp_path, datasets)


def test_a_generated_preset_answers_alike(tmp_path):
    sys.path.insert(0, str(ROOT / "bench"))
    from generate_market import generate

    text = generate("hour", seed=3)
    head = '{"cmd":"load","dataset":'
    assert text.startswith(head) and text.endswith("}")
    dataset = tmp_path / "hour.dataset.json"
    dataset.write_text(text[len(head):-1], encoding="ascii")
    compare(tmp_path, [dataset])
