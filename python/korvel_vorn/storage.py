"""Where a catalog or a batch output lives: a local folder, or a URL of an object store.

`open_store(root)` turns a root string into a `Store`, and every read and write of a catalog or a
batch output goes through one. A local path (or ``file://``) stays a local path: files are written
under a hidden temporary name and renamed into place. ``s3://bucket/prefix`` goes through pyarrow's
S3 filesystem, configured the standard way (``AWS_ACCESS_KEY_ID``, ``AWS_SECRET_ACCESS_KEY``,
``AWS_SESSION_TOKEN``, ``AWS_PROFILE``, ``AWS_REGION``, ``AWS_ENDPOINT_URL`` for S3-compatible
stores); other schemes (``gs://``, ``abfs://``, ...) through pyarrow or fsspec when installed. A
store has no rename: each object is sent whole from memory in one upload, which the store makes
visible only once complete, so a reader never finds half an object.

Messages name the root as given, without credentials; nothing secret is printed or written.
"""

from __future__ import annotations

import concurrent.futures
import functools
import os
import pathlib
import threading
import uuid
from collections.abc import Callable, Iterable
from typing import Any, TypeVar
from urllib.parse import urlsplit

import pyarrow as pa
import pyarrow.fs as pafs
import pyarrow.parquet as pq

from .storage_error import StorageError, has_credentials, is_url, reason_of, shown

TEMP_PREFIX = ".tmp-"
_AT_ONCE = 8  # requests a store is sent at once by one reader

T = TypeVar("T")
R = TypeVar("R")

# Environment variables that change how the S3 filesystem is built (a new one per distinct setting).
_S3_SETTINGS = ("AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL", "AWS_REGION", "AWS_DEFAULT_REGION", "AWS_PROFILE",
                "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_S3_ADDRESSING_STYLE",
                "KORVEL_VORN_S3_CONNECT_TIMEOUT", "KORVEL_VORN_S3_REQUEST_TIMEOUT", "KORVEL_VORN_S3_ATTEMPTS")
def _seconds(name: str, default: float) -> float:
    try:
        value = float(os.environ.get(name, default))
    except ValueError:
        raise StorageError(f"{name} is not a number of seconds") from None
    return value if value > 0 else default


@functools.lru_cache(maxsize=8)
def _s3_filesystem(settings: tuple[str | None, ...]) -> pafs.FileSystem:
    """pyarrow's S3 filesystem; credentials come from the AWS SDK's own chain (the environment, then
    the profile in ~/.aws), the endpoint of an S3-compatible store from AWS_ENDPOINT_URL, which the
    SDK does not read by itself."""
    env = dict(zip(_S3_SETTINGS, settings))
    options: dict[str, Any] = {
        "allow_delayed_open": True,  # a small object goes in one PUT, a large one in a multipart upload
        "connect_timeout": _seconds("KORVEL_VORN_S3_CONNECT_TIMEOUT", 10.0),
        "request_timeout": _seconds("KORVEL_VORN_S3_REQUEST_TIMEOUT", 60.0),
        "retry_strategy": pafs.AwsStandardS3RetryStrategy(max_attempts=int(_seconds("KORVEL_VORN_S3_ATTEMPTS", 3))),
    }
    endpoint = env["AWS_ENDPOINT_URL_S3"] or env["AWS_ENDPOINT_URL"]
    if endpoint:
        parts = urlsplit(endpoint if "://" in endpoint else f"https://{endpoint}")
        options["endpoint_override"] = parts.netloc + parts.path.rstrip("/")
        options["scheme"] = parts.scheme
    region = env["AWS_REGION"] or env["AWS_DEFAULT_REGION"]
    if region:
        options["region"] = region
    elif endpoint:
        options["region"] = "us-east-1"  # an S3-compatible store rarely cares; spares a lookup
    if (env["AWS_S3_ADDRESSING_STYLE"] or "").lower() == "virtual":
        options["force_virtual_addressing"] = True
    return pafs.S3FileSystem(**options)


def _other_filesystem(root: str) -> tuple[pafs.FileSystem, str]:
    """A filesystem pyarrow knows by the URL's scheme, else fsspec's."""
    scheme = urlsplit(root).scheme
    try:
        return pafs.FileSystem.from_uri(root)  # type: ignore[no-any-return]
    except pa.ArrowInvalid:
        pass
    except (OSError, pa.ArrowException) as error:
        raise StorageError(f"{shown(root)}: {reason_of(error)}") from None
    try:
        import fsspec
        from pyarrow.fs import FSSpecHandler, PyFileSystem

        filesystem = fsspec.filesystem(scheme)
    except (ImportError, ValueError) as error:
        raise StorageError(f"{shown(root)}: no filesystem for {scheme}:// is installed "
                           f"({str(error).splitlines()[0] if str(error) else 'unknown scheme'})") from None
    path = filesystem._strip_protocol(root)
    return PyFileSystem(FSSpecHandler(filesystem)), str(path).rstrip("/")


def open_store(root: str | os.PathLike[str]) -> Store:
    """The store of a catalog or output root: a local folder, or an object store by URL."""
    text = os.fspath(root)
    if not is_url(text):
        return LocalStore(text)
    parts = urlsplit(text)
    if parts.scheme == "file":
        return LocalStore(parts.path or "/")
    if has_credentials(text):
        raise StorageError(f"{shown(text)}: put credentials in the environment (AWS_ACCESS_KEY_ID, ...), "
                           "not in the URL")
    if parts.scheme == "s3":
        bucket = parts.netloc
        if not bucket:
            raise StorageError(f"{shown(text)}: no bucket in the URL (s3://BUCKET/PREFIX)")
        filesystem = _s3_filesystem(tuple(os.environ.get(name) for name in _S3_SETTINGS))
        return ObjectStore(shown(text), filesystem, f"{bucket}{parts.path}".rstrip("/"))
    filesystem, base = _other_filesystem(text)
    return ObjectStore(shown(text), filesystem, base.rstrip("/"))


class Staged:
    """A file written but not yet in place: `commit` puts it there, `discard` drops it."""

    def __init__(self, commit: Any, discard: Any) -> None:
        self.commit, self.discard = commit, discard


class Store:
    """The files of one root, by paths relative to it with "/" between parts."""

    url: str

    def where(self, rel: str) -> str:
        """A path as messages name it."""
        return f"{self.url.rstrip('/')}/{rel}" if rel else self.url

    def local_path(self, rel: str = "") -> pathlib.Path | None:
        return None

    def check(self) -> None:
        """Raises StorageError when the root cannot be reached (no bucket, no access, no answer)."""

    def each(self, work: Callable[[T], R], items: Iterable[T]) -> list[R]:
        """work(item) for every item, in order: one after the other on a disk, some at once on a
        store, where each request waits mostly for its round trip."""
        return [work(item) for item in items]

    def make_root(self) -> None:
        """The root made where it needs making (a local folder; an object store has no folders)."""

    def is_file(self, rel: str) -> bool:
        raise NotImplementedError

    def is_dir(self, rel: str) -> bool:
        raise NotImplementedError

    def children(self, rel: str) -> list[tuple[str, bool]]:
        """The names under a folder with whether each is a folder; [] when there is no folder."""
        raise NotImplementedError

    def children_deep(self, rel: str) -> list[tuple[str, bool]]:
        """Every path under a folder, relative to it, with whether each is a folder."""
        raise NotImplementedError

    def stat(self, rel: str) -> tuple[int, int] | None:
        """(size, modification time in ns) of a file, None when there is none."""
        raise NotImplementedError

    def read_bytes(self, rel: str) -> bytes:
        """The bytes of a file; FileNotFoundError when there is none."""
        raise NotImplementedError

    def write_bytes(self, rel: str, data: bytes) -> None:
        """A file written whole or not at all."""
        raise NotImplementedError

    def create_new(self, rel: str, data: bytes) -> bool:
        """Writes a file only where none is; False when one was there already."""
        raise NotImplementedError

    def delete(self, rel: str) -> None:
        """A file removed; nothing when there is none."""
        raise NotImplementedError

    def read_table(self, rel: str) -> pa.Table:
        raise NotImplementedError

    def write_table(self, rel: str, table: pa.Table, **options: Any) -> None:
        """A Parquet file written whole or not at all."""
        sink = pa.BufferOutputStream()
        pq.write_table(table, sink, **options)
        self.write_bytes(rel, sink.getvalue().to_pybytes())

    def stage_table(self, rel: str, table: pa.Table, **options: Any) -> Staged:
        """A Parquet file prepared to be put in place with others at once: kept in memory until an
        object store gets it in one upload."""
        sink = pa.BufferOutputStream()
        pq.write_table(table, sink, **options)
        data = sink.getvalue().to_pybytes()
        return Staged(lambda: self.write_bytes(rel, data), lambda: None)

    def filesystem(self, rel: str) -> tuple[pafs.FileSystem, str]:
        """A pyarrow filesystem and the path of `rel` in it (for datasets)."""
        raise NotImplementedError

    def remove_temporaries(self, rel: str) -> int:
        """Removes what writers killed in the middle left under a folder; an object store keeps no
        temporaries (an unfinished upload is never an object)."""
        return 0


class LocalStore(Store):
    """A folder of the local filesystem."""

    def __init__(self, root: str) -> None:
        self.url = root
        self.root = pathlib.Path(root)

    def path(self, rel: str) -> pathlib.Path:
        return self.root / rel if rel else self.root

    def where(self, rel: str) -> str:
        return str(self.path(rel))

    def local_path(self, rel: str = "") -> pathlib.Path:
        return self.path(rel)

    def make_root(self) -> None:
        self.root.mkdir(parents=True, exist_ok=True)

    def is_file(self, rel: str) -> bool:
        return self.path(rel).is_file()

    def is_dir(self, rel: str) -> bool:
        return self.path(rel).is_dir()

    def children(self, rel: str) -> list[tuple[str, bool]]:
        try:
            return [(entry.name, entry.is_dir()) for entry in os.scandir(self.path(rel))]
        except OSError:
            return []

    def children_deep(self, rel: str) -> list[tuple[str, bool]]:
        folder = self.path(rel)
        return [(path.relative_to(folder).as_posix(), path.is_dir()) for path in folder.rglob("*")]

    def stat(self, rel: str) -> tuple[int, int] | None:
        try:
            found = self.path(rel).stat()
        except FileNotFoundError:
            return None
        return found.st_size, found.st_mtime_ns

    def read_bytes(self, rel: str) -> bytes:
        return self.path(rel).read_bytes()

    def _temporary(self, target: pathlib.Path) -> pathlib.Path:
        return target.with_name(f"{TEMP_PREFIX}{uuid.uuid4().hex}-{os.getpid()}-{threading.get_ident()}-{target.name}")

    def _replace_into(self, rel: str, write: Any) -> None:
        target = self.path(rel)
        target.parent.mkdir(parents=True, exist_ok=True)
        temporary = self._temporary(target)
        try:
            write(temporary)
            os.replace(temporary, target)
        except BaseException:
            temporary.unlink(missing_ok=True)
            raise

    def write_bytes(self, rel: str, data: bytes) -> None:
        def write(temporary: pathlib.Path) -> None:
            with open(temporary, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())

        self._replace_into(rel, write)

    def create_new(self, rel: str, data: bytes) -> bool:
        target = self.path(rel)
        target.parent.mkdir(parents=True, exist_ok=True)
        try:
            descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        except FileExistsError:
            return False
        with os.fdopen(descriptor, "wb") as f:
            f.write(data)
        return True

    def delete(self, rel: str) -> None:
        self.path(rel).unlink(missing_ok=True)

    def read_table(self, rel: str) -> pa.Table:
        return pq.read_table(self.path(rel), memory_map=True)

    def write_table(self, rel: str, table: pa.Table, **options: Any) -> None:
        self._replace_into(rel, lambda temporary: pq.write_table(table, temporary, **options))

    def stage_table(self, rel: str, table: pa.Table, **options: Any) -> Staged:
        """Written under a temporary name beside its place; renamed into it on commit."""
        target = self.path(rel)
        target.parent.mkdir(parents=True, exist_ok=True)
        temporary = self._temporary(target)
        try:
            pq.write_table(table, temporary, **options)
        except BaseException:
            temporary.unlink(missing_ok=True)
            raise
        return Staged(lambda: os.replace(temporary, target), lambda: temporary.unlink(missing_ok=True))

    def filesystem(self, rel: str) -> tuple[pafs.FileSystem, str]:
        return pafs.LocalFileSystem(), str(self.path(rel).absolute())

    def remove_temporaries(self, rel: str) -> int:
        folder = self.path(rel)
        removed = 0
        if not folder.is_dir():
            return 0
        for path in folder.rglob(f"{TEMP_PREFIX}*"):
            path.unlink(missing_ok=True)
            removed += 1
        return removed


class ObjectStore(Store):
    """A prefix of a bucket (or of another pyarrow filesystem without rename)."""

    def __init__(self, url: str, fs: pafs.FileSystem, base: str) -> None:
        self.url = url
        self.fs = fs
        self.base = base

    def full(self, rel: str) -> str:
        return f"{self.base}/{rel}" if rel else self.base

    def _failed(self, rel: str, error: BaseException) -> StorageError:
        return StorageError(f"{self.where(rel)}: {reason_of(error)}")

    def _info(self, rel: str) -> pafs.FileInfo:
        try:
            return self.fs.get_file_info(self.full(rel))
        except (OSError, pa.ArrowException) as error:
            raise self._failed(rel, error) from None

    def each(self, work: Callable[[T], R], items: Iterable[T]) -> list[R]:
        listed = list(items)
        if len(listed) < 2:
            return [work(item) for item in listed]
        with concurrent.futures.ThreadPoolExecutor(max_workers=min(len(listed), _AT_ONCE)) as pool:
            return list(pool.map(work, listed))

    def check(self) -> None:
        if not isinstance(self.fs, pafs.S3FileSystem):
            return  # other stores say what is wrong at their first request
        bucket = self.base.split("/", 1)[0]
        try:
            found = self.fs.get_file_info(bucket)
        except (OSError, pa.ArrowException) as error:
            raise self._failed("", error) from None
        if found.type == pafs.FileType.NotFound:
            raise StorageError(f"{self.url}: the bucket does not exist")

    def is_file(self, rel: str) -> bool:
        return bool(self._info(rel).type == pafs.FileType.File)

    def is_dir(self, rel: str) -> bool:
        return bool(self._info(rel).type == pafs.FileType.Directory)

    def children(self, rel: str) -> list[tuple[str, bool]]:
        try:
            found = self.fs.get_file_info(pafs.FileSelector(self.full(rel), recursive=False, allow_not_found=True))
        except (OSError, pa.ArrowException) as error:
            raise self._failed(rel, error) from None
        return [(info.base_name, info.type == pafs.FileType.Directory) for info in found]

    def children_deep(self, rel: str) -> list[tuple[str, bool]]:
        prefix = self.full(rel)
        try:
            found = self.fs.get_file_info(pafs.FileSelector(prefix, recursive=True, allow_not_found=True))
        except (OSError, pa.ArrowException) as error:
            raise self._failed(rel, error) from None
        return [(info.path[len(prefix) + 1:], info.type == pafs.FileType.Directory) for info in found]

    def stat(self, rel: str) -> tuple[int, int] | None:
        info = self._info(rel)
        if info.type != pafs.FileType.File:
            return None
        return int(info.size or 0), int(info.mtime_ns or 0)

    def read_bytes(self, rel: str) -> bytes:
        try:
            # A random-access file knows its size and takes the object in one ranged GET; a
            # stream reads it in small pieces, many times slower.
            with self.fs.open_input_file(self.full(rel)) as f:
                return bytes(f.read())
        except FileNotFoundError:
            raise
        except (OSError, pa.ArrowException) as error:
            if "NO_SUCH_KEY" in str(error) or "Path does not exist" in str(error):
                raise FileNotFoundError(self.where(rel)) from None
            raise self._failed(rel, error) from None

    def write_bytes(self, rel: str, data: bytes) -> None:
        # The whole object is handed over in one write, so whatever the upload does (one request,
        # or parts completed only at close) the key names all of it or nothing.
        try:
            stream = self.fs.open_output_stream(self.full(rel))
            stream.write(data)
            stream.close()
        except (OSError, pa.ArrowException) as error:
            raise self._failed(rel, error) from None

    def create_new(self, rel: str, data: bytes) -> bool:
        # No conditional put through pyarrow: look, then write; the lock re-reads what it wrote.
        if self._info(rel).type != pafs.FileType.NotFound:
            return False
        self.write_bytes(rel, data)
        return True

    def delete(self, rel: str) -> None:
        try:
            self.fs.delete_file(self.full(rel))
        except FileNotFoundError:
            pass
        except (OSError, pa.ArrowException) as error:
            if "NO_SUCH_KEY" in str(error) or "does not exist" in str(error):
                return
            raise self._failed(rel, error) from None

    def read_table(self, rel: str) -> pa.Table:
        # One request for the whole object: a partition is read in full anyway, and each ranged
        # read of a Parquet footer and column chunks would cost a round trip.
        try:
            with self.fs.open_input_file(self.full(rel)) as f:
                data = f.read_buffer()
        except (OSError, pa.ArrowException) as error:
            if isinstance(error, FileNotFoundError) or "Path does not exist" in str(error):
                raise FileNotFoundError(self.where(rel)) from None
            raise self._failed(rel, error) from None
        return pq.read_table(pa.BufferReader(data))

    def filesystem(self, rel: str) -> tuple[pafs.FileSystem, str]:
        return self.fs, self.full(rel)
