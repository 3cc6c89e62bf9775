"""The JSON conformance cases of JSONTestSuite (`../shared/data/jsontestsuite/`, when present): every
`y_` document is read, every `n_` document refused with a "parse: " error, and the `i_` documents
(either is allowed) give the outcomes listed below, so a change of behaviour is seen."""

import pathlib

import pytest

from conftest import ROOT
from korvel_vorn._native import Engine

CASES = ROOT.parent / "shared" / "data" / "jsontestsuite" / "test_parsing"
FILES = sorted(CASES.glob("*.json")) if CASES.is_dir() else []

# Implementation-defined cases: what this reader does with each (numbers beyond the double range
# and lone surrogate escapes are refused, huge integers become doubles, text that is not UTF-8 is
# refused before it is read).
IMPLEMENTATION_DEFINED = {
    "number_double_huge_neg_exp": "accept",
    "number_huge_exp": "reject",
    "number_neg_int_huge_exp": "reject",
    "number_pos_double_huge_exp": "reject",
    "number_real_neg_overflow": "reject",
    "number_real_pos_overflow": "reject",
    "number_real_underflow": "accept",
    "number_too_big_neg_int": "accept",
    "number_too_big_pos_int": "accept",
    "number_very_big_negative_int": "accept",
    "object_key_lone_2nd_surrogate": "reject",
    "string_1st_surrogate_but_2nd_missing": "reject",
    "string_1st_valid_surrogate_2nd_invalid": "reject",
    "string_UTF-16LE_with_BOM": "not utf-8",
    "string_UTF-8_invalid_sequence": "not utf-8",
    "string_UTF8_surrogate_U+D800": "not utf-8",
    "string_incomplete_surrogate_and_escape_valid": "reject",
    "string_incomplete_surrogate_pair": "reject",
    "string_incomplete_surrogates_escape_valid": "reject",
    "string_invalid_lonely_surrogate": "reject",
    "string_invalid_surrogate": "reject",
    "string_invalid_utf-8": "not utf-8",
    "string_inverted_surrogates_U+1D11E": "reject",
    "string_iso_latin_1": "not utf-8",
    "string_lone_second_surrogate": "reject",
    "string_lone_utf8_continuation_byte": "not utf-8",
    "string_not_in_unicode_range": "not utf-8",
    "string_overlong_sequence_2_bytes": "not utf-8",
    "string_overlong_sequence_6_bytes": "not utf-8",
    "string_overlong_sequence_6_bytes_null": "not utf-8",
    "string_truncated-utf-8": "not utf-8",
    "string_utf16BE_no_BOM": "not utf-8",
    "string_utf16LE_no_BOM": "not utf-8",
    "structure_500_nested_arrays": "reject",
    "structure_UTF-8_BOM_empty_object": "reject",
}

pytestmark = pytest.mark.skipif(not FILES, reason="the JSON conformance cases are not available")


def _as_member(document: bytes) -> bytes:
    # The document as the value of a member the command ignores: the reader must read it whole.
    return b'{"cmd":"version","ignored":' + document + b"}"


def _outcome(engine: Engine, command: bytes) -> str:
    try:
        reply = engine.command_utf8(command)
    except ValueError as error:
        assert str(error).startswith("not UTF-8 text"), error
        return "not utf-8"
    if reply == engine.command('{"cmd":"version"}'):
        return "accept"
    assert reply.startswith('{"ok":false,"error":"parse: '), reply
    return "reject"


@pytest.mark.parametrize("path", [p for p in FILES if p.name.startswith("y_")], ids=lambda p: p.name)
def test_valid_documents_are_read(path: pathlib.Path):
    assert _outcome(Engine(), _as_member(path.read_bytes())) == "accept"


@pytest.mark.parametrize("path", [p for p in FILES if p.name.startswith("n_")], ids=lambda p: p.name)
def test_invalid_documents_are_refused_with_a_parse_error(path: pathlib.Path):
    engine = Engine()
    data = path.read_bytes()
    try:
        data.decode("utf-8")
        valid_utf8 = True
    except UnicodeDecodeError:
        valid_utf8 = False
    expected = "reject" if valid_utf8 else "not utf-8"
    assert _outcome(engine, _as_member(data)) == expected
    # As the whole command text too.
    assert _outcome(engine, data) == expected


def test_implementation_defined_documents_keep_their_listed_outcome():
    engine = Engine()
    names = {p.name[2:-5]: p for p in FILES if p.name.startswith("i_")}
    assert set(names) == set(IMPLEMENTATION_DEFINED)
    got = {name: _outcome(engine, _as_member(path.read_bytes())) for name, path in names.items()}
    assert got == IMPLEMENTATION_DEFINED
