"""Spelling of single JSON values in the texts the package sends to the engine.

Numbers are written so that the engine reads back exactly the value the caller meant: decimal
text that already is a JSON number (an exchange's "61807.70") is kept byte for byte, Python
floats are written in their shortest round-trip form, and non-finite values are refused because
JSON has no way to spell them.
"""

from __future__ import annotations

import json
import math
import re
from decimal import Decimal
from typing import Any

_JSON_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?")


def is_json_number(text: str) -> bool:
    """True when `text` is one JSON number and nothing else."""
    return _JSON_NUMBER.fullmatch(text) is not None


def float_text(value: Any) -> str:
    """The JSON text of a float field: any finite real number, or decimal text.

    Raises TypeError for values that are not numbers and ValueError for non-finite ones.
    """
    if isinstance(value, bool) or value is None:
        raise TypeError(f"expected a number, got {value!r}")
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"expected a finite number, got {value!r}")
        return repr(value)
    if isinstance(value, str):
        text = value.strip()
        if is_json_number(text):
            return text
        try:
            number = float(text)
        except ValueError:
            raise TypeError(f"expected a number, got {value!r}") from None
        return float_text(number)
    if isinstance(value, Decimal):
        if not value.is_finite():
            raise ValueError(f"expected a finite number, got {value!r}")
        return float_text(str(value))
    # NumPy scalars and other number types that convert to float.
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"expected a number, got {value!r}") from None
    return float_text(number)


def int_text(value: Any) -> str:
    """The JSON text of an integer field; whole floats are accepted, fractions refused."""
    if isinstance(value, bool) or value is None:
        raise TypeError(f"expected an integer, got {value!r}")
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not value.is_integer():
            raise ValueError(f"expected an integer, got {value!r}")
        return str(int(value))
    if isinstance(value, str):
        text = value.strip()
        if re.fullmatch(r"-?[0-9]+", text):
            return str(int(text))
        raise TypeError(f"expected an integer, got {value!r}")
    index = getattr(value, "__index__", None)
    if index is not None:
        return str(index())
    if hasattr(value, "is_integer"):
        return int_text(float(value))
    raise TypeError(f"expected an integer, got {value!r}")


def string_text(value: str) -> str:
    """A JSON string literal; non-ASCII text stays raw UTF-8."""
    return json.dumps(value, ensure_ascii=False)


def value_text(value: Any) -> str:
    """Compact JSON of a plain Python value (dicts, lists, str, int, finite float, bool, None)."""
    try:
        return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    except ValueError as error:
        raise ValueError(f"cannot write as JSON: {error}") from None


def check_single_value(text: str, what: str) -> str:
    """Return `text` stripped after checking that it holds exactly one JSON value.

    Text that is embedded raw into a command must not be able to add members to the command
    (`1,"cmd":"reset"` would otherwise turn a set_spec into a reset).
    """
    try:
        json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"{what} is not valid JSON: {error.msg} at line {error.lineno} column {error.colno}") from None
    except RecursionError:
        raise ValueError(f"{what} nests too deeply") from None
    return text.strip()
