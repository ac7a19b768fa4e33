#!/usr/bin/env bash
# Fails when a C++ file is not formatted as .clang-format says; with --fix,
# formats them instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/voxlet-format.$$; then
  grep -E '^[^ ].*: (error|warning):' /tmp/voxlet-format.$$ | cut -d: -f1 | sort -u | sed 's/^/not formatted: /'
  rm -f /tmp/voxlet-format.$$
  echo "format: run scripts/check-format.sh --fix" >&2
  exit 1
fi
rm -f /tmp/voxlet-format.$$
echo "format: ${#files[@]} files as .clang-format says"
