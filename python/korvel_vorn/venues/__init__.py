"""What the package knows of each exchange, in one place per exchange: archive locations and the
environment variables that override them, data types and the lists they fill (and, for the live
feeds, stream names and message fields). `convert`, `fetch` and `record` all read it from here."""

from __future__ import annotations

import os


def url_from_env(variable: str, default: str) -> str:
    """A base URL: the environment variable's value when set, else the default; no final slash."""
    return (os.environ.get(variable) or default).rstrip("/")
