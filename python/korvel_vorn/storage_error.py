"""The error of a store that cannot be reached or used as asked, said in one line that names its
URL and never a credential (no pyarrow needed to import it)."""

from __future__ import annotations

import os
import re
from urllib.parse import urlsplit

_KEYED_SCHEMES = ("s3", "gs", "gcs")
_SECRETS = ("AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_ACCESS_KEY_ID")
_AWS_ERROR = re.compile(r"AWS Error (\w+)(?: \(HTTP status (\d+)\))? during (\w+) operation: ?([^;\n]*)")
_DENIED = ("ACCESS_DENIED", "INVALID_ACCESS_KEY_ID", "SIGNATURE_DOES_NOT_MATCH", "EXPIRED_TOKEN",
           "INVALID_CLIENT_TOKEN_ID", "UNRECOGNIZED_CLIENT")


class StorageError(OSError):
    """A store that cannot be reached or used as asked; the message names its URL (no secrets)."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else "storage error"


def is_url(root: str | os.PathLike[str]) -> bool:
    return isinstance(root, str) and re.match(r"[A-Za-z][A-Za-z0-9+.-]*://", root) is not None


def shown(root: str | os.PathLike[str]) -> str:
    """A root as messages name it: a URL without user, password or query (where keys could be)."""
    text = os.fspath(root)
    if not is_url(text):
        return text
    parts = urlsplit(text)
    if parts.scheme in _KEYED_SCHEMES and "@" in text:
        # A secret key may hold "/", so the user part can run past what urlsplit takes for the host.
        return f"{parts.scheme}://{text.split('?', 1)[0].rpartition('@')[2]}"
    user, at, host = parts.netloc.rpartition("@")
    if at and ":" not in user:
        host = parts.netloc  # a name, not a key (abfs://container@account...)
    return f"{parts.scheme}://{host}{parts.path}"


def has_credentials(root: str) -> bool:
    """Whether a URL of a bucket carries a key in it (s3://KEY:SECRET@bucket/...)."""
    return is_url(root) and urlsplit(root).scheme in _KEYED_SCHEMES and "@" in root


def scrub(text: str) -> str:
    """Text with every credential of the environment blotted out, whatever produced it."""
    for name in _SECRETS:
        value = os.environ.get(name)
        if value and len(value) >= 4:
            text = text.replace(value, "***")
    return text


def reason_of(error: BaseException) -> str:
    """The short cause of a store's error: its AWS error code put plainly, else its first line."""
    text = str(error)
    found = _AWS_ERROR.search(text)
    if found is None:
        return scrub(text.splitlines()[0] if text else type(error).__name__)
    code, status, operation, detail = found.groups()
    if code == "NO_SUCH_BUCKET":
        return "the bucket does not exist"
    if code in _DENIED or status in ("401", "403"):
        return (f"access denied ({code.lower()} during {operation}): check the credentials "
                "(AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_PROFILE)")
    if code == "NETWORK_CONNECTION":
        return f"the store does not answer ({scrub(detail.strip()) or 'no connection'})"
    return scrub(f"{code.lower()} during {operation}{f' (HTTP {status})' if status else ''}: {detail.strip()}")
