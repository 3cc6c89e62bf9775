"""Writing planned lists as dataset JSON (one record per line) or as `.npz` columns, a window of
records at a time."""

from __future__ import annotations

import zipfile
from collections.abc import Mapping
from typing import BinaryIO

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from ..schema import COLUMN_FIELDS, LISTS
from .plan import ListPlan
from .store import LEVEL_COLUMNS, Chunk
from .threads import ordered_map

_RECORD_START = pa.scalar(',\n{"ts":', pa.large_string())
_NOTHING = pa.scalar("", pa.large_string())
_DTYPES = {"ts": np.int64, "float": np.float64, "code": np.uint8, "count": np.int64}


def _string_bytes(strings: pa.Array) -> memoryview:
    """The concatenated UTF-8 text of a string array without nulls."""
    buffers = strings.buffers()
    offsets_type = np.int64 if pa.types.is_large_string(strings.type) else np.int32
    offsets = np.frombuffer(buffers[1], dtype=offsets_type)[strings.offset:strings.offset + len(strings) + 1]
    return memoryview(buffers[2])[int(offsets[0]):int(offsets[-1])]


def _record_lines(chunk: Chunk) -> pa.Array:
    """Each record's line, led by the separator from the one before."""
    ts_text = pc.cast(pa.array(chunk["ts"], pa.int64()), pa.large_string())
    return pc.binary_join_element_wise(_RECORD_START, ts_text, chunk["rest"], _NOTHING)


def write_json(out: BinaryIO, plans: Mapping[str, ListPlan]) -> None:
    """The dataset JSON: the six lists in declared order, one record per line."""
    out.write(b"{")
    for n, name in enumerate(LISTS):
        out.write((',"' if n else '"').encode() + name.encode() + b'":[')
        first = True
        for lines in ordered_map(_record_lines, plans[name].chunks(("rest",))):
            data = _string_bytes(lines)
            if first:
                out.write(b"\n")
                data = data[2:]
                first = False
            out.write(data)
        out.write(b"]" if first else b"\n]")
    out.write(b"}\n")


def write_npz(path: str, plans: Mapping[str, ListPlan]) -> None:
    """Uncompressed `.npz` columns named list/field, as `korvel_vorn.columns.read_npz` reads them."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name in LISTS:
            plan = plans[name]
            levels = dict(LEVEL_COLUMNS.get(name, ()))
            for column, kind in COLUMN_FIELDS[name]:
                dtype = np.dtype(_DTYPES[kind])
                count = plan.level_counts[levels[column]] if column in levels else plan.count
                with archive.open(f"{name}/{column}.npy", "w", force_zip64=True) as member:
                    header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": (count,)}
                    np.lib.format.write_array_header_1_0(member, header)
                    for chunk in plan.chunks((column,)):
                        member.write(np.ascontiguousarray(chunk[column], dtype=dtype).tobytes())

