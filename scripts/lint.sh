#!/usr/bin/env bash
# Static checks of the Python side, with the tool versions of scripts/constraints.txt: ruff (lint),
# mypy --strict (the package, configured in pyproject.toml) twice, with every optional extra
# installed and with the bare package (numpy only, in build/lint-bare), and stubtest (the stubs of
# both native modules against the installed modules).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
python -m pip install -q -c scripts/constraints.txt mypy ruff
ruff check python tests bench scripts
mypy
# The bare package: an environment of its one dependency, made again whenever the pins change.
bare=build/lint-bare
if ! cmp -s scripts/constraints.txt "$bare/constraints.txt"; then
  rm -rf "$bare"
  python -m venv "$bare"
  "$bare/bin/python" -m pip install -q -c scripts/constraints.txt numpy
  cp scripts/constraints.txt "$bare/constraints.txt"
fi
mypy --python-executable "$bare/bin/python" --cache-dir "$bare/mypy-cache"
# stubtest imports the installed package: installed again, so that it is the sources as they are.
python -m pip install -q --no-build-isolation --no-deps .
# From a fresh empty folder: a stray module in a shared folder such as /tmp (an inspect.py, say)
# would shadow the standard library.
stub_dir=$(mktemp -d)
trap 'rm -rf "$stub_dir"' EXIT
(cd "$stub_dir" && python -m mypy.stubtest korvel_vorn._korvel_vorn korvel_vorn._engine)
