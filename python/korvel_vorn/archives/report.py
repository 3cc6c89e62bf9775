"""What a fetch did: each file (downloaded, from the cache, missing, failed) and each catalog day
(written, unchanged, missing, failed), the summary printed on stderr, and the exit status."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .plan import ArchiveFile

KEY_REASON = "needs an API key: give --api-key or set TARDIS_API_KEY"

# Exit statuses of `fetch`.
COMPLETE, NOTHING, USAGE, INCOMPLETE = 0, 1, 2, 3


@dataclass
class FileOutcome:
    """One archive file: "downloaded", "cached", "current" (its day is built from it already, so
    it was not downloaded), "missing" or "failed" (with the reason)."""

    file: ArchiveFile
    status: str
    reason: str = ""
    path: Path | None = None
    used: ArchiveFile | None = None  # the file that stood for it (Bybit's ob200 for ob500)
    size: int = 0
    sha256: str = ""

    @property
    def usable(self) -> bool:
        return self.status in ("downloaded", "cached")

    def input(self) -> dict[str, Any]:
        """The file as a manifest names it."""
        return {"name": (self.used or self.file).name, "size": self.size, "sha256": self.sha256}


@dataclass
class DayOutcome:
    """One list of one symbol and day in the catalog."""

    symbol: str
    data_type: str
    list_name: str
    day: str
    status: str  # "written", "unchanged", "missing", "failed", "not published"
    records: int = 0
    reason: str = ""
    file: str = ""


@dataclass
class FetchReport:
    """The account of one fetch; `exit_status` is the command's."""

    source: str
    exchange: str
    catalog: str
    files: list[FileOutcome] = field(default_factory=list)
    days: list[DayOutcome] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    dropped: Counter[str] = field(default_factory=Counter)
    requests: int = 0
    received: int = 0
    disk_error: str | None = None
    no_book: bool = False

    @property
    def exit_status(self) -> int:
        if self.disk_error is not None:
            return NOTHING
        if not any(day.status in ("written", "unchanged") for day in self.days):
            return NOTHING
        if any(day.status in ("missing", "failed") for day in self.days):
            return INCOMPLETE
        return COMPLETE

    def summary(self) -> list[str]:
        """The lines printed on stderr: per type and day what came in, one line per missing or
        failed file naming its day and the reason, then notes."""
        from_cache = sum(1 for f in self.files if f.status == "cached")
        downloaded = sum(1 for f in self.files if f.status == "downloaded")
        lines = [f"fetch {self.source} into {self.catalog}: {downloaded} file(s) downloaded "
                 f"({self.received / 1e6:.1f} MB in {self.requests} requests), {from_cache} from the cache"]
        for day in self.days:
            if day.status in ("written", "unchanged"):
                what = "unchanged" if day.status == "unchanged" else "written"
                lines.append(f"  {day.symbol} {day.data_type:<20} {day.day}  {day.records:>10} {day.list_name} ({what})")
        keyless = sorted({day.day for day in self.days if day.reason == KEY_REASON})
        if keyless:
            lines.append(f"  failed: {len(keyless)} day(s) ({', '.join(keyless[:3])}{' ...' if len(keyless) > 3 else ''})"
                         f" {KEY_REASON} (the first day of each month needs none)")
        for day in self.days:
            if day.status in ("missing", "failed", "not published") and day.reason != KEY_REASON:
                lines.append(f"  {day.status}: {day.symbol} {day.data_type} {day.day}: {day.reason}"
                             + (f" ({day.file})" if day.file else ""))
        for what, count in sorted(self.dropped.items()):
            lines.append(f"  dropped {count} {what}")
        if self.no_book:
            lines.append("  no book exists in this archive: the book panel stays empty (bybit and tardis:EXCHANGE "
                         "have one)")
        lines += [f"  {note}" for note in self.notes]
        if self.disk_error:
            lines.append(f"  error: {self.disk_error}")
        return lines
