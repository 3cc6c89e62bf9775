#!/usr/bin/env python3
"""Peak resident memory of one load, measured in a process of its own so nothing else counts.

Usage: load_memory.py FILE [--parser engine|orjson|json|session] [--module-dir DIR]

FILE holds a whole "load" command. The process imports what it needs, reads FILE into a str,
resets the kernel's peak-RSS mark, runs the load once and prints one JSON line. With `--parser
session` FILE is a dataset file instead, loaded by `Session.load_file` (which reads it natively,
so nothing is read before the peak mark is reset: "text" is then the file's size):

- "base": resident bytes before the text was read (interpreter and modules);
- "text": the size of the command text in bytes;
- "peak": the highest resident bytes seen during the load, text included;
- "after": resident bytes once the load has returned (what the loaded data keeps, text included);
- "peak_reset": whether the peak mark could be reset after reading the text (when it cannot,
  "peak" also covers reading the file, which briefly holds it twice);
- "ok": whether the load succeeded.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys


def _status_bytes(field: str) -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def _reset_peak() -> bool:
    try:
        pathlib.Path("/proc/self/clear_refs").write_text("5")  # 5: reset the peak RSS mark
        return True
    except OSError:
        return False


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("file", type=pathlib.Path)
    parser.add_argument("--parser", choices=("engine", "orjson", "json", "session"), default="engine")
    parser.add_argument("--module-dir", type=pathlib.Path)
    args = parser.parse_args()

    if args.parser == "session":
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
        if args.module_dir:
            sys.path.insert(1, str(args.module_dir))
        import korvel_vorn

        session = korvel_vorn.Session()
        base = _status_bytes("VmRSS")
        reset = _reset_peak()
        ok = session.load_file(args.file) > 0
        peak = _status_bytes("VmHWM")
        after = _status_bytes("VmRSS")
        size = args.file.stat().st_size
        print(json.dumps({"base": base, "text": size, "peak": peak, "after": after, "peak_reset": reset, "ok": ok}))
        return 0
    if args.parser == "engine":
        if args.module_dir:
            sys.path.insert(0, str(args.module_dir))
        import _korvel_vorn

        vorn = _korvel_vorn.Vorn("")
        vorn.command('{"cmd":"version"}')

        def load(text: str) -> bool:
            return vorn.command(text).startswith('{"ok":true,')
    elif args.parser == "orjson":
        import orjson

        def load(text: str) -> bool:
            return isinstance(orjson.loads(text), dict)
    else:

        def load(text: str) -> bool:
            return isinstance(json.loads(text), dict)

    base = _status_bytes("VmRSS")
    text = args.file.read_bytes().decode("utf-8")
    reset = _reset_peak()
    ok = load(text)
    peak = _status_bytes("VmHWM")
    after = _status_bytes("VmRSS")
    size = len(text.encode("utf-8"))
    print(json.dumps({"base": base, "text": size, "peak": peak, "after": after, "peak_reset": reset, "ok": ok}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
