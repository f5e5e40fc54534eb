#!/usr/bin/env bash
# Style checks of the whole tree with the pinned tools of .venv: clang-format
# on the C++ sources, ruff's linter and formatter on the Python sources.
# `scripts/lint.sh --fix` rewrites the files instead of checking them.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
[ -x .venv/bin/ruff ] || "$root/scripts/build.sh"

cxx_files() { git ls-files -z '*.cc' '*.h'; }

if [ "${1:-}" = "--fix" ]; then
  cxx_files | xargs -0 .venv/bin/clang-format -i
  .venv/bin/ruff check --fix .
  .venv/bin/ruff format .
  exit 0
fi

echo "[lint] clang-format $(.venv/bin/clang-format --version | grep -o '[0-9][0-9.]*' | head -n 1)"
cxx_files | xargs -0 .venv/bin/clang-format --dry-run --Werror
echo "[lint] ruff $(.venv/bin/ruff --version | cut -d' ' -f2)"
.venv/bin/ruff check --quiet .
.venv/bin/ruff format --check --quiet .
echo "[lint] clean"
