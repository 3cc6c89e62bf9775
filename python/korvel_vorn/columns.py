"""Datasets as NumPy columns: the input of `Session.load_columns` and the `.npz` dataset files.

Each list is a mapping of field name to a 1-D array-like (NumPy arrays, pandas Series, lists), a
pandas DataFrame or a NumPy structured array, with the fields of `schema.COLUMN_FIELDS`. Columns
are converted only where the conversion is exact: ``ts`` from any integer type in the int64 range,
whole floats or ``datetime64`` values (whole milliseconds); floats from float or integer types
(integers beyond 2**53 only where float64 holds them exactly); enumerations from 0/1 codes or
their names in any case (booleans: True is 1); level counts from non-negative integers. Anything else is a `ValueError`
naming the list, the field and the first bad row; the engine then checks what remains (finite
values, equal lengths, counts that add up to the level columns) the same way.
"""

from __future__ import annotations

import io
import mmap
import os
import struct
import zipfile
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from .schema import COLUMN_FIELDS, ENUM_VARIANTS, LISTS, ColumnKind

NativeColumns = dict[str, np.ndarray[Any, Any]]

_INT64_MIN = -(2**63)
_TWO_63 = 2.0**63
_EXACT_FLOAT_INT = 2**53


class ColumnError(ValueError):
    """A column that cannot be loaded; the message names the list, the field and the first bad row."""


def _fail(where: str, row: int | None, what: str) -> ColumnError:
    return ColumnError(f"{where}: {what}" if row is None else f"{where} row {row}: {what}")


def _first(mask: npt.NDArray[np.bool_]) -> int | None:
    bad = np.flatnonzero(mask)
    return int(bad[0]) if bad.size else None


def _value(array: np.ndarray[Any, Any], row: int) -> Any:
    """The value at `row` as plain Python, for messages."""
    item = array[row]
    return item.item() if hasattr(item, "item") and array.dtype.kind != "M" else item


def _as_array(values: Any, where: str) -> np.ndarray[Any, Any]:
    if hasattr(values, "to_numpy") and not isinstance(values, np.ndarray):  # pandas Series
        values = values.to_numpy()
    array = np.asarray(values)
    if array.ndim != 1:
        raise _fail(where, None, f"expected a 1-D column, got {array.ndim} dimensions")
    if array.dtype.kind == "O":  # Python objects: usable when they convert to one plain type
        try:
            converted = np.asarray(array.tolist())
        except (TypeError, ValueError):
            converted = array
        if converted.dtype.kind in "OV" or converted.ndim != 1:
            raise _fail(where, None, "an object column that cannot be converted to numbers")
        array = converted
    return array


def _ts_column(array: np.ndarray[Any, Any], where: str) -> np.ndarray[Any, Any]:
    kind = array.dtype.kind
    if kind == "i":
        return np.ascontiguousarray(array, dtype=np.int64)
    if kind == "u":
        row = _first(array > np.iinfo(np.int64).max) if array.dtype.itemsize == 8 else None
        if row is not None:
            raise _fail(where, row, f"{_value(array, row)} is out of the int64 range")
        return np.ascontiguousarray(array, dtype=np.int64)
    if kind == "f":
        bad = ~np.isfinite(array) | (array != np.floor(array)) | (array < _INT64_MIN) | (array >= _TWO_63)
        row = _first(bad)
        if row is not None:
            raise _fail(where, row, f"{_value(array, row)!r} is not a whole number of milliseconds in the int64 range")
        return np.ascontiguousarray(array, dtype=np.int64)
    if kind == "M":
        millis = array.astype("datetime64[ms]")
        row = _first(np.isnat(array) | (millis.astype(array.dtype) != array))
        if row is not None:
            what = "NaT is not a time" if np.isnat(array[row]) else f"{array[row]} is not a whole millisecond"
            raise _fail(where, row, what)
        return np.ascontiguousarray(millis.view(np.int64))
    raise _fail(where, None, f"cannot convert {array.dtype} to int64 milliseconds")


def _float_column(array: np.ndarray[Any, Any], where: str) -> np.ndarray[Any, Any]:
    kind = array.dtype.kind
    if kind == "f":
        return np.ascontiguousarray(array, dtype=np.float64)
    if kind in "iu":
        converted = np.ascontiguousarray(array, dtype=np.float64)
        if array.dtype.itemsize >= 8:
            for row in np.flatnonzero(np.abs(converted) >= _EXACT_FLOAT_INT):
                if int(converted[row]) != int(array[row]):
                    raise _fail(where, int(row), f"{_value(array, int(row))} has no exact float64 value")
        return converted
    raise _fail(where, None, f"cannot convert {array.dtype} to float64")


def _code_column(array: np.ndarray[Any, Any], names: tuple[str, str], where: str) -> np.ndarray[Any, Any]:
    kind = array.dtype.kind
    if kind == "b":  # True is code 1 (sell, short, diff)
        return np.ascontiguousarray(array, dtype=np.uint8)
    if kind in "iuf":
        row = _first((array != 0) & (array != 1))
        if row is not None:
            raise _fail(where, row, f"unknown code {_value(array, row)!r} (expected 0 for {names[0]!r}, 1 for {names[1]!r})")
        return np.ascontiguousarray(array, dtype=np.uint8)
    if kind in "US":
        text = array.astype(str)
        codes = np.full(text.shape, 2, dtype=np.uint8)
        codes[text == names[0]] = 0
        codes[text == names[1]] = 1
        unmatched = np.flatnonzero(codes == 2)
        if unmatched.size:  # names in another case or with spaces around them: the slow path
            folded = np.char.lower(np.char.strip(text[unmatched]))
            codes[unmatched[folded == names[0]]] = 0
            codes[unmatched[folded == names[1]]] = 1
            row = _first(codes == 2)
            if row is not None:
                raise _fail(where, row, f"unknown name {str(array[row])!r} (expected {names[0]!r} or {names[1]!r})")
        return codes
    raise _fail(where, None, f"cannot convert {array.dtype} to {names[0]!r}/{names[1]!r} codes")


def _count_column(array: np.ndarray[Any, Any], where: str) -> np.ndarray[Any, Any]:
    if array.dtype.kind not in "iu":
        raise _fail(where, None, f"cannot convert {array.dtype} to level counts (integers)")
    row = _first(array < 0) if array.dtype.kind == "i" else None
    if row is not None:
        raise _fail(where, row, f"negative level count {_value(array, row)}")
    if array.dtype.kind == "u" and array.dtype.itemsize == 8:
        row = _first(array > np.iinfo(np.int64).max)
        if row is not None:
            raise _fail(where, row, f"level count {_value(array, row)} is out of range")
    return np.ascontiguousarray(array, dtype=np.int64)


def _convert(values: Any, name: str, field: str, kind: ColumnKind) -> np.ndarray[Any, Any]:
    where = f"{name}.{field}"
    array = _as_array(values, where)
    if kind == "ts":
        return _ts_column(array, where)
    if kind == "float":
        return _float_column(array, where)
    if kind == "count":
        return _count_column(array, where)
    return _code_column(array, ENUM_VARIANTS[(name, field)], where)


def _fields_of(records: Any, name: str) -> Mapping[str, Any]:
    names = getattr(getattr(records, "dtype", None), "names", None)
    if names:  # NumPy structured array
        return {n: records[n] for n in names}
    if hasattr(records, "columns") and hasattr(records, "to_dict"):  # pandas DataFrame
        return {str(c): records[c] for c in records.columns}
    if isinstance(records, Mapping):
        return records
    raise TypeError(f"{name}: expected a mapping of field name to column, a DataFrame or a structured array, "
                    f"got {type(records).__name__}")


def native_columns(name: str, records: Any) -> NativeColumns:
    """The columns of list `name` converted to what the engine reads (int64, float64, uint8 codes)."""
    if name not in COLUMN_FIELDS:
        raise TypeError(f"unknown dataset list {name!r}; the lists are {', '.join(LISTS)}")
    fields = _fields_of(records, name)
    out: NativeColumns = {}
    for field, kind in COLUMN_FIELDS[name]:
        if field not in fields:
            raise ColumnError(f"{name}: missing field {field!r}")
        out[field] = _convert(fields[field], name, field, kind)
    return out


def npz_key(name: str, field: str) -> str:
    """The member name of a column in a `.npz` dataset."""
    return f"{name}/{field}"


def write_npz(path: str | os.PathLike[str], lists: Mapping[str, Mapping[str, Any]]) -> None:
    """Write lists of columns (as `native_columns` takes them) to an uncompressed `.npz` file.

    Every column is converted first, so a file is only written for loadable columns.
    """
    arrays = {npz_key(name, field): column
              for name, records in lists.items()
              for field, column in native_columns(name, records).items()}
    np.savez(path, **arrays)  # type: ignore[arg-type]


def _stored_member(archive: mmap.mmap, info: zipfile.ZipInfo) -> np.ndarray[Any, Any] | None:
    """An uncompressed `.npy` member viewed in place in the mapped file; None for any other form."""
    if info.compress_type != zipfile.ZIP_STORED or info.flag_bits & 0x1:
        return None
    local = info.header_offset
    if archive[local:local + 4] != b"PK\x03\x04":
        return None
    name_length, extra_length = struct.unpack_from("<HH", archive, local + 26)
    start = local + 30 + name_length + extra_length
    header = io.BytesIO(archive[start:start + min(info.file_size, 1 << 16)])
    version = np.lib.format.read_magic(header)
    if version == (1, 0):
        shape, fortran_order, dtype = np.lib.format.read_array_header_1_0(header)
    elif version in ((2, 0), (3, 0)):
        shape, fortran_order, dtype = np.lib.format.read_array_header_2_0(header)
    else:
        return None
    if fortran_order or dtype.hasobject or len(shape) != 1:
        return None
    count = int(shape[0])
    if header.tell() + count * dtype.itemsize > info.file_size:
        raise ValueError("the member is shorter than its header says")
    return np.frombuffer(archive, dtype=dtype, count=count, offset=start + header.tell())


def read_npz(path: str | os.PathLike[str]) -> dict[str, NativeColumns]:
    """The lists of a `.npz` dataset, each converted as `native_columns` converts them.

    Uncompressed members are viewed in place in the memory-mapped file (no copy before the engine
    reads them); compressed ones are read with NumPy. A list is present when any of its columns
    is; a member that belongs to no list is an error.
    """
    name = os.fspath(path)
    lists: dict[str, dict[str, Any]] = {}
    try:
        with open(name, "rb") as f, zipfile.ZipFile(f) as archive:
            mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if os.fstat(f.fileno()).st_size else None
            for info in archive.infolist():
                key = info.filename.removesuffix(".npy")
                list_name, _, field = key.partition("/")
                if list_name not in COLUMN_FIELDS or field not in dict(COLUMN_FIELDS[list_name]):
                    raise ColumnError(f"{name}: unknown member {key!r} (expected list/field, e.g. 'trades/ts')")
                try:
                    column = _stored_member(mapped, info) if mapped is not None else None
                    if column is None:
                        with archive.open(info) as member:
                            column = np.lib.format.read_array(member, allow_pickle=False)
                except (OSError, ValueError, EOFError, zipfile.BadZipFile, struct.error) as error:
                    raise ColumnError(f"{name}: cannot read member {key!r}: {error}") from None
                lists.setdefault(list_name, {})[field] = column
    except (OSError, zipfile.BadZipFile, EOFError, ValueError) as error:
        if isinstance(error, ColumnError):
            raise
        raise ColumnError(f"cannot read {name}: {error}") from None
    try:
        return {list_name: native_columns(list_name, fields) for list_name, fields in lists.items()}
    except ColumnError as error:
        raise ColumnError(f"{name}: {error}") from None
