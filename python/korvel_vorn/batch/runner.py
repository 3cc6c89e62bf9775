"""Planning and running batch jobs on a thread pool, any `concurrent.futures.Executor`, a Dask
`LocalCluster` of processes or any Dask cluster.

The driver holds only the job list and the small reports coming back, so its memory does not grow
with the tables. Which jobs are done is read from the manifest: a job whose entry matches its
catalog inputs and the parameters of every asked table is skipped; one whose entry records other
parameters is refused unless `replace` is given, then only the tables the change affects are
computed again.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import datetime as dt
import json
import os
import pathlib
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

from .aggregate import day_inputs, held_days
from .day_input import day_start_ms, is_catalog
from .job import remove_outputs, run_job
from .output import MANIFEST, MARKER, entry_key, marker, open_store, read_entry, table_key
from .params import DEFAULT_DEPTHS, TABLES, BatchError, TableParams, check_price_bin, check_tables


@dataclasses.dataclass(frozen=True)
class Job:
    """One symbol and UTC day of a catalog, with the tables to compute and their parameters."""

    catalog: str
    exchange: str
    symbol: str
    day: str
    params: TableParams
    tables: tuple[str, ...] = TABLES

    def arguments(self, out: str, tables: Sequence[str], thread_workers: int) -> tuple[Any, ...]:
        """The plain arguments of `run_job` for this job."""
        p = self.params
        return (self.catalog, out, self.exchange, self.symbol, self.day, list(tables), p.bucket_ms, p.price_bin,
                list(p.depths), thread_workers)


@dataclasses.dataclass
class RunReport:
    """What a run did: the reports of the jobs it ran, the jobs it skipped as done, the failures."""

    reports: list[dict[str, Any]] = dataclasses.field(default_factory=list)
    skipped: int = 0

    @property
    def failed(self) -> list[dict[str, Any]]:
        return [r for r in self.reports if r["error"] is not None]

    @property
    def ok(self) -> bool:
        return not self.failed


def _days_between(start: str, end: str) -> list[str]:
    first, last = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    return [(first + dt.timedelta(days=i)).isoformat() for i in range((last - first).days + 1)]


def plan(catalog: str | os.PathLike[str], exchange: str, symbols: Iterable[str], start: str, end: str, *,
         tables: Iterable[str] = TABLES, bucket_ms: int = 60_000, price_bin: float | Mapping[str, float] = 1.0,
         depths: Sequence[int] = DEFAULT_DEPTHS) -> list[Job]:
    """One job per symbol and UTC day from `start` to `end` (both included, YYYY-MM-DD).

    `price_bin` is one bin for every symbol or a mapping of symbol to bin. A catalog that does not
    exist, or holds none of the asked days of a symbol, raises BatchError; a single missing day
    becomes a job that fails with that reason, so the others still run.
    """
    root = str(catalog)
    names = check_tables(tables)
    for value in (start, end):
        day_start_ms(value)
    if start > end:
        raise BatchError(f"--from {start} is after --to {end}")
    if not is_catalog(root):
        raise BatchError(f"{root} is not a catalog (no folder of trades, book, candles, funding, oi or liquidations)")
    symbols = list(symbols)
    if not symbols:
        raise BatchError("no symbol asked for")
    bins = dict(price_bin) if isinstance(price_bin, Mapping) else {s: price_bin for s in symbols}
    unknown = sorted(set(bins) - set(symbols))
    if unknown:
        raise BatchError(f"price bin given for {unknown[0]}, which is not among the symbols")
    wanted = _days_between(start, end)
    jobs = []
    for symbol in symbols:
        if symbol not in bins:
            raise BatchError(f"no price bin for {symbol}")
        check_price_bin(bins[symbol], f"price bin of {symbol}")
        params = TableParams(bucket_ms, float(bins[symbol]), tuple(depths))
        held = set(held_days(root, exchange, symbol))
        if not held & set(wanted):
            raise BatchError(f"the catalog {root} holds nothing of {symbol} on {exchange} from {start} to {end}"
                             + (f" (it has {min(held)} to {max(held)})" if held else ""))
        jobs += [Job(root, exchange, symbol, day, params, names) for day in wanted]
    return jobs


def _pending_tables(job: Job, out: str, replace: bool) -> list[str]:
    """The tables of `job` not done yet; raises BatchError for a table done with other parameters
    (unless `replace`)."""
    entry = read_entry(out, entry_key(job.exchange, job.symbol, job.day))
    if entry is None:
        return list(job.tables)
    for table in job.tables:
        done = entry["tables"].get(table)
        if isinstance(done, dict) and done.get("hash") != job.params.table_hash(table) and not replace:
            raise BatchError(
                f"{out} holds {table} of {job.symbol} {job.day} made with other parameters "
                f"({json.dumps(done.get('params'), sort_keys=True)}, now "
                f"{json.dumps(job.params.of_table(table), sort_keys=True)}): use another folder, or --replace "
                f"(replace=True) to compute them again")
    if entry.get("inputs") != day_inputs(job.catalog, job.exchange, job.symbol, job.day):
        return list(job.tables)  # the catalog's day changed since
    pending = []
    store = open_store(out)
    for table in job.tables:
        done = entry["tables"].get(table)
        if not isinstance(done, dict) or done.get("hash") != job.params.table_hash(table) or (
                done.get("rows") is not None and not store.is_file(table_key(table, job.exchange, job.symbol, job.day))):
            pending.append(table)
    return pending


def _check_output(store: Any) -> None:
    """Refuses a folder (or prefix) that holds files but is not a batch output."""
    store.check()
    local = store.local_path()
    if local is not None and local.exists() and not local.is_dir():
        raise BatchError(f"{store.url} is not a folder")
    from ..write_lock import LOCK_NAME

    held = [name for name, _ in store.children("") if name != LOCK_NAME]  # a killed run's lock is no file of ours
    if held and not store.is_file(MARKER):
        raise BatchError(f"{store.url} holds files that are not a batch output: use an empty or new folder")


def cores() -> int:
    """The processors this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "submit")


def _progress(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="job", file=sys.stderr, dynamic_ncols=True)


def local_cluster(workers: int | None = None, dashboard: str | None = None) -> Any:
    """A Dask client of a new LocalCluster: `workers` processes of one thread each, on loopback,
    with Dask's dashboard at `dashboard` (such as ":8787") or without a dashboard port (None).
    Close the client and its cluster when done."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise BatchError("the local cluster needs Dask: pip install 'korvel_vorn[dask]'") from None
    # Without a dashboard the scheduler still serves its health routes over HTTP, by default on
    # port 8787 of every interface: a free port on loopback instead.
    quiet_http = {"dashboard_address": "127.0.0.1:0"} if dashboard is None else {}
    import dask

    # Worker processes are spawned (never forked) on every system: a fork of a process holding the
    # engine's threads is not safe, and Windows and macOS have no fork to give.
    dask.config.set({"distributed.worker.multiprocessing-method": "spawn"})
    cluster = LocalCluster(n_workers=workers or cores(), threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=dashboard, scheduler_kwargs=quiet_http, silence_logs=40)
    return Client(cluster)


def connect(address: str, timeout: float = 10.0) -> Any:
    """A Dask client of the scheduler at address (tcp://HOST:PORT)."""
    try:
        from distributed import Client
    except ImportError:
        raise BatchError("a Dask scheduler needs Dask: pip install 'korvel_vorn[dask]'") from None
    try:
        return Client(address, timeout=timeout)
    except (OSError, TimeoutError, ValueError) as error:
        raise BatchError(f"cannot reach the Dask scheduler at {address}: {str(error).splitlines()[0]}") from None


def _results(executor: Any, calls: list[tuple[Any, ...]]) -> Iterator[dict[str, Any]]:
    """Runs run_job over the argument tuples; yields the reports in completion order."""
    if _is_dask_client(executor):
        from distributed import as_completed

        futures = [executor.submit(run_job, *args, pure=False, key=f"korvel-vorn-batch-{args[3]}-{args[4]}-{i}")
                   for i, args in enumerate(calls)]
        for future in as_completed(futures):
            try:
                yield future.result()
            except Exception as error:
                # A job lost with its workers (Dask gave up after they died running it): whatever
                # it renamed into place before dying goes, as for any failed job.
                args = calls[futures.index(future)]
                remove_outputs(args[1], args[2], args[3], args[4], args[5])
                yield {"exchange": args[2], "symbol": args[3], "day": args[4], "rows": {}, "notes": [],
                       "error": f"lost: {type(error).__name__}: {error}", "seconds": 0.0, "peak_rss": 0}
            future.release()
        return
    pending = {executor.submit(run_job, *args) for args in calls}
    while pending:
        finished, pending = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
        for future in finished:
            yield future.result()


def run(jobs: Sequence[Job], out: str | os.PathLike[str], executor: Any = None, *, resume: bool = True,
        replace: bool = False, workers: int | None = None, progress: bool = True, dashboard: str | None = None,
        on_report: Callable[[dict[str, Any]], None] | None = None) -> RunReport:
    """Runs the jobs not done yet into `out`; returns a RunReport.

    executor: None for a thread pool of `workers` threads in this process (default one per core;
    the engine's own pool is held to one thread per job), "local" for a Dask LocalCluster of
    `workers` processes (with its dashboard at `dashboard` when given), an Executor, or a Dask
    Client. With resume False every job runs again; `on_report` sees each job's report as it comes.
    """
    from ..storage_error import is_url
    from ..write_lock import holding

    root = os.fspath(out) if is_url(out) else str(pathlib.Path(out))
    store = open_store(root)
    _check_output(store)
    with holding(root, "a batch run"):
        return _run_unlocked(jobs, root, store, executor, resume, replace, workers, progress, dashboard, on_report)


def _run_unlocked(jobs: Sequence[Job], root: str, store: Any, executor: Any, resume: bool, replace: bool,
                  workers: int | None, progress: bool, dashboard: str | None,
                  on_report: Callable[[dict[str, Any]], None] | None) -> RunReport:
    todo: list[tuple[Job, list[str]]] = []
    report = RunReport()
    for job in jobs:
        tables = _pending_tables(job, root, replace) if resume else list(job.tables)
        if tables:
            todo.append((job, tables))
        else:
            report.skipped += 1
    store.make_root()
    store.write_bytes(MARKER, (json.dumps(marker()) + "\n").encode("utf-8"))
    local = store.local_path()
    if local is not None:
        (local / MANIFEST).mkdir(exist_ok=True)
    if not todo:
        return report
    own_executor, own_client = None, None
    count = workers or cores()
    if executor is None:
        executor = own_executor = concurrent.futures.ThreadPoolExecutor(max_workers=count)
    elif executor == "local":
        executor = own_client = local_cluster(count, dashboard)
        if dashboard is not None:
            sys.stderr.write(f"dask dashboard: {own_client.dashboard_link}\n")
    calls = [job.arguments(root, tables, 1) for job, tables in todo]
    bar = _progress(len(calls), progress and (own_executor is not None or own_client is not None))
    try:
        for job_report in _results(executor, calls):
            report.reports.append(job_report)
            if on_report is not None:
                on_report(job_report)
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
        if own_executor is not None:
            own_executor.shutdown(wait=True, cancel_futures=True)
        if own_client is not None:
            cluster = own_client.cluster
            own_client.close()
            cluster.close()
        for table in TABLES:  # what writers killed in the middle left behind
            store.remove_temporaries(table)
        store.remove_temporaries(MANIFEST)
    return report
