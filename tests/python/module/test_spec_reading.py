"""The spec reading table (tests/data/spec_reading.tsv, shared with the C++ tests) through the
module: the text reader is the constructor, the value reader the "set_spec" command. A spec the
readers accept may still fail validation ("bad spec: ..."), never reading."""

import json

import pytest

from conftest import case_table

_korvel_vorn = pytest.importorskip("_korvel_vorn")
Vorn = _korvel_vorn.Vorn

ROWS = [[field.decode("utf-8") for field in row] for row in case_table("spec_reading.tsv")]


def _position(marked):
    point = marked.index("|")
    before = marked[:point]
    line = before.count("\n") + 1
    column = len(before[before.rfind("\n") + 1:].encode("utf-8"))
    return f" at line {line} column {column}"


def _depth(value):
    if isinstance(value, list):
        return 1 + max(map(_depth, value), default=0)
    if isinstance(value, dict):
        return 1 + max(map(_depth, value.values()), default=0)
    return 0


def _constructor_error(text):
    try:
        Vorn(text)
    except ValueError as error:
        return str(error)
    return None


def test_the_table_is_read_whole():
    assert len(ROWS) >= 150
    assert {row[2] for row in ROWS} == {"spec", "failure", "same_syntax_failure"}


@pytest.mark.parametrize("name, marked, outcome, expected, _value_outcome, _value_expected", ROWS,
                         ids=[row[0] for row in ROWS])
def test_text_reader_through_the_constructor(name, marked, outcome, expected, _value_outcome, _value_expected):
    text = marked.replace("|", "", 1)
    error = _constructor_error(text)
    if outcome == "spec":
        assert error is None or error.startswith("bad spec: "), error
    elif outcome == "failure":
        assert error == "parse: " + expected + _position(marked)
    else:  # the generic reader's failure: the same text sent as a command fails the same way
        assert error == json.loads(Vorn("").command(text))["error"]


@pytest.mark.parametrize("name, marked, _outcome, _expected, outcome, expected", ROWS, ids=[row[0] for row in ROWS])
def test_value_reader_through_set_spec(name, marked, _outcome, _expected, outcome, expected):
    if outcome in ("not_applicable", "same_syntax_failure"):
        pytest.skip("the text is not a JSON value a command can carry")
    text = marked.replace("|", "", 1)
    if _depth(json.loads(text)) >= 127:
        pytest.skip("the command around the spec would nest one level beyond the limit")
    reply = json.loads(Vorn("").command('{"cmd":"set_spec","spec":' + text + "}"))
    if outcome == "spec":
        assert reply == {"ok": True} or reply["error"].startswith("bad spec: "), reply
    else:
        assert reply == {"ok": False, "error": "parse: " + expected}
