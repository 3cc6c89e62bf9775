"""The JSON reader's failure table (tests/data/json_reader_failures.tsv, shared with the C++
tests) through the module: every text that is UTF-8 is answered by its error reply, with the
message and position the table gives."""

import json
import re

import pytest

from conftest import ROOT

_korvel_vorn = pytest.importorskip("_korvel_vorn")

TABLE = ROOT / "tests" / "data" / "json_reader_failures.tsv"
_ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]{2}|.)")


def _unescape(field: str) -> bytes:
    def replace(match: re.Match[bytes]) -> bytes:
        code = match.group(1)
        if code.startswith(b"x") and len(code) == 3:
            return bytes([int(code[1:], 16)])
        return {b"t": b"\t", b"n": b"\n", b"r": b"\r"}.get(code, code)

    return _ESCAPE.sub(replace, field.encode("ascii"))


def _cases():
    for line in TABLE.read_text(encoding="ascii").splitlines():
        if not line or line.startswith("#"):
            continue
        group, text, expected = line.split("\t")
        yield pytest.param(_unescape(text), _unescape(expected).decode("utf-8"), id=f"{group}-{text[:40]}")


CASES = list(_cases())


def test_the_table_is_read_whole():
    assert len(CASES) >= 100
    assert {case.id.split("-")[0] for case in CASES} == {"EndOfText", "Grammar", "Numbers", "Strings", "Positions"}


@pytest.mark.parametrize("text, expected", CASES)
def test_each_failure_is_the_error_reply(text, expected):
    try:
        command = text.decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8: a str cannot hold it (the C++ table test reads it)")
    reply = _korvel_vorn.Vorn("").command(command)
    assert json.loads(reply) == {"ok": False, "error": "parse: " + expected}
