#!/usr/bin/env bash
# The AddressSanitizer + UndefinedBehaviorSanitizer build: the C++ unit tests,
# then the Python suites against the sanitized dic2d_cli and native_vostrel
# (the sanitizer runtime preloaded into the interpreter). Expects
# scripts/build.sh to have made .venv.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

echo "[asan] building (preset asan: build/asan)"
cmake --preset asan \
  -DPython_EXECUTABLE="$root/.venv/bin/python" \
  -Dpybind11_DIR="$("$root/.venv/bin/python" -m pybind11 --cmakedir)" >/dev/null
cmake --build --preset asan -j "$jobs"

echo "[asan] C++ unit tests (ASAN_OPTIONS and UBSAN_OPTIONS from the preset)"
ctest --preset asan -j "$jobs"

echo "[asan] Python tests against the sanitized builds"
asan_rt=$(g++ -print-file-name=libasan.so)
ubsan_rt=$(g++ -print-file-name=libubsan.so)
module_dir=$(dirname "$(find build/asan/vostrel -maxdepth 1 -name 'native_vostrel*.so' | head -n 1)")
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The interpreter itself is not instrumented: leaks of CPython's own
# allocations are not ours to report.
DIC2D_CLI="$root/build/asan/dic2d/dic2d_cli" \
PYTHONPATH="$root/$module_dir" \
ASAN_OPTIONS=detect_leaks=0 \
LD_PRELOAD="$asan_rt:$ubsan_rt" \
PATH="$root/.venv/bin:$PATH" \
  "$root/.venv/bin/python" -m pytest -q -m "not slow" -p no:cacheprovider tests "$@"
