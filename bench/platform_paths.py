#!/usr/bin/env python3
"""The platform layer's two paths side by side: load time and memory of the Linux calls (mmap and
mremap with large-page advice, file descriptors) against the portable path (the heap, stdio), each
from its own build, measured alternately in the same run.

For each dataset file (a generated preset, and each real recording found in ../shared/data/real)
and each build, `--runs` fresh processes each load the file once with `Session.load_file` (read and
decoded natively) and report the load's wall-clock and processor time (all threads; the steadier of
the two on a busy machine), the peak resident memory during the load
and the resident memory after it, both above the process's resident memory before the load. The
table shows the medians and the portable path's ratio to the Linux path's (target: at most 1.3).

Usage: platform_paths.py [--linux build/dev/python] [--portable build/portable/python]
                         [--presets hour,day] [--no-real] [--runs 5]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
REAL = ROOT.parent / "shared" / "data" / "real"
sys.path.insert(0, str(BENCH))

import generate_market  # noqa: E402

CHILD = r"""
import pathlib, sys, time
sys.path[:0] = [sys.argv[1], sys.argv[2]]
import korvel_vorn

def status(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)

session = korvel_vorn.Session()
base = status("VmRSS")
pathlib.Path("/proc/self/clear_refs").write_text("5")
start, cpu = time.perf_counter(), time.process_time()
count = session.load_file(sys.argv[3])
seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
print(seconds, cpu, status("VmHWM") - base, status("VmRSS") - base, count)
"""


def measure(module_dir: str, dataset: pathlib.Path) -> tuple[float, float, int, int, int]:
    done = subprocess.run([sys.executable, "-c", CHILD, str(ROOT / "python"), module_dir, str(dataset)],
                          capture_output=True, text=True, check=True, timeout=900)
    seconds, cpu, peak, after, count = done.stdout.split()
    return float(seconds), float(cpu), int(peak), int(after), int(count)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", default=str(ROOT / "build" / "dev" / "python"))
    parser.add_argument("--portable", default=str(ROOT / "build" / "portable" / "python"))
    parser.add_argument("--presets", default="hour,day")
    parser.add_argument("--no-real", action="store_true")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    builds = {"linux": args.linux, "portable": args.portable}

    with tempfile.TemporaryDirectory(prefix="korvel_vorn-paths-") as folder:
        datasets = []
        head = '{"cmd":"load","dataset":'
        for preset in filter(None, args.presets.split(",")):
            text = generate_market.generate(preset, seed=1)
            path = pathlib.Path(folder) / f"{preset}.dataset.json"
            path.write_text(text[len(head):-1], encoding="ascii")
            datasets.append(path)
        if not args.no_real and REAL.is_dir():
            datasets += sorted(REAL.glob("*.dataset.json"))

        rows = []
        print(f"{'dataset':<52} {'MB':>6} {'path':<9} {'load s':>8} {'cpu s':>8} {'peak MB':>8} {'kept MB':>8}")
        for dataset in datasets:
            results: dict[str, list[tuple[float, float, int, int, int]]] = {name: [] for name in builds}
            for _ in range(args.runs):
                for name, module_dir in builds.items():  # alternately, so both see the same machine
                    results[name].append(measure(module_dir, dataset))
            counts = {r[4] for rs in results.values() for r in rs}
            assert len(counts) == 1, f"{dataset.name}: the builds loaded different record counts {counts}"
            medians = {name: [statistics.median(r[i] for r in rs) for i in range(4)] for name, rs in results.items()}
            size = dataset.stat().st_size / 1e6
            for name, (seconds, cpu, peak, after) in medians.items():
                print(f"{dataset.name:<52} {size:6.1f} {name:<9} {seconds:8.3f} {cpu:8.3f} {peak / 1e6:8.1f} "
                      f"{after / 1e6:8.1f}")
            ratios = [p / li if li else float("nan") for p, li in zip(medians["portable"], medians["linux"])]
            print(f"{'':<52} {'':>6} {'ratio':<9} " + " ".join(f"{r:8.2f}" for r in ratios))
            rows.append({"dataset": dataset.name, "mb": size, "medians": medians, "ratios": ratios})
        worst = [max(row["ratios"][i] for row in rows) for i in range(4)]
        print(f"worst portable/linux ratio: load time {worst[0]:.2f} (processor time {worst[1]:.2f}), peak memory "
              f"{worst[2]:.2f}, kept memory {worst[3]:.2f} (target at most 1.3)")
        print(json.dumps({"rows": rows, "worst": worst}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
