"""The JSON reader's failure table (tests/data/json_reader_failures.tsv, shared with the C++
tests) through the module: every text that is UTF-8 is answered by its error reply, with the
message and position the table gives."""

import json

import pytest

from conftest import case_table

_korvel_vorn = pytest.importorskip("_korvel_vorn")

CASES = [pytest.param(text, expected.decode("utf-8"), id=f"{group.decode()}-{i}")
         for i, (group, text, expected) in enumerate(case_table("json_reader_failures.tsv"))]


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
