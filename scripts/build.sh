#!/usr/bin/env bash
# Configures and builds the engine, its C++ tests and the extension module into build/dev
# (the module lands in build/dev/python/_korvel_vorn.abi3.so).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
build=${VORN_BUILD_DIR:-build/dev}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_WERROR=ON \
  -DPython3_EXECUTABLE="$root/.venv/bin/python" "$@" >/dev/null
cmake --build "$build" -j 2
