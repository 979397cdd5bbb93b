#!/usr/bin/env bash
# Formats every C and C++ file of the repository with clang-format and the
# .clang-format at the top; --check changes nothing and fails, naming each file
# that does not follow it (scripts/test.sh and CI run it so).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [[ ${1:-} == --check ]]; then
	bad=0
	for f in "${files[@]}"; do
		clang-format --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || { echo "not formatted: $f"; bad=1; }
	done
	((bad == 0)) && echo "format: all ${#files[@]} files follow .clang-format"
	exit "$bad"
fi
clang-format --style=file -i "${files[@]}"
