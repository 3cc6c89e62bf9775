"""Dataset files read for `Session.load_file`: JSON (plain or gzip-compressed, read natively by
the engine) with errors that name the file's own line and column, and the first record the engine
refuses."""

from __future__ import annotations

import gzip
import os
import re
import zlib
from typing import cast

from ._native import Engine
from .bad_record import BadRecord, find_bad_record
from .replies import error_from_display, parse_reply


class DatasetFileError(ValueError):
    """A dataset file that cannot be read, is not UTF-8 text, or is not a readable `.npz`."""


_POSITION = re.compile(r"^(?P<head>.*) at line (?P<line>\d+) column (?P<column>\d+)$", re.DOTALL)
# The engine reads a dataset file as this command around it (see Engine.load_file), so each line
# of the file is one line further down in the command.
_LOAD_HEAD = b'{"cmd":"load","dataset":\n'
_LOAD_TAIL = b"\n}"
DEFAULT_MAX_BYTES = 4 << 30
_CHUNK = 1 << 20


def remap_file_error(display: str, text_or_lines: str | int, name: str) -> str:
    """Rewrite the position in an engine parse error of a file's "load" command to the file's own.

    `text_or_lines` is the file's text or its number of lines; positions past its end are
    reported as the end of the file.
    """
    match = _POSITION.match(display)
    if not match:
        return display
    lines = text_or_lines if isinstance(text_or_lines, int) else text_or_lines.count("\n") + 1
    line = int(match["line"]) - 1
    if 1 <= line <= lines:
        return f"{match['head']} at line {line} column {match['column']} of {name}"
    return f"{match['head']} at the end of {name}"


def _reason(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def gzip_load_command(name: str, max_bytes: int) -> bytearray:
    """The "load" command of a gzip-compressed dataset file, decompressed piece by piece."""
    command = bytearray(_LOAD_HEAD)
    try:
        with gzip.open(name, "rb") as f:
            while chunk := f.read(_CHUNK):
                nul = chunk.find(b"\0")
                if nul >= 0:  # no JSON text holds one: the reply is the same without what follows
                    command += chunk[: nul + 1]
                    break
                command += chunk
                if len(command) - len(_LOAD_HEAD) > max_bytes:
                    raise DatasetFileError(f"cannot read {name}: it expands to more than {max_bytes} bytes")
    except (OSError, EOFError, zlib.error) as error:
        raise DatasetFileError(f"cannot read {name}: {_reason(error)}") from None
    command += _LOAD_TAIL
    return command


_LOCATE_MAX_BYTES = 1 << 30  # larger files are named by the engine's message alone


def first_bad_record(name: str, command: bytearray | None) -> BadRecord | None:
    """Where a dataset file that failed to load goes wrong: its first record the engine refuses.
    The text is decoded once, from a view of what was read (no further copy of the bytes)."""
    try:
        if command is not None:
            data = memoryview(command)[len(_LOAD_HEAD):len(command) - len(_LOAD_TAIL)]
        else:
            if not os.path.isfile(name) or os.path.getsize(name) > _LOCATE_MAX_BYTES:
                return None  # a device or pipe is not read again
            with open(name, "rb") as f:
                data = memoryview(f.read(_LOCATE_MAX_BYTES + 1))
        if len(data) > _LOCATE_MAX_BYTES:
            return None
        text = str(data, "utf-8").split("\0", 1)[0]
    except (OSError, ValueError, MemoryError):
        return None
    scratch = Engine()

    def loads(command_text: str) -> bool:
        return scratch.command(command_text).startswith('{"ok":true')

    return find_bad_record(text, loads)


def load_json_file(engine: Engine, name: str, max_bytes: int) -> int:
    """Load a dataset JSON file (`.gz` allowed) into `engine`; returns the record count, or raises
    `DatasetFileError` or the error reply's exception, positioned in the file."""
    if name.endswith(".gz"):
        command = gzip_load_command(name, max_bytes)
        lines = command.count(b"\n", len(_LOAD_HEAD), len(command) - len(_LOAD_TAIL)) + 1
        try:
            reply = engine.command_utf8(command)
        except ValueError as error:
            raise DatasetFileError(f"{name} is {error}") from None
    else:
        try:
            reply, lines = engine.load_file(name, max_bytes=max_bytes)
        except OSError as error:
            raise DatasetFileError(f"cannot read {name}: {_reason(error)}") from None
        except ValueError as error:
            raise DatasetFileError(f"{name} is {error}") from None
    decoded = parse_reply(reply, raise_errors=False)
    if decoded.get("ok") is False:
        display = remap_file_error(str(decoded["error"]), lines, name)
        bad = first_bad_record(name, command if name.endswith(".gz") else None)
        if bad is not None:
            display = f"{display} (first bad record: {bad} of {name})"
        raise error_from_display(display)
    return cast(int, decoded["loaded"])
