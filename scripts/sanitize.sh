#!/usr/bin/env bash
# Builds the engine and its C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer (clang)
# into build/asan and runs them; any sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
cxx=${VORN_SANITIZE_CXX:-clang++-14}
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DVORN_WERROR=ON -DVORN_SANITIZE=ON -DVORN_BUILD_MODULE=OFF >/dev/null
cmake --build build/asan -j 2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure
