"""Public archives fetched into a catalog of days (`korvel_vorn.catalog`).

`fetch` (in `fetching`) downloads each day's files (`plan` names them, `download` brings them in
verified and resumable, `files` reads them) and builds each list of each day into the catalog;
it returns a `FetchReport` (`report`).
"""

from __future__ import annotations

from .download import RetryPolicy
from .fetching import fetch
from .plan import UsageError
from .report import FetchReport

__all__ = ["FetchReport", "RetryPolicy", "UsageError", "fetch"]
