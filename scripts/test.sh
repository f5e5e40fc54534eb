#!/usr/bin/env bash
# Builds everything and runs every test: the GoogleTest unit tests (ctest) and
# the Python suites (pytest) against the dic2d_cli and native_vostrel that
# scripts/build.sh installed into .venv.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/build.sh"

jobs=$(nproc 2>/dev/null || echo 2)
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

echo "[test] building the unit tests (preset test: build/tests)"
cmake --preset test -DDIC_WARNINGS_AS_ERRORS="$werror" \
  -DPython_EXECUTABLE="$root/.venv/bin/python" \
  -Dpybind11_DIR="$("$root/.venv/bin/python" -m pybind11 --cmakedir)" >/dev/null
cmake --build --preset test -j "$jobs"

echo "[test] C++ unit tests"
ctest --preset test -j "$jobs"

echo "[test] Python tests"
PATH="$root/.venv/bin:$PATH" "$root/.venv/bin/python" -m pytest -q tests "$@"
