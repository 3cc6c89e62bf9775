"""Timestamps and durations as people type them on the command line, and as charts print them.

A time is integer milliseconds since the epoch ("1723161300000"), an ISO-8601 date and time
("2024-08-08T23:57:00Z", "2024-08-08 23:57:00.250"; UTC unless an offset is given), or relative
to the data: "start", "end", "start+90s", "end-1m30s". A duration is integer milliseconds or a
sum of numbers with units: "500ms", "10s", "1.5m", "1h30m", "2d".
"""

from __future__ import annotations

import datetime as _dt
import re
from decimal import Decimal, InvalidOperation

_UNITS_MS = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000, "d": 86_400_000}
_DURATION_PART = re.compile(r"(\d+(?:\.\d+)?|\.\d+)(ms|s|m|h|d)")
_RELATIVE = re.compile(r"(start|end)\s*(?:([+-])\s*(\S+))?")
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.UTC)


def datetime_ms(moment: _dt.datetime) -> int:
    """Integer milliseconds since the Unix epoch of a datetime (naive is UTC), finer digits floored."""
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=_dt.UTC)
    delta = moment - _EPOCH
    return delta.days * 86_400_000 + delta.seconds * 1000 + delta.microseconds // 1000


def iso_ms(text: str) -> int | None:
    """Milliseconds of an ISO date and time (UTC unless it has an offset; "Z" allowed), or None
    when the text is not one."""
    iso = text[:-1] + "+00:00" if text.endswith(("Z", "z")) else text
    try:
        return datetime_ms(_dt.datetime.fromisoformat(iso))
    except ValueError:
        return None


def parse_duration(text: str) -> int:
    """Milliseconds of a duration; raises ValueError with the accepted forms."""
    s = text.strip().lower()
    if re.fullmatch(r"\d+", s):
        return int(s)
    pos, total = 0, Decimal(0)
    for match in _DURATION_PART.finditer(s):
        if match.start() != pos:
            break
        try:
            total += Decimal(match[1]) * _UNITS_MS[match[2]]
        except InvalidOperation:  # pragma: no cover - the pattern only admits decimals
            break
        pos = match.end()
    else:
        if pos == len(s) and pos > 0:
            if total != total.to_integral_value():
                raise ValueError(f"duration {text!r} is not a whole number of milliseconds")
            return int(total)
    raise ValueError(f"bad duration {text!r}: use milliseconds or a number with a unit (500ms, 10s, 1m, 1h30m)")


def parse_time(text: str, start: int | None = None, end: int | None = None) -> int:
    """Milliseconds of a time; "start" and "end" refer to the given data bounds."""
    s = text.strip()
    if re.fullmatch(r"-?\d+", s):
        return int(s)
    relative = _RELATIVE.fullmatch(s.lower())
    if relative:
        base = start if relative[1] == "start" else end
        if base is None:
            raise ValueError(f"time {text!r} needs the data bounds, which are unknown here")
        if relative[2] is None:
            return base
        offset = parse_duration(relative[3])
        return base + offset if relative[2] == "+" else base - offset
    ms = iso_ms(s)
    if ms is None:
        raise ValueError(
            f"bad time {text!r}: use milliseconds, an ISO date and time (2024-08-08T23:57:00Z) "
            "or start/end with an offset (end-30s)"
        )
    return ms


def format_ts(ms: int) -> str:
    """A timestamp as UTC date and time with milliseconds: "2024-08-08 23:57:00.250 UTC"."""
    try:
        moment = _EPOCH + _dt.timedelta(milliseconds=ms)
    except OverflowError:
        return f"{ms} ms"
    return moment.strftime("%Y-%m-%d %H:%M:%S.") + f"{moment.microsecond // 1000:03d} UTC"


def format_duration(ms: int) -> str:
    """A span of milliseconds for people: "5m 44.732s", "2h 0m 5s", "250ms"."""
    sign = "-" if ms < 0 else ""
    ms = abs(ms)
    if ms < 1000:
        return f"{sign}{ms}ms"
    seconds, millis = divmod(ms, 1000)
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    days, hours = divmod(hours, 24)
    sec = f"{seconds}.{millis:03d}s" if millis else f"{seconds}s"
    parts = [f"{days}d"] if days else []
    if days or hours:
        parts.append(f"{hours}h")
    if days or hours or minutes:
        parts.append(f"{minutes}m")
    parts.append(sec)
    return sign + " ".join(parts)


def time_ms(value: object) -> int:
    """Milliseconds of a TIME given as a Python value: integer milliseconds (a whole float or NumPy
    integer too), a datetime (naive is UTC) or text (milliseconds or ISO, as `parse_time`)."""
    if isinstance(value, str):
        return parse_time(value)
    if isinstance(value, _dt.datetime):
        return datetime_ms(value)
    if isinstance(value, _dt.date):
        return datetime_ms(_dt.datetime(value.year, value.month, value.day, tzinfo=_dt.UTC))
    if isinstance(value, bool) or (not hasattr(value, "__index__") and not isinstance(value, float)):
        raise ValueError(f"bad time {value!r}: use milliseconds, a datetime or ISO text")
    number = float(value) if isinstance(value, float) else int(value)
    if number != int(number):
        raise ValueError(f"bad time {value!r}: not a whole number of milliseconds")
    return int(number)
