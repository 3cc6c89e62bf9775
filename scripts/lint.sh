#!/usr/bin/env bash
# Static checks of the Python side: ruff (lint), mypy --strict (the package, configured in
# pyproject.toml) and stubtest (the stubs of both native modules against the installed modules).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
ruff check python tests bench
mypy
# stubtest imports the installed package, so it checks the modules a user would get.
python -m pip install -q --no-build-isolation .
# From a fresh empty folder: a stray module in a shared folder such as /tmp (an inspect.py, say)
# would shadow the standard library.
stub_dir=$(mktemp -d)
trap 'rm -rf "$stub_dir"' EXIT
(cd "$stub_dir" && python -m mypy.stubtest korvel_vorn._korvel_vorn korvel_vorn._engine)
