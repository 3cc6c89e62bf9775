"""Each venue's folder: every module of it can be the first one a program imports (a venue's
parsers and convert's shared helpers import each other), and the package holds no venue module
outside `venues/`."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import korvel_vorn

PACKAGE = Path(korvel_vorn.__file__).parent
VENUE_MODULES = sorted(
    "korvel_vorn." + ".".join(p.relative_to(PACKAGE).with_suffix("").parts).removesuffix(".__init__")
    for p in (PACKAGE / "venues").rglob("*.py")
)


def test_every_venue_has_its_folder():
    folders = {p.name for p in (PACKAGE / "venues").iterdir() if p.is_dir() and not p.name.startswith("_")}
    assert {"binance", "bybit", "tardis"} <= folders
    strays = [p.name for p in (PACKAGE / "venues").glob("*.py") if p.name not in {"__init__.py", "units.py"}]
    assert strays == []


@pytest.mark.parametrize("module", VENUE_MODULES)
def test_a_venue_module_imports_first(module):
    pytest.importorskip("pyarrow")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", f"import {module}"], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr.strip().splitlines()[-1:]
