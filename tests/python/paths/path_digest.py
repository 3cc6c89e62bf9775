#!/usr/bin/env python3
"""Digests of everything a build's modules answer on a set of markets, one line per reply or
frame, so that two builds (the Linux calls and the portable path) can be compared line by line.

Usage: path_digest.py MODULE_DIR SPEC_JSON DATASET_FILE...

For each dataset file: through `_korvel_vorn` the replies of load (the file's text), bounds, frame
and frame_at at eleven cursors across and beyond the recording, and set_spec; through `Session`
(the array path, which reads the file natively) the load count, list bounds, and every array of
frame_arrays (with detail) at the same cursors, plus the errors of reading a missing file and a
folder. Replies are printed whole when short, else as SHA-256 digests.
"""

from __future__ import annotations

import hashlib
import json
import pathlib
import sys
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[3]


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def reply_line(reply: str) -> str:
    return reply if len(reply) <= 200 else f"sha256:{digest(reply.encode('utf-8'))} ({len(reply)} chars)"


def arrays_digest(value: Any) -> str:
    """A digest of a frame_arrays result: keys, types, dtypes, shapes and the bytes of every array."""
    import numpy as np

    h = hashlib.sha256()

    def visit(path: str, item: Any) -> None:
        if isinstance(item, dict):
            for key in sorted(item):
                visit(f"{path}/{key}", item[key])
        elif isinstance(item, list | tuple):
            h.update(f"{path}:{type(item).__name__}[{len(item)}]".encode())
            for i, element in enumerate(item):
                visit(f"{path}[{i}]", element)
        elif isinstance(item, np.ndarray):
            h.update(f"{path}:{item.dtype.descr}{item.shape}".encode())
            # A record array field by field: the padding between fields holds no value.
            for field in item.dtype.names or (None,):
                h.update(np.ascontiguousarray(item if field is None else item[field]).tobytes())
        else:
            h.update(f"{path}={item!r}".encode())

    visit("", value)
    return h.hexdigest()


def main(argv: list[str]) -> int:
    module_dir, spec_path, *datasets = argv
    sys.path[:0] = [str(ROOT / "python"), module_dir]
    import _korvel_vorn

    from korvel_vorn import Session

    spec = pathlib.Path(spec_path).read_text(encoding="utf-8")
    out = sys.stdout
    for dataset in datasets:
        name = pathlib.Path(dataset).name
        text = pathlib.Path(dataset).read_text(encoding="utf-8")
        vorn = _korvel_vorn.Vorn(spec)
        load = '{"cmd":"load","dataset":' + text + "}"
        out.write(f"{name} load {reply_line(vorn.command(load))}\n")
        bounds = vorn.command('{"cmd":"bounds"}')
        out.write(f"{name} bounds {bounds}\n")
        parsed = json.loads(bounds)
        first, last = (parsed["from_ts"], parsed["to_ts"]) if "from_ts" in parsed else (0, 0)
        cursors = [first - 1, *(first + (last - first) * k // 8 for k in range(9)), last + 1]
        frame = '{"cmd":"frame"}'
        out.write(f"{name} frame {reply_line(vorn.command(frame))}\n")
        for ts in cursors:
            out.write(f"{name} frame_at {ts} {reply_line(vorn.command(json.dumps({'cmd': 'frame_at', 'ts': ts})))}\n")
        set_spec = '{"cmd":"set_spec","spec":' + spec + "}"
        out.write(f"{name} set_spec {reply_line(vorn.command(set_spec))}\n")

        session = Session(json.loads(spec))
        out.write(f"{name} load_file {session.load_file(dataset)}\n")
        out.write(f"{name} list_bounds {json.dumps(session.list_bounds(), sort_keys=True)}\n")
        for ts in cursors:
            out.write(f"{name} frame_arrays {ts} {arrays_digest(session.frame_arrays(ts, detail=True))}\n")
    for bad in (ROOT / "no such folder" / "market.json", ROOT / "tests"):
        try:
            Session(json.loads(spec)).load_file(bad)
            out.write(f"load_file {bad.name} loaded\n")
        except (OSError, ValueError) as error:  # DatasetFileError names the file and the reason
            out.write(f"load_file {bad.name} Error {type(error).__name__}: {error}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
