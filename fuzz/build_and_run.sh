#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with AddressSanitizer and
# UndefinedBehaviorSanitizer straight from the dic2d sources and runs each one
# for FUZZ_SECONDS seconds (default 60).
#
#   fuzz/build_and_run.sh                 build and run every harness
#   FUZZ_SECONDS=600 fuzz/build_and_run.sh
#   FUZZ_TARGETS="fuzz_engine" fuzz/build_and_run.sh
#   FUZZ_BUILD_ONLY=1 fuzz/build_and_run.sh
#
# Environment: FUZZ_BUILD_DIR (default build/fuzz), CXX (default clang++-14
# or clang++), FUZZ_JOBS parallel compiles (default 2).
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
flags=(-std=c++17 -O1 -g -ffp-contract=off -fno-fast-math -fno-omit-frame-pointer
       -fno-sanitize-recover=all -I"$root")
mkdir -p "$build/obj" "$build/artifacts"

# The library sources: every dic2d .cc except unit tests and the program's main.
mapfile -t sources < <(find dic2d -name '*.cc' ! -name '*_test.cc' ! -name 'main.cc' | sort)

compile() {  # source -> object, rebuilt when the source or any header is newer
  local src=$1 obj=$2
  if [ -f "$obj" ] && [ "$obj" -nt "$src" ] &&
     [ -z "$(find dic2d fuzz -name '*.h' -newer "$obj" -print -quit)" ]; then
    return 0
  fi
  "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$obj"
}
say "compiling ${#sources[@]} sources with $cxx"
pids=()
objects=()
status=0
for src in "${sources[@]}"; do
  obj="$build/obj/$(echo "$src" | tr '/' '_').o"
  objects+=("$obj")
  compile "$src" "$obj" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
[ "$status" = 0 ] || { echo "compiling the dic2d sources failed" >&2; exit 1; }
# An archive, so that each harness pulls in only the objects it needs.
rm -f "$build/libdic2d_fuzz.a"
ar rcs "$build/libdic2d_fuzz.a" "${objects[@]}"

for target in $targets; do
  say "linking $target"
  "$cxx" "${flags[@]}" -fsanitize=fuzzer,address,undefined "fuzz/$target.cc" "$build/libdic2d_fuzz.a" \
    -o "$build/$target"
done
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
