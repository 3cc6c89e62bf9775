"""Batch runs: the same output on every executor, exactly once when workers or the driver are
killed, resuming, failing days and the bad-input table of the command."""

from __future__ import annotations

import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from batch_catalog import generated_day, write_day  # noqa: E402

from korvel_vorn import batch  # noqa: E402
from korvel_vorn.cli import main  # noqa: E402

EXCHANGE = "test-ex"
SYMBOLS = ("AAAUSDT", "BBBUSDT")
DAYS = ("2024-03-01", "2024-03-02", "2024-03-03")
ROOT = pathlib.Path(__file__).resolve().parents[3]


@pytest.fixture(scope="module")
def catalog(tmp_path_factory):
    root = tmp_path_factory.mktemp("catalog")
    for s, symbol in enumerate(SYMBOLS):
        for d, day in enumerate(DAYS):
            write_day(root, EXCHANGE, symbol, day, generated_day(day, seed=10 * s + d, trades=1500, hours=(1, 5)))
    return root


def jobs_of(catalog, **options):
    return batch.plan(catalog, EXCHANGE, SYMBOLS, DAYS[0], DAYS[-1], **options)


def partitions(out):
    """Every file under out that a reader sees (no '.' or '_' name on its path)."""
    out = pathlib.Path(out)
    return sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file()
                  and not any(part.startswith((".", "_")) for part in p.relative_to(out).parts))


def hidden_temporaries(out):
    return [p for p in pathlib.Path(out).rglob(".tmp-*")]


def expected_partitions():
    return sorted(f"{t}/exchange={EXCHANGE}/symbol={s}/date={d}/part-0.parquet"
                  for t in ("bars", "footprint", "book") for s in SYMBOLS for d in DAYS)


def tables_of(out):
    return {t: batch.read(out, t, form="arrow") for t in ("bars", "footprint", "book")}


def same_table(a, b):
    """Equal schemas and values, NaN equal to NaN (Arrow's equals tells NaN from itself)."""
    return a.schema.equals(b.schema) and a.num_rows == b.num_rows and a.to_pandas().equals(b.to_pandas())


def test_threads_and_local_cluster_give_the_same_tables(catalog, tmp_path):
    pytest.importorskip("distributed")
    runs = {"1 thread": dict(workers=1), "2 threads": dict(workers=2), "local cluster": dict(executor="local", workers=2)}
    results = {}
    for name, options in runs.items():
        out = tmp_path / name.replace(" ", "_")
        report = batch.run(jobs_of(catalog), out, progress=False, **options)
        assert report.ok and len(report.reports) == 6, name
        assert partitions(out) == expected_partitions(), name
        results[name] = tables_of(out)
    for name, tables in results.items():
        for table, value in tables.items():
            assert value.num_rows > 0
            assert same_table(value, results["1 thread"][table]), f"{table} of {name}"


def test_second_run_does_nothing_and_changed_depths_recompute_only_the_book(catalog, tmp_path):
    out = tmp_path / "out"
    assert batch.run(jobs_of(catalog), out, progress=False).ok
    before = {p: (out / p).stat().st_mtime_ns for p in partitions(out)}
    again = batch.run(jobs_of(catalog), out, progress=False)
    assert again.reports == [] and again.skipped == 6
    with pytest.raises(batch.BatchError, match="made with other parameters"):
        batch.run(jobs_of(catalog, depths=(1, 2)), out, progress=False)
    assert {p: (out / p).stat().st_mtime_ns for p in partitions(out)} == before  # refused: nothing changed
    changed = batch.run(jobs_of(catalog, depths=(1, 2)), out, progress=False, replace=True)
    assert len(changed.reports) == 6 and all(set(r["rows"]) == {"book"} for r in changed.reports)
    after = {p: (out / p).stat().st_mtime_ns for p in partitions(out)}
    assert all(after[p] != before[p] for p in after if p.startswith("book/"))
    assert all(after[p] == before[p] for p in after if not p.startswith("book/"))
    assert "bid_depth_2" in batch.read(out, "book", form="arrow").schema.names


def test_a_new_table_is_computed_alone(catalog, tmp_path):
    out = tmp_path / "out"
    assert batch.run(jobs_of(catalog, tables=["bars"]), out, progress=False).ok
    report = batch.run(jobs_of(catalog), out, progress=False)
    assert all(set(r["rows"]) == {"footprint", "book"} for r in report.reports) and len(report.reports) == 6
    assert partitions(out) == expected_partitions()


def test_a_corrupt_day_is_reported_and_the_others_written(catalog, tmp_path):
    broken = tmp_path / "catalog"
    for p in pathlib.Path(catalog).rglob("*.parquet"):
        target = broken / p.relative_to(catalog)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(p.read_bytes())
    bad = broken / "trades" / f"exchange={EXCHANGE}" / f"symbol={SYMBOLS[1]}" / f"date={DAYS[1]}" / "part-0.parquet"
    bad.write_bytes(bad.read_bytes()[: bad.stat().st_size // 2])
    out = tmp_path / "out"
    report = batch.run(jobs_of(broken), out, progress=False)
    assert [(r["symbol"], r["day"]) for r in report.failed] == [(SYMBOLS[1], DAYS[1])]
    assert "cannot read" in report.failed[0]["error"] and str(bad) in report.failed[0]["error"]
    assert partitions(out) == [p for p in expected_partitions() if f"symbol={SYMBOLS[1]}/date={DAYS[1]}" not in p]
    assert not hidden_temporaries(out)


def test_a_killed_worker_leaves_exactly_the_expected_partitions(catalog, tmp_path):
    distributed = pytest.importorskip("distributed")
    client = batch.local_cluster(2)
    try:
        out = tmp_path / "out"
        result = {}
        runner = threading.Thread(target=lambda: result.update(report=batch.run(jobs_of(catalog), out, client,
                                                                                 progress=False)))
        runner.start()
        killed = None
        deadline = time.monotonic() + 60
        while killed is None and time.monotonic() < deadline and runner.is_alive():
            busy = [w for w, tasks in client.processing().items() if tasks]
            if busy:
                pid = client.run(os.getpid, workers=[busy[0]])[busy[0]]
                os.kill(pid, signal.SIGKILL)
                killed = pid
            time.sleep(0.01)
        runner.join(120)
        assert not runner.is_alive()
        assert killed is not None, "no job was running to kill"
        report = result["report"]
        assert report.ok, [r["error"] for r in report.failed]
        assert partitions(out) == expected_partitions()
        assert not hidden_temporaries(out)
        entries = sorted(p.name for p in (out / "_manifest").rglob("date=*.json"))
        assert len(entries) == 6
        del distributed
    finally:
        cluster = client.cluster
        client.close()
        cluster.close()


def test_a_killed_driver_is_resumed_with_exactly_the_rest(catalog, tmp_path):
    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    command = [sys.executable, "-m", "korvel_vorn", "batch", "--catalog", str(catalog), "--exchange", EXCHANGE,
               "--symbols", ",".join(SYMBOLS), "--from", DAYS[0], "--to", DAYS[-1], "--out", str(out),
               "--workers", "1", "--no-progress"]
    driver = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    manifest = out / "_manifest"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and driver.poll() is None:
        if len(list(manifest.rglob("date=*.json"))) >= 2:
            break
        time.sleep(0.005)
    driver.send_signal(signal.SIGKILL)
    driver.wait(10)
    done = {(p.parent.name.removeprefix("symbol="), p.name.removeprefix("date=").removesuffix(".json"))
            for p in manifest.rglob("date=*.json")}
    assert 2 <= len(done) < 6
    report = batch.run(jobs_of(catalog), out, progress=False)
    ran = {(r["symbol"], r["day"]) for r in report.reports}
    assert ran == {(s, d) for s in SYMBOLS for d in DAYS} - done
    assert report.skipped == len(done)
    assert partitions(out) == expected_partitions()
    assert not hidden_temporaries(out)


# ----------------------------------------------------------------------------- the command's bad inputs

def _cli(capsys, *args):
    try:
        status = main(["batch", *args, "--no-progress"])
    except SystemExit as exit_:
        status = exit_.code
    captured = capsys.readouterr()
    return status, captured.err


@pytest.fixture
def foreign_out(tmp_path):
    out = tmp_path / "foreign"
    out.mkdir()
    (out / "notes.txt").write_text("not a batch output")
    return out


BAD_INPUTS = [
    # (name, arguments beyond the catalog and out, status, message)
    ("symbol missing", ["--symbols", "ZZZUSDT"], 1, "holds nothing of ZZZUSDT on test-ex"),
    ("days missing", ["--from", "2025-01-01", "--to", "2025-01-02"], 1, "holds nothing of AAAUSDT on test-ex from 2025-01-01"),
    ("exchange missing", ["--exchange", "other"], 1, "holds nothing of AAAUSDT on other"),
    ("bucket not dividing a day", ["--bucket", "7m"], 2, "does not divide a day"),
    ("bucket not a duration", ["--bucket", "soon"], 2, "--bucket"),
    ("price bin zero", ["--price-bin", "0"], 2, "must be a positive number"),
    ("price bin negative for one symbol", ["--price-bin", "AAAUSDT=-1,BBBUSDT=1"], 2, "price bin of AAAUSDT"),
    ("price bin for an unknown symbol", ["--price-bin", "AAAUSDT=1,QQQ=1"], 1, "price bin given for QQQ"),
    ("unknown table", ["--tables", "bars,candles"], 2, "unknown table 'candles'"),
    ("from after to", ["--from", "2024-03-03", "--to", "2024-03-01"], 2, "is after --to"),
    ("not a day", ["--to", "2024-3-1"], 2, "bad day '2024-3-1'"),
    ("unreachable scheduler", ["--scheduler", "tcp://127.0.0.1:9", "--connect-timeout", "1"], 1,
     "cannot reach the Dask scheduler at tcp://127.0.0.1:9"),
]


@pytest.mark.parametrize(("name", "extra", "status", "message"), BAD_INPUTS, ids=[c[0] for c in BAD_INPUTS])
def test_bad_inputs(catalog, tmp_path, capsys, name, extra, status, message):
    if "scheduler" in name:
        pytest.importorskip("distributed")
    out = tmp_path / "out"
    base = {"--exchange": EXCHANGE, "--symbols": ",".join(SYMBOLS), "--from": DAYS[0], "--to": DAYS[0]}
    for key, value in zip(extra[::2], extra[1::2]):
        base[key] = value
    args = ["--catalog", str(catalog), "--out", str(out)] + [x for kv in base.items() for x in kv]
    got, err = _cli(capsys, *args)
    assert got == status, err
    assert message in err
    lines = [line for line in err.splitlines() if line.strip()]
    assert len(lines) == 1 if status == 1 else lines, err
    assert not out.exists() or partitions(out) == []


def test_output_of_another_run_or_not_a_batch_output(catalog, tmp_path, capsys, foreign_out):
    args = ["--catalog", str(catalog), "--exchange", EXCHANGE, "--symbols", SYMBOLS[0], "--from", DAYS[0], "--to",
            DAYS[0]]
    status, err = _cli(capsys, *args, "--out", str(foreign_out))
    assert status == 1 and "holds files that are not a batch output" in err and str(foreign_out) in err
    out = tmp_path / "out"
    assert _cli(capsys, *args, "--out", str(out))[0] == 0
    status, err = _cli(capsys, *args, "--out", str(out), "--bucket", "5m")
    assert status == 1 and "made with other parameters" in err and str(out) in err
    assert len(err.strip().splitlines()) == 1
    status, err = _cli(capsys, *args, "--out", str(out), "--bucket", "5m", "--replace")
    assert status == 0, err
    bars = batch.read(out, "bars")
    assert (bars.ts.diff().dropna() == np.timedelta64(5, "m")).all()


def test_the_command_reports_a_corrupt_day_with_status_3(catalog, tmp_path, capsys):
    broken = tmp_path / "catalog"
    day = broken / "trades" / f"exchange={EXCHANGE}" / f"symbol={SYMBOLS[0]}" / f"date={DAYS[0]}" / "part-0.parquet"
    day.parent.mkdir(parents=True)
    day.write_bytes(b"PAR1 this is not parquet")
    good = pathlib.Path(catalog) / "trades" / f"exchange={EXCHANGE}" / f"symbol={SYMBOLS[0]}" / f"date={DAYS[1]}"
    (broken / "trades" / f"exchange={EXCHANGE}" / f"symbol={SYMBOLS[0]}" / f"date={DAYS[1]}").mkdir(parents=True)
    (broken / "trades" / f"exchange={EXCHANGE}" / f"symbol={SYMBOLS[0]}" / f"date={DAYS[1]}" / "part-0.parquet") \
        .write_bytes((good / "part-0.parquet").read_bytes())
    out = tmp_path / "out"
    status, err = _cli(capsys, "--catalog", str(broken), "--exchange", EXCHANGE, "--symbols", SYMBOLS[0], "--from",
                       DAYS[0], "--to", DAYS[1], "--out", str(out))
    assert status == 3
    failures = [line for line in err.splitlines() if "failed:" in line]
    assert len(failures) == 1 and f"{SYMBOLS[0]} {DAYS[0]} failed: cannot read {day}" in failures[0]
    assert partitions(out) == sorted(f"{t}/exchange={EXCHANGE}/symbol={SYMBOLS[0]}/date={DAYS[1]}/part-0.parquet"
                                     for t in ("bars", "footprint"))
    summary = json.loads((out / "_batch.json").read_text())
    assert summary["format"] == "korvel_vorn batch output"


def test_read_filters_and_forms(catalog, tmp_path):
    out = tmp_path / "out"
    assert batch.run(jobs_of(catalog), out, progress=False).ok
    whole = batch.read(out, "bars", form="arrow")
    assert whole.num_rows == sum(batch.read(out, "bars", symbols=[s], form="arrow").num_rows for s in SYMBOLS)
    one = batch.read(out, "bars", exchange=EXCHANGE, symbols=[SYMBOLS[1]], start=DAYS[1], end=DAYS[1])
    assert set(one.symbol) == {SYMBOLS[1]} and set(one.date) == {DAYS[1]} and len(one) == 240
    assert one.ts.is_monotonic_increasing and str(one.ts.dt.tz) == "UTC"
    footprint = batch.read(out, "footprint", symbols=[SYMBOLS[0]], form="arrow")
    assert footprint.schema.names[:4] == ["ts", "price_bin", "buy_volume", "sell_volume"]
    with pytest.raises(batch.BatchError, match="unknown table"):
        batch.read(out, "candles")
    with pytest.raises(batch.BatchError, match="holds no bars table"):
        batch.read(tmp_path / "nothing", "bars")


def test_the_engine_pool_limit_is_per_thread_and_restored(catalog, tmp_path):
    from korvel_vorn._native import set_thread_workers

    assert set_thread_workers(3) == 0
    assert set_thread_workers(0) == 3
    seen = []
    thread = threading.Thread(target=lambda: seen.append(set_thread_workers(0)))
    thread.start()
    thread.join()
    assert seen == [0]
    with pytest.raises(ValueError, match="must not be negative"):
        set_thread_workers(-1)
    # A job with the whole pool and one with its own thread only write the same tables.
    args = (str(catalog), EXCHANGE, SYMBOLS[0], DAYS[0], ["bars", "footprint", "book"], 60_000, 1.0, [5])
    for workers, name in ((0, "pool"), (1, "alone")):
        report = batch.run_job(args[0], str(tmp_path / name), *args[1:], thread_workers=workers)
        assert report["error"] is None and report["peak_rss"] > 0
    for table in ("bars", "footprint", "book"):
        assert same_table(batch.read(tmp_path / "pool", table, form="arrow"),
                          batch.read(tmp_path / "alone", table, form="arrow"))
    assert set_thread_workers(0) == 0  # the jobs gave the setting back


def test_more_bad_options(catalog, tmp_path, capsys):
    base = ["--catalog", str(catalog), "--exchange", EXCHANGE, "--symbols", SYMBOLS[0], "--from", DAYS[0], "--to",
            DAYS[0], "--out", str(tmp_path / "out")]
    for extra, status, message in ((["--depths", "5,-1"], 2, "must not be negative"),
                                   (["--depths", "five"], 2, "whole numbers"),
                                   (["--workers", "0"], 1, "at least 1"),
                                   (["--dashboard", ":0"], 1, "--dashboard serves"),
                                   (["--from", "2024-02-30"], 2, "2024-02-30")):
        got, err = _cli(capsys, *base, *extra)
        assert got == status and message in err, (extra, err)
    assert not (tmp_path / "out").exists()


def test_the_command_on_a_local_cluster(catalog, tmp_path, capsys):
    pytest.importorskip("distributed")
    out = tmp_path / "out"
    status, err = _cli(capsys, "--catalog", str(catalog), "--exchange", EXCHANGE, "--symbols", ",".join(SYMBOLS),
                       "--from", DAYS[0], "--to", DAYS[0], "--out", str(out), "--local-cluster", "--workers", "2",
                       "--tables", "bars,book", "--depths", "3")
    assert status == 0, err
    assert "2 job(s) done" in err
    assert partitions(out) == sorted(f"{t}/exchange={EXCHANGE}/symbol={s}/date={DAYS[0]}/part-0.parquet"
                                     for t in ("bars", "book") for s in SYMBOLS)
    assert "imbalance_3" in batch.read(out, "book", form="arrow").schema.names


def test_price_bins_per_symbol_with_a_default(catalog, tmp_path, capsys):
    out = tmp_path / "out"
    status, err = _cli(capsys, "--catalog", str(catalog), "--exchange", EXCHANGE, "--symbols", ",".join(SYMBOLS),
                       "--from", DAYS[0], "--to", DAYS[0], "--out", str(out), "--tables", "footprint",
                       "--price-bin", f"2.5,{SYMBOLS[1]}=0.5", "--workers", "2")
    assert status == 0, err
    for symbol, width in ((SYMBOLS[0], 2.5), (SYMBOLS[1], 0.5)):
        path = out / "footprint" / f"exchange={EXCHANGE}" / f"symbol={symbol}" / f"date={DAYS[0]}" / "part-0.parquet"
        table = pq.read_table(path)
        assert json.loads(table.schema.metadata[b"korvel_vorn.params"]) == {"bucket_ms": 60_000, "price_bin": width}
        edges = table.column("price_bin").to_numpy()
        assert np.allclose(edges / width, np.round(edges / width))


def test_a_day_without_trades_and_a_missing_day(catalog, tmp_path):
    root = tmp_path / "catalog"
    lists = generated_day(DAYS[0], seed=4, trades=300, hours=(1, 2))
    write_day(root, EXCHANGE, SYMBOLS[0], DAYS[0], lists)
    write_day(root, EXCHANGE, SYMBOLS[0], DAYS[2], {"book": lists["book"] | {"ts": lists["book"]["ts"] + 2 * 86_400_000}})
    out = tmp_path / "out"
    report = batch.run(batch.plan(root, EXCHANGE, [SYMBOLS[0]], DAYS[0], DAYS[2]), out, progress=False)
    by_day = {r["day"]: r for r in report.reports}
    assert by_day[DAYS[0]]["error"] is None and by_day[DAYS[0]]["rows"]["bars"] == 60
    assert "holds nothing of" in by_day[DAYS[1]]["error"]  # nothing at all that day: a failed job
    assert by_day[DAYS[2]]["error"] is None and by_day[DAYS[2]]["rows"] == {"bars": 0, "footprint": 0, "book": 0}
    assert any("no trades" in note for note in by_day[DAYS[2]]["notes"])
    assert batch.read(out, "bars", start=DAYS[2]).empty


def test_a_changed_catalog_day_is_computed_again(catalog, tmp_path):
    root = tmp_path / "catalog"
    for symbol in SYMBOLS:
        write_day(root, EXCHANGE, symbol, DAYS[0], generated_day(DAYS[0], seed=7, trades=300, hours=(1, 2)))
    out = tmp_path / "out"
    jobs = batch.plan(root, EXCHANGE, SYMBOLS, DAYS[0], DAYS[0])
    assert batch.run(jobs, out, progress=False).ok
    write_day(root, EXCHANGE, SYMBOLS[1], DAYS[0], generated_day(DAYS[0], seed=8, trades=400, hours=(1, 2)))
    report = batch.run(jobs, out, progress=False)
    assert [(r["symbol"], r["day"]) for r in report.reports] == [(SYMBOLS[1], DAYS[0])] and report.skipped == 1
    assert set(r["rows"]["bars"] for r in report.reports) == {60}
