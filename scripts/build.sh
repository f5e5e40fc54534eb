#!/usr/bin/env bash
# Sets the project up on a fresh machine and (re)builds it: a .venv from
# CPython 3.12 with the pinned packages, GoogleTest from Debian when missing,
# and `pip install .`, which puts dic2d_cli on the venv's PATH and makes
# `import native_vostrel` and `import dicpipe` work. Safe to run repeatedly;
# rebuilds are incremental (build/<wheel tag>).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { printf '[build] %s\n' "$*"; }

is_py312() { [ -n "$1" ] && "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' >/dev/null 2>&1; }

find_python() {
  local tried=() candidate
  if [ -n "${PYTHON:-}" ]; then
    if is_py312 "$PYTHON"; then echo "$PYTHON"; return 0; fi
    echo "PYTHON=$PYTHON is not a CPython 3.12 interpreter." >&2
    return 1
  fi
  for candidate in python3.12 python3 python; do
    tried+=("$candidate on PATH")
    if command -v "$candidate" >/dev/null 2>&1 && is_py312 "$(command -v "$candidate")"; then
      command -v "$candidate"; return 0
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    tried+=("pyenv prefix 3.12")
    candidate=$(pyenv prefix 3.12 2>/dev/null | head -n 1 || true)
    if [ -n "$candidate" ] && is_py312 "$candidate/bin/python3.12"; then echo "$candidate/bin/python3.12"; return 0; fi
  fi
  tried+=("${PYENV_ROOT:-$HOME/.pyenv}/versions/3.12*")
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12; do
    if is_py312 "$candidate"; then echo "$candidate"; return 0; fi
  done
  {
    echo "No CPython 3.12 found. Tried: ${tried[*]}."
    echo "Install CPython 3.12 or point to one: PYTHON=/path/to/python3.12 $0"
  } >&2
  return 1
}

ensure_gtest() {
  if [ -f /usr/include/gtest/gtest.h ] && { [ -f /usr/lib/x86_64-linux-gnu/libgtest.a ] || ls /usr/lib/*/libgtest.a >/dev/null 2>&1 || [ -f /usr/lib/libgtest.a ]; }; then
    return 0
  fi
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "installing GoogleTest (Debian package libgtest-dev)"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    return 0
  fi
  echo "GoogleTest is missing: install the Debian package libgtest-dev (as root: apt-get install libgtest-dev)." >&2
  return 1
}

main() {
  local python
  python=$(find_python)
  ensure_gtest

  if [ ! -x .venv/bin/python ] || ! is_py312 .venv/bin/python; then
    say "creating .venv from $python"
    rm -rf .venv
    "$python" -m venv .venv
  fi

  local stamp=.venv/.requirements.sha256 want
  want=$(sha256sum requirements.txt | cut -d' ' -f1)
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    say "installing pinned packages into .venv"
    .venv/bin/python -m pip install --quiet --disable-pip-version-check -r requirements.txt
    echo "$want" >"$stamp"
  fi

  say "building and installing dic2d_cli, native_vostrel and dicpipe into .venv"
  .venv/bin/python -m pip install --quiet --disable-pip-version-check \
    --no-build-isolation --no-deps .
}

main "$@"
