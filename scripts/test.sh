#!/usr/bin/env bash
# Builds the project with its tests and runs every test.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -DBROWSE_BUILD_TESTS=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
