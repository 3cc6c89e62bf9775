"""One job: the tables of one symbol and UTC day, computed and written by whatever process runs it.

`run_job` takes plain arguments (paths, names, numbers) so any executor can ship it, and returns a
small report (rows, seconds, peak memory), never tables. A failure (a corrupt day, a full disk) is
a report with an "error", after the job removed what it had started to write: only the manifest
entry, written last, makes a job done.
"""

from __future__ import annotations

import json
import time
from typing import TYPE_CHECKING, Any

from .. import __version__
from .day_input import day_start_ms, input_files, read_day
from .day_tables import DayTables
from .output import arrow_table, entry_key, open_store, read_entry, table_key, write_entry
from .params import BatchError, TableParams

if TYPE_CHECKING:
    from ..storage import Staged


def run_job(catalog: str, out: str, exchange: str, symbol: str, day: str, tables: list[str], bucket_ms: int,
            price_bin: float, depths: list[int], thread_workers: int = 1) -> dict[str, Any]:
    """Computes `tables` of the day and writes them with the day's manifest entry; returns the report
    {"symbol", "day", "rows": {table: rows or None}, "seconds", "peak_rss", "notes", "error"}.
    "peak_rss" is the peak resident size in bytes of the process that ran the job, from the job's
    start on where Linux can reset it (in the thread mode it covers the jobs running beside it)."""
    from .._native import set_thread_workers

    started = time.perf_counter()
    report: dict[str, Any] = {"exchange": exchange, "symbol": symbol, "day": day, "rows": {}, "notes": [],
                              "error": None}
    reset_peak_rss()
    previous = set_thread_workers(thread_workers)
    try:
        _compute_and_write(catalog, out, exchange, symbol, day, tables,
                           TableParams(bucket_ms, price_bin, tuple(depths)), report)
    except BatchError as error:
        report["error"] = str(error)
    except MemoryError:
        report["error"] = "out of memory"
    except OSError as error:
        report["error"] = f"{error.strerror or error}{f': {error.filename}' if error.filename else ''}"
    except Exception as error:
        report["error"] = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
    finally:
        set_thread_workers(previous)
    if report["error"] is not None:
        try:
            remove_outputs(out, exchange, symbol, day, tables)
        except OSError as error:
            report["error"] += f" (and its output could not be removed: {error.strerror or error})"
    report["seconds"] = time.perf_counter() - started
    report["peak_rss"] = peak_rss()
    return report


def reset_peak_rss() -> None:
    """Starts the process's peak resident size afresh (Linux), so that a job reports its own peak
    rather than one of its process's earlier life (a worker forked from a large driver, say)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def peak_rss() -> int:
    """The peak resident size of this process in bytes since the last reset (where Linux tells it)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        import resource  # POSIX only
    except ImportError:
        return 0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _metadata(exchange: str, symbol: str, day: str, table: str, params: TableParams) -> dict[str, str]:
    return {"korvel_vorn.version": __version__, "korvel_vorn.table": table, "korvel_vorn.exchange": exchange,
            "korvel_vorn.symbol": symbol, "korvel_vorn.date": day,
            "korvel_vorn.params": json.dumps(params.of_table(table), sort_keys=True)}


def _compute_and_write(catalog: str, out: str, exchange: str, symbol: str, day: str, tables: list[str],
                       params: TableParams, report: dict[str, Any]) -> None:
    from .aggregate import aggregate_day, venues_of

    venues = venues_of(exchange)
    computed: Any
    if venues is not None:
        inputs, computed = aggregate_day(catalog, venues, symbol, day, day_start_ms(day), params, report["notes"])
    else:
        inputs, computed = _single_day(catalog, exchange, symbol, day, params, report)
    _write_tables(out, exchange, symbol, day, tables, params, report, inputs, computed)


def _single_day(catalog: str, exchange: str, symbol: str, day: str, params: TableParams,
                report: dict[str, Any]) -> tuple[list[dict[str, Any]], DayTables]:
    inputs = input_files(catalog, exchange, symbol, day)
    if not inputs:
        raise BatchError(f"the catalog {catalog} holds nothing of {symbol} on {exchange} for {day}")
    if not any(f["path"].startswith("trades/") for f in inputs):
        report["notes"].append(f"{symbol} {day}: no trades in the catalog, the tables have no rows")
    lists = read_day(catalog, exchange, symbol, day)
    try:
        computed = DayTables(lists, day_start_ms(day), params)
    except ValueError as error:  # a column the engine refuses
        raise BatchError(f"bad records: {error}") from None
    return inputs, computed


def _write_tables(out: str, exchange: str, symbol: str, day: str, tables: list[str], params: TableParams,
                  report: dict[str, Any], inputs: list[dict[str, Any]], computed: Any) -> None:
    clusters = computed.clusters() if {"bars", "footprint"} & set(tables) else None
    store = open_store(out)
    key = entry_key(exchange, symbol, day)
    previous = read_entry(out, key)
    kept = previous["tables"] if previous is not None and previous.get("inputs") == inputs else {}
    done: dict[str, Any] = {name: value for name, value in kept.items() if name not in tables}
    # Every table is staged first (a temporary file, or bytes for an object store); only when all
    # are ready are they put in place, so a failing job shows none of them.
    staged: list[Staged] = []
    try:
        for table in tables:
            target = table_key(table, exchange, symbol, day)
            if table == "book" and not computed.has_book():
                report["notes"].append(f"{symbol} {day}: no book in the catalog, no book table written")
                report["rows"][table] = None
            else:
                columns = (computed.bars(clusters) if table == "bars" else computed.footprint(clusters)
                           if table == "footprint" else computed.book())
                staged.append(store.stage_table(target, arrow_table(columns, _metadata(exchange, symbol, day, table,
                                                                                        params)),
                                                compression="zstd"))
                report["rows"][table] = len(columns["ts"])
            done[table] = {"hash": params.table_hash(table), "params": params.of_table(table),
                           "rows": report["rows"][table]}
    except BaseException:
        for item in staged:
            item.discard()
        raise
    for table in tables:
        if report["rows"][table] is None:
            store.delete(table_key(table, exchange, symbol, day))
    store.each(lambda item: item.commit(), staged)
    write_entry(out, key, {"version": __version__, "exchange": exchange, "symbol": symbol, "date": day,
                           "inputs": inputs, "tables": done})


def remove_outputs(out: str, exchange: str, symbol: str, day: str, tables: list[str]) -> None:
    """What a failed job leaves: none of its tables for the day and no manifest entry."""
    store = open_store(out)
    store.delete(entry_key(exchange, symbol, day))
    for table in tables:
        store.delete(table_key(table, exchange, symbol, day))
