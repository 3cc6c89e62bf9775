"""Reading single fields of recordings: numbers, timestamps, sides and flags."""

from __future__ import annotations

import re
from decimal import Decimal, InvalidOperation
from typing import Any

from .._jsontext import float_text
from ..timefmt import iso_ms

# Milliseconds from counts of the finer units (seconds multiply by 1000 instead).
MS_DIVISORS = {"ms": 1, "us": 1000, "ns": 1_000_000}
# The largest magnitude read as each unit when none is given: recordings of this century have
# 10 digits in seconds, 13 in milliseconds, 16 in microseconds and 19 in nanoseconds.
UNIT_LIMITS = ((10**11, "s"), (10**14, "ms"), (10**17, "us"))
_DIGITS = re.compile(r"-?\d+")
_DECIMAL = re.compile(r"-?(?:\d+\.\d*|\.\d+|\d+)(?:[eE][+-]?\d+)?")


class FieldError(ValueError):
    """A field that cannot be read; the caller adds the file and line."""


def number(value: Any, name: str) -> str:
    """The JSON text of a numeric field; decimal text is kept exactly as recorded."""
    try:
        return float_text(value)
    except (TypeError, ValueError):
        raise FieldError(f"{name} is not a number: {value!r}") from None


def is_zero(text: str) -> bool:
    try:
        return Decimal(text) == 0
    except InvalidOperation:
        return False


def _guess_unit(magnitude: int) -> str:
    return next((unit for limit, unit in UNIT_LIMITS if magnitude < limit), "ns")


def timestamp(value: Any, name: str, unit: str | None = None) -> int:
    """Milliseconds from an epoch count (unit given or recognised by magnitude), seconds with a
    fraction, or an ISO date and time (UTC unless it has an offset). Finer units are floored."""
    if isinstance(value, bool):
        raise FieldError(f"{name} is not a timestamp: {value!r}")
    if isinstance(value, float):
        value = repr(value)
    if isinstance(value, int):
        value = str(value)
    if not isinstance(value, str):
        raise FieldError(f"{name} is not a timestamp: {value!r}")
    text = value.strip()
    if _DIGITS.fullmatch(text):
        count = int(text)
        chosen = unit or _guess_unit(abs(count))
        if chosen == "s":
            return count * 1000
        return count // MS_DIVISORS[chosen]
    if _DECIMAL.fullmatch(text):
        amount = Decimal(text)
        chosen = unit or _guess_unit(abs(int(amount)))
        scale = {"s": Decimal(1000), "ms": Decimal(1), "us": Decimal("0.001"), "ns": Decimal("0.000001")}[chosen]
        return int((amount * scale).to_integral_value(rounding="ROUND_FLOOR"))
    ms = iso_ms(text)
    if ms is None:
        raise FieldError(f"{name} is not a timestamp: {value!r}")
    return ms


def flag(value: Any, name: str) -> bool:
    """A boolean field written as true/false (any case), 1/0 or a JSON boolean."""
    if isinstance(value, bool):
        return value
    text = str(value).strip().lower()
    if text in ("true", "1", "t", "yes"):
        return True
    if text in ("false", "0", "f", "no"):
        return False
    raise FieldError(f"{name} is not true or false: {value!r}")


def trade_side(value: Any, name: str) -> str | None:
    """The aggressor's side, "buy" or "sell"; None for a side the feed marks unknown."""
    text = str(value).strip().lower()
    if text in ("buy", "b", "bid"):
        return "buy"
    if text in ("sell", "s", "ask", "offer"):
        return "sell"
    if text in ("unknown", ""):
        return None
    raise FieldError(f"{name} is not buy or sell: {value!r}")


def liquidated_side(value: Any, name: str) -> str:
    """The liquidated position, "long" or "short". An order side names the forced order: a
    forced sell closes a long, a forced buy closes a short."""
    text = str(value).strip().lower()
    if text in ("long", "sell", "s"):
        return "long"
    if text in ("short", "buy", "b"):
        return "short"
    raise FieldError(f"{name} is not long, short, buy or sell: {value!r}")
