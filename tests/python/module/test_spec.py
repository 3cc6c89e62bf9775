"""The spec through both ways in: `Vorn(text)` and the "set_spec" command.

Each table row gives the constructor's outcome and the "set_spec" outcome for the same spec text,
so the rows show where the two paths part: positions only on the constructor, repeated keys only
there, document order against ascending key order.
"""

import json

import _korvel_vorn
import pytest

PANELS = '[{"kind":"footprint"}]'
TAGS = "one of `footprint`, `book_heatmap`, `liquidation_map`, `funding_oi_divergence`"


def spec(panels=PANELS, **extra):
    """A spec text with the three required members and `extra` members first."""
    members = "".join(f'"{key}":{value},' for key, value in extra.items())
    return '{' + members + '"dataset_ref":"d","symbol":"S","panels":' + panels + '}'


def set_spec(vorn, text):
    return vorn.command('{"cmd":"set_spec","spec":' + text + '}')


def error_reply(display):
    return json.dumps({"ok": False, "error": display}, ensure_ascii=False, separators=(",", ":"))


OK = '{"ok":true}'

# (spec text, constructor ValueError text or None, "set_spec" error text or None)
READ_CASES = [
    pytest.param(spec(), None, None, id="valid"),
    pytest.param('{"dataset_ref":"","symbol":"S","panels":[{"kind":"liquidation_map"}]}', None, None,
                 id="only_kind_and_empty_ref"),
    pytest.param(spec(from_ts=5, to_ts="null"), None, None, id="from_ts_with_null_to_ts"),
    pytest.param("{ }", "parse: missing field `dataset_ref` at line 1 column 3",
                 "parse: missing field `dataset_ref`", id="space_inside_braces"),
    pytest.param("null", "parse: invalid type: null, expected struct VornSpec at line 1 column 4",
                 "parse: invalid type: null, expected struct VornSpec", id="null"),
    pytest.param('{"dataset_ref":"d","symbol":"S"}', "parse: missing field `panels` at line 1 column 32",
                 "parse: missing field `panels`", id="missing_panels"),
    pytest.param(spec("{}"), "parse: invalid type: map, expected a sequence at line 1 column 41",
                 "parse: invalid type: map, expected a sequence", id="panels_object"),
    pytest.param(spec('[{"kind":"footprint","bucket_ms":60000.0}]'),
                 "parse: invalid type: floating point `60000.0`, expected i64 at line 1 column 83",
                 "parse: invalid type: floating point `60000.0`, expected i64", id="bucket_ms_float"),
    pytest.param(spec('[{"kind":"footprint","bucket_ms":9223372036854775808}]'),
                 "parse: invalid value: integer `9223372036854775808`, expected i64 at line 1 column 95",
                 "parse: invalid value: integer `9223372036854775808`, expected i64", id="bucket_ms_above_i64"),
    pytest.param(spec('[{"kind":"book_heatmap","depth_levels":-1}]'),
                 "parse: invalid value: integer `-1`, expected u32 at line 1 column 84",
                 "parse: invalid value: integer `-1`, expected u32", id="depth_levels_negative"),
    pytest.param(spec('[{"kind":"book_heatmap","depth_levels":4294967296}]'),
                 "parse: invalid value: integer `4294967296`, expected u32 at line 1 column 92",
                 "parse: invalid value: integer `4294967296`, expected u32", id="depth_levels_above_u32"),
    pytest.param(spec('[{"kind":"Footprint"}]'),
                 f"parse: unknown variant `Footprint`, expected {TAGS} at line 1 column 61",
                 f"parse: unknown variant `Footprint`, expected {TAGS}", id="capitalised_kind"),
    pytest.param(spec('[{"kind":7}]'),
                 "parse: invalid type: integer `7`, expected variant identifier at line 1 column 51",
                 "parse: invalid type: integer `7`, expected variant identifier", id="kind_integer"),
    pytest.param(spec('[{"price_bin":5}]'), "parse: missing field `kind` at line 1 column 57",
                 "parse: missing field `kind`", id="missing_kind"),
    pytest.param(spec('[["footprint",1,2,3]]'),
                 "parse: invalid length 3, expected 2 elements in sequence at line 1 column 62",
                 "parse: invalid length 3, expected 2 elements in sequence", id="positional_panel_too_long"),
    pytest.param(spec('[["liquidation_map",1,2]]'),
                 "parse: invalid length 2, expected 1 element in sequence at line 1 column 66",
                 "parse: invalid length 2, expected 1 element in sequence", id="positional_panel_one_element"),
    pytest.param('["d","S",null,null]', "parse: invalid length 4, expected struct VornSpec with 5 elements at line 1 column 19",
                 "parse: invalid length 4, expected struct VornSpec with 5 elements", id="positional_spec_four"),
    pytest.param('["d","S",null,null,' + PANELS + ',0]',
                 "parse: trailing characters at line 1 column 43",
                 "parse: invalid length 6, expected fewer elements in array", id="positional_spec_six"),
    # Repeated keys: an error on the constructor, the last value on "set_spec".
    pytest.param(spec('[{"kind":"footprint","kind":"funding_oi_divergence"}]'),
                 "parse: duplicate field `kind` at line 1 column 68", None, id="repeated_kind"),
    pytest.param(spec('[{"kind":"footprint","price_bin":0,"price_bin":2}]'),
                 "parse: duplicate field `price_bin` at line 1 column 91", None, id="repeated_price_bin"),
    pytest.param('{"symbol":"S","symbol":"","dataset_ref":"d","panels":' + PANELS + '}',
                 "parse: duplicate field `symbol` at line 1 column 22",
                 "bad spec: symbol must not be empty", id="repeated_symbol"),
    pytest.param(spec(from_ts="null", **{"from_ts ": 1}), None, None, id="keys_differ_by_a_space"),
    # Document order against ascending key order.
    pytest.param('{"symbol":1,"dataset_ref":false,"panels":[]}',
                 "parse: invalid type: integer `1`, expected a string at line 1 column 11",
                 "parse: invalid type: boolean `false`, expected a string", id="first_in_text_against_first_key"),
    pytest.param(spec('[{"price_bin":"x","bucket_ms":"y","kind":"footprint"}]'),
                 'parse: invalid type: string "x", expected f64 at line 1 column 95',
                 'parse: invalid type: string "y", expected i64', id="parameter_order"),
    # Validation, after reading, in its fixed order.
    pytest.param('{"dataset_ref":"d","symbol":"","panels":[{"kind":"footprint","price_bin":0}]}',
                 "bad spec: symbol must not be empty", "bad spec: symbol must not be empty", id="symbol_wins"),
    pytest.param(spec("[]", from_ts=2, to_ts=1), "bad spec: panels must not be empty",
                 "bad spec: panels must not be empty", id="panels_before_window"),
    pytest.param(spec(from_ts=2, to_ts=1), "bad spec: from_ts must be <= to_ts",
                 "bad spec: from_ts must be <= to_ts", id="window"),
    pytest.param(spec(from_ts=1, to_ts=1), None, None, id="equal_window"),
    pytest.param(spec('[{"kind":"footprint","price_bin":-0.0}]'),
                 "bad spec: footprint price_bin must be a positive number",
                 "bad spec: footprint price_bin must be a positive number", id="minus_zero_price_bin"),
    pytest.param(spec('[{"kind":"footprint","price_bin":5e-324}]'), None, None, id="subnormal_price_bin"),
    pytest.param(spec('[{"kind":"book_heatmap","depth_levels":0}]'),
                 "bad spec: book_heatmap depth_levels must be > 0",
                 "bad spec: book_heatmap depth_levels must be > 0", id="zero_depth_levels"),
    pytest.param(spec('[{"kind":"funding_oi_divergence"},{"kind":"liquidation_map","price_bin":0},'
                      '{"kind":"footprint","bucket_ms":0}]'),
                 "bad spec: liquidation_map price_bin must be a positive number",
                 "bad spec: liquidation_map price_bin must be a positive number", id="first_bad_panel"),
]


@pytest.mark.parametrize("text, constructor_error, set_spec_error", READ_CASES)
def test_constructor(text, constructor_error, set_spec_error):
    if constructor_error is None:
        _korvel_vorn.Vorn(text)
        return
    with pytest.raises(ValueError) as raised:
        _korvel_vorn.Vorn(text)
    assert str(raised.value) == constructor_error


@pytest.mark.parametrize("text, constructor_error, set_spec_error", READ_CASES)
def test_set_spec(text, constructor_error, set_spec_error):
    vorn = _korvel_vorn.Vorn("")
    expected = OK if set_spec_error is None else error_reply(set_spec_error)
    assert set_spec(vorn, text) == expected


@pytest.mark.parametrize("text", ["", "   ", "{}", "  {}  ", "\n{}\t", "\u00a0{}\u3000", "\u2028\u0085"])
def test_constructor_without_spec(text):
    vorn = _korvel_vorn.Vorn(text)
    assert vorn.command('{"cmd":"frame"}') == error_reply("bad spec: no spec set")


@pytest.mark.parametrize("text, message", [
    ("\ufeff{}", "parse: expected value at line 1 column 1"),
    ("\n\n   {\n  5}", "parse: key must be a string at line 2 column 3"),
    ('\u3000{"dataset_ref":"\u00e9",\r\n"symbol":[]}', "parse: invalid type: sequence, expected a string at line 2 column 9"),
])
def test_constructor_positions_count_from_trimmed_text(text, message):
    with pytest.raises(ValueError) as raised:
        _korvel_vorn.Vorn(text)
    assert str(raised.value) == message


def test_set_spec_null_and_empty_cannot_remove_a_spec():
    vorn = _korvel_vorn.Vorn(spec())
    assert set_spec(vorn, "null") == error_reply("parse: invalid type: null, expected struct VornSpec")
    assert set_spec(vorn, "{}") == error_reply("parse: missing field `dataset_ref`")
    # Still a spec: the frame now fails for want of data, not of a spec.
    assert vorn.command('{"cmd":"frame"}') == error_reply("data: no dataset")


def test_set_spec_without_spec_member():
    vorn = _korvel_vorn.Vorn("")
    assert vorn.command('{"cmd":"set_spec"}') == error_reply("bad spec: set_spec requires 'spec'")


def frame_symbol(vorn):
    return json.loads(vorn.command('{"cmd":"frame"}'))["symbol"]


@pytest.mark.parametrize("bad", ['{"dataset_ref":"d","symbol":"T"}', spec("[]"), spec('[{"kind":"x"}]'), "5"])
def test_failed_set_spec_keeps_the_previous_spec(bad):
    vorn = _korvel_vorn.Vorn('{"dataset_ref":"d","symbol":"OLD","panels":' + PANELS + '}')
    assert vorn.command('{"cmd":"load","dataset":{"funding":[{"ts":1,"rate":0.5}]}}') == '{"ok":true,"loaded":1}'
    assert json.loads(set_spec(vorn, bad))["ok"] is False
    assert frame_symbol(vorn) == "OLD"
    assert set_spec(vorn, '{"dataset_ref":"d","symbol":"NEW","panels":' + PANELS + '}') == OK
    assert frame_symbol(vorn) == "NEW"


def test_failed_set_spec_on_a_handle_without_spec_sets_none():
    vorn = _korvel_vorn.Vorn("")
    assert json.loads(set_spec(vorn, spec('[{"kind":"footprint","price_bin":0}]')))["ok"] is False
    assert vorn.command('{"cmd":"frame"}') == error_reply("bad spec: no spec set")


def nested(depth):
    return "[" * depth + "]" * depth


def test_unknown_spec_member_may_nest_without_limit_on_the_constructor():
    _korvel_vorn.Vorn(spec(extra=nested(200)))
    with pytest.raises(ValueError) as raised:
        _korvel_vorn.Vorn(spec('[{"kind":"footprint","extra":' + nested(200) + '}]'))
    assert str(raised.value) == "parse: recursion limit exceeded at line 1 column 195"


def test_panel_member_depth_limit_counts_from_the_outermost_object():
    # Spec, panel list and panel take three levels of the constructor's text: 124 more fit.
    at_limit = spec('[{"kind":"footprint","x":' + nested(124) + '}]')
    _korvel_vorn.Vorn(at_limit)
    # Inside a command the command object is one more level, so the same spec is too deep there.
    reply = set_spec(_korvel_vorn.Vorn(""), at_limit)
    assert reply == error_reply("parse: recursion limit exceeded at line 1 column 215")
    assert set_spec(_korvel_vorn.Vorn(""), spec('[{"kind":"footprint","x":' + nested(123) + '}]')) == OK


def test_very_deep_values_neither_crash_nor_pass_unchecked():
    deep = nested(100_000)
    _korvel_vorn.Vorn(spec(extra=deep))
    with pytest.raises(ValueError, match=r"^parse: recursion limit exceeded at line 1 column 195$"):
        _korvel_vorn.Vorn(spec('[{"kind":"footprint","extra":' + deep + '}]'))
    with pytest.raises(ValueError, match=r"^parse: EOF while parsing a list at line 1 column 100005$"):
        _korvel_vorn.Vorn('{"x":' + "[" * 100_000)
    reply = set_spec(_korvel_vorn.Vorn(""), spec(extra=deep))
    assert reply.startswith('{"ok":false,"error":"parse: recursion limit exceeded at line 1 column ')


def test_long_positional_panel_reports_its_length():
    panel = '["funding_oi_divergence"' + ",1" * 50_000 + "]"
    message = "invalid length 50000, expected 1 element in sequence"
    with pytest.raises(ValueError) as raised:
        _korvel_vorn.Vorn(spec("[" + panel + "]"))
    assert str(raised.value) == f"parse: {message} at line 1 column {len(spec('[' + panel + ']')) - 1}"
    assert set_spec(_korvel_vorn.Vorn(""), spec("[" + panel + "]")) == error_reply(f"parse: {message}")
