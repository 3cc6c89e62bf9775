"""Dataset JSON from Python values: lists of tuples, dicts, dataclasses or NumPy arrays.

Each list takes its records in the engine's declared field order (`korvel_vorn.schema`).

A record may be a sequence in that order (tuple, list, namedtuple, a row of a 2-D array), a
mapping or an object with attributes of those names. A list may also be given as columns: a
mapping from field name to a sequence, a pandas DataFrame, or a NumPy structured array. NumPy is
never imported here; arrays are read through their ``tolist`` method. Enumerations accept their
names in any case or their positions (0 for buy, long, snapshot; 1 for sell, short, diff).
Timestamps are integer milliseconds (whole floats and ``datetime`` values are converted).
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Iterable, Mapping
from typing import Any

from ._jsontext import float_text, int_text
from .schema import ENUM_VARIANTS, LISTS, RECORD_FIELDS
from .timefmt import datetime_ms


class DatasetValueError(ValueError):
    """A value that cannot be written as a dataset record; the message names where it is."""


def timestamp_ms(value: Any) -> int:
    """Integer milliseconds from an int, a whole float, NumPy integer or a datetime (naive is UTC)."""
    if isinstance(value, _dt.datetime):
        return datetime_ms(value)
    return int(int_text(value))


def _enum_text(value: Any, variants: tuple[str, str], where: str) -> str:
    if isinstance(value, str):
        name = value.strip().lower()
        if name in variants:
            return '"' + name + '"'
    elif isinstance(value, (int, float)) and not isinstance(value, bool) and value in (0, 1):
        return '"' + variants[int(value)] + '"'
    elif hasattr(value, "__index__") and not isinstance(value, (bool, int)):  # NumPy integers
        return _enum_text(value.__index__(), variants, where)
    hint = ""
    if variants == ("long", "short") and isinstance(value, str) and value.strip().lower() in ("buy", "sell"):
        hint = " (give the side of the liquidated position: a forced sell liquidates a long)"
    raise DatasetValueError(f"{where}: expected {variants[0]!r} or {variants[1]!r}, got {value!r}{hint}")


def _levels_text(levels: Any, where: str) -> str:
    if levels is None:
        raise DatasetValueError(f"{where}: expected a list of (price, qty) levels, got None")
    if hasattr(levels, "tolist"):
        levels = levels.tolist()
    parts = []
    for i, level in enumerate(levels):
        try:
            price, qty = level
        except (TypeError, ValueError):
            raise DatasetValueError(f"{where}[{i}]: expected a (price, qty) pair, got {level!r}") from None
        parts.append("[" + _number(price, f"{where}[{i}][0]") + "," + _number(qty, f"{where}[{i}][1]") + "]")
    return "[" + ",".join(parts) + "]"


def _number(value: Any, where: str) -> str:
    try:
        return float_text(value)
    except (TypeError, ValueError) as error:
        raise DatasetValueError(f"{where}: {error}") from None


def _ts(value: Any, where: str) -> str:
    try:
        return str(timestamp_ms(value))
    except (TypeError, ValueError) as error:
        raise DatasetValueError(f"{where}: {error}") from None


def _columns_to_rows(columns: Mapping[str, Any], fields: tuple[str, ...], name: str) -> Iterable[Any]:
    missing = [f for f in fields if f not in columns]
    if missing:
        raise DatasetValueError(f"{name}: the columns lack {', '.join(missing)}")
    cols = []
    for f in fields:
        col = columns[f]
        cols.append(col.tolist() if hasattr(col, "tolist") else list(col))
    lengths = {len(c) for c in cols}
    if len(lengths) > 1:
        raise DatasetValueError(f"{name}: the columns differ in length")
    return zip(*cols)


def _rows(records: Any, fields: tuple[str, ...], name: str) -> Iterable[Any]:
    """The records of one list as an iterable of per-record values."""
    names = getattr(getattr(records, "dtype", None), "names", None)
    if names:  # NumPy structured array: columns by field name
        return _columns_to_rows({n: records[n] for n in names}, fields, name)
    if hasattr(records, "columns") and hasattr(records, "to_dict"):  # pandas DataFrame
        return _columns_to_rows({str(c): records[c] for c in records.columns}, fields, name)
    if isinstance(records, Mapping):
        return _columns_to_rows(records, fields, name)
    if hasattr(records, "tolist"):
        rows: Iterable[Any] = records.tolist()
        return rows
    if isinstance(records, (str, bytes)):
        raise DatasetValueError(f"{name}: expected a list of records, got {type(records).__name__}")
    iterable: Iterable[Any] = records
    return iterable


def _record_values(record: Any, fields: tuple[str, ...], where: str) -> list[Any]:
    if isinstance(record, Mapping):
        missing = [f for f in fields if f not in record]
        if missing:
            raise DatasetValueError(f"{where}: missing {', '.join(missing)}")
        return [record[f] for f in fields]
    if isinstance(record, (list, tuple)):
        if len(record) != len(fields):
            raise DatasetValueError(
                f"{where}: expected {len(fields)} values ({', '.join(fields)}), got {len(record)}"
            )
        return list(record)
    if all(hasattr(record, f) for f in fields):
        return [getattr(record, f) for f in fields]
    raise DatasetValueError(f"{where}: expected a record with {', '.join(fields)}, got {record!r}")


def record_text(name: str, values: list[Any], where: str) -> str:
    """The object form of one record of list `name`, fields in declared order."""
    fields = RECORD_FIELDS[name]
    parts = []
    for field, value in zip(fields, values):
        at = f"{where}.{field}"
        if field == "ts":
            text = _ts(value, at)
        elif (name, field) in ENUM_VARIANTS:
            text = _enum_text(value, ENUM_VARIANTS[(name, field)], at)
        elif field in ("bids", "asks"):
            text = _levels_text(value, at)
        else:
            text = _number(value, at)
        parts.append('"' + field + '":' + text)
    return "{" + ",".join(parts) + "}"


def list_text(name: str, records: Any) -> str:
    """The JSON array of one dataset list."""
    if name not in RECORD_FIELDS:
        raise DatasetValueError(f"unknown dataset list {name!r}; the lists are {', '.join(LISTS)}")
    fields = RECORD_FIELDS[name]
    parts = []
    for i, record in enumerate(_rows(records, fields, name)):
        where = f"{name}[{i}]"
        parts.append(record_text(name, _record_values(record, fields, where), where))
    return "[" + ",".join(parts) + "]"


def dataset_json(
    *,
    candles: Any = None,
    trades: Any = None,
    book: Any = None,
    funding: Any = None,
    oi: Any = None,
    liquidations: Any = None,
) -> str:
    """The dataset JSON (the value of a "load" command's "dataset") of the given lists.

    Lists left at None are omitted, which the engine reads as empty.
    """
    given = {"candles": candles, "trades": trades, "book": book, "funding": funding, "oi": oi,
             "liquidations": liquidations}
    parts = ['"' + name + '":' + list_text(name, records) for name, records in given.items() if records is not None]
    return "{" + ",".join(parts) + "}"


def dataset_json_from_mapping(lists: Mapping[str, Any]) -> str:
    """`dataset_json` for a mapping of list names to records; unknown names are an error."""
    unknown = [k for k in lists if k not in RECORD_FIELDS]
    if unknown:
        raise DatasetValueError(f"unknown dataset list {unknown[0]!r}; the lists are {', '.join(LISTS)}")
    return dataset_json(**lists)
