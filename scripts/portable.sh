#!/usr/bin/env bash
# The whole C++ and Python suites once more with the platform layer's portable path forced on Linux
# (VORN_PORTABLE: blocks from the heap, files read with stdio, the path macOS and Windows take),
# built into build/portable. The Python suites run the source package against that build's modules
# and also compare them with build/dev's (tests/python/paths): the same replies and frame arrays
# on the recorded markets and a generated preset.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
[ -d build/dev/python ] || bash scripts/build.sh
VORN_BUILD_DIR=build/portable bash scripts/build.sh -DVORN_PORTABLE=ON
ctest --test-dir build/portable --output-on-failure
# The wheel test builds and installs the default wheel, as the first run did: it is left out here.
# VORN_PORTABLE_SUITES=native runs only the suites that reach the native modules (the modules
# themselves, the comparison, the array path and hostile files) when CI time is short.
suites=(tests/python)
if [ "${VORN_PORTABLE_SUITES:-all}" = native ]; then
  suites=(tests/python/module tests/python/paths tests/python/package/test_array_path.py
    tests/python/package/test_hostile_files.py)
fi
PYTHONPATH="$root/python" VORN_MODULE_DIR="$root/build/portable/python" \
  VORN_COMPARE_MODULE_DIR="$root/build/dev/python" .venv/bin/python -m pytest -q "${suites[@]}" \
  --deselect tests/python/package/test_wheel.py::test_wheel_builds_installs_and_runs
