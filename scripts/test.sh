#!/usr/bin/env bash
# Builds everything and runs the tests. QM_BUILD_DIR and extra cmake options may be given:
#   QM_BUILD_DIR=build-asan scripts/test.sh -DQM_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${QM_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j"$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
