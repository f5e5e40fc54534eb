#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with AddressSanitizer and
# UndefinedBehaviorSanitizer through CMake (the "fuzz" preset of
# CMakePresets.json) and runs each one for FUZZ_SECONDS seconds (default 60)
# on its seed corpus.
#
#   fuzz/build_and_run.sh                 build and run every harness
#   FUZZ_SECONDS=600 fuzz/build_and_run.sh
#   FUZZ_TARGETS="fuzz_engine" fuzz/build_and_run.sh
#   FUZZ_BUILD_ONLY=1 fuzz/build_and_run.sh
#
# Environment: FUZZ_BUILD_DIR (default build/fuzz), CXX (default clang++-14
# or clang++; clang-14 and libclang-rt-14-dev are installed from Debian when
# missing and the user is root), FUZZ_JOBS parallel compiles (default 2).
# The committed seed corpora under fuzz/corpus/<harness>/ are only read; new
# inputs go to $FUZZ_BUILD_DIR/corpus/<harness>/, crashes to
# $FUZZ_BUILD_DIR/artifacts/. Exit status is non-zero when any harness
# fails to build or finds a crash, a leak or a timeout.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
targets=${FUZZ_TARGETS:-"fuzz_options fuzz_loaders fuzz_engine"}
jobs=${FUZZ_JOBS:-2}

say() { printf '[fuzz] %s\n' "$*"; }

find_clang() {
  local candidate
  for candidate in "${CXX:-}" clang++-14 clang++; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" --version 2>/dev/null | grep -q clang; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# libFuzzer ships with clang's runtime libraries (Debian: libclang-rt-14-dev).
has_libfuzzer() {
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
    "$1" -x c++ -fsanitize=fuzzer -o /dev/null - >/dev/null 2>&1
}

ensure_clang() {
  local cxx
  if cxx=$(find_clang) && has_libfuzzer "$cxx"; then
    echo "$cxx"
    return 0
  fi
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "installing clang-14 and libclang-rt-14-dev (Debian)" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
    if cxx=$(find_clang) && has_libfuzzer "$cxx"; then
      echo "$cxx"
      return 0
    fi
  fi
  echo "clang with libFuzzer is missing: install the Debian packages clang-14 and libclang-rt-14-dev." >&2
  return 1
}

cxx=$(ensure_clang)
say "building $targets with $cxx in $build (preset fuzz)"
cmake --preset fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
# shellcheck disable=SC2086  # the target list is split on purpose
cmake --build "$build" -j "$jobs" --target $targets
mkdir -p "$build/artifacts"
[ -z "${FUZZ_BUILD_ONLY:-}" ] || exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in $targets; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  extra=()
  [ -f "fuzz/$target.dict" ] && extra+=("-dict=fuzz/$target.dict")
  say "running $target for ${seconds}s"
  if ! "$build/$target" "$corpus" "fuzz/corpus/$target" "${extra[@]}" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      >"$build/$target.log" 2>&1; then
    failed+=("$target")
    tail -n 40 "$build/$target.log" >&2
  fi
  grep -aE '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$build/$target.log" |
    sed "s/^/[fuzz] $target: /" || true
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $build/artifacts)" >&2
  exit 1
fi
say "no findings"
