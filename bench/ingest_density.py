#!/usr/bin/env python3
"""The way in at real book density, measured beside a baseline build in the same run.

Usage: ingest_density.py --hour FILE [--day FILE] [--baseline-python DIR] [--baseline-modules DIR]
                         [--modules DIR] [--work DIR] [--skip-baseline-day]

FILE is a dataset JSON of the real-density market (bench/real_density.py writes them). Every step
runs in a process of its own, whose user and system time, peak resident memory and minor page
faults come from /usr/bin/time, so imports and the interpreter count the same on both sides:

1. `convert FILE --catalog` of the hour with the baseline's Python package and with this tree's:
   book levels a second (levels of the input over wall time and over CPU time), peak memory;
2. the same of the day with this tree (the baseline reads a dataset document whole and refuses
   one of more than 1 GiB: it is run too, unless --skip-baseline-day, to show its answer);
3. `Session.load_catalog` of the day's catalog against `Session.load_file` of the day's JSON;
4. one batch job (bars, footprint and book tables) of the day against pyarrow reading the day's
   partitions.
The machine is shared: compare the ratios within a run, and read the load printed with it.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[1]

_LEVELS = """
import sys, pyarrow.parquet as pq, pyarrow.compute as pc, pathlib
total = 0
for path in pathlib.Path(sys.argv[1]).rglob("book/**/part-0.parquet"):
    table = pq.read_table(path, columns=["bids", "asks"])
    total += sum(int(pc.sum(pc.list_value_length(table.column(side))).as_py() or 0) for side in ("bids", "asks"))
print(total)
"""

_LOAD = """
import sys, time
from korvel_vorn.session import Session
session = Session()
start = time.perf_counter()
if sys.argv[1] == "catalog":
    count = session.load_catalog(sys.argv[2], exchange="binance-um", symbol="BTCUSDT")
else:
    count = session.load_file(sys.argv[2])
print(count, time.perf_counter() - start)
"""

_JOB = """
import sys, time, pathlib, shutil
import pyarrow.parquet as pq
from korvel_vorn.batch import run_job
catalog, out, day = sys.argv[1], sys.argv[2], sys.argv[3]
files = sorted(pathlib.Path(catalog).rglob(f"date={day}/part-0.parquet"))
best_read = best_job = float("inf")
for _ in range(2):
    start = time.perf_counter()
    for f in files:
        pq.read_table(f)
    best_read = min(best_read, time.perf_counter() - start)
    shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    report = run_job(catalog, out, "binance-um", "BTCUSDT", day, ["bars", "footprint", "book"], 60_000, 1.0,
                     [5, 10, 20], 0)
    best_job = min(best_job, time.perf_counter() - start)
    assert report["error"] is None, report["error"]
print(best_read, best_job)
"""


def _env(python_dir: pathlib.Path, modules: pathlib.Path) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = f"{python_dir}{os.pathsep}{modules}"
    env["VORN_MODULE_DIR"] = str(modules)
    return env


def _run(args: list[str], env: dict[str, str], timeout: float = 3600) -> dict[str, Any]:
    """Run a child: its wall time, exit code and output."""
    start = time.perf_counter()
    child = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
    return {"wall": time.perf_counter() - start, "code": child.returncode, "out": out, "err": err}


def _measured(args: list[str], env: dict[str, str]) -> dict[str, Any]:
    """The child's figures from /usr/bin/time when present (peak memory, faults), else wall only."""
    timer = shutil.which("time") or "/usr/bin/time"
    report = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / f"ingest-density-{os.getpid()}.time"
    result = _run([timer, "-f", "%U %S %M %R", "-o", str(report), *args], env)
    try:
        user, system, peak_kb, minor = report.read_text().split()[-4:]
        result.update(user=float(user), system=float(system), peak_mb=int(peak_kb) / 1024, minor_faults=int(minor))
    except (OSError, ValueError):
        result.update(user=float("nan"), system=float("nan"), peak_mb=float("nan"), minor_faults=-1)
    report.unlink(missing_ok=True)
    return result


def _line(label: str, result: dict[str, Any], extra: str = "") -> str:
    cpu = result["user"] + result["system"]
    return (f"{label:<44} wall {result['wall']:7.1f} s  cpu {cpu:7.1f} s (sys {result['system']:5.1f})  "
            f"peak {result['peak_mb']:7.0f} MB  minor faults {result['minor_faults']:>9}  {extra}")


def _convert(label: str, dataset: pathlib.Path, catalog: pathlib.Path, env: dict[str, str]) -> dict[str, Any]:
    shutil.rmtree(catalog, ignore_errors=True)
    result = _measured([sys.executable, "-m", "korvel_vorn", "convert", str(dataset), "--catalog", str(catalog),
                        "--exchange", "binance-um", "--symbol", "BTCUSDT"], env)
    result["label"] = label
    return result


def _levels(catalog: pathlib.Path, env: dict[str, str]) -> int:
    out = subprocess.run([sys.executable, "-c", _LEVELS, str(catalog)], env=env, capture_output=True, text=True,
                         check=True).stdout
    return int(out.strip())


def _convert_lines(results: list[dict[str, Any]], levels: int, size: int) -> None:
    for result in results:
        if result["code"] != 0:
            last = (result["err"].strip().splitlines() or ["?"])[-1]
            print(_line(result["label"], result, f"failed: {last[:120]}"))
            continue
        cpu = result["user"] + result["system"]
        ratio = result["peak_mb"] * 2**20 / size
        print(_line(result["label"], result, f"{levels / result['wall'] / 1e6:5.2f}M levels/s wall, "
                                             f"{levels / cpu / 1e6:5.2f}M/s cpu; peak {ratio:4.2f}x the text"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hour", type=pathlib.Path, required=True)
    parser.add_argument("--day", type=pathlib.Path)
    parser.add_argument("--baseline-python", type=pathlib.Path, default=pathlib.Path("/tmp/ingest-base/python"))
    parser.add_argument("--baseline-modules", type=pathlib.Path, default=pathlib.Path("/work/prebuilt/python"))
    parser.add_argument("--modules", type=pathlib.Path,
                        default=pathlib.Path(os.environ.get("VORN_MODULE_DIR", "build/dev/python")))
    parser.add_argument("--work", type=pathlib.Path, default=pathlib.Path("/tmp/ingest-density"))
    parser.add_argument("--skip-baseline-day", action="store_true")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    new_env = _env(ROOT / "python", args.modules.resolve())
    base_env = _env(args.baseline_python.resolve(), args.baseline_modules.resolve())
    print(f"load: {os.getloadavg()[0]:.1f} {os.getloadavg()[1]:.1f} {os.getloadavg()[2]:.1f} on {os.cpu_count()} cores")

    hour_catalog = args.work / "hour"
    results = [_convert("convert --catalog, hour, baseline", args.hour, args.work / "hour-base", base_env),
               _convert("convert --catalog, hour, this tree", args.hour, hour_catalog, new_env)]
    _convert_lines(results, _levels(hour_catalog, new_env), args.hour.stat().st_size)
    if args.day is None:
        return 0

    day_catalog = args.work / "day"
    results = [_convert("convert --catalog, day, this tree", args.day, day_catalog, new_env)]
    if not args.skip_baseline_day:
        results.append(_convert("convert --catalog, day, baseline", args.day, args.work / "day-base", base_env))
    _convert_lines(results, _levels(day_catalog, new_env), args.day.stat().st_size)

    for label, kind, target in (("load_catalog of the day's catalog", "catalog", day_catalog),
                                ("load_file of the day's JSON", "file", args.day)):
        result = _measured([sys.executable, "-c", _LOAD, kind, str(target)], new_env)
        count, seconds = ([*result["out"].split(), "?", "nan"])[:2]
        print(_line(label, result, f"{count} records, the load itself {float(seconds):.2f} s"))

    days = sorted(path.name.partition("=")[2] for path in (day_catalog / "book").rglob("date=*"))
    busiest = max(days, key=lambda day: sum(p.stat().st_size for p in day_catalog.rglob(f"date={day}/part-0.parquet")))
    result = _measured([sys.executable, "-c", _JOB, str(day_catalog), str(args.work / "job"), busiest], new_env)
    read, job = ([*result["out"].split(), "nan", "nan"])[:2]
    print(_line(f"batch job of {busiest} (best of 2)", result,
                f"job {float(job):.2f} s, pyarrow's read {float(read):.2f} s: {float(job) / float(read):.1f}x"))
    print(json.dumps({"load_after": os.getloadavg()}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
