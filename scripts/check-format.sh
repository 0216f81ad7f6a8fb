#!/usr/bin/env bash
# Fails when a C++ source or header of the tree differs from what clang-format makes of it
# (.clang-format at the root), and names the files. scripts/check-format.sh --fix rewrites them.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
differing=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || differing+=("$f")
done
if [ ${#differing[@]} -gt 0 ]; then
  echo "FAIL: ${#differing[@]} of ${#files[@]} files differ from clang-format (scripts/check-format.sh --fix):"
  printf '  %s\n' "${differing[@]}"
  exit 1
fi
echo "format: ${#files[@]} files as clang-format makes them"
