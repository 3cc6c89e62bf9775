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
PYTHONPATH="$root/python" VORN_MODULE_DIR="$root/build/portable/python" \
  VORN_COMPARE_MODULE_DIR="$root/build/dev/python" .venv/bin/python -m pytest -q tests/python \
  --deselect tests/python/package/test_wheel.py::test_wheel_builds_installs_and_runs
