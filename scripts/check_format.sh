#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the project differs from what clang-format makes of
# it with the committed .clang-format. `scripts/check_format.sh --fix` formats them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every C++ file outside the build folders (CI may run on a copy without git's index).
mapfile -t files < <(find . \( -name 'build*' -o -name '.git' \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' \) -print | sort)
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
else
    clang-format --dry-run --Werror "${files[@]}"
fi
