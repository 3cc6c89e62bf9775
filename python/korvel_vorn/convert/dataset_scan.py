"""A dataset document (one JSON object of lists of records) cut into batches of records, a block
of bytes at a time, without parsing it whole.

The brackets of a block are found with NumPy and their depth is a running sum, so the records of
a list are the spans that open at depth 2. Only the few members of the top-level object are
looked at in Python. A block is cut after the last bracket that closes a record (or a member),
and the rest is carried into the next block, so no record is ever split, dropped or read twice.

Brackets inside strings are counted too, which costs nothing when they balance (a string "[]").
When they do not, some span ends inside a string: with no escaped characters (a document holding
any is left to the exact reader), a span holding an odd number of quotes is never valid JSON, so
the decoding of that span fails and the caller falls back to the exact reader.

Anything this scanner does not expect (an escaped character, a value between records that is
not a record, an unbalanced bracket) raises `NotPlain`: the caller reads the document the exact
way, which names the fault.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO

import numpy as np
import numpy.typing as npt

from ..schema import LISTS

BLOCK = 1 << 24  # bytes read at a time
MAX_CARRY = 1 << 28  # longest stretch without a record boundary (one record or member)

_DELTA = np.zeros(256, dtype=np.int8)
_DELTA[[ord("{"), ord("[")]] = 1
_DELTA[[ord("}"), ord("]")]] = -1
_BLANK = frozenset(b" \t\r\n")
_KEY = re.compile(rb'\s*,?\s*"([^"\\]*)"\s*:\s*')
_SCALAR_MEMBER = re.compile(rb'\s*,?\s*"([^"\\]*)"\s*:\s*(null|true|false|-?[0-9][0-9.eE+-]*|"[^"\\]*")\s*')
# Keys that make the whole object some other message (a stream envelope, a response, an event).
_OTHER_MESSAGE = frozenset({"ts", "data", "result", "e", "topic", "lastUpdateId"})


class NotPlain(Exception):
    """A document the block scanner leaves to the whole-document reader."""


@dataclass
class Batch:
    """Records of one list from one block: their bytes and the span of each within them."""

    list_name: str
    data: bytes
    starts: npt.NDArray[np.int64]
    stops: npt.NDArray[np.int64]  # one past each record's closing bracket
    first: int  # index of the first record within its list

    def __len__(self) -> int:
        return len(self.starts)

    def record(self, i: int) -> bytes:
        return self.data[int(self.starts[i]):int(self.stops[i])]


class _State:
    def __init__(self) -> None:
        self.depth = 0  # depth at the start of the carried bytes
        self.member: str | None = None  # the list whose records are being read (depth >= 2)
        self.skipping = False  # inside a member that is not a list of records
        self.counts = dict.fromkeys(LISTS, 0)
        self.seen: set[str] = set()
        self.lists = 0  # members that are lists of records
        self.top = b""  # depth-1 text since the last member (keys and scalar members)
        self.started = False
        self.ended = False


def _members(state: _State, text: bytes, final: bool) -> str | None:
    """The key of the member whose value opens after `text` (depth-1 text), after checking the
    scalar members before it; None at the end of the object."""
    at = 0
    while True:
        scalar = _SCALAR_MEMBER.match(text, at)
        if scalar is not None and (scalar.end() == len(text) or text[scalar.end():scalar.end() + 1] == b","):
            if _note_key(state, scalar[1]) in LISTS and scalar[2] != b"null":
                raise NotPlain
            at = scalar.end()
            continue
        key = _KEY.match(text, at)
        if key is not None and key.end() == len(text) and not final:
            return _note_key(state, key[1])
        rest = text[at:]
        if final and not rest.strip(b" \t\r\n,"):
            return None
        raise NotPlain


def _note_key(state: _State, raw: bytes) -> str:
    try:
        key = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise NotPlain from None
    if key in _OTHER_MESSAGE or key in state.seen:
        raise NotPlain  # another message, or a key given twice: the whole-document reader decides
    state.seen.add(key)
    return key


def _check_gaps(data: npt.NDArray[np.uint8], starts: npt.NDArray[np.int64], stops: npt.NDArray[np.int64],
                head: int) -> None:
    """Between records only a comma (and blanks); before the first, blanks (or a comma after an
    earlier block's record, when `head` is 1)."""
    if not len(starts):
        return
    gaps = starts[1:] - stops[:-1]
    if len(gaps) and bool(np.all(gaps == 1)):
        if not bool(np.all(data[stops[:-1]] == ord(","))):
            raise NotPlain
    else:
        for lo, hi in zip(stops[:-1].tolist(), starts[1:].tolist()):
            gap = bytes(data[lo:hi])
            if gap.count(b",") != 1 or any(c not in _BLANK for c in gap.replace(b",", b"")):
                raise NotPlain


def _check_blank(data: bytes, lo: int, hi: int, commas: int) -> None:
    gap = data[lo:hi]
    if gap.count(b",") != commas or any(c not in _BLANK for c in gap.replace(b",", b"")):
        raise NotPlain


def scan_batches(stream: IO[bytes], block: int = BLOCK) -> Iterator[Batch]:
    """The records of a dataset document read from `stream`, a batch per list and block."""
    state = _State()
    carry = b""
    after_record = False  # the carried bytes follow a record of the current list
    eof = False
    while not eof:
        chunk = stream.read(block)
        eof = not chunk
        data = carry + chunk
        if not state.started:
            if data.startswith(b"\xef\xbb\xbf"):
                data = data[3:]
            stripped = data.lstrip()
            if not stripped:
                if eof:
                    raise NotPlain
                carry = data
                continue
            if stripped[:1] != b"{":
                raise NotPlain
        if b"\\" in data:
            raise NotPlain
        view = np.frombuffer(data, dtype=np.uint8)
        folded = view | 0x20  # [ and { (91, 123) fold to 123, ] and } (93, 125) to 125
        marks = np.flatnonzero((folded == ord("{")) | (folded == ord("}")))
        del folded
        delta = _DELTA[view[marks]].astype(np.int64)
        after = state.depth + np.cumsum(delta)
        before = after - delta
        if len(after) and int(after.min()) < 0:
            raise NotPlain
        # The last bracket back at depth 2 or less ends the block.
        if eof:
            cut_index = len(marks) - 1
        else:
            safe = np.flatnonzero(after <= 2)
            cut_index = int(safe[-1]) if len(safe) else -1
        if cut_index < 0:
            if len(data) > MAX_CARRY:
                raise NotPlain
            carry = data
            continue
        cut = int(marks[cut_index]) + 1
        if int(view[:cut].max(initial=0)) >= 0x80:
            try:
                data[:cut].decode("utf-8")
            except UnicodeDecodeError:
                raise NotPlain from None  # the whole-document reader names the byte
        marks, before, after = marks[:cut_index + 1], before[:cut_index + 1], after[:cut_index + 1]
        yield from _events(state, data, view, marks, before, after, cut, after_record)
        after_record = bool(state.member is not None and before[-1] == 3 and after[-1] == 2)
        state.depth = int(after[-1])
        carry = data[cut:]
        if eof and (state.depth != 0 or carry.strip()):
            raise NotPlain
    if not state.ended or carry.strip() or not state.lists:
        raise NotPlain


def _events(state: _State, data: bytes, view: npt.NDArray[np.uint8], marks: npt.NDArray[np.int64],
            before: npt.NDArray[np.int64], after: npt.NDArray[np.int64], cut: int,
            after_record: bool) -> Iterator[Batch]:
    """Walk the member-level brackets of one block in Python and the records between them with
    NumPy."""
    member_events = np.flatnonzero(np.minimum(before, after) <= 1)
    position = 0  # bytes before this are accounted for
    bounds = [*member_events.tolist(), len(marks)]
    run_start = 0
    for index in bounds:
        # Records of the current member between the previous member event and this one.
        if state.member is not None and not state.skipping and index > run_start:
            lo, hi = run_start, index
            opens = marks[lo:hi][(before[lo:hi] == 2) & (after[lo:hi] == 3)]
            closes = marks[lo:hi][(before[lo:hi] == 3) & (after[lo:hi] == 2)] + 1
            if len(opens) != len(closes) or (len(opens) and bool(np.any(opens >= closes))):
                raise NotPlain
            if len(opens):
                _check_gaps(view, opens, closes, 0)
                _check_blank(data, position, int(opens[0]), 1 if after_record else 0)
                name = state.member
                yield Batch(name, data, opens, closes, state.counts[name])
                state.counts[name] += len(opens)
                position = int(closes[-1])
                after_record = True
        if index == len(marks):
            break
        at = int(marks[index])
        b, a = int(before[index]), int(after[index])
        if b == 0 and a == 1:  # the document opens
            if state.started or data[position:at].strip(b" \t\r\n\xef\xbb\xbf"):
                raise NotPlain
            state.started = True
            state.top = b""
        elif b == 1 and a == 2:  # a member's value opens
            key = _members(state, state.top + data[position:at], final=False)
            state.top = b""
            state.member = key
            state.skipping = not (key in LISTS and data[at:at + 1] == b"[")
            if key in LISTS and state.skipping:
                raise NotPlain  # a list given as an object: the whole-document reader names it
            state.lists += not state.skipping
            after_record = False
        elif b == 2 and a == 1:  # a member's value closes
            if not state.skipping:
                _check_blank(data, position, at, 0)
            state.member = None
            state.skipping = False
            after_record = False
        elif b == 1 and a == 0:  # the document closes
            _members(state, state.top + data[position:at], final=True)
            state.top = b""
            state.ended = True
        else:
            raise NotPlain
        position = at + 1
        run_start = index + 1
    if state.member is None and state.started and not state.ended:
        state.top += data[position:cut]
