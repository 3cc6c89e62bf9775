"""`Session`: a `Vorn` object driven with Python values, with error replies raised as exceptions.

The session sends the engine's own command texts (built by `korvel_vorn.commands`) and decodes
the replies (`korvel_vorn.replies`); it adds nothing to the protocol and computes nothing itself.
"""

from __future__ import annotations

import gzip
import json
import os
import re
from typing import Any, cast

from . import commands
from . import Vorn
from .replies import Bounds, Frame, VornParseError, error_from_display, parse_reply


class DatasetFileError(ValueError):
    """A dataset file that cannot be read, is not UTF-8 text or is not valid JSON."""


_POSITION = re.compile(r"^(?P<head>.*) at line (?P<line>\d+) column (?P<column>\d+)$", re.DOTALL)
_LOAD_HEAD = '{"cmd":"load","dataset":\n'
_LOAD_TAIL = "\n}"


def read_dataset_file(path: str | os.PathLike[str]) -> str:
    """The text of a dataset file (gzip-compressed when its name ends in .gz)."""
    name = os.fspath(path)
    try:
        if name.endswith(".gz"):
            with gzip.open(name, "rb") as f:
                raw = f.read()
        else:
            with open(name, "rb") as f:
                raw = f.read()
    except (OSError, EOFError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise DatasetFileError(f"cannot read {name}: {reason}") from None
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise DatasetFileError(f"{name} is not UTF-8 text (byte {error.start})") from None


def parse_dataset_text(text: str, name: str) -> Any:
    """The decoded JSON of a dataset file, with Python's position for syntax errors."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise DatasetFileError(
            f"{name} is not valid JSON: {error.msg} at line {error.lineno} column {error.colno}"
        ) from None
    except RecursionError:
        raise DatasetFileError(f"{name} nests too deeply") from None


def load_file_command(text: str) -> str:
    """The "load" command for a dataset file's text, the dataset on lines of its own.

    The engine counts lines from the command's start; with the dataset starting on line 2, a
    position it reports maps back to the file by subtracting one line.
    """
    return _LOAD_HEAD + text + _LOAD_TAIL


def remap_file_error(display: str, text: str, name: str) -> str:
    """Rewrite the position in an engine parse error of `load_file_command` to the file's."""
    match = _POSITION.match(display)
    if not match:
        return display
    line = int(match["line"]) - 1
    if 1 <= line <= text.count("\n") + 1:
        return f"{match['head']} at line {line} column {match['column']} of {name}"
    return f"{match['head']} at the end of {name}"


class Session:
    """One `Vorn` object with Python-valued commands.

    `spec` is a spec as JSON text, a mapping (for instance from `commands.spec_value`) or None.
    A spec the engine refuses raises `VornParseError` or `VornBadSpecError`.
    """

    def __init__(self, spec: Any = None) -> None:
        try:
            self.vorn = Vorn(commands.spec_text(spec))
        except ValueError as error:
            raise error_from_display(str(error)) from None

    def command(self, text: str) -> Any:
        """Send one command text; returns the decoded reply, raising for an error reply."""
        return parse_reply(self.vorn.command(text))

    def version(self) -> str:
        return cast(str, self.command(commands.version_command())["version"])

    def set_spec(self, spec: Any) -> None:
        self.command(commands.set_spec_command(spec))

    def load(self, dataset: Any) -> int:
        """Load a dataset (JSON text or a mapping of lists); returns the record count."""
        return cast(int, self.command(commands.load_command(dataset))["loaded"])

    def load_file(self, path: str | os.PathLike[str]) -> int:
        """Load a dataset file (the value of a "load" command's "dataset", optionally .gz)."""
        count, _ = self.load_file_value(path)
        return count

    def load_file_value(self, path: str | os.PathLike[str]) -> tuple[int, Any]:
        """`load_file` that also returns the file's decoded JSON."""
        name = os.fspath(path)
        text = read_dataset_file(name)
        value = parse_dataset_text(text, name)
        reply = parse_reply(self.vorn.command(load_file_command(text)), raise_errors=False)
        if reply.get("ok") is False:
            raise error_from_display(remap_file_error(str(reply["error"]), text, name))
        return cast(int, reply["loaded"]), value

    def reset(self) -> None:
        self.command(commands.reset_command())

    def bounds(self) -> Bounds:
        return cast(Bounds, self.command(commands.bounds_command()))

    def frame(self) -> Frame:
        return cast(Frame, self.command(commands.frame_command()))

    def frame_at(self, ts: Any) -> Frame:
        return cast(Frame, self.command(commands.frame_at_command(ts)))

    def frame_text(self, ts: Any = None) -> str:
        """The raw reply text of "frame" (ts None) or "frame_at"; raises for an error reply."""
        text = self.vorn.command(commands.frame_command() if ts is None else commands.frame_at_command(ts))
        if text.startswith('{"ok":false'):
            parse_reply(text)
        return text


__all__ = ["DatasetFileError", "Session", "VornParseError", "load_file_command", "read_dataset_file",
           "remap_file_error"]
