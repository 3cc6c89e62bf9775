"""Finding the first bad record of a dataset file that failed to load.

The engine's decoding errors say what was wrong ("unknown variant `long`, expected `buy` or
`sell`") but not where in a file of millions of records. After a failed load, the file's lists are
walked again: each record's extent is found with Python's JSON reader and the records are loaded,
a group at a time and then one by one, into a scratch engine with the other lists empty, so the
first record the engine itself refuses is named with its list, index and line.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass

from .schema import LISTS

GROUP = 512  # records tried together before they are tried one by one
_BLANK_RUN = re.compile(r"[ \t\n\r]*")


@dataclass(frozen=True)
class BadRecord:
    list_name: str
    index: int  # from 0, in the file's list
    line: int  # of the file, from 1

    def __str__(self) -> str:
        return f"{self.list_name}[{self.index}] at line {self.line}"


def _skip_blank(text: str, pos: int) -> int:
    return _BLANK_RUN.match(text, pos).end()  # type: ignore[union-attr]


def _records(text: str) -> Iterator[tuple[str, int, int, int]]:
    """(list, index, start, end) of each record of the dataset lists, in file order; stops at the
    first thing it cannot read, yielding it as a record of end -1."""
    decoder = json.JSONDecoder()
    pos = _skip_blank(text, 0)
    if not text.startswith("{", pos):
        return
    pos = _skip_blank(text, pos + 1)
    while pos < len(text) and text[pos] != "}":
        try:
            key, pos = decoder.raw_decode(text, pos)
        except (json.JSONDecodeError, RecursionError):
            return
        pos = _skip_blank(text, pos)
        if not text.startswith(":", pos):
            return
        pos = _skip_blank(text, pos + 1)
        if key in LISTS and text.startswith("[", pos):
            pos = _skip_blank(text, pos + 1)
            index = 0
            while pos < len(text) and text[pos] != "]":
                start = pos
                try:
                    _, pos = decoder.raw_decode(text, pos)
                except (json.JSONDecodeError, RecursionError):
                    yield key, index, start, -1
                    return
                yield key, index, start, pos
                index += 1
                pos = _skip_blank(text, pos)
                if text.startswith(",", pos):
                    pos = _skip_blank(text, pos + 1)
            pos += 1
        else:
            try:
                _, pos = decoder.raw_decode(text, pos)
            except (json.JSONDecodeError, RecursionError):
                return
        pos = _skip_blank(text, pos)
        if text.startswith(",", pos):
            pos = _skip_blank(text, pos + 1)


def find_bad_record(text: str, loads: Callable[[str], bool]) -> BadRecord | None:
    """The first record of `text` (a dataset's JSON) that `loads` refuses; `loads` takes a load
    command's text and tells whether the engine accepted it."""

    def accepted(name: str, records: list[tuple[int, int]]) -> bool:
        body = ",".join(text[start:end] for start, end in records)
        lists = ",".join(f'"{other}":[{body if other == name else ""}]' for other in LISTS)
        return loads('{"cmd":"load","dataset":{' + lists + "}}")

    def bad(name: str, index: int, start: int) -> BadRecord:
        return BadRecord(name, index, text.count("\n", 0, start) + 1)

    group: list[tuple[int, int, int]] = []
    group_list = ""

    def check_group() -> BadRecord | None:
        if group and not accepted(group_list, [(s, e) for _, s, e in group]):
            for index, start, end in group:
                if not accepted(group_list, [(start, end)]):
                    return bad(group_list, index, start)
        group.clear()
        return None

    for name, index, start, end in _records(text):
        if name != group_list or len(group) >= GROUP:
            found = check_group()
            if found:
                return found
            group_list = name
        if end < 0:
            return check_group() or bad(name, index, start)
        group.append((index, start, end))
    return check_group()
