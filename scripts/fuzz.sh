#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with ASan+UBSan) into build/fuzz and runs each for a short
# fixed time from the committed corpus, grown and minimised from longer runs (default 30 s each;
# VORN_FUZZ_SECONDS overrides), with a dictionary of JSON tokens and names for the JSON targets.
# New inputs go to build/fuzz/corpus, crashes to build/fuzz/artifacts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
seconds=${VORN_FUZZ_SECONDS:-30}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVORN_WERROR=ON -DVORN_FUZZ=ON -DVORN_BUILD_MODULE=OFF >/dev/null
targets=(reader spec_text dataset dispatch columns load_reading)
# Longest input per target: whole commands and datasets for the JSON targets, a few lists of
# columns for the column target.
declare -A max_len=([reader]=65536 [spec_text]=16384 [dataset]=65536 [dispatch]=65536 [columns]=4096 [load_reading]=65536)
# Seeds beyond a target's own corpus: the datasets gathered by the dataset target are loads too.
declare -A seeds=([load_reading]=tests/fuzz/corpus/dataset)
cmake --build build/fuzz -j 2 --target "${targets[@]/#/fuzz_}"
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t"
  echo "== fuzz_$t for ${seconds}s"
  dict=()
  [ "$t" != columns ] && dict=(-dict=tests/fuzz/json.dict)
  ASAN_OPTIONS=detect_leaks=1 build/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -max_len="${max_len[$t]}" "${dict[@]}" -print_final_stats=0 -artifact_prefix=build/fuzz/artifacts/$t- \
    "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" ${seeds[$t]:-} 2>&1 | grep -E '^(#[0-9]+ *DONE|==|SUMMARY|property violated)' || true
  # Crashes, leaks and violated properties fail the run. Inputs that are merely slow or large
  # (frames near the panel size limits are expensive by design) are listed, not failed.
  if ls build/fuzz/artifacts/$t-crash-* build/fuzz/artifacts/$t-leak-* >/dev/null 2>&1; then
    echo "fuzz_$t found a failing input:"; ls build/fuzz/artifacts/$t-crash-* build/fuzz/artifacts/$t-leak-* 2>/dev/null; exit 1
  fi
  ls build/fuzz/artifacts/$t-timeout-* build/fuzz/artifacts/$t-oom-* build/fuzz/artifacts/$t-slow-* 2>/dev/null | sed 's/^/slow or large input (not a failure): /' || true
done
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without a finding"
