"""Shared test setup: where the freshly built native module is, and the real recordings."""

import os
import pathlib
import re
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULE_DIR = pathlib.Path(os.environ.get("VORN_MODULE_DIR", ROOT / "build" / "dev" / "python"))
REAL_DATA = ROOT.parent / "shared" / "data" / "real"

# `import _korvel_vorn` loads the module of the build tree.
sys.path.insert(0, str(MODULE_DIR))


_ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]{2}|.)")


def _unescape(field: str) -> bytes:
    def replace(match: re.Match[bytes]) -> bytes:
        code = match.group(1)
        if code.startswith(b"x") and len(code) == 3:
            return bytes([int(code[1:], 16)])
        return {b"t": b"\t", b"n": b"\n", b"r": b"\r"}.get(code, code)

    return _ESCAPE.sub(replace, field.encode("ascii"))


def case_table(name: str) -> list[list[bytes]]:
    """The rows of tests/data/<name>, a table the C++ tests read too: tab-separated fields with
    backslash escapes, lines starting with '#' left out."""
    rows = []
    for line in (ROOT / "tests" / "data" / name).read_text(encoding="ascii").splitlines():
        if line and not line.startswith("#"):
            rows.append([_unescape(field) for field in line.split("\t")])
    return rows


def child_env(**extra: str) -> dict[str, str]:
    """The environment of a child process that imports the same `korvel_vorn` as the tests (the
    installed package, or a wheel under test) and the build tree's modules."""
    import korvel_vorn

    package_parent = pathlib.Path(korvel_vorn.__file__).resolve().parents[1]
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(package_parent), str(MODULE_DIR)]), **extra)


@pytest.fixture(scope="session")
def real_data_dir():
    """The directory of recorded market datasets; skips the test when it is absent."""
    if not REAL_DATA.is_dir() or not list(REAL_DATA.glob("*.dataset.json")):
        pytest.skip("real market recordings are not available")
    return REAL_DATA
