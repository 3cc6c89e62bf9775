#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and UndefinedBehaviorSanitizer (clang) into
# build/asan-modules and runs the Python suites that drive them (the module, the array path and
# its appends, the limits, the package's dataset and spec helpers, the JSON conformance cases,
# playback) against them, with the sanitizer runtime preloaded into the interpreter. Any sanitizer
# report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
cxx=${VORN_SANITIZE_CXX:-clang++-14}
cmake -S . -B build/asan-modules -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DVORN_WERROR=ON -DVORN_SANITIZE=ON -DVORN_BUILD_MODULE=ON -DVORN_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build build/asan-modules -j 2
runtime=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)
modules="$root/build/asan-modules/python"
# The interpreter's own allocations are never freed at exit: leaks are not checked here.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:verify_asan_link_order=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
VORN_SANITIZED=1 LD_PRELOAD="$runtime" PYTHONPATH="$root/python:$modules" VORN_MODULE_DIR="$modules" \
  .venv/bin/python -m pytest -q -p no:cacheprovider \
  tests/python/module/test_module.py tests/python/package/test_array_path.py tests/python/module/test_limits.py \
  tests/python/module/test_dataset.py tests/python/module/test_spec.py tests/python/module/test_frame.py \
  tests/python/module/test_json_conformance.py tests/python/module/test_reader_failures.py \
  tests/python/module/test_spec_reading.py tests/python/package/test_append.py tests/python/package/test_playback.py "$@"
