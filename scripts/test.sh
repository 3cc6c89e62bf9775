#!/usr/bin/env bash
# Sets up (the package built and installed into .venv, see setup.sh), builds with warnings as
# errors, runs the C++ tests (CTest) and the Python tests (pytest) against the installed package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh
export PATH="$root/.venv/bin:$PATH"
ctest --test-dir build/dev --output-on-failure
VORN_MODULE_DIR="$root/build/dev/python" .venv/bin/python -m pytest -q tests/python
