"""Fetching public archives into a catalog of days (`korvel_vorn.catalog`).

`fetch(source, symbols, start, end, catalog)` downloads each day's files of the archive (in
parallel, verified, resumable, from a cache when one is given), and builds each list of each day
into the catalog, skipping days whose inputs did not change. It returns a `FetchReport`;
`python -m korvel_vorn fetch` prints its summary and exits with its status.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import datetime as _dt
import errno
import os
import tempfile
import threading
import zipfile
import zlib
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ..catalog.book import Columns, book_from, concat_rows, slice_rows
from ..catalog.layout import DAY_MS, CatalogError, day_start_ms, delete_partition, has_partition, writing_partition
from ..catalog.manifest import file_sha256, read_entry, write_entry
from ..catalog.read import read_day
from ..catalog.write import is_current, split_days, write_day
from ..storage import open_store
from ..storage_error import StorageError, is_url
from ..venues import tardis
from ..write_lock import holding
from .download import (
    DiskError,
    Downloader,
    DownloadFailed,
    FileMissing,
    RetryPolicy,
    Traffic,
    checksum_value,
)
from .files import check_file, file_lists, stream_trades
from .plan import (
    SPILLING_LISTS,
    ArchiveFile,
    Source,
    UsageError,
    archive_file,
    check_symbol,
    day_range,
    parse_source,
    parse_types,
    previous_day,
    streams_trades,
)
from .report import KEY_REASON, DayOutcome, FetchReport, FileOutcome

__all__ = ["FetchReport", "RetryPolicy", "UsageError", "fetch"]

CHECKSUM_SUFFIX = ".CHECKSUM"
# Errors of a disk that cannot take the catalog: the fetch stops (status 1) instead of going on.
_DISK_ERRORS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EROFS, errno.EACCES, errno.EPERM, errno.EIO})
SHA_SUFFIX = ".sha256"


def _write_atomic(path: Path, data: bytes) -> None:
    temporary = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}.tmp")
    try:
        temporary.write_bytes(data)
        os.replace(temporary, path)
    except OSError as error:
        temporary.unlink(missing_ok=True)
        raise DiskError(f"cannot write {path}: {error.strerror or error}") from None


class _Fetcher:
    """One fetch: its downloads into the cache and its builds into the catalog."""

    def __init__(self, source: Source, catalog: str, cache: Path, downloader: Downloader,
                 report: FetchReport, api_key: str | None) -> None:
        self.source = source
        self.catalog = catalog
        self.cache = cache
        self.downloader = downloader
        self.report = report
        self.api_key = api_key
        self.users: dict[str, list[tuple[str, str, str, list[ArchiveFile]]]] = {}  # file name -> builds

    # ---------------------------------------------------------------- downloads

    def obtain(self, file: ArchiveFile) -> FileOutcome:
        """The file from the cache, or downloaded and verified; alternatives tried when missing."""
        if file.needs_key and not self.api_key:
            return FileOutcome(file, "failed", KEY_REASON)
        for alternative in file.alternatives:  # one that stood for it before, from the cache
            marker = self.cache / (alternative.name + SHA_SUFFIX)
            if (self.cache / alternative.name).is_file() and marker.is_file():
                outcome = self._obtain_one(alternative)
                outcome.file, outcome.used = file, alternative
                return outcome
        outcome = self._obtain_one(file)
        for alternative in file.alternatives:
            if outcome.status != "missing":
                break
            outcome = self._obtain_one(alternative)
            outcome.file, outcome.used = file, alternative
        return outcome

    def _obtain_one(self, file: ArchiveFile) -> FileOutcome:
        target = self.cache / file.name
        try:
            if file.checksum_url is not None:
                return self._obtain_checked(file, target)
            marker = target.with_name(target.name + SHA_SUFFIX)
            if target.is_file() and marker.is_file():
                return self._cached(file, target, marker.read_text(encoding="ascii").split()[0])
            self.downloader.download(file.url, target, lambda part: check_file(part, file, None))
            sha = file_sha256(target)
            _write_atomic(marker, f"{sha}  {target.name}\n".encode("ascii"))
            return FileOutcome(file, "downloaded", path=target, size=target.stat().st_size, sha256=sha)
        except FileMissing as missing:
            return FileOutcome(file, "missing", str(missing))
        except DownloadFailed as failed:
            return FileOutcome(file, "failed", str(failed))
        except DiskError as error:
            self.report.disk_error = str(error)
            return FileOutcome(file, "failed", str(error))

    def _cached(self, file: ArchiveFile, target: Path, sha: str) -> FileOutcome:
        return FileOutcome(file, "cached", path=target, size=target.stat().st_size, sha256=sha)

    def _obtain_checked(self, file: ArchiveFile, target: Path) -> FileOutcome:
        assert file.checksum_url is not None
        checksum_path = target.with_name(target.name + CHECKSUM_SUFFIX)
        if target.is_file() and checksum_path.is_file():  # verified before: no request at all
            return self._cached(file, target, checksum_value(checksum_path.read_bytes(), target.name))
        try:
            text = self.downloader.get(file.checksum_url)
        except FileMissing:
            raise FileMissing("not found (404)") from None
        sha = checksum_value(text, target.name)
        size = self._built_from(file, sha)
        if size is not None:
            return FileOutcome(file, "current", size=size, sha256=sha)
        if not (target.is_file() and file_sha256(target) == sha):
            self.downloader.download(file.url, target, lambda part: check_file(part, file, sha))
        try:
            checksum_path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise DiskError(f"cannot create {checksum_path.parent}: {error.strerror or error}") from None
        _write_atomic(checksum_path, text)
        return FileOutcome(file, "downloaded", path=target, size=target.stat().st_size, sha256=sha)

    def _built_from(self, file: ArchiveFile, sha: str) -> int | None:
        """The file's size when every day it feeds is already built from it (so it need not come
        in); else None."""
        builds = self.users.get(file.name, [])
        size = None
        for symbol, list_name, day, inputs in builds:
            entry = read_entry(self.catalog, list_name, self.source.exchange, symbol, day)
            if entry is None or not has_partition(self.catalog, list_name, self.source.exchange, symbol, day):
                return None
            known = {item.get("name"): item for item in entry.get("inputs", []) if isinstance(item, dict)}
            mine = known.get(file.name)
            if mine is None or mine.get("sha256") != sha or set(known) != {f.name for f in inputs}:
                return None
            size = int(mine.get("size", 0))
        return size

    # ---------------------------------------------------------------- builds

    def build(self, symbol: str, data_type: str, list_name: str, day: str, inputs: list[FileOutcome]) -> DayOutcome:
        """One list of one day from its files (the day's own file last)."""
        exchange = self.source.exchange
        own = inputs[-1]
        outcome = DayOutcome(symbol, data_type, list_name, day, "written", file=own.file.name)
        usable = [item for item in inputs if item.usable or item.status == "current"]
        manifest_inputs = [item.input() for item in usable]
        if is_current(self.catalog, list_name, exchange, symbol, day, manifest_inputs):
            entry = read_entry(self.catalog, list_name, exchange, symbol, day) or {}
            outcome.status, outcome.records = "unchanged", int(entry.get("records", 0))
            return outcome
        for item in usable:
            if item.status == "current":  # the day changed after all: the file is needed now
                fresh = self.obtain_forced(item.file)
                item.status, item.path, item.size, item.reason = fresh.status, fresh.path, fresh.size, fresh.reason
        usable = [item for item in usable if item.usable]
        if not own.usable:
            outcome.status, outcome.reason = own.status, own.reason
            return outcome
        manifest_inputs = [item.input() for item in usable]
        start, end = day_start_ms(day), day_start_ms(day) + DAY_MS
        try:
            if data_type in ("trades", "aggTrades") and streams_trades(self.source):
                assert own.path is not None
                with writing_partition(self.catalog, list_name, exchange, symbol, day) as writer:
                    stats = stream_trades(own.path, own.file, start, end, writer)
                if stats["records"] == 0:
                    delete_partition(self.catalog, list_name, exchange, symbol, day)
                    outcome.status, outcome.reason = "failed", "the file holds no trades of the day"
                    return outcome
                write_entry(self.catalog, list_name, exchange, symbol, day,
                            {"list": list_name, "exchange": exchange, "symbol": symbol, "date": day,
                             "inputs": manifest_inputs, **stats})
                outcome.records = int(stats["records"])
                return outcome
            parts = []
            found: dict[str, int] = {}
            for index, item in enumerate(usable):
                assert item.path is not None
                lists, notes = file_lists(item.path, item.file, symbol)
                if list_name in lists:
                    parts.append((index, lists[list_name]))
                    if item is own:
                        found = {key: count for key, count in notes.items() if key.startswith(list_name)}
            columns = self._join(list_name, parts, start, end)
            if columns is None or not len(columns["ts"]):
                outcome.status, outcome.reason = "failed", f"the file holds no {list_name} of the day"
                return outcome
            if list_name == "book":
                before = self._book_before(symbol, day)
                columns = split_days("book", columns, before)[-1][1] if before is not None else columns
            write_day(self.catalog, list_name, exchange, symbol, day, columns, manifest_inputs, notes=found)
            for key, count in found.items():
                self.report.notes.append(f"{symbol} {day}: {count} {key.replace('_', ' ')}")
        except (ValueError, OSError, EOFError, zipfile.BadZipFile, zlib.error) as error:
            if isinstance(error, OSError) and error.errno in _DISK_ERRORS:
                self.report.disk_error = f"cannot write into {self.catalog}: {error.strerror or error}"
            outcome.status, outcome.reason = "failed", str(error)
            return outcome
        outcome.records = len(columns["ts"])
        return outcome

    def obtain_forced(self, file: ArchiveFile) -> FileOutcome:
        self.users.pop(file.name, None)
        return self.obtain(file)

    def _join(self, list_name: str, parts: list[tuple[int, Columns]], start: int, end: int) -> Columns | None:
        """The files' records of the day; rows a later file repeats from an earlier one dropped."""
        if not parts:
            return None
        columns = concat_rows([part for _, part in parts])
        origin = np.concatenate([np.full(len(part["ts"]), index) for index, part in parts])
        keys = SPILLING_LISTS.get(list_name)
        if keys is not None and len(parts) > 1:
            records = np.rec.fromarrays([columns[key] for key in keys])
            _, group = np.unique(records, return_inverse=True)
            first = np.full(group.max() + 1, np.iinfo(np.int64).max)
            np.minimum.at(first, group, origin)
            keep = origin == first[group]
            repeats = int((~keep & (origin == parts[-1][0])).sum())  # counted in the build of the later file
            if repeats:
                self.report.dropped[f"{list_name} rows repeated across daily files"] += repeats
            columns = {name: column[keep] for name, column in columns.items()}
        if list_name == "book":  # events before the day replayed into its first snapshot
            columns = book_from(columns, start) if len(columns["ts"]) and columns["ts"][0] < start else columns
            return slice_rows("book", columns, 0, int(np.searchsorted(columns["ts"], end, side="left")))
        order = np.argsort(columns["ts"], kind="stable")
        columns = {name: column[order] for name, column in columns.items()}
        lo, hi = np.searchsorted(columns["ts"], [start, end])
        return {name: column[lo:hi] for name, column in columns.items()}

    def _book_before(self, symbol: str, day: str) -> Columns | None:
        try:
            return read_day(self.catalog, "book", self.source.exchange, symbol, previous_day(day))
        except CatalogError:
            return None


def fetch(source: str, symbols: str | Sequence[str], start: str, end: str, catalog: str | os.PathLike[str], *,
          types: str | Sequence[str] | None = None, cache: str | os.PathLike[str] | None = None, jobs: int = 4,
          api_key: str | None = None, retry: RetryPolicy | None = None, progress: bool = False,
          on_file: Callable[[FileOutcome], None] | None = None) -> FetchReport:
    """Fetch `symbols` of `source` from day `start` to day `end` (both included, YYYY-MM-DD) into
    the catalog at `catalog`; returns the report (see `FetchReport.exit_status`).

    `types` (a comma list or a sequence of the archive's type names) defaults to everything the
    source offers for the panels; `cache` keeps the downloaded files byte for byte (and a second
    run takes them from there without a request); `jobs` downloads run at once; `api_key` (or
    ``TARDIS_API_KEY``) for Tardis days after the first of a month. Raises `UsageError` for an
    unknown source, type or symbol form, or bad days.
    """
    parsed = parse_source(source)
    names = parse_types(parsed, types if types is None or isinstance(types, str) else ",".join(types))
    wanted = [symbols] if isinstance(symbols, str) else list(symbols)
    if not wanted:
        raise UsageError("no symbol: give one or more")
    wanted = [check_symbol(parsed, symbol) for symbol in wanted]
    days = day_range(start, end)
    if jobs < 1:
        raise UsageError(f"--jobs {jobs}: give at least 1")
    key = api_key or os.environ.get(tardis.API_KEY_ENV) or None
    root = os.fspath(catalog) if is_url(catalog) else str(Path(catalog))
    store = open_store(root)
    report = FetchReport(parsed.name, parsed.exchange, store.url, no_book="book" not in parsed.type_lists.values())
    report.notes.extend(parsed.notes)
    try:
        store.check()
        store.make_root()
    except OSError as error:  # a store's own error names its URL already
        report.disk_error = str(error) if isinstance(error, StorageError) else \
            f"cannot create {store.url}: {error.strerror or error}"
        return report
    headers = {"Authorization": f"Bearer {key}"} if key and parsed.name.startswith(tardis.SOURCE_PREFIX) else {}
    bar = _progress_bar(progress)
    traffic = Traffic(on_bytes=bar.bytes_in if bar is not None else None)
    downloader = Downloader(retry, traffic, headers)
    with contextlib.ExitStack() as stack:
        stack.enter_context(holding(root, f"a fetch of {parsed.name}"))
        if cache is None:
            # Beside the catalog on a disk; in the system's temporary folder for an object store.
            folder = stack.enter_context(tempfile.TemporaryDirectory(prefix="_fetch-", dir=store.local_path()))
            cache_dir = Path(folder)
        else:
            cache_dir = Path(cache)
        fetcher = _Fetcher(parsed, root, cache_dir, downloader, report, key)
        this_month = _dt.datetime.now(_dt.UTC).strftime("%Y-%m")  # monthly files of it are not out yet
        builds: list[tuple[str, str, str, str, list[ArchiveFile]]] = []
        files: dict[str, ArchiveFile] = {}
        for symbol in wanted:
            for data_type in names:
                for list_name in parsed.lists_of(data_type):
                    for day in days:
                        own = archive_file(parsed, data_type, symbol, day)
                        if len(own.period) == 7 and own.period >= this_month:
                            report.days.append(DayOutcome(symbol, data_type, list_name, day, "not published",
                                                          reason=f"the {own.period} file is published after the "
                                                          "month ends", file=own.name))
                            continue
                        inputs = [own]
                        if list_name in SPILLING_LISTS and previous_day(day) in days:
                            inputs.insert(0, archive_file(parsed, data_type, symbol, previous_day(day)))
                        builds.append((symbol, data_type, list_name, day, inputs))
                        for item in inputs:
                            files.setdefault(item.name, item)
                            fetcher.users.setdefault(item.name, []).append((symbol, list_name, day, inputs))
        outcomes = _download_all(fetcher, list(files.values()), jobs, bar, on_file)
        report.files = list(outcomes.values())
        if bar is not None:
            bar.close()
        for symbol, data_type, list_name, day, inputs in builds:
            if report.disk_error:
                break
            result = fetcher.build(symbol, data_type, list_name, day, [outcomes[item.name] for item in inputs])
            if result.status == "missing" and data_type in parsed.optional_types and types is None:
                result.status, result.reason = "not published", f"{result.reason}: {data_type} is not published " \
                    "for this day"
            report.days.append(result)
    report.requests, report.received = traffic.requests, traffic.received
    return report


def _download_all(fetcher: _Fetcher, files: list[ArchiveFile], jobs: int, bar: Any,
                  on_file: Callable[[FileOutcome], None] | None) -> dict[str, FileOutcome]:
    outcomes: dict[str, FileOutcome] = {}
    if bar is not None:
        bar.total(len(files))
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {pool.submit(fetcher.obtain, file): file for file in files}
        for future in concurrent.futures.as_completed(futures):
            outcome = future.result()
            outcomes[futures[future].name] = outcome
            if bar is not None:
                bar.file_done()
            if on_file is not None:
                on_file(outcome)
    return outcomes


class _Bar:
    """Files and bytes on one tqdm bar (when tqdm is installed and stderr is a terminal)."""

    def __init__(self, tqdm: Any) -> None:
        self.bar = tqdm(total=0, unit="file", desc="fetch", leave=False)
        self.bytes = 0
        self.lock = threading.Lock()

    def total(self, count: int) -> None:
        self.bar.total = count
        self.bar.refresh()

    def bytes_in(self, count: int) -> None:
        with self.lock:
            self.bytes += count
            if self.bytes % (1 << 22) < count:
                self.bar.set_postfix_str(f"{self.bytes / 1e6:.1f} MB", refresh=True)

    def file_done(self) -> None:
        with self.lock:
            self.bar.set_postfix_str(f"{self.bytes / 1e6:.1f} MB", refresh=False)
            self.bar.update(1)

    def close(self) -> None:
        self.bar.close()


def _progress_bar(wanted: bool) -> _Bar | None:
    if not wanted:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return _Bar(tqdm)
